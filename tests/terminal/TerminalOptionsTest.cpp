// The terminal's options as stored in the settings file.
#include "terminal/TerminalOptions.h"

#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "core/IniFile.h"

namespace quennet {
namespace {

using testing::TempDir;

TerminalOptions ReadFrom(const TempDir& dir, const std::string& text) {
    return ReadTerminalOptions(IniFile(dir.Write("t.ini", text)));
}

TEST(TerminalOptions, EveryOptionSurvivesAWriteAndARead) {
    TempDir dir;
    TerminalOptions chosen;
    chosen.lineEnd = LineEnd::CrLf;
    chosen.scrollback = 1'000'000;
    chosen.encoding = TextEncoding::Utf8;
    chosen.hexView = HexStyle::Dump;
    chosen.inputLine = chosen.timestamps = chosen.wrap = chosen.controlMarks = true;
    chosen.ansi = chosen.counters = chosen.logTimestamps = true;
    {
        IniFile ini(dir.File("t.ini"));
        WriteTerminalOptions(ini, chosen);
    }
    EXPECT_EQ(ReadTerminalOptions(IniFile(dir.File("t.ini"))), chosen);
    EXPECT_EQ(ReadFrom(dir, ""), TerminalOptions{}) << "no file: the plain terminal";
}

TEST(TerminalOptions, StoredValuesOutOfRangeFallBack) {
    struct Case {
        const char* text;
        LineEnd lineEnd;
        long long scrollback;
        TextEncoding encoding;
        HexStyle hexView;
    };
    const Case cases[] = {
        {"LineEnd=1\nScrollback=100000\nEncoding=1\nHexView=1", LineEnd::Lf, 100'000, TextEncoding::Utf8,
         HexStyle::Dump},
        {"LineEnd=3\nEncoding=2\nHexView=-1", LineEnd::Cr, 16000, TextEncoding::Latin1, HexStyle::Pairs},
        {"Scrollback=5000000", LineEnd::Cr, 1'000'000, TextEncoding::Latin1, HexStyle::Pairs},
        {"Scrollback=999999999", LineEnd::Cr, 30'000'000, TextEncoding::Latin1, HexStyle::Pairs},
        {"Scrollback=-5", LineEnd::Cr, 16000, TextEncoding::Latin1, HexStyle::Pairs},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const TerminalOptions o = ReadFrom(dir, std::string("[TerminalOptions]\n") + c.text + "\n");
        EXPECT_EQ(o.lineEnd, c.lineEnd) << c.text;
        EXPECT_EQ(o.scrollback, c.scrollback) << c.text;
        EXPECT_EQ(o.encoding, c.encoding) << c.text;
        EXPECT_EQ(o.hexView, c.hexView) << c.text;
    }
}

}  // namespace
}  // namespace quennet
