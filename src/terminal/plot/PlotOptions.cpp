#include "terminal/plot/PlotOptions.h"

#include <cstdio>
#include <string>

#include "core/IniFile.h"

namespace quennet::plot {

namespace {

constexpr const char* kSection = "Plot";

std::string ColorKey(std::size_t s) { return "Color" + std::to_string(s + 1); }

// Colours are stored as the font colour is: 0x00BBGGRR.
long long ToStored(std::uint32_t rgb) {
    return static_cast<long long>(((rgb & 0xFF) << 16) | (rgb & 0xFF00) | ((rgb >> 16) & 0xFF));
}
std::uint32_t FromStored(long long v) {
    const auto u = static_cast<std::uint32_t>(v);
    return ((u & 0xFF) << 16) | (u & 0xFF00) | ((u >> 16) & 0xFF);
}

double ReadDouble(const IniFile& ini, const char* key, double def) {
    double v = 0;
    return ParseNumber(ini.ReadString(kSection, key, ""), v) ? v : def;
}

std::string DoubleText(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

}  // namespace

PlotOptions ReadPlotOptions(const IniFile& ini) {
    PlotOptions o;
    o.enabled = ini.ReadBool(kSection, "Enabled", false);
    o.separators.comma = ini.ReadBool(kSection, "Comma", true);
    o.separators.semicolon = ini.ReadBool(kSection, "Semicolon", true);
    o.separators.space = ini.ReadBool(kSection, "Space", true);
    o.separators.tab = ini.ReadBool(kSection, "Tab", true);
    const long long window = ini.ReadInteger(kSection, "Window", o.windowSeconds);
    o.windowSeconds = kWindowSeconds[0];
    for (const int w : kWindowSeconds)
        if (w <= window) o.windowSeconds = w;
    o.xAxis = ini.ReadInteger(kSection, "XAxis", 0) == 1 ? XAxis::Index : XAxis::Seconds;
    o.autoY = ini.ReadBool(kSection, "AutoY", true);
    const double lo = ReadDouble(ini, "YMin", o.yMin);
    const double hi = ReadDouble(ini, "YMax", o.yMax);
    if (lo < hi) {
        o.yMin = lo;
        o.yMax = hi;
    }
    for (std::size_t s = 0; s < kMaxSeries; ++s) {
        const long long stored = ini.ReadInteger(kSection, ColorKey(s), ToStored(kDefaultColors[s]));
        if (stored >= 0 && stored <= 0xFFFFFF) o.colors[s] = FromStored(stored);
    }
    return o;
}

void WritePlotOptions(IniFile& ini, const PlotOptions& o) {
    ini.WriteBool(kSection, "Enabled", o.enabled);
    ini.WriteBool(kSection, "Comma", o.separators.comma);
    ini.WriteBool(kSection, "Semicolon", o.separators.semicolon);
    ini.WriteBool(kSection, "Space", o.separators.space);
    ini.WriteBool(kSection, "Tab", o.separators.tab);
    ini.WriteInteger(kSection, "Window", o.windowSeconds);
    ini.WriteInteger(kSection, "XAxis", o.xAxis == XAxis::Index ? 1 : 0);
    ini.WriteBool(kSection, "AutoY", o.autoY);
    ini.WriteString(kSection, "YMin", DoubleText(o.yMin));
    ini.WriteString(kSection, "YMax", DoubleText(o.yMax));
    for (std::size_t s = 0; s < kMaxSeries; ++s) ini.WriteInteger(kSection, ColorKey(s), ToStored(o.colors[s]));
}

}  // namespace quennet::plot
