#include <QApplication>
#include <QColorDialog>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFontDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QUrl>

#include <cstdio>
#include <string>
#include <vector>

#include "app/AddressDialog.h"
#include "app/FrameDialog.h"
#include "app/StartArguments.h"
#include "core/Version.h"
#include "app/QuitSignals.h"
#include "app/TForm1.h"
#include "core/SettingsPlace.h"
#include "serial/ComPort.h"

namespace {

// "Desc (*.x)|*.x|Other (*.*)|*.*" as the ";;"-separated list Qt dialogs take.
QString QtFilter(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString& desc = parts[i];
        out << (desc.contains('(') ? desc : desc + " (" + QString(parts[i + 1]).replace(';', ' ') + ")");
    }
    return out.join(";;");
}

std::optional<std::string> FileDialog(bool save, const std::string& filter, const std::string& proposed) {
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // Logging appends to an existing file anyway: no question before it.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setNameFilter(QtFilter(filter));
    if (!proposed.empty()) dialog.selectFile(QString::fromStdString(proposed));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

// The open dialog that starts on the filter chosen last and tells which one
// the user left it on.
std::optional<std::string> FilteredOpenDialog(const std::string& filter, const std::string& proposed,
                                              std::string& selected) {
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(QtFilter(filter));
    if (!selected.empty()) dialog.selectNameFilter(QString::fromStdString(selected));
    if (!proposed.empty()) dialog.selectFile(QString::fromStdString(proposed));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    selected = dialog.selectedNameFilter().toStdString();
    return dialog.selectedFiles().first().toStdString();
}

// The open dialog that takes several files at once.
std::optional<std::vector<std::string>> FilesDialog(const std::string& filter, const std::string& proposed) {
    QFileDialog dialog(QApplication::activeWindow());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilter(QtFilter(filter));
    if (!proposed.empty()) dialog.selectFile(QString::fromStdString(proposed));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    std::vector<std::string> files;
    for (const QString& f : dialog.selectedFiles()) files.push_back(f.toStdString());
    return files;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Version, usage and a refused line are answered before any window.
    const quennet::StartArguments start = quennet::ParseStartArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!start.error.empty()) {
        std::fprintf(stderr, "quennet: %s\n%s", start.error.c_str(), quennet::StartUsage().c_str());
        return 2;
    }
    if (start.version) {
        std::printf("quennet %s\n", quennet::QuennetVersion());
        return 0;
    }
    if (start.help) {
        std::printf("%s", quennet::StartUsage().c_str());
        return 0;
    }
    QApplication app(argc, argv);
    // The name only: a display name set here would be appended to every
    // window's caption ("... - Quennet") by the platform.
    QApplication::setApplicationName("Quennet");
    // Lets the desktop match the window with its menu entry and icon.
    QGuiApplication::setDesktopFileName("quennet");

    // The settings file: beside the program when it runs from a folder of
    // its own, else in the user's configuration folder.
    const quennet::SettingsPlace settings =
        quennet::LocateSettingsFile(QCoreApplication::applicationFilePath().toStdString());

    quennet::ComPort port(quennet::DefaultSerialDeviceFactory(), quennet::SystemClock());

    quennet::FormEnvironment env;
    env.settingsPath = settings.path;
    env.port = &port;
    env.messageBox = [](const std::string& caption, const std::string& text) {
        QMessageBox::critical(QApplication::activeWindow(), QString::fromStdString(caption),
                              QString::fromStdString(text), QMessageBox::Ok);
    };
    env.errorBox = [](const std::string& text) {
        QMessageBox::critical(QApplication::activeWindow(), "Quennet", QString::fromStdString(text),
                              QMessageBox::Ok);
    };
    env.chooseFont = [](const QFont& current) -> std::optional<QFont> {
        bool ok = false;
        const QFont font = QFontDialog::getFont(&ok, current, QApplication::activeWindow(), "Font");
        return ok ? std::optional<QFont>(font) : std::nullopt;
    };
    env.chooseColor = [](const QColor& current) -> std::optional<QColor> {
        const QColor color = QColorDialog::getColor(current, QApplication::activeWindow(), "Font Color");
        return color.isValid() ? std::optional<QColor>(color) : std::nullopt;
    };
    env.openFileDialog = [](const std::string& f, const std::string& p) { return FileDialog(false, f, p); };
    env.openFileDialogFiltered = FilteredOpenDialog;
    env.openFilesDialog = FilesDialog;
    env.chooseFolder = [](const std::string& current) -> std::optional<std::string> {
        const QString dir = QFileDialog::getExistingDirectory(QApplication::activeWindow(), "Receive Folder",
                                                              QString::fromStdString(current));
        return dir.isEmpty() ? std::nullopt : std::optional<std::string>(dir.toStdString());
    };
    env.askChoice = [](const std::string& caption, const std::string& text, const std::vector<std::string>& buttons) {
        QMessageBox box(QMessageBox::Question, QString::fromStdString(caption), QString::fromStdString(text),
                        QMessageBox::NoButton, QApplication::activeWindow());
        std::vector<QAbstractButton*> added;
        for (const auto& b : buttons) added.push_back(box.addButton(QString::fromStdString(b), QMessageBox::AcceptRole));
        box.exec();
        for (std::size_t i = 0; i < added.size(); ++i)
            if (box.clickedButton() == added[i]) return static_cast<int>(i);
        return -1;
    };
    env.chooseFrame = [](const quennet::Frame& current) {
        return quennet::AskFrame(QApplication::activeWindow(), current);
    };
    env.saveFileDialog = [](const std::string& f, const std::string& p) { return FileDialog(true, f, p); };
    env.askFlashAddress = [](const std::string& file, std::uint32_t proposed) {
        return quennet::AskFlashAddress(QApplication::activeWindow(), file, proposed);
    };
    env.askYesNo = [](const std::string& caption, const std::string& text) {
        return QMessageBox::question(QApplication::activeWindow(), QString::fromStdString(caption),
                                     QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::No) == QMessageBox::Yes;
    };
    env.askText = [](const std::string& caption, const std::string& label,
                     const std::string& proposed) -> std::optional<std::string> {
        bool ok = false;
        const QString text = QInputDialog::getText(QApplication::activeWindow(), QString::fromStdString(caption),
                                                   QString::fromStdString(label), QLineEdit::Normal,
                                                   QString::fromStdString(proposed), &ok);
        return ok ? std::optional<std::string>(text.toStdString()) : std::nullopt;
    };
    env.confirmOverwrite = [](const std::string& path) {
        return QMessageBox::question(QApplication::activeWindow(), "Quennet",
                                     QString::fromStdString(path) + " already exists.\nDo you want to replace it?",
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
    };
    env.confirmWriteInto = [](const std::string& path) {
        return QMessageBox::question(QApplication::activeWindow(), "Quennet",
                                     QString::fromStdString(path) +
                                         " already exists.\nThe buttons are written into it; its other sections "
                                         "are kept.\nDo you want to write into it?",
                                     QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
    };
    env.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    env.openDocument = [](const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };

    // Installed before the window: a quit signal closes it and so saves
    // its settings.
    quennet::TForm1* window = nullptr;
    quennet::QuitSignals quit([&window] {
        if (window != nullptr) quennet::QuitSignals::CloseMainWindow(window);
    });
    quennet::TForm1 form(env);
    window = &form;
    form.FormCreate();
    form.show();
    if (!start.port.empty()) form.OpenAtStart({start.port, start.baud, start.frame});
    const int rc = app.exec();
    port.ComClose();
    return rc;
}
