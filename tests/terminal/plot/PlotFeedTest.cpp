#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/IniFile.h"
#include "terminal/plot/PlotFeed.h"
#include "terminal/plot/PlotOptions.h"

namespace quennet::plot {
namespace {

constexpr double kGap = std::numeric_limits<double>::quiet_NaN();

// Columns as text: "1|nan|3" style, gaps written as "-".
std::string Shown(const std::vector<double>& values) {
    std::string out;
    for (const double v : values) {
        if (!out.empty()) out += '|';
        if (std::isnan(v)) {
            out += '-';
        } else {
            char t[32];
            std::snprintf(t, sizeof t, "%.17g", v);
            out += t;
        }
    }
    return out;
}

TEST(PlotLine, ReadsEachLineFormat) {
    struct Case {
        const char* line;
        LineFields::Kind kind;
        const char* values;  // columns, or name=value pairs, or names
    };
    using K = LineFields::Kind;
    const Case cases[] = {
        {"1,2,3", K::Columns, "1|2|3"},
        {"1;2;3", K::Columns, "1|2|3"},
        {"1 2\t3", K::Columns, "1|2|3"},
        {"  1,  2 ,3  ", K::Columns, "1|2|3"},
        {"1,,3", K::Columns, "1|-|3"},
        {",5", K::Columns, "-|5"},
        {"-1.5e3 +2.25 .5 7.", K::Columns, "-1500|2.25|0.5|7"},
        {"0x1F -0X10 0xffffffffffffffff", K::Columns, "31|-16|1.8446744073709552e+19"},
        {"0x00000000000000000001", K::Columns, "1"},
        {"ADC 12 34", K::Columns, "12|34"},
        {"12:30:05.123 1.5 2.5", K::Columns, "1.5|2.5"},
        {"1,nan,3", K::Columns, "1|-|3"},
        {"inf -Infinity 2", K::Columns, "-|-|2"},
        {"1,abc,3", K::Columns, "1|-|3"},
        {"1e999 2", K::Columns, "-|2"},
        {"1e-999 2", K::Columns, "-|2"},
        {"0x10000000000000000 2", K::Columns, "-|2"},
        {"5 12abc 1e 0x 0x1g . - 6", K::Columns, "5|-|-|-|-|-|-|6"},
        {"0x1p3 3", K::Columns, "-|3"},
        {"99999999999999999999999 1", K::Columns, "9.9999999999999992e+22|1"},
        {"temp=21.5 hum=40", K::Named, "temp=21.5 hum=40"},
        {"temp:21.5, hum: 40", K::Named, "temp=21.5 hum=40"},
        {"a = 1; b =2 ; c= 0x10", K::Named, "a=1 b=2 c=16"},
        {"x=1 garbage y=nan z=2", K::Named, "x=1 z=2"},
        {"12:30:05 t=3", K::Named, "t=3"},
        {"time,temp,hum", K::Names, "time temp hum"},
        {"Booting firmware v2", K::Names, "Booting firmware v2"},
        {"hello, world!", K::Names, "hello world!"},
        {"12:30:05", K::None, ""},
        {"nan inf", K::None, ""},
        {"", K::None, ""},
        {"\x01\x02\xff", K::None, ""},
    };
    for (const Case& c : cases) {
        LineFields f;
        ParseLine(c.line, Separators{}, f);
        EXPECT_EQ(f.kind, c.kind) << c.line;
        std::string got;
        if (f.kind == K::Columns) got = Shown(f.columns);
        for (const auto& [name, v] : f.named) got += (got.empty() ? "" : " ") + name + "=" + Shown({v});
        for (const auto& name : f.names) got += (got.empty() ? "" : " ") + name;
        EXPECT_EQ(got, c.values) << c.line;
    }
}

TEST(PlotLine, SeparatorsCanBeTurnedOff) {
    Separators commaOnly{true, false, false, false};
    LineFields f;
    ParseLine("1.5, 2 ,3;4", commaOnly, f);
    EXPECT_EQ(Shown(f.columns), "1.5|2|-");
    Separators spaceOnly{false, false, true, false};
    ParseLine("1,5 2", spaceOnly, f);
    EXPECT_EQ(Shown(f.columns), "-|2");
}

// Feeds text in pieces of `piece` bytes at time t.
void FeedText(PlotFeed& feed, const std::string& text, double t, std::size_t piece = 1000000) {
    for (std::size_t i = 0; i < text.size(); i += piece) {
        const std::string part = text.substr(i, piece);
        feed.Feed(reinterpret_cast<const std::uint8_t*>(part.data()), part.size(), t);
    }
}

std::string Column(const PlotFeed& feed, std::size_t s) {
    std::vector<double> v;
    for (std::size_t i = 0; i < feed.store().Size(); ++i) v.push_back(feed.store().Value(s, i));
    return Shown(v);
}

TEST(PlotFeed, AssemblesLinesAcrossChunksWithAnyLineEnd) {
    const std::string text = "1,10\r\n2,20\n3,30\r4,40\n\r\n5,";
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{100}}) {
        PlotFeed feed;
        FeedText(feed, text, 0, piece);
        EXPECT_EQ(Column(feed, 0), "1|2|3|4") << piece;
        EXPECT_EQ(Column(feed, 1), "10|20|30|40") << piece;
        // The unfinished line waits for its end.
        FeedText(feed, "50\n", 0);
        EXPECT_EQ(Column(feed, 1), "10|20|30|40|50") << piece;
    }
}

