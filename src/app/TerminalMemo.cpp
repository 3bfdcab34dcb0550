#include "app/TerminalMemo.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <algorithm>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

#include "terminal/Charset.h"

namespace quennet {

namespace {

// Block state of a row that continues the line before it (a soft break).
constexpr int kSoftRow = 1;
// Painting at most this often while data flows; a repaint per 2 ms tick
// would cost more than the bytes themselves.
constexpr int kRepaintMs = 20;
// Rows are never cut narrower than this, whatever the widget's size.
constexpr int kMinRowChars = 48;

}  // namespace

TerminalMemo::TerminalMemo(QWidget* parent) : QPlainTextEdit(parent) {
    repaintTimer_ = new QTimer(this);
    repaintTimer_->setSingleShot(true);
    repaintTimer_->setInterval(kRepaintMs);
    connect(repaintTimer_, &QTimer::timeout, this, [this] { Repaint(); });
    setReadOnly(true);
    // Keyboard focus and a visible caret, but no editing by the user.
    setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    setUndoRedoEnabled(false);
    setTabChangesFocus(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Text, QColor(0xC0, 0xC0, 0xC0));
    setPalette(pal);
}

int TerminalMemo::RowChars() const {
    const int charWidth = std::max(1, fontMetrics().horizontalAdvance(QLatin1Char('0')));
    const int usable = viewport()->width() - 2 * static_cast<int>(document()->documentMargin());
    // Whole "XX " groups, so that a hex byte is never cut in two.
    const int chars = (usable / charWidth) / 3 * 3;
    return std::max(chars, kMinRowChars);
}

void TerminalMemo::InsertBreak(bool soft) {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock();
    cursor.block().setUserState(soft ? kSoftRow : -1);
    if (soft) ++softBreaks_;
}

void TerminalMemo::InsertAtEnd(const QString& text) {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    if (lineWrapMode() == QPlainTextEdit::NoWrap) {
        cursor.insertText(text);
        return;
    }
    const int row = RowChars();
    qsizetype pos = 0;
    while (pos < text.size()) {
        const int room = row - cursor.block().length() + 1;
        if (room <= 0) {
            InsertBreak(true);
            cursor.movePosition(QTextCursor::End);
            continue;
        }
        const QString part = text.mid(pos, room);
        cursor.insertText(part);
        pos += part.size();
    }
}

void TerminalMemo::AppendText(std::string_view bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char b : bytes) text.append(QChar(static_cast<char16_t>(ByteToDisplayChar(b))));
    InsertAtEnd(text);
}

void TerminalMemo::AppendLineBreak() { InsertBreak(false); }

void TerminalMemo::AppendEmptyLine() { AppendLineBreak(); }

void TerminalMemo::DeleteLastChar() {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // A soft row break is no character: take it away with the character
    // before it.
    if (cursor.block().userState() == kSoftRow && cursor.block().length() == 1) {
        cursor.deletePreviousChar();
        --softBreaks_;
    }
    cursor.deletePreviousChar();
}

void TerminalMemo::ClearText() {
    clear();
    softBreaks_ = 0;
}

std::size_t TerminalMemo::TextLength() const {
    // Each block separator stands for the two characters CR LF.
    const QTextDocument* doc = document();
    // Without separators, plus CR LF for each hard break, none for a row.
    const int separators = doc->blockCount() - 1;
    const int chars = doc->characterCount() - 1 - separators;
    return static_cast<std::size_t>(chars + 2 * (separators - softBreaks_));
}

void TerminalMemo::RemoveFirstLine() {
    QTextDocument* doc = document();
    QTextBlock first = doc->firstBlock();
    QTextCursor cursor(doc);
    cursor.movePosition(QTextCursor::Start);
    int rowLength = first.length();  // includes the separator
    if (lineWrapMode() != QPlainTextEdit::NoWrap) {
        QTextLayout* layout = first.layout();
        if (layout != nullptr && layout->lineCount() > 1) rowLength = layout->lineAt(0).textLength();
    }
    if (doc->blockCount() == 1 && rowLength >= first.length()) {
        // The only line: remove its text; there is no separator to take.
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    } else {
        if (rowLength >= first.length() && first.next().userState() == kSoftRow) --softBreaks_;
        cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor, rowLength);
    }
    cursor.removeSelectedText();
    // The new first block may have been a row of the removed line.
    QTextBlock head = doc->firstBlock();
    if (head.userState() == kSoftRow) head.setUserState(-1);
}

void TerminalMemo::BeginUpdate() {
    if (updateDepth_++ == 0) viewport()->setUpdatesEnabled(false);
}

void TerminalMemo::EndUpdate() {
    if (updateDepth_ == 0) return;
    if (--updateDepth_ == 0) {
        // The view follows the caret at once; the picture follows within
        // kRepaintMs, however many ticks bring data meanwhile.
        CaretToEnd();
        ensureCursorVisible();
        if (!repaintTimer_->isActive()) repaintTimer_->start();
    }
}

void TerminalMemo::Repaint() {
    if (updateDepth_ > 0) return;
    viewport()->setUpdatesEnabled(true);
    viewport()->update();
}

void TerminalMemo::CaretToEnd() {
    QTextCursor cursor = textCursor();
    cursor.clearSelection();
    cursor.movePosition(QTextCursor::End);
    setTextCursor(cursor);
}

void TerminalMemo::keyPressEvent(QKeyEvent* event) {
    const int key = event->key();
    if (onKeyDown) onKeyDown(key, event->modifiers());
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35) {
        event->accept();
        return;
    }
    // Ctrl+C belongs to the target (0x03 interrupts its program, selection
    // or not); copying takes Ctrl+Shift+C, as in terminals.
    if (key == Qt::Key_C && (event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier)) ==
                                (Qt::ControlModifier | Qt::ShiftModifier)) {
        copy();
        event->accept();
        return;
    }
    QString text = event->text();
    const Qt::KeyboardModifiers mods = event->modifiers();
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
    if (text.isEmpty()) {
        // Navigation keys scroll and select as in any read-only view.
        QPlainTextEdit::keyPressEvent(event);
        return;
    }
    if (onKeyPress) {
        for (char32_t ch : text.toUcs4()) onKeyPress(ch);
    }
    event->accept();
}

bool TerminalMemo::focusNextPrevChild(bool) {
    // Tab and Shift+Tab are keys for the target, not a way out of the view
    // (a read-only view would otherwise let them move the focus).
    return false;
}

void TerminalMemo::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copyAction = menu.addAction("Copy", QKeySequence("Ctrl+Shift+C"), this, [this] { copy(); });
    copyAction->setObjectName("CopyAction");
    copyAction->setEnabled(textCursor().hasSelection());
    menu.addAction("Select All", this, [this] { selectAll(); })->setObjectName("SelectAllAction");
    menu.exec(event->globalPos());
}

void TerminalMemo::focusInEvent(QFocusEvent* event) {
    QPlainTextEdit::focusInEvent(event);
    if (onEnter) onEnter();
}

}  // namespace quennet
