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
    // Wide enough for the last part of the path (within reason), with the
    // text scrolled to its end.
    const QString last = path.section('/', -1);
    const int wanted = fontMetrics().horizontalAdvance(last + "MM") + style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    setMinimumWidth(std::clamp(wanted, kMinWidth, kMaxWidth));
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