TEST(PlotFeed, DropsALineThatNeverEndsAndGoesOnAfterIt) {
    PlotFeed feed;
    FeedText(feed, "1\n", 0);
    // Digits without end, in chunks: kept no further than the bound.
    const std::string endless(3 * PlotFeed::kMaxLineBytes, '7');
    FeedText(feed, endless, 1, 200);
    EXPECT_EQ(feed.store().Size(), 1u);
    FeedText(feed, "\n2\n", 2);
    EXPECT_EQ(Column(feed, 0), "1|2");
    EXPECT_EQ(feed.LongLines(), 1u);
    // A line just within the bound is read.
    std::string longest(PlotFeed::kMaxLineBytes - 2, ' ');
    longest += "3\n";
    FeedText(feed, longest, 3, 500);
    EXPECT_EQ(Column(feed, 0), "1|2|3");
}

TEST(PlotFeed, NamesSeriesFromAFirstLineOfNamesOrFromPairs) {
    PlotFeed feed;
    FeedText(feed, "Booting\ntime,temp,hum\n0,21.5,40\n1,21.75,41\nx,y,z\n", 0);
    ASSERT_EQ(feed.SeriesCount(), 3u);
    EXPECT_EQ(feed.SeriesName(0), "time");
    EXPECT_EQ(feed.SeriesName(2), "hum");
    EXPECT_EQ(Column(feed, 1), "21.5|21.75");

    PlotFeed unnamed;  // a banner with another count of words names nothing
    FeedText(unnamed, "hello world\n1,2,3\n", 0);
    EXPECT_EQ(unnamed.SeriesName(0), "col1");

    PlotFeed pairs;
    FeedText(pairs, "a=1 b=2\nb=3\nc:4 a=5\n", 0);
    ASSERT_EQ(pairs.SeriesCount(), 3u);
    EXPECT_EQ(pairs.SeriesName(2), "c");
    EXPECT_EQ(Column(pairs, 0), "1|-|5");
    EXPECT_EQ(Column(pairs, 1), "2|3|-");
    EXPECT_EQ(Column(pairs, 2), "-|-|4");
}

TEST(PlotFeed, KeepsSixteenSeriesAndCountsLinesWithMore) {
    PlotFeed feed;
    std::string line;
    for (int i = 0; i < 20; ++i) line += std::to_string(i) + ",";
    FeedText(feed, line + "\n", 0);
    EXPECT_EQ(feed.SeriesCount(), kMaxSeries);
    EXPECT_EQ(feed.store().Value(15, 0), 15.0f);
    EXPECT_EQ(feed.OverfullLines(), 1u);
    // A value a float cannot hold is no sample.
    FeedText(feed, "1e300\n", 0);
    EXPECT_EQ(feed.store().Size(), 1u);
}

TEST(PlotFeed, TimesStartAtTheFirstSampleAndNeverGoBack) {
    PlotFeed feed;
    FeedText(feed, "no number\n", 5.0);
    FeedText(feed, "1\n", 10.0);
    FeedText(feed, "2\n", 12.5);
    FeedText(feed, "3\n", 11.0);  // a clock step back
    EXPECT_EQ(feed.store().Time(0), 0.0);
    EXPECT_EQ(feed.store().Time(1), 2.5);
    EXPECT_EQ(feed.store().Time(2), 2.5);
    feed.Clear();
    EXPECT_EQ(feed.store().Size(), 0u);
    FeedText(feed, "4\n", 20.0);
    EXPECT_EQ(feed.store().Time(0), 0.0);
}

TEST(PlotFeed, WritesEverySampleAsCsvWithGapsEmptyAndOddNamesQuoted) {
    PlotFeed feed;
    feed.SetSeparators({false, false, true, true});
    FeedText(feed, "a,b say\"hi\" c\n1 2.5 -3\n", 1.0);
    FeedText(feed, "4 x 0x10\n", 3.5);
    std::ostringstream out;
    WritePlotCsv(out, feed);
    EXPECT_EQ(out.str(),
              "time_s,\"a,b\",\"say\"\"hi\"\"\",c\n"
              "0.000000,1,2.5,-3\n"
              "2.500000,4,,16\n");
}

std::array<float, kMaxSeries> Row(float a, float b = kGap) {
    std::array<float, kMaxSeries> r;
    r.fill(static_cast<float>(kGap));
    r[0] = a;
    r[1] = b;
    return r;
}

