#pragma once
#include <QComboBox>
#include <functional>

#include "serial/ComPort.h"

namespace quennet {

// ComboComPort: an editable, sorted port chooser that refreshes its list each
// time it drops down. A path typed and confirmed with Enter becomes an entry
// and is selected.
class PortCombo : public QComboBox, public PortChooser {
    Q_OBJECT
public:
    explicit PortCombo(QWidget* parent = nullptr);

    std::function<void()> onDropDown;

    int SelectedIndex() const override { return currentIndex(); }
    void SetSelectedIndex(int index) override;
    void ClearItems() override { clear(); }
    void AddItem(const std::string& text) override;

    void showPopup() override;
};

}  // namespace quennet
