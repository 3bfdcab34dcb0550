// quennet-flash as a script runs it: the real program on a real
// pseudo-terminal, judged by its exit code and what it prints.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CliProcess.h"
#include "PtyPair.h"
#include "core/Version.h"

namespace quennet {
namespace {

using testing::LinesOf;

using testing::RunCli;

const std::string kFlash = QUENNET_FLASH_EXE;
const std::string kMsp430File = QUENNET_TEST_DATA "/srec/msp430_blink.s19";

// A pseudo-terminal with nothing behind it: a board that is switched off.
// (The runs against a simulated board are in FlashBoardTest.)
class SilentPty {
public:
    const std::string& path() const { return pty_.path(); }
    // Bytes the program sent so far.
    std::size_t Received() {
        std::size_t total = 0;
        char buf[4096];
        for (ssize_t n; (n = ::read(pty_.master(), buf, sizeof buf)) > 0;) total += static_cast<std::size_t>(n);
        return total;
    }

private:
    testing::PtyPair pty_{{.nonBlocking = true}};
};

TEST(FlashCliTest, HelpNeedsNothingElse) {
    const auto help = RunCli(kFlash, {"--help", "--target", "nonsense"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("Usage: quennet-flash --port PORT --target TARGET", 0), 0u);
    EXPECT_EQ(help.err, "");
    const auto version = RunCli(kFlash, {"--version", "--target", "nonsense"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("quennet-flash ") + QuennetVersion() + "\n");
}

TEST(FlashCliTest, ABoardThatDoesNotAnswerFailsWithItsLine) {
    SilentPty pty;
    ASSERT_FALSE(pty.path().empty());
    const auto r = RunCli(kFlash, {"--port", pty.path(), "--target", "MSP430-19200", kMsp430File});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(LinesOf(r.out), (std::vector<std::string>{
                                  "Begin program MSP430.", "FILE Load: OK.",
                                  "ERROR: Failed to Sync with Target, verify Power and Connection."}));
    EXPECT_EQ(r.err, "");
    EXPECT_GT(pty.Received(), 0u);  // it did try
}

}  // namespace
}  // namespace quennet
