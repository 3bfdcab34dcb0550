// The terminal view's picture: the rows on screen drawn in steps, from the
// background up to the caret.
#include <QBackingStore>
#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/TerminalMemo.h"

namespace quennet {

namespace {

// The colours of SGR 30-37 and 90-97 (and 40-47 behind the text), chosen to
// stay legible on the display's black.
constexpr QRgb kAnsiColors[16] = {
    qRgb(0, 0, 0),       qRgb(205, 49, 49),   qRgb(13, 188, 121),  qRgb(229, 229, 16),
    qRgb(36, 114, 200),  qRgb(188, 63, 188),  qRgb(17, 168, 205),  qRgb(229, 229, 229),
    qRgb(102, 102, 102), qRgb(241, 76, 76),   qRgb(35, 209, 139),  qRgb(245, 245, 67),
    qRgb(59, 142, 234),  qRgb(214, 112, 214), qRgb(41, 184, 219),  qRgb(255, 255, 255),
};
const QColor kMatchColor(120, 100, 0);

}  // namespace

// What one picture draws, and the row it is at.
struct TerminalMemo::Picture {
    long long top = 0;  // the text's row at the view's top
    int left = 0;       // pixels scrolled sideways
    int firstRow = 0, lastRow = 0;  // the rows on screen to draw
    std::size_t firstColumn = 0, columns = 0;
    TextPos selFrom, selTo;
    bool selection = false;
    // Glyphs are collected per font and per pen, then drawn in one run
    // each: no text layout, no shaping, whatever arrives.
    std::vector<QList<quint32>> indexes;
    std::vector<QList<QPointF>> positions;
    // The row being drawn: its line, the cells on screen, the selected ones.
    CellView line;
    TextPos lineStart;
    std::size_t begin = 0, end = 0;
    qreal x0 = 0;
    std::size_t selBegin = 0, selEnd = 0;
    // Rows drawn from cells (ComposeRow): the format of the picture's
    // pixels, Format_Invalid when rows are drawn glyph by glyph.
    QImage::Format cells = QImage::Format_Invalid;
    QRgb pens[kPens] = {};
    QRgb base = 0;

