#pragma once
#include <string>

namespace quennet {

// Why the port of that name (a path, or a bare name such as ttyUSB0) cannot
// be opened exclusively, as the end of a sentence that starts with the
// name: "was not found", "is busy: another program has it open", ... Meant
// for after a failed ComOpen; it only looks, and holds nothing afterwards.
// Each backend defines it.
std::string ExplainOpenFailure(const std::string& name);

}  // namespace quennet
