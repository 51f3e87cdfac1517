// The test suite's only way to signal a process: a pid of 0 or -1 would reach every process
// the user may signal, so it must never get through.
#include <gtest/gtest-spi.h>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace {

using testsupport::ChildProcess;

TEST(ChildProcessTest, NeverSignalsAPidOfZeroOrLess) {
    for (const pid_t pid : {-1, 0}) {
        EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(testsupport::signalChild(pid, 0)), "refused");
        ChildProcess child;
        EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(child.adopt(pid)), "refused to adopt");
        EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(child.signal(SIGTERM)), "no running child");
    }
}

TEST(ChildProcessTest, AReapedChildIsNotSignalledAgain) {
    ChildProcess child;
    ASSERT_TRUE(child.start({"/bin/sleep", "30"}, {}));
    EXPECT_TRUE(ChildProcess::isChild(child.pid()));
    EXPECT_TRUE(child.signal(SIGTERM));
    ASSERT_TRUE(child.waitForExit());
    EXPECT_EQ(128 + SIGTERM, child.status());
    // The pid may already belong to another process.
    EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(child.signal(SIGTERM)), "no running child");
    EXPECT_FALSE(ChildProcess::isChild(1));

    ChildProcess forked;  // reaped by someone else
    ASSERT_TRUE(forked.fork([] { return 3; }));
    ASSERT_TRUE(testsupport::pollUntil([&] {
        ChildProcess::reapOrphans();
        return !ChildProcess::isChild(forked.pid());
    }));
    EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(forked.signal(SIGTERM)), "no running child");
}

TEST(ChildProcessTest, AChildOutlivingItsDeadlineIsKilledAndFailsTheTest) {
    ChildProcess child;
    ASSERT_TRUE(child.start({"/bin/sleep", "30"}, {}));
    EXPECT_NONFATAL_FAILURE(EXPECT_EQ(128 + SIGKILL, child.wait(std::chrono::milliseconds(100))),
                            "did not end in time");
}

}  // namespace
