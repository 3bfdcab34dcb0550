#pragma once
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "SimBoard.h"
#include "VirtualClock.h"

namespace quennet {

// Serves a SimBoard on a pseudo-terminal in real time: the board's virtual
// clock follows the wall clock, the host's bytes are read from the pty's
// master side and handed to the board, and the board's bytes are written
// back when they have crossed the simulated wire. The host's baud rate is
// read from the pty's termios each turn; a host that opens the line shows
// as the end of a hang-up and, where it drops its output as it opens (as
// Quennet does), as a packet-mode status byte; a closed host as a hang-up.
class PtyBoard {
public:
    PtyBoard(VirtualClock& clock, SimBoard& board) : clock_(clock), board_(board) {}
    ~PtyBoard();
    PtyBoard(const PtyBoard&) = delete;
    PtyBoard& operator=(const PtyBoard&) = delete;

    // Creates the pty; false with a message when that fails.
    bool Open(std::string& error);
    const std::string& Path() const { return path_; }

    // Serves until stop becomes non-zero (set from a signal handler).
    void Run(const volatile std::sig_atomic_t& stop);

private:
    void ReadHost();
    void WriteHost();
    void ReadHostLine();

    VirtualClock& clock_;
    SimBoard& board_;
    int master_ = -1;
    std::string path_;
    bool hostOpen_ = false;
    std::vector<std::uint8_t> toHost_;
};

}  // namespace quennet
