#include "loader/FlashCommand.h"

#include <cctype>
#include <utility>

#include "firmware/FirmwareWriter.h"
#include "loader/FirmwareCheck.h"
#include "loader/Msp430Program.h"
#include "loader/Stm32Program.h"

namespace quennet {

namespace {

bool SameName(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return i == a.size() && b[i] == '\0';
}

std::string TargetList() {
    std::string list;
    for (const LoaderTarget& t : kLoaderTargets) {
        if (!t.program) continue;
        if (!list.empty()) list += ", ";
        list += t.name;
    }
    return list;
}

bool IsStm32Any(const LoaderTarget& t) { return t.program == &TargetSequences::programStm32Any; }

// The options that take a value.
constexpr const char* kPortOption = "--port";
constexpr const char* kTargetOption = "--target";
constexpr const char* kAddressOption = "--address";
constexpr const char* kReadOption = "--read";
constexpr const char* kStartOption = "--start";
constexpr const char* kLengthOption = "--length";
constexpr const char* kPasswordOption = "--password";
constexpr const char* kWriteProtectOption = "--write-protect";

// The option-byte commands and their options.
constexpr std::pair<const char*, LoaderAction> kProtectionOptions[] = {
    {"--write-unprotect", LoaderAction::WriteUnprotect},
    {kWriteProtectOption, LoaderAction::WriteProtect},
    {"--readout-protect", LoaderAction::ReadoutProtect},
    {"--readout-unprotect", LoaderAction::ReadoutUnprotect},
};

const char* ProtectionOption(LoaderAction action) {
    for (const auto& [name, a] : kProtectionOptions)
        if (a == action) return name;
    return "";
}

}  // namespace

FlashArgs ParseFlashArgs(const std::vector<std::string>& args) {
    FlashArgs r;
    FlashOptions& o = r.options;
    std::vector<std::string> files;
    std::string target;
    bool targetGiven = false, portGiven = false, optionsEnded = false;

    auto fail = [&r](std::string message) {
        r.error = std::move(message);
        return r;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // "--name=value" and "--name value" both work for the valued options.
        std::string name = arg, value;
        const auto eq = arg.find('=');
        const bool inlineValue = arg.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inlineValue) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        }
        if (name == kPortOption || name == kTargetOption || name == kAddressOption || name == kReadOption ||
            name == kStartOption || name == kLengthOption || name == kPasswordOption || name == kWriteProtectOption) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) return fail(name + " needs a value");
                value = args[++i];
            }
            if (value.empty()) return fail(name + " needs a value");
            if (name == kPortOption) {
                o.port = value;
                portGiven = true;
            } else if (name == kPasswordOption) {
                o.passwordPath = value;
            } else if (name == kWriteProtectOption) {
                const auto sectors = ParseSectorList(value);
                if (!sectors)
                    return fail(std::string(name) + " takes sector numbers 0 to 255 such as 0,1,4-7, not " + value);
                o.protectSectors = *sectors;
                if (o.protection && *o.protection != LoaderAction::WriteProtect)
                    return fail(std::string(ProtectionOption(*o.protection)) + " does not go with " + name);
                o.protection = LoaderAction::WriteProtect;
            } else if (name == kReadOption) {
                o.readPath = value;
            } else if (name == kStartOption || name == kLengthOption) {
                const auto number = ParseFlashAddress(value);
                if (!number)
                    return fail(name + " takes 0x and up to eight hex digits, or a decimal number, not " + value);
                (name == kStartOption ? o.rangeStart : o.rangeLength) = number;
            } else if (name == kAddressOption) {
                o.binaryAddress = ParseFlashAddress(value);
                if (!o.binaryAddress)
                    return fail("--address takes 0x and up to eight hex digits, or a decimal number, not " + value);
            } else {
                target = value;
                targetGiven = true;
            }
            continue;
        }
        if (name == "--go" && inlineValue) {
            o.go = true;
            o.goAddress = ParseFlashAddress(value);
            if (!o.goAddress) return fail("--go takes 0x and up to eight hex digits, or a decimal number, not " + value);
            continue;
        }
        if (inlineValue) return fail("option " + name + " takes no value");
        if (arg == "--verify") o.verify = true;
        else if (arg == "--invert-dtr") o.invertDtr = true;
        else if (arg == "--toggle-tck") o.toggleTck = true;
        else if (arg == "--device-info") o.deviceInfo = true;
        else if (arg == "--unprotect") o.unprotect = true;
        else if (arg == "--go") o.go = true;
        else if (arg == "--erase") o.erase = true;
        else if (arg == "--verbose") o.verbose = true;
        else if (arg == "--write-unprotect" || arg == "--readout-protect" || arg == "--readout-unprotect") {
            LoaderAction action = LoaderAction::WriteUnprotect;
            for (const auto& [option, a] : kProtectionOptions)
                if (arg == option) action = a;
            if (o.protection && *o.protection != action)
                return fail(std::string(ProtectionOption(*o.protection)) + " does not go with " + arg);
            o.protection = action;
        }
        else if (arg == "--help" || arg == "-h") o.help = true;
        else if (arg == "--version") o.version = true;
        else return fail("unknown option " + arg);
    }
    if (o.help || o.version) return r;

    if (!portGiven) return fail("no port given (--port " + ExamplePortName() + ", say)");
    if (!targetGiven) return fail("no target given (--target NAME; targets: " + TargetList() + ")");
    const LoaderTarget* chosen = nullptr;
    for (int i = 0; i < kLoaderTargetCount; ++i) {
        if (SameName(target, kLoaderTargets[i].name)) {
            o.targetIndex = i;
            chosen = &kLoaderTargets[i];
        }
    }
    if (!chosen) return fail("unknown target " + target + " (targets: " + TargetList() + ")");
    if (!chosen->program)
        return fail(std::string("target ") + chosen->name + " cannot be programmed yet (targets: " +
                    TargetList() + ")");
    if (o.deviceInfo && !chosen->deviceInfo)
        return fail(std::string("--device-info works with the MSP430 targets only, not ") +
                    chosen->name);
    // Options the chosen family would silently ignore are refused, so that a
    // script never believes it got something it did not.
    if (o.toggleTck && !chosen->watchdogOption)
        return fail(std::string("--toggle-tck applies to the MSP430 targets only, not ") + chosen->name);
    for (const auto& [given, name] : {std::pair{o.unprotect, "--unprotect"}, std::pair{o.go, "--go"}})
        if (given && !IsStm32Any(*chosen))
            return fail(std::string(name) + " applies to the STM32-ANY targets only, not " + chosen->name);

    const bool reading = !o.readPath.empty();
    const bool msp430 = RunsMsp430(*chosen);
    if (!o.passwordPath.empty() && !((reading || o.deviceInfo) && msp430))
        return fail("--password goes with --read or --device-info on the MSP430 targets");
    if ((o.rangeStart || o.rangeLength) && !reading && !o.erase)
        return fail("--start and --length go with --read or --erase");
    if (o.protection) {
        const std::string action = ProtectionOption(*o.protection);
        if (!RunsStm32(*chosen)) return fail(action + " applies to the STM32 targets only, not " + chosen->name);
        for (const auto& [given, name] :
             {std::pair{reading, "--read"}, std::pair{o.erase, "--erase"}, std::pair{o.verify, "--verify"},
              std::pair{o.unprotect, "--unprotect"}, std::pair{o.go, "--go"},
              std::pair{o.binaryAddress.has_value(), "--address"}, std::pair{o.deviceInfo, "--device-info"}})
            if (given) return fail(std::string(name) + " does not go with " + action);
        if (!files.empty()) return fail(action + " takes no firmware file: " + files[0]);
        return r;
    }
    if (reading || o.erase) {
        const char* action = reading ? "--read" : "--erase";
        if (o.erase && msp430 && (o.rangeStart || o.rangeLength))
            return fail("--erase on the MSP430 targets erases the whole flash: --start and --length do not go "
                        "with it");
        if (reading && WriteFormatForName(o.readPath) == WriteFormat::Unknown)
            return fail("--read writes a file whose name ends in " + std::string(WriteFormatNames()) + ", not " +
                        o.readPath);
        for (const auto& [given, name] :
             {std::pair{o.verify, "--verify"}, std::pair{o.unprotect, "--unprotect"}, std::pair{o.go, "--go"},
              std::pair{o.binaryAddress.has_value(), "--address"}, std::pair{o.deviceInfo, "--device-info"},
              std::pair{reading && o.erase, "--erase"}})
            if (given) return fail(std::string(name) + " does not go with " + action);
        if (!files.empty()) return fail(std::string(action) + " takes no firmware file: " + files[0]);
        if (o.rangeLength && *o.rangeLength == 0) return fail("--length must not be 0");
        return r;
    }
    if (o.go && files.empty() && !o.deviceInfo) {
        for (const auto& [given, name] : {std::pair{o.verify, "--verify"}, std::pair{o.unprotect, "--unprotect"},
                                          std::pair{o.binaryAddress.has_value(), "--address"}})
            if (given) return fail(std::string(name) + " goes with a firmware file, not with --go alone");
        return r;
    }
    if (o.deviceInfo) {
        if (!files.empty()) return fail("--device-info takes no firmware file");
        if (o.binaryAddress) return fail("--address goes with a firmware file, not with --device-info");
        return r;
    }
    if (files.empty()) return fail("no firmware file given");
    if (files.size() > 1) return fail("more than one firmware file given: " + files[0] + ", " + files[1]);
    o.firmwarePath = files[0];
    return r;
}

