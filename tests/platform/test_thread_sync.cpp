// The auto-reset event behind the port lock, bounded waits and the monotonic clock.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/thread_sync.h"

namespace {

using qx::platform::WaitResult;
namespace p = qx::platform;

struct EventGuard {
    explicit EventGuard(bool signalled) : event(p::EventCreate(signalled)) {}
    ~EventGuard() {
        if (event != nullptr) p::EventClose(event);
    }
    qx::OsHandle event;
};

TEST(Event, SignalReleasesExactlyOneWait) {
    EventGuard signalled(true);
    ASSERT_NE(signalled.event, nullptr);
    EXPECT_EQ(p::EventWait(signalled.event, 0), WaitResult::Signalled);
    EXPECT_EQ(p::EventWait(signalled.event, 0), WaitResult::TimedOut);
    EXPECT_TRUE(p::EventSet(signalled.event));
    EXPECT_TRUE(p::EventSet(signalled.event));  // not counting: still one release
    EXPECT_EQ(p::EventWait(signalled.event, 0), WaitResult::Signalled);
    EXPECT_EQ(p::EventWait(signalled.event, 0), WaitResult::TimedOut);

    EventGuard clear(false);
    EXPECT_EQ(p::EventWait(clear.event, 0), WaitResult::TimedOut);
}

TEST(Event, WaitIsBoundedByItsTimeOut) {
    EventGuard guard(false);
    const uint64_t start = p::MonotonicMs();
    EXPECT_EQ(p::EventWait(guard.event, 200), WaitResult::TimedOut);
    const uint64_t elapsed = p::MonotonicMs() - start;
    EXPECT_GE(elapsed, 190u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(Event, SetFromAnotherThreadWakesTheWaiterEarly) {
    EventGuard guard(false);
    std::thread setter([&] {
        p::SleepMs(50);
        p::EventSet(guard.event);
    });
    const uint64_t start = p::MonotonicMs();
    EXPECT_EQ(p::EventWait(guard.event, 5000), WaitResult::Signalled);
    EXPECT_LT(p::MonotonicMs() - start, 2000u);
    setter.join();
}

TEST(Event, OneSetReleasesOneOfTwoWaiters) {
    EventGuard guard(false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (p::EventWait(guard.event, 600) == WaitResult::Signalled) ++released;
        });
    }
    p::SleepMs(100);
    p::EventSet(guard.event);
    for (std::thread& waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 1);
}

TEST(Event, NullHandleFails) {
    EXPECT_EQ(p::EventWait(nullptr, 0), WaitResult::Failed);
    EXPECT_FALSE(p::EventSet(nullptr));
    EXPECT_FALSE(p::EventClose(nullptr));
}

TEST(Sleep, SleepsAtLeastTheTimeAskedOnTheMonotonicClock) {
    const uint64_t start = p::MonotonicMs();
    p::SleepMs(100);
    const uint64_t elapsed = p::MonotonicMs() - start;
    EXPECT_GE(elapsed, 95u);
    EXPECT_LT(elapsed, 1000u);
}

}  // namespace
