// The terminal view's mouse, keys and focus: selecting, the context menu,
// what a key types or scrolls.
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QScrollBar>

#include "app/TerminalMemo.h"
#include "terminal/KeyBytes.h"

namespace quennet {

// The key codes and modifiers that KeyChars takes are the toolkit's own.
static_assert(keys::kSpace == Qt::Key_Space && keys::kAt == Qt::Key_At && keys::kA == Qt::Key_A &&
              keys::kZ == Qt::Key_Z && keys::kBracketLeft == Qt::Key_BracketLeft &&
              keys::kBackslash == Qt::Key_Backslash && keys::kBracketRight == Qt::Key_BracketRight &&
              keys::kEscape == Qt::Key_Escape && keys::kTab == Qt::Key_Tab && keys::kBackspace == Qt::Key_Backspace &&
              keys::kReturn == Qt::Key_Return && keys::kEnter == Qt::Key_Enter);
static_assert(keys::kShift == unsigned{Qt::ShiftModifier} && keys::kControl == unsigned{Qt::ControlModifier} &&
              keys::kAlt == unsigned{Qt::AltModifier});

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
    const std::u32string typed = KeyChars(key, static_cast<unsigned>(mods.toInt()), event->text().toStdU32String());
    if (!typed.empty()) {
        if (onKeyPress) {
            for (char32_t ch : typed) onKeyPress(ch);
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
