#include "terminal/ReceivePump.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace quennet {

namespace {

// Appends a segment as a zero-terminated string: a NUL ends what is shown,
// the bytes after it up to the next control break are dropped.
void AppendSegment(TerminalDisplay& display, const std::uint8_t* begin, std::size_t n) {
    const void* nul = std::memchr(begin, 0, n);
    if (nul != nullptr) n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - begin);
    if (n > 0) display.AppendText(std::string_view(reinterpret_cast<const char*>(begin), n));
}

}  // namespace

void ReceivePump::ShowText(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n) {
    std::size_t segmentStart = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = bytes[i];
        if (b == 0x08) {
            if (i > segmentStart) AppendSegment(display, bytes + segmentStart, i - segmentStart);
            display.DeleteLastChar();
            segmentStart = i + 1;
        } else if (b == 0x0A || b == 0x0D) {
            if (i > segmentStart) AppendSegment(display, bytes + segmentStart, i - segmentStart);
            if (b == 0x0A) display.AppendLineBreak();
            segmentStart = i + 1;
        }
    }
    if (segmentStart < n) AppendSegment(display, bytes + segmentStart, n - segmentStart);
}

void ReceivePump::ShowHex(TerminalDisplay& display, const std::uint8_t* bytes, std::size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(n * 3);
    for (std::size_t i = 0; i < n; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
        text.push_back(' ');
    }
    display.AppendText(text);
}

ReceivePump::TickResult ReceivePump::Tick(ComPort& port, TerminalDisplay& display, bool hexMode,
                                          const LogFn& log) {
    ViewOptions options;
    options.hex = hexMode;
    ReceiveView view(options);
    return Tick(port, display, view, kDisplayLimit, log);
}

ReceivePump::TickResult ReceivePump::Tick(ComPort& port, TerminalDisplay& display, ReceiveView& view,
                                          std::size_t limit, const LogFn& log, const WatchFn& watch) {
    TickResult result;
    std::uint8_t chunk[kChunkSize];
    bool suspended = false;
    for (;;) {
        // A real line cannot outrun the 2 ms tick, but a pseudo-terminal fed
        // by a program can; yield to the window now and then so it never
        // freezes. The rest stays queued for the next tick.
        if (result.bytes >= kMaxBytesPerTick) break;
        const std::size_t n = port.ComRead(chunk, kChunkSize);
        if (n == 0) break;
        result.bytes += n;
        if (n == kChunkSize) result.fullChunk = true;
        if (!suspended) {
            display.BeginUpdate();
            suspended = true;
        }
        // Trimming by whole lines keeps the display near its limit; a display
        // that cannot shrink any more (a single empty line) must not loop.
        while (display.TextLength() > limit) {
            const std::size_t before = display.TextLength();
            display.RemoveFirstLine();
            if (display.TextLength() >= before) break;
        }
        Claim mine{0, n};
        if (watch) {
            mine = watch(chunk, n);
            mine.to = std::min(mine.to, n);
            mine.from = std::min(mine.from, mine.to);
        }
        const std::size_t count = mine.to - mine.from;
        if (log && count > 0) log(chunk + mine.from, count);
        if (count > 0) view.Show(display, chunk + mine.from, count);
        if (mine.to < n) break;
    }
    if (suspended) display.EndUpdate();
    return result;
}

}  // namespace quennet
