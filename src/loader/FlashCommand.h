#pragma once
#include <atomic>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "loader/Loader.h"
#include "loader/LoaderActions.h"
#include "loader/StatusLog.h"
#include "serial/Clock.h"
#include "serial/ComPort.h"
#include "serial/SerialDevice.h"

namespace quennet {

// Exit codes of quennet-flash.
inline constexpr int kFlashOk = 0;
inline constexpr int kFlashRunFailed = 1;    // the run wrote a failure line
inline constexpr int kFlashBadCommand = 2;   // command line, file or port refused; port untouched
inline constexpr int kFlashStopped = 130;    // Ctrl+C (or SIGTERM) ended the run

// What the command line asks for.
struct FlashOptions {
    std::string port;
    int targetIndex = -1;  // into kLoaderTargets
    std::string firmwarePath;
    std::optional<std::uint32_t> binaryAddress;  // --address: the file is a raw binary loaded there
    bool verify = false;
    bool invertDtr = false;
    bool toggleTck = false;
    bool deviceInfo = false;
    bool unprotect = false;  // STM32-ANY: remove read-out protection (erases the flash)
    bool go = false;         // STM32-ANY: start the firmware with Go, not the reset line
    std::optional<std::uint32_t> goAddress;  // --go=ADDR: where Go starts it (the flash's first byte)
    std::string passwordPath;  // --password: MSP430 reads unlock with this file's vector table
    bool erase = false;      // --erase: erase the flash (or the range) instead of programming
    std::string readPath;  // --read: read the flash into this file instead of programming
    // --write-unprotect, --write-protect LIST, --readout-protect,
    // --readout-unprotect: that option-byte command instead of programming.
    std::optional<LoaderAction> protection;
    std::vector<std::uint8_t> protectSectors;  // --write-protect's sector codes
    std::optional<std::uint32_t> rangeStart;   // --start: the first address read
    std::optional<std::uint32_t> rangeLength;  // --length: how many bytes
    bool verbose = false;  // say how the port took the low-latency request
    bool help = false;
    bool version = false;  // --version: print it and stop
};

struct FlashArgs {
    FlashOptions options;
    std::string error;  // one sentence when the command line is wrong, else empty
};

// Reads the arguments after the program name. Looks at nothing but the
// words themselves: files and ports are checked by FlashCommand::Run.
FlashArgs ParseFlashArgs(const std::vector<std::string>& args);

// The text of --help.
std::string FlashUsage();

// The --verbose line on the low-latency request: whether the device took it,
// and its adapter's latency timer where the system shows one.
std::string LowLatencyReport(const std::string& port, bool granted, std::optional<int> latencyTimerMs);

// A status log that prints itself as it grows: every piece of text goes to
// the stream at once, with its CR LF breaks as plain LF, and each refresh
// flushes the stream, so the progress marks show as they are added.
class StreamStatusLog : public StatusLogView {
public:
    // progressColumns: the width of the terminal the stream goes to, or 0
    // when it goes elsewhere (a file, a pipe), which then never gets the
    // progress text.
    explicit StreamStatusLog(std::ostream& out, int progressColumns = 0)
        : out_(out), progressColumns_(progressColumns) {}

    std::string Text() const override { return text_; }
    void AppendRaw(const std::string& text) override;
    // What is printed stays printed; the kept text starts afresh.
    void Clear() override { text_.clear(); }
    void Refresh() override { out_.flush(); }
    bool AtLineStart() const override { return text_.empty() || text_.back() == '\n'; }

    // Ends an open last line and flushes.
    void Finish();
    // On a terminal: shows text behind the open line until the next piece
    // of the log or the next progress replaces it; empty takes it away.
    void ShowProgress(const std::string& text);

private:
    void EraseProgress();

    std::ostream& out_;
    std::string text_;
    bool pendingCr_ = false;
    bool lineOpen_ = false;
    int progressColumns_ = 0;
    std::size_t column_ = 0;         // characters printed since the last line break
    std::size_t progressShown_ = 0;  // characters of progress text on show
};

// What the command needs from the world around it.
struct FlashHost {
    SerialDeviceFactory devices;
    Clock& clock;
    std::ostream& out;  // the status log
    std::ostream& err;  // what was wrong, in one line
    // The width of the terminal `out` goes to, for a progress text behind
    // the block marks; 0 when `out` is no terminal.
    int progressColumns = 0;
};

// One headless run: checks the target, the firmware file and the port,
// then programs (or queries) the target through the loader's run frame and
// prints its status log. Returns the exit code.
class FlashCommand {
public:
    explicit FlashCommand(FlashHost host);
    FlashCommand(const FlashCommand&) = delete;
    FlashCommand& operator=(const FlashCommand&) = delete;

    int Run(const FlashOptions& options);

    // Asks the run to stop at its next block boundary; safe in a signal
    // handler. A request made before the run stops it before its first
    // block.
    void RequestStop();

    // Told how far the block passes are, beside the progress text.
    void SetProgressListener(std::function<void(const RunProgress&)> listener) { progress_ = std::move(listener); }

    Loader& loader() { return loader_; }
    ComPort& port() { return port_; }

private:
    bool CheckFirmware(const FlashOptions& options, const LoaderTarget& target);
    // The range and the file of a read or erase, checked before the port
    // is touched.
    bool CheckAction(const FlashOptions& options, const LoaderTarget& target);

    FlashHost host_;
    ComPort port_;
    StreamStatusLog log_;
    Loader loader_;
    int sequenceResult_ = 1;
    std::atomic<bool> stopRequested_{false};
    std::function<void(const RunProgress&)> progress_;
};

}  // namespace quennet
