#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <thread>
#include <vector>

#include "CVconEvent.h"
#include "CVconLock.h"
#include "TestSupport.h"

using testsupport::pollUntil;
using testsupport::steadyMillis;

namespace {

// `count` threads that each wait once, without time-out, on `event`.
struct Waiters {
    Waiters(CVconEvent& e, int count) : event(&e), tids(count) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, i, &e] {
                tids[i] = static_cast<pid_t>(gettid());
                released += e.wait(-1) == CVconEvent::SIGNALED;
            });
        }
    }
    ~Waiters() {
        event->set();  // manual reset: releases every waiter, also after a failure
        for (auto& t : threads)
            t.join();
    }
    // True once every thread sleeps on a futex inside the event, i.e. is blocked in wait().
    bool allBlocked() const {
        auto begin = reinterpret_cast<std::uintptr_t>(event);
        for (const auto& tid : tids) {
            std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
            long number = -1;
            std::uintptr_t futex = 0;
            if (!(in >> number >> std::hex >> futex) || number != SYS_futex || futex < begin ||
                futex >= begin + sizeof(CVconEvent))
                return false;
        }
        return true;
    }
    CVconEvent* event;
    std::vector<std::atomic<pid_t>> tids;
    std::atomic<int> released{0};
    std::vector<std::thread> threads;
};

}  // namespace

TEST(EventTest, ZeroTimeOutAnswersAtOnceAndOthersLastAtLeastTheirTime) {
    CVconEvent event;
    long long start = steadyMillis();
    EXPECT_EQ(CVconEvent::TIMED_OUT, event.wait(0));
    EXPECT_LT(steadyMillis() - start, 5000);
    start = steadyMillis();
    EXPECT_EQ(CVconEvent::TIMED_OUT, event.wait(1500));
    EXPECT_GE(steadyMillis() - start, 1500);
}

// Both of the product's events (the stop and the log queue) are manual-reset.
TEST(EventTest, SetWakesEveryWaiterAndTheEventStaysSetUntilReset) {
    CVconEvent event(true);
    Waiters waiters(event, 3);
    ASSERT_TRUE(pollUntil([&] { return waiters.allBlocked(); }));
    event.set();
    ASSERT_TRUE(pollUntil([&] { return waiters.released == 3; }));
    EXPECT_EQ(CVconEvent::SIGNALED, event.wait(0));
    event.reset();
    EXPECT_EQ(CVconEvent::TIMED_OUT, event.wait(0));
}

TEST(LockTest, OwnerRelocksWhileOtherThreadsFindItBusy) {
    CVconLock lock;
    auto tryElsewhere = [&] {
        int result = -1;
        std::thread([&] {
            if ((result = lock.tryLock()) == CVconLock::ACQUIRED)
                lock.unlock();
        }).join();
        return result;
    };
    ASSERT_EQ(CVconLock::ACQUIRED, lock.lock());
    ASSERT_EQ(CVconLock::ACQUIRED, lock.lock());
    ASSERT_EQ(CVconLock::ACQUIRED, lock.tryLock());
    EXPECT_EQ(CVconLock::BUSY, tryElsewhere());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, lock.unlock());
    EXPECT_EQ(CVconLock::ACQUIRED, tryElsewhere());
}
