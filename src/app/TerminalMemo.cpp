#include "app/TerminalMemo.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

#include "terminal/Charset.h"

namespace quennet {

TerminalMemo::TerminalMemo(QWidget* parent) : QPlainTextEdit(parent) {
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

void TerminalMemo::InsertAtEnd(const QString& text) {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
}

void TerminalMemo::AppendText(std::string_view bytes) {
    QString text;
    text.reserve(static_cast<qsizetype>(bytes.size()));
    for (unsigned char b : bytes) text.append(QChar(static_cast<char16_t>(ByteToDisplayChar(b))));
    InsertAtEnd(text);
}

void TerminalMemo::AppendLineBreak() {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertBlock();
}

void TerminalMemo::AppendEmptyLine() { AppendLineBreak(); }

void TerminalMemo::DeleteLastChar() {
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.deletePreviousChar();
}

std::size_t TerminalMemo::TextLength() const {
    // Each block separator stands for the two characters CR LF.
    const QTextDocument* doc = document();
    const int chars = doc->characterCount() - 1;
    const int breaks = doc->blockCount() - 1;
    return static_cast<std::size_t>(chars + breaks);
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
        cursor.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor, rowLength);
    }
    cursor.removeSelectedText();
}

void TerminalMemo::BeginUpdate() {
    if (updateDepth_++ == 0) viewport()->setUpdatesEnabled(false);
}

void TerminalMemo::EndUpdate() {
    if (updateDepth_ == 0) return;
    if (--updateDepth_ == 0) {
        viewport()->setUpdatesEnabled(true);
        CaretToEnd();
        ensureCursorVisible();
        viewport()->update();
    }
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
    // Copying a selection with the usual shortcut stays possible; everything
    // else typed goes to the target, Ctrl+C included.
    if (event->matches(QKeySequence::Copy) && textCursor().hasSelection()) {
        QPlainTextEdit::keyPressEvent(event);
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

void TerminalMemo::focusInEvent(QFocusEvent* event) {
    QPlainTextEdit::focusInEvent(event);
    if (onEnter) onEnter();
}

}  // namespace quennet
