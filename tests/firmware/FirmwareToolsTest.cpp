// Files written by independent tools (srec_cat from the srecord package,
// objcopy from binutils, the ARM linker from binutils-arm-none-eabi) must
// load into exactly the image that the same tools make of them, or that the
// bytes they were made from give.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "firmware/FirmwareFile.h"
#include "firmware/SRecord.h"

namespace quennet {
namespace {

constexpr FlashWindow kStm32Window{kStm32FlashBase, 0x80000};
constexpr FlashWindow kMsp430Window{0, 0x10000};

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

    // srec_cat placing each binary at its segment's address, writing with
    // the output options given.
    void SrecCat(const std::vector<std::string>& binaries, const std::vector<Segment>& segments,
                 const std::string& srec, const std::string& options) {
        std::ostringstream cmd;
        cmd << "srec_cat";
        for (std::size_t s = 0; s < segments.size(); ++s)
            cmd << " " << Quote(binaries[s]) << " -binary -offset 0x" << std::hex << segments[s].address;
        cmd << " -o " << Quote(srec) << " " << options;
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
        SrecCat(binaries, segments, srec, "-motorola -address-length=4 " + layout);
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
        SrecCat(binaries, segments, srec, "-motorola -address-length=2 " + layout);
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
    SrecCat(binaries, segments, gapped, "-motorola -address-length=4 -obs=64");

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

// --- every format, from the same bytes ---------------------------------------------

// The bytes at their addresses, as a picture of the window.
std::vector<unsigned char> Picture(const std::vector<std::string>& binaries, const std::vector<Segment>& segments,
                                   const FlashWindow& window) {
    std::vector<unsigned char> picture(window.size, 0xFF);
    for (std::size_t s = 0; s < segments.size(); ++s) {
        const auto bin = ReadBinary(binaries[s]);
        std::copy(bin.begin(), bin.end(), picture.begin() + (segments[s].address - window.base));
    }
    return picture;
}

// A file srec_cat writes: its name, srec_cat's output options, its format.
struct Written {
    const char* name;
    const char* options;
    FirmwareFormat format;
};

class FirmwareToolsTest : public SRecordToolsTest {
protected:
    // Reads the file as the loader does and compares the placed image.
    void ExpectImage(const std::string& path, std::optional<std::uint32_t> address, FirmwareFormat format,
                     const FlashWindow& window, const std::vector<unsigned char>& picture) {
        SCOPED_TRACE(path);
        const FirmwareFile file = ReadFirmwareFile(path, address);
        ASSERT_TRUE(file.ok()) << file.problem;
        EXPECT_EQ(file.format, format);
        FirmwareImage image;
        ASSERT_EQ(PlaceFirmware(file, window, image), "");
        ASSERT_EQ(image.size(), picture.size());
        std::size_t first = picture.size();
        for (std::size_t i = 0; i < picture.size() && first == picture.size(); ++i)
            if (image[i] != picture[i]) first = i;
        EXPECT_EQ(first, picture.size()) << "first difference at offset 0x" << std::hex << first;
    }

    // srec_cat writing the segments to `name` in one of its output formats.
    std::string SrecCatTo(const std::vector<std::string>& binaries, const std::vector<Segment>& segments,
                          const std::string& name, const std::string& output) {
        SrecCat(binaries, segments, dir_.File(name), output);
        return dir_.File(name);
    }

    // An executable linked by the ARM linker: the first segment as code at
    // its address in flash, the others as initialised data whose run address
    // is in RAM and whose load address (what goes to the flash) follows the
    // code, as a startup file copies .data. Returns the ELF's path.
    std::string LinkElf(const std::vector<std::string>& binaries, const std::vector<Segment>& segments,
                        std::uint32_t ram) {
        std::ostringstream as, ld;
        as << "    .section .text,\"ax\"\n    .incbin \"" << binaries[0] << "\"\n";
        ld << "SECTIONS {\n  .text 0x" << std::hex << segments[0].address << " : { *(.text) }\n";
        for (std::size_t s = 1; s < segments.size(); ++s) {
            as << "    .section .data" << s << ",\"aw\"\n    .incbin \"" << binaries[s] << "\"\n";
            ld << "  .data" << s << " 0x" << std::hex << ram + 0x1000 * s << " : AT(0x" << segments[s].address
               << ") { *(.data" << s << ") }\n";
        }
        as << "    .section .bss,\"aw\",%nobits\n    .space 256\n";
        ld << "  .bss 0x" << std::hex << ram + 0x1000 * segments.size() << " : { *(.bss) }\n}\n";
        const std::string source = dir_.Write("app.s", as.str());
        const std::string script = dir_.Write("app.ld", ld.str());
        const std::string elf = dir_.File("app.elf");
        Run("arm-none-eabi-as -o " + Quote(dir_.File("app.o")) + " " + Quote(source) +
            " && arm-none-eabi-ld -e 0 -T " + Quote(script) + " -o " + Quote(elf) + " " + Quote(dir_.File("app.o")));
        return elf;
    }
};

TEST_F(FirmwareToolsTest, Stm32AddressesInEveryFormatGiveOneImage) {
    // Code not at the flash's first address, so the linker puts the ELF
    // headers into the first segment in front of it.
    const std::vector<Segment> segments = {{0x08000400, 700}, {0x08004101, 300}, {0x0807FF00, 256}};
    const auto binaries = RandomBinaries(segments, 61);
    const auto picture = Picture(binaries, segments, kStm32Window);

    const Written formats[] = {{"s3.s37", "-motorola -address-length=4", FirmwareFormat::SRecord},
                               {"linear.hex", "-intel", FirmwareFormat::IntelHex},
                               {"ti.txt", "-Texas_Instruments_TeXT", FirmwareFormat::TiTxt}};
    for (const Written& w : formats)
        ExpectImage(SrecCatTo(binaries, segments, w.name, w.options), std::nullopt, w.format, kStm32Window, picture);
    // S1 and S2 count from the flash's first address: the same bytes moved down.
    std::vector<Segment> offsets = segments;
    for (Segment& s : offsets) s.address -= kStm32FlashBase;
    const std::string s2 = SrecCatTo(binaries, offsets, "s2.s28", "-motorola");
    EXPECT_FALSE(RecordLines(s2, '1').empty());
    EXPECT_FALSE(RecordLines(s2, '2').empty());
    ExpectImage(s2, std::nullopt, FirmwareFormat::SRecord, kStm32Window, picture);
    const std::string hex = dir_.File("objcopy.hex");
    Run("objcopy -I srec -O ihex " + Quote(dir_.File("s3.s37")) + " " + Quote(hex));
    ExpectImage(hex, std::nullopt, FirmwareFormat::IntelHex, kStm32Window, picture);
}

TEST_F(FirmwareToolsTest, ALinkedArmExecutableAndWhatObjcopyMakesOfIt) {
    if (!HaveTool("arm-none-eabi-ld") || !HaveTool("arm-none-eabi-as") || !HaveTool("arm-none-eabi-objcopy"))
        GTEST_SKIP() << "arm-none-eabi-as, -ld and -objcopy (package binutils-arm-none-eabi) link the ELF";
    const std::vector<Segment> segments = {{0x08000400, 1500}, {0x08000A00, 301}, {0x08002000, 64}};
    const auto binaries = RandomBinaries(segments, 67);
    const auto picture = Picture(binaries, segments, kStm32Window);
    const std::string elf = LinkElf(binaries, segments, 0x20000000);
    ExpectImage(elf, std::nullopt, FirmwareFormat::Elf, kStm32Window, picture);

    const std::string hex = dir_.File("app.hex"), srec = dir_.File("app.s37"), bin = dir_.File("app.bin");
    Run("arm-none-eabi-objcopy -O ihex " + Quote(elf) + " " + Quote(hex));
    Run("arm-none-eabi-objcopy -O srec --srec-forceS3 " + Quote(elf) + " " + Quote(srec));
    Run("arm-none-eabi-objcopy -O binary --gap-fill 0xff " + Quote(elf) + " " + Quote(bin));
    ExpectImage(hex, std::nullopt, FirmwareFormat::IntelHex, kStm32Window, picture);
    ExpectImage(srec, std::nullopt, FirmwareFormat::SRecord, kStm32Window, picture);
    ExpectImage(bin, segments[0].address, FirmwareFormat::RawBinary, kStm32Window, picture);
}

TEST_F(FirmwareToolsTest, Msp430AddressesInEveryFormatGiveOneImage) {
    const std::vector<Segment> segments = {{0xC000, 512}, {0x1100, 999}, {0xFFE0, 32}};
    const auto binaries = RandomBinaries(segments, 71);
    const auto picture = Picture(binaries, segments, kMsp430Window);

    const Written formats[] = {{"s1.s19", "-motorola -address-length=2", FirmwareFormat::SRecord},
                               {"msp.hex", "-intel -address-length=2", FirmwareFormat::IntelHex},
                               {"msp.txt", "-Texas_Instruments_TeXT", FirmwareFormat::TiTxt},
                               // With an extended segment address (02) record.
                               {"seg.hex", "-intel -address-length=3", FirmwareFormat::IntelHex}};
    for (const Written& w : formats)
        ExpectImage(SrecCatTo(binaries, segments, w.name, w.options), std::nullopt, w.format, kMsp430Window, picture);
    const std::string top = dir_.File("top.bin");
    Run("srec_cat " + Quote(dir_.File("s1.s19")) + " -motorola -crop 0xC000 0x10000 -offset -0xC000 -fill 0xFF 0 "
        "0x4000 -o " + Quote(top) + " -binary");
    std::vector<unsigned char> topPicture = picture;
    std::fill(topPicture.begin(), topPicture.begin() + 0xC000, 0xFF);
    ExpectImage(top, 0xC000, FirmwareFormat::RawBinary, kMsp430Window, topPicture);

    if (!HaveTool("arm-none-eabi-ld") || !HaveTool("arm-none-eabi-as"))
        GTEST_SKIP() << "arm-none-eabi-as and -ld (package binutils-arm-none-eabi) link the ELF";
    // Debian has no MSP430 linker: a real executable linked at MSP430
    // addresses by the ARM linker, then marked as MSP430 (machine 105).
    std::string elf = testing::Slurp(LinkElf(binaries, segments, 0x0200));
    elf[18] = 105;
    elf[19] = 0;
    ExpectImage(dir_.Write("msp.elf", elf), std::nullopt, FirmwareFormat::Elf, kMsp430Window, picture);
}

}  // namespace
}  // namespace quennet
