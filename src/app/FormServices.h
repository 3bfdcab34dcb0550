#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/FormEnvironment.h"

namespace quennet {

// What the window frame lends each of its parts: the outside world (message
// boxes, dialogs, questions), the error guard of handlers, the shared file
// dialogs and the receive pump's pause. A part gets this, never the window.
class FormServices {
public:
    explicit FormServices(const FormEnvironment& env) : env_(env) {}

    const FormEnvironment& env() const { return env_; }
    void WakePump() const {
        if (wakePump) wakePump();
    }

    // Runs a handler; an exception that escapes it goes to the error box.
    void Guarded(const std::function<void()>& handler) const;
    // A message box with the error caption.
    void ShowMessage(const std::string& text) const;
    // Asks before an existing file is replaced; true when it may be written.
    bool ConfirmOverwrite(const std::string& path) const;
    // Asks before keys are written into an existing file that keeps its
    // other sections; true when it may be written.
    bool ConfirmWriteInto(const std::string& path) const;
    // A Yes/No question; nothing set counts as No.
    bool AskYesNo(const std::string& caption, const std::string& text) const;
    // A question with buttons of its own; the index chosen, or -1.
    int AskChoice(const std::string& caption, const std::string& text, const std::vector<std::string>& buttons) const;

    // The shared open and save dialogs: each keeps its filter and the name
    // last chosen. The chosen path, or nothing on Cancel.
    std::optional<std::string> RunOpenDialog(const std::string& filter, const std::string& proposed);
    std::optional<std::string> RunSaveDialog(const std::string& proposed);
    FileDialogState OpenDialog1;
    FileDialogState SaveDialog1;

    // A note in the status bar about a moment ("the device is back"); it
    // clears itself after a few seconds.
    void Note(const std::string& text) const {
        if (showNote) showNote(text);
    }
    std::function<void(const std::string&)> showNote;

    // Lets the window process pending messages during a long operation.
    static void ProcessMessages();

    // Set by the frame: the receive pump stops for a long operation and
    // starts again after it; work for the pump (bytes written, a send or a
    // paste started) wakes it when it sleeps; whether the window waits to
    // close or exit.
    std::function<void()> pausePump;
    std::function<void()> resumePump;
    std::function<void()> wakePump;
    std::function<bool()> closeAsked;

private:
    const FormEnvironment& env_;
};

}  // namespace quennet
