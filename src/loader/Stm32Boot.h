#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "serial/ComPort.h"

namespace quennet {

// The host side of the STM32 system-memory bootloader's USART protocol:
// a sync byte, commands sent as a code and its complement, ACK after every
// accepted step, XOR checksums over addresses and data. The port must
// already be open at the target's baud rate in E-8-1. Every operation
// returns 0 for success and nonzero for failure, and logs nothing.
class Stm32Link {
public:
    static constexpr std::uint8_t kSync = 0x7F;
    static constexpr std::uint8_t kAck = 0x79;
    static constexpr std::uint8_t kCmdGet = 0x00;
    static constexpr std::uint8_t kCmdGetId = 0x02;
    static constexpr std::uint8_t kCmdReadMemory = 0x11;
    static constexpr std::uint8_t kCmdWriteMemory = 0x31;
    static constexpr std::uint8_t kCmdErase = 0x43;
    static constexpr std::uint8_t kGlobalErase = 0xFF;
    static constexpr std::uint8_t kNack = 0x1F;
    static constexpr std::uint8_t kCmdGo = 0x21;
    static constexpr std::uint8_t kCmdExtendedErase = 0x44;
    static constexpr std::uint8_t kCmdReadoutUnprotect = 0x92;
    static constexpr std::uint8_t kCmdWriteProtect = 0x63;
    static constexpr std::uint8_t kCmdWriteUnprotect = 0x73;
    static constexpr std::uint8_t kCmdReadoutProtect = 0x82;

    static constexpr int kAckTries = 10;
    static constexpr int kAckTryMs = 100;
    // Each byte of a reply (GET, GET ID, a block read back). The chip sends
    // them back to back, for which 10 ms is ample; but a USB adapter passes
    // them on in packets: an FTDI chip at its default 16 ms sends the tail of
    // a reply that does not fill a packet up to 16 ms and a USB frame (1 ms)
    // after the bytes before it. Those 10 ms plus the adapter's 17 ms make
    // 27 ms, 30 ms in whole poll steps.
    static constexpr int kReplyByteMs = 30;
    static constexpr int kConnectAttempts = 4;
    static constexpr std::size_t kMaxBlock = 256;

    // Connect results.
    static constexpr int kConnected = 0;
    static constexpr int kPortNotOpen = 1;
    static constexpr int kNoSync = 2;
    // The operations added for the STM32-ANY targets tell a NACK from
    // silence: 0 ACK, 1 no answer, kRefused NACK.
    static constexpr int kRefused = 2;

    // `idle` is called between silent ACK tries while connecting, so that
    // the window can repaint during a connect that finds no target.
    explicit Stm32Link(ComPort& port, std::function<void()> idle = {})
        : port_(port), idle_(std::move(idle)) {}

    // Up to 10 waits of 100 ms for ACK; any other byte (NACK included) is
    // read and uses up a try. 0 on ACK, 1 when none came.
    int Stm32WaitAck();
    // A count byte N, then N + 1 bytes into ReplyBuffer, each awaited for
    // at most kReplyByteMs. Sets ReplyLength.
    int Stm32ReadReply();
    // Resets the target into its bootloader with BOOT0 on RTS and syncs.
    int Stm32Connect();
    int Stm32Get(int& version);
    int Stm32GetId(int& firstByte, int& secondByte);
    int Stm32EraseAll();
    // count 1 .. 256 bytes from source to flash at address.
    int Stm32WriteBlock(std::uint32_t address, const std::uint8_t* source, std::size_t count);
    // Reads count (1 .. 256) bytes back from address and compares them.
    int Stm32VerifyBlock(std::uint32_t address, const std::uint8_t* expected, std::size_t count);

    // Erase Memory (0x43, page numbers of one byte) or Extended Erase
    // (0x44, two bytes) of the listed pages, or of everything when the list
    // is empty; the final ACK comes once the flash is erased, awaited for
    // up to waitMs.
    int Stm32Erase(bool extended, const std::vector<std::uint16_t>& pages, int waitMs);
    // Read Memory of count (1 .. 256) bytes into out: 0, kRefused when the
    // command (read-out protection) or the address (memory the part does
    // not have) is refused, 1 when nothing sensible came.
    int Stm32ReadMemory(std::uint32_t address, std::uint8_t* out, std::size_t count);
    // Asks for the first flash word: kRefused (NACK) when read-out
    // protection is on, 0 when it is off, 1 when nothing sensible came.
    int Stm32ProbeReadout(std::uint32_t address);
    // Readout Unprotect (0x92): the bootloader acknowledges, mass-erases the
    // flash, acknowledges again within waitMs and resets the chip.
    int Stm32ReadoutUnprotect(int waitMs);
    // Write Protect (0x63) of the listed sector codes (1 .. 256 of them),
    // Write Unprotect (0x73) and Readout Protect (0x82): the bootloader
    // acknowledges the command (NACK while read-out protection is on),
    // writes the option bytes, acknowledges again within waitMs and resets
    // the chip. 0, kRefused on a NACK, 1 on silence.
    int Stm32WriteProtect(const std::vector<std::uint8_t>& sectors, int waitMs);
    int Stm32WriteUnprotect(int waitMs);
    int Stm32ReadoutProtect(int waitMs);
    // Syncs with a bootloader that restarted on its own (after an
    // unprotect); BOOT0 is still held, so no reset pattern is needed.
    int Stm32Resync();
    // Go (0x21): the bootloader starts the firmware whose vector table is
    // at address.
    int Stm32Go(std::uint32_t address);

    // Counted replies, the outgoing write frame and read-back data.
    std::array<std::uint8_t, 258> ReplyBuffer{};
    std::size_t ReplyLength = 0;
    // The command codes that the last GET listed.
    std::vector<std::uint8_t> Commands;
    bool Offers(std::uint8_t command) const;
    // What came back during the connect attempts: per attempt, the bytes
    // found before the sync byte went out and those that came instead of
    // an ACK. Read by the explanation of a failed connect.
    struct ConnectAttempt {
        std::vector<std::uint8_t> beforeSync;
        std::vector<std::uint8_t> afterSync;
    };
    std::vector<ConnectAttempt> ConnectTrace;

private:
    int WaitAck(bool idleBetweenTries, std::vector<std::uint8_t>* heard = nullptr);
    // ACK, NACK or neither within budgetMs; other bytes are skipped.
    int WaitAnswer(int budgetMs);
    void SendCommand(std::uint8_t command);
    void SendAddress(std::uint32_t address);

    ComPort& port_;
    std::function<void()> idle_;
    // Whether the last Read Memory was refused at its command byte.
    bool commandRefused_ = false;
};

}  // namespace quennet
