#include "app/PortCombo.h"

#include <QLineEdit>

namespace quennet {

PortCombo::PortCombo(QWidget* parent) : QComboBox(parent) {
    setEditable(true);
    setInsertPolicy(QComboBox::InsertAlphabetically);
    setDuplicatesEnabled(false);
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
}

void PortCombo::showPopup() {
    if (onDropDown) onDropDown();
    QComboBox::showPopup();
}

}  // namespace quennet
