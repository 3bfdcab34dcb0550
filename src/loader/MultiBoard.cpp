#include "loader/MultiBoard.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace quennet {

namespace {

// Options of a single run that take a value: their value is never one of ours.
bool TakesValue(const std::string& name) { return name == "--target" || name == "--address"; }

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

}  // namespace

ProductionArgs ParseProductionArgs(const std::vector<std::string>& args) {
    ProductionArgs r;
    bool ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (ended || arg.rfind("--", 0) != 0) {
            r.runArgs.push_back(arg);
            if (arg == "--") ended = true;
            continue;
        }
        const auto eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        const bool inlineValue = eq != std::string::npos;
        const bool ours = name == "--port" || name == "--ports" || name == "--count" || name == "--report";
        if (!ours) {
            if (name == "--watch" || name == "--worker") {
                if (inlineValue) {
                    r.error = "option " + name + " takes no value";
                    return r;
                }
                (name == "--watch" ? r.watch : r.worker) = true;
                continue;
            }
            r.runArgs.push_back(arg);
            if (!inlineValue && TakesValue(name) && i + 1 < args.size()) r.runArgs.push_back(args[++i]);
            continue;
        }
        std::string value;
        if (inlineValue) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        }
        if (value.empty()) {
            r.error = name + " needs a value";
            return r;
        }
        if (name == "--port") {
            r.ports.push_back(value);
        } else if (name == "--ports") {
            r.patterns.push_back(value);
        } else if (name == "--report") {
            r.reportPath = value;
        } else {
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (!end || *end != '\0' || n < 1 || n > 1000000) {
                r.error = "--count takes a number of boards from 1 up, not " + value;
                return r;
            }
            r.count = static_cast<int>(n);
        }
    }
    if (r.count > 0 && !r.watch) r.error = "--count goes with --watch";
    else if (r.worker && (r.ports.size() != 1 || !r.patterns.empty() || r.watch || !r.reportPath.empty()))
        r.error = "--worker runs one --port alone";
    else if (r.watch && r.ports.empty() && r.patterns.empty())
        r.error = "--watch needs the ports to watch (--ports PATTERN or --port)";
    return r;
}

std::string ProductionUsage() {
    return "Many boards at once:\n"
           "  --port PORT      may be given more than once; every board runs at the\n"
           "                   same time, its lines prefixed with its short name\n"
           "  --ports PATTERN  every port whose name matches (/dev/ttyUSB*, COM*)\n"
           "  --watch          wait for ports to appear, program each new board once,\n"
           "                   then wait for it to go; until Ctrl+C or --count boards\n"
           "  --count N        with --watch: stop after N boards\n"
           "  --report FILE    append one CSV row per board to FILE\n"
           "  --read FILE      with many boards: one file per board, its short name\n"
           "                   before the extension (dump.hex: dump-USB0.hex; with\n"
           "                   --watch also the board's number: dump-USB0-3.hex)\n"
           "  --erase          with many boards: erases every board\n";
}

std::vector<std::string> WorkerArgs(const ProductionArgs& args, const std::string& port,
                                    const std::string& readPath) {
    std::vector<std::string> a{"--worker", "--port", port};
    a.insert(a.end(), args.runArgs.begin(), args.runArgs.end());
    if (!readPath.empty()) {
        // The last --read counts: this one goes after the others, before
        // the "--" that would make it a file name.
        const auto end = std::find(a.begin() + 3, a.end(), "--");
        a.insert(end, "--read=" + readPath);
    }
    return a;
}

std::string BoardFilePath(const std::string& path, const std::string& tag) {
    const auto slash = path.find_last_of("/\\");
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    auto dot = path.rfind('.');
    if (dot == std::string::npos || dot < base) dot = path.size();
    return path.substr(0, dot) + "-" + tag + path.substr(dot);
}

std::string BoardShortName(const std::string& port) {
    const std::string base = BaseName(port);
    if (port.find("/by-id/") != std::string::npos) {
        // usb-Vendor_Product_SERIAL-if00-port0: the serial number tells
        // adapters of one kind apart.
        std::string name = base;
        std::string iface;
        if (const auto at = name.rfind("-if"); at != std::string::npos) {
            iface = name.substr(at + 1);
            if (const auto dash = iface.find('-'); dash != std::string::npos) iface.resize(dash);
            name.resize(at);
        }
        if (const auto us = name.rfind('_'); us != std::string::npos) name = name.substr(us + 1);
        return iface.empty() || iface == "if00" ? name : name + "-" + iface;
    }
    if (base.size() > 3 && base.rfind("tty", 0) == 0) return base.substr(3);
    const std::string dir = BaseName(port.substr(0, port.size() - std::min(port.size(), base.size() + 1)));
    if (dir == "pts") return "pts" + base;
    return base;
}

