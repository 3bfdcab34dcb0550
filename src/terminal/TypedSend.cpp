#include "terminal/TypedSend.h"

#include <algorithm>

#include "terminal/Charset.h"

namespace quennet {

std::string_view LineEndBytes(LineEnd end) {
    switch (end) {
        case LineEnd::Lf: return "\n";
        case LineEnd::CrLf: return "\r\n";
        case LineEnd::Cr: break;
    }
    return "\r";
}

std::string TypedBytes(std::u32string_view text, LineEnd end) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (c == U'\r' || c == U'\n') {
            if (c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n') ++i;
            out += LineEndBytes(end);
            continue;
        }
        const int b = TypedCharToByte(c);
        if (b >= 0) out.push_back(static_cast<char>(b));
    }
    return out;
}

void PacedSender::Queue(std::string_view bytes) {
    if (bytes.empty()) return;
    if (!Running()) Stop();
    queue_.append(bytes);
}

void PacedSender::Stop() {
    queue_.clear();
    head_ = 0;
    started_ = false;
    credit_ = 0;
    idleSteps_ = 0;
}

std::size_t PacedSender::Step(ComPort& port, std::uint64_t nowUs, std::uint32_t charsPerSecond) {
    if (!Running()) return 0;
    const double rate = std::max<std::uint32_t>(charsPerSecond, 1);
    // What is not sent within a moment is not saved up: a pause of the
    // window must not turn into a burst that fills the driver's queue.
    const double cap = std::max(static_cast<double>(kBurst), rate / 20);
    if (!started_) {
        started_ = true;
        credit_ = static_cast<double>(kBurst);
    } else if (nowUs > lastUs_) {
        credit_ = std::min(cap, credit_ + static_cast<double>(nowUs - lastUs_) * rate / 1e6);
    }
    lastUs_ = nowUs;
    const std::size_t n = std::min(Pending(), static_cast<std::size_t>(credit_));
    if (n == 0) return 0;
    const std::size_t taken = port.ComWrite(reinterpret_cast<const std::uint8_t*>(queue_.data() + head_), n);
    head_ += taken;
    credit_ -= static_cast<double>(taken);
    idleSteps_ = taken == 0 ? idleSteps_ + 1 : 0;
    if (!Running() || idleSteps_ >= kMaxIdleSteps) {
        Stop();
    } else if (head_ >= 65536 && head_ * 2 >= queue_.size()) {
        queue_.erase(0, head_);
        head_ = 0;
    }
    return taken;
}

std::uint32_t CharsPerSecond(std::uint32_t baud, int frameFormat) {
    if (baud == 0) baud = 9600;
    // E-8-1 and O-8-1 have eleven bits a character; the others ten.
    const std::uint32_t bits = (frameFormat == kFrameE81 || frameFormat == kFrameO81) ? 11 : 10;
    return std::max<std::uint32_t>(1, baud / bits);
}

}  // namespace quennet
