// quennet-flash: the loader's runs from a shell. Parses the command line,
// hands Ctrl+C to the run as a stop request, and returns the run's exit code.
#include <signal.h>

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "loader/FlashCommand.h"
#include "serial/PortProblem.h"

namespace {

std::atomic<quennet::FlashCommand*> g_command{nullptr};

extern "C" void OnStopSignal(int) {
    // Only a lock-free store: the run sees it at its next block boundary.
    if (quennet::FlashCommand* c = g_command.load()) c->RequestStop();
}

void HandleStopSignals(bool on) {
    struct sigaction sa {};
    sa.sa_handler = on ? OnStopSignal : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    // A second Ctrl+C ends the program at once, for a wait that takes long.
    sa.sa_flags = on ? SA_RESETHAND : 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const quennet::FlashArgs parsed = quennet::ParseFlashArgs(args);
    if (!parsed.error.empty()) {
        std::cerr << "quennet-flash: " << parsed.error << "\nTry 'quennet-flash --help'.\n";
        return quennet::kFlashBadCommand;
    }
    if (parsed.options.help) {
        std::cout << quennet::FlashUsage();
        return quennet::kFlashOk;
    }

    quennet::FlashCommand command(quennet::FlashHost{quennet::DefaultSerialDeviceFactory(),
                                                     quennet::SystemClock(), std::cout, std::cerr,
                                                     quennet::ExplainOpenFailure});
    g_command.store(&command);
    HandleStopSignals(true);
    const int code = command.Run(parsed.options);
    HandleStopSignals(false);
    g_command.store(nullptr);
    return code;
}
