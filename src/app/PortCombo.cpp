#include "app/PortCombo.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QStyle>
#include <algorithm>

namespace quennet {

PortCombo::PortCombo(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::InsertAlphabetically);
    setDuplicatesEnabled(false);
    // Runs after the combo's own Enter handling has inserted the entry.
    connect(lineEdit(), &QLineEdit::returnPressed, this, [this] {
        const std::string text = currentText().toStdString();
        if (!text.empty() && currentIndex() >= 0) typed_.insert(text);
    });
    // In the list a long path loses its start, not the end that names it.
    view()->setTextElideMode(Qt::ElideLeft);
    connect(this, &QComboBox::currentTextChanged, this, [this] { ShowPathEnd(); });
}

void PortCombo::ShowPathEnd() {
    const QString path = currentText();
    setToolTip(path);
    // The field shows the end of a path too long for it: the device's own
    // name, not the folders every port shares.
    lineEdit()->setCursorPosition(static_cast<int>(path.size()));
}

void PortCombo::SetSelectedIndex(int index) {
    setCurrentIndex(index >= 0 && index < count() ? index : -1);
}

void PortCombo::AddItem(const std::string& text) {
    const QString item = QString::fromStdString(text);
    // Keep the list in text order, as a sorted list would.
    int pos = 0;
    while (pos < count() && itemText(pos).toStdString() < text) ++pos;
    insertItem(pos, item);
    setItemData(pos, item, Qt::ToolTipRole);
    // The list is as wide as its longest path (within the screen's reason),
    // whatever room the field has in the window's first row.
    const int wanted = view()->fontMetrics().horizontalAdvance(item) + 2 * style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    view()->setMinimumWidth(std::min(std::max(view()->minimumWidth(), wanted), kMaxListWidth));
}

void PortCombo::SelectPath(const std::string& path) {
    if (path.empty()) return;
    int index = findText(QString::fromStdString(path), Qt::MatchExactly);
    if (index < 0) {
        typed_.insert(path);
        AddItem(path);
        index = findText(QString::fromStdString(path), Qt::MatchExactly);
    }
    setCurrentIndex(index);
}

void PortCombo::showPopup() {
    if (onDropDown) onDropDown();
    QComboBox::showPopup();
}

}  // namespace quennet
