#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

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

    // Counted replies, the outgoing write frame and read-back data.
    std::array<std::uint8_t, 258> ReplyBuffer{};
    std::size_t ReplyLength = 0;

private:
    int WaitAck(bool idleBetweenTries);
    void SendCommand(std::uint8_t command);
    void SendAddress(std::uint32_t address);

    ComPort& port_;
    std::function<void()> idle_;
};

}  // namespace quennet
