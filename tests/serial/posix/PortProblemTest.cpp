// Why a port cannot be opened, told by the open that failed on the real
// system: a missing path, a file that is no tty, a pseudo-terminal another
// opener holds, a device this user may not use.
#include "serial/PortProblem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "../../core/Unprivileged.h"
#include "PtyPair.h"
#include "TempDir.h"
#include "serial/ComPort.h"
#include "serial/posix/PosixSerialDevice.h"

namespace quennet {
namespace {

std::string OpenProblem(const std::string& path) {
    ComPort port(PosixSerialDeviceFactory(), SystemClock());
    if (port.ComOpen(path, 9600, kFrameN81) == kComOk) return "opened";
    return port.ComOpenProblem();
}

TEST(PortProblemTest, TheFailedOpenSaysWhy) {
    testing::TempDir dir;
    testing::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    // Held by the driver (exclusive open and lock), as another program would.
    PosixSerialDevice holder;
    ASSERT_TRUE(holder.Open(pty.path()));
    EXPECT_EQ(holder.OpenProblem(), "");

    struct Case {
        std::string path;
        std::string problem;
    };
    const Case cases[] = {
        {dir.File("ttyNONE"), "was not found"},
        {"", "was not found"},
        {dir.Write("plain", "x"), "is not a serial device"},
        {dir.File("plain") + "/ttyS0", "was not found"},
        {dir.path().string(), "is not a serial device"},
        {"/dev/null", "is not a serial device"},
        {pty.path(), "is busy: another program has it open"},
    };
    for (const Case& c : cases) EXPECT_EQ(OpenProblem(c.path), c.problem) << c.path;

    // Free again: it opens, and nothing is left to say.
    holder.Close();
    ComPort port(PosixSerialDeviceFactory(), SystemClock());
    EXPECT_EQ(port.ComOpen(dir.File("ttyNONE"), 9600, kFrameN81), kComCannotOpen);
    EXPECT_EQ(port.ComOpen(pty.path(), 9600, kFrameN81), kComOk);
    EXPECT_EQ(port.ComOpenProblem(), "");
    port.ComClose();

    // A device this user may not read and write.
    ASSERT_EQ(::chmod(pty.path().c_str(), 0000), 0);
    EXPECT_EQ(testing::RunUnprivileged([&] { return OpenProblem(pty.path()); }),
              "cannot be opened: permission denied (is your user in the dialout group?)");
}

}  // namespace
}  // namespace quennet
