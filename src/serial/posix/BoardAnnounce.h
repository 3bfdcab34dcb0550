#pragma once
#include <optional>
#include <string>
#include <vector>

// Where simulated boards announce their pseudo-terminals so that port
// discovery can list them: one symbolic link per board pointing at the
// board's /dev/pts/N, with a lock file beside it ("<link>.lock") that the
// board holds while it runs. The default link of a chip kind keeps its name
// from one board process to the next ("quennet-board-stm32"), so that a
// restarted board comes back under the name a terminal waits for.
namespace quennet::posix {

// The per-user folder for the links, or nothing when no safe one exists.
// $XDG_RUNTIME_DIR/quennet is used only when $XDG_RUNTIME_DIR is an absolute
// path to a real directory owned by this user and writable by nobody else;
// otherwise /tmp/quennet-<uid>. Either folder must be a real directory (not
// a link) owned by this user with no access for group or others. With create
// set, a missing folder is made with mode 0700.
std::optional<std::string> BoardAnnounceDirIn(const std::string& runtimeDir,
                                              const std::string& tmpDir, bool create);
std::optional<std::string> BoardAnnounceDir(bool create);

// The board links in folder whose board is still there (its lock is held
// and its pty exists), as paths of the links, in text order.
std::vector<std::string> AnnouncedBoards(const std::string& folder);

// A board's claim on its link: the lock that says the board runs. The link
// and its lock file go when the claim does.
class BoardLink {
public:
    BoardLink() = default;
    ~BoardLink();
    BoardLink(BoardLink&& other) noexcept;
    BoardLink& operator=(BoardLink&& other) noexcept;

    const std::string& Path() const { return path_; }
    bool Held() const { return lockFd_ >= 0; }

    // Makes the link at path point at ptyPath, unless a running board holds
    // it: then nothing is changed and error says which board. A link left by
    // a board that ended is replaced.
    static BoardLink Claim(const std::string& path, const std::string& ptyPath, std::string& error);

private:
    std::string path_;
    int lockFd_ = -1;
};

// The default link of a chip kind in folder: "quennet-board-<chip>", or,
// while running boards hold that, the first free of "quennet-board-<chip>-2"
// and on. Not held when none could be made (error says why).
BoardLink AnnounceBoard(const std::string& folder, const std::string& chip, const std::string& ptyPath,
                        std::string& error);

}  // namespace quennet::posix
