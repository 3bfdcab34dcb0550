#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "serial/ComPort.h"

namespace quennet {

// A frame written the way terminal users write it: data bits, parity letter,
// stop bits ("8N1", "7E2", "5M1"). The letter is one of N, E, O, M, S in
// either case; dashes between the parts are allowed ("8-N-1"), and so are
// the loader's own names with the parity first ("E-8-1"). Flow control is
// not part of the text. Nothing for anything else.
std::optional<Frame> ParseFrameText(std::string_view text);

// The short form ("8N1") of a frame's bits, parity and stop bits.
std::string FrameText(const Frame& frame);

// "None", "RTS/CTS", "XON/XOFF", and back; the names the settings file keeps.
const char* FlowControlName(FlowControl flow);
std::optional<FlowControl> ParseFlowControl(std::string_view name);

}  // namespace quennet
