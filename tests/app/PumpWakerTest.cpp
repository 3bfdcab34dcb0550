// The pump's rest while the line is quiet: the timer stops after a spell
// of empty ticks and the port's descriptor wakes the pump at once; with
// nothing to do at all the timer sleeps until work comes; a flowing line is
// read in larger ticks unless a file send needs them all.
// The timer's own timeouts are not connected here, so every tick seen comes
// from a wake-up.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <functional>
#include <string>
#include <fcntl.h>
#include <unistd.h>

#include "app/PumpWaker.h"

namespace quennet {
namespace {

class Waker : public ::testing::Test {
protected:
    int pipeFds[2] = {-1, -1};
    QTimer timer;
    bool mayRest = true;
    bool needed = true;
    int handle = -1;
    int ticks = 0;
    std::string received;
    std::unique_ptr<PumpWaker> waker;

    void SetUp() override {
        ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK), 0);
        handle = pipeFds[0];
        timer.setInterval(2);
        timer.start();
        waker = std::make_unique<PumpWaker>(
            &timer, PumpWaker::Hooks{[this] { return mayRest; }, [this] { return handle; }, [this] { Tick(); },
                                     [this] { return needed; }});
    }
    void TearDown() override {
        waker.reset();
        for (int fd : pipeFds)
            if (fd >= 0) close(fd);
    }
    void Tick() {
        ++ticks;
        char buf[64];
        const ssize_t n = read(pipeFds[0], buf, sizeof buf);
        if (n > 0) received.append(buf, static_cast<std::size_t>(n));
        waker->AfterTick(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    void QuietTicks(int n) {
        for (int i = 0; i < n; ++i) waker->AfterTick(0);
    }
    void Send(const char* text) { ASSERT_GT(write(pipeFds[1], text, strlen(text)), 0); }
};

TEST_F(Waker, RestsAfterQuietTicksAndAByteWakesThePumpAtOnce) {
    QuietTicks(PumpWaker::kQuietTicks);  // the first sees the device, then quiet
    EXPECT_FALSE(waker->Resting());
    QuietTicks(1);
    ASSERT_TRUE(waker->Resting());
    EXPECT_FALSE(timer.isActive()) << "a quiet line costs no wake-ups";

    Send("ab");
    QTest::qWait(5);
    EXPECT_EQ(received, "ab");
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(waker->Resting());
    EXPECT_EQ(timer.interval(), PumpWaker::kFlowMs) << "a flowing line is read in fewer, larger ticks";
    EXPECT_TRUE(timer.isActive());

    // Bytes keep the pump awake; quiet ticks count again from zero at the
    // pump's own rhythm.
    QuietTicks(1);
    EXPECT_EQ(timer.interval(), 2);
    QuietTicks(PumpWaker::kQuietTicks - 2);
    waker->AfterTick(3);
    QuietTicks(PumpWaker::kQuietTicks - 1);
    EXPECT_FALSE(waker->Resting());
}

TEST_F(Waker, AFloodFromALocalProgramIsReadWithoutWaitingForTheTimer) {
    QuietTicks(1);
    std::string block(PumpWaker::kBurstBytes, 'x');
    ASSERT_EQ(write(pipeFds[1], block.data(), block.size()), static_cast<ssize_t>(block.size()));
    waker->AfterTick(PumpWaker::kBurstBytes);  // a tick that took as much as this
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 1) << "the next tick followed at once";
    EXPECT_EQ(received.size(), 64u);  // read by it (the pipe read takes 64 at a time)
    // That tick took little: the pump goes back to its timer.
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 1);
    waker->AfterTick(PumpWaker::kBurstBytes - 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 1);
}

