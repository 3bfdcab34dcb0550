#include "app/PumpWaker.h"

namespace quennet {

PumpWaker::PumpWaker(QTimer* timer, Hooks hooks, QObject* parent)
    : QObject(parent), timer_(timer), hooks_(std::move(hooks)), fastMs_(timer->interval()) {}

void PumpWaker::SetInterval(int ms) {
    // On a stopped timer (held or asleep) this only sets the interval that
    // its restart will use; on a running one it restarts the count.
    if (timer_->interval() != ms) timer_->setInterval(ms);
}

void PumpWaker::Hurry() {
    quiet_ = 0;
    if (notifier_) notifier_->setEnabled(false);
    resting_ = false;
    SetInterval(fastMs_);
}

void PumpWaker::Sleep() {
    if (!timer_->isActive()) return;  // held: the run resumes it
    timer_->stop();
    asleep_ = true;
}

void PumpWaker::AfterTick(std::size_t bytes) {
    const int handle = hooks_.handle();
    const bool changed = handle != handle_;
    if (changed) {
        // Another device (reopened, closed): watch the new one, if any.
        Release();
        handle_ = handle;
        if (handle_ >= 0) {
            notifier_ = std::make_unique<QSocketNotifier>(handle_, QSocketNotifier::Read);
            notifier_->setEnabled(false);
            connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Wake(); });
        }
        Hurry();
    }
    if (!hooks_.needed()) {
        // No port, no send, no paste: nothing to tick for until a Poke.
        Hurry();
        Sleep();
        return;
    }
    if (changed) return;
    if (bytes > 0 && notifier_ && hooks_.mayRest()) {
        // A flowing line: fewer, larger ticks. The bytes wait in the port's
        // buffer meanwhile and are still read in the pump's chunks.
        quiet_ = 0;
        resting_ = false;
        SetInterval(hooks_.flowMs ? hooks_.flowMs() : kFlowMs);
        notifier_->setEnabled(bytes >= kBurstBytes && timer_->isActive());
        return;
    }
    if (bytes > 0 || !notifier_ || !hooks_.mayRest()) {
        Hurry();
        if (bytes >= kBurstBytes && notifier_ && timer_->isActive()) notifier_->setEnabled(true);
        return;
    }
    if (resting_) return;
    // A pause in the flow: the next bytes (often a reply) are read at the
    // pump's own rhythm again.
    SetInterval(fastMs_);
    if (++quiet_ < kQuietTicks) return;
    // A quiet line: the descriptor wakes the pump, the timer sleeps.
    resting_ = true;
    notifier_->setEnabled(true);
    Sleep();
}

void PumpWaker::Poke() {
    if (!asleep_) return;  // running, or held by a run
    asleep_ = false;
    Hurry();
    timer_->start();
}

void PumpWaker::Hold() {
    Hurry();
    asleep_ = false;
    timer_->stop();
}

void PumpWaker::Resume() {
    Hurry();
    asleep_ = false;
    timer_->start();
}

void PumpWaker::Release() {
    // Off at once, so the event loop stops watching the descriptor; deleted
    // later, since this may run inside the notifier's own signal (a wake-up
    // whose tick finds the device gone).
    if (notifier_) {
        notifier_->setEnabled(false);
        notifier_.release()->deleteLater();
    }
    handle_ = -1;
    resting_ = false;
}

void PumpWaker::Wake() {
    // Level-triggered: off until the next rest, or it would fire again and
    // again while the bytes wait (or on a hung-up device, for ever).
    notifier_->setEnabled(false);
    Hurry();
    if (!asleep_ && !timer_->isActive()) return;  // a run holds the pump and resumes it
    asleep_ = false;
    timer_->start();  // the next tick in one interval
    hooks_.tick();
}

}  // namespace quennet
