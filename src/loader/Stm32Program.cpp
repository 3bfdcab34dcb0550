#include "loader/Stm32Program.h"

#include <algorithm>
#include <cstdio>
#include <functional>

#include "firmware/FirmwareWriter.h"
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

// Sends the blocks in order while walking the image byte by byte, so that
// the marks keep step with the page map: one "^" each time the walk passes
// the start of another map column, at most one per step.
int RunBlocks(Loader& loader, const BlockOp& block, const std::vector<Stm32Block>& blocks) {
    const FirmwareImage& image = loader.Image();
    const std::size_t end = image.size();
    const std::size_t column = Stm32MapColumnBytes(end);
    std::size_t a = 0;
    std::size_t mark = 0;
    std::size_t next = 0;
    while (a < end) {
        if (next < blocks.size() && blocks[next].trigger <= a) {
            const Stm32Block& b = blocks[next++];
            // A stop request ends the pass between blocks, never inside one.
            if (loader.StopRequested()) return kPassStopped;
            if (block(kStm32FlashBase + b.offset, image.data() + b.offset, b.count) != 0) return 1;
            loader.BlockDone();
            // Let the window repaint and take clicks between blocks.
            loader.ProcessMessages();
            loader.Port().clock().Sleep(0);
            a = b.offset + b.count;
        } else {
            ++a;
        }
        if (a > mark) {
            loader.AppendText("^");
            loader.RefreshLog();
            mark += column;
        }
    }
    return 0;
}

using Fail = std::function<int(const std::string&)>;

// The file, then the port at the target's settings; false once a failure
// line is written (the port was not reopened, or stays closed).
bool Begin(Loader& loader, const LoaderInputs& inputs, const FlashWindow& window, std::uint32_t baud) {
    if (!loader.LoadFirmware(inputs, window)) return false;
    loader.AddLine(kLineFileLoaded);
    if (loader.OpenPortForTarget(baud) != 0) return false;
    loader.RefreshLog();
    return true;
}

// From there on every failure adds its line (if any) and hands the port
// back to the terminal.
Fail FailAndRestore(Loader& loader) {
    return [&loader](const std::string& line) {
        if (!line.empty()) loader.AddLine(line);
        loader.RestoreTerminalPort();
        return 1;
    };
}

int Finish(Loader& loader, const char* done = "PROGRAM OK in ") {
    loader.RestoreTerminalPort();  // a failed restore is reported, the run stays good
    AddTimeLine(loader, done);
    return 0;
}

// Connect, GET and GET ID with their lines; the product ID, or -1 once a
// failure line is written.
int Identify(Loader& loader, Stm32Link& link, const Fail& fail) {
    switch (link.Stm32Connect()) {
    case Stm32Link::kConnected:
        break;
    case Stm32Link::kPortNotOpen:
        fail(kLineNoPort);
        return -1;
    default:
        loader.AddLine(kLineStm32NoSync);
        fail(Stm32ExplainNoSync(link.ConnectTrace));
        return -1;
    }
    loader.AddLine("BSL Enter ...");
    loader.RefreshLog();

    int version = 0;
    if (link.Stm32Get(version) != 0) {
        fail("ERROR: Can't get Bootloader version.");
        return -1;
    }
    loader.AppendText("Bootloader Version: " + std::to_string(version >> 4) + "." +
                      std::to_string(version & 0x0F));
    loader.AddLine("");

    int id0 = 0, id1 = 0;
    if (link.Stm32GetId(id0, id1) != 0) {
        fail("ERROR: Can't get ID.");
        return -1;
    }
    return id0 * 256 + id1;
}

