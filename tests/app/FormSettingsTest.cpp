// The main window's frame: settings file round trips, defaults, the button
// row layout, the menus and the About box.
#include <algorithm>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDevice>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>

#include "FormFixture.h"
#include "app/PortCombo.h"
#include "app/TAboutBox.h"
#include "app/TerminalMemo.h"
#include "core/IniFile.h"
#include "terminal/FileSend.h"
#include "app/TerminalTransfer.h"
#include "terminal/transfer/TransferSettings.h"

namespace quennet::testing {
namespace {

class FormSettings : public FormFixture {};

TEST_F(FormSettings, DefaultsWithoutSettingsFile) {
    TForm1& f = MakeForm();
    EXPECT_EQ(f.windowTitle(), "QUENNET - Serial Terminal and Serial Flash Loader");
    EXPECT_EQ(f.x(), 100);
    EXPECT_EQ(f.y(), 100);
    EXPECT_EQ(f.width(), std::max(850, f.minimumWidth()));  // wider only where the font needs it
    EXPECT_EQ(f.height(), 554);
    EXPECT_EQ(f.ComboComPort->currentIndex(), -1);
    EXPECT_EQ(f.ComboBaud->currentText(), "115200");  // proposed: an empty rate opens nothing
    EXPECT_EQ(f.ComboBits->currentText(), "N-8-1");
    EXPECT_EQ(f.ComboTarget->currentIndex(), 0);
    EXPECT_EQ(f.ComboTarget->currentText(), "MSP430-9600");
    EXPECT_EQ(f.ComboSendFile->currentText(), "Raw");
    EXPECT_EQ(f.displayFontName(), "Terminal");
    EXPECT_EQ(f.displayFontSize(), 14);
    EXPECT_EQ(ColorToSetting(f.displayFontColor()), 0xC0C0C0);
    EXPECT_FALSE(f.PageControl1->isTabVisible(3));
    EXPECT_EQ(f.PageControl1->count(), 5);
    EXPECT_EQ(f.PageControl1->tabText(0), "Terminal");
    EXPECT_EQ(f.PageControl1->tabText(1), "Serial Flash Loader");
    EXPECT_EQ(f.PageControl1->tabText(2), "Settings");
    EXPECT_EQ(f.PageControl1->tabText(3), "LCD");
    EXPECT_EQ(f.PageControl1->tabText(4), "Plot");  // after the LCD tab, whose index stays
    EXPECT_FALSE(f.trayIcon()->isVisible());
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(errors.empty());
}

TEST_F(FormSettings, RoundTripOfEveryKey) {
    {
        TForm1& f = MakeForm();
        f.move(140, 120);
        f.resize(1100, 600);
        f.ComboComPort->setCurrentIndex(1);
        f.ComboBaud->setEditText("28800");
        f.ComboBits->setCurrentIndex(kFrameE81);
        f.Edit1->setText("/tmp/fw image.s19");
        f.ComboTarget->setCurrentIndex(3);  // a target that reads back: "Verify Data" is free
        f.CheckBoxVerify->setChecked(true);
        f.CheckBoxReset->setChecked(true);
        f.CheckBoxToggleTCK->setChecked(true);
        f.ComboTarget->setCurrentIndex(3);
        f.EditBrowseSendFile->setText("/tmp/send.bin");
        f.ComboSendFile->setCurrentIndex(1);
        f.EditBrowseLogFile->setText("/tmp/session.log");
        f.LoaderActions.EditPassword->setText("/tmp/app.s19");
        CloseForm();
    }
    const std::string text = ReadSettings();
    // Sections in the order they are first written.
    const auto form = text.find("[Form]"), term = text.find("[Terminal]"), prog = text.find("[Prog]"),
               file = text.find("[File]"), font = text.find("[Font]");
    ASSERT_NE(form, std::string::npos);
    EXPECT_LT(form, term);
    EXPECT_LT(term, prog);
    EXPECT_LT(prog, file);
    EXPECT_LT(file, font);
    EXPECT_NE(text.find("Color=12632256"), std::string::npos);
    EXPECT_NE(text.find("InitMax=0"), std::string::npos);

    TForm1& g = MakeForm();
    EXPECT_EQ(g.x(), 140);
    EXPECT_EQ(g.y(), 120);
    EXPECT_EQ(g.width(), 1100);
    EXPECT_EQ(g.height(), 600);
    EXPECT_EQ(g.ComboComPort->currentText(), "/dev/ttyUSB0");
    EXPECT_EQ(g.ComboBaud->currentText(), "28800");
    EXPECT_EQ(g.ComboBits->currentIndex(), kFrameE81);
    EXPECT_EQ(g.Edit1->text(), "/tmp/fw image.s19");
    EXPECT_TRUE(g.CheckBoxVerify->isChecked());
    EXPECT_TRUE(g.CheckBoxReset->isChecked());
    EXPECT_TRUE(g.CheckBoxToggleTCK->isChecked());
    EXPECT_EQ(g.ComboTarget->currentIndex(), 3);
    EXPECT_EQ(g.EditBrowseSendFile->text(), "/tmp/send.bin");
    EXPECT_EQ(g.ComboSendFile->currentIndex(), 1);
    EXPECT_EQ(g.EditBrowseLogFile->text(), "/tmp/session.log");
    EXPECT_EQ(g.LoaderActions.EditPassword->text(), "/tmp/app.s19");
    // The stored reset polarity reaches the driver at start.
    EXPECT_TRUE(port.DtrInverted);
}

TEST_F(FormSettings, MaximizedKeepsStoredSizeAndReopensMaximized) {
    WriteSettings("[Form]\r\nTop=50\r\nLeft=60\r\nWidth=1000\r\nHeight=700\r\n");
    {
        TForm1& f = MakeForm();
        f.setWindowState(Qt::WindowMaximized);
        ASSERT_TRUE(f.isMaximized());
        CloseForm();
    }
    IniFile ini(SettingsPath());
    EXPECT_TRUE(ini.ReadBool("Form", "InitMax", false));
    EXPECT_EQ(ini.ReadInteger("Form", "Width", 0), 1000);
    EXPECT_EQ(ini.ReadInteger("Form", "Height", 0), 700);
    TForm1& g = MakeForm();
    EXPECT_TRUE(g.windowState() & Qt::WindowMaximized);
}

TEST_F(FormSettings, OutOfRangeAndMalformedValuesFallBack) {
    WriteSettings(
        "[Form]\nWidth=300\nHeight=200\nTop=abc\n"
        "[Terminal]\nComIndex=4294967296\nBits=9\nBaud=  9600 \n"
        "[Prog]\nTarget=$1F\nVerify=yes\n"
        "[Font]\nName=No Such Font Family\nSize=0x0A\nColor=$0000FF\n");
    TForm1& f = MakeForm();
    EXPECT_EQ(f.width(), std::max(850, f.minimumWidth()));   // raised to the minimum
    EXPECT_EQ(f.height(), 460);
    EXPECT_EQ(f.y(), 100);       // non-numeric: default
    EXPECT_EQ(f.ComboComPort->currentIndex(), -1);
    EXPECT_EQ(f.ComboBits->currentIndex(), -1);
    EXPECT_EQ(f.ComboBaud->currentText(), "9600");
    EXPECT_EQ(f.ComboTarget->currentIndex(), -1);  // 31 is no target
    EXPECT_FALSE(f.CheckBoxVerify->isChecked());
    // The stored family is kept though it is not installed; the display
    // shows a fixed-pitch font of the system at the stored size.
    EXPECT_EQ(f.displayFontName(), "No Such Font Family");
    EXPECT_EQ(f.displayFontSize(), 10);
    EXPECT_EQ(f.displayFontColor(), QColor(255, 0, 0));
    EXPECT_EQ(f.Memo1->font().pointSize(), 10);
    EXPECT_TRUE(QFontInfo(f.Memo1->font()).fixedPitch());
    CloseForm();
    IniFile ini(SettingsPath());
    EXPECT_EQ(ini.ReadString("Font", "Name", ""), "No Such Font Family");
    EXPECT_EQ(ini.ReadInteger("Font", "Color", 0), 255);
    EXPECT_EQ(ini.ReadInteger("Terminal", "Bits", 0), -1);
}

TEST_F(FormSettings, StoredSendModeOutsideTheListStartsNothing) {
    const std::string sendFile = dir.filePath("payload.bin").toStdString();
    std::ofstream(sendFile, std::ios::binary) << "payload";
    WriteSettings("[File]\nMode=9\nName=" + sendFile + "\n");
    TForm1& f = MakeForm();
    EXPECT_EQ(f.ComboSendFile->currentIndex(), -1);
    f.ComboComPort->setCurrentIndex(0);
    f.ComboBaud->setEditText("9600");
    f.CheckBox1->setChecked(true);
    f.ButtonSendFile->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].second, "Choose a send mode (Raw or Compact SREC) on the Settings tab.");
    EXPECT_EQ(f.ButtonSendFile->text(), "Send File");
    EXPECT_FALSE(f.fileSender().Running());
}