std::string FlashUsage() {
    return "Usage: quennet-flash --port PORT --target TARGET [options] FIRMWARE\n"
           "       quennet-flash --port PORT --target STM32-... --read FILE [--start ADDR] [--length N]\n"
           "       quennet-flash --port PORT --target MSP430-BAUD --read FILE [--password FW] [--start ADDR]\n"
           "                     [--length N]\n"
           "       quennet-flash --port PORT --target STM32-... --erase [--start ADDR --length N]\n"
           "       quennet-flash --port PORT --target MSP430-BAUD --erase\n"
           "       quennet-flash --port PORT --target STM32-ANY-BAUD --go[=ADDR]\n"
           "       quennet-flash --port PORT --target STM32-... --write-unprotect | --write-protect LIST |\n"
           "                     --readout-protect | --readout-unprotect\n"
           "       quennet-flash --port PORT --target MSP430-BAUD --device-info [--password FW]\n"
           "\n"
           "Programs a target through its serial bootloader, printing the status log as\n"
           "it grows. FIRMWARE is a file of Motorola S-records, Intel HEX, an ELF\n"
           "executable or TI-TXT (told apart by their content), or a raw binary with\n"
           "--address.\n"
           "\n"
           "  --port PORT      serial device (" + ExamplePortName() + ")\n"
           "  --target TARGET  " + TargetList() + "\n"
           "  --address ADDR   FIRMWARE is a raw binary loaded at ADDR (0x08000000)\n"
           "  --read FILE      read the flash into FILE instead of programming; its name\n"
           "                   ends in .bin, .hex (Intel HEX) or .s19, .s28, .s37, .srec\n"
           "                   (S-records) (STM32, MSP430: from 0x1100, even lengths)\n"
           "  --password FILE  MSP430 --read and --device-info: unlock the loader with the\n"
           "                   password in FILE (a firmware file; its bytes at\n"
           "                   0xFFE0..0xFFFF), not that of an erased part, so that\n"
           "                   nothing is erased; a wrong one makes some loaders erase the\n"
           "                   flash\n"
           "  --start ADDR     the first address --read reads (the flash's first byte)\n"
           "  --length N       how many bytes --read reads (up to the flash's end)\n"
           "  --erase          erase the whole flash (global erase), or with --start and\n"
           "                   --length the pages or sectors that make up that range,\n"
           "                   instead of programming (STM32); MSP430: mass erase, as\n"
           "                   often as the part's family needs\n"
           "  --write-unprotect     remove the write protection of every sector (STM32)\n"
           "  --write-protect LIST  write-protect the sectors in LIST (such as 0,1,4-7: the\n"
           "                   part's write-protection sector numbers); others lose it\n"
           "  --readout-protect     turn on read-out protection (STM32)\n"
           "  --readout-unprotect   remove read-out protection, which erases the whole\n"
           "                   flash (STM32); after each of these four the part resets and\n"
           "                   the run enters its bootloader again\n"
           "  --verify         read the flash back after writing and compare it\n"
           "  --invert-dtr     the board's reset line runs the other way\n"
           "  --toggle-tck     feed a watchdog on TCK during the run (MSP430)\n"
           "  --unprotect      remove the part's read-out protection, which erases its\n"
           "                   whole flash (STM32-ANY)\n"
           "  --go[=ADDR]      start the new firmware with the bootloader's Go command\n"
           "                   at ADDR (0x08000000) instead of the reset line; without\n"
           "                   FIRMWARE only that (STM32-ANY)\n"
           "  --device-info    erase the MSP430 (or unlock it with --password) and show its\n"
           "                   device and loader version\n"
           "  --verbose        say whether the port took the low-latency request, and\n"
           "                   the USB adapter's latency timer where it can be read\n"
           "  --version        print the version and stop\n"
           "  -h, --help       show this text\n"
           "\n"
           "Exit status: 0 after \"PROGRAM OK in ...\" (\"READ OK\", \"ERASE OK\", \"GO OK\",\n"
           "\"PROTECTION OK\", or\n"
           "the device info), 1 after a failure line of the run, 2 when the command line, the file\n"
           "or the port is refused (the port is then left alone), 130 when Ctrl+C\n"
           "stopped the run at a block boundary.\n";
}

