#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace quennet {

// Mark and Space hold the parity bit at 1 or 0 whatever the data.
enum class Parity { None, Odd, Even, Mark, Space };

// Who may hold the transmitter: nobody (the default, and what every loader
// run and capture needs, since they drive RTS themselves), the far end's CTS
// with our RTS raised while we can take bytes, or XON/XOFF characters in the
// data stream.
enum class FlowControl { None, RtsCts, XonXoff };

// The line settings that the driver reads from a device, changes and writes
// back. Every other setting of a backend (raw mode, no translation, zero
// time-outs) is fixed by the backend itself.
struct LineSettings {
    std::uint32_t baud = 9600;
    int dataBits = 8;
    Parity parity = Parity::None;
    int stopBits = 1;
    FlowControl flow = FlowControl::None;
};

// One serial device as the operating system offers it. Backends convert their
// own errors here: every call reports plain success or failure, never throws,
// and never waits beyond handing bytes to the device.
class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Opens an existing device for reading and writing, exclusively.
    virtual bool Open(const std::string& path) = 0;
    // Why the last Open failed, as the end of a sentence that starts with
    // the port's name (see PortProblem.h), taken from the call that refused;
    // empty after an Open that succeeded or when the device cannot tell.
    const std::string& OpenProblem() const { return openProblem_; }
    virtual bool GetSettings(LineSettings& out) = 0;
    virtual bool SetSettings(const LineSettings& settings) = 0;
    virtual bool SetDtr(bool asserted) = 0;
    virtual bool SetRts(bool asserted) = 0;
    // Holds the transmit line at space (a break condition) or lets it go.
    // Fails on a device that cannot send a break.
    virtual bool SetBreak(bool on) {
        (void)on;
        return false;
    }
    // Discards what waits in the transmit and/or receive direction.
    virtual bool Purge(bool transmit, bool receive) = 0;
    // Clears line errors and reports how many received bytes wait.
    virtual bool QueryWaiting(std::uint32_t& count) = 0;
    // Reads up to n bytes that are already waiting; returns the number read,
    // or -1 on failure. Never waits.
    virtual long Read(std::uint8_t* buffer, std::size_t n) = 0;
    // Waits until a received byte is waiting or timeoutUs have passed,
    // whichever comes first; true when bytes wait. Returns false at once
    // when the device cannot wait (gone, failed).
    virtual bool WaitReadable(std::uint64_t timeoutUs) = 0;
    // Hands bytes to the device; returns how many it took (0 .. n), -1 on
    // failure. Returns once all are taken or the device stops taking them.
    virtual long Write(const std::uint8_t* data, std::size_t n) = 0;
    virtual bool Close() = 0;
    // A descriptor that becomes readable when received bytes wait, for an
    // event loop to watch; -1 when the device has none.
    virtual int ReadableHandle() const { return -1; }
    // Whether the device has gone for good (unplugged, hung up, the far
    // end of a pseudo-terminal closed): nothing will be read from it again.
    virtual bool Lost() { return false; }
    // After a failed Open: whether no device was at the path at all (as
    // after an unplug), rather than one that refused.
    virtual bool Missing() const { return false; }

    // The driver's low-latency flag, which makes a USB adapter hand received
    // bytes on at once instead of holding them for its latency timer (on
    // Linux ASYNC_LOW_LATENCY: an FTDI adapter then uses 1 ms, not 16 ms).
    // The flag belongs to the driver and outlives the open: whoever sets it
    // puts it back. Both calls fail on a device that has no such flag (a
    // pseudo-terminal, Windows), which is then used as it is.
    virtual bool GetLowLatency(bool& on) {
        (void)on;
        return false;
    }
    virtual bool SetLowLatency(bool on) {
        (void)on;
        return false;
    }
    // The adapter's latency timer in milliseconds as the system shows it,
    // or nothing where it cannot be read.
    virtual std::optional<int> LatencyTimerMs() const { return std::nullopt; }

protected:
    std::string openProblem_;
};

using SerialDeviceFactory = std::function<std::unique_ptr<SerialDevice>()>;

// The real devices of the platform this program was built for; each
// backend (serial/posix, ...) defines it.
SerialDeviceFactory DefaultSerialDeviceFactory();

}  // namespace quennet
