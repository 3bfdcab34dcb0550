#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quennet::zmodem {

constexpr std::uint8_t kPad = '*';
constexpr std::uint8_t kDle = 0x18;  // ZDLE, the same byte as CAN
constexpr std::uint8_t kBin16 = 'A';
constexpr std::uint8_t kHex = 'B';
constexpr std::uint8_t kBin32 = 'C';
constexpr std::uint8_t kXon = 0x11;

// Frame types.
enum : std::uint8_t {
    ZRQINIT = 0, ZRINIT, ZSINIT, ZACK, ZFILE, ZSKIP, ZNAK, ZABORT, ZFIN, ZRPOS,
    ZDATA, ZEOF, ZFERR, ZCRC, ZCHALLENGE, ZCOMPL, ZCAN, ZFREECNT, ZCOMMAND, ZSTDERR
};
// Ends of a data subpacket.
constexpr std::uint8_t kCrcE = 'h';  // end of frame, a header follows
constexpr std::uint8_t kCrcG = 'i';  // more data follows, no answer
constexpr std::uint8_t kCrcQ = 'j';  // more data follows, answer ZACK
constexpr std::uint8_t kCrcW = 'k';  // end of frame, answer ZACK
constexpr std::uint8_t kRub0 = 'l';  // escaped 0x7F
constexpr std::uint8_t kRub1 = 'm';  // escaped 0xFF
// ZRINIT capabilities (ZF0).
constexpr std::uint8_t kCanFdx = 0x01;
constexpr std::uint8_t kCanOvio = 0x02;
constexpr std::uint8_t kCanFc32 = 0x20;
constexpr std::uint8_t kEscCtl = 0x40;
// ZFILE conversion (ZF0): binary.
constexpr std::uint8_t kConvBinary = 1;

constexpr std::size_t kMaxSubpacket = 8192;

// A header: its type and four bytes, ZP0..ZP3 (a position, low byte first)
// or ZF3..ZF0 (flags; ZF0 is the last byte).
struct Header {
    std::uint8_t type = 0;
    std::array<std::uint8_t, 4> d{};
    std::uint32_t Position() const {
        return d[0] | (d[1] << 8) | (d[2] << 16) | (static_cast<std::uint32_t>(d[3]) << 24);
    }
    std::uint8_t Zf0() const { return d[3]; }
    static Header At(std::uint8_t type, std::uint32_t pos) {
        return {type, {static_cast<std::uint8_t>(pos), static_cast<std::uint8_t>(pos >> 8),
                       static_cast<std::uint8_t>(pos >> 16), static_cast<std::uint8_t>(pos >> 24)}};
    }
    static Header Flags(std::uint8_t type, std::uint8_t zf0) { return {type, {0, 0, 0, zf0}}; }
};

// Writes frames: which bytes to escape is set by the far end's wishes.
class Encoder {
public:
    bool escapeControls = false;
    void HexHeader(std::vector<std::uint8_t>& out, const Header& h) const;
    void BinaryHeader(std::vector<std::uint8_t>& out, const Header& h, bool crc32);
    void Subpacket(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t n,
                   std::uint8_t end, bool crc32);

private:
    void Put(std::vector<std::uint8_t>& out, std::uint8_t c);
    std::uint8_t last_ = 0;
};

// Reads frames byte by byte: headers of the three kinds, data subpackets
// once a header that carries data asks for them, and the cancel sequence.
class Reader {
public:
    enum class Event { None, Header, BadHeader, Data, BadData, Cancel };

    Event Push(std::uint8_t b);
    // After a header that carries data (ZFILE, ZDATA, ZSINIT): read its
    // subpackets with the CRC the header had.
    void ExpectData() { mode_ = Mode::Data; data_.clear(); escaped_ = false; }
    // Back to looking for headers.
    void Hunt() { mode_ = Mode::Hunt; }
    bool ReadingData() const { return mode_ == Mode::Data || mode_ == Mode::DataCrc; }

    const Header& header() const { return header_; }
    bool headerCrc32() const { return crc32_; }
    const std::vector<std::uint8_t>& data() const { return data_; }
    std::uint8_t frameEnd() const { return end_; }

private:
    enum class Mode { Hunt, Pad, Dle, Bin, HexDigits, Data, DataCrc };
    // An escaped byte: 0..255, or -1 while an escape is open, or
    // 0x100 + end for the end of a subpacket, or -2 for a bad escape.
    int Unescape(std::uint8_t b);
    Event FinishBinary();
    Event FinishHex();

    Mode mode_ = Mode::Hunt;
    int cans_ = 0;
    bool escaped_ = false;
    bool crc32_ = false;
    bool afterHex_ = false;  // a hex header's CR LF may still come
    std::vector<std::uint8_t> buf_;
    std::vector<std::uint8_t> data_;
    std::uint8_t end_ = 0;
    Header header_;
};

// Watches the terminal's received bytes for the start of a ZMODEM transfer
// by the far end: its ZRQINIT (it will send files) or ZRINIT (it waits for
// files). Cheap enough for every chunk the pump reads.
class StartDetector {
public:
    enum class Found { Nothing, FarEndSends, FarEndReceives };
    // Stops at the first header found; consumed tells how many bytes of the
    // chunk were looked at.
    Found Scan(const std::uint8_t* data, std::size_t n, std::size_t* consumed = nullptr);

private:
    Reader reader_;
};

}  // namespace quennet::zmodem
