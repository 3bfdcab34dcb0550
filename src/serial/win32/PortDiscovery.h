#pragma once
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace quennet::win32 {

// Where Windows lists the serial devices that are present: one value per
// device, its data the port name (COM3, ...).
inline constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The port names listed under root\subKey, in text order without repeats;
// nothing when the key cannot be opened. Values that are not text, or are
// empty, are passed over; a text is read up to its first NUL.
std::optional<std::vector<std::string>> SerialPortsFromRegistry(HKEY root, const char* subKey);

}  // namespace quennet::win32
