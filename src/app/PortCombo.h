#pragma once
#include <QComboBox>
#include <functional>
#include <set>
#include <string>

#include "serial/ComPort.h"

namespace quennet {

// ComboComPort: an editable, sorted port chooser that refreshes its list each
// time it drops down. A path typed and confirmed with Enter becomes an entry,
// is selected, and stays listed across refreshes.
class PortCombo : public QComboBox, public PortChooser {
    Q_OBJECT
public:
    explicit PortCombo(QWidget* parent = nullptr);

    static constexpr int kMinWidth = 96;
    static constexpr int kMaxListWidth = 640;

    std::function<void()> onDropDown;

    int SelectedIndex() const override { return currentIndex(); }
    void SetSelectedIndex(int index) override;
    std::string ItemText(int index) const override { return itemText(index).toStdString(); }
    int ItemCount() const override { return count(); }
    void ClearItems() override { clear(); }
    void AddItem(const std::string& text) override;
    std::vector<std::string> TypedItems() const override { return {typed_.begin(), typed_.end()}; }

    // Selects the entry with this path; a path the system does not list is
    // added as if typed, so that the remembered port is never swapped for
    // another one.
    void SelectPath(const std::string& path);

    void showPopup() override;

private:
    // A long path shows its end, the part that tells ports apart; the whole
    // path is the tool tip.
    void ShowPathEnd();

    std::set<std::string> typed_;
};

}  // namespace quennet
