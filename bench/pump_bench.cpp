// What the terminal display costs: the receive pump feeding the real Memo1
// widget, painting included, for the kinds of traffic targets send.
//
// Two measurements per pattern:
// - unpaced: the port always has more queued than a tick takes (a program
//   writing into a pseudo-terminal as fast as it can); prints the bytes per
//   second that the view takes and the longest a single pump tick or a
//   single round of event handling (painting) held the window;
// - paced at 921600 baud (text lines, the same coloured with ANSI escapes
//   and shown with colours and time stamps, and hex): the bytes arrive as
//   the wire delivers them, the pump runs from a 2 ms timer as in the
//   window; prints the process's CPU time per megabyte received. The
//   coloured lines run again with a 10 MB scrollback, filled first.
// Then a memory check: RSS before and after a long hex flood.
//
// Run by hand, on a real X server or Xvfb (xvfb-run build/pump_bench), or
// with QT_QPA_PLATFORM=offscreen. BENCH_SECONDS scales the run time.
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFontDatabase>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/TerminalMemo.h"
#include "serial/ComPort.h"
#include "serial/Clock.h"
#include "terminal/ReceivePump.h"
#include "BenchFeed.h"

namespace {

using namespace quennet;
using namespace quennet::bench;

struct Pattern {
    const char* name;
    bool hex;
    std::vector<std::uint8_t> stream;  // repeated for as long as the run lasts
    bool coloured = false;             // shown with ANSI colours and time stamps
    std::size_t limit = ReceivePump::kDisplayLimit;

    ViewOptions Options() const {
        ViewOptions o;
        o.hex = hex;
        o.ansi = o.timestamps = coloured;
        return o;
    }
};

std::vector<Pattern> Patterns() {
    std::vector<Pattern> out;
    auto text = [](const std::string& s) { return std::vector<std::uint8_t>(s.begin(), s.end()); };
    std::string lines;
    for (int i = 0; i < 1000; ++i) {
        char head[16];
        std::snprintf(head, sizeof head, "%06d ", i);
        std::string l = head;
        while (l.size() < 78) l.push_back(static_cast<char>('A' + l.size() % 26));
        lines += l + "\r\n";  // 80 bytes
    }
    out.push_back({"80-byte lines", false, text(lines)});
    // The same lines as a firmware's logger colours them by level.
    static const char* const kLevels[] = {"\x1b[32m", "\x1b[33m", "\x1b[31m", "\x1b[36m"};
    std::string coloured;
    for (int i = 0; i < 1000; ++i) {
        char head[16];
        std::snprintf(head, sizeof head, "%06d ", i);
        std::string l = std::string(kLevels[i % 4]) + head;
        while (l.size() < 74) l.push_back(static_cast<char>('A' + l.size() % 26));
        coloured += l + "\x1b[0m\r\n";  // 80 bytes
    }
    out.push_back({"coloured, stamped", false, text(coloured), true});
    out.push_back({"same, 10 MB kept", false, text(coloured), true, 10'000'000});
    std::string longLine;
    for (int i = 0; i < 26 * 100; ++i) longLine.push_back(static_cast<char>('a' + i % 26));
    out.push_back({"one long line", false, text(longLine)});
    std::string crLines;
    for (int i = 0; i < 100; ++i) {
        char l[48];
        std::snprintf(l, sizeof l, "%04d ..................................\r", i);  // 40 bytes
        crLines += l;
    }
    out.push_back({"CR-only lines", false, text(crLines)});
    std::string backspace;
    for (int i = 0; i < 200; ++i) backspace += "abcde\b";
    out.push_back({"abcde+backspace", false, text(backspace)});
    std::string progress;
    for (int i = 0; i <= 100; ++i) progress += "Done " + std::to_string(i) + "%\r";
    out.push_back({"progress with CR", false, text(progress)});
    std::vector<std::uint8_t> bytes(4096);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    out.push_back({"hex", true, bytes});
    return out;
}

// The window's terminal, as big as it is in a maximised window on a
// 1280x800 screen, in the font the window falls back to.
struct View {
    std::vector<std::uint8_t> queue;
    std::size_t head = 0;
    RealClock clock;
    ComPort port{[this] { return std::unique_ptr<SerialDevice>(new FeedDevice(queue, head)); }, clock};
    TerminalMemo memo;
    ReceiveView view;
    std::size_t cursor = 0;  // position in the pattern's stream

    explicit View(const Pattern& p) : View(p.hex) {
        view.SetOptions(p.Options());
        // A scrollback larger than the plain one is filled first.
        if (p.limit > ReceivePump::kDisplayLimit) {
            memo.BeginUpdate();
            while (memo.TextLength() < p.limit) view.Show(memo, p.stream.data(), p.stream.size());
            memo.EndUpdate();
            QCoreApplication::processEvents();
        }
    }
    std::size_t Tick(const Pattern& p) { return ReceivePump::Tick(port, memo, view, p.limit, nullptr).bytes; }

