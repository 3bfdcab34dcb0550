#include "serial/DeviceIdentity.h"

#include <utility>

namespace quennet {

bool SameDevice(const DeviceIdentity& a, const DeviceIdentity& b) {
    if (!a.usbVendor.empty() || !b.usbVendor.empty()) {
        if (a.usbVendor != b.usbVendor || a.usbProduct != b.usbProduct || a.usbInterface != b.usbInterface)
            return false;
        // Adapters without a serial number are told apart by their socket.
        if (a.usbSerial.empty() && b.usbSerial.empty()) return a.usbPort == b.usbPort;
        return a.usbSerial == b.usbSerial;
    }
    if (!a.instance.empty() || !b.instance.empty()) return a.instance == b.instance;
    return !a.byId.empty() && a.byId == b.byId;
}

std::string DescribeDevice(const DeviceIdentity& id) {
    if (!id.usbVendor.empty()) {
        std::string text = "USB " + id.usbVendor + ":" + id.usbProduct;
        if (!id.usbSerial.empty()) text += " serial " + id.usbSerial;
        return text;
    }
    if (!id.byId.empty()) return id.byId;
    return id.instance;
}

DeviceReturn::DeviceReturn(std::string path, DeviceIdentity identity)
    : path_(std::move(path)), identity_(std::move(identity)) {}

DeviceReturn::Look DeviceReturn::LookFor(const IdentifyFn& identify, const std::vector<std::string>& ports) {
    Look look;
    if (!Recognisable() || !identify) return look;
    bool strangerHere = false;
    if (const auto here = identify(path_)) {
        // Nothing identifies the lost device: the link it was reached by
        // names it, and what the link leads to now is taken as the device.
        if (!identity_.Known() || SameDevice(*here, identity_)) {
            look.kind = Look::Kind::Back;
            look.path = path_;
            look.found = *here;
            return look;
        }
        strangerHere = true;
        look.found = *here;
    }
    // The same device may come back under another name (ttyUSB1 once
    // ttyUSB0 is taken).
    if (identity_.Known()) {
        for (const std::string& other : ports) {
            if (other == path_) continue;
            const auto there = identify(other);
            if (there && SameDevice(*there, identity_)) {
                look.kind = Look::Kind::Back;
                look.path = other;
                look.found = *there;
                return look;
            }
        }
    }
    if (strangerHere && strangerTold_ != look.found) {
        strangerTold_ = look.found;
        look.kind = Look::Kind::Stranger;
        look.path = path_;
        return look;
    }
    look.found = {};
    return look;
}

std::string DeviceReturn::WaitNote() const {
    if (Recognisable()) return " It is opened again when it comes back.";
    return " It is not opened again by itself: nothing tells it from the next device at that path"
           " (a link name, such as a /dev/serial/by-id one, would).";
}

std::string DeviceReturn::StrangerNote(const Look& look) const {
    const std::string what = DescribeDevice(look.found);
    return "Another device" + (what.empty() ? std::string() : " (" + what + ")") + " is now at " + path_ +
           "; it is left alone, and the device that went away is still waited for.";
}

std::string DeviceReturn::BackNote(const Look& look) const {
    if (look.path == path_) return "The device " + path_ + " is back; the port is open again.";
    return "The device " + path_ + " is back as " + look.path + "; the port is open again.";
}

std::string AdapterSerialOf(const DeviceIdentity& id) {
    if (!id.usbSerial.empty()) return id.usbSerial;
    const std::string& in = id.instance;
    const auto first = in.find('\\');
    const auto last = in.rfind('\\');
    if (first != std::string::npos && last != first) {
        const std::string bus = in.substr(0, first);
        if (bus == "USB") {
            // Windows makes up an ID with '&' in it for a device that has no
            // serial number of its own.
            const std::string tail = in.substr(last + 1);
            if (!tail.empty() && tail.find('&') == std::string::npos) return tail;
        } else if (bus == "FTDIBUS") {
            const std::string ids = in.substr(first + 1, last - first - 1);
            const auto plus = ids.rfind('+');
            if (plus != std::string::npos && plus + 1 < ids.size()) return ids.substr(plus + 1);
        }
    }
    if (!id.byId.empty()) return id.byId;
    return "-";
}

}  // namespace quennet
