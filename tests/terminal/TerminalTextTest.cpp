// The terminal display's text model: lengths, backspace, trimming by lines
// and by rows, rows, and places that survive trimming.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "MemoryDisplay.h"
#include "terminal/ReceivePump.h"
#include "terminal/TerminalText.h"

namespace quennet {
namespace {

// Cells of 8-bit text back as its bytes.
std::string Narrow(CellView cells) {
    std::string out;
    for (Cell c : cells) out.push_back(static_cast<char>(cell::Code(c)));
    return out;
}

std::vector<std::string> Narrow(const std::vector<CellView>& slices) {
    std::vector<std::string> out;
    for (CellView s : slices) out.push_back(Narrow(s));
    return out;
}

// The whole text with CR LF line breaks.
std::string Joined(const TerminalText& t) {
    std::string out;
    const std::vector<std::string> slices = Narrow(t.Slices(t.PosOf(0, 0), t.End()));
    for (std::size_t i = 0; i < slices.size(); ++i) {
        if (i > 0) out += "\r\n";
        out += slices[i];
    }
    return out;
}

TEST(TerminalText, LengthCountsBreaksAsTwoAndBackspaceTakesOneCharacter) {
    TerminalText t;
    EXPECT_EQ(t.TextLength(), 0u);
    t.DeleteLastChar();  // nothing to delete
    EXPECT_EQ(t.TextLength(), 0u);
    t.AppendText("AB");
    t.AppendLineBreak();
    t.AppendText(std::string_view("X\0\xff", 3));  // stored as they are, one character each
    EXPECT_EQ(t.TextLength(), 2u + 2u + 3u);
    EXPECT_EQ(t.LineCount(), 2u);
    EXPECT_EQ(Narrow(t.Line(1)), std::string_view("X\0\xff", 3));
    t.DeleteLastChar();
    t.DeleteLastChar();
    t.DeleteLastChar();
    EXPECT_EQ(Joined(t), "AB\r\n");
    t.DeleteLastChar();  // the line break, whole
    EXPECT_EQ(Joined(t), "AB");
    EXPECT_EQ(t.TextLength(), 2u);
    t.AppendEmptyLine();
    t.AppendEmptyLine();
    EXPECT_EQ(Joined(t), "AB\r\n\r\n");
    t.Clear();
    EXPECT_EQ(t.TextLength(), 0u);
    EXPECT_EQ(t.LineCount(), 1u);
}

TEST(TerminalText, TrimmingWithoutWrapTakesWholeLines) {
    TerminalText t;
    t.AppendText("first");
    t.AppendLineBreak();
    t.AppendText("second");
    t.RemoveFirstLine();
    EXPECT_EQ(Joined(t), "second");
    EXPECT_EQ(t.TextLength(), 6u);
    t.RemoveFirstLine();  // the only line loses its text
    EXPECT_EQ(t.TextLength(), 0u);
    t.RemoveFirstLine();  // nothing left: no change
    EXPECT_EQ(t.TextLength(), 0u);
    t.AppendText("again");
    EXPECT_EQ(Joined(t), "again");
}

// Through the pump's own text rules and trimming, the model shows exactly
// what the plain reference display shows, for any mix of the bytes that
// matter, chunk after chunk.
TEST(TerminalText, MatchesTheReferenceDisplayOnRandomStreams) {
    std::mt19937 rng(11);
    const char alphabet[] = {'a', 'b', 'c', 0x08, 0x0D, 0x0A, 0x00, 'x', 'y', 0x08};
    for (int round = 0; round < 20; ++round) {
        TerminalText model;
        MemoryDisplay reference;
        const std::size_t limit = 1 + rng() % 300;
        for (int chunk = 0; chunk < 200; ++chunk) {
            std::vector<std::uint8_t> bytes(1 + rng() % 200);
            for (auto& b : bytes) b = static_cast<std::uint8_t>(alphabet[rng() % sizeof alphabet]);
            for (TerminalDisplay* d : {static_cast<TerminalDisplay*>(&model), static_cast<TerminalDisplay*>(&reference)}) {
                while (d->TextLength() > limit) d->RemoveFirstLine();
                ReceivePump::ShowText(*d, bytes.data(), bytes.size());
            }
            ASSERT_EQ(Joined(model), reference.text) << "round " << round << " chunk " << chunk;
            ASSERT_EQ(model.TextLength(), reference.text.size());
        }
    }
}

// Rows of a wrapped text, worked out plainly from its lines: each row takes
// as many characters as fit, given back to just after its last blank when
// the line goes on and the row has one.
std::vector<std::string> ExpectedRows(const TerminalText& t) {
    std::vector<std::string> rows;
    for (std::size_t i = 0; i < t.LineCount(); ++i) {
        std::string rest = Narrow(t.Line(i));
        while (t.RowWidth() > 0 && rest.size() > t.RowWidth()) {
            std::string row = rest.substr(0, t.RowWidth());
            const std::size_t blank = row.rfind(' ');
            if (blank != std::string::npos) row.resize(blank + 1);
            rows.push_back(row);
            rest.erase(0, row.size());
        }
        rows.push_back(rest);
    }
    return rows;
}

std::vector<std::string> Rows(const TerminalText& t) {
    std::vector<std::string> rows;
    for (std::size_t r = 0; r < t.RowCount(); ++r) {
        const TextRow row = t.Row(r);
        rows.push_back(Narrow(t.Line(row.line).substr(row.start, row.length)));
    }
    return rows;
}

TEST(TerminalText, WrappedRowsAndTrimmingByRow) {
    TerminalText t;
    t.SetRowWidth(6);  // two "XX " groups
    t.AppendText("00 01 02 03 04 ");
    EXPECT_EQ(Rows(t), (std::vector<std::string>{"00 01 ", "02 03 ", "04 "}));
    t.AppendLineBreak();
    t.AppendText("ok");
    EXPECT_EQ(t.RowCount(), 4u);
    EXPECT_EQ(t.TextLength(), 15u + 2u + 2u);
    t.RemoveFirstLine();  // one row, no line break
    EXPECT_EQ(Joined(t), "02 03 04 \r\nok");
    t.RemoveFirstLine();
    t.RemoveFirstLine();  // "04 " fits a row: the line and its break go
    EXPECT_EQ(Joined(t), "ok");
    EXPECT_EQ(t.RowCount(), 1u);

    // Groups that follow other text on the line are never split: the row
    // ends after its last blank, and the rows after it hold whole groups.
    t.AppendText(" 10 11 12 13 ");
    EXPECT_EQ(Rows(t), (std::vector<std::string>{"ok 10 ", "11 12 ", "13 "}));
    t.DeleteLastChar();
    t.DeleteLastChar();
    t.DeleteLastChar();
    EXPECT_EQ(Rows(t), (std::vector<std::string>{"ok 10 ", "11 12 "}));
    t.DeleteLastChar();  // the last row loses its blank
    EXPECT_EQ(Rows(t), (std::vector<std::string>{"ok 10 ", "11 12"}));
    t.Clear();

    // A narrower view rewraps what is there; a run without blanks is cut
    // anywhere; no wrap makes each line a row.
    t.AppendText("okabcdefghij");
    t.SetRowWidth(3);
    EXPECT_EQ(Rows(t), (std::vector<std::string>{"oka", "bcd", "efg", "hij"}));
    t.SetRowWidth(0);
    EXPECT_EQ(t.RowCount(), 1u);
    t.RemoveFirstLine();
    EXPECT_EQ(t.TextLength(), 0u);
}

// Row bookkeeping, the longest line and the row of a place stay right through
// every kind of change (joined groups, truncation, wrap off), including long
// lines whose front is cut again and again.
TEST(TerminalText, RowsStayConsistentThroughRandomEdits) {
    std::mt19937 rng(5);
    TerminalText t;
    t.SetRowWidth(9);
    for (int step = 0; step < 4000; ++step) {
        switch (rng() % 10) {
            case 0: t.AppendLineBreak(); break;
            case 1: t.DeleteLastChar(); break;
            case 2: t.RemoveFirstLine(); break;
            case 3: t.SetRowWidth(rng() % 4 == 0 ? 0 : 1 + rng() % 16); break;
            case 4: t.TruncateLastLine(rng() % 40); break;
            case 5: {
                CellString cells(rng() % 300, U'a');
                for (std::size_t i = 0; i < cells.size(); ++i) {
                    if (rng() % 5 == 0) cells[i] = U' ';
                    if (i > 0 && rng() % 3 == 0) cells[i] |= cell::kJoined;
                }
                t.AppendCells(cells);
                break;
            }
            default: {
                std::string text(rng() % 3000, static_cast<char>('a' + step % 26));
                for (char& c : text)
                    if (rng() % 4 == 0) c = ' ';
                t.AppendText(text);
                break;
            }
        }
        while (t.TextLength() > 16000) t.RemoveFirstLine();
        std::size_t longest = 0;
        for (std::size_t i = 0; i < t.LineCount(); ++i) longest = std::max(longest, t.Line(i).size());
        ASSERT_EQ(t.LongestLine(), longest) << "step " << step;
        if (step % 50 == 0) {
            ASSERT_EQ(Rows(t), ExpectedRows(t)) << "step " << step;
            for (std::size_t r = 0; r < t.RowCount(); ++r) {
                const TextRow row = t.Row(r);
                ASSERT_EQ(t.RowOf(t.PosOf(row.line, row.start)), r) << "step " << step;
            }
        }
        if (step % 25 == 0) {
            ASSERT_EQ(t.RowCount(), ExpectedRows(t).size()) << "step " << step;
        }
    }
}

TEST(TerminalText, PlacesSurviveTrimmingAndSlicesCopyAcrossLines) {
    TerminalText t;
    t.SetRowWidth(4);
    t.AppendText("abcdefghij");
    t.AppendLineBreak();
    t.AppendText("klm");
    const TextPos from = t.PosOf(0, 6);  // before "g"
    const TextPos to = t.PosOf(1, 2);    // after "kl"
    std::vector<std::string> s = Narrow(t.Slices(to, from));  // either order
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0], "ghij");
    EXPECT_EQ(s[1], "kl");

