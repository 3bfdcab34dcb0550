// The folder where simulated boards announce their ptys, and the listing.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
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

    std::string error;
    BoardLink live = AnnounceBoard(folder, "stm32", pty, error);
    ASSERT_TRUE(live.Held()) << error;
    EXPECT_EQ(live.Path(), folder + "/quennet-board-stm32");
    // A board that ended without removing its link (its lock is free), a
    // target that is not a pty, a pty that is gone.
    ASSERT_EQ(symlink(pty.c_str(), (folder + "/quennet-board-msp430").c_str()), 0);
    ASSERT_EQ(close(open((folder + "/quennet-board-msp430.lock").c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    BoardLink notPty = BoardLink::Claim(folder + "/x", "/dev/null", error);
    BoardLink gonePty = BoardLink::Claim(folder + "/y", "/dev/pts/999999", error);
    ASSERT_TRUE(notPty.Held() && gonePty.Held());
    EXPECT_EQ(AnnouncedBoards(folder), std::vector<std::string>{live.Path()});

    // The link and its lock go with the board.
    live = {};
    EXPECT_TRUE(AnnouncedBoards(folder).empty());
    struct stat st {};
    EXPECT_NE(lstat((folder + "/quennet-board-stm32").c_str(), &st), 0);
    EXPECT_NE(lstat((folder + "/quennet-board-stm32.lock").c_str(), &st), 0);
    pair.CloseMaster();
    EXPECT_TRUE(AnnouncedBoards(folder + "/missing").empty());
}

// A board started again takes its name back from a board that ended; a
// second running board of the kind gets the next number, and a named link
// that a running board holds is refused.
TEST(BoardAnnounce, ARunningBoardKeepsItsLink) {
    testing::TempDir base;
    ASSERT_TRUE(base.ok());
    const std::string folder = base.path().string();
    const std::string first = folder + "/quennet-board-msp430";
    ASSERT_EQ(symlink("/dev/pts/999998", first.c_str()), 0);  // left by a board killed earlier
    std::string error;
    BoardLink a = AnnounceBoard(folder, "msp430", "/dev/pts/1", error);
    BoardLink b = AnnounceBoard(folder, "msp430", "/dev/pts/2", error);
    BoardLink c = AnnounceBoard(folder, "msp430", "/dev/pts/3", error);
    EXPECT_EQ(a.Path(), first);
    EXPECT_EQ(b.Path(), first + "-2");
    EXPECT_EQ(c.Path(), first + "-3");
    char target[64] = {};
    ASSERT_GT(readlink(first.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/pts/1");

    const BoardLink refused = BoardLink::Claim(first, "/dev/pts/4", error);
    EXPECT_FALSE(refused.Held());
    EXPECT_EQ(error, first + " belongs to a running board (process " + std::to_string(getpid()) + ")");
    std::fill(std::begin(target), std::end(target), '\0');
    ASSERT_GT(readlink(first.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/pts/1");

    b = {};
    const BoardLink again = AnnounceBoard(folder, "msp430", "/dev/pts/5", error);
    EXPECT_EQ(again.Path(), first + "-2");
}

}  // namespace
}  // namespace quennet::posix
