#include "serial/win32/PortDiscovery.h"

#include <algorithm>

#include "serial/ComPort.h"

namespace quennet {

namespace win32 {

std::optional<std::vector<std::string>> SerialPortsFromRegistry(HKEY root, const char* subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return std::nullopt;
    DWORD count = 0, longestName = 0, longestData = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &longestName, &longestData, nullptr, nullptr) != ERROR_SUCCESS) {
        RegCloseKey(key);
        return std::nullopt;
    }
    std::vector<std::string> ports;
    std::vector<char> name(longestName + 1);
    // One byte more than the longest value, so that the text always ends
    // with a NUL even when the stored one lacks it.
    std::vector<BYTE> data(longestData + 1);
    for (DWORD i = 0; i < count; ++i) {
        DWORD nameLen = static_cast<DWORD>(name.size());
        DWORD dataLen = static_cast<DWORD>(data.size() - 1);
        DWORD type = 0;
        const LONG r = RegEnumValueA(key, i, name.data(), &nameLen, nullptr, &type, data.data(),
                                     &dataLen);
        // A value added meanwhile may not fit: pass it over.
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        dataLen = std::min<DWORD>(dataLen, static_cast<DWORD>(data.size() - 1));
        data[dataLen] = 0;
        const std::string port(reinterpret_cast<const char*>(data.data()));
        if (!port.empty()) ports.push_back(port);
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

}  // namespace win32

std::optional<std::vector<std::string>> SystemSerialPorts() {
    return win32::SerialPortsFromRegistry(HKEY_LOCAL_MACHINE, win32::kSerialCommKey);
}

}  // namespace quennet
