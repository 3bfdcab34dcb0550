#include "app/TerminalMemo.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>
#include <algorithm>
#include <cmath>

#include "terminal/Charset.h"

namespace quennet {

namespace {

// Space between the frame and the text, as in the toolkit's text editors.
constexpr int kMargin = 4;
constexpr int kCaretWidth = 2;

// The colours of SGR 30-37 and 90-97 (and 40-47 behind the text), chosen to
// stay legible on the display's black.
constexpr QRgb kAnsiColors[16] = {
    qRgb(0, 0, 0),       qRgb(205, 49, 49),   qRgb(13, 188, 121),  qRgb(229, 229, 16),
    qRgb(36, 114, 200),  qRgb(188, 63, 188),  qRgb(17, 168, 205),  qRgb(229, 229, 229),
    qRgb(102, 102, 102), qRgb(241, 76, 76),   qRgb(35, 209, 139),  qRgb(245, 245, 67),
    qRgb(59, 142, 234),  qRgb(214, 112, 214), qRgb(41, 184, 219),  qRgb(255, 255, 255),
};
const QColor kMatchColor(120, 100, 0);

void AppendUcs4(QString& out, char32_t ch) {
    if (ch > 0xFFFF) {
        out += QChar(QChar::highSurrogate(ch));
        out += QChar(QChar::lowSurrogate(ch));
    } else {
        out += QChar(static_cast<char16_t>(ch));
    }
}

}  // namespace

TerminalMemo::TerminalMemo(QWidget* parent) : QAbstractScrollArea(parent) {
    repaintTimer_ = new QTimer(this);
    repaintTimer_->setSingleShot(true);
    connect(repaintTimer_, &QTimer::timeout, this, [this] { Refresh(); });
    barTimer_ = new QTimer(this);
    barTimer_->setSingleShot(true);
    connect(barTimer_, &QTimer::timeout, this, [this] { SyncVerticalBar(); });
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The view paints every pixel itself.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setCursor(Qt::IBeamCursor);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Text, QColor(0xC0, 0xC0, 0xC0));
    setPalette(pal);
    for (int b = 0; b < 256; ++b) {
        const char32_t ch = ByteToDisplayChar(static_cast<std::uint8_t>(b));
        chars_[static_cast<std::size_t>(b)] = ch <= 0xFFFF ? static_cast<char16_t>(ch) : u'\uFFFD';
    }
    scrollBarWidth_ = verticalScrollBar()->sizeHint().width();
    MeasureFont();
}

// The grid's pitch is the font's advance of a digit; every byte's glyph is
// looked up once, in the font itself or, for characters it lacks (control
// pictures, typographic quotes), in the font the toolkit falls back to.
void TerminalMemo::MeasureFont() {
    const QFont f = font();
    const QFontMetricsF metricsF(f);
    const QFontMetrics metrics(f);
    // Whole pixels: each glyph then sits on the same pixel phase everywhere
    // and is rendered once into the glyph cache.
    advance_ = std::max<qreal>(1.0, std::round(metricsF.horizontalAdvance(QLatin1Char('0'))));
    rowHeight_ = std::max(1, metrics.height());
    ascent_ = metrics.ascent();
    fonts_.clear();
    fonts_.push_back(QRawFont::fromFont(f));
    wideGlyphs_.clear();
    for (std::size_t b = 0; b < 256; ++b) glyphs_[b] = LookUp(chars_[b]);
}

