// The running window's cost: a real TForm1 with its own pump timer, talking
// to a far end on a pseudo-terminal that a child process feeds. Prints the
// window process's CPU time (the feeding process is not counted) and the X
// server's (the Xvfb or X server that DISPLAY names, from /proc/<pid>/stat):
// - idle with the port closed and with the port open: the program's own
//   wake-ups a second, counted twice: as timer and socket-notifier events
//   that reach any object (an event filter on the application), and as the
//   main thread's voluntary context switches (/proc/self/status); and the
//   share of a core of the program and of the X server;
// - numbered 80-byte text lines and hex display, paced at 115200 and 921600
//   baud, with the display options off and on ("+opts": time stamps, ANSI,
//   UTF-8, control marks): share of a core and CPU seconds per megabyte, of
//   the program and of the X server;
// - the same lines coloured with ANSI escapes, shown with time stamps and
//   colours ("ansi"), and again with a 10 MB scrollback filled before the
//   measurement starts ("ansi10m");
// - unpaced: the bytes per second the window takes;
// - a 20 MB flood with the log on: the log equal to what was sent, the
//   view showing the last line.
// Each measurement prints the main thread's wake-ups a second. The unpaced
// ones, and all with BENCH_HELD=1, also print the events by receiver and
// the longest time the window's event loop was held (a pump tick, a
// picture), seen by a 1 ms timer: as the thread's CPU
// time between two of its runs, which other processes on a busy machine do
// not inflate, and as wall time.
//
// Run by hand on a real X server or Xvfb:
//   xvfb-run -a -s "-screen 0 1280x1024x24" build/window_bench
// (xvfb-run's own screen is 640x480 at 8 bits, smaller than the window).
// BENCH_SECONDS sets the length of each measurement (default 5), BENCH_CASE
// picks one (idle, text:921600, hex+opts:0, ansi10m:921600, ...).
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMap>
#include <QComboBox>
#include <QPushButton>
#include <QScrollBar>
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

#include "PtyPair.h"
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

// The main thread's voluntary context switches: each is a sleep of the
// event loop that something ended.
long long MainThreadWakeups() {
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("voluntary_ctxt_switches:")) return line.mid(24).trimmed().toLongLong();
    return 0;
}

// The X server that DISPLAY names: the process whose command line holds
// that display, or -1.
pid_t XServerPid() {
    const QByteArray display = qgetenv("DISPLAY");
    if (display.isEmpty()) return -1;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (!number) continue;
        QFile f("/proc/" + entry + "/cmdline");
        if (!f.open(QIODevice::ReadOnly)) continue;
        const QList<QByteArray> args = f.readAll().split('\0');
        if (args.isEmpty() || !(args[0].endsWith("Xvfb") || args[0].endsWith("Xorg") || args[0].endsWith("X")))
            continue;
        if (args.contains(display)) return pid;
    }
    return -1;
}

