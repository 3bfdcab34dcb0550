#include "terminal/transfer/ZmodemFrames.h"

#include "terminal/transfer/Crc.h"

namespace quennet::zmodem {

namespace {

const char kHexDigits[] = "0123456789abcdef";

void PutHex(std::vector<std::uint8_t>& out, std::uint8_t b) {
    out.push_back(static_cast<std::uint8_t>(kHexDigits[b >> 4]));
    out.push_back(static_cast<std::uint8_t>(kHexDigits[b & 15]));
}

int HexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void Encoder::HexHeader(std::vector<std::uint8_t>& out, const Header& h) const {
    out.push_back(kPad);
    out.push_back(kPad);
    out.push_back(kDle);
    out.push_back(kHex);
    std::uint16_t crc = Crc16Byte(0, h.type);
    PutHex(out, h.type);
    for (auto b : h.d) {
        PutHex(out, b);
        crc = Crc16Byte(crc, b);
    }
    PutHex(out, static_cast<std::uint8_t>(crc >> 8));
    PutHex(out, static_cast<std::uint8_t>(crc));
    out.push_back('\r');
    out.push_back(0x8A);
    if (h.type != ZFIN && h.type != ZACK) out.push_back(kXon);
}

void Encoder::Put(std::vector<std::uint8_t>& out, std::uint8_t c) {
    bool escape = false;
    switch (c) {
    case kDle: case 0x10: case 0x90: case 0x11: case 0x91: case 0x13: case 0x93:
        escape = true;
        break;
    case 0x0D: case 0x8D:
        // A CR after '@' could be taken by a network for a command.
        escape = escapeControls || (last_ & 0x7F) == '@';
        break;
    default:
        escape = escapeControls && (c & 0x60) == 0;
        break;
    }
    if (escape) {
        out.push_back(kDle);
        c ^= 0x40;
    }
    out.push_back(c);
    last_ = c;
}

void Encoder::BinaryHeader(std::vector<std::uint8_t>& out, const Header& h, bool crc32) {
    out.push_back(kPad);
    out.push_back(kDle);
    out.push_back(crc32 ? kBin32 : kBin16);
    Put(out, h.type);
    for (auto b : h.d) Put(out, b);
    if (crc32) {
        std::uint32_t crc = Crc32Byte(0xFFFFFFFFu, h.type);
        crc = ~Crc32Update(crc, h.d.data(), 4);
        for (int i = 0; i < 4; ++i) Put(out, static_cast<std::uint8_t>(crc >> (8 * i)));
    } else {
        const std::uint16_t crc = Crc16(h.d.data(), 4, Crc16Byte(0, h.type));
        Put(out, static_cast<std::uint8_t>(crc >> 8));
        Put(out, static_cast<std::uint8_t>(crc));
    }
}

void Encoder::Subpacket(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t n,
                        std::uint8_t end, bool crc32) {
    for (std::size_t i = 0; i < n; ++i) Put(out, data[i]);
    out.push_back(kDle);
    out.push_back(end);
    last_ = end;
    if (crc32) {
        std::uint32_t crc = Crc32Update(0xFFFFFFFFu, data, n);
        crc = ~Crc32Byte(crc, end);
        for (int i = 0; i < 4; ++i) Put(out, static_cast<std::uint8_t>(crc >> (8 * i)));
    } else {
        const std::uint16_t crc = Crc16Byte(Crc16(data, n), end);
        Put(out, static_cast<std::uint8_t>(crc >> 8));
        Put(out, static_cast<std::uint8_t>(crc));
    }
    if (end == kCrcW) out.push_back(kXon);
}

int Reader::Unescape(std::uint8_t b) {
    if (!escaped_) {
        if (b == kDle) {
            escaped_ = true;
            return -1;
        }
        // Flow-control characters travel escaped; bare ones are the line's.
        if ((b & 0x7F) == 0x11 || (b & 0x7F) == 0x13) return -1;
        return b;
    }
    escaped_ = false;
    switch (b) {
    case kCrcE: case kCrcG: case kCrcQ: case kCrcW:
        return 0x100 + b;
    case kRub0:
        return 0x7F;
    case kRub1:
        return 0xFF;
    default:
        if ((b & 0x60) == 0x40) return b ^ 0x40;
        return -2;
    }
}

Reader::Event Reader::Push(std::uint8_t b) {
    // Five CAN in a row never occur in a frame (a data CAN is escaped).
    if (b == kDle) {
        if (++cans_ >= 5) {
            cans_ = 0;
            mode_ = Mode::Hunt;
            return Event::Cancel;
        }
    } else {
        cans_ = 0;
    }
    switch (mode_) {
    case Mode::Hunt:
        if ((b & 0x7F) == kPad) mode_ = Mode::Pad;
        return Event::None;
    case Mode::Pad:
        if (b == kDle) mode_ = Mode::Dle;
        else if ((b & 0x7F) != kPad) mode_ = Mode::Hunt;
        return Event::None;
    case Mode::Dle:
        buf_.clear();
        escaped_ = false;
        if (b == kBin16 || b == kBin32) {
            crc32_ = b == kBin32;
            mode_ = Mode::Bin;
        } else if (b == kHex) {
            crc32_ = false;
            mode_ = Mode::HexDigits;
        } else if (b != kDle) {
            mode_ = Mode::Hunt;
        }
        return Event::None;
    case Mode::Bin: {
        const int c = Unescape(b);
        if (c == -1) return Event::None;
        if (c < 0 || c > 0xFF) {
            mode_ = Mode::Hunt;
            return Event::BadHeader;
        }
        buf_.push_back(static_cast<std::uint8_t>(c));
        if (buf_.size() == (crc32_ ? 9u : 7u)) return FinishBinary();
        return Event::None;
    }
    case Mode::HexDigits: {
        const int v = HexValue(b);
        if (v < 0) {
            mode_ = Mode::Hunt;
            return Event::BadHeader;
        }
        buf_.push_back(static_cast<std::uint8_t>(v));
        if (buf_.size() == 14) return FinishHex();
        return Event::None;
    }
    case Mode::Data: {
        // Data after a hex header (ZSINIT may come so) starts past its line end.
        if (afterHex_ && data_.empty() && !escaped_ && ((b & 0x7F) == '\r' || (b & 0x7F) == '\n'))
            return Event::None;
        afterHex_ = false;
        const int c = Unescape(b);
        if (c == -1) return Event::None;
        if (c == -2) {
            mode_ = Mode::Hunt;
            return Event::BadData;
        }
        if (c > 0xFF) {
            end_ = static_cast<std::uint8_t>(c - 0x100);
            buf_.clear();
            mode_ = Mode::DataCrc;
            return Event::None;
        }
        if (data_.size() >= kMaxSubpacket) {
            mode_ = Mode::Hunt;
            return Event::BadData;
        }
        data_.push_back(static_cast<std::uint8_t>(c));
        return Event::None;
    }
    case Mode::DataCrc: {
        const int c = Unescape(b);
        if (c == -1) return Event::None;
        if (c < 0 || c > 0xFF) {
            mode_ = Mode::Hunt;
            return Event::BadData;
        }
        buf_.push_back(static_cast<std::uint8_t>(c));
        if (buf_.size() < (crc32_ ? 4u : 2u)) return Event::None;
        bool good;
        if (crc32_) {
            std::uint32_t crc = Crc32Update(0xFFFFFFFFu, data_.data(), data_.size());
            crc = ~Crc32Byte(crc, end_);
            good = buf_[0] == static_cast<std::uint8_t>(crc) && buf_[1] == static_cast<std::uint8_t>(crc >> 8) &&
                   buf_[2] == static_cast<std::uint8_t>(crc >> 16) && buf_[3] == static_cast<std::uint8_t>(crc >> 24);
        } else {
            const std::uint16_t crc = Crc16Byte(Crc16(data_.data(), data_.size()), end_);
            good = buf_[0] == (crc >> 8) && buf_[1] == (crc & 0xFF);
        }
        if (!good) {
            mode_ = Mode::Hunt;
            return Event::BadData;
        }
        // More subpackets follow ZCRCG and ZCRCQ; a header follows the others.
        if (end_ == kCrcG || end_ == kCrcQ) mode_ = Mode::Data;
        else mode_ = Mode::Hunt;
        return Event::Data;
    }
    }
    return Event::None;
}

Reader::Event Reader::FinishBinary() {
    mode_ = Mode::Hunt;
    afterHex_ = false;
    bool good;
    if (crc32_) {
        const std::uint32_t crc = ~Crc32Update(0xFFFFFFFFu, buf_.data(), 5);
        good = buf_[5] == static_cast<std::uint8_t>(crc) && buf_[6] == static_cast<std::uint8_t>(crc >> 8) &&
               buf_[7] == static_cast<std::uint8_t>(crc >> 16) && buf_[8] == static_cast<std::uint8_t>(crc >> 24);
    } else {
        const std::uint16_t crc = Crc16(buf_.data(), 5);
        good = buf_[5] == (crc >> 8) && buf_[6] == (crc & 0xFF);
    }
    if (!good) return Event::BadHeader;
    header_.type = buf_[0];
    for (int i = 0; i < 4; ++i) header_.d[static_cast<std::size_t>(i)] = buf_[static_cast<std::size_t>(i) + 1];
    return Event::Header;
}

Reader::Event Reader::FinishHex() {
    mode_ = Mode::Hunt;
    afterHex_ = true;
    std::uint8_t bytes[7];
    for (int i = 0; i < 7; ++i)
        bytes[i] = static_cast<std::uint8_t>((buf_[static_cast<std::size_t>(2 * i)] << 4) |
                                             buf_[static_cast<std::size_t>(2 * i + 1)]);
    const std::uint16_t crc = Crc16(bytes, 5);
    if (bytes[5] != (crc >> 8) || bytes[6] != (crc & 0xFF)) return Event::BadHeader;
    header_.type = bytes[0];
    for (int i = 0; i < 4; ++i) header_.d[static_cast<std::size_t>(i)] = bytes[i + 1];
    return Event::Header;
}

StartDetector::Found StartDetector::Scan(const std::uint8_t* data, std::size_t n, std::size_t* consumed) {
    for (std::size_t i = 0; i < n; ++i) {
        if (reader_.Push(data[i]) != Reader::Event::Header) continue;
        const std::uint8_t type = reader_.header().type;
        if (type != ZRQINIT && type != ZRINIT) continue;
        if (consumed) *consumed = i + 1;
        return type == ZRQINIT ? Found::FarEndSends : Found::FarEndReceives;
    }
    if (consumed) *consumed = n;
    return Found::Nothing;
}

}  // namespace quennet::zmodem
