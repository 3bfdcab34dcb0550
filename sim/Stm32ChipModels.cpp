#include "Stm32ChipModels.h"

namespace quennet {

namespace {

constexpr std::uint32_t K = 1024;

using Overwrite = Stm32ChipModel::Overwrite;
constexpr Overwrite Clears = Overwrite::ClearsBits;
constexpr Overwrite HalfWord = Overwrite::HalfWordError;
constexpr Overwrite Unit = Overwrite::UnitError;
constexpr Overwrite Once = Overwrite::UnitOnce;

// Flash size data registers: RM0008 (F1), RM0360 (F030), RM0090 (F4),
// RM0385 (F74x), RM0444 (G0), RM0440 (G4), RM0351 (L4), RM0433 (H7).
constexpr std::uint32_t kF1Size = 0x1FFFF7E0;
constexpr std::uint32_t kF0F3Size = 0x1FFFF7CC;
constexpr std::uint32_t kF2F4Size = 0x1FFF7A22;
constexpr std::uint32_t kF7Size = 0x1FF0F442;
constexpr std::uint32_t kGLSize = 0x1FFF75E0;
constexpr std::uint32_t kH7Size = 0x1FF1E880;

// Sector layout of the F4's first megabyte (RM0090), erase times of the
// F405/F407 data sheet at 32-bit parallelism (typical): 16 KiB 250 ms,
// 64 KiB 550 ms, 128 KiB 1 s; mass erase 8 s; a word in 16 us.
const std::vector<Stm32ChipModel::Pages> kF4Sectors = {{4, 16 * K, 250000}, {1, 64 * K, 550000}, {7, 128 * K, 1000000}};

const std::vector<Stm32ChipModel> kModels = {
    // STM32F103xC/D/E (DS5792): 2 KiB pages, page and mass erase 40 ms at
    // most, 52.5 us a half-word.
    {0x414, "STM32F103ZE", 0x22, false, {{256, 2 * K, 40000}}, 1, 40000, 4, 105000, HalfWord, 64 * K, 0x200, kF1Size},
    // STM32F103xF/G, XL density: two banks of 256 pages; the global erase
    // clears one bank after the other.
    {0x430, "STM32F103ZG", 0x22, false, {{256, 2 * K, 40000}}, 2, 80000, 4, 105000, HalfWord, 96 * K, 0x800, kF1Size},
    // STM32F030x8 (DS9773): 1 KiB pages, 40 ms a page or the whole flash,
    // 53.5 us a half-word.
    {0x440, "STM32F030C8", 0x31, true, {{64, 1 * K, 40000}}, 1, 40000, 4, 107000, HalfWord, 8 * K, 0x800, kF0F3Size},
    {0x413, "STM32F407VG", 0x31, true, kF4Sectors, 1, 8000000, 4, 16000, Clears, 128 * K, 0x3000, kF2F4Size},
    // STM32F42x/43x with 2 MiB: sectors 12 to 23 in bank 2.
    {0x419, "STM32F429ZI", 0x31, true, kF4Sectors, 2, 8000000, 4, 16000, Clears, 192 * K, 0x3000, kF2F4Size},
    // STM32F74x/75x (RM0385): 32 KiB, 128 KiB and 256 KiB sectors.
    {0x449, "STM32F746NG", 0x31, true, {{4, 32 * K, 250000}, {1, 128 * K, 1000000}, {3, 256 * K, 2000000}}, 1,
     8000000, 4, 16000, Clears, 320 * K, 0x4000, kF7Size},
    // STM32G07x (DS12232): 2 KiB pages, 22 ms a page or the whole flash,
    // 85 us a double word; ECC on each double word.
    {0x460, "STM32G071RB", 0x31, true, {{64, 2 * K, 22000}}, 1, 22000, 8, 85000, Unit, 36 * K, 0x2700, kGLSize},
    // STM32G431 (DS12589): as the G0, 82 us a double word.
    {0x468, "STM32G431KB", 0x31, true, {{64, 2 * K, 22000}}, 1, 22000, 8, 82000, Unit, 32 * K, 0x4000, kGLSize},
    // STM32L47x/48x (DS10198): two banks of 256 pages of 2 KiB, 22 ms a
    // page or a bank, 82 us a double word.
    {0x415, "STM32L476RG", 0x31, true, {{256, 2 * K, 22000}}, 2, 22000, 8, 82000, Unit, 96 * K, 0x3000, kGLSize},
    // STM32H74x/75x (DS12110): two banks of eight 128 KiB sectors, 1.1 s a
    // sector at 32-bit parallelism; 256-bit flash words with ECC.
    {0x450, "STM32H743ZI", 0x31, true, {{8, 128 * K, 1100000}}, 2, 8000000, 32, 100000, Once, 128 * K, 0x4100, kH7Size},
};

}  // namespace

std::uint32_t Stm32ChipModel::FlashSize() const {
    std::uint32_t size = 0;
    for (const Pages& p : bank) size += p.count * p.bytes;
    return size * static_cast<std::uint32_t>(banks);
}

std::size_t Stm32ChipModel::PageCount() const {
    std::size_t n = 0;
    for (const Pages& p : bank) n += p.count;
    return n * static_cast<std::size_t>(banks);
}

std::span<const Stm32ChipModel> Stm32ChipModels() { return kModels; }

const Stm32ChipModel& DefaultStm32ChipModel() { return kModels.front(); }

const Stm32ChipModel* FindStm32ChipModel(std::uint16_t productId) {
    for (const Stm32ChipModel& m : kModels)
        if (m.productId == productId) return &m;
    return nullptr;
}

}  // namespace quennet
