#include "loader/Stm32Boot.h"

namespace quennet {

int Stm32Link::WaitAck(bool idleBetweenTries) {
    for (int attempt = 0; attempt < kAckTries; ++attempt) {
        const int b = port_.ComWaitByte(kAckTryMs);
        if (b == kAck) return 0;
        // A NACK, noise or a silent try: keep listening. While nobody
        // answers, let the window breathe; the run still owns the port.
        if (b < 0 && idleBetweenTries && idle_) idle_();
    }
    return 1;
}

int Stm32Link::Stm32WaitAck() { return WaitAck(false); }

int Stm32Link::Stm32ReadReply() {
    ReplyLength = 0;
    const int n = port_.ComWaitByte(kReplyByteMs);
    if (n < 0) return 1;
    // N counts the bytes that follow minus one, so at most 256 arrive.
    const std::size_t count = static_cast<std::size_t>(n) + 1;
    for (std::size_t i = 0; i < count; ++i) {
        const int b = port_.ComWaitByte(kReplyByteMs);
        if (b < 0) return 1;
        ReplyBuffer[i] = static_cast<std::uint8_t>(b);
    }
    ReplyLength = count;
    return 0;
}

void Stm32Link::SendCommand(std::uint8_t command) {
    // The code and its complement go out as two single writes.
    port_.ComWriteByte(command);
    port_.ComWriteByte(static_cast<std::uint8_t>(command ^ 0xFF));
}

void Stm32Link::SendAddress(std::uint32_t address) {
    // Most significant byte first, then the XOR of the four, in one write.
    std::uint8_t group[5] = {static_cast<std::uint8_t>(address >> 24),
                             static_cast<std::uint8_t>(address >> 16),
                             static_cast<std::uint8_t>(address >> 8),
                             static_cast<std::uint8_t>(address), 0};
    group[4] = group[0] ^ group[1] ^ group[2] ^ group[3];
    port_.ComWrite(group, sizeof group);
}

int Stm32Link::Stm32Connect() {
    if (!port_.IsOpen()) return kPortNotOpen;
    Clock& clock = port_.clock();
    // Boards wire BOOT0 to RTS either way round; try both levels in turn
    // and keep the one that worked.
    port_.RtsPolarity = true;
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        // Reset with BOOT0 held, so that the chip starts its bootloader.
        port_.ComSetDtr(1);
        port_.ComSetRts(1);
        clock.Sleep(10);
        port_.ComSetDtr(0);
        clock.Sleep(100);
        port_.ComSetDtr(1);
        clock.Sleep(100);
        // Whatever the firmware or the reset put on the line is not an answer.
        while (port_.ComReadByte() != -1) {
        }
        port_.ComWriteByte(kSync);
        if (WaitAck(true) == 0) return kConnected;
        port_.RtsPolarity = !port_.RtsPolarity;
    }
    return kNoSync;
}

int Stm32Link::Stm32Get(int& version) {
    SendCommand(kCmdGet);
    if (Stm32WaitAck() != 0 || Stm32ReadReply() != 0 || Stm32WaitAck() != 0) return 1;
    version = ReplyBuffer[0];  // the command list that follows is not needed
    return 0;
}

int Stm32Link::Stm32GetId(int& firstByte, int& secondByte) {
    SendCommand(kCmdGetId);
    if (Stm32WaitAck() != 0 || Stm32ReadReply() != 0 || Stm32WaitAck() != 0) return 1;
    // A product ID is two bytes; a shorter reply must not be completed with
    // whatever an earlier reply left in the buffer.
    if (ReplyLength < 2) return 1;
    firstByte = ReplyBuffer[0];
    secondByte = ReplyBuffer[1];
    return 0;
}

int Stm32Link::Stm32EraseAll() {
    SendCommand(kCmdErase);
    if (Stm32WaitAck() != 0) return 1;
    // Global erase: 0xFF and its checksum 0x00. The ACK comes once the
    // flash is erased.
    port_.ComWriteByte(kGlobalErase);
    port_.ComWriteByte(0x00);
    return Stm32WaitAck();
}

int Stm32Link::Stm32WriteBlock(std::uint32_t address, const std::uint8_t* source,
                               std::size_t count) {
    if (!source || count == 0 || count > kMaxBlock) return 1;
    SendCommand(kCmdWriteMemory);
    if (Stm32WaitAck() != 0) return 1;
    SendAddress(address);
    if (Stm32WaitAck() != 0) return 1;
    // N = count - 1, the bytes, and the XOR of N and every byte, as one
    // write so that the frame leaves back to back.
    const auto n = static_cast<std::uint8_t>(count - 1);
    std::uint8_t sum = n;
    ReplyBuffer[0] = n;
    for (std::size_t i = 0; i < count; ++i) {
        ReplyBuffer[1 + i] = source[i];
        sum ^= source[i];
    }
    ReplyBuffer[1 + count] = sum;
    port_.ComWrite(ReplyBuffer.data(), count + 2);
    // The ACK follows the flash programming of the block.
    return Stm32WaitAck();
}

int Stm32Link::Stm32VerifyBlock(std::uint32_t address, const std::uint8_t* expected,
                                std::size_t count) {
    if (!expected || count == 0 || count > kMaxBlock) return 1;
    SendCommand(kCmdReadMemory);
    if (Stm32WaitAck() != 0) return 1;
    SendAddress(address);
    if (Stm32WaitAck() != 0) return 1;
    // N and its complement, as two single bytes.
    const auto n = static_cast<std::uint8_t>(count - 1);
    port_.ComWriteByte(n);
    port_.ComWriteByte(static_cast<std::uint8_t>(n ^ 0xFF));
    if (Stm32WaitAck() != 0) return 1;
    for (std::size_t i = 0; i < count; ++i) {
        const int b = port_.ComWaitByte(kReplyByteMs);
        if (b < 0) return 1;
        ReplyBuffer[i] = static_cast<std::uint8_t>(b);
    }
    for (std::size_t i = 0; i < count; ++i)
        if (ReplyBuffer[i] != expected[i]) return 1;
    return 0;
}

}  // namespace quennet
