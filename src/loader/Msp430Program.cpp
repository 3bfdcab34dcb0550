#include "loader/Msp430Program.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <thread>

#include "core/BaudText.h"
#include "firmware/FirmwareWriter.h"
#include "loader/FirmwareCheck.h"

namespace quennet {

namespace {

constexpr std::uint32_t kSpace = 0x10000;  // the MSP430's 64 KiB
constexpr std::uint32_t kMapBlock = 1024;  // one map character per KiB
constexpr int kBlockAckWaitMs = 500;
// TI asks for about 10 ms after a baud rate change before the next byte,
// while the loader's clock settles.
constexpr int kBaudSettleMs = 10;

// The run ends after a failure: the terminal gets its port back.
int Fail(Loader& loader, const char* line) {
    loader.AddLine(line);
    loader.RestoreTerminalPort();
    return 1;
}

// Reopens the port unless the terminal already talks at the target's
// settings; either way the run's low-latency request stands from here.
int OpenForTarget(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    if (ParseBaudText(inputs.terminalBaud) == baud && inputs.terminalFormat == kFrameE81) {
        loader.RequestLowLatency();
        return 0;
    }
    return loader.OpenPortForTarget(baud);
}

// The entry pattern and sync on the port opened for the target; 0, or 1
// once the failure line is written and the port handed back.
int EnterLoader(Loader& loader, Msp430Bsl& bsl) {
    switch (bsl.BslEnter()) {
    case kBslEnterOk:
        loader.AddLine(kLineBslEnter);
        break;
    case kBslEnterNoPort:
        return Fail(loader, kLineNoPort);
    default:
        return Fail(loader, kLineNoSync);
    }
    return 0;
}

void DeviceBox(Loader& loader, const Msp430Bsl& bsl) {
    loader.AddLine(kBoxRule);
    loader.AppendText(Msp430DeviceLine(static_cast<std::uint8_t>(bsl.DeviceId >> 8),
                                       static_cast<std::uint8_t>(bsl.DeviceId & 0xFF)));
    loader.AddLine("");
    loader.AppendText(Msp430VersionLine(bsl.VersionMajor, bsl.VersionMinor));
    loader.AddLine("");
    loader.AddLine(kBoxRule);
}

// The steps both sequences share: reopen, enter, erase, enter again,
// password, version and the device box. 0 when all went well; otherwise
// the run is over (its line written, the port handed back).
int EnterEraseIdentify(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud,
                       Msp430Bsl& bsl) {
    // A failed reopen has said so and left the port closed.
    if (OpenForTarget(loader, inputs, baud) != 0) return 1;
    if (EnterLoader(loader, bsl) != 0) return 1;
    loader.AddLine(kLineErasing);
    if (bsl.BslMassErase() != 0) return Fail(loader, kLineEraseFailed);
    // The loader is entered afresh after the erase.
    if (bsl.BslEnter() != kBslEnterOk) return Fail(loader, kLineReenterFailed);
    loader.AddLine(kLinePassword);
    if (bsl.BslSendPassword() != 0) return Fail(loader, kLinePasswordFailed);
    loader.AddLine(kLineVersion);
    if (bsl.BslReadVersion() != 0) return Fail(loader, kLineVersionFailed);
    DeviceBox(loader, bsl);
    loader.RefreshLog();
    // A part whose flash needs more erase time than one mass erase gives
    // gets the rest now that it is known; the loader stays unlocked.
    for (int i = 1; i < Msp430MassErasesNeeded(bsl.DeviceId); ++i) {
        bsl.BslSync();
        if (bsl.BslMassErase() != 0) return Fail(loader, kLineEraseFailed);
    }
    return 0;
}

std::string WithBaud(const char* format, std::uint32_t baud) {
    char text[96];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(baud));
    return text;
}

// Moves the loader and the port to the faster rate where the loader can
// change its rate; otherwise says so and the run goes on as it is. 0 to go
// on; nonzero when the run is over.
int SwitchToFasterBaud(Loader& loader, Msp430Bsl& bsl, std::uint32_t baud, std::uint32_t faster) {
    if (!BslCanChangeBaud(bsl.VersionMajor, bsl.VersionMinor)) {
        loader.AddLine(WithBaud(kLineBaudNotOffered, baud));
        return 0;
    }
    const auto setting = BslBaudSettings(bsl.DeviceId, faster);
    if (!setting) {
        loader.AddLine(WithBaud(kLineBaudUnknownFamily, baud));
        return 0;
    }
    if (bsl.BslChangeBaud(*setting) != 0) {
        loader.AddLine(WithBaud(kLineBaudRefused, baud));
        return 0;
    }
    ComPort& port = loader.Port();
    // In place: closing the port could drop DTR and reset the part.
    if (port.ComSetBaud(faster) != kComOk) return Fail(loader, WithBaud(kLineHostBaudFailed, faster).c_str());
    // The port no longer has the terminal's settings: the run hands them
    // back at its end, as after a reopen.
    loader.PortReopened = true;
    port.clock().Sleep(kBaudSettleMs);
    loader.AddLine(WithBaud(kLineBaudChanged, faster));
    return 0;
}

}  // namespace

