#include "cli/FlashPlatform.h"

#include <windows.h>
#include <io.h>

#include <algorithm>

#include "loader/MultiBoard.h"
#include "serial/ComPort.h"

namespace quennet::cli {

namespace {

class Win32Worker : public WorkerProcess {
public:
    Win32Worker(PROCESS_INFORMATION info, HANDLE read) : info_(info), read_(read) {}
    ~Win32Worker() override {
        CloseHandle(read_);
        Wait();
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }

    std::size_t Read(char* buffer, std::size_t size) override {
        DWORD got = 0;
        if (!ReadFile(read_, buffer, static_cast<DWORD>(std::min<std::size_t>(size, 65536)), &got, nullptr)) return 0;
        return got;
    }
    // The worker runs in a process group of its own, which takes
    // Ctrl+Break but not Ctrl+C.
    void AskToStop() override { GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, info_.dwProcessId); }
    int Wait() override {
        WaitForSingleObject(info_.hProcess, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(info_.hProcess, &code);
        return static_cast<int>(code);
    }

private:
    PROCESS_INFORMATION info_;
    HANDLE read_;
};

// One argument as the C runtime splits a command line back into argv.
std::string Quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string q = "\"";
    std::size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        q.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        q += c;
    }
    q.append(slashes * 2, '\\');
    return q + '"';
}

std::string BareName(const std::string& port) {
    return port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
}

}  // namespace

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const std::string& exe, const std::vector<std::string>& args,
                                                    std::string& error) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &sa, 0)) {
        error = "cannot make a pipe (error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    std::string line = Quoted(exe);
    for (const std::string& a : args) line += ' ' + Quoted(a);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = write;
    si.hStdError = write;
    PROCESS_INFORMATION info{};
    const BOOL ok = CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                   nullptr, nullptr, &si, &info);
    const DWORD startError = GetLastError();
    CloseHandle(write);
    if (!ok) {
        CloseHandle(read);
        error = "cannot start " + exe + " (error " + std::to_string(startError) + ")";
        return nullptr;
    }
    return std::make_unique<Win32Worker>(info, read);
}

std::string SelfExecutable(const char* argv0) {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string(argv0);
}

std::vector<std::string> PortsMatching(const std::string& pattern) {
    std::vector<std::string> ports;
    if (const auto all = SystemSerialPorts())
        for (const std::string& p : *all)
            if (WildcardMatch(BareName(pattern), BareName(p))) ports.push_back(p);
    std::sort(ports.begin(), ports.end());
    return ports;
}

bool PortThere(const std::string& port) {
    if (const auto all = SystemSerialPorts())
        for (const std::string& p : *all)
            if (BareName(p) == BareName(port)) return true;
    return false;
}

void SyncFile(std::FILE* file) {
    std::fflush(file);
    _commit(_fileno(file));
}

bool LiveViewPossible() {
    if (!_isatty(_fileno(stdout))) return false;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;
    return SetConsoleMode(out, mode | 0x0004 /* ENABLE_VIRTUAL_TERMINAL_PROCESSING */) != 0;
}

}  // namespace quennet::cli
