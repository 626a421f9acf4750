// The ticker: ticks on the grid of the arming time, one timeout, re-arming,
// and a destructor that neither hangs nor leaves callbacks running.
#include <gtest/gtest.h>

#include <windows.h>
#include <string>
#include <vector>

#include "utils/Lockable.h"
#include "utils/thread/Thread.h"

namespace {

struct Event {
    char kind;       // 'T' tick, 'O' timeout
    DWORD number;    // tick number
    DWORD at;        // ms since the test armed the ticker
};

class RecordingTicker : public Utils::Ticker {
public:
    ~RecordingTicker() override { Stop(); }

    void Arm(DWORD timeout, DWORD interval) {
        {
            Utils::AutoLock lock(m_eventsLock);
            m_armedAt = GetTickCount();
        }
        StartTimer(timeout, interval);
    }
    void OnTick(DWORD n) override { Add('T', n); }
    void OnTickerTimeout() override {
        Add('O', 0);
        if (InterlockedDecrement(&m_rearmsLeft) >= 0) StartTimer(100, 1000);
    }

    std::vector<Event> Events() {
        Utils::AutoLock lock(m_eventsLock);
        return m_events;
    }
    // Polls (generously) until `predicate` holds for the events seen so far.
    template <typename Predicate>
    std::vector<Event> WaitUntil(Predicate predicate, DWORD limitMs = 15000) {
        for (DWORD waited = 0; waited < limitMs; waited += 10) {
            std::vector<Event> events = Events();
            if (predicate(events)) return events;
            Sleep(10);
        }
        return Events();
    }

    volatile LONG m_rearmsLeft = 0;

private:
    void Add(char kind, DWORD n) {
        Utils::AutoLock lock(m_eventsLock);
        m_events.push_back(Event{kind, n, GetTickCount() - m_armedAt});
    }
    Utils::Lockable m_eventsLock;
    std::vector<Event> m_events;
    DWORD m_armedAt = 0;
};

int CountKind(const std::vector<Event>& events, char kind) {
    int count = 0;
    for (const Event& e : events) count += e.kind == kind;
    return count;
}

TEST(Ticker, TicksAreNumberedFromOneAndKeepToTheGrid) {
    RecordingTicker ticker;
    ticker.Arm(Utils::Ticker::NO_TIMEOUT, 100);
    std::vector<Event> events = ticker.WaitUntil([](const std::vector<Event>& e) { return e.size() >= 6; });
    ASSERT_GE(events.size(), 6u);
    // Callbacks run on their own threads and may be recorded out of order.
    std::vector<bool> seen(events.size() + 1, false);
    for (const Event& e : events) {
        ASSERT_EQ('T', e.kind);
        ASSERT_GE(e.number, 1u);
        ASSERT_LE(e.number, events.size());
        EXPECT_FALSE(seen[e.number]) << "tick " << e.number << " twice";
        seen[e.number] = true;
        // Tick n never comes before (n - 1) intervals after arming (small slack
        // for the coarse tick counter).
        EXPECT_GE(e.at + 20, (e.number - 1) * 100) << "tick " << e.number;
    }
    EXPECT_TRUE(ticker.IsActive());
}

TEST(Ticker, TimeoutComesOnceAndEndsTheTicking) {
    RecordingTicker ticker;
    ticker.Arm(1, 300);
    std::vector<Event> events = ticker.WaitUntil([](const std::vector<Event>& e) { return CountKind(e, 'O') > 0; });
    ASSERT_EQ(1, CountKind(events, 'O'));
    Sleep(800);  // nothing may follow the timeout
    events = ticker.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ('T', events[0].kind);
    EXPECT_EQ(1u, events[0].number);
    EXPECT_EQ('O', events[1].kind);
    EXPECT_GE(events[1].at + 20, 300u);
    EXPECT_FALSE(ticker.IsActive());
}

TEST(Ticker, LongerTimeoutFallsOnTheFirstWakeUpAfterIt) {
    RecordingTicker ticker;
    ticker.Arm(250, 100);
    std::vector<Event> events = ticker.WaitUntil([](const std::vector<Event>& e) { return CountKind(e, 'O') > 0; });
    ASSERT_EQ(1, CountKind(events, 'O'));
    Sleep(400);
    events = ticker.Events();
    // Ticks 1, 2, 3 are due at 0, 100, 200 ms and the wake-up at 300 ms times out.
    // A late wake-up (busy machine) may time out earlier, never tick past 3.
    int ticks = CountKind(events, 'T');
    EXPECT_GE(ticks, 1);
    EXPECT_LE(ticks, 3);
    EXPECT_EQ('O', events.back().kind);
    EXPECT_GE(events.back().at + 20, 250u);
}

TEST(Ticker, RearmingRestartsTheNumbering) {
    RecordingTicker ticker;
    ticker.Arm(Utils::Ticker::NO_TIMEOUT, 80);
    ticker.WaitUntil([](const std::vector<Event>& e) { return e.size() >= 3; });
    ticker.Arm(Utils::Ticker::NO_TIMEOUT, 5000);
    auto ones = [](const std::vector<Event>& e) {
        int count = 0;
        for (const Event& x : e) count += x.number == 1;
        return count;
    };
    // The re-arming brings a second tick number 1 (and, within its long interval, nothing else).
    std::vector<Event> events = ticker.WaitUntil([&](const std::vector<Event>& e) { return ones(e) >= 2; });
    EXPECT_EQ(2, ones(events));
    EXPECT_EQ(5000u, ticker.GetInterval());
    EXPECT_EQ(1u, ticker.GetTicks());
}

TEST(Ticker, CallbackMayRearmFromItsTimeout) {
    RecordingTicker ticker;
    ticker.m_rearmsLeft = 1;
    ticker.Arm(1, 100);
    std::vector<Event> events = ticker.WaitUntil([](const std::vector<Event>& e) { return CountKind(e, 'O') >= 2; });
    EXPECT_EQ(2, CountKind(events, 'O'));
    EXPECT_EQ(2, CountKind(events, 'T'));
}

volatile LONG g_insideSlowTick = 0;
volatile LONG g_slowTicks = 0;

class SlowTicker : public Utils::Ticker {
public:
    ~SlowTicker() override { Stop(); }
    void OnTick(DWORD) override {
        InterlockedExchange(&g_insideSlowTick, 1);
        InterlockedIncrement(&g_slowTicks);
        Sleep(400);
        InterlockedExchange(&g_insideSlowTick, 0);
    }
};

TEST(Ticker, DestructorWaitsForRunningCallbacksAndDoesNotHang) {
    {
        SlowTicker idle;  // never armed
    }
    DWORD before = GetTickCount();
    {
        SlowTicker ticker;
        ticker.StartTimer(Utils::Ticker::NO_TIMEOUT, 10000);
        for (int i = 0; i < 1500 && g_insideSlowTick == 0; ++i) Sleep(10);
        ASSERT_EQ(1, g_insideSlowTick);
    }
    EXPECT_EQ(0, g_insideSlowTick);  // the callback finished before the object went away
    EXPECT_EQ(1, g_slowTicks);
    Sleep(200);
    EXPECT_EQ(1, g_slowTicks);       // and nothing was called afterwards
    (void)before;
}

} // namespace
