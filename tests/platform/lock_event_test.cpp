#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "CVconEvent.h"
#include "CVconLock.h"
#include "TestSupport.h"

using testsupport::pollUntil;

namespace {

// True while thread `tid` sleeps on a futex inside `event`, i.e. is blocked in its wait().
bool blockedIn(pid_t tid, const CVconEvent& event) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    std::string address;
    if (tid == 0 || !(in >> number >> address) || number != SYS_futex)
        return false;
    auto futex = std::stoull(address, nullptr, 16);
    auto begin = reinterpret_cast<std::uintptr_t>(&event);
    return futex >= begin && futex < begin + sizeof(CVconEvent);
}

// `count` threads that each wait once, without time-out, on `event`.
struct Waiters {
    Waiters(CVconEvent& e, int count) : event(e), tids(count), signaled(count) {
        for (int i = 0; i < count; ++i) {
            threads.emplace_back([this, i] {
                tids[i] = static_cast<pid_t>(gettid());
                signaled[i] = event.wait(-1) == CVconEvent::SIGNALED;
            });
        }
    }
    ~Waiters() {
        while (released() < static_cast<int>(threads.size()))
            event.set();  // after a failure
        for (auto& t : threads)
            t.join();
    }
    bool allBlocked() const {
        for (auto& tid : tids) {
            if (!blockedIn(tid, event))
                return false;
        }
        return true;
    }
    int released() const {
        int n = 0;
        for (auto& s : signaled)
            n += s;
        return n;
    }
    CVconEvent& event;
    std::vector<std::atomic<pid_t>> tids;
    std::vector<std::atomic<bool>> signaled;
    std::vector<std::thread> threads;
};

}  // namespace

TEST(EventTest, ZeroTimeoutAnswersAtOnce) {
    struct {
        bool manualReset, setFirst;
        int first, second;
    } cases[] = {{false, false, 17, 17}, {false, true, 16, 17}, {true, true, 16, 16}};
    for (const auto& c : cases) {
        CVconEvent event(c.manualReset);
        if (c.setFirst)
            event.set();
        long long start = testsupport::steadyMillis();
        EXPECT_EQ(c.first, event.wait(0)) << c.manualReset << c.setFirst;
        EXPECT_EQ(c.second, event.wait(0)) << c.manualReset << c.setFirst;
        EXPECT_LT(testsupport::steadyMillis() - start, 5000);
    }
}

TEST(EventTest, TimedWaitOnQuietEventLastsAtLeastItsTimeout) {
    CVconEvent event;
    long long start = testsupport::steadyMillis();
    EXPECT_EQ(CVconEvent::TIMED_OUT, event.wait(1500));
    EXPECT_GE(testsupport::steadyMillis() - start, 1500);
}

TEST(EventTest, ManualResetWakesEveryWaiterAndStaysSetUntilReset) {
    CVconEvent event(true);
    Waiters waiters(event, 4);
    ASSERT_TRUE(pollUntil([&] { return waiters.allBlocked(); }));
    event.set();
    EXPECT_TRUE(pollUntil([&] { return waiters.released() == 4; }));
    EXPECT_EQ(CVconEvent::SIGNALED, event.wait(0));
    event.reset();
    EXPECT_EQ(CVconEvent::TIMED_OUT, event.wait(0));
}

TEST(EventTest, AutoResetWakesOneWaiterAndIsConsumed) {
    CVconEvent event;
    Waiters waiters(event, 2);
    ASSERT_TRUE(pollUntil([&] { return waiters.allBlocked(); }));
    event.set();
    ASSERT_TRUE(pollUntil([&] { return waiters.released() == 1; }));
    EXPECT_EQ(CVconEvent::TIMED_OUT, event.wait(0));
    EXPECT_EQ(1, waiters.released());
    event.set();
    EXPECT_TRUE(pollUntil([&] { return waiters.released() == 2; }));
}

TEST(EventTest, DestroyingAnEventReleasesItsWaiter) {
    auto event = std::make_unique<CVconEvent>();
    std::atomic<pid_t> tid{0};
    std::atomic<int> result{0};
    std::thread waiter([&, raw = event.get()] {
        tid = static_cast<pid_t>(gettid());
        result = raw->wait(-1);
    });
    bool blocked = pollUntil([&] { return blockedIn(tid, *event); });
    EXPECT_TRUE(blocked);
    if (!blocked)
        event->set();
    event = nullptr;
    waiter.join();
    EXPECT_EQ(CVconEvent::SIGNALED, result);
}

TEST(LockTest, OwnerRelocksWhileOtherThreadsFindItBusy) {
    CVconLock lock;
    auto tryFromOtherThread = [&] {
        int result = -1;
        std::thread([&] {
            result = lock.tryLock();
            if (result == CVconLock::ACQUIRED)
                lock.unlock();
        }).join();
        return result;
    };
    ASSERT_EQ(CVconLock::ACQUIRED, lock.lock());
    ASSERT_EQ(CVconLock::ACQUIRED, lock.lock());
    ASSERT_EQ(CVconLock::ACQUIRED, lock.tryLock());
    EXPECT_EQ(CVconLock::BUSY, tryFromOtherThread());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(0, lock.unlock());
    EXPECT_EQ(CVconLock::ACQUIRED, tryFromOtherThread());
}