// The CPU seconds a process has used: the sum of its threads' run times in
// nanoseconds (/proc/<pid>/task/*/schedstat), or, where the kernel keeps no
// such figures, from /proc/<pid>/stat in clock ticks (10 ms, too coarse for
// the few seconds a slow line costs).
double ProcessCpuSeconds(pid_t pid) {
    if (pid <= 0) return 0;
    const QString task = QString("/proc/%1/task").arg(pid);
    double ns = 0;
    bool found = false;
    for (const QString& tid : QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(task + "/" + tid + "/schedstat");
        if (!f.open(QIODevice::ReadOnly)) continue;
        bool ok = false;
        const double run = f.readAll().split(' ').value(0).toDouble(&ok);
        if (ok) ns += run, found = true;
    }
    if (found) return ns / 1e9;
    QFile f(QString("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const QByteArray stat = f.readAll();
    // The fields after the command's closing parenthesis; utime and stime
    // are the 14th and 15th of the line.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) return 0;
    return static_cast<double>(fields[11].toLongLong() + fields[12].toLongLong()) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Counts the timer and socket-notifier events that reach any object of the
// program, by receiver, and the widgets' paint events (which wake nothing
// but cost: a scroll bar's may hand its fills to Qt's thread pool).
class EventCounter : public QObject {
public:
    long long timers = 0, notifiers = 0;
    QMap<QString, long long> byReceiver;

    bool eventFilter(QObject* receiver, QEvent* event) override {
        const bool paint = event->type() == QEvent::Paint;
        if (event->type() == QEvent::Timer || event->type() == QEvent::SockAct || paint) {
            if (!paint) ++(event->type() == QEvent::Timer ? timers : notifiers);
            QString name = receiver->metaObject()->className();
            if (!receiver->objectName().isEmpty()) name += " " + receiver->objectName();
            if (const auto* bar = qobject_cast<QScrollBar*>(receiver))
                name += bar->orientation() == Qt::Vertical ? " vertical" : " horizontal";
            ++byReceiver[paint ? "paint " + name : name];
        }
        return false;
    }
    void Reset() {
        timers = notifiers = 0;
        byReceiver.clear();
    }
};

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
    testing::PtyPair pty;
    // The feeding child writes to the master side: it must outlive exec.
    int master = [this] {
        fcntl(pty.master(), F_SETFD, 0);
        return pty.master();
    }();
    pid_t xServer = XServerPid();
    EventCounter events;

    Window() {
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
        form->ComboComPort->SelectPath(pty.path());
        form->ComboBaud->setEditText("921600");
        form->CheckBox1->setChecked(true);
        Run(0.5);
    }
    ~Window() {
        form.reset();
        port.ComClose();
    }

    // Time stamps and colours on, every display option on (time stamps,
    // ANSI, UTF-8, control marks), and a scrollback of 16000 characters or
    // 10 MB, filled before the measurement.
    void Options(bool coloured, bool all, bool big) {
        form->CheckBoxTimestamps->setChecked(coloured || all);
        form->CheckBoxAnsi->setChecked(coloured || all);
        form->ComboEncoding->setCurrentIndex(all ? 1 : 0);
        form->CheckBoxControlMarks->setChecked(all);
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

    void Measure(const char* what, Kind kind, bool all, double baud, bool big) {
        const bool hex = kind == Kind::Hex;
        form->CheckBoxHex->setChecked(hex);
        Options(kind == Kind::Ansi, all, big);
        int pipeFds[2];
        if (pipe(pipeFds) != 0) return;
        const double seconds = Seconds();
        // A 1 ms timer sees how long the loop was held at a time. It wakes
        // the program a thousand times a second and an event filter sees
        // every event, which would count as the window's CPU: both run only
        // when asked for (BENCH_HELD=1), and always for the unpaced cases.
        const bool held = baud == 0 || qEnvironmentVariableIsSet("BENCH_HELD");
        QElapsedTimer gap;
        qint64 longestNs = 0;
        double lastCpuNs = ThreadCpuNs(), longestCpuNs = 0;
        QTimer watch;
        watch.setObjectName("bench watch");
        watch.setTimerType(Qt::PreciseTimer);
        watch.setInterval(1);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            longestNs = std::max(longestNs, gap.nsecsElapsed());
            gap.start();
            const double now = ThreadCpuNs();
            longestCpuNs = std::max(longestCpuNs, now - lastCpuNs);
            lastCpuNs = now;
        });
        const double cpu0 = CpuSeconds(), user0 = CpuSeconds(true, false), x0 = ProcessCpuSeconds(xServer);
        events.Reset();
        const long long wakeups0 = MainThreadWakeups();
        QElapsedTimer wall;
        wall.start();
        gap.start();
        lastCpuNs = ThreadCpuNs();
        if (held) {
            qApp->installEventFilter(&events);
            watch.start();
        }
        const pid_t child = Feed(master, kind, baud / 10.0, seconds, pipeFds[1]);
        Run(seconds + 0.3);  // and what is still queued
        watch.stop();
        qApp->removeEventFilter(&events);
        const double cpu = CpuSeconds() - cpu0, user = CpuSeconds(true, false) - user0;
        const double x = ProcessCpuSeconds(xServer) - x0;
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
        const double wakeups = static_cast<double>(MainThreadWakeups() - wakeups0) / secs;
        if (baud > 0)
            std::printf("%-9s %6.0f baud: %5.2f %% of a core, %6.3f CPU s/MB (%5.3f user), X server %6.3f s/MB, "
                        "%5.0f wake-ups/s",
                        what, baud, 100.0 * cpu / secs, mb > 0 ? cpu / mb : 0.0, mb > 0 ? user / mb : 0.0,
                        mb > 0 ? x / mb : 0.0, wakeups);
        else
            std::printf("%-9s unpaced: %6.2f MB/s taken, %5.1f %% of a core, X server %5.1f %%", what, mb / seconds,
                        100.0 * cpu / secs, 100.0 * x / secs);
        if (held) {
            std::printf(", loop held %5.1f ms CPU, %5.1f ms wall\n", longestCpuMs, longestMs);
            for (auto it = events.byReceiver.cbegin(); it != events.byReceiver.cend(); ++it)
                std::printf("    %-40s %6.1f/s\n", qPrintable(it.key()), static_cast<double>(it.value()) / secs);
        } else {
            std::printf("\n");
        }
        std::fflush(stdout);
    }

    // A flood of numbered 80-byte lines, as fast as the window takes them,
    // with the log on: the log must end up equal to what was sent and the
    // view must show the last line. Written from this process, so the
    // times include the writing.
    void Flood(std::size_t bytes) {
        form->CheckBoxHex->setChecked(false);
        Options(false, false, false);
        const QString logPath = dir.filePath("flood.log");
        form->EditBrowseLogFile->setText(logPath);
        form->CheckBoxLogFile->setChecked(true);
        std::string sent;
        sent.reserve(bytes + 100);
        for (int i = 0; sent.size() < bytes; ++i) {
            char line[96];
            std::snprintf(line, sizeof line, "%07d %070d\r\n", i, i);
            sent += line;
        }
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        const double cpu0 = CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        for (std::size_t at = 0; at < sent.size();) {
            const ssize_t n = write(master, sent.data() + at, std::min<std::size_t>(4096, sent.size() - at));
            if (n > 0)
                at += static_cast<std::size_t>(n);
            else
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        while (QFileInfo(logPath).size() < static_cast<qint64>(sent.size()) && wall.elapsed() < 600000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        const double secs = static_cast<double>(wall.nsecsElapsed()) / 1e9, cpu = CpuSeconds() - cpu0;
        form->CheckBoxLogFile->setChecked(false);
        QFile log(logPath);
        const bool same = log.open(QIODevice::ReadOnly) && log.readAll() == QByteArray::fromStdString(sent);
        const std::size_t lastLine = sent.rfind('\n', sent.size() - 2) + 1;
        const QString last = QString::fromStdString(sent.substr(lastLine, sent.size() - lastLine - 2));
        Run(0.2);
        const bool shown = form->Memo1->ShowsEnd() && form->Memo1->toPlainText().endsWith(last + "\n");
        std::printf("flood %5.1f MB, log on: %5.1f s, %5.2f MB/s, %5.1f %% of a core; log %s, view %s\n",
                    static_cast<double>(sent.size()) / 1e6, secs, static_cast<double>(sent.size()) / 1e6 / secs,
                    100.0 * cpu / secs, same ? "equal to what was sent" : "DIFFERS",
                    shown ? "shows the last line" : "DOES NOT show the last line");
        std::fflush(stdout);
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) & ~O_NONBLOCK);
    }

    // Nothing arrives: with the port closed, or open on a quiet line.
    void Idle(bool open) {
        form->CheckBox1->setChecked(open);
        const double seconds = 2 * Seconds();
        Run(1.0);  // the pump settles
        qApp->installEventFilter(&events);
        events.Reset();
        const long long wakeups0 = MainThreadWakeups();
        const double cpu0 = CpuSeconds(), x0 = ProcessCpuSeconds(xServer);
        Run(seconds);
        const double cpu = CpuSeconds() - cpu0, x = ProcessCpuSeconds(xServer) - x0;
        const long long wakeups = MainThreadWakeups() - wakeups0;
        qApp->removeEventFilter(&events);
        // The measurement's own end is one timer event.
        std::printf("idle, port %-6s: %6.1f timer + %5.1f notifier events/s, %6.1f main-thread wake-ups/s, "
                    "%6.3f %% of a core, X server %6.3f %%\n",
                    open ? "open" : "closed", static_cast<double>(events.timers - 1) / seconds,
                    static_cast<double>(events.notifiers) / seconds, static_cast<double>(wakeups) / seconds,
                    100.0 * cpu / seconds, 100.0 * x / seconds);
        for (auto it = events.byReceiver.cbegin(); it != events.byReceiver.cend(); ++it)
            std::printf("    %-40s %6.1f/s\n", qPrintable(it.key()), static_cast<double>(it.value()) / seconds);
        std::fflush(stdout);
        form->CheckBox1->setChecked(true);
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
    std::printf("platform %s, X server %s\n", qPrintable(QGuiApplication::platformName()),
                w.xServer > 0 ? qPrintable(QString("pid %1").arg(w.xServer)) : "not found");
    std::printf("view %dx%d pixels, cells %gx%d pixels\n", w.form->Memo1->viewport()->width(),
                w.form->Memo1->viewport()->height(), w.form->Memo1->CharWidth(), w.form->Memo1->RowHeight());
    // BENCH_CASE=text:921600 (or hex:0, idle, ...) runs one case alone;
    // several, separated by commas, run in that order.
    const QStringList picked = qEnvironmentVariable("BENCH_CASE").split(',', Qt::SkipEmptyParts);
    const auto wanted = [&](const QString& name) { return picked.isEmpty() || picked.contains(name); };
    if (wanted("idle")) {
        w.Idle(false);
        w.Idle(true);
    }
    struct Case {
        const char* name;
        Kind kind;
        bool all;  // every display option on
        bool big;
    };
    const Case cases[] = {Case{"text", Kind::Text, false, false}, Case{"text+opts", Kind::Text, true, false},
                          Case{"hex", Kind::Hex, false, false}, Case{"hex+opts", Kind::Hex, true, false},
                          Case{"ansi", Kind::Ansi, false, false}, Case{"ansi10m", Kind::Ansi, false, true}};
    const auto run = [&](const Case& c, double baud) { w.Measure(c.name, c.kind, c.all, baud, c.big); };
    if (picked.isEmpty()) {
        for (const Case& c : cases)
            for (double baud : {115200.0, 921600.0, 0.0}) run(c, baud);
    }
    for (const QString& name : picked)
        for (const Case& c : cases)
            for (double baud : {115200.0, 921600.0, 0.0})
                if (name == QString("%1:%2").arg(c.name).arg(baud)) run(c, baud);
    // BENCH_CASE=flood: 20 MB (or BENCH_FLOOD_MB) with the log on.
    if (wanted("flood")) {
        const int mb = qEnvironmentVariableIntValue("BENCH_FLOOD_MB");
        w.Flood(static_cast<std::size_t>(mb > 0 ? mb : 20) * 1000000);
    }
    return 0;
}
