#include "terminal/ButtonSend.h"

#include <cstdint>
#include <cstdio>

namespace quennet {

namespace {

void SendNmea(NmeaWriter& nmea, std::string_view text) {
    nmea.NmeaBegin();
    if (text.empty() || text.front() != '$') return;
    for (char c : text) nmea.NmeaPutChar(static_cast<std::uint8_t>(c));
    nmea.NmeaEnd();
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void SendHex(ComPort& port, TerminalDisplay& display, std::string_view text, bool echo) {
    int count = 0;
    unsigned value = 0;
    bool echoOpened = false;
    for (char c : text) {
        const int v = HexValue(c);
        if (v < 0) {
            count = 0;  // a lone digit before a separator is dropped
            continue;
        }
        value = count == 0 ? static_cast<unsigned>(v) : value * 16 + static_cast<unsigned>(v);
        if (++count < 2) continue;
        if (echo) {
            if (!echoOpened) {
                display.AppendEmptyLine();
                display.AppendText("< ");
                echoOpened = true;
            }
            char digits[4];
            std::snprintf(digits, sizeof digits, "%02X ", value);
            display.AppendText(digits);
        }
        port.ComWriteByte(static_cast<std::uint8_t>(value));
        count = 0;
    }
    if (echoOpened) {
        display.AppendText("> ");
        // What the target answers starts on a line of its own.
        display.AppendEmptyLine();
    }
}

void SendAscii(ComPort& port, std::string_view text) {
    bool escape = false;
    for (char c : text) {
        if (c == '\\') {
            if (escape) port.ComWriteByte(0x5C);
            escape = !escape;
        } else if (escape) {
            if (c == 'n') port.ComWriteByte(0x0A);
            if (c == 'r') port.ComWriteByte(0x0D);
            escape = false;
        } else {
            port.ComWriteByte(static_cast<std::uint8_t>(c));
        }
    }
}

}  // namespace

bool SendButtonString(ComPort& port, TerminalDisplay& display, NmeaWriter& nmea,
                      std::string_view text, bool hex, bool nmeaMode, bool showHexEcho) {
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);

    if (nmeaMode) {
        SendNmea(nmea, text);
        return false;
    }
    if (hex) {
        SendHex(port, display, text, showHexEcho);
    } else {
        SendAscii(port, text);
    }
    return true;
}

}  // namespace quennet
