// The table of STM32 parts, the choice of what to erase, and the ruler over
// the page map.
#include "loader/Stm32Parts.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <string>
#include <utility>
#include <vector>

#include "loader/Stm32Program.h"

namespace quennet {
namespace {

using Pages = std::vector<std::uint16_t>;

TEST(Stm32Parts, EachIdOnceAndItsPagesTileTheFlash) {
    std::set<int> ids;
    for (const Stm32Part& part : Stm32Parts()) {
        SCOPED_TRACE(part.name);
        EXPECT_TRUE(ids.insert(part.productId).second);
        EXPECT_EQ(FindStm32Part(part.productId), &part);
        // Pages numbered 0, 1, 2, ... follow each other without a gap up to
        // the end of the flash.
        std::uint32_t end = 0;
        const std::vector<Stm32Page> pages = Stm32PageList(part);
        for (std::size_t i = 0; i < pages.size(); ++i) {
            EXPECT_EQ(pages[i].number, i);
            EXPECT_EQ(pages[i].offset, end);
            end += pages[i].bytes;
        }
        EXPECT_EQ(end, part.flashBytes);
        // A block of 256 bytes is a whole number of write units.
        EXPECT_EQ(256 % part.writeUnit, 0u);
    }
    EXPECT_EQ(FindStm32Part(0x0999), nullptr);
}

TEST(Stm32Parts, ErasesOnlyTheTouchedPagesWhenThatIsQuicker) {
    struct Case {
        int id;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> data;  // [begin, end) offsets
        bool oneByteNumbers;
        bool global;
        Pages pages;
        bool blank = false;  // the file sets the bytes to 0xFF
    };
    const Case cases[] = {
        // F4 sectors: 16 KiB at 250 ms beats the 8 s mass erase; the whole
        // megabyte (8.55 s of sectors) does not.
        {0x413, {{0x0, 0x100}}, false, false, {0}},
        {0x413, {{0x4000, 0x4001}, {0x20000, 0x20001}}, false, false, {1, 5}},
        // Covered with 0xFF only: erased all the same.
        {0x413, {{0x4000, 0x4001}, {0x20000, 0x20001}}, false, false, {1, 5}, true},
        {0x413, {{0x0, 0x100000}}, false, true, {}},
        // Nothing covered: the part is erased, as the program's own STM32 targets do.
        {0x413, {}, false, true, {}},
        // F1: a page takes as long as the whole flash.
        {0x414, {{0x800, 0x900}}, true, false, {1}},
        {0x414, {{0x0, 0x900}}, true, true, {}},
        // Bank 2 of a dual-bank part, or a page above the one-byte numbers.
        {0x430, {{0x0, 0x10}}, true, false, {0}},
        {0x430, {{0x96000, 0x96010}}, true, true, {}},
        {0x415, {{0x1800, 0x1810}}, false, false, {3}},
        {0x415, {{0x80000, 0x80010}}, false, true, {}},
        {0x419, {{0x100000, 0x100010}}, false, true, {}},
        // H7: 1.1 s sectors against the mass erase.
        {0x450, {{0x20000, 0x60000}}, false, false, {1, 2}},
        {0x450, {{0x0, 0x100000}}, false, true, {}},
    };
    for (const Case& c : cases) {
        const Stm32Part& part = *FindStm32Part(c.id);
        SCOPED_TRACE(std::string(part.name) + " case " + std::to_string(&c - cases));
        FirmwareImage image(part.flashBytes);
        for (const auto& [b, e] : c.data) {
            const std::vector<std::uint8_t> bytes(e - b, c.blank ? 0xFF : 0x5A);
            image.Place(b, bytes.data(), bytes.size());
        }
        const Stm32ErasePlan plan = PlanStm32Erase(part, image, c.oneByteNumbers);
        EXPECT_EQ(plan.global, c.global);
        EXPECT_EQ(plan.pages, c.pages);
    }
    // A single bank of 512 pages: the plain Erase command names pages up to
    // 255 only; above, the part is erased globally.
    Stm32Part big = *FindStm32Part(0x414);
    big.flashBytes = 0x100000;
    big.massEraseMs = 1000;
    big.layout = {Stm32PageRun{512, 0x800, 40, 40}};
    const std::tuple<std::uint32_t, bool, bool, Pages> numbers[] = {
        {255 * 0x800, true, false, {255}},
        {256 * 0x800, true, true, {}},
        {256 * 0x800, false, false, {256}},
    };
    for (const auto& [at, oneByte, global, pages] : numbers) {
        FirmwareImage image(big.flashBytes);
        const std::uint8_t byte = 0;
        image.Place(at, &byte, 1);
        const Stm32ErasePlan plan = PlanStm32Erase(big, image, oneByte);
        EXPECT_EQ(plan.global, global) << at;
        EXPECT_EQ(plan.pages, pages) << at;
    }
    // The ACK waits: twice the longest time, a second more.
    EXPECT_EQ(Stm32EraseWaitMs(*FindStm32Part(0x413), {1, 5}), 2 * (500 + 2000) + 1000);
    EXPECT_EQ(Stm32MassEraseWaitMs(*FindStm32Part(0x413)), 33000);
}

// A smaller member of a family keeps the first pages or sectors of each
// bank, up to the size its register gives.
TEST(Stm32Parts, ASmallerPartTakesTheFirstPagesOfEachBank) {
    struct Case {
        int id;
        std::uint32_t bytes;
        std::size_t pages;
        std::uint32_t lastOffset;
    };
    const Case cases[] = {
        {0x413, 0x80000, 8, 0x60000},   {0x413, 0x60000, 7, 0x40000}, {0x413, 0x100000, 12, 0xE0000},
        {0x413, 0x200000, 12, 0xE0000}, {0x414, 0x40000, 128, 0x3F800}, {0x415, 0x80000, 256, 0x7F800},
        {0x450, 0x20000, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.id) + " " + std::to_string(c.bytes));
        const Stm32Part part = Stm32PartOfSize(*FindStm32Part(c.id), c.bytes);
        const std::vector<Stm32Page> pages = Stm32PageList(part);
        EXPECT_EQ(pages.size(), c.pages);
        EXPECT_EQ(pages.back().offset, c.lastOffset);
        EXPECT_EQ(part.flashBytes, std::min(c.bytes, FindStm32Part(c.id)->flashBytes));
    }
}

TEST(Stm32Parts, TheRulerSpellsTheColumnsOfAnyFlashSize) {
    // 512 KiB: the ruler of the program's own STM32 targets.
    const std::vector<std::string> own(std::begin(kStm32Ruler), std::end(kStm32Ruler));
    EXPECT_EQ(Stm32RulerLines(0x80000), own);
    EXPECT_EQ(Stm32MapColumnBytes(0x80000), kStm32PageBytes);

    struct Case {
        std::size_t flash;
        std::size_t column;
        std::string at4;    // column 4 read top to bottom
        std::string at60;
        std::string last;   // column 63
    };
    const Case cases[] = {
        {0x8000, 0x200, "0800", "7800", "7FFF"},
        {0x100000, 0x4000, "10000", "F0000", "FFFFF"},
        {0x180000, 0x6000, "018000", "168000", "17FFFF"},
        {0x200000, 0x8000, "020000", "1E0000", "1FFFFF"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> lines = Stm32RulerLines(c.flash);
        EXPECT_EQ(Stm32MapColumnBytes(c.flash), c.column);
        std::string at0, at4, at60, last;
        for (const std::string& l : lines) {
            ASSERT_EQ(l.size(), kStm32MapColumns);
            at0 += l[0];
            at4 += l[4];
            at60 += l[60];
            last += l[63];
            EXPECT_EQ(l[1], ' ');
        }
        EXPECT_EQ(at0, std::string(c.last.size(), '0'));
        EXPECT_EQ(at4, c.at4);
        EXPECT_EQ(at60, c.at60);
        EXPECT_EQ(last, c.last);
    }
}

}  // namespace
}  // namespace quennet
