#pragma once
#include <optional>
#include <string>
#include <vector>

namespace quennet {

// The serial devices that a sysfs tty class directory (normally
// /sys/class/tty) shows as really present, as "/dev/<name>" paths in text
// order; nothing when the directory cannot be read.
std::optional<std::vector<std::string>> SerialPortsFromSysfs(const std::string& sysfsTtyDir);

}  // namespace quennet
