#include "loader/Msp430Bsl.h"

#include <algorithm>

namespace quennet {

namespace {

// Entry pattern: RST held low while TEST gives two rising edges, RST
// released while TEST is high, then TEST low. Logical levels; the wait after
// each step in milliseconds.
struct EntryStep {
    int dtr;
    int rts;
    int waitMs;
};
constexpr EntryStep kEntryPattern[] = {
    {1, 1, 100}, {0, 1, 10}, {0, 0, 10}, {0, 1, 10},
    {0, 0, 10},  {0, 1, 10}, {1, 1, 10}, {1, 0, 100},
};
constexpr int kEntryAttempts = 4;
constexpr int kSyncTries = 10;
constexpr int kByteWaitMs = 50;
constexpr int kAckWaitMs = 500;
constexpr int kEraseAckWaitMs = 3000;

// Change baud rate control bytes per family and rate, as TI lists them.
struct BaudRow {
    std::uint8_t family;  // high byte of the device ID
    std::uint32_t baud;
    BslBaudSetting setting;
};
constexpr BaudRow kBaudTable[] = {
    {0xF1, 9600, {0x80, 0x85, 0}}, {0xF1, 19200, {0xE0, 0x86, 1}}, {0xF1, 38400, {0xE0, 0x87, 2}},
    {0xF2, 9600, {0x80, 0x85, 0}}, {0xF2, 19200, {0x00, 0x8B, 1}}, {0xF2, 38400, {0x80, 0x8C, 2}},
    {0xF4, 9600, {0x00, 0x98, 0}}, {0xF4, 19200, {0x00, 0xB0, 1}}, {0xF4, 38400, {0x00, 0xC8, 2}},
};
// Mass erases that add up to the 200 ms of the F1xx and F4xx flash.
constexpr int kCumulativeMassErases = 19;

// The high byte of the device ID names the family: 0xF149 is an F149,
// 0xF449 an F449, 0xF2xx an F2xx. The F41x2 parts say 0x41 (0x4152 for
// the F4152).
struct FlashFamilyRow {
    std::uint8_t idHigh;
    Msp430FlashKind kind;
};
constexpr FlashFamilyRow kFlashFamilies[] = {
    {0xF1, Msp430FlashKind::F1xx},
    {0xF4, Msp430FlashKind::F4xx},
    {0x41, Msp430FlashKind::F4xx},
    {0xF2, Msp430FlashKind::F2xx},
};

}  // namespace

const std::array<std::uint8_t, 194> Bsl110Patch = {
    0x31, 0x40, 0x1A, 0x02, 0x09, 0x43, 0xB0, 0x12, 0x2A, 0x0E, 0xB0, 0x12, 0xBA, 0x0D, 0x55, 0x42,  // 0220
    0x0B, 0x02, 0x75, 0x90, 0x12, 0x00, 0x1F, 0x24, 0xB0, 0x12, 0xBA, 0x02, 0x55, 0x42, 0x0B, 0x02,  // 0230
    0x75, 0x90, 0x16, 0x00, 0x16, 0x24, 0x75, 0x90, 0x14, 0x00, 0x11, 0x24, 0xB0, 0x12, 0x84, 0x0E,  // 0240
    0x06, 0x3C, 0xB0, 0x12, 0x94, 0x0E, 0x03, 0x3C, 0x21, 0x53, 0xB0, 0x12, 0x8C, 0x0E, 0xB2, 0x40,  // 0250
    0x10, 0xA5, 0x2C, 0x01, 0xB2, 0x40, 0x00, 0xA5, 0x28, 0x01, 0x30, 0x40, 0x42, 0x0C, 0x30, 0x40,  // 0260
    0x76, 0x0D, 0x30, 0x40, 0xAC, 0x0C, 0x16, 0x42, 0x0E, 0x02, 0x17, 0x42, 0x10, 0x02, 0xE2, 0xB2,  // 0270
    0x08, 0x02, 0x14, 0x24, 0xB0, 0x12, 0x10, 0x0F, 0x36, 0x90, 0x00, 0x10, 0x06, 0x28, 0xB2, 0x40,  // 0280
    0x00, 0xA5, 0x2C, 0x01, 0xB2, 0x40, 0x40, 0xA5, 0x28, 0x01, 0xD6, 0x42, 0x06, 0x02, 0x00, 0x00,  // 0290
    0x16, 0x53, 0x17, 0x83, 0xEF, 0x23, 0xB0, 0x12, 0xBA, 0x02, 0xD3, 0x3F, 0xB0, 0x12, 0x10, 0x0F,  // 02A0
    0x17, 0x83, 0xFC, 0x23, 0xB0, 0x12, 0xBA, 0x02, 0xD0, 0x3F, 0x18, 0x42, 0x12, 0x02, 0xB0, 0x12,  // 02B0
    0x10, 0x0F, 0xD2, 0x42, 0x06, 0x02, 0x12, 0x02, 0xB0, 0x12, 0x10, 0x0F, 0xD2, 0x42, 0x06, 0x02,  // 02C0
    0x13, 0x02, 0x38, 0xE3, 0x18, 0x92, 0x12, 0x02, 0xBF, 0x23, 0xE2, 0xB3, 0x08, 0x02, 0xBC, 0x23,  // 02D0
    0x30, 0x41,                                                                                      // 02E0
};

std::optional<BslBaudSetting> BslBaudSettings(std::uint16_t deviceId, std::uint32_t baud) {
    for (const BaudRow& row : kBaudTable)
        if (row.family == deviceId >> 8 && row.baud == baud) return row.setting;
    return std::nullopt;
}

bool BslCanChangeBaud(std::uint8_t major, std::uint8_t minor) {
    return (major << 8 | minor) >= 0x0160;
}

Msp430FlashKind Msp430FlashKindOf(std::uint16_t deviceId) {
    for (const FlashFamilyRow& row : kFlashFamilies)
        if (row.idHigh == deviceId >> 8) return row.kind;
    return Msp430FlashKind::Unknown;
}

int Msp430MassErasesNeeded(std::uint16_t deviceId) {
    return Msp430FlashKindOf(deviceId) == Msp430FlashKind::F2xx ? 1 : kCumulativeMassErases;
}

std::uint16_t BslChecksum(const std::uint8_t* bytes, std::size_t length) {
    std::uint8_t ckl = 0, ckh = 0;
    for (std::size_t i = 0; i < length; ++i) (i % 2 == 0 ? ckl : ckh) ^= bytes[i];
    return static_cast<std::uint16_t>(~(ckl | (ckh << 8)));
}

void Msp430Bsl::BslSendFrame(std::size_t length) {
    length = std::min(length, kFrameBufferSize - 2);
    const std::uint16_t sum = BslChecksum(frame_.data(), length);
    frame_[length] = static_cast<std::uint8_t>(sum & 0xFF);
    frame_[length + 1] = static_cast<std::uint8_t>(sum >> 8);
    port_.ComWrite(frame_.data(), length + 2);
}

int Msp430Bsl::BslWaitAck(int ms) { return port_.ComWaitByte(ms) == kBslAck ? 0 : 1; }

int Msp430Bsl::BslSync() {
    for (int i = 0; i < kSyncTries; ++i) {
        port_.ComWriteByte(kBslSync);
        if (port_.ComWaitByte(kByteWaitMs) == kBslAck) return 0;
    }
    return 1;
}

int Msp430Bsl::BslReceiveFrame() {
    int b = port_.ComWaitByte(kByteWaitMs);
    if (b != kBslSync) return 1;
    const int second = port_.ComWaitByte(kByteWaitMs);
    if (second < 0) return 1;
    const int l1 = port_.ComWaitByte(kByteWaitMs);
    if (l1 < 0) return 1;
    const int l2 = port_.ComWaitByte(kByteWaitMs);
    if (l2 < 0 || l1 != l2) return 1;
    frame_[0] = kBslSync;
    frame_[1] = static_cast<std::uint8_t>(second);
    frame_[2] = static_cast<std::uint8_t>(l1);
    frame_[3] = static_cast<std::uint8_t>(l2);
    // At most 255 data bytes: 4 + 255 stays inside the buffer.
    for (int i = 0; i < l1; ++i) {
        b = port_.ComWaitByte(kByteWaitMs);
        if (b < 0) return 1;
        frame_[4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(b);
    }
    const std::uint16_t sum = BslChecksum(frame_.data(), static_cast<std::size_t>(l2) + 4);
    const int ckl = port_.ComWaitByte(kByteWaitMs);
    if (ckl < 0) return 1;
    const int ckh = port_.ComWaitByte(kByteWaitMs);
    if (ckh < 0) return 1;
    return ckl + 256 * ckh == sum ? 0 : 1;
}

int Msp430Bsl::BslEnter() {
    if (!port_.IsOpen()) return kBslEnterNoPort;
    Clock& clock = port_.clock();
    for (int attempt = 0; attempt < kEntryAttempts; ++attempt) {
        int dtr = -1, rts = -1;
        for (const EntryStep& step : kEntryPattern) {
            // Only the line that changes is driven (both at the first step).
            if (step.dtr != dtr) port_.ComSetDtr(step.dtr);
            if (step.rts != rts) port_.ComSetRts(step.rts);
            dtr = step.dtr;
            rts = step.rts;
            clock.Sleep(step.waitMs);
        }
        // Whatever the part said while it started is not an answer.
        while (port_.ComReadByte() != -1) {}
        if (BslSync() == 0) return kBslEnterOk;
        // Maybe TEST is wired the other way round: next time drive it so.
        port_.RtsPolarity = !port_.RtsPolarity;
    }
    return kBslEnterNoAnswer;
}

void Msp430Bsl::BuildHeader(std::uint8_t cmd, std::uint8_t l, std::uint16_t address,
                            std::uint16_t param) {
    frame_[0] = kBslSync;
    frame_[1] = cmd;
    frame_[2] = l;
    frame_[3] = l;
    frame_[4] = static_cast<std::uint8_t>(address & 0xFF);
    frame_[5] = static_cast<std::uint8_t>(address >> 8);
    frame_[6] = static_cast<std::uint8_t>(param & 0xFF);
    frame_[7] = static_cast<std::uint8_t>(param >> 8);
}

int Msp430Bsl::BslMassErase() {
    BuildHeader(kBslCmdMassErase, 4, kBslMassEraseAddress, kBslMassEraseFctl1);
    BslSendFrame(8);
    return BslWaitAck(kEraseAckWaitMs);
}

int Msp430Bsl::BslChangeBaud(const BslBaudSetting& setting) {
    BslSync();
    BuildHeader(kBslCmdChangeBaud, 4, static_cast<std::uint16_t>(setting.d1 | setting.d2 << 8), setting.d3);
    BslSendFrame(8);
    return BslWaitAck(kAckWaitMs);
}

int Msp430Bsl::BslSendPassword() {
    // The password is the interrupt vector table; erased, it is all 0xFF.
    std::array<std::uint8_t, 32> erased;
    erased.fill(0xFF);
    return BslSendPassword(erased);
}

int Msp430Bsl::BslSendPassword(const std::array<std::uint8_t, 32>& password) {
    BuildHeader(kBslCmdRxPassword, 0x24, 0, 0);
    std::copy(password.begin(), password.end(), frame_.begin() + 8);
    BslSendFrame(40);
    return BslWaitAck(kAckWaitMs);
}

int Msp430Bsl::BslReadVersion() {
    PatchLoaded = false;
    BslSync();
    BuildHeader(kBslCmdTxDataBlock, 4, kBslInfoAddress, kBslInfoLength);
    BslSendFrame(8);
    if (BslReceiveFrame() != 0) return 1;
    // A reply shorter than asked would leave the version bytes as stale
    // buffer content: only the full block counts.
    if (frame_[2] != kBslInfoLength) return 1;
    DeviceId = static_cast<std::uint16_t>(frame_[4] * 256 + frame_[5]);
    VersionMajor = frame_[4 + 10];
    VersionMinor = frame_[4 + 11];
    return 0;
}

int Msp430Bsl::BslReadBlock(std::uint16_t address, std::uint8_t* out, std::size_t n) {
    if (!out || n == 0 || n > kBslMaxBlock || n % 2 != 0 || address % 2 != 0) return 1;
    BslSync();
    BuildHeader(kBslCmdTxDataBlock, 4, address, static_cast<std::uint16_t>(n));
    BslSendFrame(8);
    if (BslReceiveFrame() != 0 || frame_[2] != n) return 1;
    std::copy(frame_.begin() + 4, frame_.begin() + 4 + static_cast<long>(n), out);
    return 0;
}

int Msp430Bsl::BslLoadPc(std::uint16_t address) {
    BslSync();
    BuildHeader(kBslCmdLoadPc, 4, address, 0);
    BslSendFrame(8);
    return BslWaitAck(kAckWaitMs);
}

int Msp430Bsl::BslLoadPatch() {
    if (VersionMajor != 0x01 || VersionMinor != 0x10) return 0;
    PatchLoaded = true;
    BuildHeader(kBslCmdRxDataBlock, static_cast<std::uint8_t>(Bsl110Patch.size() + 4),
                kBslPatchAddress, static_cast<std::uint16_t>(Bsl110Patch.size()));
    BslSync();
    std::copy(Bsl110Patch.begin(), Bsl110Patch.end(), frame_.begin() + 8);
    BslSendFrame(Bsl110Patch.size() + 8);
    return BslWaitAck(kAckWaitMs);
}

std::size_t Msp430Bsl::BuildRxDataBlock(std::uint16_t address, const std::uint8_t* data,
                                        std::size_t n) {
    n = std::min(n, kBslMaxBlock);
    // The length's high byte is always 0: a block never exceeds 240 bytes.
    BuildHeader(kBslCmdRxDataBlock, static_cast<std::uint8_t>(n + 4), address,
                static_cast<std::uint16_t>(n & 0xFF));
    std::copy(data, data + n, frame_.begin() + 8);
    return n + 8;
}

}  // namespace quennet