    explicit View(bool hex) {
        port.ComOpen("bench", 921600, kFrameN81);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(14);
        memo.setFont(font);
        memo.resize(1200, 560);
        memo.show();
        if (hex) {
            memo.setLineWrapMode(QPlainTextEdit::WidgetWidth);
            memo.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        }
        QCoreApplication::processEvents();
    }
    // Queues n more bytes of the pattern.
    void Feed(const Pattern& p, std::size_t n) {
        if (head > 0 && head == queue.size()) {
            queue.clear();
            head = 0;
        }
        while (n > 0) {
            const std::size_t take = std::min(n, p.stream.size() - cursor);
            queue.insert(queue.end(), p.stream.begin() + static_cast<long>(cursor),
                         p.stream.begin() + static_cast<long>(cursor + take));
            cursor = (cursor + take) % p.stream.size();
            n -= take;
        }
    }
    std::size_t Queued() const { return queue.size() - head; }
};

double Seconds() {
    const char* s = std::getenv("BENCH_SECONDS");
    return s ? std::atof(s) : 2.0;
}

void Unpaced(const Pattern& p) {
    View v(p);
    QElapsedTimer wall, step;
    qint64 maxTickNs = 0, maxEventsNs = 0;
    std::size_t bytes = 0;
    const double cpu0 = CpuSeconds();
    wall.start();
    while (wall.elapsed() < Seconds() * 1000 && bytes < 200'000'000) {
        if (v.Queued() < ReceivePump::kMaxBytesPerTick) v.Feed(p, ReceivePump::kMaxBytesPerTick);
        step.start();
        bytes += v.Tick(p);
        maxTickNs = std::max(maxTickNs, step.nsecsElapsed());
        step.start();
        QCoreApplication::processEvents();
        maxEventsNs = std::max(maxEventsNs, step.nsecsElapsed());
    }
    const double secs = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    const double cpu = CpuSeconds() - cpu0;
    std::printf("unpaced %-17s %8.2f MB/s  %6.3f CPU s/MB  longest tick %6.2f ms, events %6.2f ms\n", p.name,
                static_cast<double>(bytes) / secs / 1e6, cpu / (static_cast<double>(bytes) / 1e6),
                static_cast<double>(maxTickNs) / 1e6, static_cast<double>(maxEventsNs) / 1e6);
    std::fflush(stdout);
}

// The window's own rhythm: a 2 ms timer runs the pump, bytes arrive at the
// wire's rate in between.
void Paced(const Pattern& p, double baud) {
    View v(p);
    const double bytesPerSecond = baud / 10.0;
    QElapsedTimer wall;
    std::size_t fed = 0, taken = 0;
    QTimer timer;
    timer.setInterval(2);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const auto due = static_cast<std::size_t>(bytesPerSecond * static_cast<double>(wall.nsecsElapsed()) / 1e9);
        if (due > fed) {
            v.Feed(p, due - fed);
            fed = due;
        }
        taken += v.Tick(p);
    });
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(Seconds() * 2000), &loop, &QEventLoop::quit);
    const double cpu0 = CpuSeconds();
    wall.start();
    timer.start();
    loop.exec();
    const double cpu = CpuSeconds() - cpu0;
    const double secs = static_cast<double>(wall.nsecsElapsed()) / 1e9;
    std::printf("paced %6.0f %-17s %5.1f %% of a core, %6.3f CPU s/MB (%zu bytes)\n", baud, p.name,
                100.0 * cpu / secs, taken ? cpu / (static_cast<double>(taken) / 1e6) : 0.0, taken);
    std::fflush(stdout);
}

void Memory(const Pattern& hex) {
    const double before = RssMb();
    View v(true);
    QElapsedTimer wall;
    wall.start();
    std::size_t bytes = 0;
    while (bytes < 20'000'000 && wall.elapsed() < Seconds() * 5000) {
        if (v.Queued() < ReceivePump::kMaxBytesPerTick) v.Feed(hex, ReceivePump::kMaxBytesPerTick);
        bytes += ReceivePump::Tick(v.port, v.memo, true, nullptr).bytes;
        QCoreApplication::processEvents();
    }
    std::printf("memory: RSS %.1f MB before, %.1f MB after %.1f MB of hex\n", before, RssMb(),
                static_cast<double>(bytes) / 1e6);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const std::vector<Pattern> patterns = Patterns();
    std::printf("platform %s\n", qPrintable(QGuiApplication::platformName()));
    // BENCH_ONLY=paced (or unpaced, memory) runs one part alone.
    const QByteArray only = qgetenv("BENCH_ONLY");
    if (!qEnvironmentVariableIsEmpty("BENCH_BAUD")) {
        // One paced run of text lines at this rate (for profiling).
        Paced(patterns[0], qEnvironmentVariableIntValue("BENCH_BAUD"));
        return 0;
    }
    if (only.isEmpty() || only == "unpaced")
        for (const Pattern& p : patterns) Unpaced(p);
    if (only.isEmpty() || only == "paced") {
        for (const Pattern& p : patterns)
            if (p.name == std::string("80-byte lines") || p.coloured || p.hex) Paced(p, 921600);
        Paced(patterns[0], 115200);
        Paced(patterns[0], 0);
    }
    if (only.isEmpty() || only == "memory") Memory(patterns.back());
    return 0;
}
