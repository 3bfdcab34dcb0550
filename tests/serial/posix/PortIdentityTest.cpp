#include "serial/posix/PortIdentity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"

namespace quennet {
namespace {

namespace fs = std::filesystem;

// A machine in a folder: sys/ as sysfs lays out USB serial adapters and
// on-board UARTs, dev/ with the device nodes, by-id/ with udev's links.
class FakeMachine {
public:
    std::string Sys() const { return (dir.path() / "sys").string(); }
    std::string ById() const { return (dir.path() / "by-id").string(); }
    std::string Dev(const std::string& tty) const { return (dir.path() / "dev" / tty).string(); }

    // An adapter in hub socket `socket`; FTDI's driver puts the tty below a
    // port device of the interface, CDC-ACM right on the interface.
    void Plug(const std::string& tty, const std::string& socket, const std::string& serial, bool acm = false) {
        const fs::path usb = dir.path() / "sys/devices/pci0000:00/usb1" / socket;
        const fs::path iface = usb / (socket + ":1.0");
        const fs::path device = acm ? iface : iface / tty;
        fs::create_directories(device);
        Write(usb / "idVendor", acm ? "2e8a" : "0403");
        Write(usb / "idProduct", acm ? "000a" : "6001");
        if (!serial.empty()) Write(usb / "serial", serial);
        Write(iface / "bInterfaceNumber", "00");
        Node(tty, device);
        if (!serial.empty()) fs::create_symlink(Dev(tty), dir.path() / "by-id" / ("usb-" + serial + "-if00"));
    }
    void OnBoardUart(const std::string& tty) {
        const fs::path device = dir.path() / "sys/devices/platform/serial8250" / tty;
        fs::create_directories(device);
        Node(tty, device);
    }
    void Unplug(const std::string& tty) {
        fs::remove(Dev(tty));
        fs::remove(dir.path() / "sys/class/tty" / tty / "device");
        for (const auto& e : fs::directory_iterator(dir.path() / "by-id"))
            if (!fs::exists(e.path())) fs::remove(e.path());
        fs::remove_all(dir.path() / "sys/devices");
    }
    std::optional<DeviceIdentity> Identify(const std::string& path) const {
        return posix::IdentifyPortIn(Sys(), ById(), path);
    }

    FakeMachine() {
        fs::create_directories(dir.path() / "dev");
        fs::create_directories(dir.path() / "by-id");
        fs::create_directories(dir.path() / "sys/class/tty");
    }

private:
    static void Write(const fs::path& file, const std::string& text) { std::ofstream(file) << text << "\n"; }
    void Node(const std::string& tty, const fs::path& device) {
        std::ofstream(Dev(tty)).put('\0');
        fs::create_directories(dir.path() / "sys/class/tty" / tty);
        fs::create_symlink(device, dir.path() / "sys/class/tty" / tty / "device");
    }
    testing::TempDir dir;
};

TEST(PortIdentityTest, IdentifiesAdaptersAndUartsFromTheDeviceTree) {
    FakeMachine m;
    m.Plug("ttyUSB0", "1-2", "A50285BI");
    m.Plug("ttyACM0", "1-3", "", true);
    m.OnBoardUart("ttyS0");
    fs::create_symlink(m.Dev("ttyUSB0"), m.Dev("board"));

    const auto ftdi = m.Identify(m.Dev("ttyUSB0"));
    ASSERT_TRUE(ftdi);
    EXPECT_EQ(ftdi->usbVendor + ":" + ftdi->usbProduct + " " + ftdi->usbSerial + " if" + ftdi->usbInterface + " @" +
                  ftdi->usbPort + " " + ftdi->byId,
              "0403:6001 A50285BI if00 @1-2 usb-A50285BI-if00");
    EXPECT_FALSE(ftdi->viaLink);
    const auto acm = m.Identify(m.Dev("ttyACM0"));
    ASSERT_TRUE(acm);
    EXPECT_EQ(acm->usbVendor + ":" + acm->usbProduct + " [" + acm->usbSerial + "] if" + acm->usbInterface + " @" +
                  acm->usbPort,
              "2e8a:000a [] if00 @1-3");
    const auto uart = m.Identify(m.Dev("ttyS0"));
    ASSERT_TRUE(uart);
    EXPECT_EQ(uart->instance, "devices/platform/serial8250/ttyS0");
    EXPECT_TRUE(uart->usbVendor.empty() && uart->usbInterface.empty());
    const auto viaLink = m.Identify(m.Dev("board"));
    ASSERT_TRUE(viaLink);
    EXPECT_TRUE(viaLink->viaLink);
    EXPECT_TRUE(SameDevice(*viaLink, *ftdi));
    EXPECT_FALSE(m.Identify(m.Dev("ttyUSB9")));
}

// The device at a remembered path is replaced by another: it is not taken
// for the lost one; the lost one is, at its path or at another.
TEST(PortIdentityTest, AnotherAdapterAtTheRememberedPathIsNotTheLostOne) {
    FakeMachine m;
    m.Plug("ttyUSB0", "1-2", "A50285BI");
    const auto lost = m.Identify(m.Dev("ttyUSB0"));
    ASSERT_TRUE(lost);
    DeviceReturn watch(m.Dev("ttyUSB0"), *lost);
    const IdentifyFn identify = [&m](const std::string& p) { return m.Identify(p); };
    const std::vector<std::string> listed{m.Dev("ttyUSB0"), m.Dev("ttyUSB1")};

    m.Unplug("ttyUSB0");
    EXPECT_EQ(watch.LookFor(identify, listed).kind, DeviceReturn::Look::Kind::Wait);
    m.Plug("ttyUSB0", "1-2", "FT9ZZ001");
    EXPECT_EQ(watch.LookFor(identify, listed).kind, DeviceReturn::Look::Kind::Stranger);
    m.Plug("ttyUSB1", "1-4", "A50285BI");
    auto look = watch.LookFor(identify, listed);
    EXPECT_EQ(look.kind, DeviceReturn::Look::Kind::Back);
    EXPECT_EQ(look.path, m.Dev("ttyUSB1"));

    m.Unplug("ttyUSB0");
    m.Unplug("ttyUSB1");
    m.Plug("ttyUSB0", "1-4", "A50285BI");
    look = watch.LookFor(identify, listed);
    EXPECT_EQ(look.kind, DeviceReturn::Look::Kind::Back);
    EXPECT_EQ(look.path, m.Dev("ttyUSB0"));
}

}  // namespace
}  // namespace quennet
