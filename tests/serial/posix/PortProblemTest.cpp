// Why a port cannot be opened, told from the real system: a missing path, a
// file that is no tty, a pseudo-terminal another opener holds.
#include "serial/PortProblem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "PtyPair.h"
#include "TempDir.h"
#include "serial/ComPort.h"
#include "serial/posix/PosixSerialDevice.h"

namespace quennet {
namespace {

TEST(PortProblemTest, TellsMissingNotSerialAndBusyApart) {
    testing::TempDir dir;
    EXPECT_EQ(ExplainOpenFailure(dir.File("ttyNONE")), "was not found");
    EXPECT_EQ(ExplainOpenFailure(""), "was not found");
    EXPECT_EQ(ExplainOpenFailure(dir.Write("plain", "x")), "is not a serial device");
    EXPECT_EQ(ExplainOpenFailure("/dev/null"), "is not a serial device");

    testing::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const char* name = pty.path().c_str();

    // Held by the driver (exclusive open and lock), as another program would.
    PosixSerialDevice holder;
    ASSERT_TRUE(holder.Open(name));
    EXPECT_EQ(ExplainOpenFailure(name), "is busy: another program has it open");
    ComPort port(PosixSerialDeviceFactory(), SystemClock());
    EXPECT_EQ(port.ComOpen(name, 9600, kFrameN81), kComCannotOpen);
    holder.Close();
    // Free again, the look leaves it so: the driver can open it.
    EXPECT_EQ(ExplainOpenFailure(name), "cannot be set up as a serial line");
    EXPECT_EQ(port.ComOpen(name, 9600, kFrameN81), kComOk);
    port.ComClose();
}

}  // namespace
}  // namespace quennet
