#pragma once
// Runs a check as a user without privileges: root passes every permission
// test, so what an ordinary user meets (a folder it may not write, a device it
// may not open) can only be seen from a process that is not root.
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace quennet::testing {

// Runs fn in a child process, as "nobody" when this process is root (else as
// this user), and returns what fn returned, or "child failed" when the child
// could not drop its privileges or did not end normally.
inline std::string RunUnprivileged(const std::function<std::string()>& fn) {
    int fds[2];
    if (::pipe(fds) != 0) return "child failed";
    const pid_t pid = ::fork();
    if (pid < 0) return "child failed";
    if (pid == 0) {
        ::close(fds[0]);
        if (::geteuid() == 0) {
            const passwd* nobody = ::getpwnam("nobody");
            const uid_t uid = nobody ? nobody->pw_uid : 65534;
            const gid_t gid = nobody ? nobody->pw_gid : 65534;
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(3);
        }
        const std::string out = fn();
        if (::write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) ::_exit(4);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return out;
}

}  // namespace quennet::testing
