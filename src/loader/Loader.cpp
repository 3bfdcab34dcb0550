#include "loader/Loader.h"

#include <algorithm>
#include <cctype>
#include <utility>

#include "core/BaudText.h"
#include "core/ScopeExit.h"
#include "loader/FirmwareCheck.h"
#include "loader/Msp430Program.h"
#include "loader/Stm32Program.h"

namespace quennet {

const LoaderTarget* FindLoaderTarget(int index) {
    return index >= 0 && index < kLoaderTargetCount ? &kLoaderTargets[index] : nullptr;
}


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
    const std::uint32_t baud = ParseBaudText(runInputs_.terminalBaud);
    const int reopened = runInputs_.terminalFrame
                             ? host_.port.ComOpen(runInputs_.terminalPort, baud, *runInputs_.terminalFrame)
                             : host_.port.ComOpen(runInputs_.terminalPort, baud, runInputs_.terminalFormat);
    if (reopened != kComOk) {
        AddLine(kLineCantOpenPort);
        return 1;
    }
    return 0;
}

bool Loader::LoadFirmware(const LoaderInputs& inputs, const FlashWindow& window) {
    const std::string reason =
        LoadFirmwareFor(inputs.firmwarePath, inputs.binaryAddress, window, firmware_, image_);
    if (reason.empty()) {
        // The file is taken; what its reader doubted is said before the run goes on.
        for (const std::string& warning : firmware_.warnings)
            AddLine(std::string(kLineFirmwareWarning) + FirmwareRefusal(inputs.firmwarePath, warning) + ".");
        return true;
    }
    // A file that was read but holds nothing at all is not one that could
    // not be opened.
    AddLine(reason == kFirmwareHoldsNoData ? kLineNoFirmware : kLineCantOpenFile);
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
    AtExit endProgress([this] { EndProgress(); });

    runInputs_ = inputs;
    runStartTick_ = host_.port.clock().TickCount();
    PortReopened = false;
    ReadoutProtected = false;
    restored_ = false;
    skipClosingReset_ = false;

    if (!host_.port.IsOpen()) {
        AddLine(kLineNoPort);
        // A port chosen but not open: the line above does not say what to do.
        if (!inputs.terminalPort.empty()) AddLine(kLineTickOpenCom);
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
    // A failure of the line itself gets its cause under the run's last
    // error: no answer comes from a device that is not there.
    if (result != 0 && host_.port.ComDeviceGone())
        AddLine("The device " + runInputs_.terminalPort + " went away.");
    // The terminal's port gets its low-latency flag back as it had it.
    fast_.reset();

    resume.Disarm();
    ResumePump();
    // Only a good run restarts the target into its (new) firmware.
    if (result == 0 && !skipClosingReset_) host_.port.ComResetTarget();
    return result;
}

int Loader::RunTarget(const LoaderInputs& inputs, const LoaderTarget& target, const TargetSequence& sequence) {
    // The watchdog toggle lasts exactly as long as the run of a target that
    // offers it; other targets leave the flag alone.
    if (!target.watchdogOption) return RunFrame(inputs, sequence, target.baud);
    AtExit clearWatchdog([this] { host_.port.WatchdogToggle = false; });
    if (inputs.toggleTck) host_.port.WatchdogToggle = true;
    return RunFrame(inputs, sequence, target.baud);
}

bool Loader::StartProgram(const LoaderInputs& inputs) {
    // The log of a run that holds the port is not touched.
    if (!host_.port.Owner().Holds(PortUser::Terminal)) return false;
    host_.log.Clear();
    host_.log.Refresh();

    // A text of the user's own in the chooser: nothing to run, and the last
    // result stands. Nothing here touches the port, so it is not taken: a
    // file send of the terminal goes on.
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target) return true;
    AddLine(target->programLine);
    if (!target->program) {
        AddLine("Under Development.");
        LastRunResult = 0;
        return true;
    }
    PortLease lease(host_.port.Owner(), PortUser::LoaderRun);
    AtExit endStop([this] { ClearStopRequest(); });
    LastRunResult = RunTarget(inputs, *target, sequences_.*target->program);
    return true;
}

