#include "app/TerminalMemo.h"

#include <QApplication>
#include <QClipboard>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <algorithm>
#include <cmath>
#include <vector>

#include "terminal/Charset.h"

namespace quennet {

namespace {

// A scroll bar that keeps its last few pictures. A view that follows the
// caret sideways through lines wider than itself moves its bar back and
// forth between a few places many times a second, and each paint of
// Fusion's bar costs more than the rows it sits under (its long edges go to
// the raster engine as one span a pixel, handed to a thread pool). While
// the mouse is over the bar or a button is held, it paints as usual.
class KeptScrollBar : public QScrollBar {
public:
    explicit KeptScrollBar(Qt::Orientation orientation) : QScrollBar(orientation) {}

protected:
    void paintEvent(QPaintEvent* event) override {
        if (underMouse() || isSliderDown() || QApplication::mouseButtons() != Qt::NoButton) {
            QScrollBar::paintEvent(event);
            return;
        }
        // What the bar's own paint draws when nothing points at it.
        QStyleOptionSlider option;
        initStyleOption(&option);
        option.subControls = QStyle::SC_All;
        option.activeSubControls = QStyle::SC_None;
        const Look look{option.rect.size(), option.sliderPosition, option.minimum, option.maximum, option.pageStep,
                        static_cast<int>(option.state), palette().cacheKey(), devicePixelRatio()};
        const auto kept = std::find_if(pictures_.begin(), pictures_.end(), [&](const Picture& p) { return p.look == look; });
        if (kept == pictures_.end()) {
            QImage image(size() * look.ratio, QImage::Format_ARGB32_Premultiplied);
            image.setDevicePixelRatio(look.ratio);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            style()->drawComplexControl(QStyle::CC_ScrollBar, &option, &painter, this);
            painter.end();
            if (pictures_.size() == kPictures) pictures_.pop_back();
            pictures_.insert(pictures_.begin(), Picture{look, std::move(image)});
        } else if (kept != pictures_.begin()) {
            std::rotate(pictures_.begin(), kept, kept + 1);
        }
        QPainter painter(this);
        painter.drawImage(QPoint(0, 0), pictures_.front().image);
    }

private:
    // All the bar's picture depends on when nothing points at it.
    struct Look {
        QSize size;
        int position, minimum, maximum, page, state;
        qint64 palette;
        qreal ratio;
        bool operator==(const Look&) const = default;
    };
    struct Picture {
        Look look;
        QImage image;
    };
    static constexpr std::size_t kPictures = 4;
    std::vector<Picture> pictures_;
};

}  // namespace

TerminalMemo::TerminalMemo(QWidget* parent) : QAbstractScrollArea(parent) {
    repaintTimer_ = new QTimer(this);
    repaintTimer_->setSingleShot(true);
    connect(repaintTimer_, &QTimer::timeout, this, [this] { OnFrame(); });
    barTimer_ = new QTimer(this);
    barTimer_->setSingleShot(true);
    connect(barTimer_, &QTimer::timeout, this, [this] {
        // A picture on its way syncs the bar with it: one push to the screen.
        if (refreshDue_ && repaintTimer_->isActive())
            barDue_ = true;
        else
            SyncVerticalBar();
    });
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    // The view paints every pixel itself. So do Fusion's scroll bars, which
    // fill their whole groove: a bar that moves then repaints alone, not
    // with the tab page and the window behind it (whose frames the raster
    // engine hands to its thread pool, a dozen wake-ups a picture).
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    setHorizontalScrollBar(new KeptScrollBar(Qt::Horizontal));
    if (style()->name() == "fusion") {
        for (QScrollBar* bar : {verticalScrollBar(), horizontalScrollBar()}) {
            bar->setAttribute(Qt::WA_OpaquePaintEvent);
            bar->parentWidget()->setAttribute(Qt::WA_OpaquePaintEvent);  // the bar's container, which it fills
        }
    }
    viewport()->setCursor(Qt::IBeamCursor);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Text, QColor(0xC0, 0xC0, 0xC0));
    setPalette(pal);
    scrollBarWidth_ = verticalScrollBar()->sizeHint().width();
    MeasureFont();
}

