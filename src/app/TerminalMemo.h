#pragma once
#include <QAbstractScrollArea>
#include <QClipboard>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "app/GlyphCache.h"
#include "terminal/TerminalDisplay.h"
#include "terminal/TerminalText.h"

class QPainter;

namespace quennet {

// Memo1: the terminal display. It holds its text in a TerminalText and paints
// only the rows on screen, each character one cell of a fixed grid whose
// pitch is the font's own advance, so a row cut to the view's width is
// exactly what the view shows. Read-only for the user: keys go to the window
// (and from there to the target), the mouse selects, Ctrl+Shift+C copies;
// pasting and finding are the window's, asked for through onPaste and
// onFind.
//
// Painting is throttled: data changes the text at once, the picture follows
// with the next display frame after a quiet spell and at most every
// kRepaintMs while data flows, however many pump ticks bring data meanwhile.
// No picture is made more than once a frame (kFrameMs), and none while the
// view is hidden or its window minimised.
class TerminalMemo : public QAbstractScrollArea, public TerminalDisplay {
    Q_OBJECT
public:
    // The wrapping modes keep the names of the plain text editor's.
    using LineWrapMode = QPlainTextEdit::LineWrapMode;
    static constexpr int kRepaintMs = 40;
    // The pace when every row of a picture was new: a flood, unreadable
    // at any pace, costs less than a third as much to show (eight pictures
    // a second, each moving the rows by a dozen or more).
    static constexpr int kFloodRepaintMs = 125;
    // Between these many rows a second moving through the view, the pace
    // slows step by step from kRepaintMs to kFloodRepaintMs: text that
    // moves faster than anyone reads is shown less often, and never with
    // a sudden change of pace.
    static constexpr double kCalmRowsPerSecond = 40;
    static constexpr double kBusyRowsPerSecond = 120;
    // While data flows the vertical scroll bar follows at this pace; while
    // rows move fast, a change that moves its handle by less than a pixel
    // waits up to kBarQuietMs.
    static constexpr int kBarMs = 200;
    static constexpr int kBarQuietMs = 1000;
    // At most one picture per display frame, whatever changes.
    static constexpr int kFrameMs = 16;
    // A batch of data that ends this close to its picture's time is drawn
    // at once, in the wake-up that brought it; one that ends earlier has its
    // picture wait this much past its time for the next batch to draw it.
    // Either way a flowing line costs one wake-up per picture, not two.
    static constexpr int kEarlyMs = 10;

    explicit TerminalMemo(QWidget* parent = nullptr);

    // A key with its modifiers (for F1..F8), then each character it types.
    std::function<void(int key, Qt::KeyboardModifiers mods)> onKeyDown;
    std::function<void(char32_t ch)> onKeyPress;
    std::function<void()> onEnter;
    // Enter; without a handler it types CR.
    std::function<void()> onReturn;
    // Ctrl+Shift+V, Shift+Insert and "Paste" paste the clipboard, the middle
    // button the mouse selection where the system has one.
    std::function<void(QClipboard::Mode mode)> onPaste;
    // Ctrl+Shift+F.
    std::function<void()> onFind;

    void AppendText(std::string_view bytes) override;
    void AppendCells(CellView cells) override;
    void AppendLineBreak() override;
    void AppendEmptyLine() override;
    void DeleteLastChar() override;
    std::size_t TextLength() const override { return text_.TextLength(); }
    std::size_t LastLineLength() const override { return text_.LastLineLength(); }
    void TruncateLastLine(std::size_t n) override;
    void RemoveFirstLine() override;
    void BeginUpdate() override;
    void EndUpdate() override;

    // Moves the caret to the end with nothing selected.
    void CaretToEnd();
    // Empties the display ("Clear").
    void ClearText();
    void clear() { ClearText(); }

    // The text as shown, one character per byte, lines separated by '\n'.
    QString toPlainText() const;
    QString selectedText() const;
    bool hasSelection() const { return anchor_ != head_; }
    void selectAll();
    void copy();
    // Selects a piece of the text and scrolls it into view (a found match).
    void Select(TextPos from, TextPos to);
    // Where a search goes on from: the selection's end, or its start when
    // going backward; the text's end with nothing selected.
    TextPos SearchFrom(bool forward) const;
    // Every match of this text on screen is marked; empty marks nothing.
    void SetHighlight(const std::u32string& pattern, bool matchCase);

    void setLineWrapMode(LineWrapMode mode);
    LineWrapMode lineWrapMode() const { return wrap_; }

    // Characters per row when wrapping: the cells that fit the view beside
    // its vertical scroll bar.
    int RowChars() const;
    qreal CharWidth() const { return advance_; }
    int RowHeight() const { return rowHeight_; }
    // Rows on screen are composed from pictures of their cells (the
    // default); off, every glyph is drawn on its own, as a selection or a
    // find's marks always are. The two give the same pixels.
    void ComposeFromCells(bool on) {
        composeRows_ = on;
        RepaintAll();
    }
    bool LastPictureComposed() const { return lastComposed_; }
    const TerminalText& Text() const { return text_; }
    // Whether the last row is on screen.
    bool ShowsEnd() const;
    // The time between pictures while data flows now.
    qint64 Pace() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    // Space between the frame and the text, as in the toolkit's text editors.
    static constexpr int kMargin = 4;
    static constexpr int kCaretWidth = 2;
    // Pen colours of the glyph runs: the text colour, the sixteen ANSI
    // colours, dim, bold text in the text colour, selected text.
    static constexpr int kDimPen = 17;
    static constexpr int kBoldPen = 18;
    static constexpr int kSelectedPen = 19;
    static constexpr int kPens = 20;

