// quennet-flash: the loader's runs from a shell. Parses the command line,
// hands Ctrl+C to the run as a stop request, and returns the run's exit code.
#ifdef _WIN32
#include <windows.h>
#include <io.h>
#include <cstdio>
#else
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "cli/FlashPlatform.h"
#include "cli/FlashWorker.h"
#include "cli/ProductionRun.h"
#include "core/Version.h"
#include "loader/FlashCommand.h"
#include "loader/MultiBoard.h"
#include "serial/PortProblem.h"

namespace {

std::atomic<quennet::FlashCommand*> g_command{nullptr};
// Many boards: the request to stop them all.
std::atomic<bool> g_stopAll{false};

#ifdef _WIN32
std::atomic<bool> g_stopAsked{false};

// Runs on a thread of its own that the console starts for Ctrl+C or
// Ctrl+Break. The first asks the run to stop; a second one is left to the
// default handler, which ends the program at once.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (g_stopAsked.exchange(true)) return FALSE;
    g_stopAll.store(true);
    if (quennet::FlashCommand* c = g_command.load()) c->RequestStop();
    return TRUE;
}

void HandleStopSignals(bool on) { SetConsoleCtrlHandler(OnConsoleControl, on ? TRUE : FALSE); }

// The console's width when standard output is one, else 0.
int OutputTerminalColumns() {
    if (!_isatty(_fileno(stdout))) return 0;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.dwSize.X;
}
#else
extern "C" void OnStopSignal(int) {
    // Only lock-free stores: the run sees it at its next block boundary.
    g_stopAll.store(true);
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

int OutputTerminalColumns() {
    if (!::isatty(STDOUT_FILENO)) return 0;
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    const quennet::ProductionArgs production = quennet::ParseProductionArgs(args);
    // A single port is read as it always was; many ports, a pattern, the
    // production line and the worker have their own options taken out.
    const bool many = production.Production() || production.worker;
    std::vector<std::string> single = args;
    if (many && production.error.empty()) {
        single = production.runArgs;
        single.push_back("--port");
        single.push_back(production.ports.empty() ? production.patterns.front() : production.ports.front());
    }
    const quennet::FlashArgs parsed = quennet::ParseFlashArgs(single);
    const bool stopsEarly = parsed.options.help || parsed.options.version;
    std::string error = production.error.empty() || stopsEarly ? parsed.error : production.error;
    if (!error.empty()) {
        std::cerr << "quennet-flash: " << error << "\nTry 'quennet-flash --help'.\n";
        return quennet::kFlashBadCommand;
    }
    if (parsed.options.version) {
        std::cout << "quennet-flash " << quennet::QuennetVersion() << '\n';
        return quennet::kFlashOk;
    }
    if (parsed.options.help) {
        std::cout << quennet::FlashUsage() << '\n' << quennet::ProductionUsage();
        return quennet::kFlashOk;
    }

    if (production.worker) {
        HandleStopSignals(true);
        const int code = quennet::cli::RunFlashWorker(parsed.options, g_command);
        HandleStopSignals(false);
        return code;
    }
    if (many) {
        HandleStopSignals(true);
        const int code = quennet::cli::RunProduction(quennet::cli::ProductionSetup{
            production, parsed.options, quennet::cli::SelfExecutable(argv[0]), std::cout, std::cerr,
            OutputTerminalColumns(), g_stopAll});
        HandleStopSignals(false);
        return code;
    }

    quennet::FlashCommand command(quennet::FlashHost{quennet::DefaultSerialDeviceFactory(),
                                                     quennet::SystemClock(), std::cout, std::cerr,
                                                     OutputTerminalColumns()});
    g_command.store(&command);
    HandleStopSignals(true);
    const int code = command.Run(parsed.options);
    HandleStopSignals(false);
    g_command.store(nullptr);
    return code;
}
