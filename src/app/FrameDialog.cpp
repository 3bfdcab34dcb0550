#include "app/FrameDialog.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>

namespace quennet {

namespace {
constexpr Parity kParities[] = {Parity::None, Parity::Even, Parity::Odd, Parity::Mark, Parity::Space};
constexpr const char* kParityNames[] = {"None (N)", "Even (E)", "Odd (O)", "Mark (M)", "Space (S)"};
}  // namespace

std::optional<Frame> AskFrame(QWidget* parent, const Frame& current) {
    QDialog dialog(parent);
    dialog.setWindowTitle("Custom Frame");
    auto* form = new QFormLayout(&dialog);
    auto* bits = new QComboBox;
    for (int b = 5; b <= 8; ++b) bits->addItem(QString::number(b), b);
    bits->setCurrentIndex(current.dataBits - 5);
    auto* parity = new QComboBox;
    for (int i = 0; i < 5; ++i) {
        parity->addItem(kParityNames[i]);
        if (kParities[i] == current.parity) parity->setCurrentIndex(i);
    }
    auto* stop = new QComboBox;
    stop->addItems({"1", "2"});
    stop->setCurrentIndex(current.stopBits == 2 ? 1 : 0);
    form->addRow("&Data bits:", bits);
    form->addRow("&Parity:", parity);
    form->addRow("&Stop bits:", stop);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    Frame frame = current;
    frame.dataBits = bits->currentIndex() + 5;
    frame.parity = kParities[parity->currentIndex()];
    frame.stopBits = stop->currentIndex() + 1;
    return frame;
}

}  // namespace quennet
