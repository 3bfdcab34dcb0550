#include "serial/posix/BoardAnnounce.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace quennet::posix {

namespace {

constexpr const char* kLockSuffix = ".lock";
constexpr const char* kDefaultPrefix = "quennet-board-";
constexpr int kMaxNumbered = 99;

// A real directory (lstat: a link to one does not count) owned by this user.
// strict: no access at all for group and others; otherwise only no write.
bool SafeDir(const std::string& path, bool strict) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
    const mode_t forbidden = strict ? (S_IRWXG | S_IRWXO) : (S_IWGRP | S_IWOTH);
    return (st.st_mode & forbidden) == 0;
}

std::optional<std::string> OwnFolder(const std::string& path, bool create) {
    if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    if (!SafeDir(path, true)) return std::nullopt;
    return path;
}

// Locks of the open file description (not of the process), so that one
// process sees another descriptor's lock, and a look takes no lock itself.
flock WholeFile(short type) {
    flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

// Whether a running process holds the lock file of a link.
bool LockHeld(const std::string& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    flock probe = WholeFile(F_WRLCK);
    const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

// The pid a board wrote into its lock file, for a message.
std::string HolderOf(const std::string& lockPath) {
    const int fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return {};
    char text[16] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    std::string pid;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) pid += text[i];
    return pid;
}

bool IsPtyLink(const std::string& link) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return false;
    char target[256];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    return std::string(target).rfind("/dev/pts/", 0) == 0 && ::stat(target, &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

std::optional<std::string> BoardAnnounceDirIn(const std::string& runtimeDir,
                                              const std::string& tmpDir, bool create) {
    if (!runtimeDir.empty() && runtimeDir[0] == '/' && SafeDir(runtimeDir, false))
        if (auto dir = OwnFolder(runtimeDir + "/quennet", create)) return dir;
    return OwnFolder(tmpDir + "/quennet-" + std::to_string(::getuid()), create);
}

std::optional<std::string> BoardAnnounceDir(bool create) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return BoardAnnounceDirIn(runtime ? runtime : "", "/tmp", create);
}

std::vector<std::string> AnnouncedBoards(const std::string& folder) {
    std::vector<std::string> boards;
    if (!SafeDir(folder, true)) return boards;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return boards;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string link = folder + "/" + entry->d_name;
        // Only pseudo-terminals, and only while the board that made the
        // link runs (a dead board's pty number may be reused).
        if (IsPtyLink(link) && LockHeld(link + kLockSuffix)) boards.push_back(link);
    }
    ::closedir(dir);
    std::sort(boards.begin(), boards.end());
    return boards;
}

BoardLink::~BoardLink() {
    if (lockFd_ < 0) return;
    // The link first: nobody may find it without its lock. The lock file is
    // removed while still held; a board that opened it meanwhile notices.
    ::unlink(path_.c_str());
    ::unlink((path_ + kLockSuffix).c_str());
    ::close(lockFd_);
}

BoardLink::BoardLink(BoardLink&& other) noexcept
    : path_(std::move(other.path_)), lockFd_(std::exchange(other.lockFd_, -1)) {}

BoardLink& BoardLink::operator=(BoardLink&& other) noexcept {
    if (this != &other) {
        BoardLink gone(std::move(*this));
        path_ = std::move(other.path_);
        lockFd_ = std::exchange(other.lockFd_, -1);
    }
    return *this;
}

BoardLink BoardLink::Claim(const std::string& path, const std::string& ptyPath, std::string& error) {
    BoardLink claim;
    const std::string lockPath = path + kLockSuffix;
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            error = "cannot make " + lockPath;
            return claim;
        }
        flock lock = WholeFile(F_WRLCK);
        if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            ::close(fd);
            const std::string pid = HolderOf(lockPath);
            error = path + " belongs to a running board" + (pid.empty() ? "" : " (process " + pid + ")");
            return claim;
        }
        // A board that was leaving may have removed the file just before
        // the lock was granted: the lock must be on the file at the path.
        struct stat held {}, there {};
        if (::fstat(fd, &held) != 0 || ::stat(lockPath.c_str(), &there) != 0 || held.st_ino != there.st_ino ||
            held.st_dev != there.st_dev) {
            ::close(fd);
            continue;
        }
        const std::string pid = std::to_string(::getpid()) + "\n";
        if (::ftruncate(fd, 0) != 0 || ::write(fd, pid.data(), pid.size()) < 0) {
            // The pid is only for messages; the lock is what counts.
        }
        ::unlink(path.c_str());  // a link left by a board that ended
        if (::symlink(ptyPath.c_str(), path.c_str()) != 0) {
            ::unlink(lockPath.c_str());
            ::close(fd);
            error = "cannot make the link " + path;
            return claim;
        }
        claim.path_ = path;
        claim.lockFd_ = fd;
        return claim;
    }
    error = "cannot lock " + lockPath;
    return claim;
}

BoardLink AnnounceBoard(const std::string& folder, const std::string& chip, const std::string& ptyPath,
                        std::string& error) {
    // A second board of a kind gets a numbered name instead of taking the
    // first one's: a terminal that has the first open must keep it.
    const std::string base = folder + "/" + kDefaultPrefix + chip;
    for (int n = 1; n <= kMaxNumbered; ++n) {
        const std::string path = n == 1 ? base : base + "-" + std::to_string(n);
        std::string why;
        BoardLink link = BoardLink::Claim(path, ptyPath, why);
        if (link.Held()) return link;
        if (!LockHeld(path + kLockSuffix)) {
            error = why;
            return link;
        }
    }
    error = "every name from " + base + " to " + base + "-" + std::to_string(kMaxNumbered) + " is taken";
    return {};
}

}  // namespace quennet::posix