TerminalMemo::Glyph TerminalMemo::LookUp(char32_t ch) {
    QString text;
    AppendUcs4(text, ch);
    if (text.size() == 1 && text[0].isSpace()) return {};
    const QRawFont& main = fonts_.front();
    if (main.isValid() && main.supportsCharacter(ch)) {
        const QList<quint32> index = main.glyphIndexesForString(text);
        if (!index.isEmpty() && index[0] != 0) return Glyph{0, index[0]};
    }
    QTextLayout layout(text, font());
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

const TerminalMemo::Glyph& TerminalMemo::GlyphOf(char32_t code) {
    static const Glyph kNone;
    if (code < 0x100) return glyphs_[code];
    auto it = wideGlyphs_.find(code);
    if (it != wideGlyphs_.end()) return it->second;
    // Looking a character up takes a text layout: a picture does a few,
    // and the characters left over come with the next picture, so that a
    // stream of ever new characters cannot hold the window.
    if (lookUpsLeft_ == 0) {
        glyphsPending_ = true;
        return kNone;
    }
    --lookUpsLeft_;
    if (wideGlyphs_.size() >= kMaxWideGlyphs) wideGlyphs_.clear();
    return wideGlyphs_.emplace(code, LookUp(code)).first->second;
}

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

int TerminalMemo::RowChars() const {
    const int usable = contentsRect().width() - scrollBarWidth_ - 2 * kMargin;
    return std::max(1, static_cast<int>(std::floor(std::max(0, usable) / advance_)));
}

void TerminalMemo::SyncRowWidth() {
    const std::size_t width = wrap_ == QPlainTextEdit::NoWrap ? 0 : static_cast<std::size_t>(RowChars());
    if (width != text_.RowWidth()) {
        text_.SetRowWidth(width);
        repaintAll_ = true;
        Changed();
    }
}

void TerminalMemo::setLineWrapMode(LineWrapMode mode) {
    if (mode == wrap_) return;
    wrap_ = mode;
    SyncRowWidth();
    follow_ = true;
    ScheduleRefresh();
}

// ---- the text, as the pump and the window change it ----

void TerminalMemo::Changed() {
    if (!hold_) follow_ = true;
    if (updateDepth_ == 0) ScheduleRefresh();
}

void TerminalMemo::AppendText(std::string_view bytes) {
    MarkLastRow();
    text_.AppendText(bytes);
    charsSinceRefresh_ += bytes.size();
    Changed();
}

void TerminalMemo::AppendCells(CellView cells) {
    MarkLastRow();
    text_.AppendCells(cells);
    charsSinceRefresh_ += cells.size();
    Changed();
}

void TerminalMemo::TruncateLastLine(std::size_t n) {
    text_.TruncateLastLine(n);
    MarkLastRow();
    Changed();
}

void TerminalMemo::AppendLineBreak() {
    MarkLastRow();
    text_.AppendLineBreak();
    ++breaksSinceRefresh_;
    Changed();
}

void TerminalMemo::AppendEmptyLine() { AppendLineBreak(); }

void TerminalMemo::DeleteLastChar() {
    text_.DeleteLastChar();
    MarkLastRow();
    Changed();
}

void TerminalMemo::RemoveFirstLine() {
    // Rows are those of the view as it is now (a tick has checked already).
    if (updateDepth_ == 0) SyncRowWidth();
    const std::size_t before = text_.RowCount();
    text_.RemoveFirstLine();
    // One row goes from the top and the others stay as they were; only the
    // last line's losing its text changes a row in place.
    trimmedRows_ += before - text_.RowCount();
    if (before == text_.RowCount()) repaintAll_ = true;
    Changed();
}

void TerminalMemo::BeginUpdate() {
    if (updateDepth_++ == 0) SyncRowWidth();
}

void TerminalMemo::EndUpdate() {
    if (updateDepth_ == 0) return;
    // The scroll bars and the picture follow within kRepaintMs: touching a
    // scroll bar on every tick would repaint it on every tick.
    if (--updateDepth_ == 0) ScheduleRefresh();
}

void TerminalMemo::ClearText() {
    hold_ = false;
    text_.Clear();
    repaintAll_ = true;
    anchor_ = head_ = text_.End();
    Changed();
}

void TerminalMemo::CaretToEnd() {
    hold_ = false;
    anchor_ = head_ = text_.End();
    follow_ = true;
    ScheduleRefresh();
}

// ---- scrolling and repainting ----

void TerminalMemo::ScheduleRefresh() {
    if (repaintTimer_->isActive()) return;
    // A change after a quiet spell (an echo, a prompt) shows at once; while
    // data flows, pictures follow at most every kRepaintMs.
    const qint64 pace = flooded_ ? kFloodRepaintMs : kRepaintMs;
    const qint64 since = refreshClock_.isValid() ? refreshClock_.elapsed() : pace;
    repaintTimer_->start(static_cast<int>(std::max<qint64>(0, pace - since)));
}

void TerminalMemo::Refresh() {
    if (updateDepth_ > 0) return;  // EndUpdate schedules again
    refreshClock_.start();
    // A picture whose every row is new since the last one: the line floods
    // faster than anyone reads, and the next picture may wait longer.
    const auto rows = static_cast<std::size_t>(VisibleRows());
    flooded_ = breaksSinceRefresh_ >= rows || charsSinceRefresh_ >= rows * static_cast<std::size_t>(RowChars());
    breaksSinceRefresh_ = charsSinceRefresh_ = 0;
    SyncRowWidth();
    if (follow_) atEnd_ = true;
    follow_ = false;
    UpdateHorizontalBar();
    if (atEnd_) FollowAcross();
    // The vertical bar is synced at most every kBarMs while data flows: a
    // scroll bar is dearer to paint than the rows, and the view's top row
    // does not depend on it while the view stays at the end.
    const qint64 since = barClock_.isValid() ? barClock_.elapsed() : kBarMs;
    if (!atEnd_ || since >= kBarMs)
        SyncVerticalBar();
    else if (!barTimer_->isActive())
        barTimer_->start(static_cast<int>(kBarMs - since));
    Repaint();
}

void TerminalMemo::RepaintAll() {
    repaintAll_ = true;
    viewport()->update();
}

void TerminalMemo::MarkLastRow() {
    dirtyRow_ = std::min(dirtyRow_, trimmedRows_ + text_.RowCount() - 1);
}

// A view that follows the end mostly shows the rows it showed, moved up:
// those pixels are moved, and only the rows that changed or came in are
// drawn again. Anything else (a selection, sideways scrolling, a new size
// or font) draws the whole view.
void TerminalMemo::Repaint() {
    const std::size_t top = trimmedRows_ + TopRow();
    const int left = horizontalScrollBar()->value();
    const bool reuse = !repaintAll_ && atEnd_ && !hasSelection() && top >= shown_.top && left == shown_.left &&
                       viewport()->size() == shown_.size && dirtyRow_ >= shown_.top;
    const std::size_t shift = top - shown_.top;
    const auto page = static_cast<std::size_t>(VisibleRows());
    if (reuse && shift < page) {
        if (shift > 0) {
            const int dy = static_cast<int>(shift) * rowHeight_;
            viewport()->scroll(0, -dy, QRect(0, kMargin, viewport()->width(), static_cast<int>(page) * rowHeight_));
        }
        // From the first changed row down, the partial row at the bottom included.
        const std::size_t from = std::max(top, std::min(dirtyRow_, top + page - shift));
        const int y = kMargin + static_cast<int>(from - top) * rowHeight_;
        if (y < viewport()->height()) viewport()->update(0, y, viewport()->width(), viewport()->height() - y);
    } else {
        viewport()->update();
    }
    shown_ = {top, left, viewport()->size()};
    repaintAll_ = false;
    dirtyRow_ = kNoRow;
}

int TerminalMemo::VisibleRows() const { return std::max(1, (viewport()->height() - 2 * kMargin) / rowHeight_); }

std::size_t TerminalMemo::TopRow() const {
    const std::size_t rows = text_.RowCount();
    const auto page = static_cast<std::size_t>(VisibleRows());
    const std::size_t last = rows > page ? rows - page : 0;
    if (atEnd_) return last;
    return std::min(static_cast<std::size_t>(std::max(0, verticalScrollBar()->value())), last);
}

void TerminalMemo::SyncVerticalBar() {
    barTimer_->stop();
    barClock_.start();
    QScrollBar* bar = verticalScrollBar();
    const int rows = static_cast<int>(std::min<std::size_t>(text_.RowCount(), 1u << 30));
    const int page = VisibleRows();
    const int top = static_cast<int>(TopRow());
    programScroll_ = true;
    bar->setRange(0, std::max(0, rows - page));
    bar->setPageStep(page);
    bar->setSingleStep(1);
    bar->setValue(top);
    programScroll_ = false;
}

void TerminalMemo::UpdateHorizontalBar() {
    QScrollBar* bar = horizontalScrollBar();
    programScroll_ = true;
    if (wrap_ != QPlainTextEdit::NoWrap) {
        bar->setRange(0, 0);
    } else {
        const qreal content = static_cast<qreal>(text_.LongestLine()) * advance_ + 2 * kMargin + kCaretWidth;
        bar->setRange(0, std::max(0, static_cast<int>(std::ceil(content)) - viewport()->width()));
        bar->setPageStep(std::max(1, viewport()->width()));
        bar->setSingleStep(std::max(1, static_cast<int>(std::ceil(advance_))));
    }
    programScroll_ = false;
}

// Scrolls sideways so that the caret, at the end of the text, is on screen.
void TerminalMemo::FollowAcross() {
    if (wrap_ != QPlainTextEdit::NoWrap) return;
    QScrollBar* bar = horizontalScrollBar();
    const TextRow last = text_.Row(text_.RowCount() - 1);
    const int caretX = static_cast<int>(std::ceil(static_cast<qreal>(last.length) * advance_));
    const int width = viewport()->width() - 2 * kMargin - kCaretWidth;
    programScroll_ = true;
    if (caretX < bar->value())
        bar->setValue(std::max(0, caretX - width / 2));
    else if (caretX > bar->value() + width)
        bar->setValue(caretX - width);
    programScroll_ = false;
}

bool TerminalMemo::ShowsEnd() const {
    return TopRow() + static_cast<std::size_t>(VisibleRows()) >= text_.RowCount();
}

void TerminalMemo::scrollContentsBy(int, int) {
    // The view's own moves are painted by the refresh that made them; the
    // user's scrolling at once, and scrolling up leaves the end.
    if (programScroll_) return;
    const QScrollBar* bar = verticalScrollBar();
    atEnd_ = bar->value() >= bar->maximum();
    if (atEnd_) hold_ = false;
    RepaintAll();
}

void TerminalMemo::resizeEvent(QResizeEvent* event) {
    // A view that showed the end keeps showing it.
    QAbstractScrollArea::resizeEvent(event);
    repaintAll_ = true;
    SyncRowWidth();
    SyncVerticalBar();
    Refresh();
}

void TerminalMemo::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::StyleChange) {
        scrollBarWidth_ = verticalScrollBar()->sizeHint().width();
        SyncRowWidth();
    } else if (event->type() == QEvent::FontChange) {
        MeasureFont();
        SyncRowWidth();
        follow_ = true;
        Refresh();
    } else if (event->type() == QEvent::PaletteChange) {
        RepaintAll();
    }
}

