#include "terminal/FileSend.h"

#include <filesystem>
#include <system_error>

namespace quennet {

FileSender::~FileSender() { Finish(); }

FileSender::StartResult FileSender::Start(const std::string& path, int modeIndex) {
    if (modeIndex != kRaw - 1 && modeIndex != kCompactSrec - 1) return StartResult::InvalidMode;
    // A folder opens for reading on some systems but has no bytes to send.
    std::error_code ec;
    if (path.empty() || std::filesystem::is_directory(path, ec)) return StartResult::CannotOpen;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return StartResult::CannotOpen;
    Finish();
    SendFileStream = f;
    SendFileMode = modeIndex + 1;
    return StartResult::Started;
}

FileSender::StartResult FileSender::Start(const ComPort& port, const std::string& path,
                                          int modeIndex) {
    if (!port.IsOpen()) return StartResult::PortNotOpen;
    return Start(path, modeIndex);
}

bool FileSender::Stop() {
    const bool wasRunning = Running();
    Finish();
    return wasRunning;
}

void FileSender::Finish() {
    if (SendFileStream != nullptr) std::fclose(SendFileStream);
    SendFileStream = nullptr;
    SendFileMode = kIdle;
}

FileSender::StepResult FileSender::Step(ComPort& port, Clock& clock) {
    switch (SendFileMode) {
        case kRaw:
            return RawSendStep(port, clock);
        case kCompactSrec:
            return SrecSendStep();
        default:
            return StepResult::Idle;
    }
}

bool FileSender::WriteBlock(ComPort& port, const std::uint8_t* data, std::size_t n) {
    std::size_t done = 0;
    int idle = 0;
    while (done < n) {
        const std::size_t taken = port.ComWrite(data + done, n - done);
        if (taken == 0) {
            if (++idle >= kMaxIdleWrites) return false;
            continue;
        }
        idle = 0;
        done += taken;
    }
    return true;
}

FileSender::StepResult FileSender::RawSendStep(ComPort& port, Clock& clock) {
    if (SendFileMode != kRaw || SendFileStream == nullptr) return StepResult::Idle;
    std::uint8_t block[kBlockSize];
    for (int i = 0; i < kBlocksPerStep; ++i) {
        clock.Sleep(kPauseBeforeBlockMs);
        // A short read is the end of the file or a read error; both end the
        // transfer after what was read has gone out.
        const std::size_t n = std::fread(block, 1, kBlockSize, SendFileStream);
        if (n > 0 && !WriteBlock(port, block, n)) {
            Finish();
            return StepResult::Ended;
        }
        if (n < kBlockSize) {
            Finish();
            return StepResult::Ended;
        }
    }
    return StepResult::Running;
}

FileSender::StepResult FileSender::SrecSendStep() {
    if (SendFileMode != kCompactSrec) return StepResult::Idle;
    Finish();
    return StepResult::EndedTbd;
}

}  // namespace quennet
