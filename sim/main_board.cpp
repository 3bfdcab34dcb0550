// quennet-board: a simulated board served on a pseudo-terminal.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "PtyBoard.h"
#include "SimBoard.h"
#include "Stm32ChipModels.h"
#include "VirtualClock.h"
#include "serial/posix/BoardAnnounce.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

const char* kHelp =
    "Usage: quennet-board [options]\n"
    "\n"
    "Serves a simulated board on a pseudo-terminal until stopped (Ctrl+C or\n"
    "SIGTERM). The first line on standard output is the pty's path. The board\n"
    "is also announced to Quennet's port list by a link in a per-user folder\n"
    "($XDG_RUNTIME_DIR/quennet or /tmp/quennet-<uid>), named after the chip:\n"
    "quennet-board-stm32 or quennet-board-msp430. A board started again gets\n"
    "the same name, so a terminal waiting for it opens it again. While a\n"
    "running board holds that name, the next board of the kind is numbered\n"
    "(quennet-board-stm32-2, ...): the first board's link stays its own.\n"
    "\n"
    "The board runs application firmware on the terminal (greeting, echo, a\n"
    "status line every 10 s, commands HELP VER PING STATUS LED ON/OFF, NMEA\n"
    "sentences acknowledged) and answers the LCD capture with a test picture.\n"
    "A pty has no DTR or RTS: the chip enters its bootloader when the host\n"
    "opens the line at a bootloader baud rate (MSP430: 9600 or 19200; STM32:\n"
    "57600 or 115200), and returns to its firmware when the host reopens the\n"
    "line at another rate or after 1 s without a byte from the host. A host\n"
    "that flushes only its input stays in the bootloader, and one that follows\n"
    "the MSP430 loader to the rate of its change baud rate command too.\n"
    "Bytes take the time that the baud rate gives them on a real wire.\n"
    "\n"
    "Options:\n"
    "  --chip msp430|stm32       the chip on the board (default stm32)\n"
    "  --device-id HEX           MSP430 device ID, family in the high byte\n"
    "                            (default F149; F1xx flash needs 19 mass erases)\n"
    "  --bsl-version HEX         MSP430 BSL version, major in the high byte\n"
    "                            (default 0111 for 1.11; 0110 needs the patch,\n"
    "                            0160 and later change their baud rate)\n"
    "  --blank-flash             the chip starts with blank flash, not with\n"
    "                            an old program that a run must erase\n"
    "  --product-id HEX          STM32 product ID (default 414); these pick a model\n"
    "                            of their family (loader version and commands,\n"
    "                            flash layout, erase and write times):\n"
    "%s"
    "                            any other ID answers from the F103 model\n"
    "  --bootloader-version HEX  STM32 bootloader version (default: the model's,\n"
    "                            22 for 2.2 on the F1, 31 for 3.1 on the others)\n"
    "  --rdp                     the STM32 starts with read-out protection on\n"
    "  --uid HEX                 the STM32's 96-bit unique ID, 24 hex digits in\n"
    "                            address order\n"
    "  --fail-write N            the STM32 refuses its N-th block write (NACK)\n"
    "  --flash-out FILE          write the chip's flash to FILE on exit\n"
    "  --flash-format bin|srec   binary image of the whole flash from its first\n"
    "                            address (MSP430 0x1000, STM32 0x08000000), or\n"
    "                            S-records of the bytes that are not blank\n"
    "                            (default bin)\n"
    "  --period SECONDS          the firmware's status line (default 10; 0: off)\n"
    "  --adapter ftdi|none       the USB adapter between board and host: ftdi\n"
    "                            holds the board's bytes until 62 have come or\n"
    "                            its 16 ms latency timer runs out (a pty cannot\n"
    "                            ask it for low latency); none (the default)\n"
    "                            passes each byte on as it arrives\n"
    "  --link PATH               the link to announce the board by instead; a\n"
    "                            name without '/' is made in the folder above.\n"
    "                            Refused while a running board holds it\n"
    "  --no-announce             do not create the link for the port list\n"
    "  --help                    this text\n";

