#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace quennet::testing {

// A quennet-board process started for a test: its first line of output is
// the pty's path. The board is stopped (SIGTERM, then waited for) when the
// object goes, unless the test stopped or killed it already.
class BoardProcess {
public:
    // With errPath, the board's reports (its standard error) go to that file.
    BoardProcess(const std::string& exe, const std::vector<std::string>& args, const std::string& errPath = "") {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            if (!errPath.empty()) {
                const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (err >= 0) ::dup2(err, 2);
            }
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(exe.c_str()));
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        // The path, as soon as it comes (a loaded machine may take long to
        // start a process; 30 s means something is wrong).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        char c;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            const ssize_t got = ::read(out[0], &c, 1);
            if (got < 0 && errno == EINTR) continue;
            if (got != 1 || c == '\n') break;
            path_ += c;
        }
        ::close(out[0]);
    }
    ~BoardProcess() { Stop(); }
    BoardProcess(const BoardProcess&) = delete;
    BoardProcess& operator=(const BoardProcess&) = delete;

    const std::string& Path() const { return path_; }
    pid_t Pid() const { return pid_; }
    bool Started() const { return pid_ > 0 && !path_.empty(); }

    // Stops the board as Ctrl+C would and waits; its exit status, or -1.
    int Stop(int signal = SIGTERM) {
        if (pid_ <= 0) return -1;
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    std::string path_;
};

}  // namespace quennet::testing
