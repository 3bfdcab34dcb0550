// ELF32 little-endian executables for ARM and MSP430. What goes to the
// flash are the loadable segments' file bytes at their physical addresses
// (the load address, where the flash copy of initialised data lives). Within
// a segment only the bytes of allocated sections are taken when the file has
// a section table: the linker may put the ELF and program headers into the
// first segment, in front of the code, and those must not reach the flash.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "firmware/FirmwareFile.h"
#include "firmware/TextLines.h"

namespace quennet {

using firmware_text::Format;

namespace {

// Fields of the ELF32 file header, program header and section header.
constexpr std::size_t kEhdrSize = 52;
constexpr std::size_t kEiClass = 4, kEiData = 5;
constexpr std::uint8_t kClass32 = 1, kClass64 = 2, kDataLittle = 1;
constexpr std::size_t kEType = 16, kEMachine = 18, kEPhoff = 28, kEShoff = 32, kEPhentsize = 42,
                      kEPhnum = 44, kEShentsize = 46, kEShnum = 48, kEShstrndx = 50;
constexpr std::uint16_t kTypeRel = 1, kTypeExec = 2;
constexpr std::uint16_t kMachineArm = 40, kMachineMsp430 = 105;

constexpr std::size_t kPhdrSize = 32;
constexpr std::size_t kPType = 0, kPOffset = 4, kPPaddr = 12, kPFilesz = 16;
constexpr std::uint32_t kPtLoad = 1;

constexpr std::size_t kShdrSize = 40;
constexpr std::size_t kShName = 0, kShType = 4, kShFlags = 8, kShOffset = 16, kShSize = 20;
constexpr std::uint32_t kShtNull = 0, kShtNobits = 8, kShfAlloc = 2;

constexpr std::size_t kMaxSegmentSectionPairs = std::size_t{1} << 20;

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : b_(bytes) {}
    // Callers have checked that [at, at + width) lies in the file.
    std::uint16_t U16(std::uint64_t at) const {
        return static_cast<std::uint16_t>(b_[at] | (b_[at + 1] << 8));
    }
    std::uint32_t U32(std::uint64_t at) const {
        return std::uint32_t{b_[at]} | (std::uint32_t{b_[at + 1]} << 8) | (std::uint32_t{b_[at + 2]} << 16) |
               (std::uint32_t{b_[at + 3]} << 24);
    }
    bool Holds(std::uint64_t at, std::uint64_t length) const {
        return at <= b_.size() && length <= b_.size() - at;
    }
    const std::uint8_t* At(std::uint64_t at) const { return b_.data() + at; }
    std::size_t size() const { return b_.size(); }

private:
    std::span<const std::uint8_t> b_;
};

std::string AtOffset(std::uint64_t offset, const std::string& what) {
    return Format("offset 0x%llX: ", static_cast<unsigned long long>(offset)) + what;
}

// The name of a section from the section name table, when the file has a
// readable one; else its number.
std::string SectionName(const Reader& r, std::uint64_t shoff, std::uint16_t shentsize, std::uint16_t shnum,
                        std::uint16_t index) {
    const std::string number = Format("section %u", unsigned{index});
    const std::uint16_t table = r.U16(kEShstrndx);
    if (table >= shnum) return number;
    const std::uint64_t sh = shoff + std::uint64_t{table} * shentsize;
    const std::uint64_t strings = r.U32(sh + kShOffset), size = r.U32(sh + kShSize);
    const std::uint64_t name = r.U32(shoff + std::uint64_t{index} * shentsize + kShName);
    if (!r.Holds(strings, size) || name >= size) return number;
    std::string text;
    for (std::uint64_t at = strings + name; at < strings + size && *r.At(at) != 0 && text.size() < 64; ++at) {
        const std::uint8_t c = *r.At(at);
        if (c < 0x20 || c >= 0x7F) return number;
        text += static_cast<char>(c);
    }
    return text.empty() ? number : number + " (" + text + ")";
}

// A table of `count` entries of `entrySize` bytes at `offset`.
bool TableFits(const Reader& r, std::uint64_t offset, std::uint64_t entrySize, std::uint64_t count) {
    return r.Holds(offset, entrySize * count);
}

}  // namespace

