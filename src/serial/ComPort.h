#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "serial/Clock.h"
#include "serial/DeviceIdentity.h"
#include "serial/PortOwner.h"
#include "serial/SerialDevice.h"

namespace quennet {

// Result codes of ComOpen and ComClose.
constexpr int kComOk = 0;
constexpr int kComCannotOpen = 2;
constexpr int kComSettingsRefused = 3;
constexpr int kComCloseRefused = 10;

// Index into "E-7-1", "O-7-1", "N-8-1", "E-8-1", "O-8-1"; any other index
// leaves data bits and parity as the device has them.
constexpr int kFrameE71 = 0;
constexpr int kFrameO71 = 1;
constexpr int kFrameN81 = 2;
constexpr int kFrameE81 = 3;
constexpr int kFrameO81 = 4;
extern const char* const kFrameFormatNames[5];
// The terminal's entry after the five: a frame of the user's own.
constexpr int kFrameCustom = 5;

// Any frame a line can carry, for the terminal's own choice beyond the five
// formats above: 5 to 8 data bits, every parity, 1 or 2 stop bits, and flow
// control. Loader runs and captures never use it: they need a line with no
// flow control, whose RTS they drive themselves.
struct Frame {
    int dataBits = 8;
    Parity parity = Parity::None;
    int stopBits = 1;
    FlowControl flow = FlowControl::None;
    bool operator==(const Frame&) const = default;
};

// The one serial port of the program. All operations run on the caller's
// thread, never throw, and report through small codes, bytes or -1.
class ComPort {
public:
    static constexpr int kPollStepMs = 5;
    static constexpr int kResetPulseMs = 250;

    ComPort(SerialDeviceFactory factory, Clock& clock);
    ~ComPort();
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    int ComOpen(const std::string& name, std::uint32_t baud, int frameFormat);
    // The same with a whole frame: the same result codes.
    int ComOpen(const std::string& name, std::uint32_t baud, const Frame& frame);
    int ComClose();
    // Changes the baud rate of the open port in place, keeping its frame
    // format and the DTR and RTS levels: a close and reopen could drop the
    // modem lines and reset a target that is waiting at the new rate.
    // kComOk, kComCannotOpen with no port open, kComSettingsRefused.
    int ComSetBaud(std::uint32_t baud);
    // Bytes actually delivered by the device, 0 .. n.
    std::size_t ComRead(std::uint8_t* buffer, std::size_t n);
    int ComReadByte();
    int ComWaitByte(int budgetMs);
    void ComWriteByte(std::uint8_t byte);
    // Returns how many bytes the device took (0 with the port closed or failed).
    std::size_t ComWrite(const std::uint8_t* data, std::size_t count);
    void ComSetDtr(int level);
    void ComSetRts(int level);
    void ComToggleRts();
    void ComResetTarget();
    // Holds the transmit line in a break condition, or ends it; false when
    // no port is open or the device cannot. ComSendBreak holds it for ms.
    bool ComSetBreak(bool on);
    bool ComSendBreak(int ms);
    // Sets DTR or RTS to a level as the line shows it, past DtrInverted and
    // RtsPolarity: for the user who drives a line by hand.
    void ComAssertDtr(bool asserted);
    void ComAssertRts(bool asserted);
    // The levels last asked of the lines, and whether the device refused a
    // line change since it opened (a pseudo-terminal, some adapters): then
    // the lines do nothing and a reset pulse reaches no target.
    bool DtrAsserted() const { return dtrAsserted_; }
    bool RtsAsserted() const { return RtsState == 1; }
    bool ModemLinesRefused() const { return modemLinesRefused_; }
    void ComWatchdogTick();

    // Low latency: a standing request, kept across closes and opens, that
    // the driver hand received bytes on at once (see
    // SerialDevice::SetLowLatency). Each device opened while it stands gets
    // the driver's flag set; withdrawing the request, or closing the port,
    // puts the flag back as the device had it. Returns whether the open
    // device now carries the request; a device that refuses it is used as
    // it is.
    bool ComSetLowLatency(bool on);
    bool LowLatencyRequested() const { return lowLatencyRequested_; }
    bool LowLatencyGranted() const { return lowLatencyGranted_; }
    // The open device's adapter latency timer as the system shows it.
    std::optional<int> ComAdapterLatencyMs() const;

