#include "app/FormServices.h"

#include <QCoreApplication>
#include <exception>
#include <filesystem>

namespace quennet {

namespace {

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

}  // namespace

void FormServices::Guarded(const std::function<void()>& handler) const {
    try {
        handler();
    } catch (const std::exception& e) {
        if (env_.errorBox) env_.errorBox(e.what());
    } catch (...) {
        if (env_.errorBox) env_.errorBox("Unknown error");
    }
}

void FormServices::ShowMessage(const std::string& text) const {
    if (env_.messageBox) env_.messageBox(kErrorCaption, text);
}

bool FormServices::ConfirmOverwrite(const std::string& path) const {
    if (!FileExists(path)) return true;
    return !env_.confirmOverwrite || env_.confirmOverwrite(path);
}

bool FormServices::ConfirmWriteInto(const std::string& path) const {
    if (!env_.confirmWriteInto) return ConfirmOverwrite(path);
    return !FileExists(path) || env_.confirmWriteInto(path);
}

bool FormServices::AskYesNo(const std::string& caption, const std::string& text) const {
    return env_.askYesNo && env_.askYesNo(caption, text);
}

int FormServices::AskChoice(const std::string& caption, const std::string& text,
                            const std::vector<std::string>& buttons) const {
    if (!env_.askChoice) return -1;
    const int chosen = env_.askChoice(caption, text, buttons);
    return chosen >= 0 && chosen < static_cast<int>(buttons.size()) ? chosen : -1;
}

std::optional<std::string> FormServices::RunOpenDialog(const std::string& filter, const std::string& proposed) {
    OpenDialog1.filter = filter;
    OpenDialog1.fileName = proposed;
    if (!env_.openFileDialog) return std::nullopt;
    auto chosen = env_.openFileDialog(filter, proposed);
    if (chosen) OpenDialog1.fileName = *chosen;
    return chosen;
}

std::optional<std::string> FormServices::RunSaveDialog(const std::string& proposed) {
    SaveDialog1.fileName = proposed;
    if (!env_.saveFileDialog) return std::nullopt;
    auto chosen = env_.saveFileDialog(SaveDialog1.filter, proposed);
    if (chosen) SaveDialog1.fileName = *chosen;
    return chosen;
}

void FormServices::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace quennet