std::string Msp430DeviceLine(std::uint8_t hi, std::uint8_t lo) {
    char text[48];
    if ((lo & 0x0F) <= 9)
        std::snprintf(text, sizeof text, "| Device: MSP430%02X%02X  |", hi, lo);
    else
        // IDs such as 0xF16C name parts with a two-digit suffix: F1611.
        std::snprintf(text, sizeof text, "| Device: MSP430%02X%u%u |", hi,
                      static_cast<unsigned>(lo >> 4), static_cast<unsigned>((lo & 0x0F) - 1));
    return text;
}

std::string Msp430VersionLine(std::uint8_t major, std::uint8_t minor) {
    char text[48];
    std::snprintf(text, sizeof text, "| BSL Version: %2u.%02x  |", static_cast<unsigned>(major),
                  static_cast<unsigned>(minor));
    return text;
}

int Msp430ProgramPass(Loader& loader, Msp430Bsl& bsl, std::size_t extraBlocks) {
    ComPort& port = loader.Port();
    // The pass pulses TCK once per block itself; the continuous toggling
    // of the waits would disturb the frames.
    const bool watchdog = port.WatchdogToggle;
    port.WatchdogToggle = false;
    const FirmwareImage& image = loader.Image();

    loader.BeginProgress(CountImageBlocks(image, kSpace, 2, kBslMaxBlock) + extraBlocks);
    std::uint32_t a = 0, mark = 0;
    while (a < kSpace) {
        if (image[a] == FirmwareImage::kBlank) {
            ++a;
        } else {
            // A stop request ends the pass between blocks, never inside one.
            if (loader.StopRequested()) return kPassStopped;
            // Blocks start at even addresses: take the blank byte before.
            if (a % 2 != 0) --a;
            const std::uint32_t n = std::min<std::uint32_t>(kBslMaxBlock, kSpace - a);
            if (bsl.PatchLoaded) bsl.BslLoadPc(kBslPatchAddress);
            if (watchdog) port.ComSetRts(0);
            bsl.BslSync();
            if (watchdog) port.ComSetRts(1);
            const std::size_t length =
                bsl.BuildRxDataBlock(static_cast<std::uint16_t>(a), image.data() + a, n);
            bsl.BslSendFrame(length);
            // Let the window repaint while the part writes.
            loader.ProcessMessages();
            std::this_thread::yield();
            if (bsl.BslWaitAck(kBlockAckWaitMs) != 0) return 1;
            a += n;
            loader.BlockDone();
        }
        // At most 240 bytes per step: each KiB boundary gets its own mark.
        if (a > mark) {
            loader.AppendText("^");
            loader.RefreshLog();
            mark += kMapBlock;
        }
    }
    port.WatchdogToggle = watchdog;
    return 0;
}

namespace {

// Walks the blocks of the read-back: each starts at a covered byte, moved
// back to an even address, and spans at most 240 bytes.
template <typename Block>
int ForEachVerifyBlock(const FirmwareImage& image, Block block) {
    std::uint32_t a = 0;
    const std::uint32_t end = static_cast<std::uint32_t>(std::min<std::size_t>(kSpace, image.size()));
    while (a < end) {
        if (!image.Covered(a)) {
            ++a;
            continue;
        }
        a -= a % 2;
        const std::uint32_t n = std::min<std::uint32_t>(kBslMaxBlock, end - a);
        if (const int r = block(a, n); r != 0) return r;
        a += n;
    }
    return 0;
}

}  // namespace

std::size_t Msp430VerifyBlocks(const FirmwareImage& image) {
    std::size_t blocks = 0;
    ForEachVerifyBlock(image, [&blocks](std::uint32_t, std::uint32_t) { return ++blocks, 0; });
    return blocks;
}

