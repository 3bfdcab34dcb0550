#pragma once
// What quennet-flash needs of the system to run many boards: worker
// processes with a pipe from their output, the ports a pattern names, the
// USB adapter behind a port, and a file synced to the disk. Each platform
// has its own file.
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace quennet::cli {

// A quennet-flash started for one port, its standard output and error
// joined into one pipe.
class WorkerProcess {
public:
    // Starts exe with args; nullptr and a reason when it cannot.
    static std::unique_ptr<WorkerProcess> Start(const std::string& exe, const std::vector<std::string>& args,
                                                std::string& error);
    virtual ~WorkerProcess() = default;
    // Waits for output: bytes read, 0 once the worker has closed its end.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
    // Asks it to stop at its next block boundary, as Ctrl+C would.
    virtual void AskToStop() = 0;
    // Waits for its end: its exit status, 128 + the signal that ended it.
    virtual int Wait() = 0;
};

// The path of the running program, to start it again as a worker.
std::string SelfExecutable(const char* argv0);

// The ports whose names match a pattern (glob on POSIX; COM names from the
// system's list on Windows), that are there now, sorted.
std::vector<std::string> PortsMatching(const std::string& pattern);

// Whether a port of that name is there now.
bool PortThere(const std::string& port);

// Pushes what was written to the file onto the disk, where that is cheap.
void SyncFile(std::FILE* file);

// Whether standard output is a terminal that takes cursor movements.
bool LiveViewPossible();

}  // namespace quennet::cli