    t.RemoveFirstLine();  // "abcd" cut off: the places still mean the same characters
    s = Narrow(t.Slices(from, to));
    EXPECT_EQ(s[0], "ghij");
    t.RemoveFirstLine();  // "efgh": the start is gone, the selection begins at "ij"
    s = Narrow(t.Slices(from, to));
    EXPECT_EQ(s[0], "ij");
    EXPECT_EQ(t.Clamp(from), t.PosOf(0, 0));
    t.RemoveFirstLine();  // the first line is gone
    s = Narrow(t.Slices(from, to));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], "kl");

    // After Clear nothing of the old places is left to select.
    t.Clear();
    t.AppendText("new");
    s = Narrow(t.Slices(from, to));
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0], "");
    EXPECT_EQ(t.End(), t.PosOf(0, 3));
}

// A hex flood keeps the text near its limit and the tail of the stream,
// while the first line is cut row by row from its front.
TEST(TerminalText, HexFloodStaysAtTheLimitWithTheStreamsTail) {
    TerminalText t;
    t.SetRowWidth(75);
    std::string all;
    std::vector<std::uint8_t> chunk(200);
    for (int c = 0; c < 1000; ++c) {
        for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<std::uint8_t>(c + i);
        while (t.TextLength() > ReceivePump::kDisplayLimit) t.RemoveFirstLine();
        ReceivePump::ShowHex(t, chunk.data(), chunk.size());
        const std::size_t before = all.size();
        all.resize(before + 600);
        static const char* digits = "0123456789ABCDEF";
        for (std::size_t i = 0; i < chunk.size(); ++i) {
            all[before + 3 * i] = digits[chunk[i] >> 4];
            all[before + 3 * i + 1] = digits[chunk[i] & 15];
            all[before + 3 * i + 2] = ' ';
        }
    }
    const std::string shown = Joined(t);
    EXPECT_EQ(shown.size(), t.TextLength());
    EXPECT_LE(shown.size(), ReceivePump::kDisplayLimit + 600);
    EXPECT_GT(shown.size(), ReceivePump::kDisplayLimit - 75);
    EXPECT_EQ(shown, all.substr(all.size() - shown.size()));
    EXPECT_EQ((all.size() - shown.size()) % 75, 0u) << "rows stay aligned to the stream";
}

