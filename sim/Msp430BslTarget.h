#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "SimSerialDevice.h"

namespace quennet {

// Steps of a bootstrap-loader session that a test can make fail.
enum class BslSimStep {
    Sync,        // the 0x80 sync character
    MassErase,   // command 0x18
    Password,    // command 0x10
    ReadBlock,   // command 0x14 (TX data block)
    LoadPc,      // command 0x1A
    WriteRam,    // command 0x12 below the flash
    WriteFlash,  // command 0x12 into the flash
};

// How a step fails. Silence, WrongByte and Nak apply to every step; the
// frame faults BadChecksum and LengthMismatch apply to ReadBlock (the only
// step answered with a frame) and act like WrongByte elsewhere.
enum class BslSimFault { Silence, WrongByte, Nak, BadChecksum, LengthMismatch };

struct BslSimFaultRule {
    BslSimStep step;
    BslSimFault fault;
    int nth = 1;  // which occurrence of the step since power-up, 1-based; 0 = every one
    bool onwards = false;  // the nth occurrence and every later one
};

// How the board is built and what the part is.
struct Msp430BslConfig {
    std::uint16_t deviceId = 0xF149;  // stored big-endian at 0x0FF0
    std::uint8_t versionMajor = 0x01; // at 0x0FFA
    std::uint8_t versionMinor = 0x11; // at 0x0FFB
    // Wiring of the adapter: which physical level of DTR puts RST high and
    // which level of RTS puts TEST (or TCK) high.
    bool rstHighWhenDtrAsserted = true;
    bool testHighWhenRtsAsserted = false;
    // Correct entry patterns that the part misses (a slow supply, say)
    // before one takes.
    int missedEntries = 0;
    // Bytes the part sends as its loader starts (line noise of the switch).
    std::vector<std::uint8_t> startupNoise;
    // Flash timing generator frequency; see kWordWriteCycles.
    double flashClockHz = 350000.0;
};

// The ROM bootstrap loader of an MSP430 1xx/2xx/4xx part behind a serial
// adapter, modelled from TI's published BSL description:
//
// - Entry: while RST is low, TEST gets at least two rising edges; RST then
//   rises while TEST is high. RST rising any other way starts the user
//   program (the loader stays silent); RST low resets the part.
// - Half-duplex UART, 8 data bits, even parity. Bytes that arrive in another
//   frame format are garbled and break the frame being received. Bytes that
//   arrive while the part is busy erasing or writing are lost.
// - Before each command the host sends SYNC (0x80) and the part answers
//   DATA_ACK (0x90). A command frame is HDR CMD L1 L2 AL AH LL LH D1..Dn
//   CKL CKH with L1 = L2 = n + 4 (even, at most 254); CKL/CKH are the
//   inverted XOR of the bytes at even/odd offsets. Bad checksums, lengths
//   and unknown commands get DATA_NAK (0xA0).
// - Mass erase is open to anyone; reading, writing and load PC need the
//   password, the 32 bytes at 0xFFE0..0xFFFF, given since the last entry.
//   The 1xx ROM loaders take the erase parameters LL/LH as don't-care, so
//   any values are accepted.
// - Flash (0x1000..0xFFFF) bits can only be cleared by writes; mass erase
//   sets all of it to 0xFF. RAM is 0x0200..0x09FF; the boot ROM at
//   0x0C00..0x0FFF is read-only and holds the device ID and version.
// - A part with loader version 1.10 cannot write its flash by itself: it
//   refuses flash blocks unless the published RAM patch (194 bytes at
//   0x0220) was written and entered with load PC 0x0220 just before the
//   block. The patch handles one block and returns into the ROM loader.
//   Load PC anywhere else, or onto RAM that does not hold the patch, leaves
//   the loader for good (until the next entry).
//
// Times: the flash controller of the 1xx family (MSP430x1xx Family User's
// Guide, flash memory chapter; MSP430F149 data sheet) takes 35 cycles of
// the flash timing generator per word written and 5297 cycles for a mass
// erase, with the generator at 257..476 kHz. At the modelled 350 kHz a word
// takes 100 us and a mass erase 15.1 ms; the loader writes word by word, so
// a 240-byte block is busy for 12 ms before its acknowledge.
class Msp430BslTarget : public SimPeer {
public:
    static constexpr int kWordWriteCycles = 35;
    static constexpr int kMassEraseCycles = 5297;
    static constexpr std::uint8_t kSync = 0x80;
    static constexpr std::uint8_t kAck = 0x90;
    static constexpr std::uint8_t kNak = 0xA0;

