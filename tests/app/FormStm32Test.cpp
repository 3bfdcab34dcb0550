// A whole STM32 programming run started from the window, against the
// simulated bootloader on the window's simulated line.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QtTest/QTest>
#include <random>

#include "FormFixture.h"
#include "app/PortCombo.h"
#include "app/TerminalMemo.h"
#include "Stm32BootTarget.h"
#include "loader/Loader.h"
#include "loader/Stm32Program.h"

namespace quennet::testing {
namespace {

class FormStm32 : public FormFixture {
protected:
    Stm32BootTarget target{line};
    // The window and the port outlive the target.
    ~FormStm32() override { line.SetPeer(nullptr); }

    TForm1& Prepare(bool verify) {
        line.SetPeer(&target);
        TForm1& f = MakeOpenForm();
        f.Edit1->setText(QUENNET_TEST_DATA "/srec/stm32_app.s37");
        f.ComboTarget->setCurrentIndex(kTargetStm32_115200);
        f.CheckBoxVerify->setChecked(verify);
        f.show();
        return f;
    }
    QStringList LogLines() const { return form->Memo2->toPlainText().split('\n', Qt::SkipEmptyParts); }
};

TEST_F(FormStm32, StartProgramWritesVerifiesAndGivesThePortBack) {
    TForm1& f = Prepare(true);
    f.timer()->start();
    bool windowRanDuringTheRun = false;
    QTimer::singleShot(0, &f, [&] { windowRanDuringTheRun = f.loader().RunActive(); });
    f.Button1->click();

    const QStringList lines = LogLines();
    ASSERT_EQ(lines.size(), 19) << f.Memo2->toPlainText().toStdString();
    EXPECT_EQ(lines[0], "Begin program STM32.");
    EXPECT_EQ(lines[3], "BSL Enter ...");
    EXPECT_EQ(lines[4], "Bootloader Version: 2.2");
    EXPECT_EQ(lines[5], "ID: 0414 (High-density device)");
    EXPECT_EQ(lines[13], QString("*") + QString(63, '-'));
    EXPECT_EQ(lines[14], QString(64, '^'));
    EXPECT_EQ(lines[15], "Verify ...");
    EXPECT_EQ(lines[16], QString(64, '^'));
    EXPECT_EQ(lines[17], "Restore Serial baud rate.");
    EXPECT_TRUE(lines[18].startsWith("PROGRAM OK in ")) << lines[18].toStdString();
    EXPECT_EQ(f.loader().LastRunResult, 0);
    EXPECT_TRUE(windowRanDuringTheRun);
    // The firmware's bytes are in the flash; the rest is erased.
    EXPECT_EQ(target.Flash()[0x000], 0x00);
    EXPECT_EQ(target.Flash()[0x001], 0x50);
    EXPECT_EQ(target.Flash()[0x100], 0x70);
    EXPECT_EQ(target.Flash()[0x103], 0xBF);
    EXPECT_EQ(target.Flash()[0x104], 0xFF);
    const std::vector<std::uint32_t> blocks{0x08000000, 0x08000100};
    EXPECT_EQ(target.WriteAddresses(), blocks);
    EXPECT_EQ(target.ReadAddresses(), blocks);
    // The terminal has its port back, at its own settings, and its pump runs.
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(line.Settings().baud, 9600u);
    EXPECT_EQ(line.Settings().parity, Parity::None);
    EXPECT_TRUE(f.timer()->isActive());
    EXPECT_TRUE(f.CheckBox1->isEnabled());
    EXPECT_TRUE(messages.empty());
}

TEST_F(FormStm32, QuickProgramReturnsToTheTerminalOnlyWhenTheRunSucceeds) {
    TForm1& f = Prepare(false);
    target.productId = {0x04, 0x13};
    f.PageControl1->setCurrentIndex(0);
    f.Button5->click();
    EXPECT_EQ(f.PageControl1->currentIndex(), 1);
    EXPECT_TRUE(LogLines().contains("ID: 0413 ERROR: Wrong ID."));
    EXPECT_EQ(f.loader().LastRunResult, 1);

    target.productId = {0x04, 0x10};
    f.Button5->click();
    EXPECT_EQ(f.PageControl1->currentIndex(), 0);
    EXPECT_EQ(f.loader().LastRunResult, 0);
    EXPECT_FALSE(LogLines().contains("Verify ..."));
    EXPECT_TRUE(target.ReadAddresses().empty());
    EXPECT_EQ(target.Flash()[0x100], 0x70);
}

TEST_F(FormStm32, ConnectWithoutTargetKeepsTheWindowLiveButThePortTheRuns) {
    TForm1& f = Prepare(true);
    line.SetPeer(nullptr);
    const std::uint64_t start = clock.NowUs();
    std::uint64_t typedAtUs = 0;
    // Runs once the connect lets the window in: a key typed in the terminal
    // then must not reach the bootloader's line.
    QTimer::singleShot(0, &f, [&] {
        typedAtUs = clock.NowUs();
        QTest::keyClicks(f.Memo1, "x");
    });
    f.Button1->click();
    EXPECT_GT(typedAtUs, start);
    EXPECT_LT(typedAtUs - start, 400000u);  // within the first attempt
    for (const SimEvent& w : line.EventsOf(SimEvent::Kind::Write)) EXPECT_EQ(w.bytes, std::vector<std::uint8_t>{0x7F});
    EXPECT_NEAR(static_cast<double>(clock.NowUs() - start), 4840000.0, 5000.0);
    EXPECT_TRUE(LogLines().contains("ERROR: Failed to Sync with Target, verify Power and Connection."));
    EXPECT_EQ(f.loader().LastRunResult, 1);
    // Once the run is over, the same key does reach the port.
    line.ClearEvents();
    QTest::keyClicks(f.Memo1, "x");
    ASSERT_EQ(line.EventsOf(SimEvent::Kind::Write).size(), 1u);
    EXPECT_EQ(line.EventsOf(SimEvent::Kind::Write)[0].bytes, std::vector<std::uint8_t>{'x'});
}

TEST_F(FormStm32, ARawBinaryProgramsTheFlashAtTheAddressGiven) {
    std::string bytes(512, '\0');
    std::mt19937 gen(5);
    for (char& b : bytes) b = static_cast<char>(gen());
    const std::string bin = dir.filePath("app.bin").toStdString();
    std::ofstream(bin, std::ios::binary) << bytes;
    addressAnswer = 0x0800FF00;
    TForm1& f = Prepare(true);
    f.Edit1->setText(QString::fromStdString(bin));
    target.Flash().assign(target.Flash().size(), 0x00);  // the erase must happen
    f.Button1->click();
    EXPECT_EQ(f.loader().LastRunResult, 0) << f.Memo2->toPlainText().toStdString();
    const auto& flash = target.Flash();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), flash.begin() + 0xFF00,
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF),
              static_cast<long>(flash.size() - 512) + std::count(bytes.begin(), bytes.end(), '\xFF'));
}

TEST_F(FormStm32, ReadoutProtectionIsRemovedOnlyAfterTheUserSaysYes) {
    TForm1& f = Prepare(true);
    f.ComboTarget->setCurrentIndex(kTargetStm32Any_115200);
    answerYes = false;
    target.readoutProtected = true;
    target.Flash()[0x2000] = 0x00;  // what the protection hides
    f.Button1->click();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_NE(questions[0].find("erases the whole flash"), std::string::npos) << questions[0];
    EXPECT_TRUE(LogLines().contains(kLineReadoutProtected));
    EXPECT_EQ(f.loader().LastRunResult, 1);
    EXPECT_TRUE(target.readoutProtected);
    EXPECT_EQ(target.Flash()[0x2000], 0x00);

    answerYes = true;
    f.Button1->click();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(f.loader().LastRunResult, 0) << f.Memo2->toPlainText().toStdString();
    EXPECT_FALSE(target.readoutProtected);
    EXPECT_EQ(target.Flash()[0x2000], 0xFF);

    // A part without protection: no question.
    f.Button1->click();
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(f.loader().LastRunResult, 0);
}

}  // namespace
}  // namespace quennet::testing
