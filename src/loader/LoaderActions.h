#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "loader/Loader.h"

namespace quennet {

// What a loader run can do besides programming and device info; each runs
// through Loader::RunAction.
enum class LoaderAction {
    Read,
    Erase,
    Go,
    WriteUnprotect,
    WriteProtect,
    ReadoutProtect,
    ReadoutUnprotect,
};

bool RunsMsp430(const LoaderTarget& target);
bool RunsStm32(const LoaderTarget& target);

// The action's sequence on the target, or an empty one where the target's
// family does not have it.
TargetSequence ActionSequence(const LoaderTarget& target, LoaderAction action);

// The first log line of the action's run: "Begin read STM32." and so on.
std::string ActionFirstLine(const LoaderTarget& target, LoaderAction action);

// The question the window asks before a protection command, saying what it
// does to the part.
std::string ProtectionQuestion(LoaderAction action);

// A list of write-protection sector numbers such as "0,2,4-7": the
// numbers 0 to 255 it names, sorted and each once; nothing when the text
// is not such a list.
std::optional<std::vector<std::uint8_t>> ParseSectorList(const std::string& text);

// What a wrong password does on the MSP430's loader, said before the
// window sends one.
inline constexpr const char* kMsp430PasswordRisk =
    "The MSP430's bootstrap loader opens only for the right password (the interrupt vectors of the "
    "firmware on the part, or 32 bytes 0xFF on an erased part). On some loader versions a wrong "
    "password mass-erases the whole flash (TI SLAU319).";

}  // namespace quennet
