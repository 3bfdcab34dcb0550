#pragma once
#include <optional>

#include "serial/ComPort.h"

class QWidget;

namespace quennet {

// The "Custom..." frame: data bits 5 to 8, parity N, E, O, M or S, and 1 or
// 2 stop bits. The chosen frame (its flow control as given), or nothing on
// Cancel.
std::optional<Frame> AskFrame(QWidget* parent, const Frame& current);

}  // namespace quennet
