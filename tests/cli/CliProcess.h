#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace quennet::testing {

// A command-line program run to its end, its output collected. onOutput is
// called as standard output grows and may signal the process (Ctrl+C).
struct CliResult {
    int exitCode = -1;  // -1 when it did not exit by itself in time
    std::string out, err;
    double seconds = 0;
};

inline CliResult RunCli(const std::string& exe, const std::vector<std::string>& args,
                        int timeoutMs = 30000,
                        const std::function<void(pid_t, const std::string&)>& onOutput = {}) {
    CliResult r;
    int out[2], err[2];
    if (::pipe(out) != 0) return r;
    if (::pipe(err) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return r;
    }
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    bool outOpen = true, errOpen = true;
    auto elapsedMs = [&t0] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    };
    while ((outOpen || errOpen) && elapsedMs() < timeoutMs) {
        pollfd p[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (::poll(p, 2, 50) <= 0) continue;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
            const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                (i == 0 ? outOpen : errOpen) = false;
                continue;
            }
            (i == 0 ? r.out : r.err).append(buf, static_cast<std::size_t>(n));
            if (i == 0 && onOutput) onOutput(pid, r.out);
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    if (outOpen || errOpen) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    } else {
        ::waitpid(pid, &status, 0);
        if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    }
    r.seconds = static_cast<double>(elapsedMs()) / 1000.0;
    return r;
}

// The lines of a program's output; a last line without its LF counts too.
inline std::vector<std::string> LinesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

}  // namespace quennet::testing
