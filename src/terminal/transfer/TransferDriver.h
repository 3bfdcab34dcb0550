#pragma once
#include <functional>
#include <string>

#include "serial/ComPort.h"
#include "terminal/transfer/Transfer.h"

namespace quennet {

struct TransferRunOptions {
    // Asked when a received file's name is taken; without it, both are kept.
    std::function<ExistingFileChoice(const std::string& name)> ask;
    // Polled between turns: true cancels the transfer (by the protocol).
    std::function<bool()> stop;
};

// Drives a transfer over the open port until it ends, on the calling
// thread: reads what came, lets the transfer act, writes what it wants
// sent, and between those waits on the port no longer than the transfer's
// next deadline. For the command line and tests; the window drives the
// same transfer from its pump instead.
TransferOutcome RunTransfer(ComPort& port, Transfer& transfer, const TransferRunOptions& options = {});

}  // namespace quennet