    bool IsOpen() const { return device_ != nullptr; }
    // Why the last ComOpen failed, as the end of a sentence that starts with
    // the port's name ("was not found", ...; see PortProblem.h), recorded by
    // the call that refused; empty after one that succeeded.
    const std::string& ComOpenProblem() const { return openProblem_; }
    // Whether the open device has gone away (see SerialDevice::Lost); the
    // port stays open until its owner closes it.
    bool ComDeviceLost() { return device_ && device_->Lost(); }
    // Whether the device is gone: the open one has gone away, or the last
    // open found nothing at the path.
    bool ComDeviceGone() { return device_ ? device_->Lost() : lastOpenMissing_; }
    // What identifies the device of the last successful open (see
    // IdentifyPort), taken as it opened.
    const DeviceIdentity& OpenedIdentity() const { return openedIdentity_; }
    // How devices are identified at open; IdentifyPort unless replaced.
    void SetIdentifySource(IdentifyFn identify) { identify_ = std::move(identify); }
    // The device at a port name now, by the same source; nothing when no
    // device is there.
    std::optional<DeviceIdentity> ComIdentify(const std::string& name) const {
        return identify_ ? identify_(name) : std::nullopt;
    }
    // The open device's descriptor for an event loop to watch, or -1.
    int ReadableHandle() const { return device_ ? device_->ReadableHandle() : -1; }
    Clock& clock() { return clock_; }
    // Who may use the port now; the driver itself does not check it.
    PortOwner& Owner() { return owner_; }
    const PortOwner& Owner() const { return owner_; }

    // Module flags that callers assign directly.
    bool DtrInverted = false;
    bool RtsPolarity = false;
    bool WatchdogToggle = false;
    // Read-only for callers; public so tests can observe them.
    int RtsState = 0;
    std::int8_t WatchdogCounter = 0;
    std::uint32_t QueuedCount = 0;
    // Bytes the device has taken since the port object was made, whoever
    // wrote them (the terminal shows its share).
    std::uint64_t WrittenCount = 0;

private:
    template <typename Adjust>
    int OpenWith(const std::string& name, Adjust adjust);
    int WaitInPollSteps(int budgetMs);
    void CountPollSteps(std::uint64_t steps);
    void ApplyDtr(bool asserted);
    void ApplyRts(bool asserted);
    void ApplyLowLatency();
    void PutBackLowLatency();

    SerialDeviceFactory factory_;
    Clock& clock_;
    std::unique_ptr<SerialDevice> device_;
    PortOwner owner_;
    bool lowLatencyRequested_ = false;
    bool lowLatencyGranted_ = false;  // the open device's flag is set for us
    bool lowLatencyFound_ = false;    // how this device had its flag
    bool dtrAsserted_ = false;
    bool modemLinesRefused_ = false;
    bool lastOpenMissing_ = false;
    DeviceIdentity openedIdentity_;
    IdentifyFn identify_ = IdentifyPort;
    std::string openProblem_;
};

// Holds the low-latency request for a long operation (a programming run, an
// LCD capture) and gives the port back with the request it had, on every
// path out.
class LowLatencyRequest {
public:
    explicit LowLatencyRequest(ComPort& port) : port_(port), was_(port.LowLatencyRequested()) {
        port_.ComSetLowLatency(true);
    }
    ~LowLatencyRequest() { port_.ComSetLowLatency(was_); }
    LowLatencyRequest(const LowLatencyRequest&) = delete;
    LowLatencyRequest& operator=(const LowLatencyRequest&) = delete;

private:
    ComPort& port_;
    bool was_;
};

// Maps a name from the port chooser to a device path: a path stays as it is,
// a bare name is completed the way the platform names devices (ttyUSB0 means
// /dev/ttyUSB0 on Linux, COM5 means \\.\COM5 on Windows). Each backend
// defines it.
std::string PortNameToPath(const std::string& name);
// A port name as users of this platform know it, for help texts
// (/dev/ttyUSB0 on Linux, COM5 on Windows). Each backend defines it.
std::string ExamplePortName();

// The port chooser as ComListPorts sees it: a list of texts kept sorted, with
// a selected index (-1 for none).
class PortChooser {
public:
    virtual ~PortChooser() = default;
    virtual int SelectedIndex() const = 0;
    virtual void SetSelectedIndex(int index) = 0;
    virtual std::string ItemText(int index) const = 0;
    virtual int ItemCount() const = 0;
    virtual void ClearItems() = 0;
    virtual void AddItem(const std::string& text) = 0;
    // Paths the user typed in; they stay in the list when it is refreshed.
    virtual std::vector<std::string> TypedItems() const { return {}; }
};

// The serial devices really present on this machine, as device paths in text
// order, or nothing when the system's list cannot be read. Each backend
// defines it.
std::optional<std::vector<std::string>> SystemSerialPorts();

// Fills the chooser from a device list; returns the number of device names
// added. The selection stays on the same path, never on the same position
// (adapters re-enumerate); the selected path and the typed ones stay listed
// even when the system no longer shows them, so that opening names the
// missing device instead of reaching another board. With no list (nullopt)
// the chooser is left unchanged.
int ComListPorts(PortChooser& chooser,
                 const std::optional<std::vector<std::string>>& devices);
inline int ComListPorts(PortChooser& chooser) {
    return ComListPorts(chooser, SystemSerialPorts());
}

}  // namespace quennet
