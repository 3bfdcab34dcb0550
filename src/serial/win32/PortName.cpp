#include "serial/ComPort.h"

namespace quennet {

// Devices live in the \\.\ namespace. COM1 to COM9 would also open by their
// bare names, but COM10 and above only with the prefix, so every bare name
// gets it. A name that already holds a separator is a path and stays.
std::string PortNameToPath(const std::string& name) {
    if (name.empty() || name.find_first_of("\\/") != std::string::npos) return name;
    return "\\\\.\\" + name;
}

std::string ExamplePortName() { return "COM5"; }

}  // namespace quennet