    // One picture's drawing, in steps (TerminalMemoPaint.cpp).
    struct Picture;
    void PaintBackground(QPainter& painter, const QRect& area) const;
    void PaintRowBackgrounds(QPainter& painter, const Picture& p, const TextRow& row, qreal y) const;
    void PaintMatches(QPainter& painter, const Picture& p, const TextRow& row, qreal y) const;
    void PaintSelection(QPainter& painter, Picture& p, const TextRow& row, qreal y) const;
    void CollectGlyphs(Picture& p, const TextRow& row, qreal y);
    // A row's picture composed from cells (TerminalMemoPaint.cpp).
    struct RowPicture {
        // The row's cells from column `from` on: those of the text from
        // `first` to `last`, and at the row's ends one cell more on each
        // side (from -1 at the start), for the ink that spills out of it.
        QImage image;
        long long from = 0;
        std::size_t first = 0, last = 0;
        // Glyphs whose ink reaches beyond their neighbours: drawn over the
        // row with the glyph runs.
        struct Over {
            std::size_t run;
            quint32 glyph;
            qreal column;
        };
        std::vector<Over> over;
    };
    struct CellColumn {
        int font = -1;
        quint32 glyph = 0;
        int pen = 0;
        unsigned spill = 0;
        std::size_t run = 0;
    };
    // What the kept row pictures depend on besides the rows' text.
    struct RowsLook {
        QImage::Format format = QImage::Format_Invalid;
        QSize cell;
        int ascent = 0;
        QRgb base = 0;
        std::array<QRgb, kPens> pens{};
        bool operator==(const RowsLook&) const = default;
    };
    bool BeginComposing(QPainter& painter, Picture& p);
    // Rows up to this long are composed whole, longer ones around the
    // columns in view.
    static constexpr std::size_t kWholeRowColumns = 256;
    static constexpr std::size_t kRowMarginColumns = 64;
    void ComposeRow(const Picture& p, const TextRow& row, RowPicture& out);
    void DropRowPictures(std::size_t from);
    void DrawGlyphs(QPainter& painter, const Picture& p) const;
    void PaintCaret(QPainter& painter, const Picture& p) const;
    static int PenOf(Cell c);
    QColor PenColor(int pen) const;
    void Changed();
    void ScheduleRefresh(bool batchEnd = false);
    std::size_t WidestRow(std::size_t from, std::size_t to) const;
    void SchedulePicture(qint64 delayMs);
    void OnFrame();
    void StopPictures();
    bool Hidden() const;
    void Refresh();
    void Repaint();
    void RepaintAll();
    void MarkLastRow();
    void SyncRowWidth();
    void MeasureFont();
    void SyncVerticalBar();
    bool BarMovesVisibly() const;
    void UpdateHorizontalBar();
    void FollowAcross();
    std::size_t TopRow() const;
    int VisibleRows() const;
    TextPos PosAt(const QPoint& point) const;
    QString Join(const std::vector<CellView>& slices) const;

    TerminalText text_;
    LineWrapMode wrap_ = QPlainTextEdit::NoWrap;
    int updateDepth_ = 0;
    bool follow_ = false;        // scroll to the end at the next refresh
    bool hold_ = false;          // a found match is shown: new data leaves the view where it is
    bool atEnd_ = true;          // the view stays on the last rows
    bool programScroll_ = false;  // scroll bars moved by the view itself
    bool selecting_ = false;
    TextPos anchor_, head_;
    QTimer* repaintTimer_ = nullptr;
    QTimer* barTimer_ = nullptr;
    QElapsedTimer barClock_;
    QElapsedTimer refreshClock_;
    QElapsedTimer frameClock_;  // since the last picture was asked for
    bool refreshDue_ = false;   // the text changed since the last refresh
    // What arrived since the last picture, to tell a flood.
    std::size_t breaksSinceRefresh_ = 0;
    std::size_t charsSinceRefresh_ = 0;
    bool flooded_ = false;
    double rowsPerSecond_ = 0;  // rows the view moved by, smoothed
    bool barDue_ = false;       // the bar follows with the next picture, whatever it moves
    // Rows are counted since the text began (trimmed ones included) to tell
    // which rows the last picture showed and which changed since.
    static constexpr std::size_t kNoRow = ~std::size_t{0};
    std::size_t trimmedRows_ = 0;
    std::size_t dirtyRow_ = kNoRow;
    bool repaintAll_ = true;
    struct Shown {
        std::size_t top = 0;
        std::size_t end = 0;  // past the last row with text
        int left = 0;
        std::size_t columns = 0;  // of its widest row
        QSize size;
    } shown_;

    int scrollBarWidth_ = 0;  // room kept for the vertical scroll bar
    qreal advance_ = 8;
    int rowHeight_ = 16;
    int ascent_ = 12;
    GlyphCache glyphs_;
    CellImages cellImages_;
    bool composeRows_ = true;
    bool composedRows_ = false;  // the last picture on screen was composed from cells
    bool lastComposed_ = false;  // the last picture, wherever it went
    std::unordered_map<std::size_t, RowPicture> rowPictures_;  // by row counted since the text began
    RowsLook rowsLook_;
    std::vector<CellColumn> columns_;
    std::u32string highlight_;
    bool highlightCase_ = false;
};

}  // namespace quennet
