#pragma once
#include <atomic>
#include <ostream>
#include <string>

#include "loader/FlashCommand.h"
#include "loader/MultiBoard.h"

namespace quennet::cli {

struct ProductionSetup {
    ProductionArgs args;
    FlashOptions options;  // the single run's options, checked (its port aside)
    std::string self;      // the program, started again as each worker
    std::ostream& out;
    std::ostream& err;
    int terminalColumns = 0;  // > 0: a live view on this terminal
    const std::atomic<bool>& stop;  // set by Ctrl+C
};

// Runs every board of the command line (or, with --watch, every board
// that appears) in a worker process of its own, prints their lines with
// the boards' short names, the closing table, and the report rows.
// Returns the exit code.
int RunProduction(const ProductionSetup& setup);

}  // namespace quennet::cli
