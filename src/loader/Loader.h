#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "core/Ui.h"
#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareImage.h"
#include "loader/StatusLog.h"
#include "serial/ComPort.h"

namespace quennet {

// Entries of the target chooser (ComboTarget), in the order of kLoaderTargets.
constexpr int kTargetMsp430_9600 = 0;
constexpr int kTargetMsp430_19200 = 1;
constexpr int kTargetStm32_57600 = 2;
constexpr int kTargetStm32_115200 = 3;
constexpr int kTargetBlackfin = 4;
constexpr int kTargetMg2455 = 5;
constexpr int kTargetMsp430_38400 = 6;
constexpr int kTargetStm32Any_115200 = 7;
constexpr int kTargetStm32Any_57600 = 8;

// What the window's controls say at the moment a run is started.
struct LoaderInputs {
    std::string firmwarePath;       // Edit1
    bool verify = false;            // CheckBoxVerify
    bool invertDtr = false;         // CheckBoxReset
    bool toggleTck = false;         // CheckBoxToggleTCK
    int targetIndex = 0;            // ComboTarget index; -1 or beyond 5 for a typed text
    std::string terminalPort;       // ComboComPort text
    std::string terminalBaud;       // ComboBaud text, read with ParseBaudText
    int terminalFormat = kFrameN81; // ComboBits index (FrameFormat)
    // The terminal's whole frame when it is not one of the plain formats
    // (a frame of the user's own, or flow control): the port is given back so.
    std::optional<Frame> terminalFrame;
    // Where a raw binary file is loaded; only a raw binary needs it.
    std::optional<std::uint32_t> binaryAddress;
    // STM32-ANY runs: remove read-out protection (which erases the whole
    // flash) when the part has it; start the firmware with Go instead of
    // the reset line.
    bool unprotect = false;
    bool go = false;
    // Read and erase runs: the file the flash is read into, and the range
    // of addresses (from the flash's first byte, to its end, when not given).
    std::string readPath;
    std::optional<std::uint32_t> rangeStart;
    std::optional<std::uint32_t> rangeLength;
    // Go runs: where the firmware's vector table is (the flash's first byte
    // when not given).
    std::optional<std::uint32_t> goAddress;
    // MSP430 reads and device info: a firmware file whose bytes at
    // 0xFFE0..0xFFFF are the part's password; empty for the password of an
    // erased part (device info then erases the part first).
    std::string passwordPath;
    // STM32 Write Protect: the write-protection sector codes to protect.
    std::vector<std::uint8_t> protectSectors;
};

// The range [start, start + length) that the inputs ask for inside a flash
// of `bytes` at `base`. Empty when it lies inside, else why not, as the end
// of a sentence ("ends beyond ...").
std::string FlashRange(const LoaderInputs& inputs, std::uint32_t base, std::size_t bytes, std::uint32_t& start,
                       std::size_t& length);

// How far the block passes of a run are, for a progress bar.
struct RunProgress {
    bool active = false;  // false: no pass is running (any more)
    int percent = 0;      // blocks done of all the run will write (and read back)
    // Time left at the pace of the blocks so far; nothing before the first.
    std::optional<std::uint64_t> msLeft;
};

// "45%, 1:05 left": the percentage and, once known, the time left as
// minutes and seconds.
std::string ProgressText(const RunProgress& progress);

// What the window lends the loader. Callbacks left empty do nothing.
struct LoaderHost {
    ComPort& port;
    StatusLogView& log;
    std::function<void()> pausePump;   // stop Timer1
    std::function<void()> resumePump;  // start Timer1 again
    ProcessMessagesFn processMessages;
    std::function<void(const RunProgress&)> progress;
};

class Loader;

// A target's own steps inside the run frame: called with the pump paused,
// the port known to be open and DtrInverted set from the option. Returns 0
// for success, nonzero for failure. A sequence calls RestoreTerminalPort
// itself where its steps need it (before its closing time line); the frame
// hands the port back on any path where the sequence left it at the
// target's settings.
using TargetSequence =
    std::function<int(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud)>;

struct TargetSequences {
    TargetSequence programMsp430;
    TargetSequence msp430DeviceInfo;
    TargetSequence programStm32;
    TargetSequence programStm32Any;
};

// One entry of the target chooser: what the window lists and what a run of
// it does. A target without a program sequence is a placeholder whose run
// only reports "Under Development.".
struct LoaderTarget {
    const char* name;          // the chooser's text
    std::uint32_t baud;        // the run's rate, in E-8-1; 0 for placeholders
    const char* programLine;   // first log line of Start Program
    TargetSequence TargetSequences::*program;
    const char* infoLine;      // first log line of Device Info., or nullptr
    TargetSequence TargetSequences::*deviceInfo;
    bool watchdogOption;       // "Toggle TCK as WTD" applies to its runs
    bool verifyOption;         // "Verify Data" applies to its runs (the loader reads back)
    // The rate a programming run switches the loader to once it knows the
    // part (where the loader can); 0: the whole run at `baud`.
    std::uint32_t fasterBaud = 0;
};

inline constexpr LoaderTarget kLoaderTargets[] = {
    {"MSP430-9600", 9600, "Begin program MSP430.", &TargetSequences::programMsp430,
     "MSP430 Info.", &TargetSequences::msp430DeviceInfo, true, true},
    {"MSP430-19200", 19200, "Begin program MSP430.", &TargetSequences::programMsp430,
     "MSP430 Info.", &TargetSequences::msp430DeviceInfo, true, true},
    {"STM32-57600", 57600, "Begin program STM32.", &TargetSequences::programStm32, nullptr,
     nullptr, false, true},
    {"STM32-115200", 115200, "Begin program STM32.", &TargetSequences::programStm32, nullptr,
     nullptr, false, true},
    {"BLACKFIN", 0, "Begin program BLACKFIN.", nullptr, nullptr, nullptr, false, true},
    {"MG2455", 0, "Begin program MG2455.", nullptr, nullptr, nullptr, false, true},
    {"MSP430-38400", 9600, "Begin program MSP430.", &TargetSequences::programMsp430,
     "MSP430 Info.", &TargetSequences::msp430DeviceInfo, true, true, 38400},
    {"STM32-ANY-115200", 115200, "Begin program STM32.", &TargetSequences::programStm32Any, nullptr,
     nullptr, false, true},
    {"STM32-ANY-57600", 57600, "Begin program STM32.", &TargetSequences::programStm32Any, nullptr,
     nullptr, false, true},
};
inline constexpr int kLoaderTargetCount = static_cast<int>(std::size(kLoaderTargets));

namespace detail {
constexpr bool SameText(const char* a, const char* b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}
}  // namespace detail

// The kTarget... indexes name their entries: the table's order is theirs.
static_assert(detail::SameText(kLoaderTargets[kTargetMsp430_9600].name, "MSP430-9600"));
static_assert(detail::SameText(kLoaderTargets[kTargetMsp430_19200].name, "MSP430-19200"));
static_assert(detail::SameText(kLoaderTargets[kTargetStm32_57600].name, "STM32-57600"));
static_assert(detail::SameText(kLoaderTargets[kTargetStm32_115200].name, "STM32-115200"));
static_assert(detail::SameText(kLoaderTargets[kTargetBlackfin].name, "BLACKFIN"));
static_assert(detail::SameText(kLoaderTargets[kTargetMg2455].name, "MG2455"));
static_assert(detail::SameText(kLoaderTargets[kTargetMsp430_38400].name, "MSP430-38400"));
static_assert(detail::SameText(kLoaderTargets[kTargetStm32Any_115200].name, "STM32-ANY-115200"));
static_assert(detail::SameText(kLoaderTargets[kTargetStm32Any_57600].name, "STM32-ANY-57600"));
static_assert(kLoaderTargetCount == kTargetStm32Any_57600 + 1, "a new target gets its kTarget... index");

// The chooser's entry at index, or nullptr for a text of the user's own.
const LoaderTarget* FindLoaderTarget(int index);

TargetSequences DefaultSequences();

inline constexpr const char* kLineNoPort = "ERROR: Select a COM Port from the Terminal.";
inline constexpr const char* kLineTickOpenCom = "Tick Open Com. on the Terminal tab.";
inline constexpr const char* kLineCantOpenPort = "FATAL ERROR: Can't open COM port.";
inline constexpr const char* kLineCantOpenFile = "FATAL ERROR: Can't open FILE.";
// A file that was read but holds nothing (empty, blanks only).
inline constexpr const char* kLineNoFirmware = "FATAL ERROR: The file holds no firmware.";
inline constexpr const char* kLineFileLoaded = "FILE Load: OK.";
// Begins the line of each doubt the firmware reader had about a file it took.
inline constexpr const char* kLineFirmwareWarning = "WARNING: ";
inline constexpr const char* kLineChangingBaud = "Changing Serial baud rate.";
inline constexpr const char* kLineRestoringBaud = "Restore Serial baud rate.";
inline constexpr const char* kLineStopped = "ERROR: Run stopped by user.";

// What a block pass returns when it ended at a stop request.
inline constexpr int kPassStopped = 2;

// Ends a run's log with `done` and the run's time on one line, whether the
// log's last line is open or not.
void AddTimeLine(Loader& loader, const std::string& done);

// The blocks a pass over image[0, end) sends: each starts at a data byte
// moved back to a multiple of unit and spans at most maxBlock bytes.
std::size_t CountImageBlocks(const FirmwareImage& image, std::size_t end, std::size_t unit, std::size_t maxBlock);

// The flash loader: status log, run frame, port hand-over between the
// terminal and a target, and the state one process keeps between runs.
class Loader {
public:
    explicit Loader(LoaderHost host, TargetSequences sequences = DefaultSequences());
    Loader(const Loader&) = delete;
    Loader& operator=(const Loader&) = delete;

