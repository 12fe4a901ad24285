// Day numbers count from 1 January 1601, the first day of a 400-year cycle:
// 146097 days to a cycle, 36524 to a century, 1461 to four years.
#include "util/calendario.h"

static int64_t daysBeforeYear(int64_t y) {  // y = years since 1601
    return 365 * y + y / 4 - y / 100 + y / 400;
}

static const int32_t daysBeforeMonth[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

static bool isLeap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int64_t dateToMinutesWide(int32_t day, int32_t month, int32_t year) {
    if (day < 1 || day > 31 || month < 1 || month > 12)
        return 0;
    int64_t yday = day - 1 + daysBeforeMonth[month - 1];
    if (month > 2 && isLeap(year))
        yday++;
    return (daysBeforeYear(int64_t(year) - 1601) + yday) * 1440;
}

int32_t dateToMinutes(int32_t day, int32_t month, int32_t year) {
    return int32_t(uint32_t(dateToMinutesWide(day, month, year)));
}

void minutesToDate(uint32_t minutes, int32_t& day, int32_t& month, int32_t& year) {
    int64_t days = minutes / 1440;
    // 146097 days in 400 years, 36524 in a century (the fourth has one more),
    // 1461 in four years, 365 in a year (the fourth has one more).
    int64_t y = 400 * (days / 146097);
    days %= 146097;
    int64_t c = days / 36524;
    if (c == 4)
        c = 3;  // the last day of the cycle belongs to the fourth century
    y += 100 * c;
    days -= c * 36524;
    y += 4 * (days / 1461);
    days %= 1461;
    int64_t k = days / 365;
    if (k == 4)
        k = 3;  // the last day of a leap year
    y += k;
    days -= k * 365;
    int64_t yearFull = 1601 + y;
    bool leap = isLeap(yearFull);
    int m = 11;
    while (m > 0 && days < daysBeforeMonth[m] + ((m >= 2 && leap) ? 1 : 0))
        m--;
    int64_t start = daysBeforeMonth[m] + ((m >= 2 && leap) ? 1 : 0);
    day = int32_t(days - start + 1);
    month = m + 1;
    year = int32_t(yearFull);
}
