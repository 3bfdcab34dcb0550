#pragma once
#include <optional>
#include <string>

#include "serial/DeviceIdentity.h"

namespace quennet::posix {

// IdentifyPort with the system's folders given: sysRoot stands for /sys
// (the tty class and the device tree below it) and byIdDir for
// /dev/serial/by-id. A USB device is found by walking up from the tty's
// device to the USB device that holds its IDs.
std::optional<DeviceIdentity> IdentifyPortIn(const std::string& sysRoot, const std::string& byIdDir,
                                             const std::string& name);

}  // namespace quennet::posix
