// End to end: the real window, the posix serial backend and a real
// quennet-board process on a pseudo-terminal, in real time.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "BoardProcess.h"
#include "LcdFirmwareTarget.h"
#include "RealPortFixture.h"
#include "app/PortCombo.h"
#include "app/TForm1.h"
#include "app/TerminalMemo.h"
#include "firmware/FirmwareImage.h"
#include "loader/Loader.h"
#include "firmware/SRecord.h"
#include "serial/ComPort.h"
#include "serial/posix/BoardAnnounce.h"

namespace quennet {
namespace {

using testing::BoardProcess;

class BoardEndToEnd : public testing::RealPortFixture {
protected:
    std::unique_ptr<BoardProcess> board;

    void TearDown() override {
        RealPortFixture::TearDown();
        board.reset();
    }

    void StartBoard(std::vector<std::string> args) {
        board = std::make_unique<BoardProcess>(QUENNET_BOARD_EXE, args);
        ASSERT_TRUE(board->Started());
    }
};

TEST_F(BoardEndToEnd, TerminalSessionWithTheListedBoard) {
    // A link of this test's own: boards of other tests may run meanwhile.
    const std::string name = "e2e-" + std::to_string(getpid());
    StartBoard({"--chip", "stm32", "--period", "0", "--link", name});
    // The board is listed after the real devices, by its link.
    const auto folder = posix::BoardAnnounceDir(false);
    ASSERT_TRUE(folder);
    const std::string link = *folder + "/" + name;
    const auto listed = SystemSerialPorts();
    ASSERT_TRUE(listed);
    ASSERT_FALSE(listed->empty());
    EXPECT_EQ(listed->back().rfind(*folder, 0), 0u);
    EXPECT_NE(std::find(listed->begin(), listed->end(), link), listed->end());

    TForm1& f = OpenTerminal(link);
    EXPECT_NE(f.ComboComPort->findText(QString::fromStdString(link)), -1);
    ASSERT_TRUE(Shows("Quennet simulated board ready.")) << f.Memo1->toPlainText().toStdString();

    TalkToTheBoard();
    // A function button's NMEA sentence.
    f.CheckBoxCRCNMEA->setChecked(true);
    f.EditBV[1]->setText("$GPX,12");
    f.ButtonStr[1]->click();
    EXPECT_TRUE(Shows("$QNACK,GPX,12*")) << f.Memo1->toPlainText().toStdString();

    // A board that has gone is no longer listed.
    board->Stop();
    const auto after = SystemSerialPorts();
    ASSERT_TRUE(after);
    EXPECT_EQ(std::find(after->begin(), after->end(), link), after->end());
}

TEST_F(BoardEndToEnd, Stm32RunWithVerifyLeavesTheImageInFlash) {
    const std::string flash = Path("stm32.s37");
    StartBoard({"--chip", "stm32", "--no-announce", "--flash-out", flash, "--flash-format", "srec"});
    OpenTerminal(board->Path());
    ASSERT_TRUE(Shows("ready."));
    const std::string firmware = ProgramStm32WithVerify();

    ASSERT_EQ(board->Stop(), 0);
    const FirmwareImage expected = Load(firmware);
    const FirmwareImage written = Load(flash);
    EXPECT_TRUE(std::equal(expected.data(), expected.data() + expected.size(), written.data()));
}

TEST_F(BoardEndToEnd, Msp430RunLeavesTheImageInFlash) {
    const std::string flash = Path("msp.s19");
    StartBoard({"--chip", "msp430", "--no-announce", "--flash-out", flash, "--flash-format", "srec"});
    TForm1& f = OpenTerminal(board->Path());
    ASSERT_TRUE(Shows("ready."));
    const std::string firmware = QUENNET_TEST_DATA "/srec/msp430_blink.s19";
    ASSERT_EQ(Program(kTargetMsp430_19200, firmware, false), 0) << f.Memo2->toPlainText().toStdString();
    EXPECT_TRUE(LogLines().last().startsWith("PROGRAM OK in "));

    // A terminal already at the loader's settings: the run does not reopen
    // the line, and the board, back in its firmware, still lets it in.
    f.CheckBox1->setChecked(false);
    f.ComboBaud->setEditText("9600");
    f.ComboBits->setCurrentIndex(kFrameE81);
    f.Memo1->clear();
    f.CheckBox1->setChecked(true);
    ASSERT_TRUE(Shows("ready."));  // after the reset pause
    ASSERT_EQ(Program(kTargetMsp430_9600, firmware, false), 0) << f.Memo2->toPlainText().toStdString();
    EXPECT_FALSE(LogLines().contains("Restore Serial baud rate."));

    ASSERT_EQ(board->Stop(), 0);
    const FirmwareImage expected = Load(firmware);
    const FirmwareImage written = Load(flash);
    EXPECT_TRUE(std::equal(expected.data(), expected.data() + expected.size(), written.data()));
}

TEST_F(BoardEndToEnd, LcdCaptureIsSavedAsABitmap) {
    StartBoard({"--chip", "stm32", "--no-announce", "--period", "0"});
    OpenTerminal(board->Path(), "230400");
    ASSERT_TRUE(Shows("ready."));
    CaptureShowsTheTestPattern();
}

TEST_F(BoardEndToEnd, BoardKilledDuringARunFailsTheRunAndTheWindowStaysUsable) {
    // 16 KiB of firmware: long enough to be programming when the board dies.
    const std::string firmware = Path("big.s37");
    {
        std::ofstream out(firmware);
        for (std::uint32_t at = 0; at < 0x4000; at += 16) {
            unsigned sum = 21;
            char line[64];
            std::string record;
            const std::uint32_t address = 0x08000000 + at;
            std::snprintf(line, sizeof line, "S315%08X", address);
            record = line;
            for (int i = 0; i < 4; ++i) sum += (address >> (8 * i)) & 0xFF;
            for (int i = 0; i < 16; ++i) {
                const unsigned b = (at + i * 13) & 0x7F;
                std::snprintf(line, sizeof line, "%02X", b);
                record += line;
                sum += b;
            }
            std::snprintf(line, sizeof line, "%02X", ~sum & 0xFF);
            out << record << line << "\n";
        }
    }
    StartBoard({"--chip", "stm32", "--no-announce"});
    TForm1& f = OpenTerminal(board->Path());
    ASSERT_TRUE(Shows("ready."));
    // The board dies once the run is programming: the run lets the window
    // process its events between blocks, so the timer looks then.
    QTimer killer;
    killer.setInterval(5);
    QObject::connect(&killer, &QTimer::timeout, [&] {
        if (!f.Memo2->toPlainText().contains("Programming ...")) return;
        killer.stop();
        board->Stop(SIGKILL);
    });
    killer.start();
    EXPECT_EQ(Program(kTargetStm32_115200, firmware, false), 1);
    EXPECT_FALSE(killer.isActive()) << "the run ended before it was programming";
    const QStringList lines = LogLines();
    EXPECT_TRUE(lines.contains("Programming ...")) << f.Memo2->toPlainText().toStdString();
    EXPECT_TRUE(lines.contains("ERROR: Programming error.")) << f.Memo2->toPlainText().toStdString();

    // The window goes on: the pump runs, keys and the port's box still work.
    EXPECT_TRUE(f.timer()->isActive());
    QTest::keyClicks(f.Memo1, "x");
    EXPECT_TRUE(f.CheckBox1->isEnabled());
    f.CheckBox1->setChecked(false);
    EXPECT_FALSE(port.IsOpen());
}

}  // namespace
}  // namespace quennet
