// The simulated board in virtual time: the host side as quennet-board drives
// it from a pseudo-terminal.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "SimBoard.h"
#include "TempDir.h"
#include "firmware/FirmwareImage.h"
#include "firmware/SRecord.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SimBoardTest : public ::testing::Test {
protected:
    VirtualClock clock;
    std::unique_ptr<SimBoard> board;
    std::string received;
    std::uint64_t lastArrivalUs = 0;

    SimBoard& Make(SimBoardConfig::Chip chip) {
        SimBoardConfig config;
        config.chip = chip;
        config.stm32ProductId = 0x0410;
        config.periodUs = 0;
        board = std::make_unique<SimBoard>(clock, config);
        return *board;
    }
    // Runs virtual time on, collecting what reaches the host and when the
    // last byte of it arrived.
    void RunFor(std::uint64_t us) {
        const std::uint64_t end = clock.NowUs() + us;
        for (;;) {
            const auto due = board->NextDueUs();
            clock.AdvanceTo(due && *due <= end ? *due : end);
            const Bytes got = board->TakeForHost();
            if (!got.empty()) {
                received.append(got.begin(), got.end());
                lastArrivalUs = clock.NowUs();
            }
            if (clock.NowUs() >= end) return;
        }
    }
    void Send(const std::string& text) {
        board->HostBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    std::string Take() {
        std::string s;
        s.swap(received);
        return s;
    }
};

TEST_F(SimBoardTest, FirmwareGreetsEchoesAndAnswersAtWirePace) {
    SimBoard& b = Make(SimBoardConfig::Chip::Stm32);
    // The host opens while the board, just powered, is greeting nobody: the
    // restart cuts that greeting off and gives the host a whole one.
    RunFor(BoardFirmware::kBootUs + 10000);
    Take();
    const std::uint64_t openUs = clock.NowUs();
    b.HostLine(true, 38400, 1);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Firmware);
    RunFor(200000);
    const std::string greeting = Take();
    EXPECT_EQ(greeting.rfind("\r\nQuennet simulated board ready.\r\n", 0), 0u) << greeting;
    EXPECT_NE(greeting.find("product ID 410"), std::string::npos) << greeting;
    // 10 bits a character at 38400 baud, from the end of the boot time.
    EXPECT_NEAR(static_cast<double>(lastArrivalUs - openUs),
                BoardFirmware::kBootUs + greeting.size() * 10e6 / 38400, 2.0);

    const std::uint64_t sentUs = clock.NowUs();
    Send("pinn");
    Send("\x7f" "g\r\n");  // a backspace, and CR LF as one line end
    RunFor(50000);
    EXPECT_EQ(Take(), "pinn\bg\r\nPONG\r\n");
    // Each echo leaves as its byte arrives; at the CR the line end and the
    // answer follow: 7 characters in, then 2 + 6 out.
    EXPECT_NEAR(static_cast<double>(lastArrivalUs - sentUs), (7 + 2 + 6) * 10e6 / 38400, 8.0);  // bursts round up each

    Send("led on\r");
    Send("$GPX,12*60\r");
    Send("$GPX,12*61\r");
    Send("bogus\r");
    RunFor(100000);
    EXPECT_EQ(Take(),
              "led on\r\nLED is on.\r\n"
              "$GPX,12*60\r\n" + NmeaSentence("QNACK,GPX,12") +
              "$GPX,12*61\r\n$QNERR,CHECKSUM*7B\r\n"
              "bogus\r\nUnknown command: bogus (type HELP)\r\n");
    EXPECT_TRUE(b.Firmware().LedOn());

    // The display capture command is answered by the LCD with its picture.
    Send("$QNCOM,SCR*" + NmeaSentence("QNCOM,SCR").substr(11, 2) + "\r");
    RunFor(1000000);
    const std::string capture = Take();
    EXPECT_EQ(b.Lcd().CommandsReceived(), 1);
    EXPECT_NE(capture.find("\r\n$QNLCD,128,64*"), std::string::npos);
    EXPECT_NE(capture.find("$QNPIX,63,"), std::string::npos);
}

TEST_F(SimBoardTest, Stm32BootloaderFollowsTheHostsBaudRateAndLeavesAfterAPause) {
    SimBoard& b = Make(SimBoardConfig::Chip::Stm32);
    b.HostLine(true, 38400, 1);
    RunFor(100000);
    Take();
    // Reopened at a bootloader rate: the sync sent at once is answered.
    b.HostReopened();
    b.HostLine(true, 115200, 1);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Bootloader);
    Send("\x7f");
    RunFor(10000);
    EXPECT_EQ(Take(), "\x79");
    Send(std::string("\x02\xfd", 2));  // GET ID
    RunFor(10000);
    EXPECT_EQ(Take(), std::string("\x79\x01\x04\x10\x79", 5));

    // Bytes keep it there; a second without any resets it into its firmware.
    RunFor(900000);
    Send(std::string("\x02\xfd", 2));
    RunFor(900000);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Bootloader);
    Take();
    RunFor(200000);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Firmware);
    EXPECT_NE(Take().find("Quennet simulated board ready."), std::string::npos);

    // A page-by-page erase longer than the pause keeps it there until the
    // chip answers (32 pages of 40 ms).
    b.HostReopened();
    b.HostLine(true, 115200, 1);
    RunFor(5000);
    Send("\x7f");
    RunFor(10000);
    Send(std::string("\x43\xbc", 2));
    RunFor(10000);
    std::string pages(1, '\x1f');
    std::uint8_t sum = 0x1f;
    for (int i = 0; i < 32; ++i) {
        pages.push_back(static_cast<char>(i));
        sum = static_cast<std::uint8_t>(sum ^ i);
    }
    pages.push_back(static_cast<char>(sum));
    Take();
    Send(pages);
    RunFor(1400000);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Bootloader);
    EXPECT_EQ(Take(), "\x79") << "the erase is acknowledged";
    RunFor(1100000);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Firmware);

    // The other bootloader rate enters too; a terminal rate leaves at once.
    b.HostLine(true, 57600, 1);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Bootloader);
    b.HostLine(true, 9600, 1);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Firmware);
    // A closed host changes nothing, even at a bootloader rate.
    b.HostLine(false, 115200, 1);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Firmware);
}

