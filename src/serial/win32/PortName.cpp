#include "serial/ComPort.h"
#include "serial/PortProblem.h"

namespace quennet {

// Devices live in the \\.\ namespace. COM1 to COM9 would also open by their
// bare names, but COM10 and above only with the prefix, so every bare name
// gets it. A name that already holds a separator is a path and stays.
std::string PortNameToPath(const std::string& name) {
    if (name.empty() || name.find_first_of("\\/") != std::string::npos) return name;
    return "\\\\.\\" + name;
}

std::string ExamplePortName() { return "COM5"; }

// A COM name is no file to look for: the next open is the test.
bool PortNamePresent(const std::string&) { return true; }

}  // namespace quennet
