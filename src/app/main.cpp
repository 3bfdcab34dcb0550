#include <QApplication>
#include <QColorDialog>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QUrl>

#include "app/TForm1.h"
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

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quennet");
    QApplication::setApplicationDisplayName("Quennet");

    // The settings file sits beside the program: its name with ".INI".
    const QFileInfo exe(QCoreApplication::applicationFilePath());
    const QString settings = exe.absolutePath() + "/" + exe.completeBaseName() + ".INI";

    quennet::ComPort port(quennet::DefaultSerialDeviceFactory(), quennet::SystemClock());

    quennet::FormEnvironment env;
    env.settingsPath = settings.toStdString();
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
    env.saveFileDialog = [](const std::string& f, const std::string& p) { return FileDialog(true, f, p); };
    env.trayAvailable = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    env.openDocument = [](const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); };

    quennet::TForm1 form(env);
    form.FormCreate();
    form.show();
    const int rc = app.exec();
    port.ComClose();
    return rc;
}
