#include "terminal/plot/PlotFeed.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace quennet::plot {

void PlotFeed::Clear() {
    store_.Clear();
    line_.clear();
    line_.shrink_to_fit();
    tooLong_ = false;
    // The column names of a table's first line stay: the board does not
    // print them again.
    series_.clear();
    origin_.reset();
    longLines_ = overfullLines_ = 0;
    ++generation_;
}

void PlotFeed::Feed(const std::uint8_t* bytes, std::size_t n, double seconds) {
    const char* p = reinterpret_cast<const char*>(bytes);
    const char* const end = p + n;
    while (p < end) {
        // Whole runs up to the next line end go in at once.
        const char* stop = p;
        while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
        if (!tooLong_) {
            const std::size_t run = static_cast<std::size_t>(stop - p);
            if (line_.size() + run > kMaxLineBytes) {
                tooLong_ = true;
                line_.clear();
            } else {
                line_.append(p, run);
            }
        }
        if (stop == end) break;
        // A line end: the line is read (an empty one, as between CR and
        // LF, is nothing), or a line that was too long ends here.
        if (tooLong_) {
            ++longLines_;
            tooLong_ = false;
        } else if (!line_.empty()) {
            Line(line_, seconds);
        }
        line_.clear();
        p = stop + 1;
    }
}

std::optional<std::size_t> PlotFeed::ColumnSeries(std::size_t column) {
    for (std::size_t s = 0; s < series_.size(); ++s)
        if (series_[s].column == column) return s;
    if (series_.size() >= kMaxSeries) return std::nullopt;
    std::string name = "col" + std::to_string(column + 1);
    if (column < header_.size()) name = header_[column];
    series_.push_back({name, column});
    return series_.size() - 1;
}

std::optional<std::size_t> PlotFeed::NamedSeries(const std::string& name) {
    for (std::size_t s = 0; s < series_.size(); ++s)
        if (!series_[s].column && series_[s].name == name) return s;
    if (series_.size() >= kMaxSeries) return std::nullopt;
    series_.push_back({name, std::nullopt});
    return series_.size() - 1;
}

void PlotFeed::Line(std::string_view line, double seconds) {
    ParseLine(line, separators_, fields_);
    std::array<float, kMaxSeries> row;
    row.fill(std::numeric_limits<float>::quiet_NaN());
    bool any = false;
    bool overfull = false;
    // A value beyond what a float holds is no value either.
    const auto put = [&](std::optional<std::size_t> s, double v) {
        if (!s) {
            overfull = overfull || !std::isnan(v);
            return;
        }
        const float f = static_cast<float>(v);
        if (std::isnan(v) || !std::isfinite(f)) return;
        row[*s] = f;
        any = true;
    };
    switch (fields_.kind) {
        case LineFields::Kind::None:
            return;
        case LineFields::Kind::Names:
            // Names count as the first line of a table only before its data,
            // and only when the first data line has as many columns.
            if (!columnsSeen_) header_ = fields_.names;
            return;
        case LineFields::Kind::Columns:
            if (!columnsSeen_) {
                columnsSeen_ = true;
                if (header_.size() != fields_.columns.size()) header_.clear();
            }
            for (std::size_t c = 0; c < fields_.columns.size(); ++c) {
                // A gap in a new column does not open a series for it.
                if (std::isnan(fields_.columns[c])) continue;
                put(ColumnSeries(c), fields_.columns[c]);
            }
            break;
        case LineFields::Kind::Named:
            for (const auto& [name, v] : fields_.named) put(NamedSeries(name), v);
            break;
    }
    if (overfull) ++overfullLines_;
    if (!any) return;
    if (!origin_) origin_ = seconds;
    // Rows are searched by time, which must not go back.
    double t = seconds - *origin_;
    if (store_.Size() > 0) t = std::max(t, store_.Time(store_.Size() - 1));
    store_.Append(t, row);
    ++generation_;
}

namespace {

// A name with a comma, quote or line end is quoted, its quotes doubled.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

}  // namespace

void WritePlotCsv(std::ostream& out, const PlotFeed& feed) {
    const PlotStore& store = feed.store();
    out << "time_s";
    for (std::size_t s = 0; s < feed.SeriesCount(); ++s) out << ',' << CsvField(feed.SeriesName(s));
    out << '\n';
    char text[40];
    for (std::size_t i = 0; i < store.Size(); ++i) {
        std::snprintf(text, sizeof text, "%.6f", store.Time(i));
        out << text;
        for (std::size_t s = 0; s < feed.SeriesCount(); ++s) {
            out << ',';
            const float v = store.Value(s, i);
            if (std::isnan(v)) continue;
            std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
            out << text;
        }
        out << '\n';
    }
}

}  // namespace quennet::plot
