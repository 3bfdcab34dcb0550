#pragma once
#include <QColor>
#include <QFont>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/Ui.h"
#include "serial/ComPort.h"
#include "serial/PortProblem.h"
#include "terminal/TimeStamp.h"

namespace quennet {

// What the window needs from outside; tests replace every part of it.
struct FormEnvironment {
    std::string settingsPath;   // the settings file: NAME.INI beside the executable or in ~/.config/NAME
    ComPort* port = nullptr;    // the program's one serial port
    std::function<std::optional<std::vector<std::string>>()> listPorts = SystemSerialPorts;
    // A line to add to "Error opening" when the user may not use the port.
    std::function<std::string(const std::string& port)> portAccessHint = PortAccessHint;
    MessageBoxFn messageBox;                            // caption, text; OK button
    std::function<void(const std::string&)> errorBox;   // the standard error box
    // Font dialog: returns the chosen font, or nothing on Cancel.
    std::function<std::optional<QFont>(const QFont& current)> chooseFont;
    std::function<std::optional<QColor>(const QColor& current)> chooseColor;
    // The "Custom..." frame dialog: the chosen frame, or nothing on Cancel.
    std::function<std::optional<Frame>(const Frame& current)> chooseFrame;
    // Desktop services: tray availability and opening a document.
    std::function<bool()> trayAvailable;
    std::function<bool(const QString& path)> openDocument;
    // File dialogs: filter in the "Description (*.x)|*.x|..." form, the
    // proposed name; the chosen path, or nothing on Cancel.
    using FileDialogFn = std::function<std::optional<std::string>(const std::string& filter,
                                                                  const std::string& proposed)>;
    FileDialogFn openFileDialog;
    // The open dialog that also starts on a filter and tells which filter
    // the user left it on (its description, as in the filter text).
    std::function<std::optional<std::string>(const std::string& filter, const std::string& proposed,
                                             std::string& selectedFilter)>
        openFileDialogFiltered;
    FileDialogFn saveFileDialog;
    // The open dialog that lets the user pick several files; the chosen
    // paths, or nothing on Cancel.
    std::function<std::optional<std::vector<std::string>>(const std::string& filter, const std::string& proposed)>
        openFilesDialog;
    // Picks a folder, starting at the given one; nothing on Cancel.
    std::function<std::optional<std::string>(const std::string& current)> chooseFolder;
    // Asks where a raw binary file is loaded, proposing an address; the
    // address, or nothing on Cancel.
    std::function<std::optional<std::uint32_t>(const std::string& file, std::uint32_t proposed)>
        askFlashAddress;
    // Whether the device of that name is there to be opened again.
    std::function<bool(const std::string& port)> portPresent = PortNamePresent;
    // Asks before a file is replaced (the file's path); true for Yes.
    // Nothing set counts as Yes, as the save dialogs of the system ask
    // themselves.
    std::function<bool(const std::string& path)> confirmOverwrite;
    // Asks before the button keys are written into an existing file whose
    // other sections are kept (the file's path); true for Yes. Nothing set
    // asks confirmOverwrite instead.
    std::function<bool(const std::string& path)> confirmWriteInto;
    // A question with Yes and No (caption, text); true for Yes. Nothing
    // set counts as No.
    std::function<bool(const std::string& caption, const std::string& text)> askYesNo;
    // A question with buttons of its own (caption, text, the buttons'
    // texts); the index of the button chosen, or -1 when closed without
    // one. Nothing set counts as -1.
    std::function<int(const std::string& caption, const std::string& text, const std::vector<std::string>& buttons)>
        askChoice;
    // A line of text the user types (caption, what to type, the proposed
    // text); nothing on Cancel or when not set.
    std::function<std::optional<std::string>(const std::string& caption, const std::string& label,
                                             const std::string& proposed)>
        askText;
    // How long a status-bar note about a moment stays, in milliseconds.
    int momentNoteMs = 5000;
    // The time of day of the terminal's time stamps.
    TimeOfDayFn timeOfDay = LocalTimeOfDayMs;
};

// A shared file dialog's memory: the filter set last and the name last chosen.
struct FileDialogState {
    std::string filter;
    std::string fileName;
};

}  // namespace quennet
