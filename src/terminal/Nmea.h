#pragma once
#include <cstdint>
#include <string_view>

#include "serial/ComPort.h"

namespace quennet {

// The two letters after "$" in the command sentences the program sends to
// the LCD firmware ($QNCOM,...).
inline constexpr char kNmeaCommandPrefix[] = "QN";

// Writes NMEA 0183 sentences byte by byte to the port and keeps their XOR
// checksum. One writer is shared by the function buttons and the LCD
// capture; each sentence starts with NmeaBegin or NmeaBeginCommand.
class NmeaWriter {
public:
    // prefix: the first two characters are the command sentences' prefix
    // letters (missing ones count as "Q" and "N").
    explicit NmeaWriter(ComPort& port, std::string_view prefix = kNmeaCommandPrefix);

    // Starts a sentence whose "$" the caller writes with NmeaPutChar: the
    // checksum starts at the code of "$" so that the "$" cancels out.
    void NmeaBegin();
    // XORs c into the checksum, then writes it.
    void NmeaPutChar(std::uint8_t c);
    // Writes "*", the checksum as two upper-case hex digits, CR, LF; none of
    // these enter the checksum.
    void NmeaEnd();
    // Writes "$" and the two prefix letters; the checksum covers the letters.
    void NmeaBeginCommand();

    ComPort& Port() { return port_; }

    // The running XOR of the sentence being written.
    std::uint8_t NmeaChecksum = 0;

private:
    ComPort& port_;
    char prefix_[2];
};

}  // namespace quennet
