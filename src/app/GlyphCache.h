#pragma once
#include <QColor>
#include <QFont>
#include <QImage>
#include <QRawFont>
#include <QString>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <vector>

class QPainter;

namespace quennet {

// A character as UTF-16: a surrogate pair beyond the basic plane.
inline void AppendUcs4(QString& out, char32_t ch) {
    if (ch > 0xFFFF) {
        out += QChar(QChar::highSurrogate(ch));
        out += QChar(QChar::lowSurrogate(ch));
    } else {
        out += QChar(static_cast<char16_t>(ch));
    }
}

// The terminal view's glyphs: for each character, which font draws it and
// with which glyph. Every byte's glyph is looked up once, in the font itself
// or, for characters it lacks (control pictures, typographic quotes), in the
// font the toolkit falls back to; characters beyond the 8-bit set are looked
// up as they come, a few per picture.
class GlyphCache {
public:
    struct Glyph {
        int font = -1;  // index into Fonts(), -1 for nothing to draw
        quint32 index = 0;
    };
    static constexpr std::size_t kMaxWideGlyphs = 65536;
    static constexpr int kLookUpsPerPicture = 200;

    GlyphCache();
    // Looks every byte's glyph up in this font; forgets all others.
    void SetFont(const QFont& font);
    // A picture begins: it may look up kLookUpsPerPicture new characters.
    void BeginPicture();
    // The glyph of a character; nothing to draw when a new character's
    // look-up has to wait for the next picture (then Pending()).
    const Glyph& Of(char32_t code);
    bool Pending() const { return pending_; }
    const std::vector<QRawFont>& Fonts() const { return fonts_; }

private:
    Glyph LookUp(char32_t ch);

    QFont font_;
    std::vector<QRawFont> fonts_;
    std::array<Glyph, 256> glyphs_{};
    std::array<char16_t, 256> chars_{};
    std::unordered_map<char32_t, Glyph> wide_;
    int lookUpsLeft_ = 0;
    bool pending_ = false;
};

// Characters already drawn on their background, one cell each, to be copied
// into a row's picture instead of blended glyph by glyph. A cell holds its
// own glyph and the ink its neighbours spill into it, drawn in the order
// the glyph runs draw them, so that a row copied from cells has the pixels
// of the same row drawn glyph by glyph.
class CellImages {
public:
    static constexpr std::size_t kMaxCells = 4096;
    // Where a glyph's ink leaves its cell: into the left or right
    // neighbour, or further (kFar: beyond the neighbours, above or below
    // the row), which no cell can hold.
    enum Spill : unsigned { kLeft = 1, kRight = 2, kFar = 4 };
    // A glyph that inks the cell: its font (index into the fonts), pen and
    // column (-1 the left neighbour, 0 the cell's own, 1 the right one).
    struct Ink {
        int font = 0;
        quint32 glyph = 0;
        QRgb pen = 0;
        int column = 0;
        bool operator==(const Ink&) const = default;
    };
    struct Key {
        QRgb background = 0;
        int inks = 0;
        std::array<Ink, 3> ink{};  // in the order they are drawn
        bool operator==(const Key&) const = default;
    };
    // Forgets every cell unless it has this size, format and baseline.
    void Use(QSize cell, int ascent, QImage::Format format);
    unsigned SpillOf(const std::vector<QRawFont>& fonts, int font, quint32 glyph);
    // The cell with these glyphs drawn on its background.
    const QImage& Of(const std::vector<QRawFont>& fonts, const Key& key);

private:
    struct Hash {
        std::size_t operator()(const Key& k) const;
    };
    void Draw(QPainter& painter, const QRawFont& font, quint32 glyph, QPointF at) const;
    const QImage& Find(const std::vector<QRawFont>& fonts, const Key& key);

    QSize cell_;
    int ascent_ = 0;
    QImage::Format format_ = QImage::Format_Invalid;
    std::unordered_map<Key, QImage, Hash> cells_;
    // The last cells asked for, by hash: most are found here without
    // the map's bucket search.
    struct Recent {
        Key key;
        const QImage* image = nullptr;
    };
    static constexpr std::size_t kRecent = 512;
    std::array<Recent, kRecent> recent_{};
    // Each font's glyphs' Spill, kUnknown until drawn once.
    static constexpr std::uint8_t kUnknown = 0xFF;
    std::vector<std::vector<std::uint8_t>> spills_;
};

}  // namespace quennet