bool ParseHex(const char* text, unsigned long max, unsigned long& out) {
    if (!text || !*text) return false;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text += 2;
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 16);
    if (errno != 0 || !end || *end != '\0' || end == text || v > max) return false;
    out = v;
    return true;
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "quennet-board: %s\nTry quennet-board --help.\n", problem.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using quennet::SimBoardConfig;
    SimBoardConfig config;
    std::string flashOut;
    bool srecords = false;
    bool announce = true;
    std::string linkPath;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long v = 0;
        auto needValue = [&]() {
            if (!value) return false;
            ++i;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            std::string models;
            for (const quennet::Stm32ChipModel& m : quennet::Stm32ChipModels()) {
                char line[96];
                std::snprintf(line, sizeof line, "                              %03X  %s, %u KiB\n", m.productId,
                              m.part, static_cast<unsigned>(m.FlashSize() / 1024));
                models += line;
            }
            std::string help = kHelp;
            help.replace(help.find("%s"), 2, models);
            std::fputs(help.c_str(), stdout);
            return 0;
        } else if (arg == "--no-announce") {
            announce = false;
        } else if (arg == "--link") {
            if (!needValue() || !*value) return Usage("--link needs a path");
            linkPath = value;
        } else if (arg == "--rdp") {
            config.stm32ReadoutProtected = true;
        } else if (arg == "--uid") {
            const std::string hex = value ? value : "";
            if (!needValue() || hex.size() != 24 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return Usage("--uid needs 24 hex digits");
            for (std::size_t k = 0; k < 12; ++k)
                config.stm32UniqueId[k] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * k, 2), nullptr, 16));
        } else if (arg == "--fail-write") {
            char* end = nullptr;
            const long n = value ? std::strtol(value, &end, 10) : 0;
            if (!needValue() || !end || *end || n < 1 || n > 100000) return Usage("--fail-write needs a block number from 1");
            config.stm32FailWrite = static_cast<int>(n);
        } else if (arg == "--blank-flash") {
            config.msp430OldFirmware = false;
            config.stm32OldFirmware = false;
        } else if (arg == "--chip") {
            if (!needValue()) return Usage("--chip needs msp430 or stm32");
            if (std::strcmp(value, "msp430") == 0)
                config.chip = SimBoardConfig::Chip::Msp430;
            else if (std::strcmp(value, "stm32") == 0)
                config.chip = SimBoardConfig::Chip::Stm32;
            else
                return Usage(std::string("unknown chip: ") + value);
        } else if (arg == "--device-id") {
            if (!needValue() || !ParseHex(value, 0xFFFF, v)) return Usage("--device-id needs 1 to 4 hex digits");
            config.msp430DeviceId = static_cast<std::uint16_t>(v);
        } else if (arg == "--bsl-version") {
            if (!needValue() || !ParseHex(value, 0xFFFF, v)) return Usage("--bsl-version needs 1 to 4 hex digits");
            config.bslVersion = static_cast<std::uint16_t>(v);
        } else if (arg == "--product-id") {
            if (!needValue() || !ParseHex(value, 0xFFFF, v)) return Usage("--product-id needs 1 to 4 hex digits");
            config.stm32ProductId = static_cast<std::uint16_t>(v);
        } else if (arg == "--bootloader-version") {
            if (!needValue() || !ParseHex(value, 0xFF, v)) return Usage("--bootloader-version needs 1 or 2 hex digits");
            config.bootloaderVersion = static_cast<std::uint8_t>(v);
        } else if (arg == "--flash-out") {
            if (!needValue() || !*value) return Usage("--flash-out needs a file name");
            flashOut = value;
        } else if (arg == "--flash-format") {
            if (!needValue()) return Usage("--flash-format needs bin or srec");
            if (std::strcmp(value, "srec") == 0)
                srecords = true;
            else if (std::strcmp(value, "bin") == 0)
                srecords = false;
            else
                return Usage(std::string("unknown flash format: ") + value);
        } else if (arg == "--adapter") {
            if (!needValue()) return Usage("--adapter needs ftdi or none");
            if (std::strcmp(value, "ftdi") == 0)
                config.adapter = quennet::SimLine::Adapter::Ftdi;
            else if (std::strcmp(value, "none") == 0)
                config.adapter = quennet::SimLine::Adapter::None;
            else
                return Usage(std::string("unknown adapter: ") + value);
        } else if (arg == "--period") {
            char* end = nullptr;
            const long seconds = value ? std::strtol(value, &end, 10) : -1;
            if (!needValue() || !end || *end || seconds < 0 || seconds > 86400)
                return Usage("--period needs seconds from 0 to 86400");
            config.periodUs = static_cast<std::uint64_t>(seconds) * 1000000;
        } else {
            return Usage("unknown option: " + arg);
        }
    }

    if (!announce && !linkPath.empty()) return Usage("--link and --no-announce exclude each other");

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    quennet::VirtualClock clock;
    quennet::SimBoard board(clock, config);
    board.onEvent = [&clock](const std::string& text) {
        std::fprintf(stderr, "quennet-board: %.3f s: %s\n", clock.NowUs() / 1e6, text.c_str());
    };
    quennet::PtyBoard pty(clock, board);
    std::string error;
    if (!pty.Open(error)) {
        std::fprintf(stderr, "quennet-board: %s\n", error.c_str());
        return 1;
    }
    quennet::posix::BoardLink link;
    if (announce) {
        const char* chip = config.chip == SimBoardConfig::Chip::Msp430 ? "msp430" : "stm32";
        const bool bareName = !linkPath.empty() && linkPath.find('/') == std::string::npos;
        const auto folder = quennet::posix::BoardAnnounceDir(true);
        std::string error;
        if (!linkPath.empty() && !bareName) {
            link = quennet::posix::BoardLink::Claim(linkPath, pty.Path(), error);
        } else if (!folder) {
            error = "no safe folder to announce the port in";
        } else if (bareName) {
            link = quennet::posix::BoardLink::Claim(*folder + "/" + linkPath, pty.Path(), error);
        } else {
            link = quennet::posix::AnnounceBoard(*folder, chip, pty.Path(), error);
        }
        // A link the user named and cannot have is an error: another name
        // would not be the one a terminal waits for.
        if (!link.Held() && !linkPath.empty()) {
            std::fprintf(stderr, "quennet-board: %s; choose another --link\n", error.c_str());
            return 1;
        }
        if (link.Held())
            std::fprintf(stderr, "quennet-board: listed as %s\n", link.Path().c_str());
        else
            std::fprintf(stderr, "quennet-board: %s\n", error.c_str());
    }
    // The path goes out once the board is listed, so that whoever reads it
    // finds the board in the port list as well.
    std::printf("%s\n", pty.Path().c_str());
    std::fflush(stdout);

    pty.Run(g_stop);

    link = {};
    if (!flashOut.empty()) {
        if (!board.WriteFlash(flashOut, srecords)) {
            std::fprintf(stderr, "quennet-board: cannot write %s\n", flashOut.c_str());
            return 1;
        }
        std::fprintf(stderr, "quennet-board: flash written to %s\n", flashOut.c_str());
    }
    return 0;
}
