#pragma once
#include <array>
#include <cstdint>

#include "terminal/plot/PlotLine.h"
#include "terminal/plot/PlotStore.h"

namespace quennet {

class IniFile;

namespace plot {

// The time windows offered, in seconds, shortest first.
inline constexpr int kWindowSeconds[] = {10, 30, 60, 300, 600, 1800, 3600};

// The default series colours (0xRRGGBB), distinct on a white ground.
inline constexpr std::array<std::uint32_t, kMaxSeries> kDefaultColors = {
    0x1f77b4, 0xff7f0e, 0x2ca02c, 0xd62728, 0x9467bd, 0x8c564b, 0xe377c2, 0x7f7f7f,
    0xbcbd22, 0x17becf, 0x393b79, 0x637939, 0x8c6d31, 0x843c39, 0x7b4173, 0x3182bd};

// The plot's settings, kept in the settings file's "Plot" section. The
// plot is off until the user turns it on.
struct PlotOptions {
    bool enabled = false;
    Separators separators;
    int windowSeconds = 60;  // one of kWindowSeconds
    XAxis xAxis = XAxis::Seconds;
    bool autoY = true;
    double yMin = 0;  // the fixed y range, yMin < yMax
    double yMax = 100;
    std::array<std::uint32_t, kMaxSeries> colors = kDefaultColors;

    bool operator==(const PlotOptions&) const = default;
};

// Reads the options; anything missing or out of range gives its default,
// a window that is none of the offered ones the largest it covers.
PlotOptions ReadPlotOptions(const IniFile& ini);
void WritePlotOptions(IniFile& ini, const PlotOptions& options);

}  // namespace plot
}  // namespace quennet