TEST_F(FormSettings, OtherSectionsOfTheFileSurvive) {
    WriteSettings("; my notes\r\n[Mine]\r\nKey=Value\r\n[Form]\r\nTop=10\r\n");
    MakeForm();
    CloseForm();
    const std::string text = ReadSettings();
    EXPECT_NE(text.find("; my notes"), std::string::npos);
    EXPECT_NE(text.find("[Mine]\r\nKey=Value"), std::string::npos);
}

TEST_F(FormSettings, UnwritableFolderReportsAndStillCloses) {
    // A missing folder cannot be written, even by root.
    FormEnvironment env = Env();
    env.settingsPath = dir.filePath("no/such/folder/quennet.INI").toStdString();
    MakeFormWith(env);
    form->show();
    EXPECT_TRUE(form->close());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Unable to write to " + env.settingsPath);
    EXPECT_FALSE(form->isVisible());
}

TEST_F(FormSettings, ThePortIsRememberedByItsPath) {
    {
        TForm1& f = MakeForm();
        f.ComboComPort->setCurrentIndex(1);  // /dev/ttyUSB0
        CloseForm();
    }
    const IniFile ini(SettingsPath());
    EXPECT_EQ(ini.ReadString("Terminal", "ComPort", ""), "/dev/ttyUSB0");
    EXPECT_EQ(ini.ReadInteger("Terminal", "ComIndex", -5), 1) << "still written for older readers";

    // Another adapter enumerated first: the same device is chosen.
    ports = std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0"};
    EXPECT_EQ(MakeForm().ComboComPort->currentText(), "/dev/ttyUSB0");
    form.reset();
    // The device is gone: its path is listed and chosen, so that opening
    // names it instead of opening another board.
    ports = std::vector<std::string>{"/dev/ttyS0"};
    TForm1& f = MakeForm();
    EXPECT_EQ(f.ComboComPort->currentText(), "/dev/ttyUSB0");
    f.ComboBaud->setEditText("9600");
    f.CheckBox1->setChecked(true);
    EXPECT_EQ(line.OpenPath(), "/dev/ttyUSB0");
    f.CheckBox1->setChecked(false);
    form.reset();
    // A file without the path falls back to the position.
    WriteSettings("[Terminal]\r\nComIndex=1\r\n");
    ports = std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0"};
    EXPECT_EQ(MakeForm().ComboComPort->currentText(), "/dev/ttyS0");
}

