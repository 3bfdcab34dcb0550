#pragma once
#include <string>

namespace quennet {

// Why the port of that name (a path, or a bare name such as ttyUSB0) cannot
// be opened exclusively, as the end of a sentence that starts with the
// name: "was not found", "is busy: another program has it open", ... Meant
// for after a failed ComOpen; it only looks, and holds nothing afterwards.
// Each backend defines it.
std::string ExplainOpenFailure(const std::string& name);

// When the port of that name exists but this user may not read and write it:
// one line saying which group the user must join and how. Empty when the port
// is missing or open to this user. It only checks access and never opens the
// device, so the board's lines are left alone. Each backend defines it.
std::string PortAccessHint(const std::string& name);

// Whether a device of that name is there now (a path that exists); where
// the system cannot tell without opening it, true. Each backend defines it.
bool PortNamePresent(const std::string& name);

}  // namespace quennet