void TerminalMemo::paintEvent(QPaintEvent* event) {
    SyncRowWidth();
    lookUpsLeft_ = kLookUpsPerPicture;
    glyphsPending_ = false;
    QPainter painter(viewport());
    const QPalette& pal = palette();
    // The background goes in strips: the raster engine hands one large fill
    // to a pool of threads, whose wake-ups cost more than the fill itself.
    const QRect area = event->rect();
    const int strip = std::max(1, 16384 / std::max(1, area.width()));
    for (int y = area.top(); y <= area.bottom(); y += strip)
        painter.fillRect(QRect(area.left(), y, area.width(), std::min(strip, area.bottom() + 1 - y)), pal.color(QPalette::Base));

    const auto top = static_cast<long long>(TopRow());
    const int left = wrap_ == QPlainTextEdit::NoWrap ? horizontalScrollBar()->value() : 0;
    const int firstRow = std::max(0, (event->rect().top() - kMargin) / rowHeight_);
    const int lastRow = (event->rect().bottom() - kMargin) / rowHeight_;
    const auto firstColumn = static_cast<std::size_t>(std::max(0.0, std::floor((left - kMargin) / advance_)));
    const auto columns = static_cast<std::size_t>(std::ceil(viewport()->width() / advance_)) + 2;

    TextPos selFrom = text_.Clamp(std::min(anchor_, head_));
    TextPos selTo = text_.Clamp(std::max(anchor_, head_));
    const bool selection = selFrom != selTo;

    // Glyphs are collected per font and per pen, then drawn in one run
    // each: no text layout, no shaping, whatever arrives.
    const std::size_t runs = fonts_.size() * kPens;
    std::vector<QList<quint32>> indexes(runs);
    std::vector<QList<QPointF>> positions(runs);
    const QColor highlight = pal.color(QPalette::Highlight);
    const auto cells = [this](std::size_t from, std::size_t count, qreal x0, qreal y) {
        return QRectF(x0 + static_cast<qreal>(from) * advance_, y, static_cast<qreal>(count) * advance_, rowHeight_);
    };

    for (int r = firstRow; r <= lastRow; ++r) {
        const std::size_t rowIndex = static_cast<std::size_t>(top) + static_cast<std::size_t>(r);
        if (rowIndex >= text_.RowCount()) break;
        const TextRow row = text_.Row(rowIndex);
        const CellView line = text_.Line(row.line);
        const TextPos lineStart = text_.PosOf(row.line, 0);
        const qreal y = kMargin + r * rowHeight_;
        const qreal baseline = y + ascent_;
        const qreal x0 = kMargin - left;
        const std::size_t begin = std::min(firstColumn, row.length);
        const std::size_t end = std::min(row.length, firstColumn + columns);

        // Backgrounds that the target chose, a run of cells at a time.
        for (std::size_t c = begin; c < end;) {
            const unsigned bg = cell::Bg(line[row.start + c]);
            std::size_t e = c + 1;
            while (e < end && cell::Bg(line[row.start + e]) == bg) ++e;
            if (bg != 0) painter.fillRect(cells(c, e - c, x0, y), QColor(kAnsiColors[bg - 1]));
            c = e;
        }

        // Matches of the find bar's text that touch the visible cells.
        if (!highlight_.empty()) {
            const std::size_t m = highlight_.size();
            const std::size_t from = row.start + (begin >= m ? begin - m + 1 : 0);
            for (std::size_t at : text_.FindInLine(row.line, from, row.start + end + m - 1, highlight_, highlightCase_)) {
                const std::size_t a = std::max(at, row.start + begin), b = std::min(at + m, row.start + end);
                if (b > a) painter.fillRect(cells(a - row.start, b - a, x0, y), kMatchColor);
            }
        }

        // The selected columns of this row, as offsets into the line.
        std::size_t selBegin = 0, selEnd = 0;
        bool breakSelected = false;
        if (selection && lineStart.line >= selFrom.line && lineStart.line <= selTo.line) {
            const std::size_t base = lineStart.column;
            selBegin = lineStart.line == selFrom.line ? selFrom.column - base : 0;
            selEnd = lineStart.line == selTo.line ? selTo.column - base : line.size();
            selBegin = std::max(selBegin, row.start);
            selEnd = std::min(selEnd, row.start + row.length);
            breakSelected = lineStart.line < selTo.line && row.start + row.length == line.size();
            if (selEnd > selBegin || breakSelected) {
                const qreal from = x0 + static_cast<qreal>(selBegin - row.start) * advance_;
                const qreal count = static_cast<qreal>(selEnd > selBegin ? selEnd - selBegin : 0) + (breakSelected ? 1 : 0);
                painter.fillRect(QRectF(from, y, count * advance_, rowHeight_), highlight);
            }
        }

        for (std::size_t c = begin; c < end; ++c) {
            const std::size_t offset = row.start + c;
            const Cell cl = line[offset];
            const Glyph& g = GlyphOf(cell::Code(cl));
            if (g.font < 0) continue;
            const bool selected = offset >= selBegin && offset < selEnd;
            const std::size_t run = static_cast<std::size_t>(g.font) * kPens +
                                    static_cast<std::size_t>(selected ? kSelectedPen : PenOf(cl));
            indexes[run].push_back(g.index);
            positions[run].push_back(QPointF(x0 + static_cast<qreal>(c) * advance_, baseline));
        }
    }

    for (std::size_t run = 0; run < runs; ++run) {
        if (indexes[run].isEmpty()) continue;
        QGlyphRun glyphs;
        glyphs.setRawFont(fonts_[run / kPens]);
        glyphs.setGlyphIndexes(indexes[run]);
        glyphs.setPositions(positions[run]);
        painter.setPen(PenColor(static_cast<int>(run % kPens)));
        painter.drawGlyphRun(QPointF(0, 0), glyphs);
    }

    if (glyphsPending_) QTimer::singleShot(0, this, [this] { RepaintAll(); });

    // The caret stays at the end of the text.
    if (hasFocus()) {
        const std::size_t endRow = text_.RowCount() - 1;
        const auto r = static_cast<long long>(endRow) - top;
        if (r >= 0 && r <= lastRow) {
            const TextRow row = text_.Row(endRow);
            const qreal x = kMargin - left + static_cast<qreal>(row.length) * advance_;
            painter.fillRect(QRectF(x, kMargin + static_cast<qreal>(r) * rowHeight_, kCaretWidth, rowHeight_),
                             pal.color(QPalette::Text));
        }
    }
}

