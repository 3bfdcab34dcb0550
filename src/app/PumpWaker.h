#pragma once
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>

namespace quennet {

// Decides when the receive pump's timer runs. With nothing to do (the port
// closed, no file send, no paste) the timer stops, and what brings work -
// the port opened, bytes written, a send or a paste started - wakes it
// (Poke). On an open line that stays quiet for kQuietTicks the timer stops
// as well, and a notifier on the port's descriptor brings the pump back as
// soon as a byte is readable (or the device hangs up), so an open idle port
// costs no wake-ups at all while a flowing line is still read tick by tick.
// While bytes flow and nothing needs every tick (a file send does), the
// ticks come every kFlowMs instead: each then reads a few chunks where it
// read one, at a fraction of the wake-ups. A device that offers no
// descriptor is polled at the pump's own rhythm while it is open.
//
// The other way round, a tick that took a burst (kBurstBytes) is followed
// as soon as more is readable, not one interval later: a local far end, a
// program on a pseudo-terminal that writes as fast as it can, refills the
// few kilobytes the terminal buffers at once, and a line faster than the
// interval was chosen for drains its backlog without waiting. On a line
// that brought the burst over a long interval the follow-up finds little,
// and the timer takes over again.
//
// A run or a capture holds the pump (Hold) and gives it back (Resume): a
// held pump is neither ticked nor woken, whatever arrives.
class PumpWaker : public QObject {
public:
    // Empty ticks before resting: the notifier reads the next byte at once,
    // so a short spell only spares switching it on and off between lines.
    static constexpr int kQuietTicks = 5;
    // The interval while bytes flow: close to the view's picture pace, so
    // that a tick and a picture mostly share one wake-up, and short enough
    // that a typed key's echo amid the flow shows within a picture or two.
    static constexpr int kFlowMs = 20;
    // The longest interval a view's pace may ask for: 921600 baud brings
    // about 12 KB in it, far less than a port's kernel buffer holds.
    static constexpr int kSlowFlowMs = 125;
    // More than 921600 baud brings in a millisecond, and in one kFlowMs.
    static constexpr std::size_t kBurstBytesPerMs = 128;
    static constexpr std::size_t kBurstBytes = kBurstBytesPerMs * kFlowMs;

    struct Hooks {
        std::function<bool()> mayRest;  // false while something needs every tick
        std::function<int()> handle;    // the port's descriptor, or -1
        std::function<void()> tick;     // one pump tick, run at once on wake-up
        std::function<bool()> needed;   // false when the pump has nothing to do
        // The interval while bytes flow, when the window wants another
        // than kFlowMs (its view shows them less often).
        std::function<int()> flowMs = nullptr;
    };

    PumpWaker(QTimer* timer, Hooks hooks, QObject* parent = nullptr);

    // Called after every tick of the timer with the bytes it received.
    void AfterTick(std::size_t bytes);
    // Work for the pump: a sleeping or resting pump runs again at its own
    // rhythm; a held one stays held.
    void Poke();
    void Hold();
    void Resume();
    // Quiet line, the timer stopped and the descriptor watched.
    bool Resting() const { return resting_; }
    // The timer stopped because nothing needs it, or resting.
    bool Asleep() const { return asleep_; }
    // Lets go of the port's descriptor before it is closed: a notifier on
    // a closed descriptor makes the event loop complain and may watch
    // whatever reuses its number. The next tick watches the port afresh.
    void Release();

private:
    void Wake();
    void Hurry();
    void Sleep();
    void SetInterval(int ms);

    QTimer* timer_;
    Hooks hooks_;
    int fastMs_;
    int quiet_ = 0;
    bool resting_ = false;
    bool asleep_ = false;
    int handle_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quennet
