#include <gtest/gtest.h>

#include "serial/ComPort.h"

namespace quennet {
namespace {

TEST(PosixPortNameTest, BareNamesLiveInDev) {
    EXPECT_EQ(PortNameToPath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(PortNameToPath("/dev/serial/by-id/usb-FTDI-if00-port0"),
              "/dev/serial/by-id/usb-FTDI-if00-port0");
    EXPECT_EQ(PortNameToPath("pts/3"), "pts/3");
    EXPECT_EQ(PortNameToPath(""), "");
}

}  // namespace
}  // namespace quennet
