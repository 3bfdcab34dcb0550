#include "app/QuitSignals.h"

#include <QApplication>
#include <QDialog>
#include <QWidget>

namespace quennet {

void QuitSignals::CloseMainWindow(QWidget* window) {
    // Nested dialogs are ended from the innermost out; the bound keeps a
    // widget that refuses to hide from looping here for ever.
    for (int i = 0; i < 16; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == window) break;
        if (auto* dialog = qobject_cast<QDialog*>(modal))
            dialog->reject();
        else
            modal->hide();
        if (modal->isVisible()) break;
    }
    if (window != nullptr) window->close();
}

}  // namespace quennet
