#pragma once
#include <QFont>
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

}  // namespace quennet