FirmwareFile ReadElf(std::span<const std::uint8_t> bytes) {
    FirmwareFile file;
    file.format = FirmwareFormat::Elf;
    const Reader r(bytes);
    if (r.size() < kEhdrSize)
        return file.Fail(1, AtOffset(0, Format("%llu bytes, too short for an ELF header (52)",
                                              static_cast<unsigned long long>(r.size()))));
    if (!(bytes[0] == 0x7F && bytes[1] == 'E' && bytes[2] == 'L' && bytes[3] == 'F'))
        return file.Fail(1, AtOffset(0, "not an ELF file (no 7F 'E' 'L' 'F' at its start)"));
    if (bytes[kEiClass] == kClass64)
        return file.Fail(1, AtOffset(kEiClass, "a 64-bit ELF file; ARM and MSP430 executables are 32-bit"));
    if (bytes[kEiClass] != kClass32)
        return file.Fail(1, AtOffset(kEiClass, Format("ELF class %u, which is neither 32 nor 64-bit",
                                                      unsigned{bytes[kEiClass]})));
    if (bytes[kEiData] != kDataLittle)
        return file.Fail(1, AtOffset(kEiData, "a big-endian ELF file; ARM and MSP430 executables are little-endian"));
    const std::uint16_t type = r.U16(kEType);
    if (type == kTypeRel)
        return file.Fail(1, AtOffset(kEType, "a relocatable object (.o), not a linked executable"));
    if (type != kTypeExec)
        return file.Fail(1, AtOffset(kEType, Format("ELF type %u, not an executable (2)", unsigned{type})));
    const std::uint16_t machine = r.U16(kEMachine);
    if (machine != kMachineArm && machine != kMachineMsp430)
        return file.Fail(1, AtOffset(kEMachine, Format("built for machine %u, not for ARM (40) or MSP430 (105)",
                                                       unsigned{machine})));

    const std::uint32_t phoff = r.U32(kEPhoff);
    const std::uint16_t phentsize = r.U16(kEPhentsize);
    const std::uint16_t phnum = r.U16(kEPhnum);
    if (phnum != 0 && phentsize < kPhdrSize)
        return file.Fail(1, AtOffset(kEPhentsize, Format("program headers of %u bytes, fewer than 32",
                                                         unsigned{phentsize})));
    if (phnum != 0 && !TableFits(r, phoff, phentsize, phnum))
        return file.Fail(1, AtOffset(phoff, Format("%u program headers reach past the end of the file",
                                                   unsigned{phnum})));

    // Sections, when the file has them, say which bytes of a segment are
    // the program's.
    const std::uint32_t shoff = r.U32(kEShoff);
    const std::uint16_t shentsize = r.U16(kEShentsize);
    std::uint16_t shnum = r.U16(kEShnum);
    if (shoff == 0) shnum = 0;
    if (shnum != 0 && shentsize < kShdrSize)
        return file.Fail(1, AtOffset(kEShentsize, Format("section headers of %u bytes, fewer than 40",
                                                         unsigned{shentsize})));
    if (shnum != 0 && !TableFits(r, shoff, shentsize, shnum))
        return file.Fail(1, AtOffset(shoff, Format("%u section headers reach past the end of the file",
                                                   unsigned{shnum})));
    struct Section {
        std::uint64_t begin, end;  // file offsets
        std::uint16_t index;
    };
    std::vector<Section> sections;
    for (std::uint16_t s = 0; s < shnum; ++s) {
        const std::uint64_t sh = std::uint64_t{shoff} + std::uint64_t{s} * shentsize;
        const std::uint32_t shType = r.U32(sh + kShType);
        if (shType == kShtNobits || shType == kShtNull || !(r.U32(sh + kShFlags) & kShfAlloc)) continue;
        const std::uint64_t begin = r.U32(sh + kShOffset), size = r.U32(sh + kShSize);
        if (!r.Holds(begin, size))
            return file.Fail(1, AtOffset(sh, Format("section %u reaches past the end of the file", unsigned{s})));
        if (size != 0) sections.push_back({begin, begin + size, s});
    }

    std::size_t loads = 0;
    for (std::uint16_t p = 0; p < phnum; ++p)
        loads += r.U32(std::uint64_t{phoff} + std::uint64_t{p} * phentsize + kPType) == kPtLoad;
    // Real executables have a handful of each; this bounds the work that a
    // damaged file can ask for.
    if (loads * std::max<std::size_t>(sections.size(), 1) > kMaxSegmentSectionPairs)
        return file.Fail(1, AtOffset(phoff, Format("%llu loadable segments and %llu sections, more than an "
                                                   "executable for a flash has",
                                                   static_cast<unsigned long long>(loads),
                                                   static_cast<unsigned long long>(sections.size()))));

    // Bytes taken twice would let a small file claim a huge image.
    std::uint64_t taken = 0;
    auto take = [&](std::uint64_t address, std::uint64_t at, std::uint64_t n, std::uint64_t ph) {
        taken += n;
        if (taken > r.size()) {
            file.Fail(1, AtOffset(ph, "the segments take the same bytes of the file more than once"));
            return false;
        }
        file.Add(static_cast<std::uint32_t>(address), AddressKind::Absolute, r.At(at), n, 0);
        return true;
    };

    // The file bytes of the loadable segments, in the Section form.
    std::vector<Section> loadBytes;
    for (std::uint16_t p = 0; p < phnum; ++p) {
        const std::uint64_t ph = std::uint64_t{phoff} + std::uint64_t{p} * phentsize;
        if (r.U32(ph + kPType) != kPtLoad) continue;
        const std::uint64_t offset = r.U32(ph + kPOffset);
        const std::uint64_t filesz = r.U32(ph + kPFilesz);
        const std::uint64_t paddr = r.U32(ph + kPPaddr);
        if (filesz == 0) continue;
        if (!r.Holds(offset, filesz))
            return file.Fail(1, AtOffset(ph, Format("segment %u: its %llu bytes at file offset 0x%llX reach past "
                                                    "the end of the file",
                                                    unsigned{p}, static_cast<unsigned long long>(filesz),
                                                    static_cast<unsigned long long>(offset))));
        if (paddr + filesz > 0x100000000ull)
            return file.Fail(1, AtOffset(ph, Format("segment %u: its %llu bytes from %s run past 0xFFFFFFFF",
                                                    unsigned{p}, static_cast<unsigned long long>(filesz),
                                                    FormatFlashAddress(paddr).c_str())));
        loadBytes.push_back({offset, offset + filesz, p});
        if (shnum == 0) {
            if (!take(paddr, offset, filesz, ph)) return file;
            continue;
        }
        for (const Section& section : sections) {
            // The part of the section inside the segment's file bytes.
            const std::uint64_t begin = std::max(section.begin, offset);
            const std::uint64_t end = std::min(section.end, offset + filesz);
            if (begin < end && !take(paddr + (begin - offset), begin, end - begin, ph)) return file;
        }
    }
    // Bytes of the program that no loadable segment holds have no load
    // address: they are not written, and the user is told so. The file is
    // still taken, as the segments say what a loader puts where, and
    // linkers leave sections out of them on purpose (a region not meant for
    // the flash).
    constexpr std::size_t kNamedSections = 4;  // a damaged file could have thousands
    std::size_t unnamed = 0;
    for (const Section& section : sections) {
        std::uint64_t missing = section.end - section.begin;
        for (const Section& segment : loadBytes) {
            const std::uint64_t begin = std::max(section.begin, segment.begin);
            const std::uint64_t end = std::min(section.end, segment.end);
            if (begin < end) missing -= std::min(missing, end - begin);
        }
        if (missing == 0) continue;
        if (file.warnings.size() == kNamedSections) {
            ++unnamed;
            continue;
        }
        file.warnings.push_back(SectionName(r, shoff, shentsize, shnum, section.index) +
                                Format(": %llu of its %llu bytes lie in no loadable segment and are not written",
                                       static_cast<unsigned long long>(missing),
                                       static_cast<unsigned long long>(section.end - section.begin)));
    }
    if (unnamed != 0)
        file.warnings.push_back(Format("%llu more sections lie in no loadable segment",
                                       static_cast<unsigned long long>(unnamed)));
    return file;
}

}  // namespace quennet
