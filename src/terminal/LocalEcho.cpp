#include "terminal/LocalEcho.h"

#include <cstdint>

namespace quennet {

void LocalEcho::Show(TerminalDisplay& display, std::string_view bytes, bool hex) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const Cell look = cell::WithFg(kEchoColour);
    CellString out;
    const auto flush = [&] {
        if (!out.empty()) display.AppendCells(out);
        out.clear();
    };
    for (char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        if (hex) {
            out += {look | static_cast<Cell>(kDigits[b >> 4]), look | static_cast<Cell>(kDigits[b & 15]),
                    look | Cell{' '}};
            continue;
        }
        const bool cr = b == '\r';
        if (cr || b == '\n') {
            flush();
            if (!(b == '\n' && afterCr_)) display.AppendLineBreak();
        } else if (b == 0x08) {
            flush();
            display.DeleteLastChar();
        } else if (b >= 0x20) {
            out += look | static_cast<Cell>(b);
        }
        afterCr_ = cr;
    }
    flush();
}

}  // namespace quennet
