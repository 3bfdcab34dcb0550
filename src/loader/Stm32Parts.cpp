#include "loader/Stm32Parts.h"

#include <algorithm>

namespace quennet {

namespace {

constexpr std::uint32_t KiB = 1024;

// Erase times from the families' data sheets. F0, F1 and F3 give only a
// maximum (40 ms a page, 40 ms for the whole flash), used as typical too.
// F2, F4, F7 and H7 at the 32-bit parallelism their bootloaders program
// with (2.7 V to 3.6 V). G0 and G4: 22 ms typical, 40 ms at most; L4: 22 ms
// and 25 ms; both for a page and for the whole flash.
constexpr Stm32PageRun Paged(std::uint16_t n, std::uint32_t bytes) { return {n, bytes, 40, 40}; }
constexpr Stm32PageRun PagedG(std::uint16_t n) { return {n, 2 * KiB, 22, 40}; }
constexpr Stm32PageRun PagedL(std::uint16_t n) { return {n, 2 * KiB, 22, 25}; }
constexpr Stm32PageRun S16(std::uint16_t n) { return {n, 16 * KiB, 250, 500}; }
constexpr Stm32PageRun S32(std::uint16_t n) { return {n, 32 * KiB, 250, 500}; }
constexpr Stm32PageRun S64(std::uint16_t n) { return {n, 64 * KiB, 550, 1100}; }
constexpr Stm32PageRun S128(std::uint16_t n) { return {n, 128 * KiB, 1000, 2000}; }
constexpr Stm32PageRun S256(std::uint16_t n) { return {n, 256 * KiB, 2000, 4000}; }
constexpr Stm32PageRun H7Sector(std::uint16_t n) { return {n, 128 * KiB, 1100, 2200}; }

// The flash size data registers, as the families' reference manuals place
// them: RM0091 (F0), RM0316 (F3), RM0008 (F1), RM0033 (F2), RM0090 (F4),
// RM0385 and RM0410 (F74x to F77x), RM0431 (F72x/F73x), RM0444 (G0),
// RM0440 (G4), RM0351 (L4), RM0433 and RM0468 (H7).
constexpr std::uint32_t kSizeF0F3 = 0x1FFFF7CC;
constexpr std::uint32_t kSizeF1 = 0x1FFFF7E0;
constexpr std::uint32_t kSizeF2F4 = 0x1FFF7A22;
constexpr std::uint32_t kSizeF7 = 0x1FF0F442;
constexpr std::uint32_t kSizeF72 = 0x1FF07A22;
constexpr std::uint32_t kSizeGL = 0x1FFF75E0;
constexpr std::uint32_t kSizeH7 = 0x1FF1E880;

// Families' common rows: name, size, layout.
constexpr Stm32Part F013(std::uint16_t id, const char* name, std::uint32_t sizeRegister, std::uint32_t kib,
                         std::uint32_t pageKib, std::uint8_t banks = 1, std::uint32_t massMs = 40) {
    const auto pages = static_cast<std::uint16_t>(kib / pageKib / banks);
    return {id, name, kib * KiB, false, banks, 4, massMs, massMs, {Paged(pages, pageKib * KiB)}, sizeRegister};
}
constexpr Stm32Part F47(std::uint16_t id, const char* name, std::uint32_t kib, std::uint8_t banks,
                        std::array<Stm32PageRun, 3> layout, std::uint32_t sizeRegister = kSizeF2F4) {
    return {id, name, kib * KiB, true, banks, 4, 8000, 16000, layout, sizeRegister};
}
constexpr Stm32Part GL(std::uint16_t id, const char* name, std::uint32_t kib, std::uint8_t banks, bool l4) {
    const auto pages = static_cast<std::uint16_t>(kib / 2 / banks);
    return {id, name, kib * KiB, false, banks, 8, 22, l4 ? 25u : 40u, {l4 ? PagedL(pages) : PagedG(pages)}, kSizeGL};
}

constexpr std::array<Stm32PageRun, 3> kF4OneMiB{S16(4), S64(1), S128(7)};
constexpr std::array<Stm32PageRun, 3> kF4HalfMiB{S16(4), S64(1), S128(3)};

// Product IDs and names as ST's note on the system memory boot mode lists
// them; flash organisation from each line's reference manual.
constexpr Stm32Part kParts[] = {
    F013(0x444, "STM32F03xx4/6", kSizeF0F3, 32, 1),
    F013(0x440, "STM32F05xxx/F030x8", kSizeF0F3, 64, 1),
    F013(0x445, "STM32F04xxx/F070x6", kSizeF0F3, 32, 1),
    F013(0x448, "STM32F070xB/F071xx/F072xx", kSizeF0F3, 128, 2),
    F013(0x442, "STM32F030xC/F09xxx", kSizeF0F3, 256, 2),
    F013(0x412, "STM32F10xxx low-density", kSizeF1, 32, 1),
    F013(0x410, "STM32F10xxx medium-density", kSizeF1, 128, 1),
    F013(0x414, "STM32F10xxx high-density", kSizeF1, 512, 2),
    // Two banks of 256 pages; the global erase clears one after the other.
    F013(0x430, "STM32F10xxx XL-density", kSizeF1, 1024, 2, 2, 80),
    F013(0x418, "STM32F105xx/107xx connectivity line", kSizeF1, 256, 2),
    F013(0x420, "STM32F100xx medium-density value line", kSizeF1, 128, 1),
    F013(0x428, "STM32F100xx high-density value line", kSizeF1, 512, 2),
    F47(0x411, "STM32F2xxxx", 1024, 1, kF4OneMiB),
    F013(0x439, "STM32F301xx/302x4(6/8)/318xx", kSizeF0F3, 64, 2),
    F013(0x438, "STM32F303x4(6/8)/334xx/328xx", kSizeF0F3, 64, 2),
    F013(0x422, "STM32F302xB(C)/303xB(C)/358xx", kSizeF0F3, 256, 2),
    F013(0x432, "STM32F373xx/378xx", kSizeF0F3, 256, 2),
    F013(0x446, "STM32F302xD(E)/303xD(E)/398xx", kSizeF0F3, 512, 2),
    F47(0x413, "STM32F40xxx/41xxx", 1024, 1, kF4OneMiB),
    F47(0x419, "STM32F42xxx/43xxx", 2048, 2, kF4OneMiB),
    F47(0x423, "STM32F401xB(C)", 256, 1, {S16(4), S64(1), S128(1)}),
    F47(0x433, "STM32F401xD(E)", 512, 1, kF4HalfMiB),
    F47(0x458, "STM32F410xx", 128, 1, {S16(4), S64(1)}),
    F47(0x431, "STM32F411xx", 512, 1, kF4HalfMiB),
    F47(0x441, "STM32F412xx", 1024, 1, kF4OneMiB),
    F47(0x421, "STM32F446xx", 512, 1, kF4HalfMiB),
    F47(0x434, "STM32F469xx/479xx", 2048, 2, kF4OneMiB),
    F47(0x463, "STM32F413xx/423xx", 1536, 1, {S16(4), S64(1), S128(11)}),
    F47(0x452, "STM32F72xxx/73xxx", 512, 1, kF4HalfMiB, kSizeF72),
    F47(0x449, "STM32F74xxx/75xxx", 1024, 1, {S32(4), S128(1), S256(3)}, kSizeF7),
    F47(0x451, "STM32F76xxx/77xxx", 2048, 1, {S32(4), S128(1), S256(7)}, kSizeF7),
    GL(0x466, "STM32G03xxx/04xxx", 64, 1, false),
    GL(0x456, "STM32G05xxx/061xx", 64, 1, false),
    GL(0x460, "STM32G07xxx/08xxx", 128, 1, false),
    GL(0x467, "STM32G0B0xx/B1xx/C1xx", 512, 2, false),
    GL(0x468, "STM32G431xx/441xx", 128, 1, false),
    GL(0x469, "STM32G47xxx/48xxx", 512, 2, false),
    GL(0x479, "STM32G491xx/4A1xx", 512, 1, false),
    {0x450, "STM32H74xxx/75xxx", 2048 * KiB, true, 2, 32, 8000, 16000, {H7Sector(8)}, kSizeH7},
    {0x483, "STM32H72xxx/73xxx", 1024 * KiB, true, 1, 32, 8000, 16000, {H7Sector(8)}, kSizeH7},
    GL(0x464, "STM32L41xxx/42xxx", 128, 1, true),
    GL(0x435, "STM32L43xxx/44xxx", 256, 1, true),
    GL(0x462, "STM32L45xxx/46xxx", 512, 1, true),
    GL(0x415, "STM32L47xxx/48xxx", 1024, 2, true),
    GL(0x461, "STM32L496xx/4A6xx", 1024, 2, true),
};

constexpr bool LayoutsFill() {
    std::uint32_t largest = 0;
    for (const Stm32Part& p : kParts) {
        std::uint32_t bank = 0;
        for (const Stm32PageRun& r : p.layout) bank += r.count * r.bytes;
        if (bank * p.banks != p.flashBytes) return false;
        largest = std::max(largest, p.flashBytes);
    }
    return largest == kStm32MaxFlashBytes;
}
static_assert(LayoutsFill(), "every layout covers its flash, the largest flash is kStm32MaxFlashBytes");

}  // namespace

std::span<const Stm32Part> Stm32Parts() { return kParts; }

const Stm32Part* FindStm32Part(int productId) {
    for (const Stm32Part& p : kParts)
        if (p.productId == productId) return &p;
    return nullptr;
}

std::vector<Stm32Page> Stm32PageList(const Stm32Part& part) {
    std::vector<Stm32Page> list;
    std::uint32_t offset = 0;
    for (int bank = 0; bank < part.banks; ++bank) {
        for (const Stm32PageRun& r : part.layout) {
            for (std::uint16_t i = 0; i < r.count; ++i) {
                list.push_back({static_cast<std::uint16_t>(list.size()), offset, r.bytes, r.eraseMs, r.eraseMaxMs});
                offset += r.bytes;
            }
        }
    }
    return list;
}

const char* Stm32PageWord(const Stm32Part& part, bool plural) {
    if (part.sectors) return plural ? "sectors" : "sector";
    return plural ? "pages" : "page";
}

Stm32Part Stm32PartOfSize(const Stm32Part& family, std::uint32_t bytes) {
    Stm32Part part = family;
    if (bytes == 0 || bytes >= family.flashBytes) return part;
    part.flashBytes = bytes;
    // A member too small to split into two banks of whole sectors has one
    // (the H750's 128 KiB in the H74x/75x line).
    if (part.banks > 1 && bytes / part.banks < part.layout[0].bytes) part.banks = 1;
    // Each bank keeps the first runs of its layout up to its share; a page
    // cut by the end counts whole.
    std::uint64_t left = bytes / part.banks;
    for (Stm32PageRun& run : part.layout) {
        const std::uint64_t fit = run.bytes == 0 ? 0 : (left + run.bytes - 1) / run.bytes;
        run.count = static_cast<std::uint16_t>(std::min<std::uint64_t>(run.count, fit));
        left -= std::min<std::uint64_t>(left, std::uint64_t{run.count} * run.bytes);
    }
    return part;
}

Stm32ErasePlan PlanStm32Erase(const Stm32Part& part, const FirmwareImage& image, bool oneBytePageNumbers) {
    Stm32ErasePlan plan;
    std::uint64_t pagesMs = 0;
    for (const Stm32Page& p : Stm32PageList(part)) {
        if (!image.HasCoverage(p.offset, p.bytes)) continue;
        // Bank 2's numbers are counted differently from line to line, and
        // the Erase command's numbers stop at 255: erase everything then.
        if (oneBytePageNumbers && p.number > 0xFF) return {};
        if (part.banks > 1 && p.offset >= part.flashBytes / part.banks) return {};
        plan.pages.push_back(p.number);
        pagesMs += p.eraseMs;
    }
    if (plan.pages.empty() || pagesMs > part.massEraseMs) return {};
    plan.global = false;
    return plan;
}

std::vector<Stm32Block> Stm32ValueBlocks(const FirmwareImage& image) {
    std::vector<Stm32Block> blocks;
    const std::size_t end = image.size();
    for (std::size_t a = 0; a < end;) {
        if (image[a] == FirmwareImage::kBlank) {
            ++a;
            continue;
        }
        const std::size_t offset = a - a % 4;
        const std::size_t count = std::min<std::size_t>(256, end - offset);
        blocks.push_back({static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(offset),
                          static_cast<std::uint32_t>(count)});
        a = offset + count;
    }
    return blocks;
}

std::vector<Stm32Block> Stm32CoverageBlocks(const Stm32Part& part, const Stm32ErasePlan& plan,
                                            const FirmwareImage& image, bool readBack) {
    // The stretches of flash the plan erases, in address order.
    const std::vector<Stm32Page> list = Stm32PageList(part);
    std::vector<std::pair<std::size_t, std::size_t>> erased;
    if (plan.global) {
        erased.emplace_back(0, image.size());
    } else {
        for (std::uint16_t n : plan.pages) {
            if (n >= list.size()) continue;
            const std::size_t b = list[n].offset, e = b + list[n].bytes;
            if (!erased.empty() && erased.back().second == b)
                erased.back().second = e;
            else
                erased.emplace_back(b, e);
        }
    }
    const std::size_t unit = readBack ? 1 : part.writeUnit;
    auto needs = [&](std::size_t a) {
        return image.Covered(a) && (readBack || image[a] != FirmwareImage::kBlank);
    };
    std::vector<Stm32Block> blocks;
    for (const auto& [begin, stretchEnd] : erased) {
        const std::size_t end = std::min(stretchEnd, image.size());
        for (std::size_t a = begin; a < end;) {
            if (!needs(a)) {
                ++a;
                continue;
            }
            const std::size_t offset = a - a % unit;
            const std::size_t limit = std::min(offset + 256, end);
            std::size_t last = limit - 1;
            while (!needs(last)) --last;
            const std::size_t count = std::min(limit - offset, (last + 1 - offset + unit - 1) / unit * unit);
            blocks.push_back({static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(offset),
                              static_cast<std::uint32_t>(count)});
            a = offset + count;
        }
    }
    return blocks;
}

int Stm32EraseWaitMs(const Stm32Part& part, const std::vector<std::uint16_t>& pages) {
    const std::vector<Stm32Page> list = Stm32PageList(part);
    std::uint64_t ms = 0;
    for (std::uint16_t n : pages)
        if (n < list.size()) ms += list[n].eraseMaxMs;
    return static_cast<int>(2 * ms + 1000);
}

int Stm32MassEraseWaitMs(const Stm32Part& part) { return static_cast<int>(2 * part.massEraseMaxMs + 1000); }

std::size_t Stm32MapColumnBytes(std::size_t flashBytes) {
    return std::max<std::size_t>(1, (flashBytes + kStm32MapColumns - 1) / kStm32MapColumns);
}

std::vector<std::string> Stm32RulerLines(std::size_t flashBytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    const std::size_t last = flashBytes == 0 ? 0 : flashBytes - 1;
    std::size_t digits = 1;
    while (digits < 16 && (last >> (4 * digits)) != 0) ++digits;
    std::vector<std::string> lines(digits, std::string(kStm32MapColumns, ' '));
    auto spell = [&](std::size_t column, std::size_t value) {
        for (std::size_t d = 0; d < digits; ++d) lines[d][column] = kHex[(value >> (4 * (digits - 1 - d))) & 0xF];
    };
    const std::size_t column = Stm32MapColumnBytes(flashBytes);
    for (std::size_t c = 0; c + 4 <= kStm32MapColumns; c += 4) spell(c, c * column);
    spell(kStm32MapColumns - 1, last);
    return lines;
}

}  // namespace quennet
