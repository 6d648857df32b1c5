// Time-scale kernels: two-part Julian Date arithmetic and the UTC, TAI, TT
// and UT1 conversions, on plain doubles (no Python).
//
// Canonical form of an epoch: `day` is the Julian Date of a midnight
// (k + 0.5, exact) and `frac` the fraction of that day in [0, 1), on a grid
// of 2^-52 day (19 ps). On that grid sums and differences of fractions are
// exact, so the offsets between scales (TT-TAI, TAI-UTC on ordinary days)
// are undone bit for bit and equal epochs compare equal whatever scale they
// went through. In UTC the
// fraction follows ERFA's quasi-JD convention: a day that ends in a leap
// second is 86400 + dleap SI seconds long and `frac` is measured in units of
// that length.
//
// TAI-UTC comes from ERFA (`eraDat`). From 1972 on it is a whole number of
// seconds that changes only at the start of a month; `LeapTable` holds those
// steps (read from eraDat once) so that the per-epoch work is a cached range
// test. Days before 1972 (drifting UTC, fractional jumps) take the values
// from eraDat directly, exactly as eraUtctai does.
#ifndef VELARION_TIME_KERNELS_SCALES_HPP
#define VELARION_TIME_KERNELS_SCALES_HPP

#include <erfa.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace velarion::time::kernels {

inline constexpr double kDaySec = 86400.0;
inline constexpr double kMjdZero = 2400000.5;      // JD of MJD 0
inline constexpr double kTtMinusTai = 32.184;      // s
inline constexpr double kTtMinusTaiDays = kTtMinusTai / kDaySec;
// The Julian Dates ERFA's calendar routines accept.
inline constexpr double kJdMin = -68569.5;
inline constexpr double kJdMax = 1e9;
inline constexpr int64_t kMjdUnixEpoch = 40587;    // 1970-01-01
inline constexpr int64_t kMjd1972 = 41317;         // 1972-01-01: integral TAI-UTC from here on

struct DayFrac {
    double day;   // midnight JD (k + 0.5)
    double frac;  // [0, 1)
};

