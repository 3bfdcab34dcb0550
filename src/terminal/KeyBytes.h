#pragma once
#include <string>
#include <string_view>

namespace quennet {

// Key codes and modifier bits as the window's toolkit numbers them (the
// window checks at compile time that they agree), so that a key event's
// numbers are passed on as they are.
namespace keys {
constexpr int kSpace = 0x20;
constexpr int kAt = 0x40;
constexpr int kA = 0x41;
constexpr int kZ = 0x5a;
constexpr int kBracketLeft = 0x5b;
constexpr int kBackslash = 0x5c;
constexpr int kBracketRight = 0x5d;
constexpr int kEscape = 0x01000000;
constexpr int kTab = 0x01000001;
constexpr int kBackspace = 0x01000003;
constexpr int kReturn = 0x01000004;
constexpr int kEnter = 0x01000005;

constexpr unsigned kShift = 0x02000000;
constexpr unsigned kControl = 0x04000000;
constexpr unsigned kAlt = 0x08000000;
}  // namespace keys

// The characters a key types into the terminal, given the key, its
// modifiers and the text the system gave for it. Control combinations give
// their control code (Ctrl+A is 0x01, Ctrl+@ and Ctrl+Space NUL, Ctrl+[ ESC,
// Ctrl+\ 0x1C, Ctrl+] 0x1D), since some platforms give no text for them;
// Enter types CR, Backspace BS, Escape ESC and Tab HT whatever the system's
// text. Anything else types the system's text, which may be nothing.
std::u32string KeyChars(int key, unsigned modifiers, std::u32string_view text);

}  // namespace quennet