// The ruler, the page map, the write pass and the optional read-back,
// over an image the size of the part's flash. The map marks the columns
// the file covers (byCoverage) or those holding data. 0, or 1 once a
// failure line is written.
int WriteAndVerify(Loader& loader, Stm32Link& link, const LoaderInputs& inputs, const std::vector<Stm32Block>& writes,
                   const std::vector<Stm32Block>& reads, bool byCoverage, const Fail& fail) {
    const FirmwareImage& image = loader.Image();
    const std::size_t flash = image.size();
    const std::size_t column = Stm32MapColumnBytes(flash);
    loader.AddLine("Programming ...");
    loader.RefreshLog();
    for (const std::string& ruler : Stm32RulerLines(flash)) loader.AddLine(ruler);
    loader.AddLine("");
    for (std::size_t at = 0; at < flash; at += column)
        loader.AppendText((byCoverage ? image.HasCoverage(at, column) : image.HasData(at, column)) ? "*" : "-");
    loader.AddLine("");

    loader.BeginProgress(writes.size() + (inputs.verify ? reads.size() : 0));
    const int written = Stm32ProgramPass(loader, link, writes);
    if (written != 0) return fail(written == kPassStopped ? kLineStopped : "ERROR: Programming error.");

    if (inputs.verify) {
        loader.AddLine("Verify ...");
        loader.RefreshLog();
        loader.AddLine("");
        const int verified = Stm32VerifyPass(loader, link, reads);
        if (verified != 0) return fail(verified == kPassStopped ? kLineStopped : "ERROR: Verify error.");
    }
    return 0;
}

// Readout Unprotect, which the user asked for; 0 with the protection gone
// and the flash erased, 1 after a failure line.
int Unprotect(Loader& loader, Stm32Link& link, const Stm32Part& part, const Fail& fail) {
    if (!link.Offers(Stm32Link::kCmdReadoutUnprotect))
        return fail("ERROR: This bootloader has no Readout Unprotect command (0x92).");
    loader.AddLine("Removing read-out protection (this erases the whole flash) ...");
    loader.RefreshLog();
    if (link.Stm32ReadoutUnprotect(Stm32MassEraseWaitMs(part)) != 0) return fail("ERROR: Read-out unprotect failed.");
    // The chip resets itself to load its new option bytes.
    if (link.Stm32Resync() != 0) return fail("ERROR: No answer from the bootloader after the unprotect.");
    loader.AddLine("Read-out protection removed; the flash is erased.");
    return 0;
}

// Erases what the plan says, in commands of at most kPagesPerErase pages.
int Erase(Loader& loader, Stm32Link& link, const Stm32Part& part, const Stm32ErasePlan& plan, const Fail& fail) {
    constexpr std::size_t kPagesPerErase = 64;
    const bool extended = link.Offers(Stm32Link::kCmdExtendedErase);
    const std::size_t all = Stm32PageList(part).size();
    if (plan.global) {
        loader.AddLine("Erasing all " + std::to_string(all) + " " + Stm32PageWord(part, all != 1) +
                       " (global erase) ...");
        loader.RefreshLog();
        if (link.Stm32Erase(extended, {}, Stm32MassEraseWaitMs(part)) != 0) return fail("ERROR: Erasing Failure.");
        return 0;
    }
    loader.AddLine("Erasing " + std::to_string(plan.pages.size()) + " of " + std::to_string(all) + " " +
                   Stm32PageWord(part, true) + " ...");
    loader.RefreshLog();
    for (std::size_t i = 0; i < plan.pages.size(); i += kPagesPerErase) {
        const std::vector<std::uint16_t> chunk(
            plan.pages.begin() + static_cast<long>(i),
            plan.pages.begin() + static_cast<long>(std::min(plan.pages.size(), i + kPagesPerErase)));
        if (link.Stm32Erase(extended, chunk, Stm32EraseWaitMs(part, chunk)) != 0) return fail("ERROR: Erasing Failure.");
    }
    return 0;
}

// The part as its flash size register describes it; where the register
// cannot be read or reads what the family does not have, the family's
// largest, and `note` says why.
Stm32Part PartAsRead(Stm32Link& link, const Stm32Part& family, std::string& note) {
    note.clear();
    std::uint8_t reg[2] = {0, 0};
    const int r = link.Stm32ReadMemory(family.flashSizeRegister, reg, sizeof reg);
    const unsigned kib = reg[0] | (reg[1] << 8);
    const std::string stands = ": the family's " + std::to_string(family.flashBytes / 1024) + " KiB stand.";
    if (r == Stm32Link::kRefused)
        note = "The part refused to read its flash size (read-out protection)" + stands;
    else if (r != 0)
        note = "No answer when reading the part's flash size" + stands;
    else if (kib == 0 || kib * 1024u > family.flashBytes)
        note = "The part's flash size reads " + std::to_string(kib) + " KiB, which this family has not" + stands;
    if (!note.empty()) return family;
    return Stm32PartOfSize(family, kib * 1024u);
}