// ---- selection and copy ----

TextPos TerminalMemo::PosAt(const QPoint& point) const {
    const int rowOnScreen = (point.y() - kMargin) / rowHeight_ - (point.y() < kMargin ? 1 : 0);
    const long long wanted = static_cast<long long>(TopRow()) + rowOnScreen;
    if (wanted < 0) return text_.PosOf(0, 0);
    if (static_cast<std::size_t>(wanted) >= text_.RowCount()) return text_.End();
    const TextRow row = text_.Row(static_cast<std::size_t>(wanted));
    const int left = wrap_ == QPlainTextEdit::NoWrap ? horizontalScrollBar()->value() : 0;
    const qreal column = std::round((point.x() - kMargin + left) / advance_);
    const auto offset = static_cast<std::size_t>(std::clamp<qreal>(column, 0, static_cast<qreal>(row.length)));
    return text_.PosOf(row.line, row.start + offset);
}

QString TerminalMemo::Join(const std::vector<CellView>& slices) const {
    QString out;
    for (std::size_t i = 0; i < slices.size(); ++i) {
        if (i > 0) out += QLatin1Char('\n');
        for (Cell c : slices[i]) AppendUcs4(out, DisplayCode(c));
    }
    return out;
}

QString TerminalMemo::toPlainText() const { return Join(text_.Slices(text_.PosOf(0, 0), text_.End())); }

