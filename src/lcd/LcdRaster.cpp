#include "lcd/LcdRaster.h"

#include <fstream>

namespace quennet {

LcdRaster RenderLcdRaster(const LcdState& state, int width, int height, int zoom, bool invert) {
    if (zoom != 2) zoom = 1;
    LcdRaster picture;
    if (width <= 0 || height <= 0) return picture;
    // Only sizes the store can hold are ever set, but the picture stays
    // bounded whatever it is asked for.
    if (static_cast<std::int64_t>(width) * height > kLcdPixelCount) return picture;
    picture.width = width * zoom;
    picture.height = height * zoom;
    picture.pixels.assign(static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height),
                          invert ? kLcdBlack : kLcdWhite);
    const std::uint32_t lit = invert ? kLcdWhite : kLcdBlack;
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            if (!state.PixelLit(width, r, c)) continue;
            for (int dy = 0; dy < zoom; ++dy)
                for (int dx = 0; dx < zoom; ++dx)
                    picture.pixels[static_cast<std::size_t>(r * zoom + dy) * static_cast<std::size_t>(picture.width) +
                                   static_cast<std::size_t>(c * zoom + dx)] = lit;
        }
    }
    return picture;
}

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

constexpr std::uint32_t kFileHeaderSize = 14;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kPixelsPerMetre = 2835;  // 72 dots per inch

}  // namespace

std::vector<std::uint8_t> EncodeBmp(const LcdRaster& picture) {
    const std::uint32_t w = static_cast<std::uint32_t>(picture.width > 0 ? picture.width : 0);
    const std::uint32_t h = static_cast<std::uint32_t>(picture.height > 0 ? picture.height : 0);
    const std::uint32_t stride = (w * 3 + 3) & ~3u;
    const std::uint32_t imageSize = stride * h;
    const std::uint32_t offset = kFileHeaderSize + kInfoHeaderSize;

    std::vector<std::uint8_t> out;
    out.reserve(offset + imageSize);
    out.push_back('B');
    out.push_back('M');
    Put32(out, offset + imageSize);
    Put32(out, 0);  // two reserved words
    Put32(out, offset);

    Put32(out, kInfoHeaderSize);
    Put32(out, w);
    Put32(out, h);  // positive height: the last row comes first
    Put16(out, 1);  // planes
    Put16(out, 24);
    Put32(out, 0);  // no compression
    Put32(out, imageSize);
    Put32(out, kPixelsPerMetre);
    Put32(out, kPixelsPerMetre);
    Put32(out, 0);  // no palette
    Put32(out, 0);

    for (std::uint32_t row = h; row-- > 0;) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint32_t rgb = picture.At(static_cast<int>(x), static_cast<int>(row));
            out.push_back(static_cast<std::uint8_t>(rgb & 0xFF));          // blue
            out.push_back(static_cast<std::uint8_t>((rgb >> 8) & 0xFF));   // green
            out.push_back(static_cast<std::uint8_t>((rgb >> 16) & 0xFF));  // red
        }
        for (std::uint32_t pad = w * 3; pad < stride; ++pad) out.push_back(0);
    }
    return out;
}

bool SaveBmpFile(const std::string& path, const LcdRaster& picture) {
    const std::vector<std::uint8_t> bytes = EncodeBmp(picture);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

std::string WithDefaultBmpExtension(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (nameStart >= path.size()) return path;  // no name at all
    if (path.find('.', nameStart) != std::string::npos) return path;
    return path + ".bmp";
}

}  // namespace quennet