bool WildcardMatch(const std::string& pattern, const std::string& name) {
    std::size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || std::toupper(static_cast<unsigned char>(pattern[p])) ==
                                                           std::toupper(static_cast<unsigned char>(name[n])))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string WorkerLine(WorkerTag tag, const std::string& text) {
    std::string line(1, static_cast<char>(tag));
    line += ' ';
    for (char c : text) line += c == '\n' || c == '\r' ? ' ' : c;
    line += '\n';
    return line;
}

WorkerEvent ParseWorkerLine(const std::string& line) {
    if (line.size() >= 2 && line[1] == ' ') {
        switch (line[0]) {
        case 'L':
        case 'E':
        case 'P':
        case 'W':
        case 'U':
            return {static_cast<WorkerTag>(line[0]), line.substr(2)};
        default:
            break;
        }
    }
    return {WorkerTag::Error, line};
}

std::optional<std::string> PartFromLogLine(const std::string& line) {
    // STM32: "ID: 0414 (High-density device)"; MSP430: "| Device: MSP430F149 |".
    if (line.rfind("ID: ", 0) == 0) return line.substr(4);
    if (const auto at = line.find("| Device: "); at != std::string::npos) {
        std::string name = line.substr(at + 10);
        while (!name.empty() && (name.back() == '|' || name.back() == ' ')) name.pop_back();
        return name;
    }
    return std::nullopt;
}

void BoardRun::Take(const WorkerEvent& event, double now) {
    switch (event.tag) {
    case WorkerTag::Log:
        lastLogLine = event.text;
        if (auto p = PartFromLogLine(event.text)) part = *p;
        if (failureLine.empty() && (event.text.rfind("ERROR", 0) == 0 || event.text.rfind("FATAL ERROR", 0) == 0))
            failureLine = event.text;
        break;
    case WorkerTag::Error:
        errors.push_back(event.text);
        break;
    case WorkerTag::Progress: {
        char* end = nullptr;
        const long pc = std::strtol(event.text.c_str(), &end, 10);
        if (end == event.text.c_str()) break;
        percent = static_cast<int>(std::clamp(pc, 0L, 100L));
        const char* rest = end;
        while (*rest == ' ') ++rest;
        msLeft.reset();
        if (std::isdigit(static_cast<unsigned char>(*rest))) msLeft = std::strtoull(rest, nullptr, 10);
        if (progressSince < 0) progressSince = now;
        break;
    }
    case WorkerTag::WorkBytes:
        workBytes = std::strtoull(event.text.c_str(), nullptr, 10);
        break;
    case WorkerTag::UniqueId:
        uniqueId = event.text;
        break;
    }
}

std::string BoardRun::ResultLine() const {
    if (exitCode && *exitCode == 0) return lastLogLine;
    if (!failureLine.empty()) return failureLine;
    if (!errors.empty()) {
        std::string e = errors.front();
        if (e.rfind("quennet-flash: ", 0) == 0) e = e.substr(15);
        return e;
    }
    if (exitCode) return "worker ended with status " + std::to_string(*exitCode);
    return lastLogLine;
}

std::string BoardRun::LiveText(double now) const {
    if (exitCode) return (Ok() ? "done: " : "FAILED: ") + ResultLine();
    // Before the passes and after them (the chip's ID, the restart) the
    // log's last line says what goes on.
    if (percent < 0 || percent >= 100) return lastLogLine.empty() ? "starting" : lastLogLine;
    std::string text = std::to_string(percent) + "%";
    if (workBytes > 0 && progressSince >= 0 && now > progressSince) {
        char speed[32];
        std::snprintf(speed, sizeof speed, "  %.1f KiB/s",
                      static_cast<double>(workBytes) * percent / 100.0 / 1024.0 / (now - progressSince));
        text += speed;
    }
    if (msLeft) {
        const std::uint64_t s = (*msLeft + 999) / 1000;
        text += "  " + std::to_string(s / 60) + (s % 60 < 10 ? ":0" : ":") + std::to_string(s % 60) + " left";
    }
    return text;
}

std::string SummaryTable(const std::vector<BoardRun>& runs) {
    std::vector<std::vector<std::string>> rows{{"Board", "Port", "Adapter", "Part", "Chip UID", "Result", "Time"}};
    for (const BoardRun& r : runs)
        rows.push_back({r.shortName, r.port, r.adapterSerial, r.part, r.uniqueId, r.ResultLine(), Seconds(r.seconds)});
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        text += line + '\n';
    }
    return text;
}

}  // namespace quennet