TEST(PlotStore, DropsTheOldestRowsWhenFullAndCountsThem) {
    PlotStore store(1000);
    for (int i = 0; i < 2500; ++i) store.Append(i, Row(static_cast<float>(i), i % 2 ? 1.0f : static_cast<float>(kGap)));
    EXPECT_EQ(store.Size(), 1000u);
    EXPECT_EQ(store.DroppedRows(), 1500u);
    EXPECT_EQ(store.DroppedSamples(), 1500u + 750u);
    EXPECT_EQ(store.FirstIndex(), 1500u);
    EXPECT_EQ(store.Value(0, 0), 1500.0f);
    EXPECT_EQ(store.Time(999), 2499.0);
    EXPECT_EQ(store.LastValue(0), 2499.0f);
    EXPECT_EQ(store.LowerBoundTime(2000.5), 501u);
    EXPECT_EQ(RowAt(store, XAxis::Index, 2000.0), 500u);
    store.Clear();
    EXPECT_EQ(store.Size(), 0u);
    EXPECT_EQ(store.DroppedRows(), 0u);
    EXPECT_TRUE(std::isnan(store.LastValue(0)));
}

TEST(PlotStore, RangeMatchesEveryRowAcrossBlocksAndTheRingsSeam) {
    PlotStore store(5 * PlotStore::kBlock + 7);
    std::uint32_t seed = 1;
    for (int i = 0; i < 1000; ++i) {
        seed = seed * 1103515245u + 12345u;
        const float v = (seed >> 16) % 7 == 0 ? static_cast<float>(kGap) : static_cast<float>((seed >> 8) % 10000);
        store.Append(i, Row(v));
    }
    for (std::size_t begin = 0; begin < store.Size(); begin += 13) {
        for (std::size_t end = begin; end <= store.Size(); end += 29) {
            PlotStore::Span want;
            for (std::size_t i = begin; i < end; ++i) {
                const float v = store.Value(0, i);
                if (std::isnan(v)) continue;
                want.lo = want.any ? std::min(want.lo, v) : v;
                want.hi = want.any ? std::max(want.hi, v) : v;
                want.any = true;
            }
            const PlotStore::Span got = store.Range(0, begin, end);
            ASSERT_EQ(got.any, want.any) << begin << ".." << end;
            if (want.any) {
                EXPECT_EQ(got.lo, want.lo) << begin << ".." << end;
                EXPECT_EQ(got.hi, want.hi) << begin << ".." << end;
            }
        }
    }
}

TEST(PlotStore, ColumnBoundsSplitTheRowsOfTheViewByPixel) {
    PlotStore store(100);
    for (int i = 0; i < 10; ++i) store.Append(i * 0.5, Row(1));
    std::vector<std::size_t> bounds;
    ColumnBounds(store, XAxis::Seconds, 1.0, 3.0, 4, bounds);  // 0.5 s per pixel
    EXPECT_EQ(bounds, (std::vector<std::size_t>{2, 3, 4, 5, 7}));
    ColumnBounds(store, XAxis::Index, 0, 9, 3, bounds);
    EXPECT_EQ(bounds, (std::vector<std::size_t>{0, 3, 6, 10}));
}

TEST(PlotStore, AMillionRowsOfSixteenSeriesStayUnderAHundredMegabytes) {
    PlotStore store;
    std::array<float, kMaxSeries> row;
    for (std::size_t i = 0; i < PlotStore::kDefaultCapacity + 10; ++i) {
        row.fill(static_cast<float>(i));
        store.Append(static_cast<double>(i), row);
    }
    EXPECT_EQ(store.Size(), PlotStore::kDefaultCapacity);
    EXPECT_EQ(store.DroppedSamples(), 10u * kMaxSeries);
    EXPECT_LT(store.MemoryBytes(), 100u * 1000 * 1000);
    EXPECT_EQ(store.Range(3, 0, store.Size()).hi, static_cast<float>(PlotStore::kDefaultCapacity + 9));
}

TEST(PlotOptions, SurviveTheSettingsFileAndRefuseNonsense) {
    const std::string path = ::testing::TempDir() + "plot_options.ini";
    std::remove(path.c_str());
    IniFile ini(path);
    PlotOptions o;
    o.enabled = true;
    o.separators.semicolon = false;
    o.windowSeconds = 600;
    o.xAxis = XAxis::Index;
    o.autoY = false;
    o.yMin = -2.5;
    o.yMax = 1e6;
    o.colors[3] = 0x123456;
    WritePlotOptions(ini, o);
    EXPECT_EQ(ReadPlotOptions(ini), o);
    EXPECT_NE(ini.ReadString("Plot", "Color4", "").find("5649426"), std::string::npos);  // 0x563412

    ini.WriteString("Plot", "Window", "45");
    ini.WriteString("Plot", "YMin", "nan");
    ini.WriteString("Plot", "YMax", "-10");
    ini.WriteString("Plot", "Color1", "-1");
    const PlotOptions read = ReadPlotOptions(ini);
    EXPECT_EQ(read.windowSeconds, 30);
    EXPECT_EQ(read.yMin, PlotOptions{}.yMin);
    EXPECT_EQ(read.yMax, PlotOptions{}.yMax);
    EXPECT_EQ(read.colors[0], kDefaultColors[0]);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace quennet::plot
