#include "app/GlyphCache.h"

#include <QGlyphRun>
#include <QTextLayout>
#include <algorithm>

#include "terminal/Charset.h"

namespace quennet {

GlyphCache::GlyphCache() {
    for (int b = 0; b < 256; ++b) {
        const char32_t ch = ByteToDisplayChar(static_cast<std::uint8_t>(b));
        chars_[static_cast<std::size_t>(b)] = ch <= 0xFFFF ? static_cast<char16_t>(ch) : u'\uFFFD';
    }
}

void GlyphCache::SetFont(const QFont& font) {
    font_ = font;
    fonts_.clear();
    fonts_.push_back(QRawFont::fromFont(font));
    wide_.clear();
    for (std::size_t b = 0; b < 256; ++b) glyphs_[b] = LookUp(chars_[b]);
}

void GlyphCache::BeginPicture() {
    lookUpsLeft_ = kLookUpsPerPicture;
    pending_ = false;
}

GlyphCache::Glyph GlyphCache::LookUp(char32_t ch) {
    QString text;
    AppendUcs4(text, ch);
    if (text.size() == 1 && text[0].isSpace()) return {};
    const QRawFont& main = fonts_.front();
    if (main.isValid() && main.supportsCharacter(ch)) {
        const QList<quint32> index = main.glyphIndexesForString(text);
        if (!index.isEmpty() && index[0] != 0) return Glyph{0, index[0]};
    }
    QTextLayout layout(text, font_);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    const QList<QGlyphRun> runs = layout.glyphRuns();
    if (runs.isEmpty() || runs[0].glyphIndexes().isEmpty()) return {};
    const QRawFont raw = runs[0].rawFont();
    auto it = std::find(fonts_.begin(), fonts_.end(), raw);
    if (it == fonts_.end()) it = fonts_.insert(fonts_.end(), raw);
    return Glyph{static_cast<int>(it - fonts_.begin()), runs[0].glyphIndexes()[0]};
}

const GlyphCache::Glyph& GlyphCache::Of(char32_t code) {
    static const Glyph kNone;
    if (code < 0x100) return glyphs_[code];
    auto it = wide_.find(code);
    if (it != wide_.end()) return it->second;
    // Looking a character up takes a text layout: a picture does a few,
    // and the characters left over come with the next picture, so that a
    // stream of ever new characters cannot hold the window.
    if (lookUpsLeft_ == 0) {
        pending_ = true;
        return kNone;
    }
    --lookUpsLeft_;
    if (wide_.size() >= kMaxWideGlyphs) wide_.clear();
    return wide_.emplace(code, LookUp(code)).first->second;
}

}  // namespace quennet