// Places the file into the part's flash; false once the failure line,
// which names the data's range and the flash's size, is written.
bool PlaceIntoPart(Loader& loader, const Stm32Part& part, const Fail& fail) {
    const std::string outside =
        PlaceFirmware(loader.Firmware(), FlashWindow{kStm32FlashBase, part.flashBytes}, loader.Image());
    if (outside.empty()) return true;
    fail("ERROR: The firmware does not fit this part's " + std::to_string(part.flashBytes / 1024) +
         " KiB of flash: " + outside + ".");
    return false;
}

std::string Hex2(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFF);
    return text;
}

// The port, the bootloader, the part and its size as the part reads it,
// for the runs that do not program: the ID line as the programming run
// writes it, then the check that the bootloader offers `command`. False
// once a failure line is written.
bool ConnectPart(Loader& loader, Stm32Link& link, std::uint32_t baud, std::uint8_t command, const char* name,
                 Stm32Part& sized, const Fail& fail) {
    if (loader.OpenPortForTarget(baud) != 0) return false;
    loader.RefreshLog();
    const int id = Identify(loader, link, fail);
    if (id < 0) return false;
    char text[128];
    const Stm32Part* part = FindStm32Part(id);
    if (!part) {
        std::snprintf(text, sizeof text, "ID: %04X ERROR: Unknown product ID.", static_cast<unsigned>(id));
        loader.AppendText(text);
        fail("");
        return false;
    }
    // An erase takes Extended Erase where the bootloader has it.
    if (command == Stm32Link::kCmdErase && link.Offers(Stm32Link::kCmdExtendedErase))
        command = Stm32Link::kCmdExtendedErase;
    const bool offered = link.Offers(command) && link.Offers(Stm32Link::kCmdReadMemory);
    std::string sizeNote;
    sized = offered ? PartAsRead(link, *part, sizeNote) : *part;
    const std::size_t pages = Stm32PageList(sized).size();
    std::snprintf(text, sizeof text, "ID: %04X %s, flash %u KiB in %u %s", static_cast<unsigned>(id), part->name,
                  static_cast<unsigned>(sized.flashBytes / 1024), static_cast<unsigned>(pages),
                  Stm32PageWord(sized, pages != 1));
    loader.AppendText(text);
    for (const auto& [code, what] : {std::pair{command, name}, std::pair{Stm32Link::kCmdReadMemory, "Read Memory"}})
        if (!link.Offers(code)) {
            fail(std::string("ERROR: This bootloader has no ") + what + " command (" + Hex2(code) + ").");
            return false;
        }
    if (!sizeNote.empty()) loader.AddLine(sizeNote);
    return true;
}

// Stops a run that needs the flash readable: 0 when read-out protection
// is off, 1 once a failure line is written.
int RequireReadable(Loader& loader, Stm32Link& link, const Fail& fail) {
    switch (link.Stm32ProbeReadout(kStm32FlashBase)) {
    case 0:
        return 0;
    case Stm32Link::kRefused:
        loader.ReadoutProtected = true;
        return fail(kLineReadoutProtected);
    default:
        return fail("ERROR: No answer to Read Memory.");
    }
}

// The range the inputs ask for inside the part's flash; false once a
// failure line is written.
bool PartRange(const LoaderInputs& inputs, const Stm32Part& part, std::uint32_t& start, std::size_t& length,
               const Fail& fail) {
    const std::string why = FlashRange(inputs, kStm32FlashBase, part.flashBytes, start, length);
    if (why.empty()) return true;
    fail("ERROR: The range " + why + ".");
    return false;
}

