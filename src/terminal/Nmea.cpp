#include "terminal/Nmea.h"

namespace quennet {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

NmeaWriter::NmeaWriter(ComPort& port, std::string_view prefix) : port_(port) {
    prefix_[0] = prefix.size() > 0 ? prefix[0] : kNmeaCommandPrefix[0];
    prefix_[1] = prefix.size() > 1 ? prefix[1] : kNmeaCommandPrefix[1];
}

void NmeaWriter::NmeaBegin() { NmeaChecksum = '$'; }

void NmeaWriter::NmeaPutChar(std::uint8_t c) {
    NmeaChecksum = static_cast<std::uint8_t>(NmeaChecksum ^ c);
    port_.ComWriteByte(c);
}

void NmeaWriter::NmeaEnd() {
    port_.ComWriteByte('*');
    port_.ComWriteByte(static_cast<std::uint8_t>(kHexDigits[NmeaChecksum >> 4]));
    port_.ComWriteByte(static_cast<std::uint8_t>(kHexDigits[NmeaChecksum & 0x0F]));
    port_.ComWriteByte(0x0D);
    port_.ComWriteByte(0x0A);
}

void NmeaWriter::NmeaBeginCommand() {
    NmeaPutChar('$');
    NmeaChecksum = 0;
    NmeaPutChar(static_cast<std::uint8_t>(prefix_[0]));
    NmeaPutChar(static_cast<std::uint8_t>(prefix_[1]));
}

}  // namespace quennet
