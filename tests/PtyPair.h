#pragma once
// A pseudo-terminal pair for tests and benches: the far end on the master,
// the device path that a program opens like any serial port. POSIX only.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>

namespace quennet::testing {

class PtyPair {
public:
    struct Mode {
        bool nonBlocking = false;  // the master's reads and writes never wait
        bool raw = false;          // no echo or line editing until a driver sets the line up
    };

    PtyPair() : PtyPair(Mode{}) {}
    explicit PtyPair(Mode mode) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | (mode.nonBlocking ? O_NONBLOCK : 0));
        char name[128];
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
            ::ptsname_r(master_, name, sizeof name) != 0) {
            CloseMaster();
            return;
        }
        path_ = name;
        if (mode.raw) {
            // Mode calls on the master act on the device side.
            termios t{};
            ::tcgetattr(master_, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(master_, TCSANOW, &t);
        }
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& path() const { return path_; }

    // The far end goes away: the device side reads a hang-up from now on.
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string path_;
};

}  // namespace quennet::testing
