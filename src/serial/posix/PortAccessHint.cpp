#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "serial/ComPort.h"
#include "serial/PortProblem.h"

namespace quennet {

namespace {

bool SessionHasGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    const int got = ::getgroups(n, groups.data());
    for (int i = 0; i < got; ++i)
        if (groups[static_cast<size_t>(i)] == gid) return true;
    return false;
}

// Whether the group database lists the user as a member (a supplementary
// member, or the group is the user's primary one).
bool AccountInGroup(const passwd* user, const group* gr) {
    if (user == nullptr || gr == nullptr) return false;
    if (user->pw_gid == gr->gr_gid) return true;
    for (char** member = gr->gr_mem; member != nullptr && *member != nullptr; ++member)
        if (std::strcmp(*member, user->pw_name) == 0) return true;
    return false;
}

}  // namespace

std::string PortAccessHint(const std::string& name) {
    const std::string path = PortNameToPath(name);
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return "";
    if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0) return "";
    if (errno != EACCES && errno != EPERM) return "";

    const passwd* user = ::getpwuid(::geteuid());
    const std::string userName = (user != nullptr && user->pw_name != nullptr) ? user->pw_name : "$USER";
    const group* gr = ::getgrgid(st.st_gid);
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0;
    if (!groupMayUse || gr == nullptr) {
        return "Permission denied: " + path + " can only be opened by its owner; ask your administrator "
               "for access (a udev rule can give it to the dialout group).";
    }
    const std::string groupName = gr->gr_name;
    if (AccountInGroup(user, gr) && !SessionHasGroup(st.st_gid)) {
        return "Permission denied: your user was added to the " + groupName +
               " group after this session started; log out and in again to use the port.";
    }
    return "Permission denied: to use " + path + " your user must be in the " + groupName +
           " group; join it with \"sudo usermod -aG " + groupName + " " + userName +
           "\", then log out and in again.";
}

}  // namespace quennet