std::string LowLatencyReport(const std::string& port, bool granted, std::optional<int> latencyTimerMs) {
    std::string text = "quennet-flash: " + port +
                       (granted ? ": low latency on" : ": low latency refused; the port is used as it is");
    if (latencyTimerMs) text += "; adapter latency timer " + std::to_string(*latencyTimerMs) + " ms";
    return text;
}

void StreamStatusLog::AppendRaw(const std::string& text) {
    text_ += text;
    // The log breaks lines with CR LF; a terminal or a pipe wants LF.
    std::string out;
    out.reserve(text.size() + 1);
    for (char c : text) {
        if (pendingCr_) {
            pendingCr_ = false;
            if (c != '\n') out += '\r';
        }
        if (c == '\r') {
            pendingCr_ = true;
            continue;
        }
        out += c;
    }
    if (out.empty()) return;
    EraseProgress();
    lineOpen_ = out.back() != '\n';
    for (char c : out) column_ = c == '\n' ? 0 : column_ + 1;
    out_ << out;
}

void StreamStatusLog::ShowProgress(const std::string& text) {
    if (progressColumns_ <= 0) return;
    EraseProgress();
    if (text.empty()) {
        out_.flush();
        return;
    }
    // Behind the open line, and only where it fits the terminal's row: the
    // backspaces that take it away again cannot go back over a wrap.
    const std::string shown = "  [" + text + "]";
    const std::size_t column = column_ % static_cast<std::size_t>(progressColumns_);
    if (column + shown.size() < static_cast<std::size_t>(progressColumns_)) {
        out_ << shown << std::string(shown.size(), '\b');
        progressShown_ = shown.size();
    }
    out_.flush();
}