QString TerminalMemo::selectedText() const {
    if (!hasSelection()) return {};
    return Join(text_.Slices(anchor_, head_));
}

void TerminalMemo::selectAll() {
    anchor_ = text_.PosOf(0, 0);
    head_ = text_.End();
    RepaintAll();
}

void TerminalMemo::copy() {
    if (hasSelection()) QApplication::clipboard()->setText(selectedText());
}

void TerminalMemo::Select(TextPos from, TextPos to) {
    anchor_ = text_.Clamp(from);
    head_ = text_.Clamp(to);
    // The view stays on the match while more data comes, until the caret
    // is sent to the end again.
    hold_ = true;
    follow_ = false;
    SyncRowWidth();
    const auto page = static_cast<std::size_t>(VisibleRows());
    const std::size_t row = text_.RowOf(anchor_);
    const std::size_t rows = text_.RowCount();
    const std::size_t last = rows > page ? rows - page : 0;
    const std::size_t topRow = std::min(last, row > page / 2 ? row - page / 2 : 0);
    atEnd_ = topRow >= last;
    QScrollBar* bar = verticalScrollBar();
    programScroll_ = true;
    bar->setRange(0, static_cast<int>(std::min<std::size_t>(last, 1u << 30)));
    bar->setPageStep(static_cast<int>(page));
    bar->setValue(static_cast<int>(std::min<std::size_t>(topRow, 1u << 30)));
    if (wrap_ == QPlainTextEdit::NoWrap) {
        // Sideways, the match's start and as much of it as fits.
        UpdateHorizontalBar();
        QScrollBar* h = horizontalScrollBar();
        const TextRow r = text_.Row(row);
        const std::size_t column = anchor_.column - text_.PosOf(r.line, 0).column;
        const int x = static_cast<int>(static_cast<qreal>(column) * advance_);
        const int width = viewport()->width() - 2 * kMargin - kCaretWidth;
        if (x < h->value() || x + static_cast<int>(advance_) > h->value() + width) h->setValue(std::max(0, x - width / 2));
    }
    programScroll_ = false;
    RepaintAll();
}

