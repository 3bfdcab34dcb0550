#include "cli/ProductionRun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "cli/FlashPlatform.h"
#include "core/Sha256.h"
#include "loader/FirmwareCheck.h"
#include "loader/ProductionReport.h"
#include "serial/DeviceIdentity.h"

namespace quennet::cli {

namespace {

using SteadyClock = std::chrono::steady_clock;

// A line from a worker, or its end with its exit status.
struct WorkerNews {
    std::size_t run = 0;
    bool ended = false;
    int status = 0;
    std::string line;
};

class NewsQueue {
public:
    void Push(WorkerNews news) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(news));
        }
        ready_.notify_one();
    }
    std::deque<WorkerNews> Wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait_for(lock, timeout, [this] { return !queue_.empty(); });
        return std::exchange(queue_, {});
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<WorkerNews> queue_;
};

// One board's run: its worker, the thread that reads the worker's lines,
// and what they said.
struct Slot {
    BoardRun run;
    std::unique_ptr<WorkerProcess> worker;
    std::thread reader;
    SteadyClock::time_point start;
    bool active = false;
    bool counted = true;  // false: the port was left alone, no board was run
    std::string readPath;  // --read: this board's file
};

// A port under --watch: nothing there, a board in its run, a board done
// that has not gone yet, or a port some other program holds.
enum class PortState { Absent, Running, Done, LeftAlone };

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Mentions(const std::vector<std::string>& lines, const char* text) {
    return std::any_of(lines.begin(), lines.end(),
                       [text](const std::string& l) { return l.find(text) != std::string::npos; });
}

class Production {
public:
    explicit Production(const ProductionSetup& setup) : s_(setup), a_(setup.args), t0_(SteadyClock::now()) {}
    ~Production() {
        for (auto& slot : slots_)
            if (slot->reader.joinable()) slot->reader.join();
        if (report_) std::fclose(report_);
    }

    int Run();

private:
    bool CheckFirmware();
    bool OpenReport();
    void Start(const std::string& port);
    void Ended(Slot& slot, int status);
    void WatchPorts();
    void Take(const WorkerNews& news);
    void Print(const std::string& text, bool error = false);
    void DrawLive(bool force);
    void EraseLive();
    double Now() const { return std::chrono::duration<double>(SteadyClock::now() - t0_).count(); }
    std::size_t Active() const {
        return static_cast<std::size_t>(
            std::count_if(slots_.begin(), slots_.end(), [](const auto& s) { return s->active; }));
    }
    std::string Prefix(const Slot& slot) const { return "[" + slot.run.shortName + "] "; }

    const ProductionSetup& s_;
    const ProductionArgs& a_;
    SteadyClock::time_point t0_;
    NewsQueue news_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::map<std::string, PortState> watched_;
    std::map<std::string, std::string> names_;  // port -> short name, unique in this command
    std::FILE* report_ = nullptr;
    std::string firmwareSha_;
    int started_ = 0;
    bool stopping_ = false;
    bool live_ = false;
    std::size_t liveLines_ = 0;
    double liveDrawn_ = -1;
};

bool Production::CheckFirmware() {
    // Reading, erasing, protecting and asking the device take no firmware file.
    if (s_.options.deviceInfo || s_.options.erase || s_.options.protection || !s_.options.readPath.empty())
        return true;
    const LoaderTarget* target = FindLoaderTarget(s_.options.targetIndex);
    if (!target) return false;
    // Read once here, so that a file the runs would refuse is said once.
    FirmwareFile file;
    auto image = std::make_unique<FirmwareImage>();
    std::string reason =
        LoadFirmwareFor(s_.options.firmwarePath, s_.options.binaryAddress, TargetFlashWindow(*target), file, *image);
    if (reason.empty() && !image->HasData(0, image->size())) reason = "holds no data";
    if (!reason.empty()) {
        s_.err << "quennet-flash: " << FirmwareRefusal(s_.options.firmwarePath, reason) << '\n';
        return false;
    }
    firmwareSha_ = Sha256OfFile(s_.options.firmwarePath);
    return true;
}

bool Production::OpenReport() {
    if (a_.reportPath.empty()) return true;
    report_ = std::fopen(a_.reportPath.c_str(), "ab");
    if (!report_) {
        s_.err << "quennet-flash: report file " << a_.reportPath << " cannot be opened (" << std::strerror(errno)
               << ")\n";
        return false;
    }
    std::fseek(report_, 0, SEEK_END);
    if (std::ftell(report_) == 0) {
        std::fputs(ReportHeader().c_str(), report_);
        SyncFile(report_);
    }
    return true;
}

