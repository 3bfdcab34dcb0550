#include "app/TAboutBox.h"
#include "app/Resources.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

namespace quennet {

namespace {

QLabel* MakeLink(const QString& text, const QString& path, QWidget* parent) {
    auto* link = new QLabel(text, parent);
    link->setProperty("target", path);
    link->setToolTip(path);
    link->setCursor(Qt::PointingHandCursor);
    QPalette pal = link->palette();
    pal.setColor(QPalette::WindowText, Qt::blue);
    link->setPalette(pal);
    return link;
}

}  // namespace

QString TAboutBox::FindDocument(const QString& fileName) {
    return FindDocumentFrom(QCoreApplication::applicationDirPath(), fileName);
}

QString TAboutBox::FindDocumentFrom(const QString& programDir, const QString& fileName) {
    const QString installed = QDir(programDir).filePath("../share/doc/quennet/" + fileName);
    if (QFileInfo::exists(installed)) return QDir::cleanPath(installed);
    // The Windows package names them README.txt and LICENSE.txt, which the
    // shell opens in a text editor; the file's own name comes first.
    const QStringList names{fileName, QFileInfo(fileName).completeBaseName() + ".txt"};
    QDir dir(programDir);
    for (int up = 0; up < 4; ++up) {
        for (const QString& name : names)
            if (QFileInfo::exists(dir.filePath(name))) return dir.filePath(name);
        if (!dir.cdUp()) break;
    }
#ifdef QUENNET_SOURCE_DIR
    const QString source = QDir(QUENNET_SOURCE_DIR).filePath(fileName);
    if (QFileInfo::exists(source)) return source;
#endif
    return QDir(programDir).filePath(fileName);
}

TAboutBox::TAboutBox(OpenFn open, QWidget* parent) : QDialog(parent), open_(std::move(open)) {
    InitQuennetResources();
    setObjectName("AboutBox");
    setWindowTitle("About Quennet");
    setFixedSize(410, 370);

    auto* column = new QVBoxLayout(this);
    auto* head = new QHBoxLayout;
    auto* icon = new QLabel;
    icon->setPixmap(QPixmap(":/quennet.png").scaled(64, 64, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    icon->setFixedSize(64, 64);
    head->addWidget(icon);
    auto* titles = new QVBoxLayout;
    auto* product = new QLabel("QUENNET");
    product->setObjectName("ProductName");
    QFont bold = product->font();
    bold.setBold(true);
    bold.setPixelSize(19);
    product->setFont(bold);
    titles->addWidget(product);
    titles->addWidget(new QLabel("Serial Terminal and Serial Flash Loader"));
    auto* version = new QLabel("Version 1.0.5");
    version->setObjectName("Version");
    titles->addWidget(version);
    head->addLayout(titles, 1);
    column->addLayout(head);

    column->addWidget(new QLabel("Copyright (c) 2026 The Quennet developers."));
    column->addWidget(new QLabel("Quennet is free software under the MIT licence."));
    column->addWidget(new QLabel("Visit website for latest update:"));
    const QString readme = FindDocument("README.md");
    const QString license = FindDocument("LICENSE");
    LinkReadme = MakeLink("Quennet README", readme, this);
    LinkReadme->setObjectName("LinkReadme");
    LinkLicense = MakeLink("Quennet LICENSE", license, this);
    LinkLicense->setObjectName("LinkLicense");
    for (QLabel* link : {LinkReadme, LinkLicense}) {
        link->installEventFilter(this);
        column->addWidget(link);
    }

    SettingsFile = new QLabel;
    SettingsFile->setObjectName("SettingsFile");
    SettingsFile->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(SettingsFile);

    column->addWidget(new QLabel("License:"));
    LicenseText = new QPlainTextEdit;
    LicenseText->setObjectName("LicenseText");
    LicenseText->setReadOnly(true);
    LicenseText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFile text(":/LICENSE");
    if (text.open(QIODevice::ReadOnly)) {
        // The file is wrapped for a terminal; let the box wrap paragraphs.
        QString licence = QString::fromUtf8(text.readAll());
        licence.replace(QRegularExpression("(?<!\n)\n(?!\n)"), " ");
        LicenseText->setPlainText(licence.trimmed());
    }
    column->addWidget(LicenseText, 1);

    OKButton = new QPushButton("OK");
    OKButton->setObjectName("OKButton");
    OKButton->setDefault(true);
    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OKButton);
    buttons->addStretch(1);
    column->addLayout(buttons);

    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

void TAboutBox::ShowSettingsFile(const QString& path) {
    const QFileInfo file(path);
    const bool beside = file.absolutePath() == QFileInfo(QCoreApplication::applicationFilePath()).absolutePath();
    const QString where = beside ? "Settings file (beside the program):" : "Settings file (in your configuration folder):";
    // The path as the system writes it (backslashes on Windows). A long
    // path is shortened in the middle; the hint holds it whole.
    const QString full = QDir::toNativeSeparators(file.absoluteFilePath());
    const int room = width() - 2 * layout()->contentsMargins().left() - 4;
    const QString shown = SettingsFile->fontMetrics().elidedText(full, Qt::ElideMiddle, room);
    SettingsFile->setText(where + "\n" + shown);
    SettingsFile->setToolTip(full);
}

void TAboutBox::LinkClick(QLabel* link) {
    const QString path = link->property("target").toString();
    if (open_)
        open_(path);
    else
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
    auto* link = qobject_cast<QLabel*>(watched);
    if (link != nullptr && (link == LinkReadme || link == LinkLicense)) {
        QFont font = link->font();
        switch (event->type()) {
            case QEvent::Enter:
                font.setUnderline(true);
                link->setFont(font);
                break;
            case QEvent::Leave:
                font.setUnderline(false);
                link->setFont(font);
                break;
            case QEvent::MouseButtonRelease:
                LinkClick(link);
                return true;
            default:
                break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace quennet
