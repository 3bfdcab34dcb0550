// How received bytes are shown beyond the plain view: time stamps, control
// marks, UTF-8, ANSI colours, the hex dump and stamped hex rows.
#include "terminal/ReceiveView.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "terminal/TerminalText.h"

namespace quennet {
namespace {

constexpr std::uint32_t kNoon = ((12 * 60 + 4) * 60 + 17) * 1000 + 123;  // "12:04:17.123 "

// The text with "\n" between lines; characters beyond the 8-bit set as
// "{U+XXXX}".
std::string Shown(const TerminalText& t) {
    std::string out;
    for (std::size_t i = 0; i < t.LineCount(); ++i) {
        if (i > 0) out += '\n';
        for (Cell c : t.Line(i)) {
            const char32_t code = cell::Code(c);
            if (code < 0x100) {
                out.push_back(static_cast<char>(code));
            } else {
                char u[16];
                std::snprintf(u, sizeof u, "{U+%04X}", static_cast<unsigned>(code));
                out += u;
            }
        }
    }
    return out;
}

// The chunks through a view at noon, into *into or a text of its own.
std::string Show(const ViewOptions& options, const std::vector<std::string>& chunks, TerminalText* into = nullptr,
                 const std::string& before = "") {
    TerminalText own;
    TerminalText& t = into ? *into : own;
    t.AppendText(before);
    ReceiveView view(options, [] { return kNoon; });
    for (const std::string& c : chunks) view.Show(t, reinterpret_cast<const std::uint8_t*>(c.data()), c.size());
    return Shown(t);
}

ViewOptions Stamps() { ViewOptions o; o.timestamps = true; return o; }
ViewOptions Marks() { ViewOptions o; o.controlMarks = true; return o; }
ViewOptions Utf8() { ViewOptions o; o.encoding = TextEncoding::Utf8; return o; }
ViewOptions Ansi() { ViewOptions o; o.ansi = true; return o; }
ViewOptions StampedHex() { ViewOptions o = Stamps(); o.hex = true; return o; }

TEST(TimeStamp, HoursMinutesSecondsAndMilliseconds) {
    EXPECT_EQ(FormatTimeOfDay(kNoon), "12:04:17.123 ");
    EXPECT_EQ(FormatTimeOfDay(5), "00:00:00.005 ");
    EXPECT_EQ(FormatTimeOfDay(86'399'999), "23:59:59.999 ");
    EXPECT_EQ(FormatTimeOfDay(86'400'000 + 61'010), "00:01:01.010 ");  // past midnight: the next day
}

// The time zone of the test process for a while (a rule string, so that no
// zone files are needed).
class LocalZone {
public:
    explicit LocalZone(const char* tz) {
        if (const char* was = std::getenv("TZ")) was_ = was;
        Set(tz);
    }
    ~LocalZone() { Set(was_ ? was_->c_str() : nullptr); }
    LocalZone(const LocalZone&) = delete;
    LocalZone& operator=(const LocalZone&) = delete;

private:
    static void Set(const char* tz) {
#ifdef _WIN32
        _putenv_s("TZ", tz ? tz : "");
        _tzset();
#else
        if (tz)
            setenv("TZ", tz, 1);
        else
            unsetenv("TZ");
        tzset();
#endif
    }
    std::optional<std::string> was_;
};

TEST(TimeStamp, LocalTimeAcrossMidnightAndTheClockChanges) {
#ifdef _WIN32
    GTEST_SKIP() << "the Windows C library reads no POSIX rule in TZ (M3.5.0 ...); the zone is the system's there";
#endif
    const LocalZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    using std::chrono::milliseconds;
    const auto at = [](std::int64_t utcMs) {
        return FormatTimeOfDay(LocalTimeOfDayMsAt(std::chrono::system_clock::time_point(milliseconds(utcMs))));
    };
    constexpr std::int64_t k2024_03_30 = 1711756800000;  // 2024-03-30 00:00 UTC, a Saturday
    constexpr std::int64_t kHour = 3600000;
    if (at(k2024_03_30 + 24 * kHour + kHour) != "03:00:00.000 ") GTEST_SKIP() << "the C library keeps no summer time rule";
    struct Case {
        std::int64_t utcMs;
        const char* shown;
    } cases[] = {
        {k2024_03_30 + 23 * kHour - 1, "23:59:59.999 "},       // the last of Saturday, winter time
        {k2024_03_30 + 23 * kHour, "00:00:00.000 "},           // Sunday begins
        {k2024_03_30 + 24 * kHour + kHour - 500, "01:59:59.500 "},  // the hour before the change
        {k2024_03_30 + 24 * kHour + kHour + 500, "03:00:00.500 "},  // summer time
        {1729990800000 - 1, "02:59:59.999 "},                  // 27 October, the last of summer time
        {1729990800000, "02:00:00.000 "},                      // the hour again, winter time
    };
    for (const Case& c : cases) EXPECT_EQ(at(c.utcMs), c.shown) << c.utcMs;
}

struct TextCase {
    const char* what;
    ViewOptions options;
    std::vector<std::string> chunks;
    std::string shown;
    std::string before = "";  // on the display already
};

TEST(ReceiveView, TextOptions) {
    using namespace std::string_literals;
    const std::vector<TextCase> cases = {
        {"each line, empty ones too, starts with the time", Stamps(), {"ab\r\n", "\ncd"},
         "12:04:17.123 ab\n12:04:17.123 \n12:04:17.123 cd"},
        {"a CR keeps the line and its stamp", Stamps(), {"50%\r", "99%"}, "12:04:17.123 50%99%"},
        {"backspace takes the stamp whole, then the line break", Stamps(), {"x\r\na\b", "\b\bz"},
         "12:04:17.123 xz"},
        {"without marks a NUL still hides the rest of its segment", Stamps(), {"A\0B\n"s}, "12:04:17.123 A\n"},
        {"control bytes as marks", Marks(), {"a\x1b\tb\x7f"}, "a^[^Ib^?"},
        {"a NUL shows and hides nothing", Marks(), {"A\0B\n"s}, "A^@B\n"},
        {"backspace takes a mark whole", Marks(), {"ok\x01\b"}, "ok"},
        {"UTF-8 across chunks", Utf8(), {"caf\xC3", "\xA9 \xE2\x82", "\xAC \xF0\x9F\x98\x80"},
         "caf\xE9 {U+20AC} {U+1F600}"},
        {"invalid UTF-8 shows its bytes", Utf8(), {"\xC3(\xFF\xC0\xAF"}, "<C3>(<FF><C0><AF>"},
        {"surrogates, past Unicode and C1 controls", Utf8(), {"\xED\xA0\x80|\xF4\x90\x80\x80|\xC2\x85"},
         "<ED><A0><80>|<F4><90><80><80>|<C2><85>"},
        {"a line end cuts a character short", Utf8(), {"\xE2\x82\n"}, "<E2><82>\n"},
        {"three bytes: the overlong U+07FF, then the first real one", Utf8(), {"\xE0\x9F\xBF|\xE0\xA0\x80"},
         "<E0><9F><BF>|{U+0800}"},
        {"the surrogates' bounds", Utf8(), {"\xED\x9F\xBF|\xED\xBF\xBF|\xEE\x80\x80"},
         "{U+D7FF}|<ED><BF><BF>|{U+E000}"},
        {"a lead byte where a continuation belongs starts anew", Utf8(), {"\xE2\xC3\xA9\xE2\x82\xF0\x9F\x98\x80"},
         "<E2>\xE9<E2><82>{U+1F600}"},
        {"SGR and other sequences leave no text", Ansi(), {"\x1b[1;31mred\x1b[0m \x1b[2J\x1b[H\x1b[?25lok"}, "red ok"},
        {"a sequence cut by the chunk's end", Ansi(), {"a\x1b", "[3", "2mb"}, "ab"},
        {"ESC before anything but [ shows", Ansi(), {"\x1b" "c!"}, "\x1b" "c!"},
        {"a control byte ends a sequence and shows", Ansi(), {"\x1b[3\x01x"}, "\x01x"},
        {"a sequence that never ends is dropped", Ansi(), {"\x1b[" + std::string(70, '1') + "x"},
         std::string(70 - ReceiveView::kMaxSequence + 2, '1') + "x"},
        {"stamped hex: sixteen bytes a row, below the text", StampedHex(),
         {"\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09"s, "\x0A\x0B\x0C\x0D\x0E\x0F\x10\x11"},
         "text\n12:04:17.123 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \n12:04:17.123 10 11 ", "text"},
    };
    for (const TextCase& c : cases) EXPECT_EQ(Show(c.options, c.chunks, nullptr, c.before), c.shown) << c.what;
}

TEST(ReceiveView, SgrColoursAndBold) {
    TerminalText t;
    Show(Ansi(), {"\x1b[31mR\x1b[1mB\x1b[22;44mb\x1b[39mD\x1b[49;92mG\x1b[38;5;31mS\x1b[mN"}, &t);
    const CellView line = t.Line(0);
    ASSERT_EQ(line.size(), 7u);
    struct Look {
        unsigned fg, bg;
        bool bold;
    };
    const Look want[] = {{2, 0, false}, {2, 0, true}, {2, 5, false}, {0, 5, false}, {11, 0, false},
                         {11, 0, false},  // the 256-colour form's arguments are not codes
                         {0, 0, false}};
    for (std::size_t i = 0; i < line.size(); ++i) {
        EXPECT_EQ(cell::Fg(line[i]), want[i].fg) << i;
        EXPECT_EQ(cell::Bg(line[i]), want[i].bg) << i;
        EXPECT_EQ((line[i] & cell::kBold) != 0, want[i].bold) << i;
    }
    // Stamps and marks are dim, whatever the colours.
    TerminalText s;
    ViewOptions o = Ansi();
    o.timestamps = o.controlMarks = true;
    Show(o, {"\x1b[31m\x07"}, &s);
    for (Cell c : s.Line(0)) EXPECT_EQ(cell::Fg(c), cell::kDim);
}

TEST(ReceiveView, HexDumpRowsGrowInPlace) {
    ViewOptions o;
    o.hex = true;
    o.hexStyle = HexStyle::Dump;
    TerminalText t;
    ReceiveView view(o);
    using namespace std::string_literals;
    const std::string first = "Hello, world!\n\x00\x01"s, second = "\x7f\xff" "AB";
    view.Show(t, reinterpret_cast<const std::uint8_t*>(first.data()), 3);  // a row shown in part, then filled
    view.Show(t, reinterpret_cast<const std::uint8_t*>(first.data()) + 3, first.size() - 3);
    view.Show(t, reinterpret_cast<const std::uint8_t*>(second.data()), second.size());
    EXPECT_EQ(Shown(t),
              "00000000  48 65 6C 6C 6F 2C 20 77  6F 72 6C 64 21 0A 00 01  |Hello, world!...|\n"
              "00000010  7F FF 41 42                                       |..AB|");
    // Something else written on the row: the row goes on afresh below it.
    t.AppendText("< 0D >");
    view.Show(t, reinterpret_cast<const std::uint8_t*>("C"), 1);
    EXPECT_EQ(Shown(t).substr(Shown(t).rfind('\n') + 1),
              "00000010  7F FF 41 42 43                                    |..ABC|");
    // After "Clear" the offsets start at 0 again.
    t.Clear();
    view.Restart();
    view.Show(t, reinterpret_cast<const std::uint8_t*>("Z"), 1);
    EXPECT_EQ(Shown(t).substr(0, 12), "00000000  5A");
}

TEST(ReceiveView, DumpRowsFitTheViewsWidth) {
    struct Case {
        std::size_t columns;
        bool stamps;
        std::size_t bytes;
    } const cases[] = {{0, true, 16},  {79, false, 16}, {78, false, 8},  {92, true, 16},
                       {91, true, 8},  {60, true, 8},   {59, true, 4},   {10, false, 4}};
    for (const Case& c : cases)
        EXPECT_EQ(ReceiveView::DumpRowBytes(c.columns, c.stamps), c.bytes) << c.columns << (c.stamps ? " stamped" : "");

    // The view narrows while a row fills: that row keeps its sixteen, the
    // next rows take eight, and every offset counts the bytes before it.
    ViewOptions o;
    o.hex = true;
    o.hexStyle = HexStyle::Dump;
    TerminalText t;
    ReceiveView view(o);
    const std::string bytes = "0123456789abcdefghijklmnopqrstuvwxyz";
    view.Show(t, reinterpret_cast<const std::uint8_t*>(bytes.data()), 4);
    view.SetWidth(60);
    view.Show(t, reinterpret_cast<const std::uint8_t*>(bytes.data()) + 4, bytes.size() - 4);
    EXPECT_EQ(Shown(t),
              "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
              "00000010  67 68 69 6A  6B 6C 6D 6E  |ghijklmn|\n"
              "00000018  6F 70 71 72  73 74 75 76  |opqrstuv|\n"
              "00000020  77 78 79 7A               |wxyz|");
    for (std::size_t i = 0; i < t.LineCount(); ++i) EXPECT_LT(t.Line(i).size(), 80u);
}

}  // namespace
}  // namespace quennet