TEST_F(FormSettings, ExitClosesThePortAndWritesSettings) {
    TForm1& f = MakeForm();
    f.ComboComPort->setCurrentIndex(0);
    f.ComboBaud->setEditText("9600");
    f.CheckBox1->setChecked(true);
    ASSERT_TRUE(port.IsOpen());
    f.show();
    f.Exit1->trigger();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(IniFile(SettingsPath()).ReadInteger("Terminal", "ComIndex", -5), 0);
}

TEST_F(FormSettings, FunctionButtonRowFollowsTheWidth) {
    TForm1& f = MakeForm();
    f.resize(1004, 554);
    f.FormResize();
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(f.ButtonStr[k]->x(), 125 * k) << k;
        EXPECT_EQ(f.ButtonStr[k]->width(), 120) << k;
        EXPECT_EQ(f.ButtonStr[k]->height(), 17) << k;
    }
    f.resize(1204, 554);
    f.FormResize();
    EXPECT_EQ(f.ButtonStr[7]->x(), 150 * 7);
    EXPECT_EQ(f.ButtonStr[7]->width(), 145);
}

TEST_F(FormSettings, ExtraFeaturesFlipsTheLcdTab) {
    TForm1& f = MakeForm();
    f.ExtraFeatures1->trigger();
    EXPECT_TRUE(f.ExtraFeatures1->isChecked());
    EXPECT_TRUE(f.PageControl1->isTabVisible(3));
    f.ExtraFeatures1->trigger();
    EXPECT_FALSE(f.ExtraFeatures1->isChecked());
    EXPECT_FALSE(f.PageControl1->isTabVisible(3));
}

