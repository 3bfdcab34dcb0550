// Files written by independent S-record tools (srec_cat from the srecord
// package, objcopy from binutils) must load into exactly the image that the
// same tools make of them as a 0xFF-filled binary.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "firmware/SRecord.h"

namespace quennet {
namespace {

using testing::ReadBinary;
using testing::TempDir;

bool HaveTool(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

struct Segment {
    std::uint32_t address;  // as written into the file
    std::size_t size;
};

class SRecordToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.ok());
        if (!HaveTool("srec_cat") || !HaveTool("objcopy"))
            GTEST_SKIP() << "srec_cat (package srecord) and objcopy (package binutils) are "
                            "needed to compare against real S-record tools; install them with "
                            "apt-get install srecord binutils";
    }

    // Runs a shell command; its output goes to a log that a failure shows.
    void Run(const std::string& command) {
        const std::string log = dir_.File("tool.log");
        const int rc = std::system((command + " >" + Quote(log) + " 2>&1").c_str());
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        ASSERT_EQ(rc, 0) << command << "\n" << text.str();
    }

    static std::string Quote(const std::string& s) { return "'" + s + "'"; }

    // Random bytes (0xFF included, as in real firmware) written to a binary file.
    std::string RandomBinary(const std::string& name, std::size_t size, unsigned seed) {
        std::mt19937 gen(seed);
        std::string bytes(size, '\0');
        for (auto& b : bytes) b = static_cast<char>(gen() & 0xFF);
        return dir_.Write(name, bytes);
    }

    // The 0xFF-filled picture that srec_cat makes of an S-record file, with
    // its addresses moved down by `base`.
    std::vector<unsigned char> SrecCatPicture(const std::string& srec, std::uint32_t base) {
        const std::string out = dir_.File("picture.bin");
        std::ostringstream cmd;
        cmd << "srec_cat " << Quote(srec) << " -motorola";
        if (base != 0) cmd << " -offset -0x" << std::hex << base;
        cmd << " -fill 0xFF 0 0x80000 -o " << Quote(out) << " -binary";
        Run(cmd.str());
        return ReadBinary(out);
    }

    // The picture that objcopy makes: its binary output starts at the lowest
    // address, which the caller knows; the rest is blank.
    std::vector<unsigned char> ObjcopyPicture(const std::string& srec, std::size_t lowestOffset) {
        const std::string out = dir_.File("picture.bin");
        Run("objcopy -I srec -O binary --gap-fill 0xff " + Quote(srec) + " " + Quote(out));
        std::vector<unsigned char> picture(FirmwareImage::kDefaultSize, 0xFF);
        const auto bin = ReadBinary(out);
        EXPECT_LE(lowestOffset + bin.size(), picture.size());
        for (std::size_t i = 0; i < bin.size() && lowestOffset + i < picture.size(); ++i)
            picture[lowestOffset + i] = bin[i];
        return picture;
    }

    // Loads into an image that starts dirty, so a missing refill shows too.
    void ExpectLoadsAs(const std::string& srec, const std::vector<unsigned char>& picture) {
        ASSERT_EQ(picture.size(), FirmwareImage::kDefaultSize);
        FirmwareImage image;
        for (std::size_t i = 0; i < FirmwareImage::kDefaultSize; i += 97) image[i] = 0x00;
        ASSERT_EQ(LoadSRecordFile(srec, image), kSRecOk) << srec;
        std::size_t mismatches = 0, first = 0;
        for (std::size_t i = 0; i < FirmwareImage::kDefaultSize; ++i) {
            if (image[i] != picture[i] && mismatches++ == 0) first = i;
        }
        EXPECT_EQ(mismatches, 0u) << "first at offset 0x" << std::hex << first << ": image "
                                  << int(image[first]) << ", tool " << int(picture[first]);
    }

    // Lengths of the lines holding records of the given type, to make sure a
    // case really exercises the record type and lengths it claims to.
    std::vector<std::size_t> RecordLines(const std::string& srec, char type) {
        std::ifstream in(srec, std::ios::binary);
        std::vector<std::size_t> lengths;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() >= 2 && line[0] == 'S' && line[1] == type) lengths.push_back(line.size());
        }
        return lengths;
    }

    // Where the original binaries went, the image must hold them exactly.
    void ExpectSegments(const std::vector<unsigned char>& picture,
                        const std::vector<std::string>& binaries,
                        const std::vector<Segment>& segments, std::uint32_t base) {
        for (std::size_t s = 0; s < segments.size(); ++s) {
            const auto bin = ReadBinary(binaries[s]);
            ASSERT_EQ(bin.size(), segments[s].size);
            const std::size_t at = segments[s].address - base;
            for (std::size_t i = 0; i < bin.size(); ++i)
                ASSERT_EQ(picture[at + i], bin[i]) << "segment " << s << " byte " << i;
        }
    }

    // srec_cat placing each binary at its segment's address.
    void SrecCat(const std::vector<std::string>& binaries, const std::vector<Segment>& segments,
                 const std::string& srec, const std::string& options) {
        std::ostringstream cmd;
        cmd << "srec_cat";
        for (std::size_t s = 0; s < segments.size(); ++s)
            cmd << " " << Quote(binaries[s]) << " -binary -offset 0x" << std::hex << segments[s].address;
        cmd << " -o " << Quote(srec) << " -motorola " << options;
        Run(cmd.str());
    }

    std::vector<std::string> RandomBinaries(const std::vector<Segment>& segments, unsigned seed) {
        std::vector<std::string> binaries;
        for (std::size_t s = 0; s < segments.size(); ++s)
            binaries.push_back(RandomBinary("seg" + std::to_string(s) + ".bin", segments[s].size, seed + s));
        return binaries;
    }

    TempDir dir_;
};