TextPos TerminalMemo::SearchFrom(bool forward) const {
    if (!hasSelection()) return text_.End();
    const TextPos from = std::min(anchor_, head_), to = std::max(anchor_, head_);
    return forward ? to : from;
}

void TerminalMemo::SetHighlight(const std::u32string& pattern, bool matchCase) {
    if (pattern == highlight_ && matchCase == highlightCase_) return;
    highlight_ = pattern;
    highlightCase_ = matchCase;
    RepaintAll();
}

void TerminalMemo::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::MiddleButton && onPaste) {
        // The mouse selection where the system has one, as X terminals do.
        const QClipboard* clipboard = QApplication::clipboard();
        const bool selection = clipboard->supportsSelection() && !clipboard->text(QClipboard::Selection).isEmpty();
        onPaste(selection ? QClipboard::Selection : QClipboard::Clipboard);
        return;
    }
    if (event->button() != Qt::LeftButton) return;
    head_ = PosAt(event->position().toPoint());
    if (!(event->modifiers() & Qt::ShiftModifier)) anchor_ = head_;
    selecting_ = true;
    RepaintAll();
}

void TerminalMemo::mouseMoveEvent(QMouseEvent* event) {
    if (!selecting_ || !(event->buttons() & Qt::LeftButton)) return;
    const QPoint at = event->position().toPoint();
    // Dragging past the top or bottom edge scrolls.
    if (at.y() < 0)
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (at.y() > viewport()->height())
        verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    head_ = PosAt(at);
    RepaintAll();
}

