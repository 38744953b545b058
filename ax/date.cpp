#include "ax/date.h"

#include <cmath>
#include <cstdint>

namespace kalax::ax {
namespace {

// Days since 1970-01-01 of a civil date, and back (H. Hinnant's algorithms).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int &y, int &m, int &d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

constexpr int64_t kEpochOffset = 25569;  // 1970-01-01 as an automation day
constexpr int64_t kMinDay = -657434;     // 0100-01-01
constexpr int64_t kMaxDay = 2958465;     // 9999-12-31

int days_in_month(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : kDays[m - 1];
}

}  // namespace

bool date_from_parts(const DateParts &p, DATE &out) {
    if (p.year < 100 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
        p.day > days_in_month(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 ||
        p.minute > 59 || p.second < 0 || p.second > 59)
        return false;
    const int64_t day = days_from_civil(p.year, static_cast<unsigned>(p.month),
                                        static_cast<unsigned>(p.day)) + kEpochOffset;
    const double fraction = (p.hour * 3600 + p.minute * 60 + p.second) / 86400.0;
    out = day >= 0 ? static_cast<double>(day) + fraction : static_cast<double>(day) - fraction;
    return true;
}

bool date_to_parts(DATE d, DateParts &out) {
    if (!std::isfinite(d) || d < static_cast<double>(kMinDay - 1) || d >= static_cast<double>(kMaxDay + 1))
        return false;
    // Whole days and seconds of the day, from the value's magnitude so that
    // negative dates keep their forward-running fraction.
    double whole = std::trunc(d);
    double seconds = std::round(std::fabs(d - whole) * 86400.0);
    int64_t day = static_cast<int64_t>(whole);
    if (seconds >= 86400) {  // rounded up into the next day
        seconds -= 86400;
        day += d >= 0 ? 1 : -1;
    }
    if (day < kMinDay || day > kMaxDay) return false;
    civil_from_days(day - kEpochOffset, out.year, out.month, out.day);
    const int s = static_cast<int>(seconds);
    out.hour = s / 3600;
    out.minute = s / 60 % 60;
    out.second = s % 60;
    return true;
}

}  // namespace kalax::ax
