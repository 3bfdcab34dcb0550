#include "loader/Loader.h"

#include <cctype>
#include <utility>

#include "core/BaudText.h"
#include "loader/FirmwareCheck.h"
#include "loader/Msp430Program.h"
#include "loader/Stm32Program.h"

namespace quennet {

const LoaderTarget* FindLoaderTarget(int index) {
    return index >= 0 && index < kLoaderTargetCount ? &kLoaderTargets[index] : nullptr;
}

namespace {

// Runs a cleanup at scope exit unless disarmed; keeps the pump and the
// module flags right even when a sequence throws.
template <typename F>
class AtExit {
public:
    explicit AtExit(F f) : f_(std::move(f)) {}
    ~AtExit() {
        if (armed_) f_();
    }
    AtExit(const AtExit&) = delete;
    AtExit& operator=(const AtExit&) = delete;
    void Disarm() { armed_ = false; }

private:
    F f_;
    bool armed_ = true;
};

}  // namespace

TargetSequences DefaultSequences() {
    TargetSequences s;
    s.programMsp430 = ProgramMsp430;
    s.msp430DeviceInfo = Msp430DeviceInfo;
    s.programStm32 = ProgramStm32;
    s.programStm32Any = ProgramStm32Any;
    return s;
}

Loader::Loader(LoaderHost host, TargetSequences sequences)
    : host_(std::move(host)), sequences_(std::move(sequences)) {}

void Loader::PausePump() {
    if (host_.pausePump) host_.pausePump();
}

void Loader::ResumePump() {
    if (host_.resumePump) host_.resumePump();
}

std::uint32_t Loader::ElapsedMs() {
    // Unsigned subtraction gives the right span across the counter's wrap.
    return host_.port.clock().TickCount() - runStartTick_;
}

void Loader::RequestLowLatency() {
    if (!fast_) fast_.emplace(host_.port);
}

int Loader::OpenPortForTarget(std::uint32_t baud) {
    AddLine(kLineChangingBaud);
    // The port the target gets is opened with the request standing.
    RequestLowLatency();
    host_.port.ComClose();
    if (host_.port.ComOpen(runInputs_.terminalPort, baud, kFrameE81) != kComOk) {
        AddLine(kLineCantOpenPort);
        return 1;
    }
    PortReopened = true;
    return 0;
}

int Loader::RestoreTerminalPort() {
    if (!PortReopened) return 0;
    restored_ = true;
    AddLine(kLineRestoringBaud);
    host_.port.ComClose();
    if (host_.port.ComOpen(runInputs_.terminalPort, ParseBaudText(runInputs_.terminalBaud),
                           runInputs_.terminalFormat) != kComOk) {
        AddLine(kLineCantOpenPort);
        return 1;
    }
    return 0;
}

bool Loader::LoadFirmware(const LoaderInputs& inputs, const FlashWindow& window) {
    const std::string reason =
        LoadFirmwareFor(inputs.firmwarePath, inputs.binaryAddress, window, firmware_, image_);
    if (reason.empty()) return true;
    AddLine(kLineCantOpenFile);
    std::string line = FirmwareRefusal(inputs.firmwarePath, reason);
    line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
    AddLine(line + ".");
    return false;
}

int Loader::RunFrame(const LoaderInputs& inputs, const TargetSequence& sequence,
                     std::uint32_t baud) {
    // Nothing but the run may read the port while it lasts.
    PausePump();
    AtExit resume([this] { ResumePump(); });
    AtExit endFast([this] { fast_.reset(); });

    runInputs_ = inputs;
    runStartTick_ = host_.port.clock().TickCount();
    PortReopened = false;
    ReadoutProtected = false;
    restored_ = false;
    skipClosingReset_ = false;

    if (!host_.port.IsOpen()) {
        AddLine(kLineNoPort);
        return 1;
    }
    host_.port.DtrInverted = inputs.invertDtr;

    int result = 1;
    if (sequence)
        result = sequence(*this, inputs, baud) == 0 ? 0 : 1;
    else
        AddLine("ERROR: No programming sequence for this target.");

    // A sequence that ended without giving the port back leaves the
    // terminal stuck at the target's settings; hand it back here.
    if (PortReopened && !restored_) RestoreTerminalPort();
    // The terminal's port gets its low-latency flag back as it had it.
    fast_.reset();

    resume.Disarm();
    ResumePump();
    // Only a good run restarts the target into its (new) firmware.
    if (result == 0 && !skipClosingReset_) host_.port.ComResetTarget();
    return result;
}

int Loader::RunTarget(const LoaderInputs& inputs, const LoaderTarget& target,
                      TargetSequence TargetSequences::*sequence) {
    // The watchdog toggle lasts exactly as long as the run of a target that
    // offers it; other targets leave the flag alone.
    if (!target.watchdogOption) return RunFrame(inputs, sequences_.*sequence, target.baud);
    AtExit clearWatchdog([this] { host_.port.WatchdogToggle = false; });
    if (inputs.toggleTck) host_.port.WatchdogToggle = true;
    return RunFrame(inputs, sequences_.*sequence, target.baud);
}

bool Loader::StartProgram(const LoaderInputs& inputs) {
    PortLease lease(host_.port.Owner(), PortUser::LoaderRun);
    if (!lease.Held()) return false;
    AtExit endStop([this] { ClearStopRequest(); });

    host_.log.Clear();
    host_.log.Refresh();

    // A text of the user's own in the chooser: nothing to run, and the last
    // result stands.
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target) return true;
    AddLine(target->programLine);
    if (!target->program) {
        AddLine("Under Development.");
        LastRunResult = 0;
        return true;
    }
    LastRunResult = RunTarget(inputs, *target, target->program);
    return true;
}

bool Loader::DeviceInfo(const LoaderInputs& inputs) {
    PortLease lease(host_.port.Owner(), PortUser::LoaderRun);
    if (!lease.Held()) return false;
    AtExit endStop([this] { ClearStopRequest(); });

    host_.log.Clear();
    host_.log.Refresh();

    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target || !target->deviceInfo) return true;
    AddLine(target->infoLine);
    // The query's result is not kept: LastRunResult is Start Program's.
    RunTarget(inputs, *target, target->deviceInfo);
    return true;
}

}  // namespace quennet
