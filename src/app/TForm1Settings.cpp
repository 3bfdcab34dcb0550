// The settings file: what the frame reads into the controls at start and
// writes back at close, section by section.
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QLineEdit>
#include <algorithm>
#include <fstream>

#include "app/FormServices.h"
#include "app/LoaderPage.h"
#include "app/PlotPage.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "app/TerminalTools.h"
#include "app/TerminalTransfer.h"
#include "core/IniFile.h"
#include "loader/LoaderSettings.h"
#include "terminal/transfer/TransferSettings.h"

namespace quennet {

namespace {

constexpr const char* kProposedBaud = "115200";

// Stored numbers are 64-bit (long long: a long has 32 bits on Windows);
// anything beyond what a window could use is clamped rather than wrapped
// into a plausible value.
int ClampToInt(long long value, int low, int high) {
    return static_cast<int>(std::clamp<long long>(value, low, high));
}

}  // namespace

// ---------------------------------------------------------------- settings

void TForm1::ReadSettings() {
    IniFile ini(env_.settingsPath);
    // Form
    const long long top = ini.ReadInteger("Form", "Top", 100);
    const long long left = ini.ReadInteger("Form", "Left", 100);
    const long long width = ini.ReadInteger("Form", "Width", 850);
    const long long height = ini.ReadInteger("Form", "Height", 554);
    initMax_ = ini.ReadBool("Form", "InitMax", false);
    constexpr int kFar = 100000;
    move(ClampToInt(left, -kFar, kFar), ClampToInt(top, -kFar, kFar));
    resize(ClampToInt(width, kMinWidth, kFar), ClampToInt(height, kMinHeight, kFar));
    if (initMax_) setWindowState(windowState() | Qt::WindowMaximized);
    const LoaderSettings prog = ReadLoaderSettings(ini);
    Edit1->setText(QString::fromStdString(prog.file));
    loaderPage_->SetVerifyWanted(prog.verify);
    CheckBoxReset->setChecked(prog.reset);
    CheckBoxToggleTCK->setChecked(prog.toggleTck);
    SelectIndex(ComboTarget, prog.target);
    loaderPage_->firmwareFilter = prog.fileFilter;
    LoaderActions.EditPassword->setText(QString::fromStdString(prog.passwordFile));
    // Terminal
    // The port's path is what identifies it; the position is only read from
    // files written before the path was stored.
    savedComIndex_ = ClampToInt(ini.ReadInteger("Terminal", "ComIndex", -1), -1, 1 << 30);
    savedComPort_ = ini.ReadString("Terminal", "ComPort", "");
    // A first start has no rate: propose the usual one rather than an empty
    // box that no port opens with.
    const std::string baud = ini.ReadString("Terminal", "Baud", "");
    ComboBaud->setEditText(QString::fromStdString(baud.empty() ? std::string(kProposedBaud) : baud));
    SelectIndex(ComboBits, ini.ReadInteger("Terminal", "Bits", kFrameN81));
    CheckBoxLowLatency->setChecked(ini.ReadBool("Terminal", "LowLatency", true));
    CheckBoxReopen->setChecked(ini.ReadBool("Terminal", "Reopen", false));
    // File
    EditBrowseSendFile->setText(QString::fromStdString(ini.ReadString("File", "Name", "")));
    SelectIndex(ComboSendFile, ini.ReadInteger("File", "Mode", 0));
    EditBrowseLogFile->setText(QString::fromStdString(ini.ReadString("File", "Log", "")));
    tools_->lastButtonSet = ini.ReadString("File", "Buttons", "");
    transfer_->ShowSettings(ReadTransferSettings(ini, TerminalTransfer::DefaultFolder()));
    // Font
    fontName_ = QString::fromStdString(ini.ReadString("Font", "Name", "Terminal"));
    fontSize_ = ClampToInt(ini.ReadInteger("Font", "Size", 14), 1, 400);
    fontColor_ = ColorFromSetting(ini.ReadInteger("Font", "Color", 0xC0C0C0));
    fontWeight_ = static_cast<QFont::Weight>(ClampToInt(ini.ReadInteger("Font", "Weight", QFont::Normal), 1, 1000));
    fontItalic_ = ini.ReadBool("Font", "Italic", false);
    QFont font(fontName_);
    font.setPointSize(fontSize_ > 0 ? fontSize_ : 14);
    font.setWeight(fontWeight_);
    font.setItalic(fontItalic_);
    ApplyDisplayFont(font, fontColor_);
    const TerminalOptions options = ReadTerminalOptions(ini);
    ShowTerminalOptions(options);
    TerminalOptionsChanged();
    lastBitsIndex_ = EffectiveIndex(ComboBits);
    plotPage_->ApplyOptions(plot::ReadPlotOptions(ini));
    // The button set last loaded or saved, when the user asked for it.
    if (options.restoreButtons && !tools_->lastButtonSet.empty() &&
        std::ifstream(tools_->lastButtonSet).good())
        tools_->LoadButtons(tools_->lastButtonSet);
}

void TForm1::ApplyDisplayFont(const QFont& wanted, const QColor& color) {
    QFont shown = wanted;
    // A family that is not installed would fall back to a proportional font;
    // a terminal wants fixed pitch, so take a fixed font of the system instead.
    if (!QFontDatabase::hasFamily(wanted.family())) {
        shown = FixedPitchFont();
        shown.setPointSize(wanted.pointSize() > 0 ? wanted.pointSize() : 14);
        shown.setWeight(wanted.weight());
        shown.setItalic(wanted.italic());
    }
    SetDisplayFont(shown, color);
}

void TForm1::SetDisplayFont(const QFont& font, const QColor& color) {
    Memo1->setFont(font);
    QPalette pal = Memo1->palette();
    pal.setColor(QPalette::Text, color);
    Memo1->setPalette(pal);
}

void TForm1::WriteSettings() {
    IniFile ini(env_.settingsPath);
    const bool maximized = isMaximized();
    const QRect normal = maximized ? normalGeometry() : geometry();
    ini.WriteInteger("Form", "Top", maximized ? normal.top() : y());
    ini.WriteInteger("Form", "Left", maximized ? normal.left() : x());
    if (!maximized) {
        ini.WriteInteger("Form", "Width", width());
        ini.WriteInteger("Form", "Height", height());
    }
    ini.WriteBool("Form", "InitMax", maximized);
    ini.WriteInteger("Terminal", "ComIndex", ComboComPort->currentIndex());
    ini.WriteString("Terminal", "ComPort",
                    ComboComPort->currentIndex() >= 0 ? ComboComPort->currentText().toStdString() : "");
    ini.WriteString("Terminal", "Baud", ComboBaud->currentText().toStdString());
    ini.WriteInteger("Terminal", "Bits", EffectiveIndex(ComboBits));
    ini.WriteBool("Terminal", "LowLatency", CheckBoxLowLatency->isChecked());
    ini.WriteBool("Terminal", "Reopen", CheckBoxReopen->isChecked());
    WriteLoaderSettings(ini, LoaderSettings{Edit1->text().toStdString(), loaderPage_->VerifyWanted(),
                                            CheckBoxReset->isChecked(), CheckBoxToggleTCK->isChecked(),
                                            EffectiveIndex(ComboTarget), loaderPage_->firmwareFilter,
                                            LoaderActions.EditPassword->text().toStdString()});
    ini.WriteString("File", "Name", EditBrowseSendFile->text().toStdString());
    ini.WriteInteger("File", "Mode", ComboSendFile->currentIndex());
    ini.WriteString("File", "Log", EditBrowseLogFile->text().toStdString());
    if (!tools_->lastButtonSet.empty()) ini.WriteString("File", "Buttons", tools_->lastButtonSet);
    ini.WriteString("Font", "Name", fontName_.toStdString());
    ini.WriteInteger("Font", "Size", fontSize_);
    ini.WriteInteger("Font", "Color", ColorToSetting(fontColor_));
    ini.WriteInteger("Font", "Weight", fontWeight_);
    ini.WriteBool("Font", "Italic", fontItalic_);
    WriteTerminalOptions(ini, ShownTerminalOptions());
    plot::WritePlotOptions(ini, plotPage_->Options());
    WriteTransferSettings(ini, transfer_->Settings());
}

}  // namespace quennet
