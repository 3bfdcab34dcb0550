#pragma once
#include <atomic>

#include "loader/FlashCommand.h"

namespace quennet::cli {

// One board's run for a quennet-flash that runs many: the single run as
// it is, its log and error lines sent as tagged lines on standard output,
// with its progress, and after a good STM32 run the chip's unique ID.
// `current` is pointed at the command while it runs, for the stop signal.
int RunFlashWorker(const FlashOptions& options, std::atomic<FlashCommand*>& current);

}  // namespace quennet::cli
