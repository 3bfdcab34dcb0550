#include "core/SettingsPlace.h"

#include <windows.h>
#include <shlobj.h>

#include <cwchar>
#include <filesystem>
#include <system_error>

namespace quennet {

namespace fs = std::filesystem;

namespace {

// Paths travel as UTF-8 through the program; the file system calls here take
// them as UTF-16, so that a user name outside the ANSI code page still works.
std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

// Whether a new file can be made in folder. Access rights on Windows are
// not told by attributes (a Program Files folder is not read-only, only
// closed to the user), so a probe file is made and removed at once.
bool FolderWritable(const fs::path& folder) {
    std::error_code ec;
    if (folder.empty() || !fs::is_directory(folder, ec)) return false;
    const fs::path probe = folder / (L".quennet-probe-" + std::to_wstring(GetCurrentProcessId()) + L".tmp");
    const HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

}  // namespace

SettingsPlace LocateSettingsFile(const std::string& exePath, const std::string& appData) {
    // Qt hands over paths with forward slashes; the file shows them the Windows way.
    const fs::path exe = fs::path(Wide(exePath)).make_preferred();
    const std::wstring stem = exe.stem().wstring();
    const std::wstring name = stem.empty() ? std::wstring(L"quennet") : stem;
    const std::wstring fileName = name + L".INI";
    const fs::path folder = exe.parent_path();

    SettingsPlace place;
    if (exe.is_absolute() && FolderWritable(folder)) {
        place.path = Utf8((folder / fileName).wstring());
        place.besideProgram = true;
        return place;
    }
    if (appData.empty()) {
        // Nowhere else to go: keep the program's folder and let the write report it.
        place.path = Utf8((folder / fileName).wstring());
        place.besideProgram = true;
        place.problem = "no application-data folder for the settings";
        return place;
    }
    const fs::path own = fs::path(Wide(appData)).make_preferred() / name;
    place.path = Utf8((own / fileName).wstring());
    std::error_code ec;
    fs::create_directories(own, ec);
    if (std::error_code isDir; !fs::is_directory(own, isDir)) {
        place.problem = "cannot create " + Utf8(own.wstring()) + (ec ? ": " + ec.message() : std::string());
    }
    return place;
}

SettingsPlace LocateSettingsFile(const std::string& exePath) {
    // %APPDATA% first, as a user can see and change it; the shell's answer
    // where the variable is missing.
    std::wstring appData;
    if (const wchar_t* env = _wgetenv(L"APPDATA"); env != nullptr) appData = env;
    if (appData.empty()) {
        wchar_t buffer[MAX_PATH] = {};
        if (SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, buffer) ==
            S_OK)
            appData = buffer;
    }
    return LocateSettingsFile(exePath, Utf8(appData));
}

}  // namespace quennet
