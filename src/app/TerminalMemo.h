#pragma once
#include <QPlainTextEdit>
#include <QTimer>
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
    // Empties the display ("Clear").
    void ClearText();

    // In wrapping (hex) mode long text is cut into rows of this many
    // characters as it arrives: one huge paragraph would be laid out again
    // on every append, far too slowly for a fast line.
    int RowChars() const;
    // Row breaks made that way; they are not characters of the text.
    int SoftBreaks() const { return softBreaks_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void InsertAtEnd(const QString& text);
    void InsertBreak(bool soft);
    void Repaint();

    int updateDepth_ = 0;
    int softBreaks_ = 0;
    QTimer* repaintTimer_ = nullptr;
};

}  // namespace quennet
