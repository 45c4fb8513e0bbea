// calendar.h: calendar time to and from 100-ns units since 1601-01-01, by plain arithmetic.
//
// For backends whose OS has no such conversion, and for the test fake.
#pragma once

#include <cstdint>

#include "platform.h"

bool calendar_to_units(const calendar_time &time, uint64_t *units);
bool calendar_from_units(uint64_t units, calendar_time *time);