// Go at the inputs' address (the flash's first byte when none is given);
// 0, or 1 once a failure line is written.
int Go(Loader& loader, Stm32Link& link, const LoaderInputs& inputs, const Fail& fail) {
    const std::uint32_t address = inputs.goAddress.value_or(kStm32FlashBase);
    char text[64];
    std::snprintf(text, sizeof text, "Starting the firmware at 0x%08X (Go) ...", static_cast<unsigned>(address));
    loader.AddLine(text);
    if (link.Stm32Go(address) != 0) return fail("ERROR: Go command failed.");
    // The firmware runs: a reset pulse now would only restart it.
    loader.SkipClosingReset();
    return 0;
}

// The pages or sectors that make up [start, start + length) exactly, or
// empty after a failure line: erasing a unit the range only touches would
// erase bytes nobody asked to erase.
std::vector<std::uint16_t> RangePages(const Stm32Part& part, std::uint32_t start, std::size_t length,
                                      const Fail& fail) {
    const std::uint32_t begin = start - kStm32FlashBase;
    const std::uint64_t end = std::uint64_t{begin} + length;
    std::vector<std::uint16_t> pages;
    std::uint64_t first = end, last = begin;  // of the units the range touches
    for (const Stm32Page& p : Stm32PageList(part)) {
        const std::uint64_t pEnd = std::uint64_t{p.offset} + p.bytes;
        if (pEnd <= begin || p.offset >= end) continue;
        pages.push_back(p.number);
        first = std::min<std::uint64_t>(first, p.offset);
        last = std::max(last, pEnd);
    }
    if (first == begin && last == end) return pages;
    fail(std::string("ERROR: The range does not cover whole ") + Stm32PageWord(part, true) + ": the " +
         Stm32PageWord(part, true) + " it touches span " + FormatFlashAddress(kStm32FlashBase + first) + " to " +
         FormatFlashAddress(kStm32FlashBase + last - 1) + ".");
    return {};
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

std::string Stm32ExplainNoSync(const std::vector<Stm32Link::ConnectAttempt>& attempts) {
    bool unprompted = false, any = false, onlySync = true, onlyNack = true;
    for (const Stm32Link::ConnectAttempt& a : attempts) {
        unprompted = unprompted || !a.beforeSync.empty();
        for (std::uint8_t b : a.afterSync) {
            any = true;
            onlySync = onlySync && b == Stm32Link::kSync;
            onlyNack = onlyNack && b == Stm32Link::kNack;
        }
    }
    // A bootloader never speaks first: bytes waiting after a reset come
    // from the firmware.
    if (unprompted)
        return "Bytes came after each reset, before the sync byte: the firmware runs instead of the bootloader "
               "(BOOT0 not high).";
    if (!any)
        return "Nothing came back: check the target's power, that its TX goes to the adapter's RX and its RX "
               "to TX, and the port.";
    if (onlySync) return "The sync byte 0x7F came back as it was sent: RX is wired to TX (a loopback).";
    if (onlyNack)
        return "The target answered NACK: its bootloader runs but was not reset; check the reset line (DTR) "
               "and its polarity.";
    return "Stray bytes came back: a wrong baud rate, or an adapter that cannot do even parity.";
}

int Stm32ProgramPass(Loader& loader, Stm32Link& link, const std::vector<Stm32Block>& blocks) {
    return RunBlocks(loader, [&link](std::uint32_t address, const std::uint8_t* bytes, std::size_t n) {
        return link.Stm32WriteBlock(address, bytes, n);
    }, blocks);
}

int Stm32VerifyPass(Loader& loader, Stm32Link& link, const std::vector<Stm32Block>& blocks) {
    return RunBlocks(loader, [&link](std::uint32_t address, const std::uint8_t* bytes, std::size_t n) {
        return link.Stm32VerifyBlock(address, bytes, n);
    }, blocks);
}

int ProgramStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    if (!Begin(loader, inputs, kStm32FlashWindow, baud)) return 1;
    const Fail fail = FailAndRestore(loader);

    Stm32Link link(loader.Port(), [&loader] { loader.ProcessMessages(); });
    const int id = Identify(loader, link, fail);
    if (id < 0) return 1;
    bool known = false;
    loader.AppendText(Stm32IdText(id, known));
    if (!known) return fail("");  // the ID line says what is wrong

    loader.AddLine("Erasing ...");
    loader.RefreshLog();
    if (link.Stm32EraseAll() != 0) return fail("ERROR: Erasing Failure.");

    const std::vector<Stm32Block> blocks = Stm32ValueBlocks(loader.Image());
    if (WriteAndVerify(loader, link, inputs, blocks, blocks, false, fail) != 0) return 1;
    return Finish(loader);
}

