#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "serial/ComPort.h"

namespace quennet {

// Bytes of the MSP430 ROM bootstrap loader's serial protocol.
inline constexpr std::uint8_t kBslSync = 0x80;  // sync character and frame header
inline constexpr std::uint8_t kBslAck = 0x90;   // DATA_ACK

// Command codes.
inline constexpr std::uint8_t kBslCmdRxDataBlock = 0x12;
inline constexpr std::uint8_t kBslCmdRxPassword = 0x10;
inline constexpr std::uint8_t kBslCmdTxDataBlock = 0x14;
inline constexpr std::uint8_t kBslCmdMassErase = 0x18;
inline constexpr std::uint8_t kBslCmdLoadPc = 0x1A;
inline constexpr std::uint8_t kBslCmdChangeBaud = 0x20;

// The mass erase is a dummy write that the loader makes with FCTL1 set to
// LL LH: ERASE | MERAS under the flash key 0xA5 erases main and information
// memory. The write must land in the flash, so the address is one in main
// memory that every part has.
inline constexpr std::uint16_t kBslMassEraseAddress = 0xFF00;
inline constexpr std::uint16_t kBslMassEraseFctl1 = 0xA506;

// Where the 1.10 patch lives and runs, and where the part describes itself.
inline constexpr std::uint16_t kBslPatchAddress = 0x0220;
inline constexpr std::uint16_t kBslInfoAddress = 0x0FF0;
inline constexpr std::uint16_t kBslInfoLength = 16;
// The most data one RX data block carries.
inline constexpr std::size_t kBslMaxBlock = 240;

// Control bytes of the change baud rate command for one family and rate:
// D1 and D2 set the processor clock (DCOCTL and BCSCTL1, or SCFI0 and SCFI1
// on the F4xx), D3 selects the rate. Sent as AL AH LL.
struct BslBaudSetting {
    std::uint8_t d1, d2, d3;
};
// The settings for the part's family (high byte of its device ID: 0xF1,
// 0xF2 or 0xF4) at 9600, 19200 or 38400 baud; nothing for other families
// or rates.
std::optional<BslBaudSetting> BslBaudSettings(std::uint16_t deviceId, std::uint32_t baud);
// Loaders from version 1.60 on can change their baud rate.
bool BslCanChangeBaud(std::uint8_t major, std::uint8_t minor);
// The flash generations, told apart by the device ID at 0x0FF0. The F1xx
// and F4xx flash needs a cumulative mass erase time of 200 ms, and one mass
// erase through the loader may last as little as 5297 cycles of the flash
// timing generator at 476 kHz: 11.1 ms, so their data sheets ask for at
// least 19 erases in the worst case. The F2xx flash erases fully in one
// (10593 cycles against 20 ms). A part not known here gets the repeated
// erase: more erasing costs time, too little leaves cells that may not hold.
enum class Msp430FlashKind { F1xx, F4xx, F2xx, Unknown };
Msp430FlashKind Msp430FlashKindOf(std::uint16_t deviceId);
// How many mass erases make a complete erase of the part's flash.
int Msp430MassErasesNeeded(std::uint16_t deviceId);

// Result codes of BslEnter.
inline constexpr int kBslEnterOk = 0;
inline constexpr int kBslEnterNoPort = 1;
inline constexpr int kBslEnterNoAnswer = 2;

// Checksum of a loader frame: CKL is the inverted XOR of the bytes at even
// offsets, CKH that of the bytes at odd offsets; returned as CKL + 256 * CKH.
// For an even length this is the inverted XOR of the little-endian words.
std::uint16_t BslChecksum(const std::uint8_t* bytes, std::size_t length);

// The RAM patch that a 1.10 loader needs to write its flash, loaded at
// 0x0220 and entered with load PC before each block. Ends with RET.
extern const std::array<std::uint8_t, 194> Bsl110Patch;

// The link to an MSP430 ROM bootstrap loader over the port, which is open at
// the loader's baud rate in E-8-1. Every operation is one short blocking
// exchange and returns 0 for success. The state lives for one run.
class Msp430Bsl {
public:
    static constexpr std::size_t kFrameBufferSize = 268;

    explicit Msp430Bsl(ComPort& port) : port_(port) {}

    // Checksums the first `length` bytes of the frame buffer, puts CKL and
    // CKH after them and writes the whole frame at once. Reads nothing.
    void BslSendFrame(std::size_t length);
    // 0 when the next byte within ms is DATA_ACK; 1 for anything else.
    int BslWaitAck(int ms);
    // Up to 10 sync characters, each given 50 ms for its DATA_ACK.
    int BslSync();
    // Receives a data frame into the frame buffer (header and data; the
    // checksum is checked, not stored).
    int BslReceiveFrame();
    // Drives the entry pattern on DTR (RST) and RTS (TEST), up to four
    // times with the RTS polarity flipped after each failed attempt.
    int BslEnter();
    // One mass erase (main and information memory); the caller syncs first
    // when the loader was not just entered.
    int BslMassErase();
    // Asks the loader to switch to the rate of the setting; on DATA_ACK the
    // loader listens at the new rate.
    int BslChangeBaud(const BslBaudSetting& setting);
    // The password of an erased part: 32 bytes 0xFF.
    int BslSendPassword();
    // The part's own password: the 32 bytes of its vector table.
    int BslSendPassword(const std::array<std::uint8_t, 32>& password);
    // Reads the 16 bytes at 0x0FF0: device ID and loader version.
    int BslReadVersion();
    int BslLoadPc(std::uint16_t address);
    // Loads the 1.10 patch when the version just read asks for it; 0 also
    // when none is needed.
    int BslLoadPatch();
    // Builds an RX data block frame for n bytes (even address, n at most
    // 240) in the frame buffer and returns its length without checksum.
    std::size_t BuildRxDataBlock(std::uint16_t address, const std::uint8_t* data, std::size_t n);

    // TX data block: reads n bytes (even address, n even, 2 to 240) at
    // address into out; the unlocked loader's reply frame must carry
    // exactly n bytes.
    int BslReadBlock(std::uint16_t address, std::uint8_t* out, std::size_t n);

    std::uint16_t DeviceId = 0;
    std::uint8_t VersionMajor = 0;
    std::uint8_t VersionMinor = 0;
    bool PatchLoaded = false;

private:
    // Header of a command frame without data: HDR CMD 04 04 AL AH LL LH.
    void BuildHeader(std::uint8_t cmd, std::uint8_t l, std::uint16_t address, std::uint16_t param);

    ComPort& port_;
    // The loader's frame buffer: every frame is built and received here.
    std::array<std::uint8_t, kFrameBufferSize> frame_{};
};

}  // namespace quennet
