#pragma once
#include <QPlainTextEdit>
#include <functional>

#include "terminal/TerminalDisplay.h"

namespace quennet {

// Memo1: the terminal display. Read-only for the user; the receive pump
// writes into it through the TerminalDisplay interface, and key presses are
// handed to the window instead of editing the text.
class TerminalMemo : public QPlainTextEdit, public TerminalDisplay {
    Q_OBJECT
public:
    explicit TerminalMemo(QWidget* parent = nullptr);

    // A key with its modifiers (for F1..F8), then each character it types.
    std::function<void(int key, Qt::KeyboardModifiers mods)> onKeyDown;
    std::function<void(char32_t ch)> onKeyPress;
    std::function<void()> onEnter;

    void AppendText(std::string_view bytes) override;
    void AppendLineBreak() override;
    void AppendEmptyLine() override;
    void DeleteLastChar() override;
    std::size_t TextLength() const override;
    void RemoveFirstLine() override;
    void BeginUpdate() override;
    void EndUpdate() override;

    // Moves the caret to the end with nothing selected.
    void CaretToEnd();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    void InsertAtEnd(const QString& text);
    int updateDepth_ = 0;
};

}  // namespace quennet
