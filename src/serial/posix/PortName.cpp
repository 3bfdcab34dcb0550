#include "serial/ComPort.h"

namespace quennet {

std::string PortNameToPath(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return name;
    return "/dev/" + name;
}

std::string ExamplePortName() { return "/dev/ttyUSB0"; }

}  // namespace quennet
