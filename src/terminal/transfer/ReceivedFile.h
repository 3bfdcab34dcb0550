#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "terminal/transfer/Transfer.h"

namespace quennet {

// A file name from the far end made safe to create in the chosen folder:
// only its last path component, without drive letters, control and reserved
// characters (replaced by '_'), trailing dots and blanks; Windows device
// names (CON, NUL, COM1, ...) get a leading '_'; ".", ".." and names that
// end up empty become "received-file". The same rules apply on every
// platform, so a name is treated alike wherever the program runs.
std::string SafeReceivedName(const std::string& fromSender);

// "name (1).ext" for the n-th copy.
std::string NumberedName(const std::string& name, int n);

// Where received files go and how much may arrive.
struct ReceiveTarget {
    // Files named by the sender land here (YMODEM, ZMODEM).
    std::filesystem::path folder;
    // A file the user named (XMODEM): the sender's name, if any, is not used,
    // and the user has already agreed to replace it when choosing it.
    std::filesystem::path fixedPath;
    // Bytes the whole transfer may bring at most (0: no limit); a sender
    // that goes past it is cancelled.
    std::uint64_t byteLimit = 0;

    static ReceiveTarget IntoFolder(std::filesystem::path folder, std::uint64_t limit = 0) {
        ReceiveTarget t;
        t.folder = std::move(folder);
        t.byteLimit = limit;
        return t;
    }
    static ReceiveTarget IntoFile(std::filesystem::path file, std::uint64_t limit = 0) {
        ReceiveTarget t;
        t.fixedPath = std::move(file);
        t.byteLimit = limit;
        return t;
    }
};

// One received file on its way to disk: written into a temporary file in
// the target folder and renamed to its real name only when complete, so a
// failed transfer leaves nothing under that name.
class ReceivedFile {
public:
    enum class BeginResult { Opened, Exists, Failed };
    enum class WriteResult { Ok, LimitReached, Failed };

    explicit ReceivedFile(ReceiveTarget target) : target_(std::move(target)) {}
    ~ReceivedFile() { Abandon(); }
    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;

    // Starts a file under the sender's name; size caps what is kept (the
    // padding of the last block is dropped). Exists: ask the user, then
    // call Decide.
    BeginResult Begin(const std::string& senderName, std::optional<std::uint64_t> size);
    // Skip discards the file's bytes; the others open it.
    BeginResult Decide(ExistingFileChoice choice);

    WriteResult Write(const std::uint8_t* data, std::size_t n);
    // Renames the finished file to its name; false when it cannot, or when
    // fewer bytes came than the sender announced. Either way nothing stays
    // behind under a temporary name.
    bool Commit();
    // Drops the temporary file.
    void Abandon();

    bool Open() const { return file_.is_open() || skipping_; }
    bool Skipping() const { return skipping_; }
    const std::string& Name() const { return name_; }
    std::uint64_t Received() const { return received_; }
    std::uint64_t Kept() const { return kept_; }
    std::uint64_t TransferBytes() const { return transferBytes_; }
    const std::optional<std::uint64_t>& Size() const { return size_; }
    const std::string& Problem() const { return problem_; }

private:
    BeginResult OpenTemp();
    std::filesystem::path Folder() const;

    ReceiveTarget target_;
    std::string name_;
    std::filesystem::path finalPath_;
    std::filesystem::path tempPath_;
    std::ofstream file_;
    bool replace_ = false;
    bool skipping_ = false;
    std::optional<std::uint64_t> size_;
    std::uint64_t received_ = 0;        // of this file, as the sender sent it
    std::uint64_t kept_ = 0;            // of this file, written
    std::uint64_t transferBytes_ = 0;   // over every file, for the limit
    std::string problem_;
};

}  // namespace quennet
