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
    ChangeBaud,  // command 0x20
};

// How a step fails. Silence, WrongByte and Nak apply to every step; the
// frame faults BadChecksum, LengthMismatch and ShortFrame (a well-formed
// frame two bytes shorter than asked) apply to ReadBlock (the only step
// answered with a frame) and act like WrongByte elsewhere.
enum class BslSimFault { Silence, WrongByte, Nak, BadChecksum, LengthMismatch, ShortFrame };

struct BslSimFaultRule {
    BslSimStep step;
    BslSimFault fault;
    int nth = 1;  // which occurrence of the step since power-up, 1-based; 0 = every one
    bool onwards = false;  // the nth occurrence and every later one
};

// How the board is built and what the part is.
struct Msp430BslConfig {
    std::uint16_t deviceId = 0xF149;  // stored big-endian at 0x0FF0; the high byte names the family
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
    // The flash holds an old program at power-up (its vectors are then no
    // password of an erased part); false: the flash is blank.
    bool oldFirmware = true;
    // How long one mass erase lasts; 0: the data sheet's cycles for the
    // family at flashClockHz.
    std::uint64_t massEraseUs = 0;
};

// The ROM bootstrap loader of an MSP430 1xx/2xx/4xx part behind a serial
// adapter, modelled from TI's published BSL description (SLAU319) and the
// parts' data sheets:
//
// - Entry: while RST is low, TEST gets at least two rising edges; RST then
//   rises while TEST is high. RST rising any other way starts the user
//   program (the loader stays silent); RST low resets the part.
// - Half-duplex UART, 8 data bits, even parity. Bytes that arrive in another
//   frame format are garbled and break the frame being received. Bytes that
//   arrive while the part is busy erasing or writing are lost. The loader
//   times its bits from the sync character, so it follows the host's rate
//   until a change baud rate command fixes its clock and rate.
// - Before each command the host sends SYNC (0x80) and the part answers
//   DATA_ACK (0x90). A command frame is HDR CMD L1 L2 AL AH LL LH D1..Dn
//   CKL CKH with L1 = L2 = n + 4 (even, at most 254); CKL/CKH are the
//   inverted XOR of the bytes at even/odd offsets. Bad checksums, lengths
//   and unknown commands get DATA_NAK (0xA0).
// - Erasing: the loader writes LL LH to the flash controller's FCTL1 and
//   makes a dummy write at AL AH. Under the key 0xA5, ERASE (0x02) erases
//   the segment of the address, MERAS (0x04) the main memory, both (0x06)
//   main and information memory; with another key or value, or an address
//   outside the flash, nothing is erased. Mass erase (0x18) is open to
//   anyone; loaders of version 2.x answer DATA_NAK when nothing was erased,
//   older ones DATA_ACK all the same. Erase segment (0x16) needs the
//   password; from version 1.60 on it checks its work like erase check.
// - The password is the 32 bytes at 0xFFE0..0xFFFF, given since the last
//   entry; reading, writing, erase segment, erase check and load PC need it.
// - Versions 1.50 to 1.6x have erase check (0x1C, password) and TX BSL
//   version (0x1E: the 16 bytes at 0x0FF0); from 1.60 on (2.x included)
//   change baud rate (0x20: D1 D2 D3 in AL AH LL, not protected). A part
//   whose clock bytes D1 D2 are not its family's for the rate D3 runs its
//   UART at no rate a host can match.
// - Flash (0x1000..0xFFFF; information memory 0x1000..0x10FF in segments of
//   128 bytes, main memory above in segments of 512) bits can only be
//   cleared by writes. RAM is 0x0200..0x09FF; the boot ROM at 0x0C00..0x0FFF
//   is read-only and holds the device ID and version.
// - A part with loader version 1.10 cannot write its flash by itself: it
//   refuses flash blocks unless the published RAM patch (194 bytes at
//   0x0220) was written and entered with load PC 0x0220 just before the
//   block. The patch handles one block and returns into the ROM loader.
//   Load PC anywhere else, or onto RAM that does not hold the patch, leaves
//   the loader for good (until the next entry).
//
// Times (MSP430x1xx Family User's Guide, flash memory chapter; the F1xx,
// F2xx and F4xx data sheets): the flash timing generator runs at 257..476
// kHz. A byte or word write takes 35 of its cycles, a segment erase 4819, a
// mass erase 5297 on the F1xx and F4xx (device IDs 0xF1xx, 0xF4xx and the
// F41x2's 0x41xx) and 10593 on the F2xx. The F1xx and F4xx flash needs a
// cumulative mass erase time of 200 ms before it is written, the F2xx
// 20 ms. Cells erased for less keep some of what they held: until the
// erases since the last write add up to that time, a written cell gets the
// old content's cleared bits back (the written value AND the old one).
// Loaders before version 1.30 write byte by byte, later ones word by word.
// At the modelled 350 kHz a word takes 100 us, an F1xx mass erase 15.1 ms:
// a 240-byte block is busy for 12 ms before its acknowledge.
class Msp430BslTarget : public SimPeer {
public:
    static constexpr int kWordWriteCycles = 35;
    static constexpr int kSegmentEraseCycles = 4819;
    static constexpr int kMassEraseCyclesF1xx = 5297;
    static constexpr int kMassEraseCyclesLater = 10593;
    static constexpr std::uint64_t kCumulativeEraseUsF1xx = 200000;  // and F4xx
    static constexpr std::uint64_t kCumulativeEraseUsLater = 20000;
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
    // Programs bytes as if written earlier by other means (bits may be set):
    // part of the old content that an erase must clear.
    void Preload(std::uint16_t address, const std::vector<std::uint8_t>& bytes);

