#include <algorithm>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <filesystem>

#include "serial/posix/PortDiscovery.h"
#include "serial/posix/BoardAnnounce.h"
#include "serial/ComPort.h"

namespace quennet {

namespace fs = std::filesystem;

namespace {

// Drivers that register a tty for every UART slot the hardware might have,
// whether or not a UART answers there: the classic 8250/16550 driver, and
// the serial core's port devices that newer kernels put in between.
bool IsPlaceholderDriver(const std::string& driver) {
    return driver == "serial8250" || driver == "port";
}

std::string DriverOf(const fs::path& entry) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(entry / "device" / "driver", ec);
    if (ec) return {};
    return target.filename().string();
}

// The UART type of a serial-core port; 0 (unknown) means no UART is there.
// Returns -1 when the entry has no readable type.
long UartType(const fs::path& entry) {
    std::ifstream in(entry / "type");
    long type = -1;
    if (!(in >> type)) return -1;
    return type;
}

bool IsRealSerialPort(const fs::path& entry, const std::string& name) {
    std::error_code ec;
    // Bluetooth RFCOMM ttys have no parent device but exist only while bound.
    if (name.rfind("rfcomm", 0) == 0) return true;
    // Virtual terminals, pseudo-terminals and the console have no device.
    if (!fs::exists(entry / "device", ec)) return false;
    const long type = UartType(entry);
    if (IsPlaceholderDriver(DriverOf(entry))) return type > 0;
    return type != 0;
}

}  // namespace

std::optional<std::vector<std::string>> SerialPortsFromSysfs(const std::string& sysfsTtyDir) {
    std::error_code ec;
    fs::directory_iterator it(sysfsTtyDir, ec);
    if (ec) return std::nullopt;

    std::vector<std::string> ports;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) break;
        std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        if (!IsRealSerialPort(it->path(), name)) continue;
        // sysfs writes '/' in device names as '!'.
        std::replace(name.begin(), name.end(), '!', '/');
        ports.push_back("/dev/" + name);
    }
    std::sort(ports.begin(), ports.end());
    return ports;
}

std::optional<int> AdapterLatencyTimerMs(const std::string& sysfsTtyDir, const std::string& devicePath) {
    std::error_code ec;
    fs::path device = fs::canonical(devicePath, ec);
    if (ec) device = devicePath;
    const std::string name = device.filename().string();
    if (name.empty() || name == "." || name == "..") return std::nullopt;
    std::ifstream in(fs::path(sysfsTtyDir) / name / "device" / "latency_timer");
    // The attribute is a number and a line break; read no more than that.
    char text[8] = {};
    in.read(text, sizeof text - 1);
    int ms = 0, digits = 0;
    const auto got = in.gcount();
    for (std::streamsize i = 0; i < got && text[i] >= '0' && text[i] <= '9'; ++i, ++digits)
        ms = ms * 10 + (text[i] - '0');
    const bool rest = digits == got || (digits + 1 == got && text[digits] == '\n');
    if (digits == 0 || digits > 3 || !rest || ms < 1 || ms > 255) return std::nullopt;
    return ms;
}

std::optional<std::vector<std::string>> SystemSerialPorts() {
    auto ports = SerialPortsFromSysfs("/sys/class/tty");
    // Simulated boards come after the real devices, so that a user with
    // hardware finds their adapters first.
    if (const auto folder = posix::BoardAnnounceDir(false)) {
        if (!ports) ports.emplace();
        for (auto& board : posix::AnnouncedBoards(*folder)) ports->push_back(std::move(board));
    }
    return ports;
}

}  // namespace quennet
