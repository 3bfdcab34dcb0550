// A quit signal closes the main window the usual way, even while a modal
// dialog runs its own event loop.
#include "app/QuitSignals.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QMainWindow>
#include <QTimer>

#include <csignal>

namespace quennet {
namespace {

class CountingWindow : public QMainWindow {
public:
    int closes = 0;

protected:
    void closeEvent(QCloseEvent* event) override {
        ++closes;
        event->accept();
    }
};

TEST(QuitSignals, SigtermEndsTheOpenDialogAndClosesTheWindow) {
    // Closing the last window must not be what ends the dialog's loop.
    const bool quitOnClose = QApplication::quitOnLastWindowClosed();
    QApplication::setQuitOnLastWindowClosed(false);
    CountingWindow window;
    window.show();
    QuitSignals quit([&window] { QuitSignals::CloseMainWindow(&window); });
    ASSERT_TRUE(quit.installed());

    QDialog dialog(&window);
    QTimer::singleShot(0, [] { std::raise(SIGTERM); });
    // Without the signal's work the dialog would stay; end it after 5 s.
    QTimer::singleShot(5000, &dialog, [&dialog] { dialog.done(42); });
    const int result = dialog.exec();
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(window.closes, 1);
    EXPECT_FALSE(window.isVisible());

    // Without a dialog the window is closed at once.
    window.show();
    std::raise(SIGHUP);
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(window.closes, 2);
    QApplication::setQuitOnLastWindowClosed(quitOnClose);
}

}  // namespace
}  // namespace quennet