bool Loader::DeviceInfo(const LoaderInputs& inputs) {
    if (!host_.port.Owner().Holds(PortUser::Terminal)) return false;
    host_.log.Clear();
    host_.log.Refresh();

    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target || !target->deviceInfo) return true;
    PortLease lease(host_.port.Owner(), PortUser::LoaderRun);
    AtExit endStop([this] { ClearStopRequest(); });
    AddLine(target->infoLine);
    // The query's result is not kept: LastRunResult is Start Program's.
    RunTarget(inputs, *target, sequences_.*target->deviceInfo);
    return true;
}

bool Loader::RunAction(const LoaderInputs& inputs, const std::string& firstLine, const TargetSequence& sequence) {
    if (!host_.port.Owner().Holds(PortUser::Terminal)) return false;
    host_.log.Clear();
    host_.log.Refresh();
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (!target || !target->program) return true;
    PortLease lease(host_.port.Owner(), PortUser::LoaderRun);
    AtExit endStop([this] { ClearStopRequest(); });
    AddLine(firstLine);
    LastRunResult = RunTarget(inputs, *target, sequence);
    return true;
}

std::string FlashRange(const LoaderInputs& inputs, std::uint32_t base, std::size_t bytes, std::uint32_t& start,
                       std::size_t& length) {
    const std::uint64_t end = std::uint64_t{base} + bytes;
    const std::uint64_t from = inputs.rangeStart.value_or(base);
    if (from < base || from >= end)
        return "starts at " + FormatFlashAddress(from) + ", outside the flash at " + FormatFlashAddress(base) +
               " to " + FormatFlashAddress(end - 1);
    const std::uint64_t n = inputs.rangeLength ? *inputs.rangeLength : end - from;
    if (n == 0) return "is empty";
    if (from + n > end)
        return "ends at " + FormatFlashAddress(from + n - 1) + ", beyond the flash's last byte at " +
               FormatFlashAddress(end - 1);
    start = static_cast<std::uint32_t>(from);
    length = static_cast<std::size_t>(n);
    return {};
}

void Loader::BeginProgress(std::size_t totalBlocks) {
    progressTotal_ = totalBlocks;
    progressDone_ = 0;
    progressStartTick_ = host_.port.clock().TickCount();
    ReportProgress();
}

void Loader::BlockDone() {
    if (progressTotal_ == 0) return;
    if (progressDone_ < progressTotal_) ++progressDone_;
    ReportProgress();
}

void Loader::EndProgress() {
    const bool shown = progressTotal_ != 0;
    progressTotal_ = progressDone_ = 0;
    if (shown && host_.progress) host_.progress(RunProgress{});
}

void Loader::ReportProgress() {
    // An image without data has no blocks to show.
    if (!host_.progress || progressTotal_ == 0) return;
    RunProgress p;
    p.active = true;
    p.percent = static_cast<int>(progressDone_ * 100 / progressTotal_);
    if (progressDone_ > 0) {
        // The blocks still to go at the pace of those done so far.
        const std::uint64_t spent = static_cast<std::uint32_t>(host_.port.clock().TickCount() - progressStartTick_);
        p.msLeft = spent * (progressTotal_ - progressDone_) / progressDone_;
    }
    host_.progress(p);
}

std::string ProgressText(const RunProgress& progress) {
    std::string text = std::to_string(progress.percent) + "%";
    if (progress.msLeft) {
        // Rounded up: "0:00 left" only once nothing is left.
        const std::uint64_t s = (*progress.msLeft + 999) / 1000;
        const std::uint64_t sec = s % 60;
        text += ", " + std::to_string(s / 60) + (sec < 10 ? ":0" : ":") + std::to_string(sec) + " left";
    }
    return text;
}

void AddTimeLine(Loader& loader, const std::string& done) {
    const std::string time = FormatElapsed(loader.ElapsedMs());
    if (loader.Log().AtLineStart()) {
        loader.AppendText(done + time);
        return;
    }
    loader.AddLine(done);
    loader.AppendText(time);
}

std::size_t CountImageBlocks(const FirmwareImage& image, std::size_t end, std::size_t unit, std::size_t maxBlock) {
    // The same walk as the block passes: a block starts at the first data
    // byte, moved back to its unit boundary, and spans at most maxBlock.
    end = std::min(end, image.size());
    if (unit == 0 || maxBlock == 0) return 0;
    std::size_t blocks = 0;
    std::size_t a = 0;
    while (a < end) {
        if (image[a] == FirmwareImage::kBlank) {
            ++a;
            continue;
        }
        a -= a % unit;
        a += std::min(maxBlock, end - a);
        ++blocks;
    }
    return blocks;
}

}  // namespace quennet