// The grid's pitch is the font's advance of a digit.
void TerminalMemo::MeasureFont() {
    const QFont f = font();
    const QFontMetricsF metricsF(f);
    const QFontMetrics metrics(f);
    // Whole pixels: each glyph then sits on the same pixel phase everywhere
    // and is rendered once into the glyph cache.
    advance_ = std::max<qreal>(1.0, std::round(metricsF.horizontalAdvance(QLatin1Char('0'))));
    rowHeight_ = std::max(1, metrics.height());
    ascent_ = metrics.ascent();
    glyphs_.SetFont(f);
    cellImages_ = CellImages();
    rowPictures_.clear();
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
    if (--updateDepth_ == 0) ScheduleRefresh(true);
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

void TerminalMemo::ScheduleRefresh(bool batchEnd) {
    refreshDue_ = true;
    // A change after a quiet spell (an echo, a prompt) shows with the next
    // frame; while data flows, pictures follow at the pace.
    const qint64 pace = Pace();
    const qint64 since = refreshClock_.isValid() ? refreshClock_.elapsed() : pace;
    qint64 wait = pace - since;
    if (batchEnd) {
        const qint64 sinceFrame = frameClock_.isValid() ? frameClock_.elapsed() : kFrameMs;
        if (wait <= kEarlyMs && sinceFrame >= kFrameMs && !Hidden()) {
            repaintTimer_->stop();
            Refresh();
            return;
        }
        wait += kEarlyMs;
    }
    SchedulePicture(wait);
}

qint64 TerminalMemo::Pace() const {
    if (flooded_) return kFloodRepaintMs;
    const double busy =
        std::clamp((rowsPerSecond_ - kCalmRowsPerSecond) / (kBusyRowsPerSecond - kCalmRowsPerSecond), 0.0, 1.0);
    return kRepaintMs + std::llround(busy * (kFloodRepaintMs - kRepaintMs));
}

bool TerminalMemo::Hidden() const { return !isVisible() || window()->isMinimized(); }

// Pictures come at most once a frame, and none while the view is hidden:
// what changed meanwhile is drawn when it shows again.
void TerminalMemo::SchedulePicture(qint64 delayMs) {
    if (Hidden()) return;
    const qint64 sinceFrame = frameClock_.isValid() ? frameClock_.elapsed() : kFrameMs;
    const auto delay = static_cast<int>(std::max<qint64>({0, delayMs, kFrameMs - sinceFrame}));
    if (repaintTimer_->isActive() && repaintTimer_->remainingTime() <= delay) return;
    repaintTimer_->start(delay);
}

void TerminalMemo::OnFrame() {
    if (refreshDue_)
        Refresh();
    else if (repaintAll_)
        Repaint();
}

void TerminalMemo::StopPictures() {
    repaintTimer_->stop();
    if (barTimer_->isActive()) {
        barTimer_->stop();
        refreshDue_ = true;  // the bar follows with the next picture
    }
}

void TerminalMemo::showEvent(QShowEvent* event) {
    QAbstractScrollArea::showEvent(event);
    // The frame's minimising hides the view without a hide event.
    window()->installEventFilter(this);
    if (refreshDue_ || repaintAll_) SchedulePicture(0);
}

void TerminalMemo::hideEvent(QHideEvent* event) {
    QAbstractScrollArea::hideEvent(event);
    StopPictures();
}

bool TerminalMemo::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window() && event->type() == QEvent::WindowStateChange) {
        if (Hidden())
            StopPictures();
        else if (refreshDue_ || repaintAll_)
            SchedulePicture(0);
    }
    return QAbstractScrollArea::eventFilter(watched, event);
}

void TerminalMemo::Refresh() {
    if (updateDepth_ > 0) return;  // EndUpdate schedules again
    if (Hidden()) {
        refreshDue_ = true;  // when it shows again
        return;
    }
    refreshDue_ = false;
    const qint64 sinceLast = refreshClock_.isValid() ? refreshClock_.elapsed() : 1000;
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
    if (!atEnd_ || barDue_ || (since >= kBarMs && (Pace() == kRepaintMs || BarMovesVisibly())))
        SyncVerticalBar();
    else if (!barTimer_->isActive())
        barTimer_->start(static_cast<int>(since >= kBarMs ? kBarQuietMs : kBarMs - since));
    const std::size_t topBefore = shown_.top;
    Repaint();
    // The rows the view moved by a second, over the last few pictures.
    const double moved = shown_.top > topBefore ? static_cast<double>(shown_.top - topBefore) : 0.0;
    const double rate = moved * 1000.0 / static_cast<double>(std::max<qint64>(sinceLast, kRepaintMs));
    rowsPerSecond_ = 0.6 * rowsPerSecond_ + 0.4 * rate;
}

