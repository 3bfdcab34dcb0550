// The line that tells a user without access to a port how to get it. Root
// may open anything, so each look runs in a child process without privileges.
#include "serial/PortProblem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../core/Unprivileged.h"
#include "PtyPair.h"
#include "TempDir.h"

namespace quennet {
namespace {

TEST(PortAccessHintTest, NamesTheDevicesGroupOnlyWhenAccessIsDenied) {
    testing::TempDir dir;
    EXPECT_EQ(PortAccessHint(dir.File("ttyNONE")), "");
    EXPECT_EQ(PortAccessHint(dir.Write("plain", "x")), "");
    EXPECT_EQ(testing::RunUnprivileged([] { return PortAccessHint("/dev/null"); }), "");

    testing::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string path = pty.path();
    const char* name = path.c_str();

    // A device for its group only, as udev makes /dev/ttyUSB0 (dialout, 0660).
    if (::geteuid() == 0) {
        if (const group* dialout = ::getgrnam("dialout")) {
            ASSERT_EQ(::chown(name, 0, dialout->gr_gid), 0);
        }
        ASSERT_EQ(::chmod(name, 0660), 0);
    } else {
        ASSERT_EQ(::chmod(name, 0060), 0);  // the owner is refused, the group is not
    }
    struct stat st {};
    ASSERT_EQ(::stat(name, &st), 0);
    const group* gr = ::getgrgid(st.st_gid);
    ASSERT_NE(gr, nullptr);
    const std::string groupName = gr->gr_name;

    const std::string hint = testing::RunUnprivileged([&] { return PortAccessHint(path); });
    EXPECT_NE(hint.find("must be in the " + groupName + " group"), std::string::npos) << hint;
    EXPECT_NE(hint.find("sudo usermod -aG " + groupName + " "), std::string::npos) << hint;
    EXPECT_NE(hint.find(path), std::string::npos) << hint;
    // Open to this user: nothing to add.
    if (::geteuid() == 0) {
        EXPECT_EQ(PortAccessHint(path), "");
    }

    // Open to its owner alone: joining a group would not help.
    ASSERT_EQ(::chmod(name, 0600), 0);
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(name, 0000), 0);
    }
    const std::string owner = testing::RunUnprivileged([&] { return PortAccessHint(path); });
    EXPECT_NE(owner.find("can only be opened by its owner"), std::string::npos) << owner;
}

}  // namespace
}  // namespace quennet
