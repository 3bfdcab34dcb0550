// The running window's cost: a real TForm1 with its own 2 ms pump timer,
// talking to a far end on a pseudo-terminal that a child process feeds.
// Prints the window process's CPU time (the feeding process is not counted):
// - idle with the port open;
// - numbered 80-byte text lines and hex display, paced at 115200 and 921600
//   baud: share of a core and CPU seconds per megabyte;
// - the same lines coloured with ANSI escapes, shown with time stamps and
//   colours ("ansi"), and again with a 10 MB scrollback filled before the
//   measurement starts ("ansi10m");
// - unpaced: the bytes per second the window takes.
// Each measurement also prints the longest time the window's event loop was
// held (a pump tick, a picture), seen by a 1 ms timer: as the thread's CPU
// time between two of its runs, which other processes on a busy machine do
// not inflate, and as wall time.
//
// Run by hand on a real X server or Xvfb: xvfb-run build/window_bench.
// BENCH_SECONDS sets the length of each measurement (default 5), BENCH_CASE
// picks one (idle, text:921600, hex:0, ansi10m:921600, ...).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "serial/ComPort.h"
#include "serial/posix/PosixSerialDevice.h"
#include "terminal/ReceiveView.h"

namespace {

using namespace quennet;

double CpuSeconds(bool user = true, bool system = true) {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return (user ? seconds(u.ru_utime) : 0.0) + (system ? seconds(u.ru_stime) : 0.0);
}

double ThreadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

double Seconds() {
    const char* s = std::getenv("BENCH_SECONDS");
    return s ? std::atof(s) : 5.0;
}

void Run(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

enum class Kind { Text, Hex, Ansi };

// 80-byte lines; coloured ones as a firmware's logger prints them, the
// level's colour around the line (9 of the 80 bytes are escapes).
std::string Stream(Kind kind) {
    std::string s;
    if (kind == Kind::Hex) {
        for (int i = 0; i < 65536; ++i) s.push_back(static_cast<char>(i * 7));
        return s;
    }
    static const char* const kLevels[] = {"\x1b[32m", "\x1b[33m", "\x1b[31m", "\x1b[36m"};
    for (int i = 0; i < 1000; ++i) {
        char head[16];
        std::snprintf(head, sizeof head, "%06d ", i);
        std::string l = kind == Kind::Ansi ? std::string(kLevels[i % 4]) + head : std::string(head);
        const std::size_t end = kind == Kind::Ansi ? 74 : 78;
        while (l.size() < end) l.push_back(static_cast<char>('A' + l.size() % 26));
        if (kind == Kind::Ansi) l += "\x1b[0m";
        s += l + "\r\n";
    }
    return s;
}

// A child process writes the stream to the pseudo-terminal's master side:
// at bytesPerSecond, or as fast as the window takes it when that is 0. It
// writes its byte count to the pipe before it ends. It is this program run
// afresh (posix_spawn), not a fork: a forked child would share the window's
// pages, and every page the window then writes to would be copied first, at
// a cost that grows with the window's memory (a 10 MB scrollback) and is no
// part of the window's own.
int FeedMain(int master, Kind kind, double bytesPerSecond, double seconds, int report) {
    const std::string stream = Stream(kind);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    std::size_t at = 0, written = 0;
    for (;;) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const double t = static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
        if (t >= seconds) break;
        std::size_t n = 4096;
        if (bytesPerSecond > 0) {
            const auto due = static_cast<std::size_t>(bytesPerSecond * t);
            n = due > written ? due - written : 0;
            if (n == 0) {
                usleep(1000);
                continue;
            }
        }
        n = std::min(n, stream.size() - at);
        const ssize_t w = write(master, stream.data() + at, n);
        if (w > 0) {
            written += static_cast<std::size_t>(w);
            at = (at + static_cast<std::size_t>(w)) % stream.size();
        }
    }
    const ssize_t ignored = write(report, &written, sizeof written);
    (void)ignored;
    return 0;
}

pid_t Feed(int master, Kind kind, double bytesPerSecond, double seconds, int report) {
    std::vector<std::string> args = {"window_bench", "--feed", std::to_string(master),
                                     std::to_string(static_cast<int>(kind)), std::to_string(bytesPerSecond),
                                     std::to_string(seconds), std::to_string(report)};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

struct Window {
    QTemporaryDir dir;
    ComPort port{PosixSerialDeviceFactory(), SystemClock()};
    std::unique_ptr<TForm1> form;
    int master = -1;

    Window() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        FormEnvironment env;
        env.settingsPath = dir.filePath("q.INI").toStdString();
        env.port = &port;
        env.listPorts = [] { return std::vector<std::string>{}; };
        env.messageBox = [](const std::string&, const std::string& t) { std::fprintf(stderr, "message: %s\n", t.c_str()); };
        env.errorBox = [](const std::string& t) { std::fprintf(stderr, "error: %s\n", t.c_str()); };
        env.trayAvailable = [] { return false; };
        form = std::make_unique<TForm1>(env);
        form->FormCreate();
        form->resize(1000, 640);
        form->show();
        form->ComboComPort->SelectPath(ptsname(master));
        form->ComboBaud->setEditText("921600");
        form->CheckBox1->setChecked(true);
        Run(0.5);
    }
    ~Window() {
        form.reset();
        port.ComClose();
        close(master);
    }

    // Time stamps and colours on, and a scrollback of 16000 characters or
    // 10 MB, filled before the measurement.
    void Options(bool coloured, bool big) {
        form->CheckBoxTimestamps->setChecked(coloured);
        form->CheckBoxAnsi->setChecked(coloured);
        form->ComboScrollback->setCurrentIndex(big ? 3 : 0);
        form->Button4->click();
        if (!big) return;
        ReceiveView view(form->CurrentViewOptions());
        const std::string lines = Stream(Kind::Ansi);
        TerminalMemo& memo = *form->Memo1;
        memo.BeginUpdate();
        while (memo.TextLength() < form->DisplayLimit())
            view.Show(memo, reinterpret_cast<const std::uint8_t*>(lines.data()), lines.size());
        memo.EndUpdate();
        Run(0.5);
    }

    void Measure(const char* what, Kind kind, double baud, bool big) {
        const bool hex = kind == Kind::Hex;
        form->CheckBoxHex->setChecked(hex);
        Options(kind == Kind::Ansi, big);
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return;
        const double seconds = Seconds();
        // A 1 ms timer sees how long the loop was held at a time.
        QElapsedTimer gap;
        qint64 longestNs = 0;
        double lastCpuNs = ThreadCpuNs(), longestCpuNs = 0;
        QTimer watch;
        watch.setTimerType(Qt::PreciseTimer);
        watch.setInterval(1);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            longestNs = std::max(longestNs, gap.nsecsElapsed());
            gap.start();
            const double now = ThreadCpuNs();
            longestCpuNs = std::max(longestCpuNs, now - lastCpuNs);
            lastCpuNs = now;
        });
        const double cpu0 = CpuSeconds(), user0 = CpuSeconds(true, false);
        QElapsedTimer wall;
        wall.start();
        gap.start();
        lastCpuNs = ThreadCpuNs();
        watch.start();
        const pid_t child = Feed(master, kind, baud / 10.0, seconds, pipeFds[1]);
        Run(seconds + 0.3);  // and what is still queued
        watch.stop();
        const double cpu = CpuSeconds() - cpu0, user = CpuSeconds(true, false) - user0;
        const double secs = static_cast<double>(wall.nsecsElapsed()) / 1e9;
        // The window goes on taking bytes until the feeder reports: a feeder
        // blocked in a write to a full line would otherwise never end.
        std::size_t written = 0;
        pollfd report{pipeFds[0], POLLIN, 0};
        while (poll(&report, 1, 0) == 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const ssize_t got = read(pipeFds[0], &written, sizeof written);
        waitpid(child, nullptr, 0);
        close(pipeFds[0]);
        close(pipeFds[1]);
        if (got != sizeof written) written = 0;
        const double mb = static_cast<double>(written) / 1e6;
        const double longestMs = static_cast<double>(longestNs) / 1e6, longestCpuMs = longestCpuNs / 1e6;
        if (baud > 0)
            std::printf("%-7s %6.0f baud: %5.2f %% of a core, %6.3f CPU s/MB (%5.3f user), loop held %5.1f ms CPU, "
                        "%5.1f ms wall\n",
                        what, baud, 100.0 * cpu / secs, mb > 0 ? cpu / mb : 0.0, mb > 0 ? user / mb : 0.0, longestCpuMs,
                        longestMs);
        else
            std::printf("%-7s unpaced: %6.2f MB/s taken, %5.1f %% of a core, loop held %5.1f ms CPU, %5.1f ms wall\n",
                        what, mb / seconds, 100.0 * cpu / secs, longestCpuMs, longestMs);
        std::fflush(stdout);
    }