    explicit Msp430BslTarget(Msp430BslConfig config = {});

    void OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                 std::uint64_t arrivalUs) override;
    void OnLines(SimLine& line, bool dtr, bool rts, std::uint64_t atUs) override;

    Msp430BslConfig& Config() { return config_; }
    std::vector<BslSimFaultRule> faults;

    // The whole 64 KiB address space as the part holds it.
    const std::array<std::uint8_t, 0x10000>& Memory() const { return memory_; }
    std::uint8_t At(std::uint16_t address) const { return memory_[address]; }
    // Programs bytes as if written earlier by other means (bits may be set).
    void Preload(std::uint16_t address, const std::vector<std::uint8_t>& bytes);

    bool Running() const { return running_; }
    bool PasswordAccepted() const { return passwordOk_; }
    int Entries() const { return entries_; }

    // One frame the loader took in full, accepted or not.
    struct Command {
        std::uint64_t atUs;   // when its last byte arrived
        std::uint8_t cmd;
        std::uint16_t address;
        std::uint16_t length;  // LL + 256 * LH
        bool accepted;         // answered DATA_ACK (or, for a read, its data)
    };
    const std::vector<Command>& Commands() const { return commands_; }
    std::vector<Command> CommandsOf(std::uint8_t cmd) const;
    int SyncsAnswered() const { return syncsAnswered_; }

    // Traffic and work, for measuring a host against the wire.
    std::size_t BytesReceived() const { return bytesReceived_; }
    std::size_t BytesSent() const { return bytesSent_; }
    std::uint64_t BusyUs() const { return busyTotalUs_; }
    std::uint64_t WordWriteUs() const;
    std::uint64_t MassEraseUs() const;

    // The RAM patch that 1.10 loaders need, as TI publishes it.
    static const std::array<std::uint8_t, 194>& Patch110();

private:
    enum class Rx { Idle, Synced, Frame };

    void Reset();
    void StartLoader(SimLine& line, std::uint64_t atUs);
    void OnByte(SimLine& line, std::uint8_t byte, std::uint64_t atUs);
    void Execute(SimLine& line, std::uint64_t atUs);
    void Send(SimLine& line, std::uint64_t atUs, const std::vector<std::uint8_t>& bytes);
    // The fault for this occurrence of the step, if any (counts the step).
    const BslSimFaultRule* Occurrence(BslSimStep step);
    bool Is110() const { return config_.versionMajor == 0x01 && config_.versionMinor == 0x10; }
    void WriteInfoBlock();

    Msp430BslConfig config_;
    std::array<std::uint8_t, 0x10000> memory_{};
    std::array<int, 7> stepCounts_{};

    bool rst_ = false;
    bool test_ = false;
    int testEdgesWhileInReset_ = 0;
    int missed_ = 0;
    bool running_ = false;
    bool passwordOk_ = false;
    bool patchEntered_ = false;
    Rx rx_ = Rx::Idle;
    std::vector<std::uint8_t> frame_;
    std::uint64_t busyUntilUs_ = 0;
    int entries_ = 0;
    int syncsAnswered_ = 0;
    std::vector<Command> commands_;
    std::size_t bytesReceived_ = 0;
    std::size_t bytesSent_ = 0;
    std::uint64_t busyTotalUs_ = 0;
};

}  // namespace quennet
