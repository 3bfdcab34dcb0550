#pragma once
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>

namespace quennet {

// Lets the receive pump rest while the line is quiet. After a spell of
// empty ticks the pump's timer slows down to kIdleMs and a notifier on the
// port's descriptor brings it back to its own rhythm as soon as a byte is
// readable, so an open idle port costs next to nothing while a flowing line
// is still read tick by tick. While bytes flow and nothing needs every tick
// (a file send does), the ticks come every kFlowMs instead: each then reads
// a few chunks where it read one, at a fraction of the wake-ups. The timer
// stays active throughout: a device that offers no descriptor is simply
// polled as before.
//
// The other way round, a tick that took more than a serial line can bring
// in one interval (kBurstBytes) comes from a local far end, a program on a
// pseudo-terminal that writes as fast as it can: the next tick then follows
// as soon as more is readable, not one interval later.
class PumpWaker : public QObject {
public:
    static constexpr int kQuietTicks = 50;  // empty ticks before resting
    static constexpr int kIdleMs = 50;      // the resting timer's interval
    static constexpr int kFlowMs = 8;       // the interval while bytes flow
    static constexpr std::size_t kBurstBytes = 1024;

    struct Hooks {
        std::function<bool()> mayRest;  // false while something needs every tick
        std::function<int()> handle;    // the port's descriptor, or -1
        std::function<void()> tick;     // one pump tick, run at once on wake-up
    };

    PumpWaker(QTimer* timer, Hooks hooks, QObject* parent = nullptr);

    // Called after every tick of the timer with the bytes it received.
    void AfterTick(std::size_t bytes);
    bool Resting() const { return resting_; }
    // Lets go of the port's descriptor before it is closed: a notifier on
    // a closed descriptor makes the event loop complain and may watch
    // whatever reuses its number. The next tick watches the port afresh.
    void Release();

private:
    void Wake();
    void Hurry();
    void SetInterval(int ms);

    QTimer* timer_;
    Hooks hooks_;
    int fastMs_;
    int quiet_ = 0;
    bool resting_ = false;
    int handle_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace quennet
