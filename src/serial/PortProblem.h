#pragma once
#include <string>

namespace quennet {

// Why a port could not be opened, as the end of a sentence that starts with
// its name. Each backend records one of these (or a text of its own, with
// the system's words) in the call that refused: see SerialDevice::
// OpenProblem and ComPort::ComOpenProblem.
inline constexpr const char* kPortNotFound = "was not found";
inline constexpr const char* kPortBusy = "is busy: another program has it open";
inline constexpr const char* kPortNotSerial = "is not a serial device";
inline constexpr const char* kPortNotSetUp = "cannot be set up as a serial line";
inline constexpr const char* kPortCannotOpen = "cannot be opened";

// When the port of that name exists but this user may not read and write it:
// one line saying which group the user must join and how. Empty when the port
// is missing or open to this user. It only checks access and never opens the
// device, so the board's lines are left alone. Each backend defines it.
std::string PortAccessHint(const std::string& name);

// Whether a device of that name is there now (a path that exists); where
// the system cannot tell without opening it, true. Each backend defines it.
bool PortNamePresent(const std::string& name);

}  // namespace quennet
