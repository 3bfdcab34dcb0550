// The firmware readers on hand-made files: what each takes, and the reason
// it gives, with the line or offset, for what it refuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Checked.h"
#include "firmware/FirmwareFile.h"

namespace quennet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Reader = FirmwareFile (*)(std::span<const std::uint8_t>);
using Strings = std::vector<std::string>;

std::span<const std::uint8_t> Text(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string Hex(const Bytes& bytes) {
    std::string s;
    for (std::uint8_t b : bytes) s += {"0123456789ABCDEF"[b >> 4], "0123456789ABCDEF"[b & 15]};
    return s;
}

// The chunks as "address:bytes", one per chunk, to compare whole.
Strings Chunks(const FirmwareFile& f) {
    Strings out;
    char address[16];
    for (const FirmwareChunk& c : f.chunks) {
        std::snprintf(address, sizeof address, "%X:", c.address);
        out.push_back(address + Hex(c.bytes));
    }
    return out;
}

// --- the text formats ---------------------------------------------------------------

TEST(TextReadersTest, ReadAddressedDataAndSkipWhatCarriesNone) {
    const struct {
        Reader read;
        std::string text;
        Strings chunks;
        std::size_t lineOfLast;
    } cases[] = {
        {ReadIntelHex,
         ":0400000001020304F2\r\n"   // 0x0000
         ":020000021000EC\r\n"       // segment base 0x10000
         ":02FFFE00AABB9C\n"         // 0x1FFFE
         ":0400000300001000E9\n"     // start segment address: no data
         ":020000040800F2\n"         // linear base 0x08000000
         ":03001000ccddee56\n"       // lower-case digits
         ":0400000508000101ED\n"     // start linear address: no data
         "\n:00000001FF\n  \n",
         {"0:01020304", "1FFFE:AABB", "8000010:CCDDEE"}, 6},
        {ReadTiTxt, "@F000\r\n31 40 00 03\r\nb2 40\t80 5a \r\n\r\n@fffe\n00 F0\nq\n\n",
         {"F000:31400003B240805A", "FFFE:00F0"}, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const FirmwareFile f = c.read(Text(c.text));
        ASSERT_TRUE(f.ok()) << f.problem;
        EXPECT_EQ(f.format, c.read == ReadIntelHex ? FirmwareFormat::IntelHex : FirmwareFormat::TiTxt);
        EXPECT_EQ(Chunks(f), c.chunks);
        EXPECT_EQ(testing::Last(f.chunks).line, c.lineOfLast);
    }
}

// --- ELF -------------------------------------------------------------------------

struct Segment {
    std::uint32_t type, offset, paddr, filesz;
    std::uint32_t vaddr = 0;  // where it runs; 0: where it is loaded
};
struct Section {
    std::uint32_t type, flags, offset, size;
};

// An ELF32 little-endian executable of `size` bytes: the header, program
// headers from 0x34, section headers from 0x100, and the byte pattern
// offset * 7 + 3 in everything else.
Bytes MakeElf(std::uint16_t machine, const std::vector<Segment>& segments, const std::vector<Section>& sections,
              std::size_t size = 0x400) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 3);
    auto put = [&b](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    std::memset(b.data(), 0, 0x34);
    std::memcpy(b.data(), "\x7f" "ELF\x01\x01\x01", 7);
    // type (executable), machine, version, phoff, shoff; ehsize, phentsize,
    // phnum, shentsize, shnum.
    const std::uint32_t words[][3] = {{16, 2, 2}, {18, machine, 2}, {20, 1, 4}, {28, 0x34, 4},
                                      {32, sections.empty() ? 0u : 0x100u, 4}, {40, 0x34, 2}, {42, 32, 2},
                                      {44, static_cast<std::uint32_t>(segments.size()), 2}, {46, 40, 2},
                                      {48, static_cast<std::uint32_t>(sections.size()), 2}};
    for (const auto& w : words) put(w[0], w[1], static_cast<int>(w[2]));
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const Segment& s = segments[i];
        const std::uint32_t fields[] = {s.type, s.offset, s.vaddr ? s.vaddr : s.paddr, s.paddr, s.filesz, s.filesz + 0x40,
                                        0, 0};
        for (int f = 0; f < 8; ++f) put(0x34 + 32 * i + 4 * f, fields[f], 4);
    }
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = sections[i];
        const std::uint32_t fields[] = {0, s.type, s.flags, 0, s.offset, s.size, 0, 0, 0, 0};
        for (int f = 0; f < 10; ++f) put(0x100 + 40 * i + 4 * f, fields[f], 4);
    }
    return b;
}

