#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "VirtualClock.h"
#include "serial/SerialDevice.h"

namespace quennet {

class SimLine;

// The far end of the cable: a simulated target plugged into a SimLine.
// Every hook runs at the virtual instant its event happens on the line.
class SimPeer {
public:
    virtual ~SimPeer() = default;
    // Bytes written by the port, called when they have fully arrived at the
    // far end (write time plus wire time, sent one after the other).
    virtual void OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                         std::uint64_t arrivalUs) = 0;
    // The physical DTR and RTS levels (true = asserted) after any change or
    // re-assertion by the port, and when the port opens or closes.
    virtual void OnLines(SimLine& line, bool dtr, bool rts, std::uint64_t atUs) {
        (void)line; (void)dtr; (void)rts; (void)atUs;
    }
    // Line settings the port has just applied.
    virtual void OnSettings(SimLine& line, const LineSettings& settings) {
        (void)line; (void)settings;
    }
};

// Sends every byte it receives straight back.
class EchoPeer : public SimPeer {
public:
    void OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                 std::uint64_t arrivalUs) override;
};

// What happened on the line, stamped with the virtual time.
struct SimEvent {
    enum class Kind {
        Open,            // a device opened the line (path in text)
        OpenFailed,      // an open was refused (missing or busy)
        Close,           // the device closed
        CloseRefused,    // a close was refused; the device stays open
        Settings,        // settings applied
        SettingsRefused, // settings refused (settings holds the request)
        Dtr,             // DTR driven to level (also when unchanged)
        Rts,             // RTS driven to level (also when unchanged)
        Purge,           // transmit and/or receive side discarded
        Write,           // the port handed bytes to the device
        LowLatency,      // the driver's low-latency flag set to level
        Break,           // a break condition started (level true) or ended
    };
    SimEvent() = default;
    explicit SimEvent(Kind k) : kind(k) {}

    Kind kind = Kind::Open;
    std::uint64_t atUs = 0;
    bool level = false;         // Dtr, Rts, LowLatency, Break
    bool transmit = false;      // Purge
    bool receive = false;       // Purge
    LineSettings settings;      // Settings, SettingsRefused
    std::vector<std::uint8_t> bytes;  // Write: the bytes taken
    std::string text;           // Open, OpenFailed: the path
};

// The cable and the far end of a simulated serial device. The test owns it,
// and it must outlive every device made from it and its peer; it must not
// outlive its clock. At most one device holds it open at a time.
class SimLine : public TimeListener {
public:
    explicit SimLine(VirtualClock& clock);
    ~SimLine() override;
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;

    VirtualClock& clock() { return clock_; }
    std::uint64_t NowUs() const { return clock_.NowUs(); }

    // --- the far end --------------------------------------------------------
    void SetPeer(SimPeer* peer) { peer_ = peer; }
    SimPeer* peer() const { return peer_; }

    // Bytes the far end transmits towards the port, starting now (or at atUs)
    // or as soon as its earlier bytes have left, back to back at wire speed.
    void SendToPort(const std::vector<std::uint8_t>& bytes);
    void SendToPort(const std::uint8_t* bytes, std::size_t n);
    void SendToPortAt(std::uint64_t atUs, const std::vector<std::uint8_t>& bytes);
    void SendToPortAt(std::uint64_t atUs, const std::uint8_t* bytes, std::size_t n);

    // --- the USB adapter between the wire and the port -----------------------
    // With an FTDI adapter the bytes towards the port wait in the chip until
    // 62 have come (a 64-byte USB packet less its two status bytes) or its
    // latency timer runs out, whichever is first; the timer starts again
    // whenever the chip sends a packet, and sends one (status only, when it
    // holds nothing) every time it runs out. It runs 16 ms, or 1 ms while
    // the driver's low-latency flag is set. Without an adapter (the default)
    // a byte is at the port as soon as its stop bit is. Choose the adapter
    // before the line carries bytes.
    enum class Adapter { None, Ftdi };
    static constexpr std::size_t kFtdiPacketData = 62;
    static constexpr std::uint64_t kFtdiLatencyUs = 16000;
    static constexpr std::uint64_t kFtdiLowLatencyUs = 1000;
    void SetAdapter(Adapter adapter);
    Adapter adapter() const { return adapter_; }
    // The adapter's latency timer now (0 without an adapter).
    std::uint64_t LatencyUs() const;
    // The driver resets the chip as a host opens the port: what it holds is
    // lost. The device does this at its open; a board on a pty, whose host
    // opens elsewhere, calls it.
    void PurgeAdapter();
    // The driver's low-latency flag. Like a driver's, it outlives the open
    // that set it: another program may have left it set (SetLowLatencyFlag).
    bool LowLatency() const { return lowLatency_; }
    void SetLowLatencyFlag(bool on);

