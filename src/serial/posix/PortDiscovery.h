#pragma once
#include <optional>
#include <string>
#include <vector>

namespace quennet {

// The serial devices that a sysfs tty class directory (normally
// /sys/class/tty) shows as really present, as "/dev/<name>" paths in text
// order; nothing when the directory cannot be read.
std::optional<std::vector<std::string>> SerialPortsFromSysfs(const std::string& sysfsTtyDir);

// The latency timer of the USB adapter behind a device path (a link such as
// /dev/serial/by-id/... is followed), in milliseconds (1 to 255), as the
// driver shows it under the sysfs tty class directory: only FTDI's driver
// has one. Nothing when it cannot be read.
std::optional<int> AdapterLatencyTimerMs(const std::string& sysfsTtyDir, const std::string& devicePath);

}  // namespace quennet
