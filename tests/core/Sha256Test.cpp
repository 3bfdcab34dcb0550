#include "core/Sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace quennet {
namespace {

// The test vectors of FIPS 180-4's examples and NIST's set, fed whole and
// in pieces that straddle the 64-byte blocks.
TEST(Sha256Test, KnownVectors) {
    const struct {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) {
        Sha256 whole;
        whole.Add(c.input.data(), c.input.size());
        EXPECT_EQ(Sha256Hex(whole.Finish()), c.digest) << c.input.size();
        Sha256 pieces;
        for (std::size_t at = 0, step = 1; at < c.input.size(); at += step, step = step % 97 + 13)
            pieces.Add(c.input.data() + at, std::min(step, c.input.size() - at));
        EXPECT_EQ(Sha256Hex(pieces.Finish()), c.digest) << c.input.size();
    }
}

}  // namespace
}  // namespace quennet
