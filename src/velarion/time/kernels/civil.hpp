// Civil-date arithmetic (no Python): the proleptic Gregorian calendar (the
// one ERFA uses) on day numbers, and calendar fields with a time of day
// counted in nanoseconds.
#ifndef VELARION_TIME_KERNELS_CIVIL_HPP
#define VELARION_TIME_KERNELS_CIVIL_HPP

#include <cstdint>

namespace velarion::time::kernels {

inline constexpr int64_t kMjdUnixEpoch = 40587;  // 1970-01-01
inline constexpr int64_t kNsPerSec = 1'000'000'000;
inline constexpr int64_t kNsPerDay = 86400 * kNsPerSec;

// Days since 1970-01-01 of a proleptic Gregorian date.
constexpr int64_t days_from_civil(int64_t y, int m, int d) noexcept {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

struct Civil {
    int64_t year;
    int month;
    int day;
};

constexpr Civil civil_from_days(int64_t z) noexcept {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (m <= 2), m, d};
}

// Days from 1 March to the first of each month of a year that starts in
// March: (153 * (m - 3) + 2) / 5 for m = 3 .. 14.
inline constexpr uint32_t kDaysFromMarch[12] = {0, 31, 61, 92, 122, 153, 184, 214, 245, 275, 306, 337};

// Always inlined: the text parsers call it once per text of large arrays.
[[gnu::always_inline]] constexpr int64_t mjd_from_civil(int64_t y, int m, int d) noexcept {
    if (y >= 0 && y <= 9999) {
        // Unsigned 32-bit arithmetic for the four-digit years (the parser's
        // case): the year is shifted by 400 (146097 days) to stay positive.
        // No division: the compiler may emit a slow one where it deems the
        // code cold. (yy * 5243) >> 19 is yy / 100 for yy < 43699.
        const uint32_t yy = static_cast<uint32_t>(y) + 400 - (m <= 2);
        const uint32_t mm = static_cast<uint32_t>(m > 2 ? m - 3 : m + 9);
        const uint32_t centuries = (yy * 5243) >> 19;
        const uint32_t days =
            365 * yy + (yy >> 2) - centuries + (centuries >> 2) + kDaysFromMarch[mm] + static_cast<uint32_t>(d) - 1;
        return static_cast<int64_t>(days) - (146097 + 719468) + kMjdUnixEpoch;
    }
    return days_from_civil(y, m, d) + kMjdUnixEpoch;
}
constexpr Civil civil_from_mjd(int64_t mjd) noexcept { return civil_from_days(mjd - kMjdUnixEpoch); }

// The four-digit years' shortcut against the general formula: every year,
// on both sides of the March shift, and every month of one year (the day
// enters both linearly). Kept small: the compiler bounds constant evaluation.
constexpr bool four_digit_years_agree() noexcept {
    const auto agree = [](int64_t y, int m) {
        return mjd_from_civil(y, m, 1) == days_from_civil(y, m, 1) + kMjdUnixEpoch;
    };
    for (int64_t y = 0; y <= 9999; ++y) {
        if (!agree(y, 1) || !agree(y, 3)) return false;
    }
    for (int m = 1; m <= 12; ++m) {
        if (!agree(2024, m)) return false;
    }
    return true;
}
static_assert(four_digit_years_agree());

constexpr bool is_leap_year(int64_t y) noexcept {
    if (y >= 0 && y < 65536) {  // the usual years, in cheaper 32-bit arithmetic
        const uint32_t u = static_cast<uint32_t>(y);
        return (u % 4 == 0 && u % 100 != 0) || u % 400 == 0;
    }
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
inline constexpr int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int days_in_month(int64_t y, int m) noexcept { return m == 2 && is_leap_year(y) ? 29 : kDaysInMonth[m - 1]; }

// A calendar date and time of day. `ns_of_day` counts from midnight and may
// reach into second 60; `subns` is the part below a nanosecond, in [0, 1).
struct CivilTime {
    int64_t mjd = 0;
    int64_t ns_of_day = 0;
    double subns = 0.0;
    bool second60 = false;
};

// Why calendar fields, or the text they were read from, are refused.
enum class TextError : int {
    kNone = 0,
    kMalformed,  // not of the ISO 8601 form
    kDate,       // month or day out of range, or the year outside the calendar
    kTime,       // hour, minute or second out of range
    kLeap,       // second 60 on a day (or scale) without a leap second
};

}  // namespace velarion::time::kernels

#endif
