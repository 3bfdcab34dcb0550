#include "lcd/LcdRaster.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "TempDir.h"

namespace quennet {
namespace {

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<std::uint32_t>(b[at + 3]) << 24);
}

// Reads a 24-bit bottom-up bitmap back into a picture, independently of the
// writer's own loops.
LcdRaster ReadBmp24(const std::vector<std::uint8_t>& b) {
    LcdRaster p;
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M') return p;
    EXPECT_EQ(Le32(b, 2), b.size());
    EXPECT_EQ(b[28], 24);
    p.width = static_cast<int>(Le32(b, 18));
    p.height = static_cast<int>(Le32(b, 22));
    const std::size_t offset = Le32(b, 10);
    const std::size_t stride = (static_cast<std::size_t>(p.width) * 3 + 3) / 4 * 4;
    EXPECT_EQ(b.size(), offset + stride * static_cast<std::size_t>(p.height));
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x) {
            const std::size_t at = offset + stride * static_cast<std::size_t>(p.height - 1 - y) + static_cast<std::size_t>(x) * 3;
            p.pixels.push_back(b[at] | (b[at + 1] << 8) | (static_cast<std::uint32_t>(b[at + 2]) << 16));
        }
    return p;
}

TEST(LcdRaster, ZoomAndInvertDrawFromTheStore) {
    LcdState s;
    s.LcdPixels[0] = 1;           // (0,0)
    s.LcdPixels[5 * 3 + 4] = 1;   // (3,4) at width 5
    const LcdRaster plain = RenderLcdRaster(s, 5, 4, 1, false);
    ASSERT_EQ(plain.width, 5);
    ASSERT_EQ(plain.height, 4);
    EXPECT_EQ(plain.At(0, 0), kLcdBlack);
    EXPECT_EQ(plain.At(4, 3), kLcdBlack);
    EXPECT_EQ(plain.At(1, 0), kLcdWhite);

    const LcdRaster zoomed = RenderLcdRaster(s, 5, 4, 2, true);
    ASSERT_EQ(zoomed.width, 10);
    ASSERT_EQ(zoomed.height, 8);
    for (int x : {8, 9})
        for (int y : {6, 7}) EXPECT_EQ(zoomed.At(x, y), kLcdWhite);
    EXPECT_EQ(zoomed.At(7, 6), kLcdBlack);
    EXPECT_EQ(zoomed.At(2, 0), kLcdBlack);

    // No picture of no or negative size, none bigger than the store.
    EXPECT_EQ(RenderLcdRaster(s, 0, 10, 1, false).pixels.size(), 0u);
    EXPECT_EQ(RenderLcdRaster(s, 10, -3, 2, false).pixels.size(), 0u);
    EXPECT_EQ(RenderLcdRaster(s, 200, 100, 1, false).pixels.size(), 0u);
}

TEST(LcdRaster, BitmapFileReadsBackPixelForPixel) {
    LcdState s;
    for (int i = 0; i < kLcdPixelCount; i += 3) s.LcdPixels[static_cast<std::size_t>(i)] = 1;
    for (int zoom : {1, 2}) {
        // 13 pixels wide: rows need padding at zoom 1 (39 bytes) and 2 (78).
        const LcdRaster p = RenderLcdRaster(s, 13, 7, zoom, zoom == 2);
        testing::TempDir dir;
        const std::string path = (dir.path() / "screen.png").string();
        ASSERT_TRUE(SaveBmpFile(path, p));
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        const LcdRaster back = ReadBmp24(bytes);
        EXPECT_EQ(back.width, 13 * zoom);
        EXPECT_EQ(back.height, 7 * zoom);
        EXPECT_EQ(back.pixels, p.pixels);
    }
    EXPECT_FALSE(SaveBmpFile("/nonexistent-dir/x.bmp", RenderLcdRaster(s, 4, 4, 1, false)));
}

TEST(LcdRaster, BmpExtensionAddedOnlyToNamesWithout) {
    EXPECT_EQ(WithDefaultBmpExtension("/tmp/screen"), "/tmp/screen.bmp");
    EXPECT_EQ(WithDefaultBmpExtension("/tmp/screen.png"), "/tmp/screen.png");
    EXPECT_EQ(WithDefaultBmpExtension("/tmp/a.b/screen"), "/tmp/a.b/screen.bmp");
    EXPECT_EQ(WithDefaultBmpExtension("screen.BMP"), "screen.BMP");
}

}  // namespace
}  // namespace quennet
