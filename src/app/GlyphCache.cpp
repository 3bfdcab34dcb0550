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
    recent_.fill(Recent{});
    spills_.clear();
}

void CellImages::Draw(QPainter& painter, const QRawFont& font, quint32 glyph, QPointF at) const {
    QGlyphRun run;
    run.setRawFont(font);
    run.setGlyphIndexes({glyph});
    run.setPositions({at});
    painter.drawGlyphRun(QPointF(0, 0), run);
}

// The glyph in white on black in the middle of five cells by three: any
// pixel it changes is ink, whatever the colours it is drawn in later.
unsigned CellImages::SpillOf(const std::vector<QRawFont>& fonts, int font, quint32 glyph) {
    const auto f = static_cast<std::size_t>(font);
    if (spills_.size() <= f) spills_.resize(f + 1);
    std::vector<std::uint8_t>& known = spills_[f];
    // Glyph indexes are 16 bits in every font format the toolkit reads.
    if (glyph > 0xFFFF) return kFar;
    if (known.size() <= glyph) known.resize(glyph + 1, kUnknown);
    if (known[glyph] != kUnknown) return known[glyph];
    const int w = cell_.width(), h = cell_.height();
    QImage big(5 * w, 3 * h, format_);
    big.fill(Qt::black);
    {
        QPainter painter(&big);
        painter.setPen(Qt::white);
        Draw(painter, fonts[static_cast<std::size_t>(font)], glyph, QPointF(2 * w, h + ascent_));
    }
    const QRgb blank = big.pixel(0, 0);
    unsigned spill = 0;
    for (int y = 0; y < 3 * h; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(big.constScanLine(y));
        for (int x = 0; x < 5 * w; ++x) {
            if (line[x] == blank) continue;
            if (y < h || y >= 2 * h || x < w || x >= 4 * w)
                spill |= kFar;
            else if (x < 2 * w)
                spill |= kLeft;
            else if (x >= 3 * w)
                spill |= kRight;
        }
    }
    known[glyph] = static_cast<std::uint8_t>(spill);
    return spill;
}

std::size_t CellImages::Hash::operator()(const Key& k) const {
    std::size_t h = k.background;
    for (int i = 0; i < k.inks; ++i) {
        const Ink& ink = k.ink[static_cast<std::size_t>(i)];
        h = h * 1000003u ^ (static_cast<std::size_t>(ink.glyph) << 8 ^ static_cast<std::size_t>(ink.font) << 2 ^
                            static_cast<std::size_t>(ink.column + 1));
        h = h * 131u ^ ink.pen;
    }
    return h;
}

const QImage& CellImages::Of(const std::vector<QRawFont>& fonts, const Key& key) {
    const std::size_t hash = Hash()(key);
    Recent& recent = recent_[(hash ^ hash >> 16) % kRecent];
    if (recent.image && recent.key == key) return *recent.image;
    recent = Recent{key, &Find(fonts, key)};
    return *recent.image;
}

const QImage& CellImages::Find(const std::vector<QRawFont>& fonts, const Key& key) {
    if (const auto it = cells_.find(key); it != cells_.end()) return it->second;
    if (cells_.size() >= kMaxCells) {
        cells_.clear();
        recent_.fill(Recent{});
    }
    // Three cells wide: the neighbours' glyphs stand where they stand in
    // the row, and only the middle cell is kept.
    const int w = cell_.width(), h = cell_.height();
    QImage wide(3 * w, h, format_);
    wide.fill(QColor::fromRgb(key.background));
    {
        QPainter painter(&wide);
        for (int i = 0; i < key.inks; ++i) {
            const Ink& ink = key.ink[static_cast<std::size_t>(i)];
            painter.setPen(QColor::fromRgb(ink.pen));
            Draw(painter, fonts[static_cast<std::size_t>(ink.font)], ink.glyph, QPointF((1 + ink.column) * w, ascent_));
        }
    }
    return cells_.emplace(key, wide.copy(w, 0, w, h)).first->second;
}

}  // namespace quennet