// The window may ask for another interval while bytes flow (its view shows
// them less often); a burst is still followed at once, however long the
// interval, or a local flood would be read at a few kilobytes an interval.
TEST_F(Waker, AFlowingLineIsReadAtTheIntervalTheWindowAsks) {
    int flowMs = 37;
    waker = std::make_unique<PumpWaker>(
        &timer, PumpWaker::Hooks{[this] { return mayRest; }, [this] { return handle; }, [this] { Tick(); },
                                 [this] { return needed; }, [&flowMs] { return flowMs; }});
    QuietTicks(1);  // sees the device
    waker->AfterTick(PumpWaker::kBurstBytes - 1);
    EXPECT_EQ(timer.interval(), 37);
    ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 0) << "less than a burst waits for the timer";
    flowMs = 125;
    waker->AfterTick(PumpWaker::kBurstBytes);
    EXPECT_EQ(timer.interval(), 125);
    QCoreApplication::processEvents();
    EXPECT_EQ(ticks, 1) << "more is read at once";
}

TEST_F(Waker, StaysAwakeWhileTheWindowNeedsEveryTickOrHasNoDescriptor) {
    mayRest = false;  // a file send, or a run holding the port
    QuietTicks(3 * PumpWaker::kQuietTicks);
    EXPECT_FALSE(waker->Resting());
    waker->AfterTick(150);  // received bytes do not slow a file send's ticks
    EXPECT_EQ(timer.interval(), 2);
    mayRest = true;
    handle = -1;  // a device without a descriptor is polled as before
    QuietTicks(3 * PumpWaker::kQuietTicks);
    EXPECT_FALSE(waker->Resting());
    EXPECT_EQ(timer.interval(), 2);
}

TEST_F(Waker, AHeldPumpIsNotTickedAndAHungUpLineDoesNotSpin) {
    QuietTicks(PumpWaker::kQuietTicks + 1);
    ASSERT_TRUE(waker->Resting());
    // A run holds the pump; its bytes must stay for the run.
    waker->Hold();
    Send("run");
    QTest::qWait(5);
    EXPECT_EQ(ticks, 0);
    EXPECT_FALSE(timer.isActive());
    EXPECT_EQ(timer.interval(), 2) << "the run restarts the pump at its own rhythm";
    waker->Resume();
    EXPECT_TRUE(timer.isActive());
    Tick();  // the first tick after the run takes the waiting bytes
    EXPECT_EQ(received, "run");

    // The far end goes away: the descriptor stays readable (end of file),
    // and the notifier wakes the pump once, not in a loop.
    QuietTicks(PumpWaker::kQuietTicks);
    ASSERT_TRUE(waker->Resting());
    close(pipeFds[1]);
    pipeFds[1] = -1;
    QTest::qWait(20);
    EXPECT_EQ(ticks, 2);
}

// Whatever brings work (the port opened, bytes written, a send started)
// pokes the pump: a sleeping or resting one runs again at its own rhythm, a
// held one waits for its run, a running one goes on as it was.
TEST_F(Waker, APokeWakesASleepingPumpButNotAHeldOne) {
    struct Case {
        const char* what;
        std::function<void()> before;
        bool asleep;           // the timer stopped for want of work
        bool activeAfterPoke;
    };
    const Case cases[] = {
        {"nothing to do", [this] { needed = false; QuietTicks(1); }, true, true},
        {"a quiet line", [this] { QuietTicks(PumpWaker::kQuietTicks + 1); }, true, true},
        {"held by a run", [this] { waker->Hold(); }, false, false},
        {"held while resting", [this] { QuietTicks(PumpWaker::kQuietTicks + 1); waker->Hold(); }, false, false},
        {"running", [] {}, false, true},
    };
    for (const Case& c : cases) {
        waker->Resume();
        needed = true;
        QuietTicks(1);
        c.before();
        EXPECT_EQ(waker->Asleep(), c.asleep) << c.what;
        EXPECT_EQ(timer.isActive(), !c.asleep && c.activeAfterPoke) << c.what;
        needed = true;
        waker->Poke();
        EXPECT_EQ(timer.isActive(), c.activeAfterPoke) << c.what;
        EXPECT_FALSE(waker->Resting()) << c.what;
        EXPECT_EQ(timer.interval(), 2) << c.what;
        // A quiet tick after the poke does not put the pump back to sleep.
        if (c.activeAfterPoke) {
            QuietTicks(1);
            EXPECT_TRUE(timer.isActive()) << c.what;
        }
    }
}

}  // namespace
}  // namespace quennet