    void Idle() {
        const double seconds = 2 * Seconds();
        Run(1.0);  // the pump settles
        const double cpu0 = CpuSeconds();
        Run(seconds);
        std::printf("idle, port open: %5.2f %% of a core\n", 100.0 * (CpuSeconds() - cpu0) / seconds);
        std::fflush(stdout);
    }
};

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    if (argc == 7 && std::string(argv[1]) == "--feed")
        return FeedMain(std::atoi(argv[2]), static_cast<Kind>(std::atoi(argv[3])), std::atof(argv[4]),
                        std::atof(argv[5]), std::atoi(argv[6]));
    QApplication app(argc, argv);
    Window w;
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));
    // BENCH_CASE=text:921600 (or hex:0, idle, ...) runs one case alone.
    const QString only = qEnvironmentVariable("BENCH_CASE");
    if (only.isEmpty() || only == "idle") w.Idle();
    struct Case {
        const char* name;
        Kind kind;
        bool big;
    };
    for (const Case& c : {Case{"text", Kind::Text, false}, Case{"hex", Kind::Hex, false},
                          Case{"ansi", Kind::Ansi, false}, Case{"ansi10m", Kind::Ansi, true}})
        for (double baud : {115200.0, 921600.0, 0.0}) {
            const QString name = QString("%1:%2").arg(c.name).arg(baud);
            if (only.isEmpty() || only == name) w.Measure(c.name, c.kind, baud, c.big);
        }
    return 0;
}
