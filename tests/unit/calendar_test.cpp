// calendar_test.cpp: calendar time to and from 100-ns units since 1601, the arithmetic the POSIX backend
// uses.
#include <gtest/gtest.h>

#include "calendar.h"

namespace {

calendar_time make(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
                   uint16_t second, uint16_t ms) {
    return calendar_time{year, month, 0, day, hour, minute, second, ms};
}

} // namespace

TEST(Calendar, KnownInstants) {
    struct sample {
        calendar_time time;
        uint64_t units;
        uint16_t day_of_week;
    };
    const sample samples[] = {
        {make(1601, 1, 1, 0, 0, 0, 0), 0u, 1},                          // a Monday
        {make(1970, 1, 1, 0, 0, 0, 0), 116444736000000000u, 4},         // the Unix epoch, a Thursday
        {make(2000, 2, 29, 23, 59, 59, 999), 125963423999990000u, 2},   // a leap day
        {make(2026, 12, 8, 14, 5, 9, 120), 134412123091200000u, 2},     // a Tuesday
        {make(30827, 12, 31, 23, 59, 59, 999), 0x7FFF35F4F06C58F0u, 5}, // the last instant there is, a Friday
    };
    for (const sample &s : samples) {
        uint64_t units = 1;
        ASSERT_TRUE(calendar_to_units(s.time, &units)) << s.time.year;
        EXPECT_EQ(units, s.units) << s.time.year;
        calendar_time back{};
        ASSERT_TRUE(calendar_from_units(s.units, &back)) << s.time.year;
        EXPECT_EQ(back.year, s.time.year);
        EXPECT_EQ(back.month, s.time.month);
        EXPECT_EQ(back.day, s.time.day);
        EXPECT_EQ(back.day_of_week, s.day_of_week) << s.time.year;
        EXPECT_EQ(back.hour, s.time.hour);
        EXPECT_EQ(back.minute, s.time.minute);
        EXPECT_EQ(back.second, s.time.second);
        EXPECT_EQ(back.milliseconds, s.time.milliseconds);
    }
}

TEST(Calendar, RefusesWhatIsNoCalendarTime) {
    const calendar_time bad[] = {
        make(1600, 12, 31, 0, 0, 0, 0), make(2026, 2, 29, 0, 0, 0, 0),   make(2026, 13, 1, 0, 0, 0, 0),
        make(2026, 4, 31, 0, 0, 0, 0),  make(2026, 1, 1, 24, 0, 0, 0),   make(2026, 1, 1, 0, 60, 0, 0),
        make(2026, 1, 1, 0, 0, 60, 0),  make(2026, 1, 1, 0, 0, 0, 1000), make(30828, 1, 1, 0, 0, 0, 0),
    };
    for (const calendar_time &t : bad) {
        uint64_t units = 0;
        EXPECT_FALSE(calendar_to_units(t, &units)) << t.year << "-" << t.month << "-" << t.day;
    }
    calendar_time t{};
    EXPECT_FALSE(calendar_from_units(0x8000000000000000u, &t));
}

TEST(Calendar, AddingMillisecondsCrossesDaysMonthsAndYears) {
    uint64_t units = 0;
    ASSERT_TRUE(calendar_to_units(make(2024, 12, 31, 23, 59, 50, 500), &units));
    calendar_time next{};
    ASSERT_TRUE(calendar_from_units(units + 15000u * UNITS_PER_MS, &next));
    EXPECT_EQ(next.year, 2025);
    EXPECT_EQ(next.month, 1);
    EXPECT_EQ(next.day, 1);
    EXPECT_EQ(next.hour, 0);
    EXPECT_EQ(next.minute, 0);
    EXPECT_EQ(next.second, 5);
    EXPECT_EQ(next.milliseconds, 500);
}
