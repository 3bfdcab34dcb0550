#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quennet {

class ReceivedFile;

// How a transfer ended, or that it still runs.
enum class TransferOutcome {
    Running,
    Done,             // every file sent or received
    Cancelled,        // stopped here (the Stop button)
    FarEndCancelled,  // the far end sent its cancel sequence
    NoPeer,           // nobody answered at the start
    TooManyErrors,    // retries used up
    Failed,           // a file could not be read or written, a limit was hit
};

// The answer to "a file of that name is already there".
enum class ExistingFileChoice { Replace, KeepBoth, Skip };

struct TransferProgress {
    std::string file;               // the file now moving
    std::uint64_t bytes = 0;        // of that file, confirmed
    std::optional<std::uint64_t> total;  // its size, when known
    std::uint64_t batchBytes = 0;   // every file so far, the current one included
    int filesDone = 0;
    double bytesPerSecond = 0;      // batchBytes over the time since the start
};

// One file transfer in one direction, driven from outside: the caller hands
// it what the port received (Feed), lets it see the time (Poll), and writes
// what it wants sent (OutputData/Consume). Nothing here waits, reads the port
// or sleeps, so a window's timer can drive it tick by tick, and a blocking
// loop (RunTransfer) can drive it to the end. Times are milliseconds from any
// fixed start.
class Transfer {
public:
    // Cancel sequence: eight CAN then eight backspaces that erase them on a
    // terminal that shows them.
    static const std::vector<std::uint8_t>& CancelSequence();

    virtual ~Transfer() = default;

    void Feed(const std::uint8_t* data, std::size_t n, std::uint64_t nowMs);
    void Poll(std::uint64_t nowMs);
    // The Stop button: tells the far end by the cancel sequence and ends.
    void Cancel(std::uint64_t nowMs);
    // The port went away or stopped taking bytes: ends without a word to
    // the far end.
    void PortLost(std::uint64_t nowMs);

    // Bytes waiting to be written; Consume drops the first n once written.
    const std::uint8_t* OutputData() const { return out_.data() + outHead_; }
    std::size_t OutputSize() const { return out_.size() - outHead_; }
    void Consume(std::size_t n);
    // How many unwritten bytes a streaming sender lets pile up before it
    // waits for the writer (a window writes a tick's worth at a time).
    void SetOutputAhead(std::size_t bytes) { outputAhead_ = bytes; }

    bool Finished() const { return outcome_ != TransferOutcome::Running; }
    TransferOutcome Outcome() const { return outcome_; }
    // Lines to show as the transfer goes (a file received, a file skipped)
    // and, once finished, its end line last.
    const std::vector<std::string>& Lines() const { return lines_; }
    const std::string& EndLine() const { return endLine_; }
    const TransferProgress& Progress() const { return progress_; }
    // The latest time the transfer wants Poll to be called, if any.
    std::optional<std::uint64_t> NextDueMs() const { return dueMs_; }

    // A received file's name is taken: the transfer waits for Answer.
    const std::optional<std::string>& Question() const { return question_; }
    void Answer(ExistingFileChoice choice);

protected:
    virtual void OnBytes(const std::uint8_t* data, std::size_t n) = 0;
    virtual void OnPoll() = 0;
    virtual void OnAnswer(ExistingFileChoice choice) { (void)choice; }
    // Last act of a cancel or a failure: releases files.
    virtual void OnEnd() {}

    void Send(const std::uint8_t* data, std::size_t n);
    void Send(const std::vector<std::uint8_t>& bytes) { Send(bytes.data(), bytes.size()); }
    void SendByte(std::uint8_t b) { Send(&b, 1); }
    void SendCancel() { Send(CancelSequence()); }
    void DropOutput() { out_.clear(); outHead_ = 0; }
    bool OutputRoom() const { return OutputSize() < outputAhead_; }

    void AddLine(std::string line) { lines_.push_back(std::move(line)); }
    void End(TransferOutcome outcome, std::string line);
    // The usual end lines for the current file.
    void EndCancelledByFarEnd();
    void EndTooManyErrors();
    void Ask(const std::string& name) { question_ = name; }

    void SetDue(std::uint64_t atMs) { dueMs_ = atMs; }
    void ClearDue() { dueMs_.reset(); }
    bool Due() const { return dueMs_ && now_ >= *dueMs_; }
    std::uint64_t Now() const { return now_; }

    void StartFile(const std::string& name, std::optional<std::uint64_t> total);
    // A batch protocol's file header (name, NUL, size in decimal, more the
    // receiver may ignore) opens the file: Opened, Asking (the name is taken
    // and the user is asked; no deadline until the answer) or Failed.
    enum class FileStart { Opened, Asking, Failed };
    FileStart BeginReceivedFile(ReceivedFile& file, const std::uint8_t* header, std::size_t n);
    void SetFileBytes(std::uint64_t bytes);
    void FileDone();

    TransferProgress progress_;

private:
    void UpdateRate();

    std::vector<std::uint8_t> out_;
    std::size_t outHead_ = 0;
    std::size_t outputAhead_ = 4096;
    TransferOutcome outcome_ = TransferOutcome::Running;
    std::vector<std::string> lines_;
    std::string endLine_;
    std::optional<std::uint64_t> dueMs_;
    std::optional<std::string> question_;
    std::uint64_t now_ = 0;
    std::optional<std::uint64_t> startMs_;
    std::uint64_t doneBefore_ = 0;  // batch bytes of the files already done
};

// A file's modification time in seconds since 1970 (0 when unknown), as
// the batch protocols announce it.
long long FileMtimeSeconds(const std::filesystem::path& path);

// "foo.bin after 512 bytes" and its kin, for end lines.
std::string FileAfterBytes(const std::string& file, std::uint64_t bytes);

}  // namespace quennet
