// The folder where simulated boards announce their ptys, and the listing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "PtyPair.h"
#include "TempDir.h"
#include "serial/posix/BoardAnnounce.h"

namespace quennet::posix {
namespace {

TEST(BoardAnnounce, FolderIsTrustedOnlyWhenPrivate) {
    testing::TempDir base;
    ASSERT_TRUE(base.ok());
    const std::string runtime = (base.path() / "run").string();
    const std::string tmp = (base.path() / "tmp").string();
    ASSERT_EQ(mkdir(tmp.c_str(), 0777), 0);
    chmod(tmp.c_str(), 01777);
    const std::string fallback = tmp + "/quennet-" + std::to_string(getuid());

    // A private runtime folder is used, its subfolder made 0700.
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    EXPECT_EQ(BoardAnnounceDirIn(runtime, tmp, false), std::nullopt);  // nothing made yet
    EXPECT_EQ(BoardAnnounceDirIn(runtime, tmp, true), runtime + "/quennet");
    struct stat st {};
    ASSERT_EQ(lstat((runtime + "/quennet").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A runtime folder others may write to, a relative one, or none at all:
    // the private folder under tmp instead.
    chmod(runtime.c_str(), 0777);
    EXPECT_EQ(BoardAnnounceDirIn(runtime, tmp, true), fallback);
    EXPECT_EQ(BoardAnnounceDirIn("relative/run", tmp, true), fallback);
    EXPECT_EQ(BoardAnnounceDirIn("", tmp, true), fallback);

    // A folder that someone opened to others, or a link planted in its
    // place, is refused rather than used.
    chmod(fallback.c_str(), 0755);
    EXPECT_EQ(BoardAnnounceDirIn("", tmp, true), std::nullopt);
    rmdir(fallback.c_str());
    ASSERT_EQ(symlink(runtime.c_str(), fallback.c_str()), 0);
    EXPECT_EQ(BoardAnnounceDirIn("", tmp, true), std::nullopt);
}

TEST(BoardAnnounce, ListsOnlyBoardsThatAreStillThere) {
    testing::TempDir base;
    ASSERT_TRUE(base.ok());
    const std::string folder = (base.path() / "q").string();
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);

    testing::PtyPair pair;
    ASSERT_TRUE(pair.ok());
    const std::string pty = pair.path();

    const std::string live = AnnounceBoard(folder, "stm32", pty);
    ASSERT_EQ(live, folder + "/board-stm32-" + std::to_string(getpid()));
    // A process that has ended, a target that is not a pty, a pty that is gone.
    const pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(symlink(pty.c_str(), (folder + "/board-msp430-" + std::to_string(child)).c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (folder + "/board-x-" + std::to_string(getpid())).c_str()), 0);
    ASSERT_EQ(symlink("/dev/pts/999999", (folder + "/board-y-" + std::to_string(getpid())).c_str()), 0);
    EXPECT_EQ(AnnouncedBoards(folder), std::vector<std::string>{live});

    pair.CloseMaster();
    EXPECT_TRUE(AnnouncedBoards(folder).empty());
    EXPECT_TRUE(AnnouncedBoards(folder + "/missing").empty());
}

}  // namespace
}  // namespace quennet::posix