TEST_F(FormSettings, FontDialogChoiceIsShownAndStored) {
    FormEnvironment env = Env();
    QFont chosen = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    chosen.setPointSize(17);
    chosen.setBold(true);
    env.chooseFont = [chosen](const QFont&) { return std::optional<QFont>(chosen); };
    env.chooseColor = [](const QColor&) { return std::optional<QColor>(QColor(0, 255, 0)); };
    MakeFormWith(env);
    form->Font1->trigger();
    EXPECT_TRUE(form->Memo1->font().bold());
    EXPECT_EQ(form->Memo1->font().pointSize(), 17);
    CloseForm();
    IniFile ini(SettingsPath());
    EXPECT_EQ(ini.ReadString("Font", "Name", ""), chosen.family().toStdString());
    EXPECT_EQ(ini.ReadInteger("Font", "Size", 0), 17);
    EXPECT_EQ(ini.ReadInteger("Font", "Color", 0), 0x00FF00);
    TForm1& g = MakeForm();
    EXPECT_TRUE(g.Memo1->font().bold());  // what was applied is what comes back
}

TEST_F(FormSettings, TrayIconFollowsTheCheckBoxAndReportsRefusal) {
    TForm1& f = MakeForm();
    f.VisibleCheck->setChecked(true);
    EXPECT_TRUE(f.trayIcon()->isVisible());
    EXPECT_EQ(f.trayIcon()->toolTip(), "Quennet");
    f.VisibleCheck->setChecked(false);
    EXPECT_FALSE(f.trayIcon()->isVisible());

    FormEnvironment env = Env();
    env.trayAvailable = [] { return false; };
    TForm1 g(env);
    g.timer()->stop();
    // Without a tray the box is off and says why; a tick that still comes
    // (from the program) is reported.
    EXPECT_FALSE(g.VisibleCheck->isEnabled());
    EXPECT_TRUE(g.VisibleCheck->toolTip().contains("no system tray")) << g.VisibleCheck->toolTip().toStdString();
    EXPECT_TRUE(f.VisibleCheck->isEnabled());
    g.VisibleCheck->setChecked(true);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Cannot Create System Shell Notification Icon");
    EXPECT_TRUE(g.VisibleCheck->isChecked());
}

TEST_F(FormSettings, EveryNamedControlExists) {
    TForm1& f = MakeForm();
    const char* names[] = {"ComboComPort", "ComboBaud", "ComboBits", "CheckBox1", "ButtonReset", "Button4",
                           "Button5", "ButtonSendFile", "VisibleCheck", "CheckBoxHex", "Edit2", "Button3",
                           "Memo1", "ComboTarget", "Edit1", "Button2", "Button1", "Button7",
                           "CheckBoxVerify", "CheckBoxReset", "CheckBoxToggleTCK", "Memo2", "ComboSendFile",
                           "ButtonBrowseSendFile", "EditBrowseSendFile", "CheckBoxLogFile",
                           "ButtonBrowseLogFile", "EditBrowseLogFile", "CheckBoxFHex", "CheckBoxCRCNMEA",
                           "ButtonStr1", "ButtonStr8", "EditBC1", "EditBV8", "PageControl1", "TabSheetLCD"};
    for (const char* name : names) EXPECT_NE(f.findChild<QWidget*>(name), nullptr) << name;
    EXPECT_EQ(f.findChild<QLineEdit*>("EditBC3")->maxLength(), 16);
    EXPECT_EQ(f.findChild<QLineEdit*>("EditBV3")->maxLength(), 200);
    EXPECT_EQ(f.ComboBaud->count(), 12);
    EXPECT_EQ(f.ComboTarget->count(), 9);
    EXPECT_EQ(f.ComboTarget->itemText(5), "MG2455");
    EXPECT_EQ(f.ComboTarget->itemText(6), "MSP430-38400");
    EXPECT_EQ(f.ComboTarget->itemText(7), "STM32-ANY-115200");
    EXPECT_EQ(f.ComboTarget->itemText(8), "STM32-ANY-57600");
}

