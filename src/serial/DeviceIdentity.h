#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quennet {

// What tells one serial device from another, taken when a port opens so
// that the device can be recognised when a path shows up again.
struct DeviceIdentity {
    // A USB device (hex IDs and texts as the system shows them). The serial
    // number is empty for adapters that have none; those are then told
    // apart by the hub port they sit in (usbPort, such as "1-1.2").
    std::string usbVendor;
    std::string usbProduct;
    std::string usbSerial;
    std::string usbInterface;
    std::string usbPort;
    // A device that is not on USB: where the system places it (a sysfs
    // device path on Linux, the device instance ID on Windows).
    std::string instance;
    // The /dev/serial/by-id name that leads to the device, where one does.
    std::string byId;
    // The name the port was opened by is a link (a by-id path, a board's
    // link): whatever it leads to later was put there on purpose.
    bool viaLink = false;

    // Whether anything above tells this device from others.
    bool Known() const { return !usbVendor.empty() || !instance.empty() || !byId.empty(); }
    bool operator==(const DeviceIdentity&) const = default;
};

// Whether two identities name the same device. Identities that tell
// nothing never match.
bool SameDevice(const DeviceIdentity& a, const DeviceIdentity& b);

// A short text for the status bar: "0403:6001 serial A50285BI", ... or
// empty when nothing is known.
std::string DescribeDevice(const DeviceIdentity& id);

// The adapter's serial number as a production report names it: the USB
// serial number, else the one inside a Windows device instance ID
// (USB\VID_0403&PID_6001\A50285BI, FTDIBUS\VID_0403+PID_6001+A50285BIA\0000),
// else the by-id name; "-" when nothing tells it.
std::string AdapterSerialOf(const DeviceIdentity& id);

// Identifies the device that a port name (a path, or a bare name such as
// ttyUSB0 or COM5) leads to now; nothing when no device is there. Each
// backend defines it.
std::optional<DeviceIdentity> IdentifyPort(const std::string& name);

using IdentifyFn = std::function<std::optional<DeviceIdentity>(const std::string& name)>;

// Waits for a device that went away to come back, at its own path or at
// another one of the port list, and recognises it by its identity. A
// device that nothing identifies is waited for at its path only when that
// path is a link (chosen to name one device); a plain path such as
// /dev/pts/3 may be given to anything next.
class DeviceReturn {
public:
    DeviceReturn(std::string path, DeviceIdentity identity);

    // Whether looking can ever find the device again.
    bool Recognisable() const { return identity_.Known() || identity_.viaLink; }

    struct Look {
        enum class Kind {
            Wait,      // not back (yet)
            Back,      // back at path: open it
            Stranger,  // another device has taken the lost one's path
        } kind = Kind::Wait;
        std::string path;
        DeviceIdentity found;  // what is at path (Stranger, Back)
    };
    // One look at the lost path and at the ports listed. Stranger is told
    // once per device that takes the path; the look after it waits on.
    Look LookFor(const IdentifyFn& identify, const std::vector<std::string>& ports);

    const std::string& Path() const { return path_; }
    // The status bar's words: what happens now that the device went away
    // (a sentence to append); that a stranger took its path; that it is
    // back (at look.path).
    std::string WaitNote() const;
    std::string StrangerNote(const Look& look) const;
    std::string BackNote(const Look& look) const;
    const DeviceIdentity& Identity() const { return identity_; }

private:
    std::string path_;
    DeviceIdentity identity_;
    std::optional<DeviceIdentity> strangerTold_;
};

}  // namespace quennet
