#include "CVsysEventLogMultiThreaded.h"

#include <gtest/gtest.h>

#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "LogTestSupport.h"
#include "TestSupport.h"

namespace {

using QueuedLog = logtest::JournalLog<CVsysEventLogMultiThreaded>;
using testsupport::pollUntil;

TEST(MultiThreadedLog, EntriesOfTwoThreadsArriveInWriteOrderWithTheirEnqueueTimes) {
    QueuedLog log;
    ASSERT_TRUE(log.Start());
    std::unique_lock<std::mutex> gate(log.journal->mutex);  // held until the clock moves on
    constexpr int kPerThread = 2000;
    std::mutex order;  // makes the order of the write calls known
    int next = 0;
    auto produce = [&] {
        for (int i = 0; i < kPerThread; ++i) {
            std::lock_guard<std::mutex> lock(order);
            ASSERT_TRUE(log.info(std::to_string(next++)));
        }
    };
    const time_t before = time(nullptr);
    std::thread a(produce), b(produce);
    a.join();
    b.join();
    const time_t after = time(nullptr);
    ASSERT_TRUE(pollUntil([&] { return time(nullptr) > after; }));
    gate.unlock();
    ASSERT_TRUE(pollUntil([&] { return log.journal->size() == 2 * kPerThread; }));
    for (int i = 0; i < 2 * kPerThread; ++i) {
        const logtest::Entry& entry = log.journal->entries[i];
        ASSERT_EQ(std::to_string(i), entry.message);
        ASSERT_GE(entry.time, before);
        ASSERT_LE(entry.time, after);
    }
}

TEST(MultiThreadedLog, StopWritesEverythingQueuedAndRefusesLaterEntries) {
    QueuedLog log;
    ASSERT_TRUE(log.Start());
    for (int i = 0; i < 10000; ++i) {
        ASSERT_TRUE(log.info("entry"));
    }
    EXPECT_TRUE(log.Stop());
    EXPECT_EQ(10000u, log.journal->size());
    EXPECT_FALSE(log.isStarted());
    EXPECT_FALSE(log.write(CVsysEventLogInterface::INFO, "late", -1, nullptr));
    EXPECT_EQ(10000u, log.journal->size());
}

TEST(MultiThreadedLog, ThrowingWriterEndsTheWorkerAndLaterEntriesStayQueued) {
    QueuedLog log;
    ASSERT_TRUE(log.Start());
    testing::internal::CaptureStderr();
    EXPECT_TRUE(log.info("first"));
    EXPECT_TRUE(log.info("throw"));
    EXPECT_TRUE(pollUntil([&] { return !log.isStarted(); }));
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "Journal-ERROR CVsysEventLogMultiThreaded::DoWork: Unknown error"),
              std::string::npos);
    EXPECT_TRUE(log.info("queued for good"));
    EXPECT_EQ(1u, log.journal->size());
}

// Each entry is written right after the worker wrote the previous one, which is when the
// worker is on its way back to sleep; none may wait for a later write.
TEST(MultiThreadedLog, EntryWrittenAsTheWorkerGoesIdleIsNotLeftBehind) {
    QueuedLog log;
    ASSERT_TRUE(log.Start());
    for (size_t i = 1; i <= 20000; ++i) {
        ASSERT_TRUE(log.info("entry"));
        ASSERT_TRUE(pollUntil([&] { return log.journal->size() == i; }, std::chrono::seconds(20),
                              std::chrono::milliseconds(0)))
            << "entry " << i << " was left in the queue";
    }
}

}  // namespace