void StreamStatusLog::EraseProgress() {
    if (progressShown_ == 0) return;
    out_ << std::string(progressShown_, ' ') << std::string(progressShown_, '\b');
    progressShown_ = 0;
}

void StreamStatusLog::Finish() {
    EraseProgress();
    if (pendingCr_) {
        pendingCr_ = false;
        lineOpen_ = false;
        out_ << '\n';
    }
    if (lineOpen_) out_ << '\n';
    lineOpen_ = false;
    out_.flush();
}

FlashCommand::FlashCommand(FlashHost host)
    : host_(std::move(host)),
      port_(host_.devices, host_.clock),
      log_(host_.out, host_.progressColumns),
      loader_(LoaderHost{port_, log_, {}, {}, {},
                         [this](const RunProgress& p) {
                             log_.ShowProgress(p.active ? ProgressText(p) : "");
                             if (progress_) progress_(p);
                         }},
              [this] {
          // Each sequence as the window has it, its result noted: the run
          // frame keeps only Start Program's.
          TargetSequences s = DefaultSequences();
          auto noted = [this](TargetSequence inner) {
              return [this, inner](Loader& l, const LoaderInputs& in, std::uint32_t baud) {
                  sequenceResult_ = inner(l, in, baud);
                  return sequenceResult_;
              };
          };
          s.programMsp430 = noted(s.programMsp430);
          s.msp430DeviceInfo = noted(s.msp430DeviceInfo);
          s.programStm32 = noted(s.programStm32);
          s.programStm32Any = noted(s.programStm32Any);
          return s;
      }()) {}

