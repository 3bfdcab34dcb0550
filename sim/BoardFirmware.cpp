#include "BoardFirmware.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace quennet {

namespace {

constexpr std::size_t kMaxLine = 256;

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

BoardFirmware::BoardFirmware(SimLine& line, LcdFirmwareTarget& lcd, std::string identity)
    : line_(line), lcd_(lcd), identity_(std::move(identity)) {
    line_.clock().AddListener(this);
}

BoardFirmware::~BoardFirmware() { line_.clock().RemoveListener(this); }

void BoardFirmware::Start(std::uint64_t atUs) {
    running_ = true;
    led_ = false;
    lastWasCr_ = false;
    pending_.clear();
    startUs_ = atUs;
    greetUs_ = atUs + kBootUs;
    nextPeriodicUs_.reset();
}

void BoardFirmware::Stop() {
    running_ = false;
    greetUs_.reset();
    nextPeriodicUs_.reset();
    pending_.clear();
}

std::optional<std::uint64_t> BoardFirmware::NextEventUs() const {
    if (!running_) return std::nullopt;
    if (greetUs_) return greetUs_;
    return nextPeriodicUs_;
}

void BoardFirmware::OnTime(std::uint64_t nowUs) {
    if (greetUs_ && *greetUs_ <= nowUs) {
        greetUs_.reset();
        Say(std::string("\r\n") + kGreeting + "\r\n" + identity_ +
                "\r\nType HELP and Enter for the commands.\r\n",
            nowUs);
        if (periodUs) nextPeriodicUs_ = nowUs + periodUs;
        return;
    }
    if (nextPeriodicUs_ && *nextPeriodicUs_ <= nowUs) {
        const std::uint64_t seconds = (nowUs - startUs_) / 1000000;
        Say("[" + std::to_string(seconds) + " s] board alive, LED " + (led_ ? "on" : "off") +
                "\r\n",
            nowUs);
        nextPeriodicUs_ = nowUs + periodUs;
    }
}

void BoardFirmware::Say(const std::string& text, std::uint64_t atUs) {
    line_.SendToPortAt(atUs, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

void BoardFirmware::OnBytes(const std::uint8_t* bytes, std::size_t n, std::uint64_t arrivalUs) {
    if (!running_ || greetUs_) return;  // still booting: the bytes are lost
    std::string echo;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c == '\r' || c == '\n') {
            const bool secondHalf = c == '\n' && lastWasCr_;
            lastWasCr_ = c == '\r';
            if (secondHalf) continue;  // CR LF is one line end
            echo += "\r\n";
            Say(echo, arrivalUs);
            echo.clear();
            const std::string line = pending_;
            pending_.clear();
            OnLine(line, arrivalUs);
            continue;
        }
        lastWasCr_ = false;
        if (c == '\b' || c == 0x7F) {
            if (!pending_.empty()) pending_.pop_back();
            echo += '\b';
            continue;
        }
        echo += c;
        // An overlong line is kept to its start; the rest is still echoed.
        if (pending_.size() < kMaxLine) pending_ += c;
    }
    if (!echo.empty()) Say(echo, arrivalUs);
}

void BoardFirmware::OnLine(const std::string& raw, std::uint64_t atUs) {
    const std::string text = Trim(raw);
    if (text.empty()) return;
    ++linesAnswered_;
    if (text[0] == '$') {
        const auto star = text.rfind('*');
        const std::string body = text.substr(1, star == std::string::npos ? std::string::npos : star - 1);
        // The display capture command is the LCD's to answer, whatever line
        // end the host used; its answer follows the echo.
        if (body.size() >= 7 && body.compare(body.size() - 7, 7, "COM,SCR") == 0) {
            const std::string command = text + "\r\n";
            lcd_.OnBytes(line_, reinterpret_cast<const std::uint8_t*>(command.data()), command.size(), atUs);
            return;
        }
        bool good = false;
        if (star != std::string::npos && star + 3 == text.size()) {
            const int hi = HexDigit(text[star + 1]);
            const int lo = HexDigit(text[star + 2]);
            std::uint8_t sum = 0;
            for (char c : body) sum = static_cast<std::uint8_t>(sum ^ static_cast<std::uint8_t>(c));
            good = hi >= 0 && lo >= 0 && sum == hi * 16 + lo;
        }
        Say(good ? NmeaSentence("QNACK," + body) : NmeaSentence("QNERR,CHECKSUM"), atUs);
        return;
    }
    const std::string command = Upper(text);
    if (command == "HELP") {
        Say("Commands: HELP, VER, PING, STATUS, LED ON, LED OFF; NMEA sentences are "
            "acknowledged.\r\n",
            atUs);
    } else if (command == "VER") {
        Say(identity_ + "\r\n", atUs);
    } else if (command == "PING") {
        Say("PONG\r\n", atUs);
    } else if (command == "STATUS") {
        const std::uint64_t seconds = (atUs - startUs_) / 1000000;
        Say("Up " + std::to_string(seconds) + " s, LED " + (led_ ? "on" : "off") + ", " +
                std::to_string(linesAnswered_) + " lines received.\r\n",
            atUs);
    } else if (command == "LED ON" || command == "LED OFF") {
        led_ = command == "LED ON";
        Say(std::string("LED is ") + (led_ ? "on" : "off") + ".\r\n", atUs);
    } else {
        Say("Unknown command: " + text + " (type HELP)\r\n", atUs);
    }
}

}  // namespace quennet
