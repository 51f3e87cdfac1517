#include "CVconThread.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <memory>

#include "CVconEvent.h"
#include "TestSupport.h"

using testsupport::pollUntil;

namespace {

// Counts its runs and blocks until the gate opens.
struct GatedDelegate : CVconDelegate {
    void run(void*) override {
        runs.fetch_add(1);
        gate.wait();
    }
    std::atomic<int> runs{0};
    CVconEvent gate{true};
};

template <class Base>
struct Tracked : Base {
    explicit Tracked(std::atomic<bool>& destroyed) : gone(destroyed) {}
    ~Tracked() override { gone = true; }
    void run(void*) {}
    std::atomic<bool>& gone;
};

// Ticks until stopped; `unwound` tells that run() was left, by return or by pthread_exit.
struct TickingDelegate : CVconDelegate {
    void run(void*) override {
        struct Sentinel {
            std::atomic<bool>& flag;
            ~Sentinel() { flag = true; }
        } sentinel{unwound};
        while (!stop) {
            ticks.fetch_add(1);
            usleep(200);  // signal-driven unwinding runs the sentinel from a libc call
        }
    }
    std::atomic<long> ticks{0};
    std::atomic<bool> stop{false}, unwound{false};
};

}  // namespace

TEST(ThreadTest, RunsOneThreadAtATimeAndIsAliveFollowsRun) {
    GatedDelegate delegate;
    CVconThread thread;
    EXPECT_FALSE(thread.isAlive());
    for (int round = 1; round <= 2; ++round) {
        delegate.gate.reset();
        thread.start(&delegate);
        pthread_t first = thread.getThreadID();
        thread.start(&delegate);
        EXPECT_EQ(first, thread.getThreadID());
        ASSERT_TRUE(pollUntil([&] { return delegate.runs == round; }));
        EXPECT_TRUE(thread.isAlive());
        delegate.gate.set();
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

TEST(ThreadTest, KillSuspendAndResumeOfAnIdleThreadDoNothing) {
    CVconThread thread;
    thread.kill();
    thread.suspend();
    thread.resume();
    EXPECT_EQ(CVconThread::NO_THREAD, thread.getThreadID());
}

// The thread library's handlers are process-wide, so these run in a child process.
TEST(ThreadSignalTest, SuspendHoldsTheThreadUntilResume) {
    EXPECT_EQ(
        0, testsupport::runInChild([] {
            CVconThread::initializeThreadLib();
            TickingDelegate delegate;
            CVconThread thread;
            thread.start(&delegate);
            if (!pollUntil([&] { return delegate.ticks > 0; }))
                return 10;
            thread.suspend();
            long held = delegate.ticks;
            if (pollUntil([&] { return delegate.ticks != held; }, std::chrono::milliseconds(300)))
                return 11;
            thread.resume();
            if (!pollUntil([&] { return delegate.ticks > held; }))
                return 12;
            delegate.stop = true;
            return pollUntil([&] { return !thread.isAlive(); }) ? 0 : 13;
        }));
}

TEST(ThreadSignalTest, KillAndSigtermEndOnlyTheReceivingThread) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the handlers end the thread with pthread_exit inside a signal handler, which "
                    "is not async-signal-safe; ThreadSanitizer defers and reports it";
#endif
    for (bool useKill : {true, false}) {
        EXPECT_EQ(0, testsupport::runInChild([useKill] {
                      CVconThread::initializeThreadLib();
                      TickingDelegate delegate;
                      CVconThread thread;
                      thread.start(&delegate);
                      if (!pollUntil([&] { return delegate.ticks > 0; }))
                          return 10;
                      if (useKill) {
                          thread.kill();
                          if (thread.getThreadID() != CVconThread::NO_THREAD)
                              return 11;
                      } else {
                          pthread_kill(thread.getThreadID(), SIGTERM);
                      }
                      return pollUntil([&] { return delegate.unwound.load(); }) ? 0 : 12;
                  }))
            << (useKill ? "kill" : "SIGTERM");
    }
}
