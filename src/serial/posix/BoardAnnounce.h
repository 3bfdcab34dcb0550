#pragma once
#include <optional>
#include <string>
#include <vector>

// Where simulated boards announce their pseudo-terminals so that port
// discovery can list them: one symbolic link per board, named
// "board-<chip>-<pid>", pointing at the board's /dev/pts/N.
namespace quennet::posix {

// The per-user folder for the links, or nothing when no safe one exists.
// $XDG_RUNTIME_DIR/quennet is used only when $XDG_RUNTIME_DIR is an absolute
// path to a real directory owned by this user and writable by nobody else;
// otherwise /tmp/quennet-<uid>. Either folder must be a real directory (not
// a link) owned by this user with no access for group or others. With create
// set, a missing folder is made with mode 0700.
std::optional<std::string> BoardAnnounceDir(bool create);

// The same choice with the inputs given, for tests: runtimeDir stands for
// $XDG_RUNTIME_DIR (empty when unset) and tmpDir for /tmp.
std::optional<std::string> BoardAnnounceDirIn(const std::string& runtimeDir,
                                              const std::string& tmpDir, bool create);

// The board links in folder whose board is still there (its process runs
// and its pty exists), as paths of the links, in text order.
std::vector<std::string> AnnouncedBoards(const std::string& folder);

// Creates the link for a board's pty in folder; returns its path, or an
// empty text when it could not be made.
std::string AnnounceBoard(const std::string& folder, const std::string& chip,
                          const std::string& ptyPath);

}  // namespace quennet::posix
