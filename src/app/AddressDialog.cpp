#include "app/AddressDialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "firmware/FirmwareFile.h"

namespace quennet {

std::optional<std::uint32_t> AskFlashAddress(QWidget* parent, const std::string& file, std::uint32_t proposed) {
    QDialog dialog(parent);
    dialog.setObjectName("AddressDialog");
    dialog.setWindowTitle("Load Address");
    auto* label = new QLabel(QString("%1 is a raw binary. Address of its first byte:")
                                 .arg(QFileInfo(QString::fromStdString(file)).fileName()),
                             &dialog);
    auto* edit = new QLineEdit(QString::fromStdString(FormatFlashAddress(proposed)), &dialog);
    edit->setObjectName("EditAddress");
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(label);
    layout->addWidget(edit);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    QObject::connect(edit, &QLineEdit::textChanged, &dialog, [ok](const QString& text) {
        ok->setEnabled(ParseFlashAddress(text.toStdString()).has_value());
    });
    edit->selectAll();
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return ParseFlashAddress(edit->text().toStdString());
}

}  // namespace quennet