    // Start Program (Button1Click without cursor and focus): clears the log
    // and runs the chosen target, holding the port for the whole run; a
    // placeholder or a typed text only writes its lines and leaves the port
    // to the terminal.
    // Returns false, doing nothing at all, while another run or any other
    // long operation holds the port.
    bool StartProgram(const LoaderInputs& inputs);
    // Device Info. (Button7Click without cursor and focus); same refusal.
    bool DeviceInfo(const LoaderInputs& inputs);
    // Runs another action of the chosen target (read, erase, go) through
    // the same frame as Start Program, after firstLine; same refusal.
    // LastRunResult takes its result.
    bool RunAction(const LoaderInputs& inputs, const std::string& firstLine, const TargetSequence& sequence);
    // CheckBoxResetClick: the reset polarity follows the option at once.
    void ApplyInvertDtr(bool checked) { host_.port.DtrInverted = checked; }

    bool RunActive() const { return host_.port.Owner().Holds(PortUser::LoaderRun); }

    // For sequences, during a run. The terminal settings are those of the
    // inputs the run was started with.
    int OpenPortForTarget(std::uint32_t baud);
    // Asks the driver for low latency for the rest of the run: otherwise
    // every acknowledge waits for a USB adapter's latency timer. The run
    // frame puts the terminal's request back at the run's end. Called (by
    // OpenPortForTarget, or by a sequence that keeps the terminal's port)
    // as the run first reaches for the target, so that a run ending before
    // it leaves the device untouched.
    void RequestLowLatency();
    int RestoreTerminalPort();
    // Milliseconds since the run started, modulo 2^32 like the tick counter.
    std::uint32_t ElapsedMs();
    void AddLine(const std::string& text) { AddStatusLine(host_.log, text); }
    void AppendText(const std::string& text) { AppendStatusText(host_.log, text); }
    void RefreshLog() { host_.log.Refresh(); }
    void ProcessMessages() {
        if (host_.processMessages) host_.processMessages();
    }
    ComPort& Port() { return host_.port; }
    // A request to end the run at its next block boundary (Ctrl+C in a
    // headless run). Lock-free, so a signal handler may make it. It stands
    // until the end of the run it stops, or of the next run.
    void RequestStop() { stopRequested_.store(true, std::memory_order_relaxed); }
    bool StopRequested() const { return stopRequested_.load(std::memory_order_relaxed); }
    void ClearStopRequest() { stopRequested_.store(false, std::memory_order_relaxed); }
    StatusLogView& Log() { return host_.log; }
    // Progress of the block passes: the number of blocks the run will send
    // (all passes together), then one call per block sent. The run frame
    // ends it.
    void BeginProgress(std::size_t totalBlocks);
    void BlockDone();
    FirmwareImage& Image() { return image_; }
    const FirmwareImage& Image() const { return image_; }
    // A sequence's first step: reads the firmware file of the inputs into
    // Image() for the window. A file that cannot go to the target adds
    // "FATAL ERROR: Can't open FILE." (or, for a file that holds nothing,
    // "FATAL ERROR: The file holds no firmware.") and a line that names the
    // file and the reason, and gives false; nothing has touched the port then.
    bool LoadFirmware(const LoaderInputs& inputs, const FlashWindow& window);
    // The file as the last LoadFirmware read it, to be placed again when a
    // run learns more about its target.
    const FirmwareFile& Firmware() const { return firmware_; }

