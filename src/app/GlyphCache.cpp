#include "app/GlyphCache.h"

#include <QGlyphRun>
#include <QPainter>
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

void CellImages::Use(QSize cell, int ascent, QImage::Format format) {
    if (cell == cell_ && ascent == ascent_ && format == format_) return;
    cell_ = cell;
    ascent_ = ascent;
    format_ = format;
    cells_.clear();
}

const QImage* CellImages::Of(const QRawFont& font, const Key& key) {
    auto it = cells_.find(key);
    if (it == cells_.end()) {
        if (cells_.size() >= kMaxCells) cells_.clear();
        // Drawn in the middle of three cells by three: ink on the margin
        // is ink that would leave the cell.
        const int w = cell_.width(), h = cell_.height();
        QImage big(3 * w, 3 * h, format_);
        const QColor background = QColor::fromRgb(key.background);
        big.fill(background);
        {
            QPainter painter(&big);
            QGlyphRun run;
            run.setRawFont(font);
            run.setGlyphIndexes({key.glyph});
            run.setPositions({QPointF(w, h + ascent_)});
            painter.setPen(QColor::fromRgb(key.pen));
            painter.drawGlyphRun(QPointF(0, 0), run);
        }
        const QRgb blank = big.pixel(0, 0);
        bool fits = true;
        for (int y = 0; y < 3 * h && fits; ++y)
            for (int x = 0; x < 3 * w; ++x) {
                if (y >= h && y < 2 * h && x == w) x = 2 * w;
                if (big.pixel(x, y) != blank) {
                    fits = false;
                    break;
                }
            }
        it = cells_.emplace(key, fits ? big.copy(w, h, w, h) : QImage()).first;
    }
    return it->second.isNull() ? nullptr : &it->second;
}

}  // namespace quennet
