#pragma once
#include <functional>

namespace quennet {

// Who may touch the serial port. The terminal (its pump, typed keys,
// function buttons, file send, reset, the session switch) holds it whenever
// no long operation does; a loader run or an LCD capture takes it for its
// whole length, and so does a file transfer by XMODEM, YMODEM or ZMODEM.
// Everything that writes to the port, reads from it or moves
// its lines asks here first.
enum class PortUser { Terminal, LoaderRun, LcdCapture, FileTransfer };

class PortOwner {
public:
    PortUser Holder() const { return holder_; }
    bool Holds(PortUser who) const { return holder_ == who; }

    // A long operation takes the port from the terminal; refused while
    // another one holds it. Taking it for the terminal only asks whether it
    // is free.
    bool Take(PortUser who) {
        if (holder_ != PortUser::Terminal) return false;
        if (who != PortUser::Terminal) Change(who);
        return true;
    }
    // Hands the port back to the terminal; only its holder can.
    void GiveBack(PortUser who) {
        if (holder_ == who && who != PortUser::Terminal) Change(PortUser::Terminal);
    }

    // Told of every change of holder (the window shows it).
    void SetListener(std::function<void(PortUser)> onChange) { onChange_ = std::move(onChange); }

private:
    void Change(PortUser who) {
        holder_ = who;
        if (onChange_) onChange_(who);
    }

    PortUser holder_ = PortUser::Terminal;
    std::function<void(PortUser)> onChange_;
};

// Holds the port for a long operation from construction to destruction, on
// every path out of it, when it could be taken at all.
class PortLease {
public:
    PortLease(PortOwner& owner, PortUser who) : owner_(owner), who_(who), held_(owner.Take(who)) {}
    ~PortLease() {
        if (held_) owner_.GiveBack(who_);
    }
    PortLease(const PortLease&) = delete;
    PortLease& operator=(const PortLease&) = delete;
    bool Held() const { return held_; }

private:
    PortOwner& owner_;
    PortUser who_;
    bool held_;
};

}  // namespace quennet
