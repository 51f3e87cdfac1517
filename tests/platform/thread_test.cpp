#include "CVconThread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "ChildProcess.h"
#include "TestSupport.h"

using testsupport::pollUntil;

namespace {

template <class Base>
struct Tracked : Base {
    explicit Tracked(std::atomic<bool>& destroyed) : gone(destroyed) {}
    ~Tracked() override { gone = true; }
    void run(void*) {}
    std::atomic<bool>& gone;
};

// Counts its runs and ticks until stopped; `unwound` tells that run() was left, by return or
// by pthread_exit.
struct TickingDelegate : CVconDelegate {
    void run(void*) override {
        runs.fetch_add(1);
        struct Sentinel {
            std::atomic<bool>& flag;
            ~Sentinel() { flag = true; }
        } sentinel{unwound};
        while (!stop) {
            ticks.fetch_add(1);
            usleep(200);  // signal-driven unwinding runs the sentinel from a libc call
        }
    }
    std::atomic<int> runs{0};
    std::atomic<long> ticks{0};
    std::atomic<bool> stop{false}, unwound{false};
};

}  // namespace

TEST(ThreadTest, RunsOneThreadAtATimeAndIsAliveFollowsRun) {
    TickingDelegate delegate;
    CVconThread thread;
    thread.kill();  // nothing to act on yet
    thread.suspend();
    thread.resume();
    EXPECT_FALSE(thread.isAlive());
    for (int round = 1; round <= 2; ++round) {
        delegate.stop = false;
        thread.start(&delegate);
        pthread_t first = thread.getThreadID();
        thread.start(&delegate);
        EXPECT_EQ(first, thread.getThreadID());
        ASSERT_TRUE(pollUntil([&] { return delegate.runs == round; }));
        EXPECT_TRUE(thread.isAlive());
        delegate.stop = true;
        ASSERT_TRUE(pollUntil([&] { return !thread.isAlive(); }));
        EXPECT_EQ(CVconThread::NO_THREAD, thread.getThreadID());
        EXPECT_EQ(round, delegate.runs);
    }
}

TEST(ThreadTest, DeleteOnExitDeletesThreadAndDelegate) {
    std::atomic<bool> threadGone{false}, delegateGone{false};
    auto thread = std::make_unique<Tracked<CVconThread>>(threadGone);
    auto delegate = std::make_unique<Tracked<CVconDelegate>>(delegateGone);
    thread.release()->setDeleteOnExit(true)->start(delegate.release());
    EXPECT_TRUE(pollUntil([&] { return threadGone && delegateGone; }));
}

// The thread library's handlers are process-wide, so each case runs in a child process.
TEST(ThreadSignalTest, SuspendHoldsTheThreadUntilResumeAndKillEndsIt) {
    for (bool suspend : {true, false}) {
#if defined(__SANITIZE_THREAD__)
        // The handlers end the thread with pthread_exit, which is not async-signal-safe;
        // ThreadSanitizer defers and reports it.
        if (!suspend)
            continue;
#endif
        EXPECT_EQ(0, testsupport::runInChild([suspend] {
                      CVconThread::initializeThreadLib();
                      TickingDelegate delegate;
                      CVconThread thread;
                      thread.start(&delegate);
                      if (!pollUntil([&] { return delegate.ticks > 0; }))
                          return 10;
                      if (suspend) {
                          thread.suspend();
                          long held = delegate.ticks;
                          if (pollUntil([&] { return delegate.ticks != held; },
                                        std::chrono::milliseconds(300)))
                              return 11;
                          thread.resume();
                          if (!pollUntil([&] { return delegate.ticks > held; }))
                              return 12;
                          delegate.stop = true;
                      } else {
                          thread.kill();
                          if (thread.getThreadID() != CVconThread::NO_THREAD)
                              return 13;
                      }
                      return pollUntil([&] { return delegate.unwound && !thread.isAlive(); }) ? 0
                                                                                              : 14;
                  }))
            << (suspend ? "suspend" : "kill");
    }
}
