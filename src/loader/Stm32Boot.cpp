#include "loader/Stm32Boot.h"

#include <algorithm>

namespace quennet {

int Stm32Link::WaitAck(bool idleBetweenTries, std::vector<std::uint8_t>* heard) {
    for (int attempt = 0; attempt < kAckTries; ++attempt) {
        const int b = port_.ComWaitByte(kAckTryMs);
        if (b == kAck) return 0;
        if (b >= 0 && heard) heard->push_back(static_cast<std::uint8_t>(b));
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
    ConnectTrace.clear();
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        ConnectAttempt& heard = ConnectTrace.emplace_back();
        // Reset with BOOT0 held, so that the chip starts its bootloader.
        port_.ComSetDtr(1);
        port_.ComSetRts(1);
        clock.Sleep(10);
        port_.ComSetDtr(0);
        clock.Sleep(100);
        port_.ComSetDtr(1);
        clock.Sleep(100);
        // Whatever the firmware or the reset put on the line is not an
        // answer; it is kept to explain a connect that fails.
        for (int b; (b = port_.ComReadByte()) != -1;) heard.beforeSync.push_back(static_cast<std::uint8_t>(b));
        port_.ComWriteByte(kSync);
        if (WaitAck(true, &heard.afterSync) == 0) return kConnected;
        port_.RtsPolarity = !port_.RtsPolarity;
    }
    return kNoSync;
}

int Stm32Link::Stm32Get(int& version) {
    SendCommand(kCmdGet);
    if (Stm32WaitAck() != 0 || Stm32ReadReply() != 0 || Stm32WaitAck() != 0) return 1;
    version = ReplyBuffer[0];
    Commands.assign(ReplyBuffer.begin() + 1, ReplyBuffer.begin() + static_cast<long>(ReplyLength));
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

bool Stm32Link::Offers(std::uint8_t command) const {
    for (std::uint8_t c : Commands)
        if (c == command) return true;
    return false;
}

int Stm32Link::WaitAnswer(int budgetMs) {
    Clock& clock = port_.clock();
    const std::uint64_t end = clock.MonotonicUs() + static_cast<std::uint64_t>(budgetMs) * 1000;
    for (std::uint64_t now = clock.MonotonicUs(); now < end; now = clock.MonotonicUs()) {
        const int b = port_.ComWaitByte(static_cast<int>(std::min<std::uint64_t>(kAckTryMs, (end - now + 999) / 1000)));
        if (b == kAck) return 0;
        if (b == kNack) return kRefused;
        // A long erase keeps the line quiet for seconds: let the window
        // repaint meanwhile.
        if (b < 0 && idle_) idle_();
    }
    return 1;
}

int Stm32Link::Stm32Erase(bool extended, const std::vector<std::uint16_t>& pages, int waitMs) {
    // Erase takes N + 1 page numbers with N < 255 (0xFF means global), each
    // of one byte: a larger number would erase another page.
    if (pages.size() > (extended ? 0xFFF0u : 0xFFu)) return 1;
    if (!extended && std::any_of(pages.begin(), pages.end(), [](std::uint16_t p) { return p > 0xFF; })) return 1;
    SendCommand(extended ? kCmdExtendedErase : kCmdErase);
    if (const int r = WaitAnswer(kAckTries * kAckTryMs); r != 0) return r;
    std::vector<std::uint8_t> frame;
    if (pages.empty()) {
        // Global erase: 0xFF and 0x00 for Erase; 0xFFFF and its checksum
        // 0x00 for Extended Erase.
        frame.assign(extended ? 2 : 1, 0xFF);
        frame.push_back(0x00);
        port_.ComWrite(frame.data(), frame.size());
        return WaitAnswer(waitMs);
    }
    // N, then the N + 1 page numbers, then the XOR of all those bytes.
    const std::size_t n = pages.size() - 1;
    if (extended) frame.push_back(static_cast<std::uint8_t>(n >> 8));
    frame.push_back(static_cast<std::uint8_t>(n));
    for (std::uint16_t p : pages) {
        if (extended) frame.push_back(static_cast<std::uint8_t>(p >> 8));
        frame.push_back(static_cast<std::uint8_t>(p));
    }
    std::uint8_t sum = 0;
    for (std::uint8_t b : frame) sum ^= b;
    frame.push_back(sum);
    port_.ComWrite(frame.data(), frame.size());
    return WaitAnswer(waitMs);
}

int Stm32Link::Stm32ReadMemory(std::uint32_t address, std::uint8_t* out, std::size_t count) {
    if (!out || count == 0 || count > kMaxBlock) return 1;
    SendCommand(kCmdReadMemory);
    commandRefused_ = false;
    if (const int r = WaitAnswer(kAckTries * kAckTryMs); r != 0) {
        commandRefused_ = r == kRefused;
        return r;
    }
    SendAddress(address);
    if (const int r = WaitAnswer(kAckTries * kAckTryMs); r != 0) return r;
    const auto n = static_cast<std::uint8_t>(count - 1);
    port_.ComWriteByte(n);
    port_.ComWriteByte(static_cast<std::uint8_t>(n ^ 0xFF));
    if (WaitAnswer(kAckTries * kAckTryMs) != 0) return 1;
    for (std::size_t i = 0; i < count; ++i) {
        const int b = port_.ComWaitByte(kReplyByteMs);
        if (b < 0) return 1;
        out[i] = static_cast<std::uint8_t>(b);
    }
    return 0;
}

int Stm32Link::Stm32ProbeReadout(std::uint32_t address) {
    // With read-out protection on, the bootloader refuses Read Memory at
    // once; otherwise one word comes back. A refused address is no sign
    // of protection.
    std::uint8_t word[4];
    const int r = Stm32ReadMemory(address, word, sizeof word);
    return r == kRefused && !commandRefused_ ? 1 : r;
}

int Stm32Link::Stm32ReadoutUnprotect(int waitMs) {
    SendCommand(kCmdReadoutUnprotect);
    if (const int r = WaitAnswer(kAckTries * kAckTryMs); r != 0) return r;
    return WaitAnswer(waitMs);
}

int Stm32Link::Stm32WriteProtect(const std::vector<std::uint8_t>& sectors, int waitMs) {
    if (sectors.empty() || sectors.size() > 256) return 1;
    SendCommand(kCmdWriteProtect);
    if (const int r = WaitAnswer(kAckTries * kAckTryMs); r != 0) return r;
    // N (codes minus one), the codes, then the XOR of N and every code.
    std::vector<std::uint8_t> frame{static_cast<std::uint8_t>(sectors.size() - 1)};
    frame.insert(frame.end(), sectors.begin(), sectors.end());
    std::uint8_t sum = 0;
    for (std::uint8_t b : frame) sum ^= b;
    frame.push_back(sum);
    port_.ComWrite(frame.data(), frame.size());
    return WaitAnswer(waitMs);
}

int Stm32Link::Stm32WriteUnprotect(int waitMs) {
    SendCommand(kCmdWriteUnprotect);
    if (const int r = WaitAnswer(kAckTries * kAckTryMs); r != 0) return r;
    return WaitAnswer(waitMs);
}

int Stm32Link::Stm32ReadoutProtect(int waitMs) {
    SendCommand(kCmdReadoutProtect);
    if (const int r = WaitAnswer(kAckTries * kAckTryMs); r != 0) return r;
    return WaitAnswer(waitMs);
}

int Stm32Link::Stm32Resync() {
    Clock& clock = port_.clock();
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        // Give the chip its restart, then drop what it said meanwhile.
        clock.Sleep(100);
        while (port_.ComReadByte() != -1) {
        }
        port_.ComWriteByte(kSync);
        // A NACK too means a listening bootloader: one that had already
        // taken a sync byte reads another as an unknown command.
        if (WaitAnswer(kAckTries * kAckTryMs) != 1) return 0;
    }
    return 1;
}

int Stm32Link::Stm32Go(std::uint32_t address) {
    SendCommand(kCmdGo);
    if (const int r = WaitAnswer(kAckTries * kAckTryMs); r != 0) return r;
    SendAddress(address);
    return WaitAnswer(kAckTries * kAckTryMs);
}

}  // namespace quennet
