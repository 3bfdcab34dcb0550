#pragma once
#include <string_view>

#include "terminal/TerminalDisplay.h"

namespace quennet {

// Shows what the user sends in the display, marked apart from what the
// target sends by a colour of its own: text as characters (CR, LF and CR LF
// a line break, backspace deleting the last character), or in hex view as
// "XX " pairs.
class LocalEcho {
public:
    // Bright cyan: a colour the plain display never uses.
    static constexpr unsigned kEchoColour = 15;

    void Show(TerminalDisplay& display, std::string_view bytes, bool hex);

private:
    bool afterCr_ = false;  // the last byte shown was a CR: an LF adds no second break
};

}  // namespace quennet
