#include "cli/FlashPlatform.h"

#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace quennet::cli {

namespace {

class PosixWorker : public WorkerProcess {
public:
    PosixWorker(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
    ~PosixWorker() override {
        if (fd_ >= 0) ::close(fd_);
        if (pid_ > 0) Wait();
    }

    std::size_t Read(char* buffer, std::size_t size) override {
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, size);
            if (n >= 0) return static_cast<std::size_t>(n);
            if (errno != EINTR) return 0;
        }
    }
    void AskToStop() override {
        if (pid_ > 0) ::kill(pid_, SIGINT);
    }
    int Wait() override {
        if (pid_ <= 0) return status_;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
        return status_;
    }

private:
    pid_t pid_;
    int fd_;
    int status_ = 1;
};

std::string RealPath(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
}

}  // namespace

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const std::string& exe, const std::vector<std::string>& args,
                                                    std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    // Built before the fork: the child only calls what is safe there.
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A group of its own: Ctrl+C on the terminal reaches the command,
        // which passes one stop request on, not a second that would end
        // the worker at once.
        ::setpgid(0, 0);
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        if (devNull >= 0) ::dup2(devNull, 0);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    const int startError = errno;
    if (devNull >= 0) ::close(devNull);
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        error = std::strerror(startError);
        return nullptr;
    }
    return std::make_unique<PosixWorker>(pid, fds[0]);
}

std::string SelfExecutable(const char* argv0) {
    const std::string self = RealPath("/proc/self/exe");
    return self.empty() ? std::string(argv0) : self;
}

std::vector<std::string> PortsMatching(const std::string& pattern) {
    std::vector<std::string> ports;
    glob_t g{};
    if (::glob(pattern.c_str(), 0, nullptr, &g) == 0) {
        for (std::size_t i = 0; i < g.gl_pathc; ++i)
            if (PortThere(g.gl_pathv[i])) ports.emplace_back(g.gl_pathv[i]);
    }
    ::globfree(&g);
    std::sort(ports.begin(), ports.end());
    return ports;
}

bool PortThere(const std::string& port) {
    struct stat st {};
    return ::stat(port.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

void SyncFile(std::FILE* file) {
    std::fflush(file);
    ::fsync(::fileno(file));
}

bool LiveViewPossible() {
    if (!::isatty(STDOUT_FILENO)) return false;
    const char* term = std::getenv("TERM");
    return term && *term && std::strcmp(term, "dumb") != 0;
}

}  // namespace quennet::cli
