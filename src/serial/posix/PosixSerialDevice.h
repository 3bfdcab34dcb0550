#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "serial/SerialDevice.h"
#include "serial/posix/PosixTermios.h"

namespace quennet {

namespace posix {
// The reason an open(2) of a port failed with errno e, as PortProblem.h
// words it.
std::string OpenErrnoProblem(int e);
}  // namespace posix

// A serial device (or pseudo-terminal) on Linux, through termios and the
// modem-line ioctls. Opened non-blocking and exclusively (TIOCEXCL and an
// flock, so that a second opener fails even with privileges), in raw mode.
// Close puts back the terminal settings found at open.
class PosixSerialDevice : public SerialDevice {
public:
    // How long Write waits without any byte being taken before it gives up,
    // on top of the wire time of what it was asked to send.
    static constexpr int kWriteStallMs = 2000;

    PosixSerialDevice() = default;
    ~PosixSerialDevice() override;
    PosixSerialDevice(const PosixSerialDevice&) = delete;
    PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

    bool Open(const std::string& path) override;
    bool GetSettings(LineSettings& out) override;
    bool SetSettings(const LineSettings& settings) override;
    bool SetDtr(bool asserted) override;
    bool SetRts(bool asserted) override;
    bool SetBreak(bool on) override;
    bool Purge(bool transmit, bool receive) override;
    bool QueryWaiting(std::uint32_t& count) override;
    long Read(std::uint8_t* buffer, std::size_t n) override;
    bool WaitReadable(std::uint64_t timeoutUs) override;
    long Write(const std::uint8_t* data, std::size_t n) override;
    bool Close() override;
    bool Lost() override;
    bool Missing() const override { return missing_; }
    int ReadableHandle() const override { return fd_; }
    bool GetLowLatency(bool& on) override;
    bool SetLowLatency(bool on) override;
    std::optional<int> LatencyTimerMs() const override;

    int fd() const { return fd_; }

private:
    bool SetModemLine(int line, bool asserted);
    // Milliseconds that n bytes take on the wire at the current settings.
    long long WireTimeMs(std::size_t n) const;

    int fd_ = -1;
    bool missing_ = false;
    std::string path_;
    posix::TermiosSnapshot saved_;
    LineSettings current_;
};

SerialDeviceFactory PosixSerialDeviceFactory();

}  // namespace quennet
