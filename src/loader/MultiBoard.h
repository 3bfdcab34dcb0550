#pragma once
// quennet-flash on many boards at once: the options that choose the ports
// and the production line, the short names that prefix each board's lines,
// the tagged lines by which a worker (one quennet-flash per port) reports
// to the command that started it, and the closing table.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loader/Loader.h"

namespace quennet {

// The options of many boards, taken out of the command line; what is left
// (runArgs) is a single run's command line without its --port.
struct ProductionArgs {
    std::vector<std::string> ports;     // every --port, in order
    std::vector<std::string> patterns;  // every --ports
    bool watch = false;                 // --watch: program each board that appears
    int count = 0;                      // --count N: stop after N boards; 0 no limit
    std::string reportPath;             // --report FILE.csv
    bool worker = false;                // --worker: one run, tagged lines out
    std::vector<std::string> runArgs;
    std::string error;  // one sentence when these options are wrong

    // Anything beyond a single --port: the runs go to workers.
    bool Production() const {
        return !worker && (watch || !reportPath.empty() || !patterns.empty() || ports.size() > 1);
    }
};

ProductionArgs ParseProductionArgs(const std::vector<std::string>& args);

// The help lines of these options.
std::string ProductionUsage();

// The worker's command line for one port; a readPath given replaces the
// file that --read names.
std::vector<std::string> WorkerArgs(const ProductionArgs& args, const std::string& port,
                                    const std::string& readPath = {});

// The file of one board when many are read: its name gets a tag before
// the extension (dump.hex and USB0 give dump-USB0.hex).
std::string BoardFilePath(const std::string& path, const std::string& tag);

// The short name a board's lines carry: ttyUSB0 gives USB0, COM7 COM7, a
// /dev/serial/by-id name the adapter's serial number (with the interface
// when it is not the first), /dev/pts/3 pts3, any other path its base name.
std::string BoardShortName(const std::string& port);

// Shell-style match of * and ? (case-blind, for COM port names).
bool WildcardMatch(const std::string& pattern, const std::string& name);

// One line of a worker: a tag letter, a space, the text.
enum class WorkerTag : char {
    Log = 'L',        // a whole line of the status log
    Error = 'E',      // a line the single run prints on standard error
    Progress = 'P',   // "percent msLeft" (msLeft "-" before it is known)
    WorkBytes = 'W',  // bytes the passes move in all (written plus read back)
    UniqueId = 'U',   // the chip's unique ID in hex
};
std::string WorkerLine(WorkerTag tag, const std::string& text);

struct WorkerEvent {
    WorkerTag tag = WorkerTag::Log;
    std::string text;
};
// A line that is not tagged is taken as an error line: a worker that
// crashed may have said something on its own.
WorkerEvent ParseWorkerLine(const std::string& line);

// The part a line of the status log names, if it is the line that does.
std::optional<std::string> PartFromLogLine(const std::string& line);

// Everything known about one board's run.
struct BoardRun {
    std::string port;
    std::string shortName;
    std::string adapterSerial = "-";
    std::string part = "-";
    std::string uniqueId = "-";
    std::vector<std::string> errors;  // the worker's error lines
    std::string lastLogLine;
    std::string failureLine;  // the first ERROR line of the log
    std::optional<int> exitCode;  // once the worker has ended
    double seconds = 0;
    // Progress of the passes.
    int percent = -1;
    std::optional<std::uint64_t> msLeft;
    std::uint64_t workBytes = 0;
    double progressSince = -1;  // seconds since the start, at the first progress

    // Takes one worker line in; `now` in seconds since the run began.
    void Take(const WorkerEvent& event, double now);
    bool Ok() const { return exitCode && *exitCode == 0; }
    // The line that says how the run ended.
    std::string ResultLine() const;
    // One line of the live view: percent, speed, time left; or the state.
    std::string LiveText(double now) const;
};

// The closing table: board, port, adapter serial, part, chip UID, result, time.
std::string SummaryTable(const std::vector<BoardRun>& runs);

}  // namespace quennet
