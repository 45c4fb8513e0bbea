// calendar.cpp: civil-date arithmetic on std::chrono, no time zone involved.
#include "calendar.h"

#include <chrono>

namespace {

using namespace std::chrono;

constexpr uint64_t UNITS_PER_SECOND = 10000000u;
constexpr uint64_t SECONDS_PER_DAY = 86400u;
constexpr uint16_t LAST_YEAR = 30827; // the last year a 64-bit count of 100 ns reaches

// Days from 1601-01-01 to 1970-01-01.
const int64_t EPOCH_OFFSET_DAYS = (sys_days{1970y / January / 1} - sys_days{1601y / January / 1}).count();

} // namespace

bool calendar_to_units(const calendar_time &t, uint64_t *units) {
    const year_month_day date{year{t.year}, month{t.month}, day{t.day}};
    if (!date.ok() || t.year < 1601 || t.year > LAST_YEAR || t.hour > 23 || t.minute > 59 || t.second > 59 ||
        t.milliseconds > 999) {
        return false;
    }
    const int64_t days = sys_days{date}.time_since_epoch().count() + EPOCH_OFFSET_DAYS;
    const uint64_t seconds =
        static_cast<uint64_t>(days) * SECONDS_PER_DAY + t.hour * 3600u + t.minute * 60u + t.second;
    *units = seconds * UNITS_PER_SECOND + uint64_t{t.milliseconds} * UNITS_PER_MS;
    return true;
}

bool calendar_from_units(uint64_t units, calendar_time *t) {
    if (units >= 0x8000000000000000u) return false;
    const uint64_t seconds = units / UNITS_PER_SECOND;
    const uint64_t day_count = seconds / SECONDS_PER_DAY;
    const uint64_t in_day = seconds % SECONDS_PER_DAY;
    const sys_days date_days{days{static_cast<int64_t>(day_count) - EPOCH_OFFSET_DAYS}};
    const year_month_day date{date_days};
    const weekday dow{date_days};
    t->year = static_cast<uint16_t>(static_cast<int>(date.year()));
    t->month = static_cast<uint16_t>(static_cast<unsigned>(date.month()));
    t->day = static_cast<uint16_t>(static_cast<unsigned>(date.day()));
    t->day_of_week = static_cast<uint16_t>(dow.c_encoding());
    t->hour = static_cast<uint16_t>(in_day / 3600u);
    t->minute = static_cast<uint16_t>(in_day / 60u % 60u);
    t->second = static_cast<uint16_t>(in_day % 60u);
    t->milliseconds = static_cast<uint16_t>(units / UNITS_PER_MS % 1000u);
    return true;
}
