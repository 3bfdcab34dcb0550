#include "serial/posix/PortIdentity.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "serial/ComPort.h"

namespace quennet {

namespace fs = std::filesystem;

namespace posix {

namespace {

// The first line of a sysfs attribute, at most a short text; empty when it
// cannot be read.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string text;
    if (!in || !std::getline(in, text)) return {};
    if (text.size() > 128) text.resize(128);
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

bool Exists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

// The tty's name as its sysfs class directory spells it: the path below
// /dev with '/' written as '!'; a file elsewhere (a test's) by its own name.
std::string SysfsName(const fs::path& device) {
    const std::string text = device.string();
    std::string name = text.rfind("/dev/", 0) == 0 ? text.substr(5) : device.filename().string();
    std::replace(name.begin(), name.end(), '/', '!');
    return name;
}

void FromSysfs(const fs::path& sysRoot, const fs::path& device, DeviceIdentity& id) {
    std::error_code ec;
    const fs::path tty = sysRoot / "class" / "tty" / SysfsName(device) / "device";
    fs::path dir = fs::canonical(tty, ec);
    if (ec) return;
    const fs::path top = fs::canonical(sysRoot, ec);
    if (ec) return;
    for (fs::path at = dir; !at.empty() && at != top && at != at.root_path(); at = at.parent_path()) {
        if (id.usbInterface.empty() && Exists(at / "bInterfaceNumber")) id.usbInterface = Attribute(at / "bInterfaceNumber");
        if (Exists(at / "idVendor")) {
            id.usbVendor = Attribute(at / "idVendor");
            id.usbProduct = Attribute(at / "idProduct");
            id.usbSerial = Attribute(at / "serial");
            id.usbPort = at.filename().string();
            return;
        }
    }
    // Not on USB: the device's place in the tree stays the same.
    id.usbInterface.clear();
    id.instance = dir.lexically_relative(top).string();
}

void FromById(const fs::path& byIdDir, const fs::path& device, DeviceIdentity& id) {
    std::error_code ec;
    fs::directory_iterator it(byIdDir, ec);
    if (ec) return;
    for (const fs::directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return;
        std::error_code linkEc;
        if (fs::canonical(it->path(), linkEc) == device && !linkEc) {
            id.byId = it->path().filename().string();
            return;
        }
    }
}

}  // namespace

std::optional<DeviceIdentity> IdentifyPortIn(const std::string& sysRoot, const std::string& byIdDir,
                                             const std::string& name) {
    const std::string path = PortNameToPath(name);
    if (path.empty()) return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    DeviceIdentity id;
    id.viaLink = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    std::error_code ec;
    const fs::path device = fs::canonical(path, ec);
    if (ec) return id;
    FromSysfs(sysRoot, device, id);
    FromById(byIdDir, device, id);
    return id;
}

}  // namespace posix

std::optional<DeviceIdentity> IdentifyPort(const std::string& name) {
    return posix::IdentifyPortIn("/sys", "/dev/serial/by-id", name);
}

}  // namespace quennet
