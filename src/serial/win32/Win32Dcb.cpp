#include "serial/win32/Win32Dcb.h"

namespace quennet::win32 {

bool ApplyLineSettings(DCB& dcb, const LineSettings& s, bool dtr, bool rts) {
    if (s.baud == 0) return false;
    if (s.dataBits < 5 || s.dataBits > 8) return false;
    if (s.stopBits != 1 && s.stopBits != 2) return false;

    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = s.baud;
    dcb.ByteSize = static_cast<BYTE>(s.dataBits);
    switch (s.parity) {
        case Parity::Odd: dcb.Parity = ODDPARITY; break;
        case Parity::Even: dcb.Parity = EVENPARITY; break;
        case Parity::None: dcb.Parity = NOPARITY; break;
        case Parity::Mark: dcb.Parity = MARKPARITY; break;
        case Parity::Space: dcb.Parity = SPACEPARITY; break;
    }
    dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;

    dcb.fBinary = TRUE;  // the only mode Windows supports; no EOF character
    dcb.fParity = TRUE;
    const bool rtsCts = s.flow == FlowControl::RtsCts;
    const bool xonXoff = s.flow == FlowControl::XonXoff;
    dcb.fOutxCtsFlow = rtsCts ? TRUE : FALSE;
    dcb.fOutxDsrFlow = FALSE;
    // A device left with DSR sensitivity drops every byte while DSR is low,
    // which is the normal state of an adapter with nothing on that pin.
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = xonXoff ? TRUE : FALSE;
    dcb.fInX = xonXoff ? TRUE : FALSE;
    if (xonXoff) {
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        // Ask the sender to pause with a quarter of the 4096-byte queue left,
        // and to go on once it has drained to a quarter.
        dcb.XonLim = 1024;
        dcb.XoffLim = 1024;
    }
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.ErrorChar = static_cast<char>(0xFF);
    // With abort-on-error, one framing error would fail every later read
    // and write until the error state is cleared; errors are cleared at each
    // waiting-count query instead, and the bytes are delivered as they came.
    dcb.fAbortOnError = FALSE;
    dcb.fDtrControl = dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    // With RTS/CTS the driver raises RTS while its queue has room.
    dcb.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : (rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE);
    return true;
}

LineSettings LineSettingsFromDcb(const DCB& dcb) {
    LineSettings s;
    s.baud = dcb.BaudRate;
    s.dataBits = (dcb.ByteSize >= 5 && dcb.ByteSize <= 8) ? dcb.ByteSize : 8;
    switch (dcb.Parity) {
        case ODDPARITY: s.parity = Parity::Odd; break;
        case EVENPARITY: s.parity = Parity::Even; break;
        case MARKPARITY: s.parity = Parity::Mark; break;
        case SPACEPARITY: s.parity = Parity::Space; break;
        default: s.parity = Parity::None; break;
    }
    s.stopBits = dcb.StopBits == ONESTOPBIT ? 1 : 2;
    if (dcb.fOutxCtsFlow && dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        s.flow = FlowControl::RtsCts;
    else if (dcb.fOutX || dcb.fInX)
        s.flow = FlowControl::XonXoff;
    return s;
}

long long WireTimeMs(const LineSettings& s, std::size_t n) {
    if (s.baud == 0) return 0;
    const long long bits = 1 + s.dataBits + (s.parity == Parity::None ? 0 : 1) + s.stopBits;
    return (static_cast<long long>(n) * bits * 1000 + s.baud - 1) / s.baud;
}

}  // namespace quennet::win32
