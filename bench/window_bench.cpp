// The running window's cost: a real TForm1 with its own 2 ms pump timer,
// talking to a far end on a pseudo-terminal that a child process feeds.
// Prints the window process's CPU time (the feeding process is not counted):
// - idle with the port open;
// - numbered 80-byte text lines and hex display, paced at 115200 and 921600
//   baud: share of a core and CPU seconds per megabyte;
// - unpaced text and hex: the bytes per second the window takes.
//
// Run by hand on a real X server or Xvfb: xvfb-run build/window_bench.
// BENCH_SECONDS sets the length of each measurement (default 5), BENCH_CASE
// picks one (idle, text:921600, hex:0, ...).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "serial/ComPort.h"
#include "serial/posix/PosixSerialDevice.h"

namespace {

using namespace quennet;

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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

std::string Stream(bool hex) {
    std::string s;
    if (hex) {
        for (int i = 0; i < 65536; ++i) s.push_back(static_cast<char>(i * 7));
        return s;
    }
    for (int i = 0; i < 1000; ++i) {
        char head[16];
        std::snprintf(head, sizeof head, "%06d ", i);
        std::string l = head;
        while (l.size() < 78) l.push_back(static_cast<char>('A' + l.size() % 26));
        s += l + "\r\n";
    }
    return s;
}

// A child process writes the stream to the pseudo-terminal's master side:
// at bytesPerSecond, or as fast as the window takes it when that is 0. It
// writes its byte count to the pipe before it ends.
pid_t Feed(int master, bool hex, double bytesPerSecond, double seconds, int report) {
    const std::string stream = Stream(hex);
    const pid_t pid = fork();
    if (pid != 0) return pid;
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
    _exit(0);
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

    void Measure(const char* what, bool hex, double baud) {
        form->CheckBoxHex->setChecked(hex);
        form->Button4->click();
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return;
        const double seconds = Seconds();
        const double cpu0 = CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        const pid_t child = Feed(master, hex, baud / 10.0, seconds, pipeFds[1]);
        Run(seconds + 0.3);  // and what is still queued
        const double cpu = CpuSeconds() - cpu0;
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
        if (baud > 0)
            std::printf("%-6s %6.0f baud: %5.2f %% of a core, %6.3f CPU s/MB\n", what, baud, 100.0 * cpu / secs,
                        mb > 0 ? cpu / mb : 0.0);
        else
            std::printf("%-6s unpaced: %6.2f MB/s taken, %5.1f %% of a core\n", what, mb / seconds, 100.0 * cpu / secs);
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
    QApplication app(argc, argv);
    Window w;
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));
    // BENCH_CASE=text:921600 (or hex:0, idle, ...) runs one case alone.
    const QString only = qEnvironmentVariable("BENCH_CASE");
    if (only.isEmpty() || only == "idle") w.Idle();
    for (bool hex : {false, true})
        for (double baud : {115200.0, 921600.0, 0.0}) {
            const QString name = QString("%1:%2").arg(hex ? "hex" : "text").arg(baud);
            if (only.isEmpty() || only == name) w.Measure(hex ? "hex" : "text", hex, baud);
        }
    return 0;
}
