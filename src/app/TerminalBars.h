#pragma once
#include <QLineEdit>
#include <QWidget>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;

namespace quennet {

// The input line under the terminal display: Up and Down ask for older and
// newer lines of the history.
class InputLine : public QLineEdit {
public:
    explicit InputLine(QWidget* parent = nullptr) : QLineEdit(parent) {}
    std::function<void(bool older)> onHistory;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

// The find bar over the terminal display: a text, next and previous, match
// case. Enter finds the next match, Shift+Enter the previous, Escape closes.
class FindBar : public QWidget {
public:
    explicit FindBar(QWidget* parent = nullptr);

    QLineEdit* EditFind = nullptr;
    QPushButton* ButtonFindNext = nullptr;
    QPushButton* ButtonFindPrev = nullptr;
    QCheckBox* CheckBoxFindCase = nullptr;
    QLabel* LabelFind = nullptr;
    QPushButton* ButtonFindClose = nullptr;

    std::function<void(bool forward)> onSearch;
    std::function<void()> onChanged;  // the text or the case option
    std::function<void()> onClose;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace quennet
