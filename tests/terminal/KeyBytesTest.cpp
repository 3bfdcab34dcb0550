#include <gtest/gtest.h>

#include "terminal/KeyBytes.h"

namespace quennet {
namespace {

TEST(KeyBytes, KeysTypeTheirCharacters) {
    using namespace keys;
    struct Case {
        const char* what;
        int key;
        unsigned mods;
        std::u32string text;  // what the system gave
        std::u32string typed;
    };
    const Case cases[] = {
        {"a letter types its text", 0x41, 0, U"a", U"a"},
        {"shifted", 0x41, kShift, U"A", U"A"},
        {"beyond ASCII", 0xc9, 0, U"\u00e9", U"\u00e9"},
        {"Ctrl+A without text", kA, kControl, U"", U"\x01"},
        {"Ctrl+Z over the system's text", kZ, kControl, U"z", U"\x1a"},
        {"Ctrl+Shift+C is still 0x03", 0x43, kControl | kShift, U"", U"\x03"},
        {"Ctrl+M is CR", 0x4d, kControl, U"", U"\r"},
        {"Ctrl+@", kAt, kControl, U"", std::u32string(1, U'\0')},
        {"Ctrl+Space", kSpace, kControl, U" ", std::u32string(1, U'\0')},
        {"Ctrl+[", kBracketLeft, kControl, U"", U"\x1b"},
        {"Ctrl+\\", kBackslash, kControl, U"", U"\x1c"},
        {"Ctrl+]", kBracketRight, kControl, U"", U"\x1d"},
        {"Ctrl+digit keeps the system's text", 0x31, kControl, U"1", U"1"},
        {"Ctrl+Enter types no CR", kReturn, kControl, U"", U""},
        {"Return", kReturn, 0, U"", U"\r"},
        {"keypad Enter", kEnter, 0, U"\n", U"\r"},
        {"Shift+Return", kReturn, kShift, U"", U"\r"},
        {"Backspace", kBackspace, 0, U"\x7f", U"\b"},
        {"Escape", kEscape, 0, U"", U"\x1b"},
        {"Tab", kTab, 0, U"", U"\t"},
        {"Alt+x types its text", 0x58, kAlt, U"x", U"x"},
        {"a key without text types nothing", 0x01000013, 0, U"", U""},
    };
    for (const Case& c : cases) EXPECT_EQ(KeyChars(c.key, c.mods, c.text), c.typed) << c.what;
}

}  // namespace
}  // namespace quennet
