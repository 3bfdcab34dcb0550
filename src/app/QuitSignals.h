#pragma once
#include <QObject>
#include <functional>

class QSocketNotifier;
class QWidget;

namespace quennet {

// Turns SIGTERM, SIGINT and SIGHUP (a logout, kill, Ctrl+C in the shell that
// started the program) into a call of onQuit in the event loop, so the main
// window closes the usual way and writes its settings instead of the process
// dying with them unsaved. Install it before the window is built: a signal
// that comes before the event loop runs is handled once the loop starts.
// On Windows nothing is installed: a windowed program gets no such signals,
// and a logoff closes its windows through the session-end messages.
class QuitSignals : public QObject {
    Q_OBJECT
public:
    explicit QuitSignals(std::function<void()> onQuit, QObject* parent = nullptr);
    ~QuitSignals() override;

    // Whether the handlers are in place (a socket pair could be made).
    bool installed() const { return notifier_ != nullptr; }

    // Closes the main window as its close box does, after ending any modal
    // dialog first: a dialog's own event loop would otherwise keep the
    // process running with no window left.
    static void CloseMainWindow(QWidget* window);

private:
    std::function<void()> onQuit_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quennet