void TerminalMemo::RepaintAll() {
    repaintAll_ = true;
    SchedulePicture(0);
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
    const std::size_t end = trimmedRows_ + std::min(text_.RowCount(), TopRow() + page + 1);
    const std::size_t columns = WidestRow(top - trimmedRows_, end - trimmedRows_);
    if (reuse && shift < page) {
        // Right of the widest row, in this picture and the last, there is
        // only background: the pixels there neither move nor change.
        const double inked = kMargin - left + static_cast<double>(std::max(columns, shown_.columns)) * advance_;
        const int width = std::clamp(static_cast<int>(std::ceil(inked)) + kCaretWidth + 1, 0, viewport()->width());
        // Rows composed from cells are kept: they are copied to their new
        // place, and the display copies the picture once. Otherwise the
        // display moves the pixels it has.
        if (shift > 0 && width > 0 && composedRows_)
            viewport()->update(0, kMargin, width, static_cast<int>(page) * rowHeight_);
        else if (shift > 0 && width > 0)
            viewport()->scroll(0, -static_cast<int>(shift) * rowHeight_, QRect(0, kMargin, width, static_cast<int>(page) * rowHeight_));
        // The rows from the first changed one to the last with text, now or
        // in the last picture: only they go to the screen.
        const std::size_t from = std::max(top, std::min(dirtyRow_, top + page - shift));
        const std::size_t to = std::max(end, shown_.end);
        const int y = kMargin + static_cast<int>(from - top) * rowHeight_;
        const int bottom = std::min(viewport()->height(), kMargin + static_cast<int>(std::min(to - top, page + 1)) * rowHeight_);
        if (to > from && y < bottom && width > 0) viewport()->update(0, y, width, bottom - y);
        DropRowPictures(dirtyRow_);
    } else {
        // Row pictures hold whole rows: they stay good when the view moves
        // sideways or up, and only changed rows go.
        viewport()->update();
        if (repaintAll_)
            rowPictures_.clear();
        else
            DropRowPictures(dirtyRow_);
    }
    frameClock_.start();
    shown_ = {top, end, left, columns, viewport()->size()};
    repaintAll_ = false;
    dirtyRow_ = kNoRow;
}

std::size_t TerminalMemo::WidestRow(std::size_t from, std::size_t to) const {
    std::size_t widest = 0;
    for (std::size_t r = from; r < to && r < text_.RowCount(); ++r) widest = std::max(widest, text_.Row(r).length);
    return widest;
}

int TerminalMemo::VisibleRows() const { return std::max(1, (viewport()->height() - 2 * kMargin) / rowHeight_); }

std::size_t TerminalMemo::TopRow() const {
    const std::size_t rows = text_.RowCount();
    const auto page = static_cast<std::size_t>(VisibleRows());
    const std::size_t last = rows > page ? rows - page : 0;
    if (atEnd_) return last;
    return std::min(static_cast<std::size_t>(std::max(0, verticalScrollBar()->value())), last);
}

// Whether syncing the bar now would move or resize its handle by a pixel
// or more: the handle's length is its groove's times page over rows.
bool TerminalMemo::BarMovesVisibly() const {
    const QScrollBar* bar = verticalScrollBar();
    const int page = VisibleRows();
    const double rows = static_cast<double>(text_.RowCount());
    const double shownRows = static_cast<double>(bar->maximum()) + bar->pageStep();
    if (bar->pageStep() != page || bar->value() != bar->maximum() || rows <= page || shownRows <= page) return true;
    return static_cast<double>(bar->height()) * page * std::abs(rows - shownRows) >= rows * shownRows;
}

void TerminalMemo::SyncVerticalBar() {
    barDue_ = false;
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

}  // namespace quennet
