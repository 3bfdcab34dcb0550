#include "terminal/KeyBytes.h"

namespace quennet {

std::u32string KeyChars(int key, unsigned modifiers, std::u32string_view text) {
    if (modifiers & keys::kControl) {
        if (key >= keys::kA && key <= keys::kZ) return std::u32string(1, static_cast<char32_t>(key - keys::kA + 1));
        switch (key) {
            case keys::kAt:
            case keys::kSpace: return std::u32string(1, U'\0');
            case keys::kBracketLeft: return U"\x1b";
            case keys::kBackslash: return U"\x1c";
            case keys::kBracketRight: return U"\x1d";
            default: return std::u32string(text);
        }
    }
    switch (key) {
        case keys::kReturn:
        case keys::kEnter: return U"\r";
        case keys::kBackspace: return U"\b";
        case keys::kEscape: return U"\x1b";
        case keys::kTab: return U"\t";
        default: return std::u32string(text);
    }
}

}  // namespace quennet