int Msp430VerifyPass(Loader& loader, Msp430Bsl& bsl) {
    const FirmwareImage& image = loader.Image();
    std::uint32_t mark = 0;
    std::array<std::uint8_t, kBslMaxBlock> read{};
    auto marks = [&](std::uint32_t upTo) {
        for (; mark < upTo; mark += kMapBlock) loader.AppendText("^");
        loader.RefreshLog();
    };
    const int r = ForEachVerifyBlock(image, [&](std::uint32_t a, std::uint32_t n) {
        if (loader.StopRequested()) return kPassStopped;
        if (bsl.BslReadBlock(static_cast<std::uint16_t>(a), read.data(), n) != 0) return 1;
        // Only what the file gave a value is compared.
        for (std::uint32_t i = 0; i < n; ++i)
            if (image.Covered(a + i) && read[i] != image[a + i]) return 1;
        loader.BlockDone();
        loader.ProcessMessages();
        marks(a + n);
        return 0;
    });
    if (r == 0) marks(kSpace);
    return r;
}

int ProgramMsp430(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    if (!loader.LoadFirmware(inputs, kMsp430FlashWindow)) return 1;
    loader.AddLine(kLineFileLoaded);

    Msp430Bsl bsl(loader.Port());
    if (EnterEraseIdentify(loader, inputs, baud, bsl) != 0) return 1;
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (target && target->fasterBaud != 0 && SwitchToFasterBaud(loader, bsl, baud, target->fasterBaud) != 0)
        return 1;

    const int patch = bsl.BslLoadPatch();
    if (bsl.PatchLoaded) {
        loader.AddLine(kLinePatch);
        loader.RefreshLog();
    }
    if (patch != 0) return Fail(loader, kLinePatchFailed);

    loader.AddLine(kLineProgramming);
    loader.RefreshLog();
    loader.AddLine(kRulerFirstDigit);
    for (int i = 0; i < 3; ++i) loader.AddLine(kRulerOtherDigits);
    const FirmwareImage& image = loader.Image();
    for (std::uint32_t k = 0; k < kSpace / kMapBlock; ++k)
        loader.AppendText(image.HasData(k * kMapBlock, kMapBlock) ? "*" : "-");
    loader.AddLine("");

    const int pass = Msp430ProgramPass(loader, bsl, inputs.verify ? Msp430VerifyBlocks(loader.Image()) : 0);
    if (pass != 0) return Fail(loader, pass == kPassStopped ? kLineStopped : kLineProgrammingFailed);
    if (inputs.verify) {
        loader.AddLine(kLineVerify);
        loader.RefreshLog();
        loader.AddLine("");
        const int verified = Msp430VerifyPass(loader, bsl);
        if (verified != 0) return Fail(loader, verified == kPassStopped ? kLineStopped : kLineVerifyFailed);
    }

    loader.RestoreTerminalPort();
    loader.AddLine(kLineProgramOk);
    loader.AppendText(FormatElapsed(loader.ElapsedMs()));
    return 0;
}

namespace {

// Reads the inputs' password file (an erased part's password when none is
// given); false once the failure lines are written, before the port is
// touched.
bool PasswordOf(Loader& loader, const LoaderInputs& inputs, std::array<std::uint8_t, 32>& password) {
    password.fill(0xFF);
    if (inputs.passwordPath.empty()) return true;
    if (const std::string why = Msp430PasswordFrom(inputs.passwordPath, password); !why.empty()) {
        loader.AddLine(kLineCantOpenFile);
        loader.AddLine("Password file " + inputs.passwordPath + ": " + why + ".");
        return false;
    }
    return true;
}

// Reopen, enter, the password (nothing erased), version and the device
// box; 0, or 1 once the run is over.
int EnterUnlockIdentify(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud, Msp430Bsl& bsl,
                        const std::array<std::uint8_t, 32>& password) {
    if (OpenForTarget(loader, inputs, baud) != 0) return 1;
    if (EnterLoader(loader, bsl) != 0) return 1;
    loader.AddLine(kLinePassword);
    loader.AddLine(kLineWrongPasswordWarning);
    if (bsl.BslSendPassword(password) != 0) {
        loader.AddLine(kLinePasswordFailed);
        return Fail(loader, kLinePasswordRefused);
    }
    loader.AddLine(kLineVersion);
    if (bsl.BslReadVersion() != 0) return Fail(loader, kLineVersionFailed);
    DeviceBox(loader, bsl);
    loader.RefreshLog();
    return 0;
}

}  // namespace

