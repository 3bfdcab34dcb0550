// A COM port's device as Plug and Play knows it: the device instance ID
// (such as FTDIBUS\VID_0403+PID_6001+A50285BIA\0000) holds the IDs and the
// serial number, or the hub port of an adapter that has none.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>

#include "serial/ComPort.h"
#include "serial/DeviceIdentity.h"

namespace quennet {

namespace {

// The setup class of serial and parallel ports ("Ports").
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string BareComName(const std::string& name) {
    const std::string prefix = "\\\\.\\";
    return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
}

bool SameText(const std::string& a, const std::string& b) { return lstrcmpiA(a.c_str(), b.c_str()) == 0; }

std::string InstanceOf(const std::string& com) {
    HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return {};
    std::string instance;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; instance.empty() && SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key == INVALID_HANDLE_VALUE) continue;
        char port[64] = {};
        DWORD size = sizeof port - 1;
        DWORD type = 0;
        const LONG r = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size);
        RegCloseKey(key);
        if (r != ERROR_SUCCESS || type != REG_SZ) continue;
        port[std::min<DWORD>(size, sizeof port - 1)] = 0;
        if (!SameText(port, com)) continue;
        char id[512] = {};
        if (SetupDiGetDeviceInstanceIdA(set, &info, id, sizeof id, nullptr)) instance = id;
    }
    SetupDiDestroyDeviceInfoList(set);
    return instance;
}

}  // namespace

std::optional<DeviceIdentity> IdentifyPort(const std::string& name) {
    const std::string com = BareComName(name);
    DeviceIdentity id;
    id.instance = InstanceOf(com);
    if (!id.instance.empty()) return id;
    // A port outside the Ports class (a virtual pair's): there when listed.
    const auto ports = SystemSerialPorts();
    if (ports && std::any_of(ports->begin(), ports->end(), [&](const std::string& p) { return SameText(p, com); }))
        return id;
    return std::nullopt;
}

}  // namespace quennet
