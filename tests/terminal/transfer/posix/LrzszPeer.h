#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialDevice.h"

namespace quennet::testing {

// The near end of the line to an lrzsz program: bytes go to the master side
// of the pseudo-terminal that is the program's input, and come back from
// the pipe that is its output (see LrzszPeer).
class PtyMasterDevice : public SerialDevice {
public:
    PtyMasterDevice(int readFd, int writeFd) : fd_(readFd), out_(writeFd) {}
    bool Open(const std::string&) override { return fd_ >= 0; }
    bool GetSettings(LineSettings& out) override { out = {}; return true; }
    bool SetSettings(const LineSettings&) override { return true; }
    bool SetDtr(bool) override { return false; }
    bool SetRts(bool) override { return false; }
    bool Purge(bool, bool) override { return true; }
    bool QueryWaiting(std::uint32_t& count) override {
        int n = 0;
        if (::ioctl(fd_, FIONREAD, &n) != 0) return false;
        count = static_cast<std::uint32_t>(n);
        return true;
    }
    long Read(std::uint8_t* buffer, std::size_t n) override {
        const ssize_t r = ::read(fd_, buffer, n);
        return r < 0 ? (errno == EAGAIN ? 0 : -1) : static_cast<long>(r);
    }
    bool WaitReadable(std::uint64_t timeoutUs) override {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>((timeoutUs + 999) / 1000)) > 0 && (p.revents & POLLIN);
    }
    long Write(const std::uint8_t* data, std::size_t n) override {
        // lrzsz empties its input right after each answer, as a real line
        // lets it: there the next block is still on the wire. A pty would
        // deliver it at once and lose it, so every write comes a line's
        // turnaround (a few character times) after the last answer.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        std::size_t done = 0;
        while (done < n) {
            const ssize_t w = ::write(out_, data + done, n - done);
            if (w > 0) {
                done += static_cast<std::size_t>(w);
                continue;
            }
            if (w < 0 && errno != EAGAIN) break;
            pollfd p{out_, POLLOUT, 0};
            if (::poll(&p, 1, 5000) <= 0) break;
        }
        return static_cast<long>(done);
    }
    bool Close() override { return true; }

private:
    int fd_;
    int out_;
};

// One of lrzsz's programs, started in a folder of its own, reading from the
// slave side of a raw pseudo-terminal (so it meets a terminal, as on a
// board's console) and writing into a pipe. Its output goes through a pipe
// because, on its way out, it flushes its terminal: on a pseudo-terminal
// that throws away a last answer not yet read, which a real line would
// have sent already.
class LrzszPeer {
public:
    LrzszPeer() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) return;
        slavePath_ = name;
        // Held open here too, so the master never sees a hang-up between
        // programs; raw, so nothing is echoed or translated.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        pipeRead_ = fds[0];
        pipeWrite_ = fds[1];
        ::fcntl(pipeRead_, F_SETFL, O_NONBLOCK);
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    ~LrzszPeer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (slave_ >= 0) ::close(slave_);
        if (pipeRead_ >= 0) ::close(pipeRead_);
        if (pipeWrite_ >= 0) ::close(pipeWrite_);
        if (master_ >= 0) ::close(master_);
    }
    LrzszPeer(const LrzszPeer&) = delete;
    LrzszPeer& operator=(const LrzszPeer&) = delete;

    bool ok() const { return slave_ >= 0 && pipeWrite_ >= 0; }
    SerialDeviceFactory Factory() const {
        const int in = pipeRead_, out = master_;
        return [in, out] { return std::make_unique<PtyMasterDevice>(in, out); };
    }

    static bool Installed(const std::string& program) {
        return ::access(("/usr/bin/" + program).c_str(), X_OK) == 0 ||
               ::access(("/usr/local/bin/" + program).c_str(), X_OK) == 0;
    }

    // Starts the program with its standard input and output on the line.
    bool Start(const std::vector<std::string>& argv, const std::string& folder) {
        pid_ = ::fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            ::setsid();
            const int fd = ::open(slavePath_.c_str(), O_RDWR);
            const int err = ::open("/dev/null", O_WRONLY);
            if (fd < 0 || ::chdir(folder.c_str()) != 0) ::_exit(126);
            ::dup2(fd, 0);
            ::dup2(pipeWrite_, 1);
            ::dup2(err, 2);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        return true;
    }

    // The program's exit status, waiting for it up to timeoutMs; -1 when it
    // is still running then (it is killed).
    int Finish(int timeoutMs = 30000) {
        const auto t0 = std::chrono::steady_clock::now();
        while (pid_ > 0) {
            int status = 0;
            const pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(timeoutMs)) break;
            pollfd none{-1, 0, 0};
            ::poll(&none, 0, 5);
        }
        return -1;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    int pipeRead_ = -1;
    int pipeWrite_ = -1;
    pid_t pid_ = -1;
};

}  // namespace quennet::testing
