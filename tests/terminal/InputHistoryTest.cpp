// The input line's history: walking it, its limits, and its file.
#include "terminal/InputHistory.h"

#include <gtest/gtest.h>

#include <string>

#include "TempDir.h"
#include "Checked.h"

namespace quennet {
namespace {

using testing::At, testing::Last, testing::TempDir;

TEST(InputHistory, UpAndDownWalkLikeAShell) {
    InputHistory h;
    EXPECT_EQ(h.Older("draft"), std::nullopt);
    for (const char* line : {"one", "two", "two", "", "three"}) h.Add(line);
    EXPECT_EQ(h.Lines().size(), 3u) << "empty lines and repeats are not kept";
    EXPECT_EQ(h.Older("half typed"), "three");
    EXPECT_EQ(h.Older("three"), "two");
    EXPECT_EQ(h.Older("two"), "one");
    EXPECT_EQ(h.Older("one"), std::nullopt);
    EXPECT_EQ(h.Newer(), "two");
    EXPECT_EQ(h.Newer(), "three");
    EXPECT_EQ(h.Newer(), "half typed") << "back to what was being typed";
    EXPECT_EQ(h.Newer(), std::nullopt);
    h.Older("x");
    h.Add("four");  // sending ends the walk
    EXPECT_EQ(h.Older(""), "four");
}

TEST(InputHistory, KeepsTheNewestHundredAcrossStarts) {
    TempDir dir;
    InputHistory h;
    for (int i = 0; i < 130; ++i) h.Add("line " + std::to_string(i));
    h.Add(std::string(5000, 'L'));
    h.Add("with\r\nbreaks");
    ASSERT_EQ(h.Lines().size(), InputHistory::kMaxLines);
    ASSERT_TRUE(h.Save(dir.File("q.history")));
    InputHistory again;
    again.Load(dir.File("q.history"));
    EXPECT_EQ(again.Lines(), h.Lines());
    EXPECT_EQ(At(again.Lines(), 0), "line 32");
    EXPECT_EQ(At(again.Lines(), 98).size(), InputHistory::kMaxLineLength);
    EXPECT_EQ(Last(again.Lines()), "with  breaks");

    // A missing file is an empty history; a file that is not ours is read
    // as lines, the newest kept.
    again.Load(dir.File("none"));
    EXPECT_TRUE(again.Lines().empty());
    std::string foreign;
    for (int i = 0; i < 300; ++i) foreign += "cmd " + std::to_string(i) + "\r\n\n";
    again.Load(dir.Write("foreign", foreign));
    ASSERT_EQ(again.Lines().size(), InputHistory::kMaxLines);
    EXPECT_EQ(again.Lines().back(), "cmd 299");
    EXPECT_FALSE(h.Save(dir.File("no/such/folder/q.history")));
}

}  // namespace
}  // namespace quennet
