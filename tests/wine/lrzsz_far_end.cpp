// The far end of a COM port that wine maps onto a pseudo-terminal, for the
// file transfers: a Linux program that holds the pty's master, prints the
// slave's path on its first line and acts as a board's shell with lrzsz on
// it. A line typed at it (ended by CR or LF) names one of sx, sb, sz, rx, rb
// or rz with its arguments; the program runs in FOLDER with its standard
// input and output on the line, and when it ends the shell writes
// "[NAME exit STATUS]" and a "$ " prompt, and the file FOLDER/last-exit
// holds "NAME STATUS" (removed when the next command starts). An empty line brings the prompt
// alone. Nothing typed is echoed: the bytes that follow a command are the
// transfer's.
//
// lrzsz meets a terminal of its own, as on a board's console: its input is
// the slave of a second raw pseudo-terminal and its output a pipe (on its
// way out it flushes its terminal, which on a pty would throw away a last
// answer not yet read). Bytes for it come a line's turnaround (a few
// character times) after the last ones: it empties its input right after
// each answer, as a real line lets it, where the next block is still on
// the wire.
//
// Usage: lrzsz_far_end FOLDER. Runs until killed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"

namespace {

int g_line = -1;  // the master of the pty that wine opens

void WriteAll(int fd, const char* data, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd, data + done, n - done);
        if (w > 0) {
            done += static_cast<std::size_t>(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 50);
        }
    }
}

void Say(const std::string& text) { WriteAll(g_line, text.data(), text.size()); }

int OpenRawSlave(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags);
    if (fd < 0) return -1;
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Runs argv in folder with the line relayed to it; returns its exit status.
int Run(const std::vector<std::string>& argv, const char* folder) {
    const quennet::testing::PtyPair input({.nonBlocking = true, .raw = true});
    int out[2];
    if (!input.ok() || ::pipe2(out, O_CLOEXEC) != 0) return 126;
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    // Held open here too, so the master never reads a hang-up.
    const int held = OpenRawSlave(input.path(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setsid();
        const int in = ::open(input.path().c_str(), O_RDWR);
        if (in < 0 || ::chdir(folder) != 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out[1], 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    int status = 0;
    bool ended = pid < 0;
    char buf[4096];
    while (!ended) {
        pollfd p[2] = {{g_line, POLLIN, 0}, {out[0], POLLIN, 0}};
        ::poll(p, 2, 5);
        const ssize_t in = ::read(g_line, buf, sizeof buf);
        if (in > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            WriteAll(input.master(), buf, static_cast<std::size_t>(in));
        }
        const ssize_t r = ::read(out[0], buf, sizeof buf);
        if (r > 0) WriteAll(g_line, buf, static_cast<std::size_t>(r));
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
    }
    // What it wrote last still goes out.
    for (ssize_t r; (r = ::read(out[0], buf, sizeof buf)) > 0;) WriteAll(g_line, buf, static_cast<std::size_t>(r));
    ::close(out[0]);
    if (held >= 0) ::close(held);
    if (pid < 0) return 126;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Command(const std::string& line, const char* folder) {
    std::istringstream words(line);
    std::vector<std::string> argv;
    for (std::string w; words >> w;) argv.push_back(w);
    if (!argv.empty()) {
        static const std::set<std::string> kPrograms = {"sx", "sb", "sz", "rx", "rb", "rz"};
        if (kPrograms.count(argv[0]) == 0) {
            Say(argv[0] + ": not found\r\n");
        } else {
            const std::string exitFile = std::string(folder) + "/last-exit";
            ::unlink(exitFile.c_str());
            const int status = Run(argv, folder);
            const std::string verdict = argv[0] + " " + std::to_string(status) + "\n";
            if (FILE* f = std::fopen((exitFile + ".new").c_str(), "w")) {
                std::fputs(verdict.c_str(), f);
                std::fclose(f);
                std::rename((exitFile + ".new").c_str(), exitFile.c_str());
            }
            Say("\r\n[" + argv[0] + " exit " + std::to_string(status) + "]\r\n");
        }
    }
    Say("$ ");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: lrzsz_far_end FOLDER\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    static const quennet::testing::PtyPair pty({.nonBlocking = true});
    if (!pty.ok()) {
        std::perror("lrzsz_far_end: posix_openpt");
        return 1;
    }
    g_line = pty.master();
    // Holding the slave open keeps the master from reporting a hang-up
    // between the test's opens and closes; raw from the start.
    if (OpenRawSlave(pty.path(), O_RDWR | O_NOCTTY | O_CLOEXEC) < 0) {
        std::perror("lrzsz_far_end: open slave");
        return 1;
    }
    std::printf("%s\n", pty.path().c_str());
    std::fflush(stdout);

    std::string line;
    for (;;) {
        pollfd p{g_line, POLLIN, 0};
        ::poll(&p, 1, 1000);
        char buf[256];
        const ssize_t r = ::read(g_line, buf, sizeof buf);
        for (ssize_t i = 0; i < r; ++i) {
            if (buf[i] != '\r' && buf[i] != '\n') {
                line += buf[i];
                continue;
            }
            // A CR LF is one line end; bytes typed after a command (none
            // are, before its program answers) would be lost.
            if (buf[i] == '\r' && i + 1 < r && buf[i + 1] == '\n') ++i;
            Command(line, argv[1]);
            line.clear();
        }
    }
}
