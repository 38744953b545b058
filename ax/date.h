// Automation dates: days since 1899-12-30 00:00 as a double, the fraction the
// time of day. Before that day the integer part counts backwards while the
// fraction still runs forwards (-1.25 is 1899-12-29 06:00).
#pragma once

#include "kalax/ax.h"

namespace kalax::ax {

struct DateParts {
    int year = 1899, month = 12, day = 30;  // proleptic Gregorian
    int hour = 0, minute = 0, second = 0;
};

// false when a field is out of range (month 13, February 30, hour 24, ...).
bool date_from_parts(const DateParts &p, DATE &out);
// Rounded to the nearest second; false for a value outside years 100-9999 or NaN.
bool date_to_parts(DATE d, DateParts &out);

}  // namespace kalax::ax