constexpr std::uint16_t kArm = 40, kMsp430 = 105;
constexpr std::uint32_t kLoad = 1, kProgbits = 1, kNobits = 8, kAlloc = 2;

// The pattern MakeElf leaves at those file offsets, in hex.
std::string Pattern(std::uint32_t offset, std::uint32_t n) {
    Bytes b(n);
    for (std::uint32_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>((offset + i) * 7 + 3);
    return Hex(b);
}

TEST(ElfTest, LoadSegmentsOrWithSectionsOnlyAllocatedSectionsGiveTheBytes) {
    const std::string notWritten = " bytes lie in no loadable segment and are not written";
    const struct {
        const char* name;
        Bytes elf;
        Strings chunks;
        Strings warnings = {};
    } cases[] = {
        {"no sections: load segments' file bytes at their physical addresses",
         MakeElf(kMsp430, {{kLoad, 0x300, 0xC000, 0x10},
                           {6, 0x34, 0x1000, 0x40},      // the program header table: not loaded
                           {kLoad, 0x310, 0x0200, 0},    // .bss: nothing in the file
                           {kLoad, 0x3F0, 0xFFF0, 0x10}},
                 {}),
         {"C000:" + Pattern(0x300, 0x10), "FFF0:" + Pattern(0x3F0, 0x10)}},
        // The first segment starts at file offset 0, so it holds the ELF and
        // program headers in front of the code; they must not reach the flash.
        {"sections", MakeElf(kArm, {{kLoad, 0, 0x08000000, 0x380}, {kLoad, 0x380, 0x08000380, 0x20}},
                             {{0, 0, 0, 0},                      // the null section
                              {kProgbits, kAlloc, 0x300, 0x40},  // code
                              {kProgbits, kAlloc, 0x370, 0x20},  // across both segments
                              {kNobits, kAlloc, 0x390, 0x100},   // .bss
                              {kProgbits, 0, 0x200, 0x80}}),     // not allocated (debugging)
         {"8000300:" + Pattern(0x300, 0x40), "8000370:" + Pattern(0x370, 0x20)}},
        // Initialised data run from RAM but are loaded behind the code.
        {"load and run addresses differ: the load address counts",
         MakeElf(kArm, {{kLoad, 0x300, 0x08000000, 0x20}, {kLoad, 0x320, 0x08000020, 0x10, 0x20000000}},
                 {{kProgbits, kAlloc, 0x300, 0x20}, {kProgbits, kAlloc, 0x320, 0x10}}),
         {"8000000:" + Pattern(0x300, 0x30)}},
        {"allocated bytes outside every segment are named, not written",
         MakeElf(kArm, {{kLoad, 0x300, 0x08000000, 0x20}},
                 {{0, 0, 0, 0},
                  {kProgbits, kAlloc, 0x300, 0x10},
                  {kProgbits, kAlloc, 0x310, 0x20},  // half in the segment
                  {kProgbits, kAlloc, 0x380, 8}}),
         {"8000000:" + Pattern(0x300, 0x20)},
         {"section 2: 16 of its 32" + notWritten, "section 3: 8 of its 8" + notWritten}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FirmwareFile f = ReadElf(c.elf);
        ASSERT_TRUE(f.ok()) << f.problem;
        EXPECT_EQ(Chunks(f), c.chunks);
        EXPECT_EQ(f.warnings, c.warnings);
    }
}

TEST(ReadersTest, EachFaultNamesItsLineOrOffset) {
    const std::string badByte = "a byte is two hex digits, separated from the next by a blank";
    const std::string hexLength = "hex digits after ':', which no record has (an even number from 10 to 520)";
    auto B = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    auto with = [](Bytes b, std::size_t at, std::uint8_t v) {
        b[at] = v;
        return b;
    };
    const Bytes good = MakeElf(kArm, {{kLoad, 0x300, 0x08000000, 0x10}}, {});
    const struct {
        Reader read;
        Bytes input;
        std::string problem;
    } cases[] = {
        {ReadIntelHex, B(":0400000001020304F2\n"),
         "line 1: the file ends early: no end-of-file record (:00000001FF)"},
        {ReadIntelHex, B(":0400000001020304F3\n:00000001FF\n"),
         "line 1: the record fails its checksum (it ends in F3, its bytes need F2)"},
        {ReadIntelHex, B(":00000001FF\n:0100000000FF\n"), "line 2: a record after the end-of-file record of line 1"},
        {ReadIntelHex, B("\n0400000001020304F2\n"), "line 2: starts with '0', not with the ':' of a record"},
        {ReadIntelHex, B(":04000000010203G4F2\n"), "line 1: column 16: 'G' is not a hex digit"},
        {ReadIntelHex, B(":0500000001020304F1\n"), "line 1: the record holds 4 data bytes, its length says 5"},
        {ReadIntelHex, B(":000000FF\n"), "line 1: 8 " + hexLength},
        {ReadIntelHex, B(":0400000001020304F\n"), "line 1: 17 " + hexLength},
        {ReadIntelHex, B(":00000006FA\n"), "line 1: record type 06, which is none of 00 to 05"},
        {ReadIntelHex, B(":03000004080000F1\n"), "line 1: a type 04 record holds 2 data bytes, not 3"},
        {ReadIntelHex, B(":0100000100FE\n"), "line 1: a type 01 record holds 0 data bytes, not 1"},
        // Data that would wrap to the start of their 64 KiB segment.
        {ReadIntelHex, B(":020000040800F2\n:04FFFE0001020304F5\n"),
         "line 2: the data run past the end of the 64 KiB segment at 0x08000000 (offset FFFE, 4 bytes)"},
        {ReadIntelHex, B(""), "the file ends early: no end-of-file record (:00000001FF)"},
        // Cut off inside a record: the file's last bytes, no line end after them.
        {ReadIntelHex, B(":0400000001020304F2\n:04001000010203"),
         "line 2: the file ends early, inside a record (14 of its 18 hex digits)"},
        {ReadIntelHex, B(":0400000001020304F2\r\n:"), "line 2: the file ends early, inside a record"},
        {ReadTiTxt, B("@1000\n01 02\n"), "line 2: the file ends without its closing q line"},
        {ReadTiTxt, B("01 02\nq\n"), "line 1: data before the first @address line"},
        {ReadTiTxt, B("@1000\n01 02\nq\nmore\n"), "line 4: text after the closing q of line 3"},
        {ReadTiTxt, B("@1000\n01 023\nq\n"), "line 2: column 4: " + badByte},
        {ReadTiTxt, B("@1000\n01 0G\nq\n"), "line 2: column 4: " + badByte},
        {ReadTiTxt, B("@1000\n  1\nq\n"), "line 2: column 3: " + badByte},
        {ReadTiTxt, B("@\nq\n"), "line 1: an address line holds 1 to 8 hex digits after '@'"},
        {ReadTiTxt, B("@123456789\nq\n"), "line 1: an address line holds 1 to 8 hex digits after '@'"},
        {ReadTiTxt, B("@10X0\nq\n"), "line 1: 'X' in an address, which takes hex digits only"},
        {ReadTiTxt, B("@FFFFFFFF\n01 02\nq\n"), "line 2: the data run past address 0xFFFFFFFF"},
        {ReadElf, Bytes(good.begin(), good.begin() + 51), "offset 0x0: 51 bytes, too short for an ELF header (52)"},
        {ReadElf, with(good, 3, 'G'), "offset 0x0: not an ELF file (no 7F 'E' 'L' 'F' at its start)"},
        {ReadElf, with(good, 4, 2), "offset 0x4: a 64-bit ELF file; ARM and MSP430 executables are 32-bit"},
        {ReadElf, with(good, 4, 3), "offset 0x4: ELF class 3, which is neither 32 nor 64-bit"},
        {ReadElf, with(good, 5, 2), "offset 0x5: a big-endian ELF file; ARM and MSP430 executables are little-endian"},
        {ReadElf, with(good, 16, 1), "offset 0x10: a relocatable object (.o), not a linked executable"},
        {ReadElf, with(good, 16, 3), "offset 0x10: ELF type 3, not an executable (2)"},
        {ReadElf, with(good, 18, 62), "offset 0x12: built for machine 62, not for ARM (40) or MSP430 (105)"},
        {ReadElf, with(good, 42, 16), "offset 0x2A: program headers of 16 bytes, fewer than 32"},
        {ReadElf, with(good, 44, 40), "offset 0x34: 40 program headers reach past the end of the file"},
        {ReadElf, MakeElf(kArm, {{kLoad, 0x3F0, 0x08000000, 0x11}}, {}),
         "offset 0x34: segment 0: its 17 bytes at file offset 0x3F0 reach past the end of the file"},
        {ReadElf, MakeElf(kArm, {{kLoad, 0x300, 0xFFFFFFF8, 0x10}}, {}),
         "offset 0x34: segment 0: its 16 bytes from 0xFFFFFFF8 run past 0xFFFFFFFF"},
        {ReadElf, MakeElf(kArm, {{kLoad, 0x300, 0x08000000, 0x10}}, {{kProgbits, kAlloc, 0x300, 0x200}}),
         "offset 0x100: section 0 reaches past the end of the file"},
        {ReadElf, with(MakeElf(kArm, {{kLoad, 0x300, 0x08000000, 0x10}}, {{kProgbits, kAlloc, 0x300, 0x10}}), 48, 30),
         "offset 0x100: 30 section headers reach past the end of the file"},
        {ReadElf, MakeElf(kArm, {{kLoad, 0, 0x08000000, 0x400}, {kLoad, 0, 0x08001000, 0x400}}, {}),
         "offset 0x54: the segments take the same bytes of the file more than once"},
    };
    for (const auto& c : cases) {
        const FirmwareFile f = c.read(c.input);
        EXPECT_FALSE(f.ok()) << c.problem;
        EXPECT_EQ(f.problem, c.problem);
    }
}

// --- recognising a file, raw binaries ------------------------------------------------

TEST(ReadFirmwareTest, TheContentDecidesTheFormatAndAnAddressMakesARawBinary) {
    const std::string srec = "S1050010A1B297\n";
    const std::string hex = ":0100100042AD\n:00000001FF\n";
    const std::string txt = "\r\n@0010\n42\nq\n";
    const Bytes elf = MakeElf(kMsp430, {{kLoad, 0x300, 0x0010, 1}}, {});
    const std::string raw("\x00\x50\x00\x20 not text", 13);
    const struct {
        std::string bytes;
        std::optional<std::uint32_t> address;
        FirmwareFormat format;
        std::string firstChunkOrProblem;
    } cases[] = {
        {srec, std::nullopt, FirmwareFormat::SRecord, "10:A1B2"},
        {hex, std::nullopt, FirmwareFormat::IntelHex, "10:42"},
        {txt, std::nullopt, FirmwareFormat::TiTxt, "10:42"},
        {std::string(elf.begin(), elf.end()), std::nullopt, FirmwareFormat::Elf, "10:" + Pattern(0x300, 1)},
        {"", std::nullopt, FirmwareFormat::SRecord, "holds no data"},
        {" \r\n\t\n", std::nullopt, FirmwareFormat::SRecord, "holds no data"},
        {raw, std::nullopt, FirmwareFormat::Unknown,
         "offset 0: holds no S-records, Intel HEX, ELF or TI-TXT (a raw binary needs the address it is loaded at)"},
        {raw.substr(0, 4), 0x08000000, FirmwareFormat::RawBinary, "8000000:00500020"},
        // A damaged HEX file given an address is taken as the bytes it is.
        {":01", 0x100, FirmwareFormat::RawBinary, "100:3A3031"},
        {hex, 0x08000000, FirmwareFormat::RawBinary,
         "offset 0: is an Intel HEX file, not a raw binary: it carries its own addresses, so give none"},
        {std::string(elf.begin(), elf.end()), 0, FirmwareFormat::RawBinary,
         "offset 0: is an ELF file, not a raw binary: it carries its own addresses, so give none"},
        {std::string("\x01\x02"), 0xFFFFFFFF, FirmwareFormat::RawBinary,
         "offset 0x1: the binary's 2 bytes from 0xFFFFFFFF run past 0xFFFFFFFF"},
        {"", 0x1000, FirmwareFormat::RawBinary, "holds no data"},
        {std::string("\x01\x02"), 0xFFFFFFFE, FirmwareFormat::RawBinary, "FFFFFFFE:0102"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.firstChunkOrProblem);
        const FirmwareFile f = ReadFirmware(Text(c.bytes), c.address);
        EXPECT_EQ(f.format, c.format);
        const auto chunks = Chunks(f);
        EXPECT_EQ(f.ok() ? (chunks.empty() ? "" : chunks[0]) : f.problem, c.firstChunkOrProblem);
    }
}

TEST(ReadFirmwareTest, FilesThatCannotBeReadSayWhy) {
    // The system's words; a folder fails to open or to read, by system.
    const struct {
        std::string path, problem;
    } cases[] = {
        {"", "no file named"},
        {"/nonexistent/fw.hex", "cannot be opened (No such file or directory)"},
        {"/", "cannot be "},
    };
    for (const auto& c : cases) {
        const FirmwareFile f = ReadFirmwareFile(c.path, std::nullopt);
        EXPECT_EQ(f.code, 1);
        EXPECT_EQ(f.problem.substr(0, c.problem.size()), c.problem);
    }
}

TEST(ReadFirmwareTest, AddressesAreHexWithPrefixOrDecimal) {
    const struct {
        const char* text;
        std::optional<std::uint32_t> value;
    } cases[] = {
        {"0x08000000", 0x08000000}, {" 0XfFfF ", 0xFFFF}, {"4096", 4096},        {"0xFFFFFFFF", 0xFFFFFFFF},
        {"4294967295", 0xFFFFFFFF}, {"0x100000000", {}},  {"4294967296", {}},    {"0x", {}},
        {"", {}},                   {"08000000h", {}},    {"0x0800_0000", {}},   {"-1", {}},
        {"1A", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseFlashAddress(c.text), c.value) << c.text;
}

// --- placing -------------------------------------------------------------------------

TEST(PlaceFirmwareTest, ChunksLandByTheirKindAndDataOutsideAreNamed) {
    auto file = [](AddressKind kind, std::uint32_t address, std::size_t n, std::size_t line) {
        FirmwareFile f;
        const Bytes data(n, 0x5A);
        f.Add(address, kind, data.data(), data.size(), line);
        return f;
    };
    const FlashWindow stm32{0x08000000, 0x80000}, msp430{0, 0x10000};
    const struct {
        FirmwareFile file;
        FlashWindow window;
        std::size_t firstOffset, stored;  // where the bytes land, and how many do
        std::string problem;
    } cases[] = {
        {file(AddressKind::Absolute, 0x08000010, 4, 3), stm32, 0x10, 4, ""},
        {file(AddressKind::Absolute, 0xFFFC, 4, 3), msp430, 0xFFFC, 4, ""},
        {file(AddressKind::FlashOffset, 0x1000, 2, 1), stm32, 0x1000, 2, ""},
        {file(AddressKind::FlashOffset, 0x1000, 2, 1), msp430, 0x1000, 2, ""},
        {file(AddressKind::Stm32Flash, 0x08000100, 2, 1), msp430, 0x100, 2, ""},
        {file(AddressKind::Absolute, 0x0807FFFE, 4, 7), stm32, 0x7FFFE, 2,
         "data at 0x08080000..0x08080001 lie outside the flash (0x08000000..0x0807FFFF)"},
        {file(AddressKind::Absolute, 0x07FFFFFE, 4, 7), stm32, 0, 0,
         "line 7: data at 0x07FFFFFE..0x07FFFFFF lie outside the flash (0x08000000..0x0807FFFF)"},
        {file(AddressKind::Absolute, 0x20000000, 16, 0), stm32, 0, 0,
         "data at 0x20000000..0x2000000F lie outside the flash (0x08000000..0x0807FFFF)"},
        {file(AddressKind::Absolute, 0x10000, 1, 2), msp430, 0, 0,
         "line 2: data at 0x00010000..0x00010000 lie outside the flash (0x0000..0xFFFF)"},
        {file(AddressKind::FlashOffset, 0x080000, 1, 5), stm32, 0, 0,
         "line 5: data at 0x00080000..0x00080000 lie outside the flash (0x0000..0x0007FFFF); "
         "S1 and S2 addresses count from the flash's first address"},
        {file(AddressKind::Stm32Flash, 0x00001000, 1, 4), stm32, 0, 0,
         "line 4: data at 0x1000..0x1000 lie outside the flash (0x08000000..0x0807FFFF); "
         "S3 addresses count from 0x08000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.problem);
        FirmwareImage image(16);
        EXPECT_EQ(PlaceFirmware(c.file, c.window, image), c.problem);
        ASSERT_EQ(image.size(), c.window.size);
        std::size_t data = 0;
        for (std::size_t i = 0; i < image.size(); ++i) data += image[i] != 0xFF;
        EXPECT_EQ(data, c.stored);
        if (c.stored != 0) {
            EXPECT_TRUE(image.HasData(c.firstOffset, 1));
        }
    }
}

TEST(PlaceFirmwareTest, LaterBytesWinAndFollowingRecordsJoinOneChunk) {
    FirmwareFile f;
    const Bytes a{1, 2, 3}, b{4, 5}, c{9};
    f.Add(0x100, AddressKind::Absolute, a.data(), a.size(), 1);
    f.Add(0x103, AddressKind::Absolute, b.data(), b.size(), 2);
    f.Add(0x103, AddressKind::FlashOffset, b.data(), b.size(), 3);  // another kind: a chunk of its own
    f.Add(0x101, AddressKind::Absolute, c.data(), c.size(), 4);
    ASSERT_EQ(f.chunks.size(), 3u);
    EXPECT_EQ(f.chunks[0].bytes, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(f.DataBytes(), 8u);
    FirmwareImage image;
    ASSERT_EQ(PlaceFirmware(f, FlashWindow{0, 0x10000}, image), "");
    EXPECT_EQ(image[0x101], 9);
    EXPECT_EQ(image[0x104], 5);
}

}  // namespace
}  // namespace quennet
