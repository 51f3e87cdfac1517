// TIME_AT values for local wall-clock minutes, in zones with and without daylight-saving time.
#include "CVFItimeAt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace {

TEST(TimeAtValue, WritesTheHourOneMoreThanMeantInStandardTime) {
    const struct {
        const char* zone;
        const char* wallClock;
        const char* value;  // empty: refused
    } cases[] = {
        {"UTC", "2026-07-01 09:30", "07-01-26-10-30"},
        // Summer: 10:30 CEST is 09:30 CET. Winter: the hour is simply one more.
        {"Europe/Berlin", "2026-07-01 10:30", "07-01-26-10-30"},
        {"Europe/Berlin", "2026-01-15 10:30", "01-15-26-11-30"},
        // Around midnight: in summer 00:30 is 23:30 standard time the day before, so the value
        // has hour 00; in winter 23:30 moves to hour 00 of the next day, here of the next year.
        {"Europe/Berlin", "2026-07-01 00:30", "07-01-26-00-30"},
        {"Europe/Berlin", "2026-12-31 23:30", "01-01-27-00-30"},
        {"Europe/Berlin", "2026-06-30 23:30", "06-30-26-23-30"},
        // The spring gap does not exist; in the autumn the repeated 02:30 is taken at its
        // first, summer-time occurrence.
        {"Europe/Berlin", "2026-03-29 02:30", ""},
        {"Europe/Berlin", "2026-03-29 03:30", "03-29-26-03-30"},
        {"Europe/Berlin", "2026-10-25 02:30", "10-25-26-02-30"},
        {"Europe/Berlin", "2026-10-25 03:30", "10-25-26-04-30"},
        // The southern summer, and a saving of half an hour.
        {"Australia/Sydney", "2026-01-15 10:30", "01-15-26-10-30"},
        {"Australia/Lord_Howe", "2026-01-15 10:30", "01-15-26-11-00"},
        // Two-digit years: from the first hour of 2000 (read back as the day before) to 2099.
        {"UTC", "1999-12-31 23:30", "01-01-00-00-30"},
        {"UTC", "1999-12-31 22:59", ""},
        {"UTC", "2099-12-31 22:59", "12-31-99-23-59"},
        {"UTC", "2099-12-31 23:00", ""},
        // Malformed texts and dates.
        {"UTC", " 2026-07-01 10:30", ""},
        {"UTC", "2026-07-01T10:30", ""},
        {"UTC", "2026-02-29 10:30", ""},
        {"UTC", "2026-07-01 24:00", ""},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.zone, 1);
        tzset();
        std::string value;
        std::string error;
        const bool ok = CVFItimeAtFromWallClock(c.wallClock, value, error);
        EXPECT_EQ(*c.value != '\0', ok) << c.zone << " " << c.wallClock << ": " << error;
        EXPECT_EQ(c.value, ok ? value : "") << c.zone << " " << c.wallClock;
        EXPECT_EQ(ok, error.empty()) << c.wallClock;
    }
    unsetenv("TZ");
    tzset();
}

}  // namespace
