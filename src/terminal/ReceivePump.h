#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "serial/ComPort.h"
#include "terminal/ReceiveView.h"
#include "terminal/TerminalDisplay.h"

namespace quennet {

// One tick of the terminal's receive pump: drains the port in chunks of up to
// 200 bytes, hands each chunk to the log and shows it on the display.
class ReceivePump {
public:
    static constexpr std::size_t kChunkSize = 200;
    static constexpr std::size_t kDisplayLimit = 16000;
    static constexpr std::size_t kMaxBytesPerTick = 64 * 1024;

    using LogFn = std::function<void(const std::uint8_t* bytes, std::size_t n)>;
    // Looks at each chunk before it is logged and shown and tells which of
    // its bytes are the terminal's: those from `from` up to `to`. Bytes before
    // them (the last of a file transfer) and after them (a file transfer the
    // far end starts) are neither logged nor shown; after such a cut the tick
    // reads no further.
    struct Claim {
        std::size_t from = 0;
        std::size_t to = 0;
    };
    using WatchFn = std::function<Claim(const std::uint8_t* bytes, std::size_t n)>;

    struct TickResult {
        std::size_t bytes = 0;     // received in this tick
        bool fullChunk = false;    // some read filled all 200 bytes
    };

    // Reads until the port has nothing more. The caller runs a file-send step
    // afterwards only when no chunk was full, so receiving has precedence.
    static TickResult Tick(ComPort& port, TerminalDisplay& display, bool hexMode,
                           const LogFn& log);
    // The same through a view with its own options, the display trimmed to
    // limit characters before each chunk.
    static TickResult Tick(ComPort& port, TerminalDisplay& display, ReceiveView& view, std::size_t limit,
                           const LogFn& log, const WatchFn& watch = {});

    // Shows one chunk as text: LF a line break, CR nothing, backspace deletes
    // the last character, and a NUL hides the rest of its segment.
    static void ShowText(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n);
    // Shows one chunk as "%02X " per byte, without line breaks.
    static void ShowHex(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n);
};

}  // namespace quennet
