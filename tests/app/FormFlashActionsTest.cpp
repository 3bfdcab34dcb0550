// Read Flash, Erase, the STM32's protection commands and the MSP430's
// password, started from the window against the simulated bootloaders.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "FormFixture.h"
#include "Msp430BslTarget.h"
#include "Stm32BootTarget.h"
#include "Stm32ChipModels.h"
#include "firmware/FirmwareFile.h"
#include "firmware/FirmwareWriter.h"
#include "loader/Loader.h"
#include "loader/Msp430Program.h"

namespace quennet::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class FormFlashActions : public FormFixture {
protected:
    Stm32BootTarget chip{line, *FindStm32ChipModel(0x440)};
    std::optional<std::string> savePath;  // the save dialog's answer
    int saveDialogs = 0;
    std::optional<std::string> sectorsAnswer;
    ~FormFlashActions() override { line.SetPeer(nullptr); }

    FormEnvironment Env() override {
        FormEnvironment env = FormFixture::Env();
        env.saveFileDialog = [this](const std::string&, const std::string&) {
            ++saveDialogs;
            return savePath;
        };
        env.askText = [this](const std::string&, const std::string&, const std::string&) { return sectorsAnswer; };
        return env;
    }
    TForm1& Prepare(int target) {
        for (std::size_t i = 0; i < chip.Flash().size(); ++i) chip.Flash()[i] = static_cast<std::uint8_t>(i * 11 + 1);
        line.SetPeer(&chip);
        TForm1& f = MakeOpenForm();
        f.ComboTarget->setCurrentIndex(target);
        return f;
    }
    QPushButton* Button(const char* name) { return form->findChild<QPushButton*>(name); }
    QAction* Action(const char* name) { return form->findChild<QAction*>(name); }
    QStringList LogLines() const { return form->Memo2->toPlainText().split('\n', Qt::SkipEmptyParts); }
    std::string File(const char* name) const { return dir.filePath(name).toStdString(); }
};

// The bytes a file holds from address on, as the program's readers see them.
Bytes LoadBack(const std::string& path, std::uint32_t address, std::size_t n) {
    const FirmwareFile file = ReadFirmwareFile(path, std::nullopt);
    EXPECT_TRUE(file.ok()) << file.problem;
    Bytes bytes(n, 0xFF);
    for (const FirmwareChunk& c : file.chunks)
        for (std::size_t i = 0; i < c.bytes.size(); ++i)
            if (c.address + i >= address && c.address + i < address + n) bytes[c.address + i - address] = c.bytes[i];
    return bytes;
}

TEST_F(FormFlashActions, ReadFlashWritesTheChipsFlashIntoTheChosenFile) {
    TForm1& f = Prepare(kTargetStm32Any_115200);
    ASSERT_TRUE(Button("ButtonReadFlash")->isEnabled());
    // Cancel in the save dialog: no run.
    Button("ButtonReadFlash")->click();
    EXPECT_EQ(saveDialogs, 1);
    EXPECT_EQ(f.Memo2->toPlainText(), "");
    // A name that says no format is refused before the chip is touched.
    savePath = File("flash.txt");
    Button("ButtonReadFlash")->click();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(chip.BootloaderStarts(), 0u);

    savePath = File("flash.hex");
    bool progressShown = false;
    // The first time the run lets the window work, its progress is on show.
    QTimer::singleShot(0, &f, [&] { progressShown = f.ProgressBarRun->isVisible(); });
    f.show();
    Button("ButtonReadFlash")->click();
    const QStringList lines = LogLines();
    ASSERT_GE(lines.size(), 5) << f.Memo2->toPlainText().toStdString();
    EXPECT_EQ(lines.front(), "Begin read STM32.");
    EXPECT_TRUE(lines.contains("Reading 65536 bytes from 0x08000000 ..."));
    EXPECT_TRUE(lines.contains("FILE Save: OK."));
    EXPECT_TRUE(lines.back().startsWith("READ OK in ")) << lines.back().toStdString();
    EXPECT_TRUE(progressShown);
    EXPECT_EQ(LoadBack(*savePath, kStm32FlashBase, chip.Flash().size()), chip.Flash());
    EXPECT_EQ(line.Settings().baud, 9600u) << "the terminal has its port back";
}

TEST_F(FormFlashActions, StopEndsAReadAndNoFileIsWritten) {
    TForm1& f = Prepare(kTargetStm32Any_115200);
    savePath = File("stopped.bin");
    f.show();
    // The first time the run lets the window work, the user stops it.
    QTimer::singleShot(0, &f, [&] { f.ButtonStop->click(); });
    Button("ButtonReadFlash")->click();
    EXPECT_TRUE(LogLines().contains(kLineStopped)) << f.Memo2->toPlainText().toStdString();
    EXPECT_FALSE(std::filesystem::exists(*savePath));
    EXPECT_TRUE(Button("ButtonReadFlash")->isEnabled());
}

