#include "app/PortCombo.h"

#include <QAbstractItemView>
#include <QLineEdit>
#include <QRegularExpression>
#include <QStyle>
#include <algorithm>

namespace quennet {

namespace {

// Where the part of a port path that tells devices apart ends: udev's by-id
// and by-path links end in the interface and port numbers ("-if00-port0")
// that most adapters share, so the name ends before them.
int NamingEnd(const QString& path) {
    static const QRegularExpression shared(R"((-if\d+)?-port\d+$)");
    const QRegularExpressionMatch m = shared.match(path);
    if (m.hasMatch() && m.capturedStart() > path.lastIndexOf('/') + 1) return static_cast<int>(m.capturedStart());
    return static_cast<int>(path.size());
}

}  // namespace

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
    // While the user edits the path, the caret stays where they put it.
    if (lineEdit()->hasFocus()) return;
    // A path too long for the field shows the part that names the device,
    // not the folders every port shares: the caret there scrolls it in.
    lineEdit()->setCursorPosition(NamingEnd(path));
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
