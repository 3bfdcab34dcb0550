#include "loader/Stm32Program.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "loader/FirmwareCheck.h"

namespace quennet {

const char* const kStm32Ruler[5] = {
    "0   0   1   1   2   2   3   3   4   4   5   5   6   6   7   7  7",
    "0   8   0   8   0   8   0   8   0   8   0   8   0   8   0   8  F",
    "0   0   0   0   0   0   0   0   0   0   0   0   0   0   0   0  F",
    "0   0   0   0   0   0   0   0   0   0   0   0   0   0   0   0  F",
    "0   0   0   0   0   0   0   0   0   0   0   0   0   0   0   0  F",
};

namespace {

struct ProductName {
    int id;
    const char* format;
};

constexpr ProductName kProducts[] = {
    {0x0410, "ID: %04X (Medium-density device)"},
    {0x0412, "ID: %04X (Low-density device)"},
    {0x0414, "ID: %04X (High-density device)"},
    {0x0418, "ID: %04X STM32F105xx/STM32F107xx (Connectivity device)"},
    {0x0420, "ID: %04X STM32F100xx"},
    {0x0641, "ID: %04X STM32F101RB"},
};

using BlockOp = std::function<int(std::uint32_t, const std::uint8_t*, std::size_t)>;

int RunPass(Loader& loader, const BlockOp& block) {
    const FirmwareImage& image = loader.Image();
    const std::size_t end = image.size();
    std::size_t a = 0;
    std::size_t mark = 0;
    while (a < end) {
        if (image[a] == FirmwareImage::kBlank) {
            ++a;
        } else {
            // The bootloader writes flash in words: a block starts on a
            // 4-byte boundary, which also keeps blocks from overlapping
            // because each one ends on such a boundary.
            a &= ~std::size_t{3};
            // A stop request ends the pass between blocks, never inside one.
            if (loader.StopRequested()) return kPassStopped;
            // A block near the end is cut at the end of the image (and of
            // the flash), still a whole number of words.
            const std::size_t count = std::min(Stm32Link::kMaxBlock, end - a);
            if (block(kStm32FlashBase + static_cast<std::uint32_t>(a), image.data() + a, count) != 0)
                return 1;
            // Let the window repaint and take clicks between blocks.
            loader.ProcessMessages();
            loader.Port().clock().Sleep(0);
            a += count;
        }
        if (a > mark) {
            loader.AppendText("^");
            loader.RefreshLog();
            mark += kStm32PageBytes;
        }
    }
    return 0;
}

}  // namespace

std::string Stm32IdText(int productId, bool& known) {
    const char* format = "ID: %04X ERROR: Wrong ID.";
    known = false;
    for (const ProductName& p : kProducts) {
        if (p.id == productId) {
            format = p.format;
            known = true;
        }
    }
    char text[96];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(productId));
    return text;
}

int Stm32ProgramPass(Loader& loader, Stm32Link& link) {
    return RunPass(loader, [&link](std::uint32_t address, const std::uint8_t* bytes, std::size_t n) {
        return link.Stm32WriteBlock(address, bytes, n);
    });
}

int Stm32VerifyPass(Loader& loader, Stm32Link& link) {
    return RunPass(loader, [&link](std::uint32_t address, const std::uint8_t* bytes, std::size_t n) {
        return link.Stm32VerifyBlock(address, bytes, n);
    });
}

int ProgramStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    if (!loader.LoadFirmware(inputs, kStm32FlashWindow)) return 1;
    loader.AddLine(kLineFileLoaded);
    if (loader.OpenPortForTarget(baud) != 0) return 1;  // the port stays closed
    loader.RefreshLog();

    // From here on every failure hands the port back to the terminal.
    auto fail = [&loader](const char* line) {
        if (line) loader.AddLine(line);
        loader.RestoreTerminalPort();
        return 1;
    };

    Stm32Link link(loader.Port(), [&loader] { loader.ProcessMessages(); });
    switch (link.Stm32Connect()) {
    case Stm32Link::kConnected:
        break;
    case Stm32Link::kPortNotOpen:
        return fail(kLineNoPort);
    default:
        return fail("ERROR: Failed to Sync with Target, verify Power and Connection.");
    }
    loader.AddLine("BSL Enter ...");
    loader.RefreshLog();

    int version = 0;
    if (link.Stm32Get(version) != 0) return fail("ERROR: Can't get Bootloader version.");
    loader.AppendText("Bootloader Version: " + std::to_string(version >> 4) + "." +
                      std::to_string(version & 0x0F));
    loader.AddLine("");

    int id0 = 0, id1 = 0;
    if (link.Stm32GetId(id0, id1) != 0) return fail("ERROR: Can't get ID.");
    bool known = false;
    loader.AppendText(Stm32IdText(id0 * 256 + id1, known));
    if (!known) return fail(nullptr);  // the ID line says what is wrong

    loader.AddLine("Erasing ...");
    loader.RefreshLog();
    if (link.Stm32EraseAll() != 0) return fail("ERROR: Erasing Failure.");

    loader.AddLine("Programming ...");
    loader.RefreshLog();
    for (const char* ruler : kStm32Ruler) loader.AddLine(ruler);
    loader.AddLine("");
    for (std::size_t page = 0; page < loader.Image().size() / kStm32PageBytes; ++page)
        loader.AppendText(loader.Image().HasData(page * kStm32PageBytes, kStm32PageBytes) ? "*" : "-");
    loader.AddLine("");

    const int written = Stm32ProgramPass(loader, link);
    if (written != 0) return fail(written == kPassStopped ? kLineStopped : "ERROR: Programming error.");

    if (inputs.verify) {
        loader.AddLine("Verify ...");
        loader.RefreshLog();
        loader.AddLine("");
        const int verified = Stm32VerifyPass(loader, link);
        if (verified != 0) return fail(verified == kPassStopped ? kLineStopped : "ERROR: Verify error.");
    }

    loader.RestoreTerminalPort();  // a failed restore is reported, the run stays good
    loader.AddLine("PROGRAM OK in ");
    loader.AppendText(FormatElapsed(loader.ElapsedMs()));
    return 0;
}

}  // namespace quennet
