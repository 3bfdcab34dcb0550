#pragma once
#include <cstdint>
#include <optional>
#include <string>

class QWidget;

namespace quennet {

// A small modal dialog that asks at which address a raw binary file is
// loaded, proposing one. Its OK button is on only while the text is an
// address (0x and hex digits, or decimal). The address, or nothing on Cancel.
std::optional<std::uint32_t> AskFlashAddress(QWidget* parent, const std::string& file, std::uint32_t proposed);

}  // namespace quennet