void FlashCommand::RequestStop() {
    stopRequested_.store(true, std::memory_order_relaxed);
    loader_.RequestStop();
}

bool FlashCommand::CheckAction(const FlashOptions& options, const LoaderTarget& target) {
    LoaderInputs range;
    range.rangeStart = options.rangeStart;
    range.rangeLength = options.rangeLength;
    const FlashWindow window = TargetFlashWindow(target);
    std::uint32_t start = 0;
    std::size_t length = 0;
    const bool msp430 = RunsMsp430(target);
    if (options.erase && msp430) return true;  // the whole flash, no range
    if (const std::string why = msp430 ? Msp430ReadRange(range, start, length)
                                       : FlashRange(range, window.base, window.size, start, length);
        !why.empty()) {
        host_.err << "quennet-flash: the range to " << (options.erase ? "erase " : "read ") << why << '\n';
        return false;
    }
    if (options.erase) return true;
    std::array<std::uint8_t, 32> password{};
    if (!options.passwordPath.empty())
        if (const std::string why = Msp430PasswordFrom(options.passwordPath, password); !why.empty()) {
            host_.err << "quennet-flash: password file " << options.passwordPath << ": " << why << '\n';
            return false;
        }
    if (const std::string why = CheckWritable(options.readPath); !why.empty()) {
        host_.err << "quennet-flash: " << options.readPath << ' ' << why << '\n';
        return false;
    }
    return true;
}

bool FlashCommand::CheckFirmware(const FlashOptions& options, const LoaderTarget& target) {
    // Read the file once before the port is touched; the run reads it again.
    FirmwareFile file;
    std::string reason = LoadFirmwareFor(options.firmwarePath, options.binaryAddress, TargetFlashWindow(target),
                                         file, loader_.Image());
    // A file without data would only erase the chip: a script meant something else.
    if (reason.empty() && !loader_.Image().HasData(0, loader_.Image().size())) reason = kFirmwareHoldsNoData;
    if (reason.empty()) return true;
    host_.err << "quennet-flash: " << FirmwareRefusal(options.firmwarePath, reason) << '\n';
    // A raw binary carries no address: the option that gives it is named.
    if (!options.binaryAddress && reason.find("raw binary") != std::string::npos)
        host_.err << "quennet-flash: for a raw binary, give its load address with --address ADDR (0x08000000)\n";
    return false;
}

