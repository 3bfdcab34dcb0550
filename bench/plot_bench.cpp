// What the live plot costs: the terminal's receive pump on a 2 ms timer,
// fed 1000 lines a second of 8 numbers (about 70 kB/s, within what 921600
// baud carries), with the real terminal display, and the plot:
// - off (the terminal alone);
// - on, its tab not shown (lines read and kept, nothing drawn);
// - on and shown, 60 s window (a picture each time the curve moves a
//   pixel) and 10 s window (one picture per display frame);
// - on and shown, 1 h window over a store already holding a million rows.
// Prints the process's share of a core for each, and the difference to
// the terminal alone. Then memory: RSS before and after all 16 series
// hold their million samples.
//
// Run by hand: QT_QPA_PLATFORM=offscreen build/plot_bench (or under
// xvfb-run). BENCH_SECONDS sets each measurement's length (default 5).
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFontDatabase>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/FormServices.h"
#include "app/PlotPage.h"
#include "app/PlotView.h"
#include "app/TerminalMemo.h"
#include "serial/Clock.h"
#include "serial/ComPort.h"
#include "terminal/ReceivePump.h"
#include "BenchFeed.h"

namespace {

using namespace quennet;
using namespace quennet::bench;

double Seconds() {
    const char* s = std::getenv("BENCH_SECONDS");
    return s ? std::atof(s) : 5.0;
}

// Line n of a board's output: 8 readings of slow sines, as "%.3f" fields.
std::string Line(long n, int values) {
    std::string line;
    char field[32];
    for (int k = 0; k < values; ++k) {
        std::snprintf(field, sizeof field, "%s%.3f", k ? "," : "", 100 * std::sin(n * 0.01 * (k + 1)) + k);
        line += field;
    }
    return line + "\r\n";
}

enum class Mode { Off, Hidden, Shown };

struct Bench {
    std::vector<std::uint8_t> queue;
    std::size_t head = 0;
    RealClock clock;
    ComPort port{[this] { return std::unique_ptr<SerialDevice>(new FeedDevice(queue, head)); }, clock};
    TerminalMemo memo;
    ReceiveView view;
    FormEnvironment env;
    FormServices services{env};
    PlotPage page{services, nullptr};

    Bench() {
        port.ComOpen("bench", 921600, kFrameN81);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPointSize(14);
        memo.setFont(font);
        memo.resize(1200, 560);
        memo.show();
        page.Tab()->resize(1200, 700);
        QCoreApplication::processEvents();
    }

    // Share of a core while lines arrive at `rate` a second for `seconds`.
    double Run(Mode mode, int windowSeconds, double rate) {
        plot::PlotOptions o = page.Options();
        o.enabled = mode != Mode::Off;
        o.windowSeconds = windowSeconds;
        page.ApplyOptions(o);
        page.Tab()->setVisible(mode == Mode::Shown);
        QCoreApplication::processEvents();
        const int picturesBefore = page.PlotView1->Pictures();
        const ReceivePump::LogFn feed =
            mode == Mode::Off ? ReceivePump::LogFn()
                              : [this](const std::uint8_t* b, std::size_t n) { page.Feed(b, n); };
        QElapsedTimer wall;
        long fed = 0;
        QTimer timer;
        timer.setInterval(2);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            const auto due = static_cast<long>(rate * static_cast<double>(wall.nsecsElapsed()) / 1e9);
            if (head == queue.size()) {
                queue.clear();
                head = 0;
            }
            for (; fed < due; ++fed) {
                const std::string line = Line(fed, 8);
                queue.insert(queue.end(), line.begin(), line.end());
            }
            ReceivePump::Tick(port, memo, view, ReceivePump::kDisplayLimit, feed);
        });
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(Seconds() * 1000), &loop, &QEventLoop::quit);
        const double cpu0 = CpuSeconds();
        wall.start();
        timer.start();
        loop.exec();
        const double cpu = CpuSeconds() - cpu0;
        const double secs = static_cast<double>(wall.nsecsElapsed()) / 1e9;
        std::printf("  %ld lines, %d pictures (%.1f a second)\n", fed, page.PlotView1->Pictures() - picturesBefore,
                    (page.PlotView1->Pictures() - picturesBefore) / secs);
        return 100.0 * cpu / secs;
    }

    // Fills the store with lines of `values` numbers, straight into the plot.
    void Fill(long lines, int values) {
        std::string chunk;
        for (long n = 0; n < lines; ++n) {
            chunk += Line(n, values);
            if (chunk.size() > 60000 || n + 1 == lines) {
                page.Feed(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size());
                chunk.clear();
            }
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    std::printf("platform %s, %.0f s per measurement, 1000 lines/s of 8 values (%zu bytes a line)\n",
                qPrintable(QGuiApplication::platformName()), Seconds(), Line(12345, 8).size());
    // BENCH_ONLY=cpu or memory runs one part alone, shown the one case.
    const QByteArray only = qgetenv("BENCH_ONLY");
    Bench bench;
    if (only.isEmpty() || only == "memory") {
        const double before = RssMb();
        QElapsedTimer t;
        t.start();
        bench.Fill(1'000'100, 16);
        const plot::PlotStore& store = bench.page.feed().store();
        std::printf("memory: 16 series x %zu samples (%llu dropped): store %.1f MB, RSS %.1f -> %.1f MB (+%.1f), "
                    "filled in %.1f s\n",
                    store.Size(), static_cast<unsigned long long>(store.DroppedSamples()),
                    static_cast<double>(store.MemoryBytes()) / 1e6, before, RssMb(), RssMb() - before,
                    static_cast<double>(t.elapsed()) / 1000);
        bench.page.Clear();
    }
    if (only == "shown") {
        // One run alone, for profiling.
        std::printf("plot on and shown, 10 s window: %5.1f %%\n", bench.Run(Mode::Shown, 10, 1000));
        return 0;
    }
    if (!only.isEmpty() && only != "cpu") return 0;
    const double off = bench.Run(Mode::Off, 60, 1000);
    std::printf("plot off:                         %5.1f %% of a core\n", off);
    const double hidden = bench.Run(Mode::Hidden, 60, 1000);
    std::printf("plot on, tab not shown:           %5.1f %% (+%.1f)\n", hidden, hidden - off);
    bench.page.Clear();
    const double shown = bench.Run(Mode::Shown, 60, 1000);
    std::printf("plot on and shown, 60 s window:   %5.1f %% (+%.1f)\n", shown, shown - off);
    bench.page.Clear();
    const double fast = bench.Run(Mode::Shown, 10, 1000);
    std::printf("plot on and shown, 10 s window:   %5.1f %% (+%.1f)\n", fast, fast - off);
    bench.page.Clear();
    bench.Fill(1'000'000, 8);
    const double full = bench.Run(Mode::Shown, 3600, 1000);
    std::printf("plot shown, 1 h window, 1M rows:  %5.1f %% (+%.1f)\n", full, full - off);
    return 0;
}
