#include "serial/posix/BoardAnnounce.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace quennet::posix {

namespace {

constexpr const char* kLinkPrefix = "board-";

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

// The pid at the end of "board-<chip>-<pid>", or -1.
long PidOf(const std::string& name) {
    const auto dash = name.rfind('-');
    if (dash == std::string::npos || dash + 1 >= name.size()) return -1;
    long pid = 0;
    for (std::size_t i = dash + 1; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || pid > 100000000) return -1;
        pid = pid * 10 + (name[i] - '0');
    }
    return pid > 0 ? pid : -1;
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
        const std::string name = entry->d_name;
        if (name.rfind(kLinkPrefix, 0) != 0) continue;
        const std::string link = folder + "/" + name;
        struct stat st {};
        if (::lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        char target[256];
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        // Only pseudo-terminals, and only while both the pty and its board
        // process are there (a dead board's pty number may be reused).
        if (std::string(target).rfind("/dev/pts/", 0) != 0) continue;
        if (::stat(target, &st) != 0 || !S_ISCHR(st.st_mode)) continue;
        const long pid = PidOf(name);
        if (pid < 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) continue;
        boards.push_back(link);
    }
    ::closedir(dir);
    std::sort(boards.begin(), boards.end());
    return boards;
}

std::string AnnounceBoard(const std::string& folder, const std::string& chip,
                          const std::string& ptyPath) {
    const std::string link =
        folder + "/" + kLinkPrefix + chip + "-" + std::to_string(::getpid());
    ::unlink(link.c_str());  // a leftover of an earlier process with this pid
    if (::symlink(ptyPath.c_str(), link.c_str()) != 0) return {};
    return link;
}

}  // namespace quennet::posix