    QRectF Cells(qreal advance, int height, std::size_t from, std::size_t count, qreal y) const {
        return QRectF(x0 + static_cast<qreal>(from) * advance, y, static_cast<qreal>(count) * advance, height);
    }
};

int TerminalMemo::PenOf(Cell c) {
    const unsigned fg = cell::Fg(c);
    const bool bold = (c & cell::kBold) != 0;
    if (fg == 0) return bold ? kBoldPen : 0;
    // Bold takes the bright form of the eight colours, as terminals do.
    if (bold && fg <= 8) return static_cast<int>(fg + 8);
    return static_cast<int>(std::min<unsigned>(fg, kDimPen));
}

QColor TerminalMemo::PenColor(int pen) const {
    const QPalette& pal = palette();
    const QColor text = pal.color(QPalette::Text);
    switch (pen) {
        case 0: return text;
        case kDimPen: {
            const QColor base = pal.color(QPalette::Base);
            return QColor((text.red() + base.red()) / 2, (text.green() + base.green()) / 2,
                          (text.blue() + base.blue()) / 2);
        }
        case kBoldPen: return text.lighter(140);
        case kSelectedPen: return pal.color(QPalette::HighlightedText);
        default: return QColor(kAnsiColors[pen - 1]);
    }
}

void TerminalMemo::paintEvent(QPaintEvent* event) {
    SyncRowWidth();
    glyphs_.BeginPicture();
    QPainter painter(viewport());
    const QRect area = event->rect();

    Picture p;
    p.top = static_cast<long long>(TopRow());
    p.left = wrap_ == QPlainTextEdit::NoWrap ? horizontalScrollBar()->value() : 0;
    p.firstRow = std::max(0, (area.top() - kMargin) / rowHeight_);
    p.lastRow = (area.bottom() - kMargin) / rowHeight_;
    p.firstColumn = static_cast<std::size_t>(std::max(0.0, std::floor((p.left - kMargin) / advance_)));
    p.columns = static_cast<std::size_t>(std::ceil(viewport()->width() / advance_)) + 2;
    p.selFrom = text_.Clamp(std::min(anchor_, head_));
    p.selTo = text_.Clamp(std::max(anchor_, head_));
    p.selection = p.selFrom != p.selTo;
    p.indexes.resize(glyphs_.Fonts().size() * kPens);
    p.positions.resize(p.indexes.size());
    p.x0 = kMargin - p.left;
    const bool onScreen = BeginComposing(painter, p);
    if (p.cells == QImage::Format_Invalid) PaintBackground(painter, area);
    // With rows composed from cells, the background goes only where no
    // row's picture does: above this, it is drawn.
    int filled = area.top();

    for (int r = p.firstRow; r <= p.lastRow; ++r) {
        const std::size_t rowIndex = static_cast<std::size_t>(p.top) + static_cast<std::size_t>(r);
        if (rowIndex >= text_.RowCount()) break;
        const TextRow row = text_.Row(rowIndex);
        p.line = text_.Line(row.line);
        p.lineStart = text_.PosOf(row.line, 0);
        p.begin = std::min(p.firstColumn, row.length);
        p.end = std::min(row.length, p.firstColumn + p.columns);
        const qreal y = kMargin + r * rowHeight_;
        if (p.cells != QImage::Format_Invalid) {
            const int top = std::max(filled, static_cast<int>(y));
            if (top > filled) PaintBackground(painter, QRect(area.left(), filled, area.width(), top - filled));
            const int bottom = std::min(area.bottom() + 1, static_cast<int>(y) + rowHeight_);
            RowPicture fresh;
            RowPicture* composed = &fresh;
            if (onScreen) {
                auto [it, isNew] = rowPictures_.try_emplace(trimmedRows_ + rowIndex);
                composed = &it->second;
                if (isNew || (p.end > p.begin && (p.begin < composed->first || p.end > composed->last)))
                    ComposeRow(p, row, *composed);
            } else {
                ComposeRow(p, row, fresh);
            }
            // The columns in view, and the one on each side whose ink may
            // reach into them.
            const int w = static_cast<int>(advance_);
            const long long cells = composed->image.width() / w;
            const long long a = std::max(composed->from, static_cast<long long>(p.begin) - 1);
            const long long b = std::min(composed->from + cells, static_cast<long long>(p.end) + 1);
            const int from = static_cast<int>(p.x0) + static_cast<int>(a) * w;
            const int to = from + static_cast<int>(std::max(0LL, b - a)) * w;
            if (to > from)
                painter.drawImage(QPoint(from, static_cast<int>(y)), composed->image,
                                  QRect(static_cast<int>(a - composed->from) * w, 0, to - from, rowHeight_));
            if (p.indexes.size() < glyphs_.Fonts().size() * kPens) {
                p.indexes.resize(glyphs_.Fonts().size() * kPens);
                p.positions.resize(p.indexes.size());
            }
            for (const RowPicture::Over& over : composed->over) {
                const auto column = static_cast<std::size_t>(over.column);
                if (column + 1 < p.begin || column >= p.end) continue;
                p.indexes[over.run].push_back(over.glyph);
                p.positions[over.run].push_back(QPointF(p.x0 + over.column * advance_, y + ascent_));
            }
            if (bottom > top) {
                const int left = to > from ? std::clamp(from, area.left(), area.right() + 1) : area.right() + 1;
                const int right = to > from ? std::clamp(to, left, area.right() + 1) : left;
                if (left > area.left()) PaintBackground(painter, QRect(area.left(), top, left - area.left(), bottom - top));
                if (right <= area.right()) PaintBackground(painter, QRect(right, top, area.right() + 1 - right, bottom - top));
            }
            filled = std::max(filled, bottom);
            continue;
        }
        PaintRowBackgrounds(painter, p, row, y);
        PaintMatches(painter, p, row, y);
        PaintSelection(painter, p, row, y);
        CollectGlyphs(p, row, y);
    }
    if (p.cells != QImage::Format_Invalid && filled <= area.bottom())
        PaintBackground(painter, QRect(area.left(), filled, area.width(), area.bottom() + 1 - filled));
    DrawGlyphs(painter, p);
    if (glyphs_.Pending()) {
        RepaintAll();  // the characters left over, next frame
        rowPictures_.clear();
    }
    PaintCaret(painter, p);
}

// Rows are composed from cells drawn once (CellImages) where the picture's
// pixels are the view's own: an image of 32-bit pixels, moved by whole
// pixels and not scaled, nothing selected or marked. Elsewhere glyphs are
// blended one by one. On screen, each row's picture is kept while the row
// stays in view, so that a view that moves up copies the rows it showed
// instead of asking the display to move its pixels and then copy them again.
// Returns whether the picture goes to the screen.
bool TerminalMemo::BeginComposing(QPainter& painter, Picture& p) {
    const QPaintEngine* engine = painter.paintEngine();
    const QPaintDevice* device = engine ? engine->paintDevice() : nullptr;
    composedRows_ = lastComposed_ = false;
    if (!composeRows_ || !highlight_.empty() || p.selection || !device || device->devType() != QInternal::Image) {
        rowPictures_.clear();
        return false;
    }
    const auto* image = static_cast<const QImage*>(device);
    const QTransform t = painter.deviceTransform();
    const bool whole = t.type() <= QTransform::TxTranslate && t.dx() == std::floor(t.dx()) && t.dy() == std::floor(t.dy());
    const QImage::Format format = image->format();
    if (!whole || image->devicePixelRatio() != 1.0 || advance_ != std::floor(advance_) ||
        (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32_Premultiplied)) {
        rowPictures_.clear();
        return false;
    }
    p.cells = format;
    lastComposed_ = true;
    cellImages_.Use(QSize(static_cast<int>(advance_), rowHeight_), ascent_, p.cells);
    for (int pen = 0; pen < kPens; ++pen) p.pens[pen] = PenColor(pen).rgb();
    p.base = palette().color(QPalette::Base).rgb();

    // A grab or a print composes afresh and keeps nothing.
    QBackingStore* store = viewport()->backingStore();
    if (!store || store->paintDevice() != device) return false;
    composedRows_ = true;
    RowsLook look{format, QSize(static_cast<int>(advance_), rowHeight_), ascent_, p.base, {}};
    std::copy(std::begin(p.pens), std::end(p.pens), look.pens.begin());
    if (repaintAll_ || !(look == rowsLook_)) rowPictures_.clear();
    rowsLook_ = look;
    DropRowPictures(dirtyRow_);
    // Rows that left the view are forgotten.
    const std::size_t top = trimmedRows_ + static_cast<std::size_t>(p.top);
    const std::size_t end = top + static_cast<std::size_t>(VisibleRows()) + 1;
    std::erase_if(rowPictures_, [&](const auto& entry) { return entry.first < top || entry.first >= end; });
    return true;
}

void TerminalMemo::DropRowPictures(std::size_t from) {
    if (from == kNoRow) return;
    std::erase_if(rowPictures_, [from](const auto& entry) { return entry.first >= from; });
}

namespace {

// A cell's lines into the row's picture; cells of the usual widths get a
// copy of fixed length, which the compiler does in a few moves.
template <int W>
void CopyCell(uchar* to, qsizetype toStride, const uchar* from, qsizetype fromStride, int lines) {
    for (int line = 0; line < lines; ++line, to += toStride, from += fromStride) std::memcpy(to, from, W * 4);
}

void CopyCell(int w, uchar* to, qsizetype toStride, const uchar* from, qsizetype fromStride, int lines) {
    switch (w) {
        case 6: return CopyCell<6>(to, toStride, from, fromStride, lines);
        case 7: return CopyCell<7>(to, toStride, from, fromStride, lines);
        case 8: return CopyCell<8>(to, toStride, from, fromStride, lines);
        case 9: return CopyCell<9>(to, toStride, from, fromStride, lines);
        case 10: return CopyCell<10>(to, toStride, from, fromStride, lines);
        case 11: return CopyCell<11>(to, toStride, from, fromStride, lines);
        case 12: return CopyCell<12>(to, toStride, from, fromStride, lines);
        case 13: return CopyCell<13>(to, toStride, from, fromStride, lines);
        default:
            for (int line = 0; line < lines; ++line, to += toStride, from += fromStride)
                std::memcpy(to, from, static_cast<std::size_t>(w) * 4);
    }
}

}  // namespace

// One row, nothing selected or marked: each cell is copied from its picture
// in CellImages, which holds its glyph and what its neighbours' glyphs spill
// into it, drawn in the order of the glyph runs (by font and pen, then from
// left to right). A glyph whose ink reaches further is drawn over the row
// with the glyph runs, as before.
void TerminalMemo::ComposeRow(const Picture& p, const TextRow& row, RowPicture& out) {
    out.over.clear();
    // The whole row where it is short, so that it serves wherever the view
    // stands sideways; around the view where it is long.
    std::size_t first = 0, last = row.length;
    if (row.length > kWholeRowColumns) {
        first = p.begin > kRowMarginColumns ? p.begin - kRowMarginColumns : 0;
        last = std::min(row.length, p.end + kRowMarginColumns);
    }
    out.first = first;
    out.last = last;
    if (last <= first) {
        out.image = QImage();
        return;
    }
    // At the row's ends, one cell of background more for the ink that
    // spills out of its first or last glyph.
    const std::size_t before = first == 0 ? 1 : 0, after = last == row.length ? 1 : 0;
    out.from = static_cast<long long>(first) - static_cast<long long>(before);
    const std::size_t n = last - first + before + after;
    const int w = static_cast<int>(advance_), h = rowHeight_;
    const int width = static_cast<int>(n) * w;
    // Opaque pixels in a format without alpha: the row is copied into the
    // view line by line rather than blended pixel by pixel.
    if (out.image.width() != width || out.image.height() != h) out.image = QImage(width, h, QImage::Format_RGB32);
    uchar* bits = out.image.bits();
    const qsizetype stride = out.image.bytesPerLine();
    const std::vector<QRawFont>& fonts = glyphs_.Fonts();

    // Each column's glyph, run and spill, one more on each side.
    columns_.assign(n + 2, CellColumn{});
    for (std::size_t c = before; c < n - after; ++c) {
        const Cell cl = p.line[row.start + first + c - before];
        const GlyphCache::Glyph& g = glyphs_.Of(cell::Code(cl));
        if (g.font < 0) continue;
        CellColumn& col = columns_[c + 1];
        col.font = g.font;
        col.glyph = g.index;
        col.pen = PenOf(cl);
        col.spill = cellImages_.SpillOf(fonts, g.font, g.index);
        col.run = static_cast<std::size_t>(g.font) * kPens + static_cast<std::size_t>(col.pen);
        if (col.spill & CellImages::kFar)
            out.over.push_back({col.run, g.index, static_cast<qreal>(out.from + static_cast<long long>(c))});
    }
    for (std::size_t c = 0; c < n; ++c) {
        const bool text = c >= before && c < n - after;
        const unsigned bg = text ? cell::Bg(p.line[row.start + first + c - before]) : 0;
        CellImages::Key key;
        key.background = bg != 0 ? kAnsiColors[bg - 1] : p.base;
        // The glyphs that ink this cell, in the order the runs draw them.
        const CellColumn* inks[3];
        int columnOf[3];
        int count = 0;
        const CellColumn& left = columns_[c];
        const CellColumn& self = columns_[c + 1];
        const CellColumn& right = columns_[c + 2];
        if (left.font >= 0 && (left.spill & (CellImages::kRight | CellImages::kFar)) == CellImages::kRight) {
            inks[count] = &left;
            columnOf[count++] = -1;
        }
        if (self.font >= 0 && !(self.spill & CellImages::kFar)) {
            inks[count] = &self;
            columnOf[count++] = 0;
        }
        if (right.font >= 0 && (right.spill & (CellImages::kLeft | CellImages::kFar)) == CellImages::kLeft) {
            inks[count] = &right;
            columnOf[count++] = 1;
        }
        uchar* at = bits + static_cast<qsizetype>(c) * w * 4;
        if (count == 0) {
            for (int line = 0; line < h; ++line, at += stride)
                std::fill_n(reinterpret_cast<quint32*>(at), w, 0xFF000000u | key.background);
            continue;
        }
        // Stable by run: within one run, glyphs go from left to right.
        for (int i = 1; i < count; ++i)
            for (int k = i; k > 0 && inks[k]->run < inks[k - 1]->run; --k) {
                std::swap(inks[k], inks[k - 1]);
                std::swap(columnOf[k], columnOf[k - 1]);
            }
        key.inks = count;
        for (int i = 0; i < count; ++i)
            key.ink[static_cast<std::size_t>(i)] = CellImages::Ink{inks[i]->font, inks[i]->glyph, p.pens[inks[i]->pen], columnOf[i]};
        const QImage& image = cellImages_.Of(fonts, key);
        CopyCell(w, at, stride, image.constBits(), image.bytesPerLine(), h);
    }
}

// The background goes in strips: the raster engine hands one large fill to
// a pool of threads, whose wake-ups cost more than the fill itself.
void TerminalMemo::PaintBackground(QPainter& painter, const QRect& area) const {
    const int strip = std::max(1, 16384 / std::max(1, area.width()));
    const QColor base = palette().color(QPalette::Base);
    for (int y = area.top(); y <= area.bottom(); y += strip)
        painter.fillRect(QRect(area.left(), y, area.width(), std::min(strip, area.bottom() + 1 - y)), base);
}

// Backgrounds that the target chose, a run of cells at a time.
void TerminalMemo::PaintRowBackgrounds(QPainter& painter, const Picture& p, const TextRow& row, qreal y) const {
    for (std::size_t c = p.begin; c < p.end;) {
        const unsigned bg = cell::Bg(p.line[row.start + c]);
        std::size_t e = c + 1;
        while (e < p.end && cell::Bg(p.line[row.start + e]) == bg) ++e;
        if (bg != 0) painter.fillRect(p.Cells(advance_, rowHeight_, c, e - c, y), QColor(kAnsiColors[bg - 1]));
        c = e;
    }
}

// Matches of the find bar's text that touch the visible cells.
void TerminalMemo::PaintMatches(QPainter& painter, const Picture& p, const TextRow& row, qreal y) const {
    if (highlight_.empty()) return;
    const std::size_t m = highlight_.size();
    const std::size_t from = row.start + (p.begin >= m ? p.begin - m + 1 : 0);
    for (std::size_t at : text_.FindInLine(row.line, from, row.start + p.end + m - 1, highlight_, highlightCase_)) {
        const std::size_t a = std::max(at, row.start + p.begin), b = std::min(at + m, row.start + p.end);
        if (b > a) painter.fillRect(p.Cells(advance_, rowHeight_, a - row.start, b - a, y), kMatchColor);
    }
}

// The selected columns of this row, as offsets into the line, and their
// background.
void TerminalMemo::PaintSelection(QPainter& painter, Picture& p, const TextRow& row, qreal y) const {
    p.selBegin = p.selEnd = 0;
    if (!p.selection || p.lineStart.line < p.selFrom.line || p.lineStart.line > p.selTo.line) return;
    const std::size_t base = p.lineStart.column;
    p.selBegin = p.lineStart.line == p.selFrom.line ? p.selFrom.column - base : 0;
    p.selEnd = p.lineStart.line == p.selTo.line ? p.selTo.column - base : p.line.size();
    p.selBegin = std::max(p.selBegin, row.start);
    p.selEnd = std::min(p.selEnd, row.start + row.length);
    const bool breakSelected = p.lineStart.line < p.selTo.line && row.start + row.length == p.line.size();
    if (p.selEnd > p.selBegin || breakSelected) {
        const qreal from = p.x0 + static_cast<qreal>(p.selBegin - row.start) * advance_;
        const qreal count = static_cast<qreal>(p.selEnd > p.selBegin ? p.selEnd - p.selBegin : 0) + (breakSelected ? 1 : 0);
        painter.fillRect(QRectF(from, y, count * advance_, rowHeight_), palette().color(QPalette::Highlight));
    }
}

void TerminalMemo::CollectGlyphs(Picture& p, const TextRow& row, qreal y) {
    const qreal baseline = y + ascent_;
    // From the column left of the first in view: its ink may reach into it.
    for (std::size_t c = p.begin > 0 ? p.begin - 1 : 0; c < p.end; ++c) {
        const std::size_t offset = row.start + c;
        const Cell cl = p.line[offset];
        const GlyphCache::Glyph& g = glyphs_.Of(cell::Code(cl));
        if (g.font < 0) continue;
        const bool selected = offset >= p.selBegin && offset < p.selEnd;
        const std::size_t run = static_cast<std::size_t>(g.font) * kPens +
                                static_cast<std::size_t>(selected ? kSelectedPen : PenOf(cl));
        // A look-up may have added a fallback font.
        if (run >= p.indexes.size()) {
            p.indexes.resize(glyphs_.Fonts().size() * kPens);
            p.positions.resize(p.indexes.size());
        }
        p.indexes[run].push_back(g.index);
        p.positions[run].push_back(QPointF(p.x0 + static_cast<qreal>(c) * advance_, baseline));
    }
}

void TerminalMemo::DrawGlyphs(QPainter& painter, const Picture& p) const {
    for (std::size_t run = 0; run < p.indexes.size(); ++run) {
        if (p.indexes[run].isEmpty()) continue;
        QGlyphRun glyphs;
        glyphs.setRawFont(glyphs_.Fonts()[run / kPens]);
        glyphs.setGlyphIndexes(p.indexes[run]);
        glyphs.setPositions(p.positions[run]);
        painter.setPen(PenColor(static_cast<int>(run % kPens)));
        painter.drawGlyphRun(QPointF(0, 0), glyphs);
    }
}

// The caret stays at the end of the text.
void TerminalMemo::PaintCaret(QPainter& painter, const Picture& p) const {
    if (!hasFocus()) return;
    const std::size_t endRow = text_.RowCount() - 1;
    const auto r = static_cast<long long>(endRow) - p.top;
    if (r < 0 || r > p.lastRow) return;
    const TextRow row = text_.Row(endRow);
    const qreal x = kMargin - p.left + static_cast<qreal>(row.length) * advance_;
    painter.fillRect(QRectF(x, kMargin + static_cast<qreal>(r) * rowHeight_, kCaretWidth, rowHeight_),
                     palette().color(QPalette::Text));
}

}  // namespace quennet