int ProgramStm32Any(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    if (!Begin(loader, inputs, kStm32AnyFlashWindow, baud)) return 1;
    const Fail fail = FailAndRestore(loader);

    Stm32Link link(loader.Port(), [&loader] { loader.ProcessMessages(); });
    const int id = Identify(loader, link, fail);
    if (id < 0) return 1;
    char text[128];
    const Stm32Part* part = FindStm32Part(id);
    if (!part) {
        std::snprintf(text, sizeof text, "ID: %04X ERROR: Unknown product ID.", static_cast<unsigned>(id));
        loader.AppendText(text);
        return fail("");
    }
    struct Needed {
        bool needed;
        std::uint8_t command;
        const char* name;
    };
    const bool extended = link.Offers(Stm32Link::kCmdExtendedErase);
    const Needed needs[] = {
        {true, Stm32Link::kCmdWriteMemory, "Write Memory"},
        {true, Stm32Link::kCmdReadMemory, "Read Memory"},
        {true, extended ? Stm32Link::kCmdExtendedErase : Stm32Link::kCmdErase, "Erase"},
        {inputs.go, Stm32Link::kCmdGo, "Go"},
    };
    bool offered = true;
    for (const Needed& n : needs) offered = offered && (!n.needed || link.Offers(n.command));

    // The part's own size decides what fits, before anything is erased.
    std::string sizeNote;
    Stm32Part sized = offered ? PartAsRead(link, *part, sizeNote) : *part;
    const std::size_t pages = Stm32PageList(sized).size();
    std::snprintf(text, sizeof text, "ID: %04X %s, flash %u KiB in %u %s", static_cast<unsigned>(id), part->name,
                  static_cast<unsigned>(sized.flashBytes / 1024), static_cast<unsigned>(pages),
                  Stm32PageWord(sized, pages != 1));
    loader.AppendText(text);
    for (const Needed& n : needs)
        if (n.needed && !link.Offers(n.command))
            return fail(std::string("ERROR: This bootloader has no ") + n.name + " command (" + Hex2(n.command) + ").");
    if (!sizeNote.empty()) loader.AddLine(sizeNote);
    if (!PlaceIntoPart(loader, sized, fail)) return 1;

    Stm32ErasePlan plan;  // global: what the unprotect does
    switch (link.Stm32ProbeReadout(kStm32FlashBase)) {
    case 0:
        if (inputs.unprotect) loader.AddLine("Read-out protection is off: nothing to remove.");
        plan = PlanStm32Erase(sized, loader.Image(), !extended);
        if (Erase(loader, link, sized, plan, fail) != 0) return 1;
        break;
    case Stm32Link::kRefused:
        if (!inputs.unprotect) {
            loader.ReadoutProtected = true;
            return fail(kLineReadoutProtected);
        }
        if (Unprotect(loader, link, sized, fail) != 0) return 1;
        // Now the part tells its size.
        if (const Stm32Part after = PartAsRead(link, *part, sizeNote);
            sizeNote.empty() && after.flashBytes != sized.flashBytes) {
            sized = after;
            loader.AddLine("Flash size read: " + std::to_string(sized.flashBytes / 1024) + " KiB.");
            if (!PlaceIntoPart(loader, sized, fail)) return 1;
        }
        break;
    default:
        return fail("ERROR: No answer to Read Memory.");
    }

    const std::vector<Stm32Block> writes = Stm32CoverageBlocks(sized, plan, loader.Image(), false);
    const std::vector<Stm32Block> reads = Stm32CoverageBlocks(sized, plan, loader.Image(), true);
    if (WriteAndVerify(loader, link, inputs, writes, reads, true, fail) != 0) return 1;

    if (inputs.go && Go(loader, link, inputs, fail) != 0) return 1;
    return Finish(loader);
}

}  // namespace quennet

