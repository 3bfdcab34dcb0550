#pragma once
#include <optional>
#include <string>
#include <vector>

#include "serial/ComPort.h"

namespace quennet {

// What the command line asks of the window: a port to open at start with
// its rate and frame, or only the version or the usage. Options of one dash
// (-platform, -style) are the toolkit's and are left to it.
struct StartArguments {
    std::string port;
    std::string baud;
    std::optional<Frame> frame;
    bool version = false;
    bool help = false;
    std::string error;  // why the line was refused; empty when taken
};

StartArguments ParseStartArguments(const std::vector<std::string>& args);

// The usage text of --help.
std::string StartUsage();

}  // namespace quennet