void TerminalMemo::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    selecting_ = false;
    QClipboard* clipboard = QApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection()) clipboard->setText(selectedText(), QClipboard::Selection);
}

void TerminalMemo::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    // The word under the mouse: the run of non-blank characters.
    const TextPos at = text_.Clamp(PosAt(event->position().toPoint()));
    const TextPos lineStart = text_.Clamp(TextPos{at.line, 0});
    const CellView line = text_.Slices(lineStart, TextPos{at.line, ~std::size_t{0}}).front();
    std::size_t begin = at.column - lineStart.column, end = begin;
    while (begin > 0 && cell::Code(line[begin - 1]) != U' ') --begin;
    while (end < line.size() && cell::Code(line[end]) != U' ') ++end;
    anchor_ = TextPos{at.line, lineStart.column + begin};
    head_ = TextPos{at.line, lineStart.column + end};
    selecting_ = false;
    RepaintAll();
}

void TerminalMemo::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copyAction = menu.addAction("Copy", QKeySequence("Ctrl+Shift+C"), this, [this] { copy(); });
    copyAction->setObjectName("CopyAction");
    copyAction->setEnabled(hasSelection());
    QAction* paste = menu.addAction("Paste", QKeySequence("Ctrl+Shift+V"), this, [this] {
        if (onPaste) onPaste(QClipboard::Clipboard);
    });
    paste->setObjectName("PasteAction");
    paste->setEnabled(onPaste != nullptr);
    menu.addAction("Select All", this, [this] { selectAll(); })->setObjectName("SelectAllAction");
    menu.addSeparator();
    QAction* find = menu.addAction("Find...", QKeySequence("Ctrl+Shift+F"), this, [this] {
        if (onFind) onFind();
    });
    find->setObjectName("FindAction");
    find->setEnabled(onFind != nullptr);
    menu.exec(event->globalPos());
}

