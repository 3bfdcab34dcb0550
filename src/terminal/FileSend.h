#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "serial/Clock.h"
#include "serial/ComPort.h"

namespace quennet {

// Streams a file to the port in 32-byte blocks, a batch of blocks per tick of
// the receive pump. The window owns one FileSender and shows "STOP Send"
// while Running() and "Send File" otherwise.
class FileSender {
public:
    static constexpr std::size_t kBlockSize = 32;
    static constexpr int kBlocksPerStep = 100;
    static constexpr int kPauseBeforeBlockMs = 1;
    // Writes in a row that take no byte before the transfer is given up: the
    // port has been closed or has failed, and it would never take the block.
    static constexpr int kMaxIdleWrites = 3;

    // Values of SendFileMode.
    static constexpr int kIdle = 0;
    static constexpr int kRaw = 1;
    static constexpr int kCompactSrec = 2;

    enum class StartResult {
        Started,
        PortNotOpen,  // "Communication Port is not Open!"
        CannotOpen,   // "Can't Open the File!"
        InvalidMode,  // the mode list has no entry chosen; nothing started
    };

    enum class StepResult {
        Idle,     // no transfer was running; nothing done
        Running,  // the transfer goes on at the next tick
        Ended,    // the transfer ended in this step: caption back, focus to Memo1
        EndedTbd, // a Compact SREC transfer ended: also show "TBD"
    };

    FileSender() = default;
    ~FileSender();
    FileSender(const FileSender&) = delete;
    FileSender& operator=(const FileSender&) = delete;

    // Opens the file for binary reading and enters the mode of the list index
    // (0 "Raw", 1 "Compact SREC"). A transfer that runs is not affected by a
    // failed start, and a start while one runs restarts with the new file.
    StartResult Start(const std::string& path, int modeIndex);
    // The same, refusing first when the port is not open.
    StartResult Start(const ComPort& port, const std::string& path, int modeIndex);

    // Ends a running transfer (the "STOP Send" click); false when idle.
    bool Stop();

    // One step of the running transfer, whichever its mode.
    StepResult Step(ComPort& port, Clock& clock);
    // Up to kBlocksPerStep blocks, each after a pause and in one write.
    StepResult RawSendStep(ComPort& port, Clock& clock);
    // No encoding is defined for Compact SREC: ends at once.
    StepResult SrecSendStep();

    bool Running() const { return SendFileMode != kIdle; }

    // 0 idle, 1 Raw, 2 Compact SREC.
    int SendFileMode = kIdle;

private:
    void Finish();
    // Writes the block, retrying a write that takes nothing; false when the
    // port will not take it.
    bool WriteBlock(ComPort& port, const std::uint8_t* data, std::size_t n);

    std::FILE* SendFileStream = nullptr;
};

}  // namespace quennet
