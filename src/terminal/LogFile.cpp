#include "terminal/LogFile.h"

#include <cstring>

namespace quennet {

LogFile::~LogFile() { Close(); }

bool LogFile::Open(const std::string& path) {
    Close();
    if (path.empty()) return false;
    file_ = std::fopen(path.c_str(), "ab");
    if (file_ == nullptr) return false;
    // The buffer here is the only one, so that at most kBufferSize bytes are
    // ever held back.
    std::setvbuf(file_, nullptr, _IONBF, 0);
    lineStart_ = true;
    return true;
}

void LogFile::Close() {
    if (file_ == nullptr) return;
    Flush();
    std::fclose(file_);
    file_ = nullptr;
    used_ = 0;
}

void LogFile::WriteOut(const std::uint8_t* bytes, std::size_t n) {
    if (n == 0) return;
    // A failed write loses these bytes; the error flag is cleared so that the
    // next write tries again.
    if (std::fwrite(bytes, 1, n, file_) != n) std::clearerr(file_);
}

void LogFile::Flush() {
    WriteOut(buffer_, used_);
    used_ = 0;
}

void LogFile::Write(const std::uint8_t* bytes, std::size_t n) {
    if (file_ == nullptr || bytes == nullptr || n == 0) return;
    if (used_ + n > kBufferSize) Flush();
    if (n >= kBufferSize) {
        WriteOut(bytes, n);
        return;
    }
    std::memcpy(buffer_ + used_, bytes, n);
    used_ += n;
}

void LogFile::WriteStamped(const std::uint8_t* bytes, std::size_t n, std::string_view stamp) {
    if (file_ == nullptr || bytes == nullptr) return;
    std::size_t start = 0;
    while (start < n) {
        const void* lf = std::memchr(bytes + start, 0x0A, n - start);
        const std::size_t end = lf ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - bytes) + 1 : n;
        if (lineStart_) Write(reinterpret_cast<const std::uint8_t*>(stamp.data()), stamp.size());
        Write(bytes + start, end - start);
        lineStart_ = bytes[end - 1] == 0x0A;
        start = end;
    }
}

void LogReceivedBytes(LogFile& log, bool enabled, const std::uint8_t* bytes, std::size_t n) {
    if (enabled && log.IsOpen()) log.Write(bytes, n);
}

}  // namespace quennet