// The transfers' settings: the send modes follow the old ones, and the
// folder, auto-start, limit and protocol keep a section of their own.
TEST_F(FormSettings, TransferSettingsHaveTheirOwnSection) {
    TForm1& f = MakeForm();
    const QStringList modes = {"Raw", "Compact SREC", "XMODEM", "XMODEM-1K", "YMODEM", "ZMODEM"};
    ASSERT_EQ(f.ComboSendFile->count(), modes.size());
    for (int i = 0; i < modes.size(); ++i) EXPECT_EQ(f.ComboSendFile->itemText(i), modes[i]);
    auto* folder = f.findChild<QLineEdit*>("EditReceiveFolder");
    auto* autoStart = f.findChild<QCheckBox*>("CheckBoxAutoStart");
    auto* limit = f.findChild<QSpinBox*>("SpinByteLimit");
    auto* protocol = f.findChild<QComboBox*>("ComboReceiveFile");
    EXPECT_EQ(folder->text().toStdString(), TerminalTransfer::DefaultFolder());
    EXPECT_TRUE(autoStart->isChecked());
    EXPECT_EQ(limit->value(), 1024);
    EXPECT_EQ(protocol->currentText(), "ZMODEM");
    folder->setText(dir.filePath("in"));
    autoStart->setChecked(false);
    limit->setValue(0);
    protocol->setCurrentIndex(2);
    f.ComboSendFile->setCurrentIndex(5);
    CloseForm();
    IniFile ini(SettingsPath());
    EXPECT_EQ(ini.ReadString("Transfer", "Folder", ""), dir.filePath("in").toStdString());
    EXPECT_FALSE(ini.ReadBool("Transfer", "AutoStart", true));
    EXPECT_EQ(ini.ReadInteger("Transfer", "ByteLimitMiB", -1), 0);
    EXPECT_EQ(ini.ReadInteger("Transfer", "Protocol", -1), 2);
    EXPECT_EQ(ini.ReadInteger("File", "Mode", -1), 5);
    TForm1& again = MakeForm();
    EXPECT_EQ(again.findChild<QLineEdit*>("EditReceiveFolder")->text(), dir.filePath("in"));
    EXPECT_FALSE(again.findChild<QCheckBox*>("CheckBoxAutoStart")->isChecked());
    EXPECT_EQ(again.findChild<QSpinBox*>("SpinByteLimit")->value(), 0);
    EXPECT_EQ(again.findChild<QComboBox*>("ComboReceiveFile")->currentText(), "YMODEM");
    EXPECT_EQ(again.ComboSendFile->currentText(), "ZMODEM");
}

TEST(AboutBox, ShowsLicenceAndOpensLinks) {
    std::vector<QString> opened;
    TAboutBox box([&](const QString& p) { opened.push_back(p); return true; });
    EXPECT_EQ(box.windowTitle(), "About Quennet");
    EXPECT_EQ(box.size(), QSize(410, 370));
    EXPECT_TRUE(box.LicenseText->toPlainText().startsWith("MIT License"));
    EXPECT_TRUE(box.OKButton->isDefault());
    box.LinkClick(box.LinkReadme);
    box.LinkClick(box.LinkLicense);
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_TRUE(opened[0].endsWith("README.md"));
    EXPECT_TRUE(opened[1].endsWith("LICENSE"));
    EXPECT_TRUE(QFile::exists(opened[0])) << opened[0].toStdString();
}

TEST(AboutBox, FindsTheDocumentsOfAWindowsPackage) {
    QTemporaryDir dir;
    const QString program = dir.filePath("Quennet");
    ASSERT_TRUE(QDir().mkpath(program));
    QFile(dir.filePath("Quennet/LICENSE.txt")).open(QIODevice::WriteOnly);
    EXPECT_EQ(TAboutBox::FindDocumentFrom(program, "LICENSE"), dir.filePath("Quennet/LICENSE.txt"));
    // The file's own name wins over its .txt copy.
    QFile(dir.filePath("Quennet/LICENSE")).open(QIODevice::WriteOnly);
    EXPECT_EQ(TAboutBox::FindDocumentFrom(program, "LICENSE"), dir.filePath("Quennet/LICENSE"));
    QFile(dir.filePath("README.txt")).open(QIODevice::WriteOnly);
    EXPECT_EQ(TAboutBox::FindDocumentFrom(program, "README.md"), dir.filePath("README.txt"));
}

}  // namespace
}  // namespace quennet::testing
