#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "terminal/plot/PlotLine.h"

namespace quennet::plot {

// The samples of up to kMaxSeries series, one row per received line: a
// time shared by the row, and a float per series (NaN where the line had
// no value for it). Rows are kept in a ring of a fixed capacity; once it
// is full each new row drops the oldest, and the drops are counted.
//
// Memory with every series full: capacity x (8 + 16 x 4) bytes for the
// rows (72 MB at a million) plus a min/max summary per block of rows
// (about 2 MB), which lets a view of a million rows be decimated to pixel
// columns without reading every row. Columns grow with the data; a
// series that never had a value takes no memory.
class PlotStore {
public:
    static constexpr std::size_t kDefaultCapacity = 1'000'000;
    static constexpr std::size_t kBlock = 64;  // rows per min/max summary

    explicit PlotStore(std::size_t capacity = kDefaultCapacity);

    // Appends a row; values holds kMaxSeries entries, NaN for none.
    void Append(double time, const std::array<float, kMaxSeries>& values);
    void Clear();

    std::size_t Capacity() const { return capacity_; }
    std::size_t Size() const { return size_; }
    // The absolute number of the oldest row kept: the rows dropped so far.
    std::uint64_t FirstIndex() const { return first_; }
    std::uint64_t DroppedRows() const { return first_; }
    // Values of all series that left with dropped rows.
    std::uint64_t DroppedSamples() const { return droppedSamples_; }

    // Row i, 0 the oldest kept.
    double Time(std::size_t i) const { return time_[Slot(i)]; }
    float Value(std::size_t series, std::size_t i) const;
    // Whether the series has had any value since the last Clear.
    bool HasSeries(std::size_t series) const { return !values_[series].empty(); }
    // The newest value of a series (NaN when none).
    float LastValue(std::size_t series) const { return last_[series]; }

    // The first row whose time is not before t (Size() if none); times
    // never decrease, so this is a binary search.
    std::size_t LowerBoundTime(double t) const;

    struct Span {
        float lo = 0;
        float hi = 0;
        bool any = false;
    };
    // Smallest and largest value of a series in rows [begin, end).
    Span Range(std::size_t series, std::size_t begin, std::size_t end) const;

    // Bytes held by the rows and summaries.
    std::size_t MemoryBytes() const;

private:
    std::size_t Slot(std::size_t i) const {
        const std::size_t s = head_ + i;
        return s < capacity_ ? s : s - capacity_;
    }
    std::size_t BlockSlot(std::uint64_t absoluteRow) const {
        return static_cast<std::size_t>((absoluteRow / kBlock) % blocks_);
    }
    void Grow();

    std::size_t capacity_;
    std::size_t blocks_;
    std::size_t head_ = 0;  // physical slot of row 0
    std::size_t size_ = 0;
    std::uint64_t first_ = 0;
    std::uint64_t droppedSamples_ = 0;
    std::vector<double> time_;
    std::array<std::vector<float>, kMaxSeries> values_;
    std::array<std::vector<float>, kMaxSeries> blockMin_;
    std::array<std::vector<float>, kMaxSeries> blockMax_;
    std::array<float, kMaxSeries> last_{};
};

enum class XAxis { Seconds, Index };

// The x of row i: seconds since the first sample, or its absolute number.
double RowX(const PlotStore& store, XAxis axis, std::size_t i);

// The rows of each of `width` pixel columns over x0..x1: bounds gets
// width + 1 entries, column c holding rows [bounds[c], bounds[c + 1]).
void ColumnBounds(const PlotStore& store, XAxis axis, double x0, double x1, int width,
                  std::vector<std::size_t>& bounds);

// The first row at or after x, and the first row after x.
std::size_t RowAt(const PlotStore& store, XAxis axis, double x);
std::size_t RowAfter(const PlotStore& store, XAxis axis, double x);

}  // namespace quennet::plot