int Msp430DeviceInfo(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    Msp430Bsl bsl(loader.Port());
    // With the part's password the query erases nothing.
    if (!inputs.passwordPath.empty()) {
        std::array<std::uint8_t, 32> password;
        if (!PasswordOf(loader, inputs, password)) return 1;
        if (EnterUnlockIdentify(loader, inputs, baud, bsl, password) != 0) return 1;
    } else if (EnterEraseIdentify(loader, inputs, baud, bsl) != 0) {
        return 1;
    }
    loader.RestoreTerminalPort();
    loader.AppendText(kLineDeviceInfoTime + FormatElapsed(loader.ElapsedMs()));
    return 0;
}

int EraseMsp430(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    Msp430Bsl bsl(loader.Port());
    // The mass erases the part's family needs, once its device ID is known.
    if (EnterEraseIdentify(loader, inputs, baud, bsl) != 0) return 1;
    loader.RestoreTerminalPort();
    AddTimeLine(loader, "ERASE OK in ");
    return 0;
}

std::string Msp430ReadRange(const LoaderInputs& inputs, std::uint32_t& start, std::size_t& length) {
    LoaderInputs in = inputs;
    if (!in.rangeStart) in.rangeStart = kMsp430MainFlash;
    if (const std::string why = FlashRange(in, kMsp430ReadWindow.base, kMsp430ReadWindow.size, start, length);
        !why.empty())
        return why;
    if (start % 2 != 0) return "starts at the odd address " + FormatFlashAddress(start) + ": the loader reads words";
    if (length % 2 != 0) return "is " + std::to_string(length) + " bytes long, an odd number: the loader reads words";
    return {};
}

std::string Msp430PasswordFrom(const std::string& path, std::array<std::uint8_t, 32>& password) {
    FirmwareFile file;
    FirmwareImage image;
    if (const std::string why = LoadFirmwareFor(path, std::nullopt, kMsp430FlashWindow, file, image); !why.empty())
        return why;
    constexpr std::uint32_t kVectors = 0xFFE0;
    // Vectors the file leaves out are erased on the part that it programmed.
    if (!image.HasCoverage(kVectors, password.size()))
        return "gives no byte at 0xFFE0..0xFFFF, where a password is (the firmware's vector table)";
    for (std::uint32_t i = 0; i < password.size(); ++i) password[i] = image[kVectors + i];
    return {};
}

int ReadMsp430(Loader& loader, const LoaderInputs& inputs, std::uint32_t baud) {
    std::uint32_t start = 0;
    std::size_t length = 0;
    if (const std::string why = Msp430ReadRange(inputs, start, length); !why.empty()) {
        loader.AddLine("ERROR: The range " + why + ".");
        return 1;
    }
    std::array<std::uint8_t, 32> password;
    if (!PasswordOf(loader, inputs, password)) return 1;
    Msp430Bsl bsl(loader.Port());
    if (EnterUnlockIdentify(loader, inputs, baud, bsl, password) != 0) return 1;
    const LoaderTarget* target = FindLoaderTarget(inputs.targetIndex);
    if (target && target->fasterBaud != 0 && SwitchToFasterBaud(loader, bsl, baud, target->fasterBaud) != 0)
        return 1;

    loader.AddLine("Reading " + std::to_string(length) + " bytes from " + FormatFlashAddress(start) + " ...");
    loader.AddLine("");
    loader.RefreshLog();
    std::vector<std::uint8_t> bytes(length);
    loader.BeginProgress((length + kBslMaxBlock - 1) / kBslMaxBlock);
    std::size_t marks = 0;
    for (std::size_t at = 0; at < length; at += kBslMaxBlock) {
        if (loader.StopRequested()) return Fail(loader, kLineStopped);
        const std::size_t n = std::min(kBslMaxBlock, length - at);
        const auto address = static_cast<std::uint16_t>(start + at);
        if (bsl.BslReadBlock(address, bytes.data() + at, n) != 0)
            return Fail(loader, ("ERROR: Read error at " + FormatFlashAddress(address) + ".").c_str());
        loader.BlockDone();
        // One mark per 64th of the range.
        for (; marks < (at + n) * 64 / length; ++marks) loader.AppendText("^");
        loader.RefreshLog();
        loader.ProcessMessages();
    }
    if (const std::string why = WriteFirmwareFile(inputs.readPath, start, bytes); !why.empty()) {
        loader.AddLine("FATAL ERROR: Can't write FILE.");
        return Fail(loader, ("The file " + inputs.readPath + " " + why + ".").c_str());
    }
    loader.AddLine("FILE Save: OK.");
    loader.RestoreTerminalPort();
    loader.AddLine("READ OK in ");
    loader.AppendText(FormatElapsed(loader.ElapsedMs()));
    return 0;
}

}  // namespace quennet