    // Replace a target's sequence (the real protocols plug in here).
    void SetProgramMsp430(TargetSequence s) { sequences_.programMsp430 = std::move(s); }
    void SetMsp430DeviceInfo(TargetSequence s) { sequences_.msp430DeviceInfo = std::move(s); }
    void SetProgramStm32(TargetSequence s) { sequences_.programStm32 = std::move(s); }
    void SetProgramStm32Any(TargetSequence s) { sequences_.programStm32Any = std::move(s); }
    // A run that started the new firmware itself (Go) ends without the
    // reset pulse, which would only restart it.
    void SkipClosingReset() { skipClosingReset_ = true; }

    // Result of the last Start Program run: 0 success, 1 failure. Kept when
    // no run was started (a typed target text).
    int LastRunResult = 0;
    // Set once this run has reopened the port at the target's settings.
    bool PortReopened = false;
    // Set when the last run stopped at an STM32's read-out protection, so
    // that the window can offer to remove it.
    bool ReadoutProtected = false;

private:
    int RunFrame(const LoaderInputs& inputs, const TargetSequence& sequence, std::uint32_t baud);
    int RunTarget(const LoaderInputs& inputs, const LoaderTarget& target, const TargetSequence& sequence);
    void PausePump();
    void ResumePump();
    void ReportProgress();
    void EndProgress();

    LoaderHost host_;
    TargetSequences sequences_;
    FirmwareImage image_;
    FirmwareFile firmware_;
    LoaderInputs runInputs_;
    std::uint32_t runStartTick_ = 0;
    bool restored_ = false;
    bool skipClosingReset_ = false;
    std::optional<LowLatencyRequest> fast_;
    std::size_t progressTotal_ = 0;
    std::size_t progressDone_ = 0;
    std::uint32_t progressStartTick_ = 0;
    std::atomic<bool> stopRequested_{false};
    static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace quennet
