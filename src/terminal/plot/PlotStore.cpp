#include "terminal/plot/PlotStore.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace quennet::plot {

namespace {

constexpr float kNone = std::numeric_limits<float>::quiet_NaN();
constexpr float kEmptyMin = std::numeric_limits<float>::infinity();
constexpr float kEmptyMax = -std::numeric_limits<float>::infinity();

void Include(PlotStore::Span& span, float v) {
    if (std::isnan(v)) return;
    if (!span.any) {
        span = {v, v, true};
        return;
    }
    span.lo = std::min(span.lo, v);
    span.hi = std::max(span.hi, v);
}

}  // namespace

PlotStore::PlotStore(std::size_t capacity)
    : capacity_(std::max<std::size_t>(capacity, 1)), blocks_(capacity_ / kBlock + 2) {
    last_.fill(kNone);
}

void PlotStore::Clear() {
    head_ = size_ = 0;
    first_ = droppedSamples_ = 0;
    time_.clear();
    time_.shrink_to_fit();
    for (std::size_t s = 0; s < kMaxSeries; ++s) {
        values_[s] = {};
        blockMin_[s] = {};
        blockMax_[s] = {};
    }
    last_.fill(kNone);
}

// Columns grow in steps up to the capacity, never past it (a vector left
// to double would end beyond it).
void PlotStore::Grow() {
    const std::size_t want = std::min(capacity_, std::max<std::size_t>(1024, time_.size() * 2));
    time_.reserve(want);
    for (auto& column : values_)
        if (!column.empty()) column.reserve(want);
}

void PlotStore::Append(double time, const std::array<float, kMaxSeries>& values) {
    std::size_t slot;
    if (size_ < capacity_) {
        if (time_.size() == time_.capacity()) Grow();
        slot = time_.size();
        time_.push_back(time);
        for (auto& column : values_)
            if (!column.empty()) column.push_back(kNone);
        ++size_;
    } else {
        // Full: the oldest row gives its slot to the new one.
        slot = head_;
        for (std::size_t s = 0; s < kMaxSeries; ++s)
            if (!values_[s].empty() && !std::isnan(values_[s][slot])) ++droppedSamples_;
        head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
        ++first_;
        time_[slot] = time;
    }
    const std::uint64_t row = first_ + size_ - 1;
    const std::size_t block = BlockSlot(row);
    const bool blockStarts = row % kBlock == 0;
    for (std::size_t s = 0; s < kMaxSeries; ++s) {
        const float v = values[s];
        if (values_[s].empty()) {
            if (std::isnan(v)) continue;
            // A series' first value: its column starts, the rows before it empty.
            values_[s].reserve(time_.capacity());
            values_[s].assign(time_.size(), kNone);
            blockMin_[s].assign(blocks_, kEmptyMin);
            blockMax_[s].assign(blocks_, kEmptyMax);
        }
        values_[s][slot] = v;
        float& lo = blockMin_[s][block];
        float& hi = blockMax_[s][block];
        if (blockStarts) lo = kEmptyMin, hi = kEmptyMax;
        if (!std::isnan(v)) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            last_[s] = v;
        }
    }
}

float PlotStore::Value(std::size_t series, std::size_t i) const {
    const std::vector<float>& column = values_[series];
    return column.empty() ? kNone : column[Slot(i)];
}

std::size_t PlotStore::LowerBoundTime(double t) const {
    std::size_t lo = 0, hi = size_;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (Time(mid) < t)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

PlotStore::Span PlotStore::Range(std::size_t series, std::size_t begin, std::size_t end) const {
    Span span;
    const std::vector<float>& column = values_[series];
    if (column.empty()) return span;
    end = std::min(end, size_);
    // Whole blocks inside the range come from their summary; the rows of
    // the partial blocks at both ends are read one by one.
    std::uint64_t a = first_ + begin;
    const std::uint64_t e = first_ + end;
    while (a < e && a % kBlock != 0) Include(span, column[Slot(static_cast<std::size_t>(a++ - first_))]);
    while (a + kBlock <= e) {
        const std::size_t b = BlockSlot(a);
        if (blockMin_[series][b] <= blockMax_[series][b]) {
            Include(span, blockMin_[series][b]);
            Include(span, blockMax_[series][b]);
        }
        a += kBlock;
    }
    while (a < e) Include(span, column[Slot(static_cast<std::size_t>(a++ - first_))]);
    return span;
}

std::size_t PlotStore::MemoryBytes() const {
    std::size_t bytes = time_.capacity() * sizeof(double);
    for (std::size_t s = 0; s < kMaxSeries; ++s)
        bytes += (values_[s].capacity() + blockMin_[s].capacity() + blockMax_[s].capacity()) * sizeof(float);
    return bytes;
}

double RowX(const PlotStore& store, XAxis axis, std::size_t i) {
    return axis == XAxis::Seconds ? store.Time(i) : static_cast<double>(store.FirstIndex() + i);
}

std::size_t RowAt(const PlotStore& store, XAxis axis, double x) {
    if (axis == XAxis::Seconds) return store.LowerBoundTime(x);
    const double first = static_cast<double>(store.FirstIndex());
    if (!(x > first)) return 0;
    const double i = std::ceil(x - first);
    return i >= static_cast<double>(store.Size()) ? store.Size() : static_cast<std::size_t>(i);
}

std::size_t RowAfter(const PlotStore& store, XAxis axis, double x) {
    if (axis == XAxis::Index) return RowAt(store, axis, std::floor(x) + 1);
    std::size_t lo = 0, hi = store.Size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (store.Time(mid) <= x)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void ColumnBounds(const PlotStore& store, XAxis axis, double x0, double x1, int width,
                  std::vector<std::size_t>& bounds) {
    bounds.assign(static_cast<std::size_t>(std::max(width, 0)) + 1, 0);
    if (width <= 0) return;
    const double step = (x1 - x0) / width;
    for (int c = 0; c < width; ++c) bounds[static_cast<std::size_t>(c)] = RowAt(store, axis, x0 + step * c);
    // The last column takes the rows at x1 itself.
    bounds[static_cast<std::size_t>(width)] = RowAfter(store, axis, x1);
    for (std::size_t c = 1; c < bounds.size(); ++c) bounds[c] = std::max(bounds[c], bounds[c - 1]);
}

}  // namespace quennet::plot