// s + e == a + b exactly.
inline void two_sum(double a, double b, double& s, double& e) noexcept {
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// Rounds a fraction in [0, 1] to the 2^-52 grid: adding 1 puts it where the
// spacing of doubles is 2^-52.
inline double on_grid(double f) noexcept { return (f + 1.0) - 1.0; }

inline constexpr double kTtMinusTaiGrid = (kTtMinusTaiDays + 1.0) - 1.0;

// Brings frac back into [0, 1) after an addition of less than a day.
inline void carry(double& day, double& frac) noexcept {
    if (frac < 0.0) {
        frac += 1.0;
        day -= 1.0;
    }
    if (frac >= 1.0) {
        frac -= 1.0;
        day += 1.0;
    }
}

// floor(x) for |x| < 2^62 without a library call (baseline x86-64 has no
// rounding instruction, and this runs once per epoch).
inline double floor_small(double x) noexcept {
    const double t = static_cast<double>(static_cast<int64_t>(x));  // toward zero
    return t > x ? t - 1.0 : t;
}

// The canonical form of the two-part date a + b (any split; the pair must
// pass jd_pair_in_range). The day part and the leading bits of the fraction
// are exact; the fraction is rounded once, at the 1e-16 day level. A
// function of the exact sum only, so equal epochs given with different
// splits give the same pair.
inline DayFrac canonical(double a, double b) noexcept {
    // Already a midnight and a fraction (what parsing, conversions and
    // from_mjd store): only the grid rounding is left, a short dependency
    // chain for the per-epoch loops. Gives what the general path gives.
    // (a - 0.5 may round onto an integer: a within an ulp of a midnight is
    // not one, hence the way back.)
    const double t = a - 0.5;
    if (b >= 0.0 && b < 1.0 && t == static_cast<double>(static_cast<int64_t>(t)) && t + 0.5 == a) {
        double day = a, frac = on_grid(b);
        if (frac >= 1.0) {
            frac -= 1.0;
            day += 1.0;
        }
        return {day, frac};
    }
    double hi, lo;
    two_sum(a, b, hi, lo);
    double day = floor_small(hi - 0.5) + 0.5;
    double frac = (hi - day) + lo;
    carry(day, frac);
    frac = on_grid(frac);
    carry(day, frac);
    return {day, frac};
}

inline int64_t mjd_of(double midnight_jd) noexcept { return static_cast<int64_t>(midnight_jd - kMjdZero); }
inline double jd_of(int64_t mjd) noexcept { return static_cast<double>(mjd) + kMjdZero; }

inline bool jd_in_range(double jd) noexcept { return jd >= kJdMin && jd <= kJdMax; }

// A two-part date whose parts are finite and whose sum is in range: what
// canonical() needs (it takes the day through a 64-bit integer), whatever
// the split (2^60 and 2451545 - 2^60 is J2000).
inline bool jd_pair_in_range(double a, double b) noexcept {
    return std::isfinite(a) && std::isfinite(b) && jd_in_range(a + b);
}

// ---------------------------------------------------------------- calendar

// Days since 1970-01-01 of a proleptic Gregorian date (the calendar ERFA uses).
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

constexpr int64_t mjd_from_civil(int64_t y, int m, int d) noexcept {
    if (y >= 0 && y <= 9999) {
        // Unsigned 32-bit arithmetic for the four-digit years (the parser's
        // case): the year is shifted by 400 (146097 days) to stay positive.
        const uint32_t yy = static_cast<uint32_t>(y) + 400 - (m <= 2);
        const uint32_t mm = static_cast<uint32_t>(m > 2 ? m - 3 : m + 9);
        const uint32_t days = 365 * yy + yy / 4 - yy / 100 + yy / 400 + (153 * mm + 2) / 5 + static_cast<uint32_t>(d) - 1;
        return static_cast<int64_t>(days) - (146097 + 719468) + kMjdUnixEpoch;
    }
    return days_from_civil(y, m, d) + kMjdUnixEpoch;
}
constexpr Civil civil_from_mjd(int64_t mjd) noexcept { return civil_from_days(mjd - kMjdUnixEpoch); }

constexpr bool is_leap_year(int64_t y) noexcept {
    if (y >= 0 && y < 65536) {  // the usual years, in cheaper 32-bit arithmetic
        const uint32_t u = static_cast<uint32_t>(y);
        return (u % 4 == 0 && u % 100 != 0) || u % 400 == 0;
    }
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}
inline constexpr int kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
constexpr int days_in_month(int64_t y, int m) noexcept { return m == 2 && is_leap_year(y) ? 29 : kDaysInMonth[m - 1]; }

// ---------------------------------------------------------- TAI-UTC table

// What a UTC day needs for the conversions, as eraUtctai forms it: TAI-UTC
// at 0h (s), the drift over the day (s, zero from 1972), and the jump at the
// day's end (s, the leap second).
struct DayInfo {
    double dat0;
    double dlod;
    double dleap;
};

// TAI-UTC of a pre-1972 day from ERFA, the way eraUtctai and eraDtf2d do it.
inline DayInfo erfa_day_info(int64_t mjd) noexcept {
    const Civil c = civil_from_mjd(mjd);
    const Civil n = civil_from_mjd(mjd + 1);
    double dat0 = 0.0, dat12 = 0.0, dat24 = 0.0;
    // Status 1 ("dubious year": before 1960 or far ahead) leaves the value ERFA
    // gives (zero before 1960); the dates reaching here are valid calendar dates.
    if (eraDat(static_cast<int>(c.year), c.month, c.day, 0.0, &dat0) < 0) dat0 = 0.0;
    if (eraDat(static_cast<int>(c.year), c.month, c.day, 0.5, &dat12) < 0) dat12 = dat0;
    if (eraDat(static_cast<int>(n.year), n.month, n.day, 0.0, &dat24) < 0) dat24 = dat0;
    // The jump as eraDtf2d forms it (it decides which texts of the day exist).
    return {dat0, 2.0 * (dat12 - dat0), dat24 - (2.0 * dat12 - dat0)};
}

// The whole-second steps of TAI-UTC from 1972 on, read from eraDat.
class LeapTable {
public:
    static constexpr int kCapacity = 256;

    // Reads ERFA's table month by month; false if ERFA refuses a date.
    bool build() noexcept {
        n_ = 0;
        double prev = std::numeric_limits<double>::quiet_NaN();
        for (int y = 1972; y <= kLastYear; ++y) {
            for (int m = 1; m <= 12; ++m) {
                double dat;
                if (eraDat(y, m, 1, 0.0, &dat) < 0) return false;
                if (dat != prev) {
                    if (n_ == kCapacity) return false;
                    start_[n_] = mjd_from_civil(y, m, 1);
                    dat_[n_] = dat;
                    ++n_;
                    prev = dat;
                }
            }
        }
        return n_ > 0;
    }

    int size() const noexcept { return n_; }
    int64_t start(int i) const noexcept { return start_[i]; }
    double dat(int i) const noexcept { return dat_[i]; }

    // Index of the step in force on day `mjd` (mjd >= kMjd1972).
    int find(int64_t mjd) const noexcept {
        int lo = 0, hi = n_;  // invariant: start_[lo] <= mjd, answer < hi
        while (hi - lo > 1) {
            const int mid = (lo + hi) / 2;
            if (start_[mid] <= mjd) lo = mid;
            else hi = mid;
        }
        return lo;
    }

private:
    // Beyond this, eraDat gives its last value for ever; no step is scanned for.
    static constexpr int kLastYear = 2200;
    int64_t start_[kCapacity] = {};
    double dat_[kCapacity] = {};
    int n_ = 0;
};

// One table per module, filled at module start-up.
inline LeapTable g_leap_table;

// Day information with a one-range cache: inputs are usually sorted or
// clustered, so most epochs fall in the range of the previous one.
class LeapCursor {
public:
    explicit LeapCursor(const LeapTable& t = g_leap_table) noexcept : t_(t) {}

    DayInfo get(int64_t mjd) noexcept {
        if (mjd >= lo_ && mjd < hi_) return {dat0_, dlod_, mjd == hi_ - 1 ? jump_ : 0.0};
        return refill(mjd);
    }

    // Length of the UTC day in SI seconds as the quasi-JD fraction counts it
    // (86400 + leap; the pre-1972 drift is not part of it, as in eraDtf2d).
    double utc_day_seconds(int64_t mjd) noexcept { return kDaySec + get(mjd).dleap; }

private:
    // Moves the cached range to the day `mjd` (kept out of line: rare).
    [[gnu::noinline]] DayInfo refill(int64_t mjd) noexcept {
        if (mjd >= kMjd1972 && t_.size() > 0) {
            const int i = t_.find(mjd);
            lo_ = t_.start(i);
            dat0_ = t_.dat(i);
            dlod_ = 0.0;
            if (i + 1 < t_.size()) {
                hi_ = t_.start(i + 1);
                jump_ = t_.dat(i + 1) - dat0_;
            } else {
                hi_ = std::numeric_limits<int64_t>::max();
                jump_ = 0.0;
            }
            return {dat0_, dlod_, mjd == hi_ - 1 ? jump_ : 0.0};
        }
        const DayInfo info = erfa_day_info(mjd);
        lo_ = mjd;
        hi_ = mjd + 1;
        dat0_ = info.dat0;
        dlod_ = info.dlod;
        jump_ = info.dleap;
        return info;
    }

    const LeapTable& t_;
    int64_t lo_ = 1;
    int64_t hi_ = 0;  // empty range
    double dat0_ = 0.0;
    double dlod_ = 0.0;
    double jump_ = 0.0;
};

// ------------------------------------------------------------ conversions

// Factor from the quasi-JD fraction of a UTC day to SI seconds / 86400.
inline double utc_si_factor(const DayInfo& d) noexcept {
    return ((kDaySec + d.dleap) / kDaySec) * ((kDaySec + d.dlod) / kDaySec);
}

// UTC (any split) -> canonical TAI.
inline DayFrac utc_to_tai(double a, double b, LeapCursor& cur) noexcept {
    DayFrac u = canonical(a, b);
    const DayInfo d = cur.get(mjd_of(u.day));
    double f = u.frac;
    if (d.dleap != 0.0 || d.dlod != 0.0) f = on_grid(f * utc_si_factor(d));
    f += on_grid(d.dat0 / kDaySec);
    carry(u.day, f);
    return {u.day, f};
}

// Canonical TAI -> canonical UTC (the inverse of utc_to_tai; an epoch
// inside a leap second lands at the end of the day that has it).
inline DayFrac tai_to_utc(double day, double frac, LeapCursor& cur) noexcept {
    int64_t m = mjd_of(day);
    double tai = frac;  // TAI, in days since 0h of calendar day m
    // The UTC day is the TAI day or the one before (TAI-UTC is positive and
    // below a day), or, just past a day shortened by a negative step, the next.
    DayInfo d = cur.get(m);
    double q = tai - on_grid(d.dat0 / kDaySec);
    if (q < 0.0) {
        m -= 1;
        tai += 1.0;
        d = cur.get(m);
        q = tai - on_grid(d.dat0 / kDaySec);
    }
    if (d.dleap != 0.0 || d.dlod != 0.0) q = on_grid(q / utc_si_factor(d));
    if (q >= 1.0) {
        m += 1;
        tai -= 1.0;
        d = cur.get(m);
        q = tai - on_grid(d.dat0 / kDaySec);
        if (d.dleap != 0.0 || d.dlod != 0.0) q = on_grid(q / utc_si_factor(d));
        if (q < 0.0) q = 0.0;  // rounding at the boundary
        if (q >= 1.0) q = 1.0 - 0x1p-52;
    }
    return {jd_of(m), q};
}

inline DayFrac tai_to_tt(double day, double frac) noexcept {
    frac += kTtMinusTaiGrid;
    carry(day, frac);
    return {day, frac};
}

inline DayFrac tt_to_tai(double day, double frac) noexcept {
    frac -= kTtMinusTaiGrid;
    carry(day, frac);
    return {day, frac};
}

// The SI fraction (of 86400 s) elapsed since 0h of a UTC day, from the
// quasi-JD fraction (they differ on leap-second days and before 1972).
inline double utc_si_fraction(double q, const DayInfo& d) noexcept {
    return (d.dleap != 0.0 || d.dlod != 0.0) ? on_grid(q * utc_si_factor(d)) : q;
}

// Canonical (day, frac) + a small number of days (|days| < 1), canonical.
inline DayFrac add_days(double day, double frac, double days) noexcept {
    frac += days;
    carry(day, frac);
    frac = on_grid(frac);
    carry(day, frac);
    return {day, frac};
}

// UTC -> UT1 goes through the SI fraction of the UTC day: UT1 = TAI +
// (UT1-UTC) - (TAI-UTC at 0h), as eraUtcut1 forms it, and TAI = UTC day +
// SI fraction + TAI-UTC at 0h, so UT1 = UTC day + SI fraction + (UT1-UTC)
// (utc_si_fraction, then add_days).

// UT1-TAI (s) for a UTC day and its UT1-UTC.
inline double ut1_minus_tai(int64_t utc_mjd, double dut1, LeapCursor& cur) noexcept {
    return dut1 - cur.get(utc_mjd).dat0;
}

// Canonical UT1 and UT1-TAI (s) -> canonical TAI.
inline DayFrac ut1_to_tai(double day, double frac, double dta) noexcept {
    frac -= dta / kDaySec;
    carry(day, frac);
    frac = on_grid(frac);
    carry(day, frac);
    return {day, frac};
}

// Adds `seconds` (finite) to a canonical epoch of a uniform scale, keeping
// whole days apart from the fraction so that long spans lose nothing.
inline DayFrac add_seconds(double day, double frac, double seconds) noexcept {
    const double k = std::floor(seconds / kDaySec);
    const double r = seconds - k * kDaySec;  // [0, 86400] up to rounding
    day += k;
    frac += on_grid(r / kDaySec);
    carry(day, frac);
    return {day, frac};
}

// Elapsed seconds from canonical (d2, f2) to canonical (d1, f1), rounded once.
inline double seconds_between(double d1, double f1, double d2, double f2) noexcept {
    return (d1 - d2) * kDaySec + (f1 - f2) * kDaySec;
}

}  // namespace velarion::time::kernels

#endif
