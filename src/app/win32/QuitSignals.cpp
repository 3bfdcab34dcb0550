// Windows sends a windowed program no signals: a logoff or shutdown reaches
// it as session-end messages, on which Qt closes its windows the usual way
// (the main window then writes its settings), and Ctrl+C has no console to
// come from. Nothing is installed.
#include "app/QuitSignals.h"

namespace quennet {

QuitSignals::QuitSignals(std::function<void()> onQuit, QObject* parent)
    : QObject(parent), onQuit_(std::move(onQuit)) {}

QuitSignals::~QuitSignals() = default;

}  // namespace quennet