void Production::Start(const std::string& port) {
    auto slot = std::make_unique<Slot>();
    slot->run.port = port;
    auto& name = names_[port];
    if (name.empty()) {
        name = BoardShortName(port);
        for (int n = 2; std::any_of(names_.begin(), names_.end(),
                                    [&](const auto& e) { return e.first != port && e.second == name; });
             ++n)
            name = BoardShortName(port) + "#" + std::to_string(n);
    }
    slot->run.shortName = name;
    if (const auto id = IdentifyPort(port))
        slot->run.adapterSerial = AdapterSerialOf(*id);
    else
        slot->run.adapterSerial = "-";
    slot->start = SteadyClock::now();
    ++started_;
    // Each board reads into a file of its own; on a production line each
    // board of a port also has its number, so that the next one there
    // does not overwrite it.
    if (!s_.options.readPath.empty())
        slot->readPath = BoardFilePath(s_.options.readPath, a_.watch ? name + "-" + std::to_string(started_) : name);
    std::string error;
    slot->worker = WorkerProcess::Start(s_.self, WorkerArgs(a_, port, slot->readPath), error);
    Slot& added = *slots_.emplace_back(std::move(slot));
    if (!added.worker) {
        added.run.errors.push_back("quennet-flash: cannot start a run: " + error);
        Print(Prefix(added) + added.run.errors.back(), true);
        Ended(added, kFlashRunFailed);
        return;
    }
    added.active = true;
    if (a_.watch) watched_[port] = PortState::Running;
    const std::size_t index = slots_.size() - 1;
    added.reader = std::thread([this, index, worker = added.worker.get()] {
        std::string pending;
        char buffer[4096];
        while (const std::size_t n = worker->Read(buffer, sizeof buffer)) {
            pending.append(buffer, n);
            for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1))
                news_.Push({index, false, 0, pending.substr(0, nl)});
        }
        if (!pending.empty()) news_.Push({index, false, 0, pending});
        news_.Push({index, true, worker->Wait(), {}});
    });
}

void Production::Ended(Slot& slot, int status) {
    slot.active = false;
    slot.run.exitCode = status;
    slot.run.seconds = std::chrono::duration<double>(SteadyClock::now() - slot.start).count();
    if (slot.reader.joinable()) slot.reader.join();
    const std::string& port = slot.run.port;
    if (a_.watch && status == kFlashBadCommand) {
        // The port was refused before any byte went out: no board was run.
        slot.counted = false;
        --started_;
        if (Mentions(slot.run.errors, "was not found")) {
            watched_[port] = PortState::Absent;
        } else {
            watched_[port] = PortState::LeftAlone;
            Print(Prefix(slot) + port +
                  (Mentions(slot.run.errors, "is busy") ? " is open in another program: left alone"
                                                        : " cannot be used: left alone"));
        }
        return;
    }
    // A board read names its file, and what it holds, once the read is good.
    const bool read = !slot.readPath.empty() && slot.run.Ok();
    if (read) Print(Prefix(slot) + "read into " + slot.readPath);
    if (report_) {
        ReportRow row{ReportTimeNow(),
                      port,
                      slot.run.adapterSerial,
                      slot.run.uniqueId,
                      slot.run.part,
                      BaseName(slot.readPath.empty() ? s_.options.firmwarePath : slot.readPath),
                      read ? Sha256OfFile(slot.readPath) : firmwareSha_,
                      s_.options.verify,
                      slot.run.ResultLine(),
                      slot.run.seconds};
        std::fputs(ReportLine(row).c_str(), report_);
        SyncFile(report_);
    }
    if (a_.watch) {
        watched_[port] = PortState::Done;
        Print(Prefix(slot) + (slot.run.Ok() ? "done: " : "FAILED: ") + slot.run.ResultLine() +
              "; unplug the board");
    }
}

void Production::WatchPorts() {
    std::vector<std::string> present;
    for (const std::string& p : a_.patterns)
        for (std::string& q : PortsMatching(p)) present.push_back(std::move(q));
    for (const std::string& p : a_.ports)
        if (PortThere(p)) present.push_back(p);
    std::sort(present.begin(), present.end());
    present.erase(std::unique(present.begin(), present.end()), present.end());

    for (auto& [port, state] : watched_) {
        if ((state == PortState::Done || state == PortState::LeftAlone) &&
            !std::binary_search(present.begin(), present.end(), port)) {
            state = PortState::Absent;
            Print("[" + names_[port] + "] board gone from " + port + "; waiting for the next one");
        }
    }
    for (const std::string& port : present) {
        const auto it = watched_.find(port);
        if (it != watched_.end() && it->second != PortState::Absent) continue;
        if (a_.count > 0 && started_ >= a_.count) break;
        Start(port);
        if (!slots_.back()->active) continue;
        Print(Prefix(*slots_.back()) + "new board on " + port + ": programming it");
    }
}

