#pragma once
#include <QColor>
#include <QFont>
#include <QImage>
#include <QRawFont>
#include <QString>
#include <array>
#include <unordered_map>
#include <vector>

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
// into a row's picture instead of blended glyph by glyph. A glyph whose ink
// leaves its cell is not kept (Fits() false): it is drawn over its
// neighbours as before.
class CellImages {
public:
    static constexpr std::size_t kMaxCells = 4096;
    struct Key {
        int font;
        quint32 glyph;
        QRgb pen, background;
        bool operator==(const Key&) const = default;
    };
    // Forgets every cell unless it has this size, format and baseline.
    void Use(QSize cell, int ascent, QImage::Format format);
    // The cell of this glyph in this pen on this background, or null when
    // its ink leaves the cell.
    const QImage* Of(const QRawFont& font, const Key& key);

private:
    struct Hash {
        std::size_t operator()(const Key& k) const {
            return (static_cast<std::size_t>(k.glyph) * 31 + static_cast<std::size_t>(k.font)) * 1000003u ^
                   (static_cast<std::size_t>(k.pen) * 131 + k.background);
        }
    };
    QSize cell_;
    int ascent_ = 0;
    QImage::Format format_ = QImage::Format_Invalid;
    std::unordered_map<Key, QImage, Hash> cells_;
};

}  // namespace quennet
