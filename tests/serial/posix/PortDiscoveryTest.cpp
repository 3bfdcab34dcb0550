#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "serial/ComPort.h"
#include "serial/posix/BoardAnnounce.h"
#include "serial/posix/PortDiscovery.h"

namespace quennet {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// A small copy of the sysfs layout: class/tty/<name> with a `device` link to
// a device directory whose `driver` links to a driver directory, and for
// serial-core ports a `type` file.
class FakeSysfs {
public:
    FakeSysfs() {
        root_ = fs::temp_directory_path() /
                ("quennet-sysfs-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::remove_all(root_);
        fs::create_directories(TtyDir());
        fs::create_directories(root_ / "drivers");
        fs::create_directories(root_ / "devices");
    }
    ~FakeSysfs() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    FakeSysfs(const FakeSysfs&) = delete;
    FakeSysfs& operator=(const FakeSysfs&) = delete;

    fs::path TtyDir() const { return root_ / "class" / "tty"; }

    // A tty with no parent device (virtual consoles, ptmx, console).
    void Virtual(const std::string& name) { fs::create_directories(TtyDir() / name); }

    // A tty backed by a device bound to driver; type < 0 writes no type file.
    void Serial(const std::string& name, const std::string& driver, int type = -1) {
        const fs::path entry = TtyDir() / name;
        fs::create_directories(entry);
        const fs::path dev = root_ / "devices" / name;
        fs::create_directories(dev);
        if (!driver.empty()) {
            fs::create_directories(root_ / "drivers" / driver);
            fs::create_directory_symlink(root_ / "drivers" / driver, dev / "driver");
        }
        fs::create_directory_symlink(dev, entry / "device");
        if (type >= 0) std::ofstream(entry / "type") << type << "\n";
    }

private:
    static inline int counter_ = 0;
    fs::path root_;
};

TEST(PortDiscoveryTest, ListsPresentPortsSortedAsText) {
    FakeSysfs sys;
    sys.Virtual("tty0");
    sys.Virtual("tty63");
    sys.Virtual("console");
    sys.Virtual("ptmx");
    sys.Serial("ttyS0", "serial8250", 4);   // a 16550A that exists
    sys.Serial("ttyS1", "serial8250", 0);   // an empty legacy slot
    sys.Serial("ttyS2", "port", 0);         // newer kernels: serial-core port device
    sys.Serial("ttyS3", "port", 4);
    sys.Serial("ttyS4", "serial8250");      // no type to tell: left out
    sys.Serial("ttyUSB0", "ftdi_sio");
    sys.Serial("ttyACM10", "cdc_acm");
    sys.Serial("ttyACM2", "cdc_acm");
    sys.Serial("ttyAMA0", "uart-pl011", 91);
    sys.Serial("ttymxc1", "imx-uart", 0);   // serial core reports no UART
    sys.Serial("ttyGS0", "");               // a device without a bound driver
    sys.Virtual("rfcomm0");                 // bound Bluetooth link: no parent device

    const auto ports = SerialPortsFromSysfs(sys.TtyDir().string());
    ASSERT_TRUE(ports.has_value());
    const Names expected = {"/dev/rfcomm0", "/dev/ttyACM10", "/dev/ttyACM2", "/dev/ttyAMA0",
                            "/dev/ttyGS0",  "/dev/ttyS0",    "/dev/ttyS3",   "/dev/ttyUSB0"};
    EXPECT_EQ(*ports, expected);
}

TEST(PortDiscoveryTest, NamesWithSlashesBecomeSubdirectories) {
    FakeSysfs sys;
    sys.Serial("usb!ttyX0", "some_driver");
    const auto ports = SerialPortsFromSysfs(sys.TtyDir().string());
    ASSERT_TRUE(ports.has_value());
    EXPECT_EQ(*ports, (Names{"/dev/usb/ttyX0"}));
}

TEST(PortDiscoveryTest, AdapterLatencyTimerIsReadOnlyWhenItIsAPlainNumberInRange) {
    const std::pair<const char*, std::optional<int>> cases[] = {
        {"16\n", 16}, {"1", 1},       {"255\n", 255},        {"0\n", std::nullopt},
        {"256\n", std::nullopt},       {"16 ms\n", std::nullopt}, {"-1\n", std::nullopt},
        {"", std::nullopt},            {"\n", std::nullopt},    {"00000000016\n", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        FakeSysfs sys;
        sys.Serial("ttyUSB0", "ftdi_sio");
        std::ofstream(sys.TtyDir() / "ttyUSB0" / "device" / "latency_timer") << text;
        EXPECT_EQ(AdapterLatencyTimerMs(sys.TtyDir().string(), "/dev/ttyUSB0"), expected) << text;
    }
    FakeSysfs sys;
    sys.Serial("ttyACM0", "cdc_acm");  // no latency timer
    EXPECT_EQ(AdapterLatencyTimerMs(sys.TtyDir().string(), "/dev/ttyACM0"), std::nullopt);

    // A link such as /dev/serial/by-id/... names the device it points to.
    sys.Serial("ttyUSB3", "ftdi_sio");
    std::ofstream(sys.TtyDir() / "ttyUSB3" / "device" / "latency_timer") << "2\n";
    const fs::path dev = sys.TtyDir().parent_path() / "dev";
    fs::create_directories(dev);
    std::ofstream(dev / "ttyUSB3").put('\0');
    fs::create_symlink(dev / "ttyUSB3", dev / "usb-FTDI_FT232R-if00-port0");
    EXPECT_EQ(AdapterLatencyTimerMs(sys.TtyDir().string(), (dev / "usb-FTDI_FT232R-if00-port0").string()), 2);
}

TEST(PortDiscoveryTest, EmptyAndMissingDirectories) {
    FakeSysfs sys;
    sys.Virtual("tty1");
    const auto none = SerialPortsFromSysfs(sys.TtyDir().string());
    ASSERT_TRUE(none.has_value()) << "a readable list without ports is an empty list";
    EXPECT_TRUE(none->empty());

    EXPECT_FALSE(SerialPortsFromSysfs((sys.TtyDir() / "no-such-dir").string()).has_value());
    EXPECT_FALSE(SerialPortsFromSysfs("").has_value());
}

TEST(PortDiscoveryTest, SystemListIsSortedDevicesThenAnnouncedBoards) {
    const auto ports = SystemSerialPorts();
    // Boards that other tests or programs run meanwhile may be listed after
    // the real devices; only those come from the announce folder.
    const auto folder = posix::BoardAnnounceDir(false);
    auto isBoard = [&](const std::string& p) { return folder && p.rfind(*folder + "/", 0) == 0; };
    if (!fs::exists("/sys/class/tty") && !folder) {
        EXPECT_FALSE(ports.has_value());
        return;
    }
    ASSERT_TRUE(ports.has_value());
    const auto firstBoard = std::find_if(ports->begin(), ports->end(), isBoard);
    EXPECT_TRUE(std::is_sorted(ports->begin(), firstBoard));
    EXPECT_TRUE(std::all_of(firstBoard, ports->end(), isBoard)) << "boards come after every device";
    for (auto it = ports->begin(); it != firstBoard; ++it) EXPECT_EQ(it->rfind("/dev/", 0), 0u) << *it;
    for (const auto& p : *ports) EXPECT_EQ(PortNameToPath(p), p) << "listed names open as they stand";
}

}  // namespace
}  // namespace quennet
