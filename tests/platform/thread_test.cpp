#include "CVconThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"

using testsupport::pollUntil;

namespace {

// Counts its runs and keeps running until stopped.
struct CountingDelegate : CVconDelegate {
    void run(void*) override {
        runs.fetch_add(1);
        while (!stop) {
            std::this_thread::yield();
        }
    }
    std::atomic<int> runs{0};
    std::atomic<bool> stop{false};
};

}  // namespace

TEST(ThreadTest, RunsOneThreadAtATimeAndIsAliveFollowsRun) {
    CountingDelegate delegate;
    CVconThread thread;
    EXPECT_FALSE(thread.isAlive());
    for (int round = 1; round <= 2; ++round) {
        delegate.stop = false;
        thread.start(&delegate);
        const pthread_t first = thread.getThreadID();
        thread.start(&delegate);  // ignored while the first runs
        EXPECT_EQ(first, thread.getThreadID());
        ASSERT_TRUE(pollUntil([&] { return delegate.runs == round; }));
        EXPECT_TRUE(thread.isAlive());
        delegate.stop = true;
        ASSERT_TRUE(pollUntil([&] { return !thread.isAlive(); }));
        EXPECT_EQ(CVconThread::NO_THREAD, thread.getThreadID());
        EXPECT_EQ(round, delegate.runs);
    }
}
