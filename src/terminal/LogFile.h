#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace quennet {

// The log of received bytes: a file opened for binary appending, written
// through a buffer that holds at most kBufferSize bytes. Write errors (a full
// disk, a vanished drive) are dropped silently: logging must never disturb
// the terminal.
class LogFile {
public:
    static constexpr std::size_t kBufferSize = 512;

    LogFile() = default;
    // A log still open at the end of the program is written out.
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Closes a log that is open, then opens path for appending (created when
    // missing). False when it cannot be opened; the log is then closed.
    bool Open(const std::string& path);
    // Writes out the buffer and closes; nothing happens when not open.
    void Close();
    bool IsOpen() const { return file_ != nullptr; }

    // Appends the bytes unchanged; does nothing when not open.
    void Write(const std::uint8_t* bytes, std::size_t n);
    // The same with stamp written before the first byte of every line (the
    // first byte after opening, and each byte after an LF).
    void WriteStamped(const std::uint8_t* bytes, std::size_t n, std::string_view stamp);
    // Bytes held back, not yet handed to the file.
    std::size_t Buffered() const { return used_; }
    // Hands what is held back to the file now (the pump does, once per tick
    // that logged, so that a reader following the file is not left behind).
    void Flush();

private:
    void WriteOut(const std::uint8_t* bytes, std::size_t n);

    std::FILE* file_ = nullptr;
    std::uint8_t buffer_[kBufferSize] = {};
    std::size_t used_ = 0;
    bool lineStart_ = true;
};

// One received chunk for the log: written only while logging is enabled and
// the log is open.
void LogReceivedBytes(LogFile& log, bool enabled, const std::uint8_t* bytes, std::size_t n);

}  // namespace quennet
