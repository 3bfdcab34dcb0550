#include "serial/DeviceIdentity.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quennet {
namespace {

DeviceIdentity Usb(const std::string& serial, const std::string& socket = "1-2", const std::string& product = "6001") {
    DeviceIdentity id;
    id.usbVendor = "0403";
    id.usbProduct = product;
    id.usbSerial = serial;
    id.usbInterface = "00";
    id.usbPort = socket;
    return id;
}

TEST(DeviceIdentityTest, SameDeviceOnlyWhenWhatIdentifiesItAgrees) {
    DeviceIdentity uart;
    uart.instance = "devices/platform/serial8250/tty/ttyS0";
    DeviceIdentity otherUart = uart;
    otherUart.instance = "devices/platform/serial8250/tty/ttyS1";
    DeviceIdentity byId;
    byId.byId = "usb-Board_1234-if00";
    DeviceIdentity secondInterface = Usb("A1");
    secondInterface.usbInterface = "01";
    struct Case {
        const char* what;
        DeviceIdentity a, b;
        bool same;
    } cases[] = {
        {"same serial number, other socket", Usb("A1", "1-2"), Usb("A1", "3-1"), true},
        {"other serial number", Usb("A1"), Usb("B2"), false},
        {"other product", Usb("A1"), Usb("A1", "1-2", "6015"), false},
        {"other interface of one adapter", Usb("A1"), secondInterface, false},
        {"no serial number, same socket", Usb(""), Usb(""), true},
        {"no serial number, other socket", Usb("", "1-2"), Usb("", "1-3"), false},
        {"serial number on one side only", Usb("A1"), Usb(""), false},
        {"on-board UART, same place", uart, uart, true},
        {"on-board UART, other place", uart, otherUart, false},
        {"USB against on-board", Usb("A1"), uart, false},
        {"by-id name alone", byId, byId, true},
        {"nothing known", DeviceIdentity{}, DeviceIdentity{}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SameDevice(c.a, c.b), c.same) << c.what;
        EXPECT_EQ(SameDevice(c.b, c.a), c.same) << c.what;
    }
}

// The ports of a fake machine: what is at each path now.
struct FakeMachine {
    std::map<std::string, DeviceIdentity> at;
    std::vector<std::string> Listed() const {
        std::vector<std::string> paths;
        for (const auto& [path, id] : at) paths.push_back(path);
        return paths;
    }
    IdentifyFn Identify() const {
        return [this](const std::string& path) -> std::optional<DeviceIdentity> {
            const auto it = at.find(path);
            if (it == at.end()) return std::nullopt;
            return it->second;
        };
    }
};

using Kind = DeviceReturn::Look::Kind;

TEST(DeviceIdentityTest, OnlyTheDeviceThatWentAwayIsFoundAgain) {
    DeviceIdentity link;
    link.viaLink = true;
    struct Step {
        std::map<std::string, DeviceIdentity> machine;
        Kind kind;
        std::string path;
    };
    struct Case {
        const char* what;
        DeviceIdentity lost;
        std::vector<Step> steps;
    } cases[] = {
        {"the adapter comes back at its path", Usb("A1"),
         {{{}, Kind::Wait, ""}, {{{"/dev/ttyUSB0", Usb("A1")}}, Kind::Back, "/dev/ttyUSB0"}}},
        {"another adapter takes the path: told once, never opened", Usb("A1"),
         {{{{"/dev/ttyUSB0", Usb("B2")}}, Kind::Stranger, "/dev/ttyUSB0"},
          {{{"/dev/ttyUSB0", Usb("B2")}}, Kind::Wait, ""},
          {{{"/dev/ttyUSB0", Usb("B2")}, {"/dev/ttyUSB1", Usb("A1")}}, Kind::Back, "/dev/ttyUSB1"}}},
        {"a pseudo-terminal reached by a link comes back behind it", link,
         {{{}, Kind::Wait, ""}, {{{"/dev/ttyUSB0", link}}, Kind::Back, "/dev/ttyUSB0"}}},
        {"a plain pseudo-terminal is never taken for the lost one", DeviceIdentity{},
         {{{{"/dev/ttyUSB0", DeviceIdentity{}}}, Kind::Wait, ""}}},
    };
    for (const Case& c : cases) {
        DeviceReturn watch("/dev/ttyUSB0", c.lost);
        FakeMachine machine;
        int n = 0;
        for (const Step& s : c.steps) {
            machine.at = s.machine;
            const DeviceReturn::Look look = watch.LookFor(machine.Identify(), machine.Listed());
            EXPECT_EQ(look.kind, s.kind) << c.what << ", look " << n;
            EXPECT_EQ(look.path, s.path) << c.what << ", look " << n;
            ++n;
        }
    }
}

TEST(DeviceIdentityTest, TheAdapterSerialComesFromWhereverTheSystemKeepsIt) {
    auto instance = [](const std::string& text) {
        DeviceIdentity id;
        id.instance = text;
        return id;
    };
    DeviceIdentity linked;
    linked.byId = "usb-Silicon_Labs_CP2102-if00-port0";
    const struct {
        DeviceIdentity id;
        const char* serial;
    } rows[] = {
        {Usb("A50285BI"), "A50285BI"},
        {instance(R"(USB\VID_10C4&PID_EA60\0001)"), "0001"},
        {instance(R"(USB\VID_2341&PID_0043\5&2C6A4B1&0&1)"), "-"},  // made up by Windows
        {instance(R"(FTDIBUS\VID_0403+PID_6001+A50285BIA\0000)"), "A50285BIA"},
        {instance(R"(ACPI\PNP0501\1)"), "-"},
        {linked, "usb-Silicon_Labs_CP2102-if00-port0"},
        {DeviceIdentity{}, "-"},
    };
    for (const auto& r : rows) EXPECT_EQ(AdapterSerialOf(r.id), r.serial) << r.id.instance;
}

}  // namespace
}  // namespace quennet