    // Time on the wire of one character at the present settings: start bit,
    // data bits, parity bit if any, stop bits. Fractional; see WireTimeUs.
    double CharTimeUs() const;
    // Microseconds that n characters take back to back (rounded up).
    std::uint64_t WireTimeUs(std::size_t n) const;

    // --- what the port did --------------------------------------------------
    bool IsOpen() const { return open_; }
    const std::string& OpenPath() const { return openPath_; }
    const LineSettings& Settings() const { return settings_; }
    // The settings a freshly opened device reports before anything is set.
    void SetDeviceSettings(const LineSettings& s) { settings_ = s; }
    bool Dtr() const { return dtr_; }
    bool Rts() const { return rts_; }

    struct WrittenByte {
        std::uint64_t writeUs;    // when the port handed it to the device
        std::uint64_t arrivalUs;  // when the far end has it
        std::uint8_t byte;
    };
    const std::vector<WrittenByte>& WriteLog() const { return written_; }
    std::vector<std::uint8_t> WrittenBytes() const;
    void ClearWriteLog() { written_.clear(); }

    const std::vector<SimEvent>& Events() const { return events_; }
    std::vector<SimEvent> EventsOf(SimEvent::Kind kind) const;
    void ClearEvents() { events_.clear(); }

    // Calls the device has served, failed ones included.
    std::size_t QueryCount() const { return queryCount_; }
    std::size_t ReadCount() const { return readCount_; }
    std::size_t WriteCallCount() const { return writeCallCount_; }
    std::size_t WaitCount() const { return waitCount_; }

    // Bytes already arrived at the port and not yet read.
    std::size_t ArrivedAtPort() const;
    // Bytes still travelling towards the port.
    std::size_t InFlightToPort() const;
    // The far end's transmitter is reset (the target restarts): bytes that
    // have not fully arrived at the port are lost, and it is free at once.
    void DiscardInFlightToPort();
    // When the next byte not yet read completes its arrival at the port.
    std::optional<std::uint64_t> NextArrivalAtPortUs() const {
        if (!toPort_.empty()) return toPort_.front().atUs;
        return NextPacketUs();
    }
    // Bytes written by the port that the far end has not yet received.
    std::size_t InFlightToPeer() const { return toPeer_.size(); }

    // --- faults -------------------------------------------------------------
    bool missing = false;          // open fails: no such device
    bool busy = false;             // open fails: held by another program
    bool refuseSettings = false;   // SetSettings fails (baud 0 always does)
    bool failGetSettings = false;  // GetSettings fails
    bool failQuery = false;        // QueryWaiting and WaitReadable fail
    bool refuseClose = false;      // Close fails and the device stays open
    bool refuseLines = false;      // SetDtr/SetRts fail, like a pseudo-terminal
    bool refuseLowLatency = false; // the low-latency flag cannot be read or set (a pty)
    bool writesTakeZero = false;   // Write takes nothing
    std::size_t writeChunkLimit = 0;  // Write takes at most this many (0: all)
    std::size_t readChunkLimit = 0;   // Read delivers at most this many (0: all)
    // The device has gone (unplugged): every call but Close fails.
    bool vanished = false;
    // A fault of the wire towards the port, striking the byte with this
    // number (from 1, counted over everything the far end sends): noise
    // flips bits of it, a lost character drops it, a glitch puts extra
    // bytes (noise) on the wire just before it. One fault, once.
    struct WireFault {
        enum class Kind { Flip, Drop, Insert };
        Kind kind = Kind::Flip;
        std::size_t atByte = 1;
        std::uint8_t flipMask = 0x01;
        std::vector<std::uint8_t> extra;
    };
    std::optional<WireFault> toPortFault;
    // Bytes the far end has handed to the wire so far.
    std::size_t SentToPortCount() const { return sentToPort_; }
    // Write returns only once the last byte has left the port, advancing the
    // clock; otherwise it returns at once and the bytes queue on the wire.
    bool writeBlocksUntilSent = false;

