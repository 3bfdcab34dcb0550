#pragma once
#include <QDialog>
#include <functional>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quennet {

// The About box: product, version, notices, two links to the local README
// and LICENSE, the licence text, and OK.
class TAboutBox : public QDialog {
    Q_OBJECT
public:
    using OpenFn = std::function<bool(const QString& path)>;
    explicit TAboutBox(OpenFn open, QWidget* parent = nullptr);

    // Where the documents are found: beside the program or in the folders
    // above it (a build tree inside the source tree; NAME.txt counts too, as
    // the Windows package names them), or in PREFIX/share/doc/quennet for a
    // program installed in PREFIX/bin.
    static QString FindDocument(const QString& fileName);
    static QString FindDocumentFrom(const QString& programDir, const QString& fileName);

    // Tells where the settings file is: beside the program or in the
    // user's configuration folder, and its path.
    void ShowSettingsFile(const QString& path);

    QLabel* SettingsFile = nullptr;
    QLabel* LinkReadme = nullptr;
    QLabel* LinkLicense = nullptr;
    QPlainTextEdit* LicenseText = nullptr;
    QPushButton* OKButton = nullptr;

    // Opens the document behind a link.
    void LinkClick(QLabel* link);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    OpenFn open_;
};

}  // namespace quennet