namespace quennet {

int ReadStm32Any(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    const Fail fail = FailAndRestore(loader);
    Stm32Link link(loader.Port(), [&loader] { loader.ProcessMessages(); });
    Stm32Part part{};
    if (!ConnectPart(loader, link, baud, Stm32Link::kCmdReadMemory, "Read Memory", part, fail)) return 1;
    std::uint32_t start = 0;
    std::size_t length = 0;
    if (!PartRange(inputs, part, start, length, fail)) return 1;
    if (RequireReadable(loader, link, fail) != 0) return 1;

    loader.AddLine("Reading " + std::to_string(length) + " bytes from " + FormatFlashAddress(start) + " ...");
    loader.AddLine("");
    loader.RefreshLog();
    std::vector<std::uint8_t> bytes(length);
    const std::size_t blocks = (length + Stm32Link::kMaxBlock - 1) / Stm32Link::kMaxBlock;
    loader.BeginProgress(blocks);
    std::size_t marks = 0;
    for (std::size_t at = 0; at < length; at += Stm32Link::kMaxBlock) {
        if (loader.StopRequested()) return fail(kLineStopped);
        const std::size_t n = std::min(Stm32Link::kMaxBlock, length - at);
        const auto address = static_cast<std::uint32_t>(start + at);
        if (link.Stm32ReadMemory(address, bytes.data() + at, n) != 0)
            return fail("ERROR: Read error at " + FormatFlashAddress(address) + ".");
        loader.BlockDone();
        // One mark per 64th of the range.
        for (; marks < (at + n) * kStm32MapColumns / length; ++marks) loader.AppendText("^");
        loader.RefreshLog();
        loader.ProcessMessages();
        loader.Port().clock().Sleep(0);
    }
    if (const std::string why = WriteFirmwareFile(inputs.readPath, start, bytes); !why.empty()) {
        loader.AddLine("FATAL ERROR: Can't write FILE.");
        return fail("The file " + inputs.readPath + " " + why + ".");
    }
    loader.AddLine("FILE Save: OK.");
    return Finish(loader, "READ OK in ");
}

int EraseStm32Any(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    const Fail fail = FailAndRestore(loader);
    Stm32Link link(loader.Port(), [&loader] { loader.ProcessMessages(); });
    Stm32Part part{};
    if (!ConnectPart(loader, link, baud, Stm32Link::kCmdErase, "Erase", part, fail)) return 1;
    Stm32ErasePlan plan;  // global unless a range is asked for
    if (inputs.rangeStart || inputs.rangeLength) {
        std::uint32_t start = 0;
        std::size_t length = 0;
        if (!PartRange(inputs, part, start, length, fail)) return 1;
        plan.pages = RangePages(part, start, length, fail);
        if (plan.pages.empty()) return 1;
        plan.global = false;
        if (!link.Offers(Stm32Link::kCmdExtendedErase) && plan.pages.back() > 0xFF)
            return fail(std::string("ERROR: This bootloader's Erase command (0x43) cannot name ") +
                        Stm32PageWord(part, false) + " " + std::to_string(plan.pages.back()) + ".");
    }
    if (RequireReadable(loader, link, fail) != 0) return 1;
    if (Erase(loader, link, part, plan, fail) != 0) return 1;
    return Finish(loader, "ERASE OK in ");
}

int GoStm32Any(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    const Fail fail = FailAndRestore(loader);
    Stm32Link link(loader.Port(), [&loader] { loader.ProcessMessages(); });
    Stm32Part part{};
    if (!ConnectPart(loader, link, baud, Stm32Link::kCmdGo, "Go", part, fail)) return 1;
    if (RequireReadable(loader, link, fail) != 0) return 1;
    if (Go(loader, link, inputs, fail) != 0) return 1;
    return Finish(loader, "GO OK in ");
}

}  // namespace quennet

