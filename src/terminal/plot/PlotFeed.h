#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "terminal/plot/PlotLine.h"
#include "terminal/plot/PlotStore.h"

namespace quennet::plot {

// Turns received bytes into plotted samples: assembles lines across
// chunks (CR, LF and CR LF each end one), reads each line, gives every
// column or name a series of its own (up to kMaxSeries, first come first
// served) and appends a row per line that had a value.
class PlotFeed {
public:
    // A line longer than this is dropped whole, up to its end.
    static constexpr std::size_t kMaxLineBytes = 4096;

    explicit PlotFeed(std::size_t capacity = PlotStore::kDefaultCapacity) : store_(capacity) {}

    void SetSeparators(const Separators& separators) { separators_ = separators; }
    const Separators& separators() const { return separators_; }

    // Bytes received at `seconds` (any clock that does not go back).
    void Feed(const std::uint8_t* bytes, std::size_t n, double seconds);
    // Forgets samples, series and any half line; the column names of a
    // first line of names stay.
    void Clear();

    const PlotStore& store() const { return store_; }
    std::size_t SeriesCount() const { return series_.size(); }
    const std::string& SeriesName(std::size_t s) const { return series_[s].name; }

    // Lines dropped for their length, and lines with values for more
    // series than are kept (those values left out).
    std::uint64_t LongLines() const { return longLines_; }
    std::uint64_t OverfullLines() const { return overfullLines_; }
    // Changes with every row appended or Clear.
    std::uint64_t Generation() const { return generation_; }

private:
    void Line(std::string_view line, double seconds);
    std::optional<std::size_t> ColumnSeries(std::size_t column);
    std::optional<std::size_t> NamedSeries(const std::string& name);

    struct Series {
        std::string name;
        std::optional<std::size_t> column;  // or a name of its own
    };

    PlotStore store_;
    Separators separators_;
    LineFields fields_;
    std::string line_;
    bool tooLong_ = false;
    std::vector<Series> series_;
    std::vector<std::string> header_;  // the last line of names before any column
    bool columnsSeen_ = false;
    std::optional<double> origin_;  // the time of the first row
    std::uint64_t longLines_ = 0;
    std::uint64_t overfullLines_ = 0;
    std::uint64_t generation_ = 0;
};

// Every sample kept as CSV: a head line "time_s" and the series' names,
// then a line per row, its time in seconds since the first sample and an
// empty field where a series had no value.
void WritePlotCsv(std::ostream& out, const PlotFeed& feed);

}  // namespace quennet::plot
