#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "TempDir.h"
#include "serial/ComPort.h"
#include "serial/PortProblem.h"
#include "serial/win32/PortDiscovery.h"
#include "serial/win32/Win32SerialDevice.h"

namespace quennet {
namespace {

TEST(Win32PortNameTest, BareNamesGetTheDevicePrefix) {
    EXPECT_EQ(PortNameToPath("COM5"), "\\\\.\\COM5");
    EXPECT_EQ(PortNameToPath("COM10"), "\\\\.\\COM10") << "opens only with the prefix";
    EXPECT_EQ(PortNameToPath("CNCA0"), "\\\\.\\CNCA0");
    EXPECT_EQ(PortNameToPath("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(PortNameToPath("C:/dev/x"), "C:/dev/x");
    EXPECT_EQ(PortNameToPath(""), "");
}

// A key of its own under the user's hive stands for SERIALCOMM.
class RegistryKey {
public:
    RegistryKey() {
        path_ = "Software\\QuennetTest\\SerialComm" + std::to_string(GetCurrentProcessId());
        ok_ = RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key_, nullptr) == ERROR_SUCCESS;
    }
    ~RegistryKey() {
        if (ok_) RegCloseKey(key_);
        RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\QuennetTest");
    }
    void Put(const char* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExA(key_, name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }
    void PutText(const char* name, const std::string& text) {
        Put(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    bool ok() const { return ok_; }
    const std::string& path() const { return path_; }

private:
    HKEY key_ = nullptr;
    bool ok_ = false;
    std::string path_;
};

TEST(Win32PortDiscoveryTest, ListsTheNamesOfTheKeyInTextOrder) {
    RegistryKey key;
    ASSERT_TRUE(key.ok());
    EXPECT_EQ(win32::SerialPortsFromRegistry(HKEY_CURRENT_USER, key.path().c_str()),
              std::vector<std::string>{}) << "an empty key is an empty list, not a failure";

    key.PutText("\\Device\\Serial0", "COM1");
    key.PutText("\\Device\\VCP0", "COM10");
    key.PutText("\\Device\\VCP1", "COM2");
    key.PutText("\\Device\\Again", "COM2");
    key.PutText("\\Device\\Empty", "");
    const DWORD number = 7;
    key.Put("\\Device\\Number", REG_DWORD, &number, sizeof number);
    // Stored without its terminator, and with bytes after an inner NUL.
    key.Put("\\Device\\Bare", REG_SZ, "COM7", 4);
    key.Put("\\Device\\Inner", REG_SZ, "COM8\0junk", 10);
    std::string longName(300, 'X');
    key.PutText("\\Device\\Long", longName);

    const auto ports = win32::SerialPortsFromRegistry(HKEY_CURRENT_USER, key.path().c_str());
    ASSERT_TRUE(ports.has_value());
    EXPECT_EQ(*ports, (std::vector<std::string>{"COM1", "COM10", "COM2", "COM7", "COM8", longName}));

    EXPECT_FALSE(win32::SerialPortsFromRegistry(HKEY_CURRENT_USER, "Software\\QuennetTest\\None")
                     .has_value());
}

TEST(Win32OpenTest, MissingPortsAndOrdinaryFilesAreRefusedWithTheirReason) {
    Win32SerialDevice device;
    EXPECT_FALSE(device.Open(PortNameToPath("COM231")));
    EXPECT_EQ(device.OpenProblem(), "was not found");
    EXPECT_FALSE(device.Open(""));
    EXPECT_EQ(device.OpenProblem(), "was not found");

    testing::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string file = dir.Write("not-a-port.txt", "text");
    EXPECT_FALSE(device.Open(file)) << "a handle without line settings is no serial device";
    EXPECT_EQ(device.OpenProblem(), "is not a serial device");
    // Refused opens hold nothing: the file can be removed at once.
    EXPECT_TRUE(DeleteFileA(file.c_str()));

    std::uint32_t count = 0;
    std::uint8_t byte = 0;
    EXPECT_FALSE(device.QueryWaiting(count));
    EXPECT_EQ(device.Read(&byte, 1), -1);
    EXPECT_EQ(device.Write(&byte, 1), -1);
    EXPECT_FALSE(device.WaitReadable(1000));
    EXPECT_TRUE(device.Close()) << "closing a closed device is no failure";
}

}  // namespace
}  // namespace quennet
