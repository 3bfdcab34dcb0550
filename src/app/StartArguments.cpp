#include "app/StartArguments.h"

#include "core/BaudText.h"
#include "serial/FrameText.h"

namespace quennet {

StartArguments ParseStartArguments(const std::vector<std::string>& args) {
    StartArguments a;
    for (std::size_t i = 0; i < args.size() && a.error.empty(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) continue;
        std::string name = arg;
        std::optional<std::string> value;
        if (const std::size_t eq = arg.find('='); eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        const auto take = [&]() -> std::optional<std::string> {
            if (value) return value;
            if (i + 1 < args.size()) return args[++i];
            a.error = name + " needs a value";
            return std::nullopt;
        };
        if (name == "--version") {
            a.version = true;
        } else if (name == "--help") {
            a.help = true;
        } else if (name == "--port") {
            if (auto v = take()) a.port = *v;
        } else if (name == "--baud") {
            if (auto v = take()) {
                a.baud = *v;
                if (ParseBaudText(*v) == 0) a.error = "--baud takes a rate in baud, not " + *v;
            }
        } else if (name == "--frame") {
            if (auto v = take()) {
                a.frame = ParseFrameText(*v);
                if (!a.frame) a.error = "--frame takes data bits, parity and stop bits (8N1, 7E2), not " + *v;
            }
        } else {
            a.error = "unknown option " + name;
        }
    }
    if (a.error.empty() && a.port.empty() && (!a.baud.empty() || a.frame))
        a.error = "--baud and --frame go with --port";
    return a;
}

std::string StartUsage() {
    return "Usage: quennet [--port PORT [--baud N] [--frame 8N1]]\n"
           "       quennet --version | --help\n"
           "\n"
           "  --port PORT   open this serial port in the terminal at start\n"
           "  --baud N      its rate (the stored one when left out)\n"
           "  --frame 8N1   data bits 5-8, parity N/E/O/M/S, stop bits 1 or 2\n"
           "  --version     print the version and exit\n"
           "  --help        print this text and exit\n";
}

}  // namespace quennet