TEST_F(FormFlashActions, EraseAsksFirstAndDoesNothingOnNo) {
    TForm1& f = Prepare(kTargetStm32Any_57600);
    const Bytes before = chip.Flash();
    answerYes = false;
    Button("ButtonErase")->click();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("Erase the whole flash of the STM32"), std::string::npos) << questions[0];
    EXPECT_EQ(chip.Flash(), before);
    EXPECT_EQ(chip.BootloaderStarts(), 0u);
    EXPECT_EQ(f.Memo2->toPlainText(), "");
    answerYes = true;
    Button("ButtonErase")->click();
    EXPECT_EQ(chip.Flash(), Bytes(before.size(), 0xFF));
    EXPECT_TRUE(LogLines().back().startsWith("ERASE OK in ")) << f.Memo2->toPlainText().toStdString();
}

TEST_F(FormFlashActions, ProtectionActionsAskAndChangeThePart) {
    Prepare(kTargetStm32_115200);
    ASSERT_TRUE(Button("ButtonProtection")->isEnabled());
    const struct {
        const char* action;
        std::optional<std::string> sectors;
        bool yes;
        std::vector<std::uint8_t> sectorsAfter;
        bool readoutAfter;
        const char* lastLine;  // how the log ends, or "" when nothing ran
    } cases[] = {
        {"ActionWriteProtect", "2,4-5", false, {}, false, ""},
        {"ActionWriteProtect", std::nullopt, true, {}, false, ""},
        {"ActionWriteProtect", "2,4-5", true, {2, 4, 5}, false, "PROTECTION OK in "},
        {"ActionWriteUnprotect", {}, true, {}, false, "PROTECTION OK in "},
        {"ActionReadoutProtect", {}, false, {}, false, ""},
        {"ActionReadoutProtect", {}, true, {}, true, "PROTECTION OK in "},
        {"ActionWriteUnprotect", {}, true, {}, true, "Restore Serial baud rate."},
        {"ActionReadoutUnprotect", {}, true, {}, false, "PROTECTION OK in "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.action) + (c.yes ? " yes" : " no"));
        const std::size_t starts = chip.BootloaderStarts();
        const std::size_t asked = questions.size();
        form->Memo2->clear();
        sectorsAnswer = c.sectors;
        answerYes = c.yes;
        Action(c.action)->trigger();
        EXPECT_EQ(chip.writeProtectedSectors, c.sectorsAfter);
        EXPECT_EQ(chip.readoutProtected, c.readoutAfter);
        const bool cancelled = std::string(c.action) == "ActionWriteProtect" && !c.sectors;
        EXPECT_EQ(questions.size() - asked, cancelled ? 0u : 1u);
        if (std::string(c.lastLine).empty()) {
            EXPECT_EQ(chip.BootloaderStarts(), starts);
            EXPECT_EQ(form->Memo2->toPlainText(), "");
            continue;
        }
        EXPECT_TRUE(LogLines().back().startsWith(c.lastLine)) << form->Memo2->toPlainText().toStdString();
    }
    EXPECT_EQ(chip.Flash(), Bytes(chip.Flash().size(), 0xFF));
}

TEST_F(FormFlashActions, Msp430ReadSaysWhatAWrongPasswordDoesAndUsesThePasswordFile) {
    Msp430BslTarget part;  // a programmed part
    Bytes vectors(32);
    for (std::size_t i = 0; i < vectors.size(); ++i) vectors[i] = static_cast<std::uint8_t>(0x80 + i);
    part.Preload(0xFFE0, vectors);
    part.Preload(0xF000, Bytes(0x100, 0x42));
    const std::string passwordFile = File("fw.s19");
    ASSERT_EQ(WriteFirmwareFile(passwordFile, 0xFFE0, vectors), "");
    TForm1& f = MakeOpenForm();
    line.SetPeer(&part);
    f.ComboTarget->setCurrentIndex(kTargetMsp430_9600);
    EXPECT_TRUE(f.CheckBoxVerify->isEnabled()) << "the MSP430 reads back too";
    EXPECT_FALSE(Button("ButtonProtection")->isEnabled());
    auto* password = f.findChild<QLineEdit*>("EditPassword");
    ASSERT_TRUE(password && password->isEnabled());
    password->setText(QString::fromStdString(passwordFile));
    const auto before = part.Memory();
    savePath = File("m.s19");
    answerYes = false;
    Button("ButtonReadFlash")->click();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("a wrong password mass-erases the whole flash"), std::string::npos) << questions[0];
    EXPECT_EQ(part.Entries(), 0) << "nothing sent on No";
    answerYes = true;
    Button("ButtonReadFlash")->click();
    EXPECT_TRUE(LogLines().back().startsWith("READ OK in ")) << f.Memo2->toPlainText().toStdString();
    EXPECT_EQ(LoadBack(*savePath, 0x1100, 0xEF00), Bytes(before.begin() + 0x1100, before.end()));
    // Device Info. with the password asks the same and erases nothing.
    f.Button7->click();
    EXPECT_NE(questions.back().find("a wrong password"), std::string::npos);
    EXPECT_TRUE(LogLines().back().startsWith(kLineDeviceInfoTime)) << f.Memo2->toPlainText().toStdString();
    EXPECT_EQ(part.Memory(), before);
    // Erase asks, then mass-erases.
    f.findChild<QPushButton*>("ButtonErase")->click();
    EXPECT_NE(questions.back().find("MSP430"), std::string::npos);
    EXPECT_TRUE(std::all_of(part.Memory().begin() + 0x1000, part.Memory().end(), [](std::uint8_t b) { return b == 0xFF; }));
}

}  // namespace
}  // namespace quennet::testing
