#include <sys/stat.h>

#include "serial/ComPort.h"
#include "serial/PortProblem.h"

namespace quennet {

std::string PortNameToPath(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return name;
    return "/dev/" + name;
}

std::string ExamplePortName() { return "/dev/ttyUSB0"; }

bool PortNamePresent(const std::string& name) {
    // A link (by-id, a board's announcement) counts when what it names is there.
    struct stat st {};
    const std::string path = PortNameToPath(name);
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

}  // namespace quennet
