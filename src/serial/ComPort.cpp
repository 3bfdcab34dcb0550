#include "serial/ComPort.h"

#include <algorithm>
#include <utility>

#include "serial/PortProblem.h"

namespace quennet {

const char* const kFrameFormatNames[5] = {"E-7-1", "O-7-1", "N-8-1", "E-8-1", "O-8-1"};

namespace {

struct FrameFormatBits {
    int dataBits;
    Parity parity;
};

constexpr FrameFormatBits kFrameFormats[5] = {
    {7, Parity::Even}, {7, Parity::Odd}, {8, Parity::None}, {8, Parity::Even}, {8, Parity::Odd},
};

}  // namespace

ComPort::ComPort(SerialDeviceFactory factory, Clock& clock)
    : factory_(std::move(factory)), clock_(clock) {}

ComPort::~ComPort() {
    // Like the end of the process: the device is released whatever it says,
    // and the driver's flag is not left changed for the next program.
    if (!device_) return;
    PutBackLowLatency();
    device_->Close();
}

template <typename Adjust>
int ComPort::OpenWith(const std::string& name, Adjust adjust) {
    QueuedCount = 0;
    openProblem_ = kPortCannotOpen;

    // A device can still be held only after ComClose returned 10. Dropping it
    // would leak the handle and leave the device locked, so try to close it
    // properly once more; if that is refused again, keep holding it and
    // report that the port cannot be opened.
    if (device_ && ComClose() != kComOk) return kComCannotOpen;

    lastOpenMissing_ = false;
    if (!factory_) return kComCannotOpen;
    std::unique_ptr<SerialDevice> device = factory_();
    if (!device) return kComCannotOpen;
    if (!device->Open(PortNameToPath(name))) {
        lastOpenMissing_ = device->Missing();
        if (!device->OpenProblem().empty()) openProblem_ = device->OpenProblem();
        return kComCannotOpen;
    }

    LineSettings settings;
    if (!device->GetSettings(settings)) {
        device->Close();
        openProblem_ = kPortNotSetUp;
        return kComCannotOpen;
    }
    adjust(settings);
    if (!device->SetSettings(settings)) {
        device->Close();
        openProblem_ = kPortNotSetUp;
        return kComSettingsRefused;
    }
    openProblem_.clear();

    device->Purge(true, false);
    device->Purge(false, true);
    device_ = std::move(device);
    openedIdentity_ = {};
    if (identify_) openedIdentity_ = identify_(name).value_or(DeviceIdentity{});
    lowLatencyGranted_ = false;
    modemLinesRefused_ = false;
    if (lowLatencyRequested_) ApplyLowLatency();

    ComSetDtr(1);
    // With the polarity set, logical level 0 asserts RTS.
    RtsPolarity = true;
    ComSetRts(0);
    return kComOk;
}

int ComPort::ComOpen(const std::string& name, std::uint32_t baud, int frameFormat) {
    return OpenWith(name, [&](LineSettings& s) {
        s.baud = baud;
        if (frameFormat >= 0 && frameFormat < 5) {
            s.dataBits = kFrameFormats[frameFormat].dataBits;
            s.parity = kFrameFormats[frameFormat].parity;
        }
        s.stopBits = 1;
        // Whatever another program left: these formats have no flow control.
        s.flow = FlowControl::None;
    });
}

int ComPort::ComOpen(const std::string& name, std::uint32_t baud, const Frame& frame) {
    return OpenWith(name, [&](LineSettings& s) {
        s.baud = baud;
        s.dataBits = frame.dataBits;
        s.parity = frame.parity;
        s.stopBits = frame.stopBits;
        s.flow = frame.flow;
    });
}

int ComPort::ComClose() {
    if (!device_) return kComOk;
    device_->Purge(true, false);
    device_->Purge(false, true);
    PutBackLowLatency();
    if (!device_->Close()) return kComCloseRefused;
    device_.reset();
    return kComOk;
}

int ComPort::ComSetBaud(std::uint32_t baud) {
    if (!device_) return kComCannotOpen;
    LineSettings settings;
    if (!device_->GetSettings(settings)) return kComSettingsRefused;
    settings.baud = baud;
    return device_->SetSettings(settings) ? kComOk : kComSettingsRefused;
}

std::size_t ComPort::ComRead(std::uint8_t* buffer, std::size_t n) {
    if (!device_ || !buffer) return 0;
    std::uint32_t waiting = 0;
    if (!device_->QueryWaiting(waiting)) waiting = 0;
    const std::size_t ask = std::min<std::size_t>(n, waiting);
    std::size_t got = 0;
    if (ask > 0) {
        // Report what the device delivered, not what was asked: a short or
        // failed read must not pass stale buffer contents off as data.
        const long r = device_->Read(buffer, ask);
        if (r > 0) got = std::min(static_cast<std::size_t>(r), ask);
    }
    // Bytes that ComReadByte had counted may have been taken here.
    QueuedCount = 0;
    return got;
}

int ComPort::ComReadByte() {
    if (!device_) return -1;
    std::uint8_t byte = 0;
    if (QueuedCount > 0) {
        if (device_->Read(&byte, 1) == 1) {
            --QueuedCount;
            return byte;
        }
        // The count was stale (the queue was purged or the device failed):
        // forget it and ask the device afresh.
        QueuedCount = 0;
    }
    std::uint32_t waiting = 0;
    if (!device_->QueryWaiting(waiting) || waiting == 0) return -1;
    if (device_->Read(&byte, 1) != 1) return -1;
    QueuedCount = waiting - 1;
    return byte;
}

int ComPort::ComWaitByte(int budgetMs) {
    if (budgetMs <= 0) return -1;
    // The target's watchdog is fed by RTS flips paced by the poll steps, and
    // a closed port has nothing to wait on: both keep the step rhythm.
    if (WatchdogToggle || !device_) return WaitInPollSteps(budgetMs);

    // A time-out lasts the same whole number of poll steps as always; only a
    // byte that arrives ends the wait sooner, as soon as it is there.
    const std::uint64_t steps = (static_cast<std::uint64_t>(budgetMs) + kPollStepMs - 1) / kPollStepMs;
    const std::uint64_t budgetUs = steps * kPollStepMs * 1000;
    const std::uint64_t start = clock_.MonotonicUs();
    bool claimedReadable = false;
    for (;;) {
        const int b = ComReadByte();
        const std::uint64_t elapsed = clock_.MonotonicUs() - start;
        if (b != -1) {
            CountPollSteps((elapsed + kPollStepMs * 1000 - 1) / (kPollStepMs * 1000));
            return b;
        }
        if (elapsed >= budgetUs || !device_) break;
        const std::uint64_t left = budgetUs - elapsed;
        if (!claimedReadable && device_->WaitReadable(left)) {
            claimedReadable = true;
            continue;
        }
        claimedReadable = false;
        // A device that cannot wait (or has gone), or that said bytes were
        // there when none could be read, must not make this loop spin: sleep
        // up to a step of what is left, at least a millisecond.
        const std::uint64_t waited = clock_.MonotonicUs() - start - elapsed;
        if (waited < left) {
            const std::uint64_t nap = std::min<std::uint64_t>(left - waited, kPollStepMs * 1000);
            clock_.Sleep(static_cast<int>((nap + 999) / 1000));
        }
    }
    CountPollSteps(steps);
    return -1;
}

int ComPort::WaitInPollSteps(int budgetMs) {
    // The budget counts poll steps, so a closed port still spends all of it.
    // A 64-bit count keeps budgets near INT_MAX from overflowing.
    for (long long elapsed = 0; elapsed < budgetMs; elapsed += kPollStepMs) {
        ComWatchdogTick();
        const int b = ComReadByte();
        if (b != -1) return b;
        clock_.Sleep(kPollStepMs);
        CountPollSteps(1);
    }
    return -1;
}

void ComPort::CountPollSteps(std::uint64_t steps) {
    // After a sleep the next tick always reaches the toggle threshold, so a
    // silent wait toggles RTS once per step from its second attempt on. A
    // wait that woke on data counts the steps it would have slept, so that
    // the counter stands where the rhythm expects it when the toggle is on.
    WatchdogCounter = static_cast<std::int8_t>(WatchdogCounter + static_cast<int>((steps * 10) % 256));
}

void ComPort::ComWatchdogTick() {
    if (!WatchdogToggle) return;
    WatchdogCounter = static_cast<std::int8_t>(WatchdogCounter + 1);
    if (WatchdogCounter >= 5) {
        WatchdogCounter = 0;
        ComToggleRts();
    }
}

void ComPort::ComWriteByte(std::uint8_t byte) { ComWrite(&byte, 1); }

std::size_t ComPort::ComWrite(const std::uint8_t* data, std::size_t count) {
    if (!device_ || !data || count == 0) return 0;
    // The device returns once it has taken everything or has stopped taking
    // bytes (after waiting as long as is sane); asking again would only wait
    // a second time, so what it took is the answer.
    const long r = device_->Write(data, count);
    const std::size_t taken = r > 0 ? std::min(static_cast<std::size_t>(r), count) : 0;
    WrittenCount += taken;
    return taken;
}

void ComPort::ApplyDtr(bool asserted) {
    // Line changes that the device refuses (a pseudo-terminal has no modem
    // lines) are ignored, but remembered for whoever wants to say so.
    if (!device_->SetDtr(asserted)) modemLinesRefused_ = true;
    dtrAsserted_ = asserted;
}

void ComPort::ApplyRts(bool asserted) {
    if (!device_->SetRts(asserted)) modemLinesRefused_ = true;
    // The logical state follows the request even when the device refuses,
    // so that toggling keeps its rhythm.
    RtsState = asserted ? 1 : 0;
}

void ComPort::ComSetDtr(int level) {
    if (!device_) return;
    ApplyDtr((level == 1) != DtrInverted);
}

void ComPort::ComSetRts(int level) {
    if (!device_) return;
    ApplyRts((level == 1) != RtsPolarity);
}

void ComPort::ComToggleRts() {
    if (!device_) return;
    ApplyRts(RtsState != 1);
}

void ComPort::ComResetTarget() {
    if (!device_) return;
    ComSetDtr(0);
    ComSetRts(0);
    clock_.Sleep(kResetPulseMs);
    ComSetDtr(1);
}

bool ComPort::ComSetBreak(bool on) { return device_ && device_->SetBreak(on); }

bool ComPort::ComSendBreak(int ms) {
    if (!ComSetBreak(true)) return false;
    clock_.Sleep(std::max(ms, 1));
    return ComSetBreak(false);
}

void ComPort::ComAssertDtr(bool asserted) {
    if (device_) ApplyDtr(asserted);
}

void ComPort::ComAssertRts(bool asserted) {
    if (device_) ApplyRts(asserted);
}

bool ComPort::ComSetLowLatency(bool on) {
    lowLatencyRequested_ = on;
    if (!device_) return false;
    if (on)
        ApplyLowLatency();
    else
        PutBackLowLatency();
    return lowLatencyGranted_;
}

std::optional<int> ComPort::ComAdapterLatencyMs() const {
    return device_ ? device_->LatencyTimerMs() : std::nullopt;
}

void ComPort::ApplyLowLatency() {
    if (lowLatencyGranted_) return;
    bool found = false;
    // A device without the flag is used as it is; one that has it already
    // set (by another program) keeps it, and gets it back that way.
    if (!device_->GetLowLatency(found)) return;
    if (!found && !device_->SetLowLatency(true)) return;
    lowLatencyFound_ = found;
    lowLatencyGranted_ = true;
}

void ComPort::PutBackLowLatency() {
    if (!lowLatencyGranted_) return;
    lowLatencyGranted_ = false;
    if (!lowLatencyFound_) device_->SetLowLatency(false);
}

int ComListPorts(PortChooser& chooser,
                 const std::optional<std::vector<std::string>>& devices) {
    if (!devices) return 0;
    const int index = chooser.SelectedIndex();
    const std::string selected = index >= 0 ? chooser.ItemText(index) : std::string();
    std::vector<std::string> kept = chooser.TypedItems();
    if (!selected.empty()) kept.push_back(selected);

    chooser.ClearItems();
    auto listed = [&](const std::string& text) {
        for (int i = 0; i < chooser.ItemCount(); ++i)
            if (chooser.ItemText(i) == text) return i;
        return -1;
    };
    int added = 0;
    for (const std::string& name : *devices) {
        if (name.empty() || listed(name) >= 0) continue;
        chooser.AddItem(name);
        ++added;
    }
    for (const std::string& path : kept)
        if (!path.empty() && listed(path) < 0) chooser.AddItem(path);
    chooser.SetSelectedIndex(selected.empty() ? -1 : listed(selected));
    return added;
}

}  // namespace quennet