namespace quennet {

namespace {

// Option bytes take milliseconds to write; a generous budget, left as soon
// as the second ACK comes.
constexpr int kOptionWriteWaitMs = 5000;

// What one protection command is: its code and name for the lines, what
// the log says before it, and how the link sends it.
struct Protection {
    std::uint8_t command;
    const char* name;
    const char* doing;
    const char* done;
    std::function<int(Stm32Link&, const LoaderInputs&, const Stm32Part&)> send;
};

// Connects, sends the command, then enters the bootloader again after the
// reset with which the chip takes on its new option bytes.
int RunProtection(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud, const Protection& p) {
    const Fail fail = FailAndRestore(loader);
    Stm32Link link(loader.Port(), [&loader] { loader.ProcessMessages(); });
    Stm32Part part{};
    if (!ConnectPart(loader, link, baud, p.command, p.name, part, fail)) return 1;
    loader.AddLine(p.doing);
    loader.RefreshLog();
    switch (p.send(link, inputs, part)) {
    case 0:
        break;
    case Stm32Link::kRefused:
        // A part with read-out protection refuses every option change but
        // the one that removes it.
        return fail(std::string("ERROR: The part refused the ") + p.name + " command (" + Hex2(p.command) + ")" +
                    (p.command == Stm32Link::kCmdReadoutUnprotect ? "." : "; read-out protection may be on."));
    default:
        return fail(std::string("ERROR: No answer to the ") + p.name + " command (" + Hex2(p.command) + ").");
    }
    loader.AddLine(p.done);
    loader.AddLine("The part resets to take on its new option bytes; its bootloader must be entered again.");
    loader.RefreshLog();
    int version = 0;
    if (link.Stm32Connect() != Stm32Link::kConnected || link.Stm32Get(version) != 0)
        return fail("ERROR: No answer from the bootloader after the reset.");
    loader.AddLine("BSL Enter ...");
    return Finish(loader, "PROTECTION OK in ");
}

std::string SectorList(const std::vector<std::uint8_t>& sectors) {
    std::string text;
    for (std::uint8_t s : sectors) text += (text.empty() ? "" : ",") + std::to_string(s);
    return text;
}

}  // namespace

int WriteUnprotectStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    return RunProtection(loader, inputs, baud,
                         {Stm32Link::kCmdWriteUnprotect, "Write Unprotect", "Removing write protection ...",
                          "Write protection removed from every sector.",
                          [](Stm32Link& link, const LoaderInputs&, const Stm32Part&) {
                              return link.Stm32WriteUnprotect(kOptionWriteWaitMs);
                          }});
}

int WriteProtectStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    if (inputs.protectSectors.empty()) {
        loader.AddLine("ERROR: No sectors to write-protect.");
        return 1;
    }
    const std::string list = SectorList(inputs.protectSectors);
    const std::string doing = "Write-protecting sectors " + list + " ...";
    const std::string done = "Sectors " + list + " are write-protected; all others are not.";
    return RunProtection(loader, inputs, baud,
                         {Stm32Link::kCmdWriteProtect, "Write Protect", doing.c_str(), done.c_str(),
                          [](Stm32Link& link, const LoaderInputs& in, const Stm32Part&) {
                              return link.Stm32WriteProtect(in.protectSectors, kOptionWriteWaitMs);
                          }});
}

int ReadoutProtectStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    return RunProtection(loader, inputs, baud,
                         {Stm32Link::kCmdReadoutProtect, "Readout Protect", "Setting read-out protection ...",
                          "Read-out protection is on: the flash can no longer be read or written through the "
                          "bootloader.",
                          [](Stm32Link& link, const LoaderInputs&, const Stm32Part&) {
                              return link.Stm32ReadoutProtect(kOptionWriteWaitMs);
                          }});
}

int ReadoutUnprotectStm32(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    return RunProtection(loader, inputs, baud,
                         {Stm32Link::kCmdReadoutUnprotect, "Readout Unprotect",
                          "Removing read-out protection (this erases the whole flash) ...",
                          "Read-out protection removed; the flash is erased.",
                          [](Stm32Link& link, const LoaderInputs&, const Stm32Part& part) {
                              return link.Stm32ReadoutUnprotect(Stm32MassEraseWaitMs(part) + kOptionWriteWaitMs);
                          }});
}

}  // namespace quennet
