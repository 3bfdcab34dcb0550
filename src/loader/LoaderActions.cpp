#include "loader/LoaderActions.h"

#include <cctype>

#include "loader/Msp430Program.h"
#include "loader/Stm32Program.h"

namespace quennet {

bool RunsMsp430(const LoaderTarget& target) { return target.program == &TargetSequences::programMsp430; }

bool RunsStm32(const LoaderTarget& target) {
    return target.program == &TargetSequences::programStm32 || target.program == &TargetSequences::programStm32Any;
}

TargetSequence ActionSequence(const LoaderTarget& target, LoaderAction action) {
    if (RunsMsp430(target)) {
        switch (action) {
        case LoaderAction::Read: return ReadMsp430;
        case LoaderAction::Erase: return EraseMsp430;
        default: return {};
        }
    }
    if (!RunsStm32(target)) return {};
    switch (action) {
    case LoaderAction::Read: return ReadStm32Any;
    case LoaderAction::Erase: return EraseStm32Any;
    case LoaderAction::Go: return GoStm32Any;
    case LoaderAction::WriteUnprotect: return WriteUnprotectStm32;
    case LoaderAction::WriteProtect: return WriteProtectStm32;
    case LoaderAction::ReadoutProtect: return ReadoutProtectStm32;
    case LoaderAction::ReadoutUnprotect: return ReadoutUnprotectStm32;
    }
    return {};
}

std::string ActionFirstLine(const LoaderTarget& target, LoaderAction action) {
    const std::string family = RunsMsp430(target) ? "MSP430." : "STM32.";
    switch (action) {
    case LoaderAction::Read: return "Begin read " + family;
    case LoaderAction::Erase: return "Begin erase " + family;
    case LoaderAction::Go: return "Begin Go " + family;
    case LoaderAction::WriteUnprotect: return "Begin write unprotect " + family;
    case LoaderAction::WriteProtect: return "Begin write protect " + family;
    case LoaderAction::ReadoutProtect: return "Begin readout protect " + family;
    case LoaderAction::ReadoutUnprotect: return "Begin readout unprotect " + family;
    }
    return {};
}

std::optional<std::vector<std::uint8_t>> ParseSectorList(const std::string& text) {
    std::vector<bool> chosen(256, false);
    std::size_t at = 0;
    // At most three digits: a longer number is out of range anyway.
    auto number = [&](unsigned& n) {
        const std::size_t from = at;
        n = 0;
        while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && at - from < 4)
            n = n * 10 + static_cast<unsigned>(text[at++] - '0');
        return at > from && n <= 255;
    };
    while (true) {
        unsigned first = 0, last = 0;
        if (!number(first)) return std::nullopt;
        last = first;
        if (at < text.size() && text[at] == '-') {
            ++at;
            if (!number(last) || last < first) return std::nullopt;
        }
        for (unsigned n = first; n <= last; ++n) chosen[n] = true;
        if (at == text.size()) break;
        if (text[at++] != ',') return std::nullopt;
    }
    std::vector<std::uint8_t> sectors;
    for (unsigned n = 0; n < 256; ++n)
        if (chosen[n]) sectors.push_back(static_cast<std::uint8_t>(n));
    return sectors;
}

std::string ProtectionQuestion(LoaderAction action) {
    const std::string reset =
        "\n\nThe part resets to take on its new option bytes, and the run enters its bootloader again.";
    switch (action) {
    case LoaderAction::WriteUnprotect:
        return "Remove the write protection from every flash sector of the STM32?" + reset;
    case LoaderAction::WriteProtect:
        return "Write-protect the listed sectors of the STM32? Sectors not listed lose their write "
               "protection; protected sectors cannot be erased or written until it is removed." + reset;
    case LoaderAction::ReadoutProtect:
        return "Turn on the STM32's read-out protection? Its flash can then no longer be read, written or "
               "erased through the bootloader; removing the protection erases the whole flash." + reset;
    case LoaderAction::ReadoutUnprotect:
        return "Remove the STM32's read-out protection? This ERASES THE WHOLE FLASH of the part." + reset;
    default:
        return {};
    }
}

}  // namespace quennet
