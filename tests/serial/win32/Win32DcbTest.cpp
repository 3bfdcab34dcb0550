#include <gtest/gtest.h>

#include <cstring>

#include "serial/win32/Win32Dcb.h"

namespace quennet::win32 {
namespace {

// A record as another program might have left it: flow control of every
// kind, DSR gating, NUL stripping, error replacement, abort on error.
DCB BusyDcb() {
    DCB d;
    std::memset(&d, 0, sizeof d);
    d.DCBlength = sizeof d;
    d.BaudRate = 1200;
    d.ByteSize = 7;
    d.Parity = MARKPARITY;
    d.StopBits = ONE5STOPBITS;
    d.fBinary = FALSE;
    d.fOutxCtsFlow = TRUE;
    d.fOutxDsrFlow = TRUE;
    d.fDsrSensitivity = TRUE;
    d.fOutX = TRUE;
    d.fInX = TRUE;
    d.fNull = TRUE;
    d.fErrorChar = TRUE;
    d.fAbortOnError = TRUE;
    d.fTXContinueOnXoff = TRUE;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = RTS_CONTROL_TOGGLE;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.XonLim = 100;
    d.XoffLim = 200;
    d.EofChar = 0x1A;
    d.EvtChar = 0x7E;
    return d;
}

TEST(Win32DcbTest, SettingsBecomeAPlainBinaryLine) {
    DCB d = BusyDcb();
    ASSERT_TRUE(ApplyLineSettings(d, LineSettings{57600, 7, Parity::Even, 2}, true, false));
    EXPECT_EQ(d.DCBlength, sizeof(DCB));
    EXPECT_EQ(d.BaudRate, 57600u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.Parity, EVENPARITY);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
    EXPECT_TRUE(d.fBinary);
    EXPECT_TRUE(d.fParity);
    EXPECT_FALSE(d.fOutxCtsFlow);
    EXPECT_FALSE(d.fOutxDsrFlow);
    EXPECT_FALSE(d.fDsrSensitivity);
    EXPECT_FALSE(d.fOutX);
    EXPECT_FALSE(d.fInX);
    EXPECT_FALSE(d.fNull);
    EXPECT_FALSE(d.fErrorChar);
    EXPECT_FALSE(d.fAbortOnError);
    EXPECT_EQ(static_cast<unsigned char>(d.ErrorChar), 0xFF);
    EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE)) << "DTR kept asserted";
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE)) << "RTS kept released";
    // What the line settings do not cover stays as the device had it.
    EXPECT_TRUE(d.fTXContinueOnXoff);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.XonLim, 100);
    EXPECT_EQ(d.XoffLim, 200);
    EXPECT_EQ(d.EofChar, 0x1A);
    EXPECT_EQ(d.EvtChar, 0x7E);

    ASSERT_TRUE(ApplyLineSettings(d, LineSettings{115200, 8, Parity::Odd, 1}, false, true));
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, ODDPARITY);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    ASSERT_TRUE(ApplyLineSettings(d, LineSettings{14400, 5, Parity::None, 1}, true, true));
    EXPECT_EQ(d.BaudRate, 14400u) << "any rate goes to the driver as it is";
    EXPECT_EQ(d.ByteSize, 5);
    EXPECT_EQ(d.Parity, NOPARITY);

    // Flow control hands the lines or the characters to the driver.
    ASSERT_TRUE(ApplyLineSettings(d, LineSettings{9600, 8, Parity::None, 1, FlowControl::RtsCts}, true, false));
    EXPECT_TRUE(d.fOutxCtsFlow);
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_FALSE(d.fOutX);
    ASSERT_TRUE(ApplyLineSettings(d, LineSettings{9600, 8, Parity::None, 1, FlowControl::XonXoff}, true, false));
    EXPECT_FALSE(d.fOutxCtsFlow);
    EXPECT_EQ(d.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_TRUE(d.fOutX);
    EXPECT_TRUE(d.fInX);
    EXPECT_EQ(d.XoffChar, 0x13);
}

TEST(Win32DcbTest, ImpossibleSettingsAreRefusedAndLeaveTheRecord) {
    const DCB before = BusyDcb();
    for (const LineSettings& bad :
         {LineSettings{0, 8, Parity::None, 1}, LineSettings{9600, 4, Parity::None, 1},
          LineSettings{9600, 9, Parity::None, 1}, LineSettings{9600, 8, Parity::None, 0},
          LineSettings{9600, 8, Parity::None, 3}}) {
        DCB d = before;
        EXPECT_FALSE(ApplyLineSettings(d, bad, true, true)) << bad.baud << " " << bad.dataBits;
        EXPECT_EQ(std::memcmp(&d, &before, sizeof d), 0);
    }
}

TEST(Win32DcbTest, RecordsReadBackAsLineSettings) {
    DCB d = BusyDcb();
    for (const LineSettings& s :
         {LineSettings{9600, 8, Parity::None, 1}, LineSettings{19200, 7, Parity::Odd, 2},
          LineSettings{3000000, 6, Parity::Even, 1},
          LineSettings{9600, 8, Parity::Mark, 1, FlowControl::RtsCts},
          LineSettings{9600, 7, Parity::Space, 2, FlowControl::XonXoff}}) {
        ASSERT_TRUE(ApplyLineSettings(d, s, true, true));
        const LineSettings back = LineSettingsFromDcb(d);
        EXPECT_EQ(back.baud, s.baud);
        EXPECT_EQ(back.dataBits, s.dataBits);
        EXPECT_EQ(back.parity, s.parity);
        EXPECT_EQ(back.stopBits, s.stopBits);
        EXPECT_EQ(back.flow, s.flow);
    }
    // What LineSettings cannot hold reads as the nearest it can.
    const LineSettings odd = LineSettingsFromDcb(BusyDcb());
    EXPECT_EQ(odd.parity, Parity::Mark);
    EXPECT_EQ(odd.stopBits, 2) << "1.5 stop bits";
    DCB wide = BusyDcb();
    wide.ByteSize = 16;
    EXPECT_EQ(LineSettingsFromDcb(wide).dataBits, 8);
}

TEST(Win32DcbTest, WireTimeCountsEveryBitOfAFrame) {
    EXPECT_EQ(WireTimeMs(LineSettings{9600, 8, Parity::None, 1}, 960), 1000);
    EXPECT_EQ(WireTimeMs(LineSettings{9600, 8, Parity::Even, 2}, 800), 1000);
    EXPECT_EQ(WireTimeMs(LineSettings{115200, 8, Parity::None, 1}, 1), 1) << "rounded up";
    EXPECT_EQ(WireTimeMs(LineSettings{0, 8, Parity::None, 1}, 100), 0);
}

}  // namespace
}  // namespace quennet::win32