TEST_F(SRecordToolsTest, SrecCatS3WithGapsAndEveryBlockSize) {
    const std::vector<Segment> segments = {
        {0x08000000, 700}, {0x08004101, 300}, {0x0801FFF0, 4096}, {0x0807FF00, 256}};
    const auto binaries = RandomBinaries(segments, 11);

    const std::vector<std::string> layouts = {
        "-obs=1", "-obs=16", "-obs=33", "-obs=128", "-obs=250",
        "-line-length=46", "-line-length=514 -line-termination=crlf", "-obs=250 -line-termination=crlf"};
    for (const auto& layout : layouts) {
        SCOPED_TRACE(layout);
        const std::string srec = dir_.File("out.s37");
        SrecCat(binaries, segments, srec, "-address-length=4 " + layout);
        const auto lines = RecordLines(srec, '3');
        ASSERT_FALSE(lines.empty());
        const auto picture = SrecCatPicture(srec, kStm32FlashBase);
        ExpectSegments(picture, binaries, segments, kStm32FlashBase);
        ExpectLoadsAs(srec, picture);
    }
}

TEST_F(SRecordToolsTest, SrecCatS1WithGapsUpToTheLongestRecord) {
    const std::vector<Segment> segments = {{0x0000, 512}, {0x1001, 999}, {0xFF00, 256}};
    const auto binaries = RandomBinaries(segments, 23);

    for (const std::string layout : {"-obs=1", "-obs=16", "-obs=47", "-obs=252",
                                     "-obs=252 -line-termination=crlf"}) {
        SCOPED_TRACE(layout);
        const std::string srec = dir_.File("out.s19");
        SrecCat(binaries, segments, srec, "-address-length=2 " + layout);
        const auto lines = RecordLines(srec, '1');
        ASSERT_FALSE(lines.empty());
        if (layout.find("252") != std::string::npos) {
            EXPECT_EQ(*std::max_element(lines.begin(), lines.end()), kSRecMaxLineChars);
        }
        const auto picture = SrecCatPicture(srec, 0);
        ExpectSegments(picture, binaries, segments, 0);
        ExpectLoadsAs(srec, picture);
    }
}

TEST_F(SRecordToolsTest, ObjcopyS3AtFlashAddressesForEveryRecordLength) {
    const std::string bin = RandomBinary("app.bin", 5000, 37);
    const std::uint32_t address = 0x08002000;
    for (int len : {1, 16, 64, 250, 255}) {
        SCOPED_TRACE("srec-len " + std::to_string(len));
        const std::string srec = dir_.File("app.s37");
        std::ostringstream cmd;
        cmd << "objcopy -I binary -O srec --srec-forceS3 --srec-len=" << len
            << " --change-addresses 0x" << std::hex << address << " " << Quote(bin) << " " << Quote(srec);
        Run(cmd.str());
        const auto lines = RecordLines(srec, '3');
        ASSERT_FALSE(lines.empty());
        const auto picture = ObjcopyPicture(srec, address - kStm32FlashBase);
        ExpectSegments(picture, {bin}, {{address, 5000}}, kStm32FlashBase);
        ExpectLoadsAs(srec, picture);
    }
}

TEST_F(SRecordToolsTest, ObjcopyS1ReachingTheTopOfTheSixteenBitSpace) {
    const std::string bin = RandomBinary("msp.bin", 0x4000, 41);
    for (int len : {16, 32, 252}) {
        SCOPED_TRACE("srec-len " + std::to_string(len));
        const std::string srec = dir_.File("msp.s19");
        Run("objcopy -I binary -O srec --srec-len=" + std::to_string(len) +
            " --change-addresses 0xC000 " + Quote(bin) + " " + Quote(srec));
        ASSERT_FALSE(RecordLines(srec, '1').empty());
        ASSERT_TRUE(RecordLines(srec, '3').empty());
        const auto picture = ObjcopyPicture(srec, 0xC000);
        ExpectSegments(picture, {bin}, {{0xC000, 0x4000}}, 0);
        ExpectLoadsAs(srec, picture);
    }
}

TEST_F(SRecordToolsTest, ObjcopyRewritesAGappedFileWithOddRecordLengths) {
    const std::vector<Segment> segments = {{0x08000010, 333}, {0x08010001, 1000}};
    const auto binaries = RandomBinaries(segments, 53);
    const std::string gapped = dir_.File("gapped.s37");
    SrecCat(binaries, segments, gapped, "-address-length=4 -obs=64");

    for (int len : {7, 37, 249}) {
        SCOPED_TRACE("srec-len " + std::to_string(len));
        const std::string srec = dir_.File("rewritten.s37");
        Run("objcopy -I srec -O srec --srec-forceS3 --srec-len=" + std::to_string(len) + " " +
            Quote(gapped) + " " + Quote(srec));
        const auto picture = SrecCatPicture(srec, kStm32FlashBase);
        ExpectSegments(picture, binaries, segments, kStm32FlashBase);
        ExpectLoadsAs(srec, picture);
    }
}

}  // namespace
}  // namespace quennet