// ---- keys and focus ----

void TerminalMemo::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    const Qt::KeyboardModifiers mods = event->modifiers();
    if (onKeyDown) onKeyDown(key, mods);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35) {
        event->accept();
        return;
    }
    // Ctrl+C belongs to the target (0x03 interrupts its program, selection
    // or not); copying takes Ctrl+Shift+C, as in terminals.
    const Qt::KeyboardModifiers chord = mods & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier);
    if (chord == (Qt::ControlModifier | Qt::ShiftModifier) &&
        (key == Qt::Key_C || (key == Qt::Key_V && onPaste) || (key == Qt::Key_F && onFind))) {
        if (key == Qt::Key_C) copy();
        else if (key == Qt::Key_V) onPaste(QClipboard::Clipboard);
        else onFind();
        event->accept();
        return;
    }
    if (key == Qt::Key_Insert && chord == Qt::ShiftModifier && onPaste) {
        onPaste(QClipboard::Clipboard);
        event->accept();
        return;
    }
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !(mods & Qt::ControlModifier) && onReturn) {
        onReturn();
        event->accept();
        return;
    }
    QString text = event->text();
    if (mods & Qt::ControlModifier) {
        // Some platforms give no text for control combinations.
        if (key >= Qt::Key_A && key <= Qt::Key_Z)
            text = QString(QChar(char16_t(key - Qt::Key_A + 1)));
        else if (key == Qt::Key_At || key == Qt::Key_Space)
            text = QString(QChar(char16_t(0)));
        else if (key == Qt::Key_BracketLeft)
            text = QString(QChar(char16_t(0x1B)));
        else if (key == Qt::Key_Backslash)
            text = QString(QChar(char16_t(0x1C)));
        else if (key == Qt::Key_BracketRight)
            text = QString(QChar(char16_t(0x1D)));
    } else if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        text = QStringLiteral("\r");
    } else if (key == Qt::Key_Backspace) {
        text = QString(QChar(char16_t(0x08)));
    } else if (key == Qt::Key_Escape) {
        text = QString(QChar(char16_t(0x1B)));
    } else if (key == Qt::Key_Tab) {
        text = QStringLiteral("\t");
    }
    if (!text.isEmpty()) {
        if (onKeyPress) {
            for (char32_t ch : text.toUcs4()) onKeyPress(ch);
        }
        event->accept();
        return;
    }
    // Navigation keys scroll the view.
    QScrollBar* v = verticalScrollBar();
    QScrollBar* h = horizontalScrollBar();
    switch (key) {
        case Qt::Key_Up: v->triggerAction(QAbstractSlider::SliderSingleStepSub); break;
        case Qt::Key_Down: v->triggerAction(QAbstractSlider::SliderSingleStepAdd); break;
        case Qt::Key_PageUp: v->triggerAction(QAbstractSlider::SliderPageStepSub); break;
        case Qt::Key_PageDown: v->triggerAction(QAbstractSlider::SliderPageStepAdd); break;
        case Qt::Key_Left: h->triggerAction(QAbstractSlider::SliderSingleStepSub); break;
        case Qt::Key_Right: h->triggerAction(QAbstractSlider::SliderSingleStepAdd); break;
        case Qt::Key_Home:
            if (mods & Qt::ControlModifier) v->triggerAction(QAbstractSlider::SliderToMinimum);
            h->triggerAction(QAbstractSlider::SliderToMinimum);
            break;
        case Qt::Key_End:
            if (mods & Qt::ControlModifier) v->triggerAction(QAbstractSlider::SliderToMaximum);
            h->triggerAction(QAbstractSlider::SliderToMaximum);
            break;
        default: event->ignore(); return;
    }
    event->accept();
}

bool TerminalMemo::focusNextPrevChild(bool) {
    // Tab and Shift+Tab are keys for the target, not a way out of the view.
    return false;
}

void TerminalMemo::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    RepaintAll();
    if (onEnter) onEnter();
}

void TerminalMemo::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    RepaintAll();
}

}  // namespace quennet