TEST_F(SimBoardTest, Msp430LoaderAnswersSyncAtItsRatesAndFirmwareIgnoresIt) {
    SimBoard& b = Make(SimBoardConfig::Chip::Msp430);
    b.HostLine(true, 115200, 1);  // a terminal rate for this chip
    RunFor(100000);
    Take();
    Send("\x80");
    RunFor(10000);
    EXPECT_EQ(Take(), "\x80");  // the firmware's echo, not an acknowledge
    b.HostLine(true, 19200, 1);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Bootloader);
    Send("\x80");
    RunFor(10000);
    EXPECT_EQ(Take(), "\x90");
    EXPECT_EQ(b.Msp430()->Entries(), 1);

    // Back in the firmware at the loader's rate (no reopen coming): the
    // first SYNC enters the loader unanswered, the next one is acknowledged.
    RunFor(SimBoard::kResetPauseUs + 300000);
    ASSERT_EQ(b.mode(), SimBoard::Mode::Firmware);
    Take();
    Send("a\x80");
    RunFor(10000);
    EXPECT_EQ(Take(), "a");
    EXPECT_EQ(b.mode(), SimBoard::Mode::Bootloader);
    Send("\x80");
    RunFor(10000);
    EXPECT_EQ(Take(), "\x90");
    EXPECT_EQ(b.Msp430()->Entries(), 2);
}

TEST_F(SimBoardTest, Msp430LoaderGoesOnWhenTheHostFollowsItsBaudRateChange) {
    SimBoardConfig config;
    config.chip = SimBoardConfig::Chip::Msp430;
    config.msp430DeviceId = 0xF449;
    config.bslVersion = 0x0160;
    config.periodUs = 0;
    board = std::make_unique<SimBoard>(clock, config);
    SimBoard& b = *board;
    b.HostLine(true, 9600, 1);
    ASSERT_EQ(b.mode(), SimBoard::Mode::Bootloader);
    auto command = [&](const std::string& bytes) {
        Send("\x80");
        RunFor(20000);
        EXPECT_EQ(Take(), "\x90");
        Send(bytes);
        RunFor(50000);
        return Take();
    };
    // Change baud rate to 38400 with the F4xx clock bytes.
    EXPECT_EQ(command(std::string("\x80\x20\x04\x04\x00\xC8\x02\x00\x79\x13", 10)), "\x90");
    b.HostLine(true, 38400, 1);
    EXPECT_EQ(b.mode(), SimBoard::Mode::Bootloader);
    EXPECT_EQ(b.Msp430()->Entries(), 1) << "no new entry";
    Send("\x80");
    RunFor(10000);
    EXPECT_EQ(Take(), "\x90");
    // A reopen is an entry again, at the loader's first rate.
    b.HostReopened();
    b.HostLine(true, 9600, 1);
    EXPECT_EQ(b.Msp430()->Entries(), 2);
    EXPECT_EQ(b.Msp430()->UartBaud(), 0u);
}

TEST_F(SimBoardTest, FlashFilesHoldWhatTheChipHolds) {
    testing::TempDir dir;
    ASSERT_TRUE(dir.ok());
    auto readAll = [](const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    };

    SimBoard& stm = Make(SimBoardConfig::Chip::Stm32);
    for (std::size_t i = 0; i < 300; ++i) stm.Stm32()->Flash()[0x1000 + i] = static_cast<std::uint8_t>(i * 7);
    stm.Stm32()->Flash()[Stm32BootTarget::kFlashSize - 1] = 0x00;
    ASSERT_TRUE(stm.WriteFlash((dir.path() / "s.bin").string(), false));
    EXPECT_EQ(readAll((dir.path() / "s.bin").string()), stm.Flash());
    ASSERT_TRUE(stm.WriteFlash((dir.path() / "s.s37").string(), true));
    FirmwareImage image;
    ASSERT_EQ(LoadSRecordFile((dir.path() / "s.s37").string(), image), 0);
    EXPECT_EQ(Bytes(image.data(), image.data() + image.size()), stm.Flash());

    SimBoard& msp = Make(SimBoardConfig::Chip::Msp430);
    msp.Msp430()->Preload(0xF000, {0x31, 0x40, 0x00, 0x0A});
    msp.Msp430()->Preload(0xFFFE, {0x00, 0xF0});
    ASSERT_TRUE(msp.WriteFlash((dir.path() / "m.s19").string(), true));
    FirmwareImage small;
    ASSERT_EQ(LoadSRecordFile((dir.path() / "m.s19").string(), small), 0);
    for (std::uint32_t a = 0x1000; a < 0x10000; ++a) ASSERT_EQ(small[a], msp.Msp430()->At(static_cast<std::uint16_t>(a))) << a;
    EXPECT_FALSE(small.HasData(0x10000, FirmwareImage::kDefaultSize - 0x10000));
    ASSERT_TRUE(msp.WriteFlash((dir.path() / "m.bin").string(), false));
    EXPECT_EQ(readAll((dir.path() / "m.bin").string()).size(), 0xF000u);

    EXPECT_FALSE(msp.WriteFlash((dir.path() / "no/such/dir/x.bin").string(), false));
}

}  // namespace
}  // namespace quennet
