#pragma once
#include <string>

namespace quennet {

class IniFile;

// The loader tab's choices, kept in the settings file's "Prog" section.
struct LoaderSettings {
    std::string file;        // the firmware file
    bool verify = false;
    bool reset = false;      // the reset line's polarity inverted
    bool toggleTck = false;
    int target = 0;          // into kLoaderTargets; -1 for none chosen
    std::string fileFilter;  // the filter the file dialog last had
    std::string passwordFile;  // the MSP430 password's firmware file; empty for none

    bool operator==(const LoaderSettings&) const = default;
};

// Reads the choices; a stored target outside the list reads as none.
LoaderSettings ReadLoaderSettings(const IniFile& ini);
void WriteLoaderSettings(IniFile& ini, const LoaderSettings& settings);

}  // namespace quennet