void Production::Take(const WorkerNews& news) {
    Slot& slot = *slots_[news.run];
    if (news.ended) {
        Ended(slot, news.status);
        return;
    }
    const WorkerEvent event = ParseWorkerLine(news.line);
    slot.run.Take(event, Now());
    if (event.tag == WorkerTag::Log) Print(Prefix(slot) + event.text);
    else if (event.tag == WorkerTag::Error) Print(Prefix(slot) + event.text, true);
}

void Production::Print(const std::string& text, bool error) {
    EraseLive();
    (error ? s_.err : s_.out) << text << '\n';
    (error ? s_.err : s_.out).flush();
}

void Production::EraseLive() {
    if (liveLines_ == 0) return;
    s_.out << "\x1b[" << liveLines_ << "A\x1b[J";
    liveLines_ = 0;
}

void Production::DrawLive(bool force) {
    if (!live_) return;
    const double now = Now();
    if (!force && liveLines_ > 0 && now - liveDrawn_ < 0.25) return;
    EraseLive();
    std::size_t width = 0;
    for (const auto& slot : slots_) width = std::max(width, slot->run.shortName.size());
    std::string block;
    for (const auto& slot : slots_) {
        if (a_.watch && !slot->active) continue;
        std::string line = "[" + slot->run.shortName + "]" + std::string(width - slot->run.shortName.size() + 1, ' ') +
                           slot->run.LiveText(now);
        const std::size_t room = static_cast<std::size_t>(std::max(s_.terminalColumns - 1, 10));
        if (line.size() > room) line.resize(room);
        block += line + '\n';
        ++liveLines_;
    }
    s_.out << block;
    s_.out.flush();
    liveDrawn_ = now;
}

int Production::Run() {
    if (!CheckFirmware() || !OpenReport()) return kFlashBadCommand;
    live_ = s_.terminalColumns > 0 && LiveViewPossible();

    if (a_.watch) {
        std::string what;
        for (const std::string& p : a_.patterns) what += (what.empty() ? "" : ", ") + p;
        for (const std::string& p : a_.ports) what += (what.empty() ? "" : ", ") + p;
        Print("quennet-flash: waiting for boards on " + what +
              (a_.count > 0 ? " (" + std::to_string(a_.count) + " to go" : " (until Ctrl+C") + ")");
    } else {
        std::vector<std::string> ports = a_.ports;
        for (const std::string& p : a_.patterns) {
            const std::vector<std::string> found = PortsMatching(p);
            if (found.empty()) {
                s_.err << "quennet-flash: no port matches " << p << '\n';
                return kFlashBadCommand;
            }
            ports.insert(ports.end(), found.begin(), found.end());
        }
        std::vector<std::string> unique;
        for (const std::string& p : ports)
            if (std::find(unique.begin(), unique.end(), p) == unique.end()) unique.push_back(p);
        for (const std::string& p : unique) Start(p);
    }

    double lastPoll = -1;
    for (;;) {
        if (s_.stop.load() && !stopping_) {
            stopping_ = true;
            for (auto& slot : slots_)
                if (slot->active) slot->worker->AskToStop();
        }
        if (a_.watch && !stopping_ && Now() - lastPoll >= 0.25) {
            lastPoll = Now();
            WatchPorts();
        }
        const bool countDone = a_.count > 0 && started_ >= a_.count;
        if (Active() == 0 && (!a_.watch || stopping_ || countDone)) break;
        for (const WorkerNews& n : news_.Wait(std::chrono::milliseconds(100))) Take(n);
        DrawLive(false);
    }
    DrawLive(true);
    liveLines_ = 0;

    std::vector<BoardRun> runs;
    bool stopped = false, failed = false;
    for (const auto& slot : slots_) {
        if (!slot->counted) continue;
        runs.push_back(slot->run);
        stopped = stopped || (stopping_ && slot->run.exitCode == kFlashStopped);
        failed = failed || !slot->run.Ok();
    }
    if (!runs.empty()) s_.out << '\n' << SummaryTable(runs);
    s_.out.flush();
    if (stopped) return kFlashStopped;
    return failed ? kFlashRunFailed : kFlashOk;
}

}  // namespace

int RunProduction(const ProductionSetup& setup) {
    Production production(setup);
    return production.Run();
}

}  // namespace quennet::cli
