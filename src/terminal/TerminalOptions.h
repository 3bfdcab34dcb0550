#pragma once
#include <cstddef>

#include "serial/ComPort.h"
#include "terminal/ReceiveView.h"
#include "terminal/TypedSend.h"

namespace quennet {

class IniFile;

// How much received text the display may keep, smallest (the plain
// terminal's) first; every size costs the same per byte.
inline constexpr long long kScrollbackChars[] = {16000, 100'000, 1'000'000, 10'000'000, 30'000'000};
inline constexpr std::size_t kScrollbackCount = sizeof kScrollbackChars / sizeof kScrollbackChars[0];

inline constexpr int kDefaultBreakMs = 250;
inline constexpr int kMinBreakMs = 10;
inline constexpr int kMaxBreakMs = 5000;

// The terminal's options beyond the plain display, each at the plain
// terminal's value until the user chooses it. Kept in the settings file's
// "TerminalOptions" section.
struct TerminalOptions {
    LineEnd lineEnd = LineEnd::Cr;          // what Enter sends
    long long scrollback = kScrollbackChars[0];  // one of kScrollbackChars
    TextEncoding encoding = TextEncoding::Latin1;
    HexStyle hexView = HexStyle::Pairs;     // what "Show Hex" shows
    bool inputLine = false;
    bool timestamps = false;
    bool wrap = false;
    bool controlMarks = false;
    bool ansi = false;
    bool counters = false;
    bool logTimestamps = false;
    bool localEcho = false;                 // typed bytes shown, in a colour of their own
    int breakMs = kDefaultBreakMs;          // how long BREAK holds the line
    FlowControl flow = FlowControl::None;
    Frame customFrame;                      // the frame of the "Custom..." entry (its flow unused)
    bool fkeys = false;                     // function buttons show their key
    bool restoreButtons = false;            // load the last button set at start

    bool operator==(const TerminalOptions&) const = default;
};

// Reads the options; a stored choice out of range gives its default, and a
// scrollback that is none of the sizes takes the largest one it covers.
TerminalOptions ReadTerminalOptions(const IniFile& ini);
void WriteTerminalOptions(IniFile& ini, const TerminalOptions& options);

// The position of a scrollback size among kScrollbackChars: the largest
// size that it covers, 0 below the smallest.
int ScrollbackIndex(long long chars);

}  // namespace quennet
