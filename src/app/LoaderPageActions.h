#pragma once

class QAction;
class QBoxLayout;
class QLineEdit;
class QPushButton;

namespace quennet {

// The loader tab's row after the programming controls: reading the flash
// into a file, erasing it, the STM32's protection commands, and the MSP430
// password file that unlocks its loader without an erase.
struct LoaderActionWidgets {
    QPushButton* ButtonReadFlash = nullptr;
    QPushButton* ButtonErase = nullptr;
    QPushButton* ButtonProtection = nullptr;  // its menu holds the four actions
    QAction* ActionWriteUnprotect = nullptr;
    QAction* ActionWriteProtect = nullptr;
    QAction* ActionReadoutProtect = nullptr;
    QAction* ActionReadoutUnprotect = nullptr;
    QLineEdit* EditPassword = nullptr;
    QPushButton* ButtonBrowsePassword = nullptr;
};

// Builds the row at the end of the loader tab's column.
LoaderActionWidgets BuildLoaderActionRow(QBoxLayout* column);

}  // namespace quennet
