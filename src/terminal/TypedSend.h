#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "serial/ComPort.h"

namespace quennet {

// What the Enter key sends.
enum class LineEnd { Cr = 0, Lf = 1, CrLf = 2 };
std::string_view LineEndBytes(LineEnd end);

// The bytes that typing text would send: each character its 8-bit code
// (a character without one is skipped), each line end of the text (CR LF,
// CR or LF) the chosen line end.
std::string TypedBytes(std::u32string_view text, LineEnd end);

// Sends queued bytes (a paste, an input line) no faster than the line
// carries them, a little at every pump tick, so that the window never waits
// on a full transmit queue. A first burst goes out at once.
class PacedSender {
public:
    static constexpr std::size_t kBurst = 256;
    // Steps in a row in which the port took nothing before the rest is
    // dropped: the port is closed or stuck.
    static constexpr int kMaxIdleSteps = 3;

    void Queue(std::string_view bytes);
    bool Running() const { return head_ < queue_.size(); }
    std::size_t Pending() const { return queue_.size() - head_; }
    void Stop();

    // Writes what the line could carry since the last step at
    // charsPerSecond; returns the bytes the port took.
    std::size_t Step(ComPort& port, std::uint64_t nowUs, std::uint32_t charsPerSecond);

private:
    std::string queue_;
    std::size_t head_ = 0;
    bool started_ = false;
    std::uint64_t lastUs_ = 0;
    double credit_ = 0;
    int idleSteps_ = 0;
};

// Characters a second for a baud rate and frame format: start bit, data
// bits, parity, stop bit. A rate of 0 (not a number) paces as 9600 would.
std::uint32_t CharsPerSecond(std::uint32_t baud, int frameFormat);

}  // namespace quennet
