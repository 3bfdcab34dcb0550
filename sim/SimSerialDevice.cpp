#include "SimSerialDevice.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "serial/PortProblem.h"

namespace quennet {

namespace {

int BitsPerChar(const LineSettings& s) {
    return 1 + s.dataBits + (s.parity == Parity::None ? 0 : 1) + s.stopBits;
}

// Microseconds from the start of a burst until its k-th character has fully
// left the transmitter, rounded up; computed per burst so that long runs do
// not collect rounding drift.
std::uint64_t BurstOffsetUs(const LineSettings& s, std::uint64_t chars) {
    if (s.baud == 0) return 0;
    const std::uint64_t bitsTimesMillion =
        chars * static_cast<std::uint64_t>(BitsPerChar(s)) * 1000000u;
    return (bitsTimesMillion + s.baud - 1) / s.baud;
}

constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

}  // namespace

void EchoPeer::OnBytes(SimLine& line, const std::uint8_t* bytes, std::size_t n,
                       std::uint64_t arrivalUs) {
    line.SendToPortAt(arrivalUs, bytes, n);
}

SimLine::SimLine(VirtualClock& clock) : clock_(clock) { clock_.AddListener(this); }

SimLine::~SimLine() { clock_.RemoveListener(this); }

void SimLine::SendToPort(const std::vector<std::uint8_t>& bytes) {
    SendToPortAt(clock_.NowUs(), bytes.data(), bytes.size());
}

void SimLine::SendToPort(const std::uint8_t* bytes, std::size_t n) {
    SendToPortAt(clock_.NowUs(), bytes, n);
}

void SimLine::SendToPortAt(std::uint64_t atUs, const std::vector<std::uint8_t>& bytes) {
    SendToPortAt(atUs, bytes.data(), bytes.size());
}

void SimLine::SendToPortAt(std::uint64_t atUs, const std::uint8_t* bytes, std::size_t n) {
    if (!bytes || n == 0) return;
    std::vector<std::uint8_t> faulty;
    const bool struck =
        toPortFault && toPortFault->atByte > sentToPort_ && toPortFault->atByte <= sentToPort_ + n;
    if (struck) {
        const std::size_t at = toPortFault->atByte - sentToPort_ - 1;
        faulty.assign(bytes, bytes + n);
        switch (toPortFault->kind) {
        case WireFault::Kind::Flip: faulty[at] ^= toPortFault->flipMask; break;
        case WireFault::Kind::Drop: faulty.erase(faulty.begin() + static_cast<long>(at)); break;
        case WireFault::Kind::Insert:
            faulty.insert(faulty.begin() + static_cast<long>(at), toPortFault->extra.begin(), toPortFault->extra.end());
            break;
        }
        toPortFault.reset();
    }
    sentToPort_ += n;
    if (struck) {
        if (faulty.empty()) return;  // the only byte was lost
        bytes = faulty.data();
        n = faulty.size();
    }
    // The far end has one transmitter: a new burst waits for the last one.
    const std::uint64_t start = std::max(atUs, toPortFreeUs_);
    // Through an adapter the bytes reach its chip first.
    std::deque<TimedByte>& queue = adapter_ == Adapter::None ? toPort_ : wire_;
    for (std::size_t k = 0; k < n; ++k)
        queue.push_back({start + BurstOffsetUs(settings_, k + 1), bytes[k]});
    toPortFreeUs_ = queue.back().atUs;
}

void SimLine::SetAdapter(Adapter adapter) {
    adapter_ = adapter;
    // The chip's timer has run since it was plugged in: now, for the line.
    settledUs_ = clock_.NowUs();
    expiryUs_ = settledUs_ + LatencyUs();
}

std::uint64_t SimLine::LatencyUs() const {
    if (adapter_ == Adapter::None) return 0;
    return lowLatency_ ? kFtdiLowLatencyUs : kFtdiLatencyUs;
}

void SimLine::PurgeAdapter() {
    if (adapter_ == Adapter::None) return;
    SettleAdapter(clock_.NowUs());
    wire_.erase(wire_.begin(), wire_.begin() + static_cast<long>(held_));
    held_ = 0;
}

void SimLine::SetLowLatencyFlag(bool on) {
    if (adapter_ != Adapter::None) SettleAdapter(clock_.NowUs());
    lowLatency_ = on;
    // The driver writes the new timer to the chip, which runs out no later
    // than the new period from now.
    if (adapter_ != Adapter::None) expiryUs_ = std::min(expiryUs_, clock_.NowUs() + LatencyUs());
}

void SimLine::DeviceSetLowLatency(bool on) {
    SetLowLatencyFlag(on);
    SimEvent e{SimEvent::Kind::LowLatency};
    e.level = on;
    Record(std::move(e));
}

void SimLine::SendHeld(std::uint64_t atUs) {
    for (; held_ > 0; --held_) {
        toPort_.push_back({atUs, wire_.front().byte});
        wire_.pop_front();
    }
}

void SimLine::SettleAdapter(std::uint64_t t) {
    const std::uint64_t period = LatencyUs();
    for (;;) {
        const std::uint64_t arrival = held_ < wire_.size() ? std::max(wire_[held_].atUs, settledUs_) : kNever;
        if (expiryUs_ <= t && expiryUs_ <= arrival) {
            // The timer ran out first: what the chip holds goes to the host
            // and the timer starts again. Periods in which nothing comes
            // pass alike, so they are stepped over at once.
            SendHeld(expiryUs_);
            settledUs_ = expiryUs_;
            const std::uint64_t until = std::min(t, arrival);
            expiryUs_ += period * ((until - expiryUs_) / period + 1);
            continue;
        }
        if (arrival > t) break;
        ++held_;
        settledUs_ = arrival;
        if (held_ == kFtdiPacketData) {
            // A full packet leaves at once.
            SendHeld(arrival);
            expiryUs_ = arrival + period;
        }
    }
    settledUs_ = std::max(settledUs_, t);
}

std::optional<std::uint64_t> SimLine::NextPacketUs() const {
    if (adapter_ == Adapter::None) return std::nullopt;
    // SettleAdapter's walk, without moving anything, up to the first packet
    // that carries bytes.
    const std::uint64_t period = LatencyUs();
    std::size_t held = held_, next = held_;
    std::uint64_t expiry = expiryUs_;
    for (;;) {
        const std::uint64_t arrival = next < wire_.size() ? std::max(wire_[next].atUs, settledUs_) : kNever;
        if (expiry <= arrival) {
            if (held > 0) return expiry;
            if (arrival == kNever) return std::nullopt;
            expiry += period * ((arrival - expiry) / period + 1);
            continue;
        }
        ++held;
        ++next;
        if (held == kFtdiPacketData) return arrival;
    }
}

double SimLine::CharTimeUs() const {
    if (settings_.baud == 0) return 0.0;
    return BitsPerChar(settings_) * 1e6 / settings_.baud;
}

std::uint64_t SimLine::WireTimeUs(std::size_t n) const { return BurstOffsetUs(settings_, n); }

std::vector<std::uint8_t> SimLine::WrittenBytes() const {
    std::vector<std::uint8_t> out;
    out.reserve(written_.size());
    for (const auto& w : written_) out.push_back(w.byte);
    return out;
}

std::vector<SimEvent> SimLine::EventsOf(SimEvent::Kind kind) const {
    std::vector<SimEvent> out;
    for (const auto& e : events_)
        if (e.kind == kind) out.push_back(e);
    return out;
}

std::size_t SimLine::ArrivedAtPort() const {
    const std::uint64_t now = clock_.NowUs();
    std::size_t n = 0;
    for (const auto& b : toPort_) {
        if (b.atUs > now) break;
        ++n;
    }
    return n;
}

void SimLine::DiscardInFlightToPort() {
    const std::uint64_t now = clock_.NowUs();
    while (!toPort_.empty() && toPort_.back().atUs > now) toPort_.pop_back();
    // What an adapter's chip already holds is not the far end's any more.
    if (adapter_ != Adapter::None) {
        SettleAdapter(now);
        wire_.resize(held_);
    }
    toPortFreeUs_ = std::min(toPortFreeUs_, now);
}

std::size_t SimLine::InFlightToPort() const { return toPort_.size() - ArrivedAtPort() + wire_.size(); }

std::optional<std::uint64_t> SimLine::NextEventUs() const {
    std::optional<std::uint64_t> next;
    if (!toPeer_.empty()) next = toPeer_.front().atUs;
    const auto packet = NextPacketUs();
    if (packet && (!next || *packet < *next)) next = packet;
    return next;
}

void SimLine::OnTime(std::uint64_t nowUs) {
    if (adapter_ != Adapter::None) SettleAdapter(nowUs);
    // Hand over everything that has arrived, grouped by arrival instant.
    while (!toPeer_.empty() && toPeer_.front().atUs <= nowUs) {
        const std::uint64_t at = toPeer_.front().atUs;
        std::vector<std::uint8_t> chunk;
        while (!toPeer_.empty() && toPeer_.front().atUs == at) {
            chunk.push_back(toPeer_.front().byte);
            toPeer_.pop_front();
        }
        if (peer_) peer_->OnBytes(*this, chunk.data(), chunk.size(), at);
    }
}

void SimLine::Record(SimEvent event) {
    event.atUs = clock_.NowUs();
    events_.push_back(std::move(event));
}

void SimLine::NotifyLines() {
    if (peer_) peer_->OnLines(*this, dtr_, rts_, clock_.NowUs());
}

void SimLine::DropArrived() {
    const std::uint64_t now = clock_.NowUs();
    while (!toPort_.empty() && toPort_.front().atUs <= now) toPort_.pop_front();
}

bool SimLine::DeviceOpen(const std::string& path) {
    if (missing || vanished || busy || open_) {
        SimEvent e{SimEvent::Kind::OpenFailed};
        e.text = path;
        Record(std::move(e));
        return false;
    }
    open_ = true;
    openPath_ = path;
    // Nobody held the device, so what arrived meanwhile is gone.
    DropArrived();
    PurgeAdapter();
    SimEvent e{SimEvent::Kind::Open};
    e.text = path;
    Record(std::move(e));
    // Opening a serial device raises its modem lines.
    dtr_ = rts_ = true;
    NotifyLines();
    return true;
}

void SimLine::DeviceRelease() {
    open_ = false;
    Record(SimEvent{SimEvent::Kind::Close});
    // Closing drops the modem lines.
    dtr_ = rts_ = false;
    NotifyLines();
}

bool SimLine::DeviceClose() {
    if (refuseClose) {
        Record(SimEvent{SimEvent::Kind::CloseRefused});
        return false;
    }
    DeviceRelease();
    return true;
}

bool SimLine::DeviceSetSettings(const LineSettings& s) {
    const bool valid = s.baud != 0 && s.dataBits >= 5 && s.dataBits <= 8 &&
                       (s.stopBits == 1 || s.stopBits == 2);
    if (refuseSettings || !valid) {
        SimEvent e{SimEvent::Kind::SettingsRefused};
        e.settings = s;
        Record(std::move(e));
        return false;
    }
    settings_ = s;
    SimEvent e{SimEvent::Kind::Settings};
    e.settings = s;
    Record(std::move(e));
    if (peer_) peer_->OnSettings(*this, settings_);
    return true;
}

void SimLine::DeviceSetDtr(bool level) {
    dtr_ = level;
    SimEvent e{SimEvent::Kind::Dtr};
    e.level = level;
    Record(std::move(e));
    NotifyLines();
}

void SimLine::DeviceSetRts(bool level) {
    rts_ = level;
    SimEvent e{SimEvent::Kind::Rts};
    e.level = level;
    Record(std::move(e));
    NotifyLines();
}

void SimLine::DevicePurge(bool transmit, bool receive) {
    const std::uint64_t now = clock_.NowUs();
    if (transmit) {
        // Bytes whose transmission has not begun are discarded; the character
        // already being shifted out still completes.
        const double charUs = CharTimeUs();
        auto notStarted = [&](std::uint64_t arrivalUs) {
            return static_cast<double>(arrivalUs) - charUs > static_cast<double>(now);
        };
        while (!toPeer_.empty() && notStarted(toPeer_.back().atUs)) toPeer_.pop_back();
        while (!written_.empty() && notStarted(written_.back().arrivalUs)) written_.pop_back();
        toPeerFreeUs_ = toPeer_.empty() ? std::min(toPeerFreeUs_, now) : toPeer_.back().atUs;
    }
    if (receive) DropArrived();
    SimEvent e{SimEvent::Kind::Purge};
    e.transmit = transmit;
    e.receive = receive;
    Record(std::move(e));
}

std::size_t SimLine::DeviceRead(std::uint8_t* buffer, std::size_t n) {
    const std::uint64_t now = clock_.NowUs();
    std::size_t got = 0;
    while (got < n && !toPort_.empty() && toPort_.front().atUs <= now) {
        buffer[got++] = toPort_.front().byte;
        toPort_.pop_front();
    }
    return got;
}

bool SimLine::DeviceWaitReadable(std::uint64_t timeoutUs) {
    const std::uint64_t deadline = clock_.NowUs() + timeoutUs;
    for (;;) {
        if (ArrivedAtPort() > 0) return true;
        const std::uint64_t now = clock_.NowUs();
        if (now >= deadline) return false;
        // Step to whatever happens first: a byte completing at the port, or
        // the far end (or anything else) acting, which may send bytes.
        std::uint64_t next = deadline;
        if (!toPort_.empty()) next = std::min(next, toPort_.front().atUs);
        if (const auto due = clock_.NextDueUs()) next = std::min(next, std::max(*due, now));
        clock_.AdvanceTo(next);
        if (!open_ || vanished) return false;
    }
}

long SimLine::DeviceWrite(const std::uint8_t* data, std::size_t n) {
    if (writesTakeZero || n == 0) return 0;
    const std::size_t take = writeChunkLimit ? std::min(n, writeChunkLimit) : n;
    const std::uint64_t now = clock_.NowUs();
    const std::uint64_t start = std::max(now, toPeerFreeUs_);
    for (std::size_t k = 0; k < take; ++k) {
        const std::uint64_t arrival = start + BurstOffsetUs(settings_, k + 1);
        toPeer_.push_back({arrival, data[k]});
        written_.push_back({now, arrival, data[k]});
    }
    toPeerFreeUs_ = toPeer_.back().atUs;
    SimEvent e{SimEvent::Kind::Write};
    e.bytes.assign(data, data + take);
    Record(std::move(e));
    if (writeBlocksUntilSent) clock_.AdvanceTo(toPeerFreeUs_);
    return static_cast<long>(take);
}

SimSerialDevice::~SimSerialDevice() {
    // Like a process that ends: the device is released whatever happens.
    if (open_) line_.DeviceRelease();
}

bool SimSerialDevice::Open(const std::string& path) {
    if (open_) return false;
    // The reasons a system gives for the line's refusals.
    openProblem_ = line_.missing || line_.vanished ? kPortNotFound : line_.IsOpen() || line_.busy ? kPortBusy : "";
    open_ = line_.DeviceOpen(path);
    missing_ = !open_ && (line_.missing || line_.vanished);
    if (open_) openProblem_.clear();
    return open_;
}

bool SimSerialDevice::GetSettings(LineSettings& out) {
    if (!Usable() || line_.failGetSettings) return false;
    out = line_.Settings();
    return true;
}

bool SimSerialDevice::SetSettings(const LineSettings& settings) {
    if (!Usable()) return false;
    return line_.DeviceSetSettings(settings);
}

bool SimSerialDevice::SetDtr(bool asserted) {
    if (!Usable() || line_.refuseLines) return false;
    line_.DeviceSetDtr(asserted);
    return true;
}

bool SimSerialDevice::SetRts(bool asserted) {
    if (!Usable() || line_.refuseLines) return false;
    line_.DeviceSetRts(asserted);
    return true;
}

bool SimSerialDevice::SetBreak(bool on) {
    // A line without modem lines (a pseudo-terminal) has no break either.
    if (!Usable() || line_.refuseLines) return false;
    SimEvent e{SimEvent::Kind::Break};
    e.level = on;
    line_.Record(std::move(e));
    return true;
}

bool SimSerialDevice::Purge(bool transmit, bool receive) {
    if (!Usable()) return false;
    line_.DevicePurge(transmit, receive);
    return true;
}

bool SimSerialDevice::QueryWaiting(std::uint32_t& count) {
    ++line_.queryCount_;
    if (!Usable() || line_.failQuery) return false;
    count = static_cast<std::uint32_t>(line_.ArrivedAtPort());
    return true;
}

long SimSerialDevice::Read(std::uint8_t* buffer, std::size_t n) {
    ++line_.readCount_;
    if (!Usable()) return -1;
    if (!buffer || n == 0) return 0;
    if (line_.readChunkLimit) n = std::min(n, line_.readChunkLimit);
    return static_cast<long>(line_.DeviceRead(buffer, n));
}

bool SimSerialDevice::WaitReadable(std::uint64_t timeoutUs) {
    ++line_.waitCount_;
    if (!Usable() || line_.failQuery) return false;
    return line_.DeviceWaitReadable(timeoutUs);
}

long SimSerialDevice::Write(const std::uint8_t* data, std::size_t n) {
    ++line_.writeCallCount_;
    if (!Usable()) return -1;
    if (!data) return 0;
    return line_.DeviceWrite(data, n);
}

bool SimSerialDevice::Close() {
    if (!open_) return true;
    if (!line_.DeviceClose()) return false;
    open_ = false;
    return true;
}

bool SimSerialDevice::GetLowLatency(bool& on) {
    if (!Usable() || line_.refuseLowLatency) return false;
    on = line_.LowLatency();
    return true;
}

bool SimSerialDevice::SetLowLatency(bool on) {
    if (!Usable() || line_.refuseLowLatency) return false;
    line_.DeviceSetLowLatency(on);
    return true;
}

std::optional<int> SimSerialDevice::LatencyTimerMs() const {
    if (!open_ || line_.adapter() == SimLine::Adapter::None) return std::nullopt;
    return static_cast<int>(line_.LatencyUs() / 1000);
}

SerialDeviceFactory SimDeviceFactory(SimLine& line) {
    return [&line]() -> std::unique_ptr<SerialDevice> {
        return std::make_unique<SimSerialDevice>(line);
    };
}

}  // namespace quennet