    bool Running() const { return running_; }
    bool PasswordAccepted() const { return passwordOk_; }
    int Entries() const { return entries_; }
    // The rate a change baud rate command fixed since the entry: 0 while the
    // loader follows the host, 1 when its clock fits no rate.
    std::uint32_t UartBaud() const { return uartBaud_; }
    // Flash blocks written while the mass erases before them had not yet
    // lasted the data sheet's cumulative time (their cells may not hold).
    int WritesOnIncompleteErase() const { return writesOnIncompleteErase_; }

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
    // Wire time of every byte both ways, each at the rate it crossed at.
    double WireUs() const { return wireUs_; }
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
    std::uint16_t Version() const { return static_cast<std::uint16_t>(config_.versionMajor << 8 | config_.versionMinor); }
    bool Is110() const { return Version() == 0x0110; }
    std::uint8_t Family() const { return static_cast<std::uint8_t>(config_.deviceId >> 8); }
    // The F1xx and F4xx flash: slower to erase fully than the F2xx's.
    bool FirstFlashGeneration() const { return Family() == 0xF1 || Family() == 0xF4 || Family() == 0x41; }
    std::uint64_t CumulativeEraseUs() const {
        return FirstFlashGeneration() ? kCumulativeEraseUsF1xx : kCumulativeEraseUsLater;
    }
    void WriteInfoBlock();
    // The dummy write under FCTL1 = fctl1 at address: erases what it
    // selects and returns how long that took (0: nothing erased).
    std::uint64_t Erase(std::uint16_t fctl1, std::uint16_t address);
    bool Blank(std::uint32_t begin, std::uint32_t end) const;
    // The 16 bytes at address as a data frame.
    std::vector<std::uint8_t> DataFrame(std::uint16_t address, std::uint16_t length) const;

    Msp430BslConfig config_;
    std::array<std::uint8_t, 0x10000> memory_{};
    std::array<int, 8> stepCounts_{};

    bool rst_ = false;
    bool test_ = false;
    int testEdgesWhileInReset_ = 0;
    int missed_ = 0;
    bool running_ = false;
    bool passwordOk_ = false;
    bool patchEntered_ = false;
    std::uint32_t uartBaud_ = 0;
    Rx rx_ = Rx::Idle;
    std::vector<std::uint8_t> frame_;
    std::uint64_t busyUntilUs_ = 0;
    int entries_ = 0;
    int syncsAnswered_ = 0;
    std::vector<Command> commands_;
    std::size_t bytesReceived_ = 0;
    std::size_t bytesSent_ = 0;
    double wireUs_ = 0;
    std::uint64_t busyTotalUs_ = 0;
    // Mass erase time since the flash was last written; written since.
    std::uint64_t eraseSinceWriteUs_ = 0;
    // What the cells held before the current round of erasing: what a
    // write on a flash not yet fully erased gets back.
    std::array<std::uint8_t, 0x10000> residue_{};
    bool writtenSinceErase_ = false;
    int writesOnIncompleteErase_ = 0;
};

}  // namespace quennet