    // TimeListener: delivers written bytes to the peer on arrival.
    std::optional<std::uint64_t> NextEventUs() const override;
    void OnTime(std::uint64_t nowUs) override;

private:
    friend class SimSerialDevice;

    struct TimedByte {
        std::uint64_t atUs;
        std::uint8_t byte;
    };

    // Called by the device.
    bool DeviceOpen(const std::string& path);
    bool DeviceClose();
    void DeviceRelease();  // a device that goes away while open
    bool DeviceSetSettings(const LineSettings& s);
    void DeviceSetDtr(bool level);
    void DeviceSetRts(bool level);
    void DevicePurge(bool transmit, bool receive);
    std::size_t DeviceRead(std::uint8_t* buffer, std::size_t n);
    bool DeviceWaitReadable(std::uint64_t timeoutUs);
    long DeviceWrite(const std::uint8_t* data, std::size_t n);

    void DeviceSetLowLatency(bool on);

    void Record(SimEvent event);
    void NotifyLines();
    void DropArrived();
    // Follows the adapter up to t: bytes reaching the chip, packets leaving.
    void SettleAdapter(std::uint64_t t);
    void SendHeld(std::uint64_t atUs);
    std::optional<std::uint64_t> NextPacketUs() const;

    VirtualClock& clock_;
    SimPeer* peer_ = nullptr;
    bool open_ = false;
    std::string openPath_;
    LineSettings settings_;
    bool dtr_ = false;
    bool rts_ = false;
    std::deque<TimedByte> toPort_;    // at the port: arrived, or (no adapter) arriving
    std::uint64_t toPortFreeUs_ = 0;  // when the far end's transmitter is free
    std::size_t sentToPort_ = 0;
    Adapter adapter_ = Adapter::None;
    bool lowLatency_ = false;
    std::deque<TimedByte> wire_;      // adapter: on the wire, or held in the chip
    std::size_t held_ = 0;            // the first held_ bytes of wire_ are in the chip
    std::uint64_t expiryUs_ = 0;      // when the chip's latency timer next runs out
    std::uint64_t settledUs_ = 0;     // the adapter is followed up to here
    std::deque<TimedByte> toPeer_;
    std::uint64_t toPeerFreeUs_ = 0;  // when the port's transmitter is free
    std::vector<WrittenByte> written_;
    std::vector<SimEvent> events_;
    std::size_t queryCount_ = 0;
    std::size_t readCount_ = 0;
    std::size_t writeCallCount_ = 0;
    std::size_t waitCount_ = 0;
};

// A SerialDevice that works on a SimLine.
class SimSerialDevice : public SerialDevice {
public:
    explicit SimSerialDevice(SimLine& line) : line_(line) {}
    ~SimSerialDevice() override;

    bool Open(const std::string& path) override;
    bool GetSettings(LineSettings& out) override;
    bool SetSettings(const LineSettings& settings) override;
    bool SetDtr(bool asserted) override;
    bool SetRts(bool asserted) override;
    bool SetBreak(bool on) override;
    bool Purge(bool transmit, bool receive) override;
    bool QueryWaiting(std::uint32_t& count) override;
    long Read(std::uint8_t* buffer, std::size_t n) override;
    // Moves the virtual clock on to the next byte arriving at the port, or
    // to the deadline, letting the far end act at every instant in between.
    bool WaitReadable(std::uint64_t timeoutUs) override;
    long Write(const std::uint8_t* data, std::size_t n) override;
    bool Close() override;
    bool Lost() override { return open_ && line_.vanished; }
    bool Missing() const override { return missing_; }
    bool GetLowLatency(bool& on) override;
    bool SetLowLatency(bool on) override;
    // The FTDI adapter's timer as its driver would show it; nothing without
    // an adapter.
    std::optional<int> LatencyTimerMs() const override;

private:
    bool Usable() const { return open_ && !line_.vanished; }

    SimLine& line_;
    bool open_ = false;
    bool missing_ = false;
};

SerialDeviceFactory SimDeviceFactory(SimLine& line);

}  // namespace quennet
