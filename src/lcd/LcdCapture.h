#pragma once
#include <array>
#include <cstdint>
#include <functional>

#include "core/Ui.h"
#include "serial/ComPort.h"

namespace quennet {

class NmeaWriter;

// Sizes and budgets of the capture protocol.
inline constexpr int kLcdPixelCount = 8192;   // entries of LcdPixels: 128 x 64
inline constexpr int kLcdLineChars = 100;     // longest line, LF included
inline constexpr int kLcdCharBudgetMs = 250;  // wait for each character of a line
// The header wait processes no window messages, so it must end even when the
// target keeps sending other valid lines (a board printing NMEA data): after
// this long without a header it gives up with "Protocol Error 1". A firmware
// answers the command at once; five seconds leave room for a header queued
// behind a screenful of other lines even at 600 baud.
inline constexpr std::uint32_t kLcdHeaderWaitMs = 5000;

// Results of LcdParseLine.
inline constexpr int kLcdNotUsable = 0;  // not a usable sentence
inline constexpr int kLcdHeader = 1;     // header: LcdWidth and LcdHeight set
inline constexpr int kLcdRow = 2;        // row stored in LcdPixels
// A well-formed header whose size cannot be held: width or height 0 or
// negative, or more than kLcdPixelCount pixels. The size stays as it was.
inline constexpr int kLcdHeaderOutOfRange = 3;

inline constexpr const char* kLcdNoPortText =
    "COM port is not open.\nFrom Terminal page select a Communication Port.";
inline constexpr const char* kLcdProtocolError1 = "Protocol Error 1";
inline constexpr const char* kLcdProtocolError2 = "Protocol Error 2";
inline constexpr const char* kLcdProtocolError3 = "Protocol Error 3";

// The capture's state, one per process: the picture's size, the pixel store
// and the receive buffer.
class LcdState {
public:
    // Receives one line (up to and including LF) into LcdLine, waiting up to
    // kLcdCharBudgetMs for each character. Returns 0 with a complete line,
    // 1 on a time-out or when more than kLcdLineChars arrive without an LF.
    int LcdReadLine(ComPort& port);
    // Interprets LcdLine: kLcdNotUsable, kLcdHeader, kLcdRow or
    // kLcdHeaderOutOfRange. Cuts LcdLine into fields as it goes.
    int LcdParseLine();
    // Whether pixel (row, column) of a picture of the given width is lit;
    // anything outside the store is unlit.
    bool PixelLit(int width, int row, int column) const;

    std::int32_t LcdWidth = 20;
    std::int32_t LcdHeight = 10;
    // One entry per pixel, 0 unlit or 1 lit, row-major at the current width.
    // Never cleared: a capture overwrites only the entries it receives.
    std::array<std::uint8_t, kLcdPixelCount> LcdPixels{};
    char LcdLine[kLcdLineChars + 1] = {};
};

// What the window lends a capture. Callbacks left empty do nothing.
struct LcdCaptureHost {
    ComPort& port;
    NmeaWriter& nmea;
    std::function<void()> pausePump;           // stop Timer1
    std::function<void()> resumePump;          // start Timer1 again
    std::function<void(bool busy)> setBusy;    // hourglass cursor on or off
    std::function<void(int percent)> setProgress;  // ProgressBarLCD
    ProcessMessagesFn processMessages;
    MessageBoxFn messageBox;
    // Asked after each row: true ends the capture there (the user's Stop).
    std::function<bool()> stopRequested;
};

enum class LcdCaptureResult {
    Done,
    PortBusy,  // a programming run holds the port: nothing done, nothing shown
    NoPort,
    ProtocolError1,
    ProtocolError2,
    ProtocolError3,
    Stopped,  // the user stopped it between two rows: no message box
};

// Takes the port from the terminal through its owner, sends the command
// sentence $QNCOM,SCR*30, waits for the header and reads LcdHeight row
// sentences into the store. The pump is paused from the command to the end
// and the port given back on every path; every failure ends with its message
// box, shown once the port is the terminal's again. The caller redraws after
// Done.
LcdCaptureResult RunLcdCapture(LcdState& state, const LcdCaptureHost& host);

// The command sentence's text after the prefix letters, up to the "*".
inline constexpr const char* kLcdCommandBody = "COM,SCR";

}  // namespace quennet