int FlashCommand::Run(const FlashOptions& options) {
    const LoaderTarget* target = FindLoaderTarget(options.targetIndex);
    if (!target || !target->program) {
        host_.err << "quennet-flash: no target to run\n";
        return kFlashBadCommand;
    }
    const bool reading = !options.readPath.empty();
    const bool goOnly = options.go && options.firmwarePath.empty() && !options.deviceInfo;
    const bool programming = !reading && !options.erase && !goOnly && !options.protection && !options.deviceInfo;
    if (reading || options.erase ? !CheckAction(options, *target) : programming && !CheckFirmware(options, *target))
        return kFlashBadCommand;
    if (options.deviceInfo && !options.passwordPath.empty()) {
        std::array<std::uint8_t, 32> password{};
        if (const std::string why = Msp430PasswordFrom(options.passwordPath, password); !why.empty()) {
            host_.err << "quennet-flash: password file " << options.passwordPath << ": " << why << '\n';
            return kFlashBadCommand;
        }
    }
    if (stopRequested_.exchange(false)) {
        loader_.ClearStopRequest();
        host_.err << "quennet-flash: stopped before the run began\n";
        return kFlashStopped;
    }

    // The port is opened at the target's own settings, so the run needs no
    // change of rate where the target allows that, and the open itself is
    // the exclusive check that nobody else holds the port.
    if (port_.ComOpen(options.port, target->baud, kFrameE81) != kComOk) {
        const std::string& why = port_.ComOpenProblem();
        host_.err << "quennet-flash: port " << options.port << ' ' << (why.empty() ? "cannot be opened" : why)
                  << '\n';
        return kFlashBadCommand;
    }

    // The run asks for low latency itself; asking at once lets --verbose
    // say what the device made of it before the first line of the run.
    const bool fast = port_.ComSetLowLatency(true);
    if (options.verbose) host_.out << LowLatencyReport(options.port, fast, port_.ComAdapterLatencyMs()) << '\n';

    LoaderInputs in;
    in.firmwarePath = options.firmwarePath;
    in.binaryAddress = options.binaryAddress;
    in.verify = options.verify;
    in.invertDtr = options.invertDtr;
    in.toggleTck = options.toggleTck;
    in.unprotect = options.unprotect;
    in.go = options.go;
    in.goAddress = options.goAddress;
    in.readPath = options.readPath;
    in.passwordPath = options.passwordPath;
    in.rangeStart = options.rangeStart;
    in.rangeLength = options.rangeLength;
    in.targetIndex = options.targetIndex;
    in.terminalPort = options.port;
    in.terminalBaud = std::to_string(target->baud);
    in.terminalFormat = kFrameE81;

    in.protectSectors = options.protectSectors;

    sequenceResult_ = 1;
    std::optional<LoaderAction> action = options.protection;
    if (reading) action = LoaderAction::Read;
    if (options.erase) action = LoaderAction::Erase;
    if (goOnly) action = LoaderAction::Go;
    const TargetSequence sequence = action ? ActionSequence(*target, *action) : TargetSequence{};
    if (action)
        loader_.RunAction(in, ActionFirstLine(*target, *action),
                          [this, &sequence](Loader& l, const LoaderInputs& i, std::uint32_t baud) {
                              return sequenceResult_ = sequence(l, i, baud);
                          });
    else if (options.deviceInfo)
        loader_.DeviceInfo(in);
    else
        loader_.StartProgram(in);
    log_.Finish();

    // A good run ends with the reset pulse, which needs the port back; a
    // port that could not be reopened left the target in its bootloader.
    const bool portBack = port_.IsOpen();
    port_.ComClose();
    // A request ends with its run, like the loader's own.
    const bool stopped = stopRequested_.exchange(false);
    if (sequenceResult_ != 0) {
        if (loader_.ReadoutProtected && programming)
            host_.err << "quennet-flash: run again with --unprotect to remove the read-out protection; "
                         "this erases the part's whole flash\n";
        if (!stopped) return kFlashRunFailed;
        if (reading)
            host_.err << "quennet-flash: run stopped at a block boundary; " << options.readPath
                      << " was not written\n";
        else if (!programming)
            host_.err << "quennet-flash: run stopped\n";
        else
            host_.err << "quennet-flash: run stopped at a block boundary; the flash is erased and "
                         "partly written\n";
        return kFlashStopped;
    }
    if (!portBack) {
        host_.err << "quennet-flash: port " << options.port
                  << " could not be opened again after the run; the target was not reset\n";
        return kFlashRunFailed;
    }
    return kFlashOk;
}

}  // namespace quennet
