#include <windows.h>

#include <string>

#include "serial/PortProblem.h"
#include "serial/win32/Win32SerialDevice.h"

namespace quennet {

namespace {

std::string SystemText(DWORD error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : "error " + std::to_string(error);
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' ||
                            out.back() == '.'))
        out.pop_back();
    return out;
}

}  // namespace

std::string win32::OpenErrorProblem(DWORD e) {
    switch (e) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_UNIT:
        case ERROR_DEV_NOT_EXIST:
            return kPortNotFound;
        // A port that another program holds refuses every other opener
        // with access denied; a sharing violation means the same.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return kPortBusy;
        case ERROR_INVALID_NAME:
            return "is not a valid port name";
        default:
            return "cannot be opened: " + SystemText(e);
    }
}

// Windows grants a COM port to whoever opens it first; there is no group to
// join, and a port that refuses is busy, which the open itself tells.
std::string PortAccessHint(const std::string&) { return ""; }

}  // namespace quennet
