// How fast the terminal display takes received bytes: the pump must keep up
// with the fastest rate the chooser offers (921600 baud, about 92 KB/s), or
// the driver's receive buffer overflows and bytes are lost.
//
// Feeds chunks through ReceivePump into the real Memo1 widget (offscreen) and
// prints bytes per second for text and hex mode, with and without line breaks.
#include <QApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <memory>
#include <vector>

#include "SimSerialDevice.h"
#include "VirtualClock.h"
#include "app/TerminalMemo.h"
#include "serial/ComPort.h"
#include "terminal/ReceivePump.h"

namespace {

double Measure(bool hex, bool lineBreaks, std::size_t totalBytes) {
    using namespace quennet;
    VirtualClock clock;
    SimLine line(clock);
    ComPort port([&] { return std::unique_ptr<SerialDevice>(new SimSerialDevice(line)); }, clock);
    port.ComOpen("bench", 921600, kFrameN81);
    TerminalMemo memo;
    memo.resize(800, 500);
    memo.show();
    if (hex) memo.setLineWrapMode(QPlainTextEdit::WidgetWidth);

    std::vector<std::uint8_t> chunk(200);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>('A' + i % 26);
    if (lineBreaks)
        for (std::size_t i = 79; i < chunk.size(); i += 80) chunk[i] = '\n';

    QElapsedTimer timer;
    qint64 spentNs = 0;
    for (std::size_t sent = 0; sent < totalBytes; sent += chunk.size()) {
        line.SendToPort(chunk);
        clock.Advance(line.WireTimeUs(chunk.size()) + 1);
        timer.start();
        ReceivePump::Tick(port, memo, hex, nullptr);
        if (qEnvironmentVariableIsSet("BENCH_PAINT")) QCoreApplication::processEvents();
        spentNs += timer.nsecsElapsed();
    }
    return static_cast<double>(totalBytes) / (static_cast<double>(spentNs) / 1e9);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const std::size_t total = 2'000'000;
    const double needed = 921600.0 / 10.0;
    std::printf("needed at 921600 baud: %.0f bytes/s\n", needed);
    for (bool hex : {false, true}) {
        for (bool breaks : {false, true}) {
            if (hex && breaks) continue;
            const double rate = Measure(hex, breaks, total);
            std::printf("%-5s %-14s %10.0f bytes/s  (%.1fx the fastest line)\n", hex ? "hex" : "text",
                        breaks ? "80-char lines" : "one long line", rate, rate / needed);
        }
    }
    return 0;
}
