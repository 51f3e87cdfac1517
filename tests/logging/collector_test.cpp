// A collecting log registered as the process's default log.
#include "CVsysEventLogCollector.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using Log = CVsysEventLogInterface;

TEST(EventLogCollector, BecomesTheDefaultLogAndKeepsEntriesFromItsLevelOn) {
    Log::DestroyAll();
    auto owned = std::make_unique<CVsysEventLogCollector>("tool", Log::ERROR);
    CVsysEventLogCollector* collector = owned.get();
    ASSERT_EQ(collector, Log::Register(std::move(owned)));
    EXPECT_FALSE(Log::GetInstance()->LogEvent(Log::CODE_ERROR, nullptr, "before the start"));
    ASSERT_TRUE(collector->Start());

    Log::GetInstance()->LogDebug(Log::CODE_TRACE, "read [%s]\n", "x");
    Log::GetInstance()->LogEvent(Log::CODE_ERROR, nullptr, "%s\n", "Empty GROUP field");
    Log::GetInstance()->fatal("gone");
    const auto entries = collector->take();
    ASSERT_EQ(2u, entries.size());
    EXPECT_EQ(Log::ERROR, entries[0].level);
    EXPECT_EQ("Empty GROUP field\n", entries[0].text);
    EXPECT_EQ(Log::FATAL, entries[1].level);
    EXPECT_TRUE(collector->take().empty());

    // A module has one log; the second is refused and destroyed.
    EXPECT_EQ(nullptr, Log::Register(std::make_unique<CVsysEventLogCollector>("tool", 0)));
    EXPECT_EQ(nullptr, Log::Register(nullptr));
    EXPECT_EQ(collector, Log::GetInstance("tool", -1, nullptr));
    Log::DestroyAll();
}

}  // namespace
