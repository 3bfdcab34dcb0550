#include "LcdFirmwareTarget.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <random>

namespace quennet {

namespace {

std::uint8_t XorOf(const std::string& text) {
    std::uint8_t x = 0;
    for (char c : text) x = static_cast<std::uint8_t>(x ^ static_cast<std::uint8_t>(c));
    return x;
}

std::string TwoHex(std::uint8_t v, bool lower) {
    char buf[3];
    std::snprintf(buf, sizeof buf, lower ? "%02x" : "%02X", v);
    return buf;
}

}  // namespace

std::string NmeaSentence(const std::string& body, bool lowerCaseDigits) {
    return "$" + body + "*" + TwoHex(XorOf(body), lowerCaseDigits) + "\r\n";
}

std::string NmeaSentenceBadChecksum(const std::string& body) {
    return "$" + body + "*" + TwoHex(static_cast<std::uint8_t>(XorOf(body) + 1), false) + "\r\n";
}

LcdFirmwareTarget::LcdFirmwareTarget(SimLine& line, int width, int height) : line_(line) {
    Resize(width, height);
    line_.SetPeer(this);
    line_.clock().AddListener(this);
}

LcdFirmwareTarget::~LcdFirmwareTarget() {
    line_.clock().RemoveListener(this);
    if (line_.peer() == this) line_.SetPeer(nullptr);
}

void LcdFirmwareTarget::Resize(int width, int height) {
    width_ = std::max(width, 0);
    height_ = std::max(height, 0);
    pixels_.assign(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_), 0);
}

void LcdFirmwareTarget::SetPixel(int row, int column, bool lit) {
    if (row < 0 || row >= height_ || column < 0 || column >= width_) return;
    pixels_[static_cast<std::size_t>(row) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(column)] = lit;
}

bool LcdFirmwareTarget::Pixel(int row, int column) const {
    if (row < 0 || row >= height_ || column < 0 || column >= width_) return false;
    return pixels_[static_cast<std::size_t>(row) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(column)] != 0;
}

void LcdFirmwareTarget::FillTestPattern() {
    for (int r = 0; r < height_; ++r)
        for (int c = 0; c < width_; ++c) SetPixel(r, c, ((r * 7 + c * 3 + (r * c) % 5) % 4) == 0 || c == r);
}

std::string LcdFirmwareTarget::RowBody(int row) const {
    std::string body = talker + "PIX," + std::to_string(row) + ",";
    if (rowData) return body + *rowData;
    for (int c = 0; c < width_; c += 8) {
        std::uint8_t byte = 0;
        for (int b = 0; b < 8; ++b)
            if (Pixel(row, c + b)) byte = static_cast<std::uint8_t>(byte | (0x80 >> b));
        body += TwoHex(byte, false);
    }
    return body;
}

void LcdFirmwareTarget::OnBytes(SimLine&, const std::uint8_t* bytes, std::size_t n,
                                std::uint64_t arrivalUs) {
    for (std::size_t i = 0; i < n; ++i) {
        const char c = static_cast<char>(bytes[i]);
        if (c == '\n') {
            std::string text = pending_;
            pending_.clear();
            if (!text.empty() && text.back() == '\r') text.pop_back();
            received_.push_back(text);
            OnLine(text, arrivalUs);
        } else if (pending_.size() < 200) {
            pending_ += c;
        }
    }
}

void LcdFirmwareTarget::OnLine(const std::string& text, std::uint64_t atUs) {
    // $ttCOM,SCR*hh: two talker characters, then the command word.
    const std::size_t star = text.rfind('*');
    if (text.size() < 2 || text[0] != '$' || star == std::string::npos || star + 3 != text.size()) return;
    const std::string body = text.substr(1, star - 1);
    if (TwoHex(XorOf(body), false) != text.substr(star + 1)) return;
    if (body.size() < 2 || body.substr(2) != "COM,SCR") return;
    ++commands_;
    if (mute) return;
    if (endlessChatter) {
        if (!nextChatterUs_) nextChatterUs_ = atUs + answerDelayUs;
        return;
    }
    Answer(atUs + answerDelayUs);
}

void LcdFirmwareTarget::Send(const std::string& bytes, std::uint64_t notBeforeUs) {
    const std::uint64_t start = std::max({notBeforeUs, sendFreeUs_, line_.NowUs()});
    line_.SendToPortAt(start, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    sendFreeUs_ = start + line_.WireTimeUs(bytes.size());
    answered_ += bytes.size();
}

void LcdFirmwareTarget::Answer(std::uint64_t atUs) {
    sendFreeUs_ = std::max(sendFreeUs_, atUs);
    const std::string longLine = std::string(static_cast<std::size_t>(std::max(longLineChars, 0)), 'X') + "\n";
    if (!noiseBeforeHeader.empty()) Send(noiseBeforeHeader);
    for (const auto& l : linesBeforeHeader) Send(l);
    if (longLineBeforeRow == -2) Send(longLine);

    const std::string fields = headerFields ? *headerFields : std::to_string(width_) + "," + std::to_string(height_);
    const std::string header = talker + "LCD," + fields;
    if (badHeaderFirst || badHeaderOnly) Send(NmeaSentenceBadChecksum(header));
    if (!badHeaderOnly) Send(NmeaSentence(header, lowerCaseHeader));

    std::vector<int> order(static_cast<std::size_t>(height_));
    std::iota(order.begin(), order.end(), 0);
    if (shuffleRows) std::shuffle(order.begin(), order.end(), std::mt19937(shuffleSeed));
    const int count = rowsToSend < 0 ? height_ : std::min(rowsToSend, height_);
    for (int k = 0; k < count; ++k) {
        if (k == secondHeaderAfterRows) Send(NmeaSentence(talker + "LCD," + secondHeaderFields));
        if (k == longLineBeforeRow) Send(longLine);
        const std::uint64_t gapUs = k == gapBeforeRow ? static_cast<std::uint64_t>(std::max(gapMs, 0)) * 1000u : 0;
        Send(NmeaSentence(RowBody(order[static_cast<std::size_t>(k)]), lowerCaseRows), sendFreeUs_ + gapUs);
    }
    if (count == secondHeaderAfterRows) Send(NmeaSentence(talker + "LCD," + secondHeaderFields));
}

std::optional<std::uint64_t> LcdFirmwareTarget::NextEventUs() const { return nextChatterUs_; }

void LcdFirmwareTarget::OnTime(std::uint64_t nowUs) {
    if (!nextChatterUs_ || *nextChatterUs_ > nowUs) return;
    // One position fix after another, each sent once the last has left.
    ++chatterCount_;
    char body[64];
    std::snprintf(body, sizeof body, "GPGGA,%06u,4807.038,N,01131.000,E,1,08,0.9,545.4,M",
                  chatterCount_ % 1000000u);
    Send(NmeaSentence(body));
    nextChatterUs_ = std::max(sendFreeUs_, nowUs + 1);
}

}  // namespace quennet
