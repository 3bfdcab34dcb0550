#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "lcd/LcdCapture.h"

namespace quennet {

inline constexpr std::uint32_t kLcdBlack = 0x000000;
inline constexpr std::uint32_t kLcdWhite = 0xFFFFFF;

// The picture as shown: one 0xRRGGBB colour per displayed pixel, row-major.
struct LcdRaster {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;

    std::uint32_t At(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)];
    }
};

// Draws the store at width x height pixels, each shown as a zoom x zoom
// square (zoom 1 or 2; anything else counts as 1). Lit pixels are black on
// white, or white on black when inverted. A width or height of 0 or less gives
// an empty picture; entries beyond the store are unlit.
LcdRaster RenderLcdRaster(const LcdState& state, int width, int height, int zoom, bool invert);

// The picture as a Windows bitmap file: BITMAPFILEHEADER, BITMAPINFOHEADER,
// 24 bits per pixel, rows bottom-up and padded to four bytes.
std::vector<std::uint8_t> EncodeBmp(const LcdRaster& picture);

// Writes EncodeBmp to path; false when the file cannot be written whole.
bool SaveBmpFile(const std::string& path, const LcdRaster& picture);

// The save dialog's default extension: "bmp" is added to a name typed
// without one. Other extensions are kept (the file is a bitmap anyway).
std::string WithDefaultBmpExtension(const std::string& path);

}  // namespace quennet