struct FindCase {
    const char* what;
    const char32_t* pattern;
    bool forward, matchCase;
    TextPos from;
    std::optional<std::pair<TextPos, TextPos>> found;
};

TEST(TerminalText, FindGoesEitherWayAndRoundTheEnd) {
    TerminalText t;
    t.AppendText("boot ok");
    t.AppendLineBreak();
    t.AppendText("Boot: ERROR \x80");  // 0x80 shows as the euro sign
    t.AppendLineBreak();
    t.AppendText("boot again");
    const auto at = [&t](std::size_t line, std::size_t column) { return t.PosOf(line, column); };
    const std::vector<FindCase> cases = {
        {"forward from the top", U"boot", true, true, at(0, 0), {{at(0, 0), at(0, 4)}}},
        {"forward past a match", U"boot", true, true, at(0, 1), {{at(2, 0), at(2, 4)}}},
        {"any case", U"boot", true, false, at(0, 1), {{at(1, 0), at(1, 4)}}},
        {"round the end", U"ok", true, true, at(2, 5), {{at(0, 5), at(0, 7)}}},
        {"backward ends before the place", U"boot", false, false, at(2, 0), {{at(1, 0), at(1, 4)}}},
        {"backward round the top", U"again", false, true, at(0, 3), {{at(2, 5), at(2, 10)}}},
        {"as shown: the euro sign", U"R \u20AC", true, true, at(0, 0), {{at(1, 10), at(1, 13)}}},
        {"letters of Latin-1 fold", U"error", true, false, at(0, 0), {{at(1, 6), at(1, 11)}}},
        {"nothing", U"absent", true, false, at(0, 0), std::nullopt},
        {"within one line only", U"okBoot", true, false, at(0, 0), std::nullopt},
    };
    for (const FindCase& c : cases) {
        SCOPED_TRACE(c.what);
        const auto match = t.Find(c.pattern, c.from, c.forward, c.matchCase);
        ASSERT_EQ(match.has_value(), c.found.has_value());
        if (match) {
            EXPECT_EQ(match->from, c.found->first);
            EXPECT_EQ(match->to, c.found->second);
        }
    }
    // All matches of a piece of a line, for marking them on screen.
    EXPECT_EQ(t.FindInLine(2, 0, 10, U"a", true), (std::vector<std::size_t>{5, 7}));
    EXPECT_EQ(t.FindInLine(2, 6, 10, U"a", true), (std::vector<std::size_t>{7}));
}

// Cyrillic capitals U+0400-U+040F (Ѐ to Џ) fold to U+0450-U+045F, the
// neighbours on either side by their own rules.
TEST(TerminalText, FindFoldsTheFirstCyrillicCapitals) {
    struct Case {
        char32_t shown, typed;
        bool found;
    } cases[] = {
        {0x400, 0x450, true}, {0x40F, 0x45F, true}, {0x450, 0x400, true}, {0x45F, 0x40F, true},
        {0x3FF, 0x44F, false}, {0x410, 0x460, false}, {0x410, 0x430, true},
    };
    for (const Case& c : cases) {
        TerminalText t;
        const CellString line = {U'x', c.shown, U'y'};
        t.AppendCells(line);
        const char32_t pattern[] = {c.typed, 0};
        EXPECT_EQ(t.FindInLine(0, 0, 3, pattern, false), c.found ? std::vector<std::size_t>{1} : std::vector<std::size_t>{})
            << std::hex << static_cast<unsigned>(c.shown) << " by " << static_cast<unsigned>(c.typed);
        EXPECT_TRUE(t.FindInLine(0, 0, 3, pattern, true).empty() || c.shown == c.typed);
    }
}

}  // namespace
}  // namespace quennet
