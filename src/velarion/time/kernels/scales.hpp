// Time-scale kernels: two-part Julian Date arithmetic, the UTC, TAI, TT and
// UT1 conversions, and the per-epoch loops the time modules run over arrays
// (plain doubles, no Python).
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

#include "velarion/_core/strided.hpp"
#include "velarion/time/kernels/civil.hpp"

#include <erfa.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace velarion::time::kernels {

inline constexpr double kDaySec = 86400.0;
inline constexpr double kMjdZero = 2400000.5;  // JD of MJD 0
inline constexpr double kTtMinusTai = 32.184;  // s
inline constexpr double kTtMinusTaiDays = kTtMinusTai / kDaySec;
// The Julian Dates ERFA's calendar routines accept.
inline constexpr double kJdMin = -68569.5;
inline constexpr double kJdMax = 1e9;
inline constexpr int64_t kMjd1972 = 41317;  // 1972-01-01: integral TAI-UTC from here on

// The time scales, in the order of Time's `scale` field.
enum class Scale : int { UTC = 0, TAI = 1, TT = 2, UT1 = 3 };
inline constexpr int kScaleCount = 4;

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
            if (start_[mid] <= mjd)
                lo = mid;
            else
                hi = mid;
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

// ------------------------------------------------- calendar fields and JD

// Calendar fields read in a scale -> two-part JD (jd1 the midnight JD, jd2
// the fraction of the day). For UTC the day's length includes its leap
// second; second 60 is refused unless the day has one (kLeap). Always
// inlined: the parsers call it once per text of large arrays.
[[gnu::always_inline]] inline TextError civil_to_jd(const CivilTime& c, bool utc, LeapCursor& cur, double& jd1,
                                                    double& jd2) noexcept {
    // The jump of TAI-UTC that ends this UTC day (s): +1 on a leap-second
    // day, fractional before 1972, zero in the other scales.
    const double dleap = utc ? cur.get(c.mjd).dleap : 0.0;
    const double day_seconds = kDaySec + dleap;
    if (c.second60 || dleap < 0.0) {
        // Where the time of day lies against the day's end: ns past 24 h
        // (negative within the day) against the jump itself, so that the
        // end of the day is not blurred by adding the jump to 86400 s.
        const double into = static_cast<double>(c.ns_of_day - kNsPerDay) + c.subns;
        const double leap_ns = dleap * 1e9;
        if (c.second60) {
            // Second 60 exists only as the leap second that ends a UTC day.
            if (c.ns_of_day < kNsPerDay) return TextError::kTime;  // not in the day's last minute
            if (!utc || dleap <= 0.0 || into >= leap_ns) return TextError::kLeap;
        } else if (into >= leap_ns) {
            // Past the end of a UTC day shortened by a negative step of
            // TAI-UTC (before 1972): that time of day does not exist.
            return TextError::kTime;
        }
    }
    jd1 = jd_of(c.mjd);
    jd2 = on_grid((static_cast<double>(c.ns_of_day) + c.subns) / (day_seconds * 1e9));
    if (jd2 >= 1.0) jd2 = 1.0 - 0x1p-52;
    return TextError::kNone;
}

// Two-part JD read in a scale -> calendar day and nanosecond of the day,
// rounded to the nearest nanosecond (a UTC leap second gives ns_of_day past
// 24 h, shown as second 60).
inline void jd_to_civil_ns(double jd1, double jd2, bool utc, LeapCursor& cur, int64_t& mjd, int64_t& ns) noexcept {
    const DayFrac e = canonical(jd1, jd2);
    mjd = mjd_of(e.day);
    int64_t day_ns = kNsPerDay;
    if (utc) day_ns = std::llround(cur.utc_day_seconds(mjd) * 1e9);
    ns = std::llround(e.frac * static_cast<double>(day_ns));
    if (ns >= day_ns) {
        mjd += 1;
        ns -= day_ns;
    }
}

// --------------------------------------------------------- loops over epochs
//
// Per-epoch loops over contiguous arrays of n epochs (jd1, jd2: the two
// parts) or over strided views (one inner loop of a NumPy broadcast). Each
// is flattened: every per-epoch step is inlined into it, one tight loop
// whatever the compiler's inlining budget (the cursors' refill stays out).

using core::index_t;
using Doubles = core::Strided1D<const double>;
using DoublesOut = core::Strided1D<double>;

// Canonical TAI of one epoch of a UTC, TAI or TT date (any split).
inline DayFrac to_tai(Scale scale, double a, double b, LeapCursor& cur) noexcept {
    if (scale == Scale::UTC) return utc_to_tai(a, b, cur);
    const DayFrac c = canonical(a, b);
    return scale == Scale::TT ? tt_to_tai(c.day, c.frac) : c;
}

// n epochs of scale `from` in scale `to`, two different scales among UTC,
// TAI and TT (any split in, canonical out); o1, o2 may be jd1, jd2.
[[gnu::flatten]] inline void convert_epochs(Scale from, Scale to, const double* jd1, const double* jd2, index_t n,
                                            double* o1, double* o2) noexcept {
    LeapCursor cur;
    if (from == Scale::UTC) {
        for (index_t i = 0; i < n; ++i) {
            DayFrac t = utc_to_tai(jd1[i], jd2[i], cur);
            if (to == Scale::TT) t = tai_to_tt(t.day, t.frac);
            o1[i] = t.day;
            o2[i] = t.frac;
        }
    } else if (from == Scale::TAI) {
        for (index_t i = 0; i < n; ++i) {
            const DayFrac c = canonical(jd1[i], jd2[i]);
            const DayFrac t = to == Scale::TT ? tai_to_tt(c.day, c.frac) : tai_to_utc(c.day, c.frac, cur);
            o1[i] = t.day;
            o2[i] = t.frac;
        }
    } else {  // TT
        for (index_t i = 0; i < n; ++i) {
            const DayFrac c = canonical(jd1[i], jd2[i]);
            DayFrac t = tt_to_tai(c.day, c.frac);
            if (to == Scale::UTC) t = tai_to_utc(t.day, t.frac, cur);
            o1[i] = t.day;
            o2[i] = t.frac;
        }
    }
}

// n epochs of canonical TAI -> scale `to` (UTC, TAI or TT), in place.
[[gnu::flatten]] inline void tai_epochs_to(Scale to, double* day, double* frac, index_t n) noexcept {
    if (to == Scale::TAI) return;
    LeapCursor cur;
    for (index_t i = 0; i < n; ++i) {
        const DayFrac r = to == Scale::TT ? tai_to_tt(day[i], frac[i]) : tai_to_utc(day[i], frac[i], cur);
        day[i] = r.day;
        frac[i] = r.frac;
    }
}

// UTC -> UT1, first pass over n epochs (any split): the UTC MJD of each (the
// date UT1-UTC is looked up at) and, in day and si, its day and the SI
// fraction elapsed since its 0h. day, si may be jd1, jd2.
[[gnu::flatten]] inline void utc_epochs_to_si(const double* jd1, const double* jd2, index_t n, double* mjd, double* day,
                                              double* si) noexcept {
    LeapCursor cur;
    for (index_t i = 0; i < n; ++i) {
        const DayFrac u = canonical(jd1[i], jd2[i]);
        const int64_t d = mjd_of(u.day);
        mjd[i] = static_cast<double>(d) + u.frac;
        day[i] = u.day;
        si[i] = utc_si_fraction(u.frac, cur.get(d));
    }
}

// UTC -> UT1, second pass: adds UT1-UTC (s, less than a day) to each epoch
// of the first; canonical UT1, in place.
[[gnu::flatten]] inline void add_ut1_minus_utc(double* day, double* frac, index_t n, Doubles dut1) noexcept {
    for (index_t i = 0; i < n; ++i) {
        const DayFrac r = add_days(day[i], frac[i], dut1[i] / kDaySec);
        day[i] = r.day;
        frac[i] = r.frac;
    }
}

// The MJD of each of n epochs (any split), as one double: a look-up date.
[[gnu::flatten]] inline void epoch_mjds(const double* jd1, const double* jd2, index_t n, double* mjd) noexcept {
    for (index_t i = 0; i < n; ++i) {
        const DayFrac u = canonical(jd1[i], jd2[i]);
        mjd[i] = static_cast<double>(mjd_of(u.day)) + u.frac;
    }
}

// Canonical TAI of a UT1 epoch (any split), given its UTC MJD and UT1-UTC
// (s) there.
inline DayFrac ut1_epoch_to_tai(double jd1, double jd2, double utc_mjd, double dut1, LeapCursor& cur) noexcept {
    const DayFrac u = canonical(jd1, jd2);
    const double dta = ut1_minus_tai(static_cast<int64_t>(floor_small(utc_mjd)), dut1, cur);
    return ut1_to_tai(u.day, u.frac, dta);
}

// UT1 -> TAI of n epochs, given their UTC MJDs and UT1-UTC there.
[[gnu::flatten]] inline void ut1_epochs_to_tai(const double* jd1, const double* jd2, index_t n, const double* utc_mjd,
                                               Doubles dut1, double* o1, double* o2) noexcept {
    LeapCursor cur;
    for (index_t i = 0; i < n; ++i) {
        const DayFrac t = ut1_epoch_to_tai(jd1[i], jd2[i], utc_mjd[i], dut1[i], cur);
        o1[i] = t.day;
        o2[i] = t.frac;
    }
}

// The UTC MJDs of n UT1 epochs, from estimates `utc_mjd` of them and
// UT1-UTC there: UT1-TAI is continuous, so an estimate within a second gives
// a date good to 1e-7 s (the look-up dates of a second round).
[[gnu::flatten]] inline void ut1_epochs_to_utc_mjd(const double* jd1, const double* jd2, index_t n,
                                                   const double* utc_mjd, Doubles dut1, double* out) noexcept {
    LeapCursor cur;
    for (index_t i = 0; i < n; ++i) {
        const DayFrac tai = ut1_epoch_to_tai(jd1[i], jd2[i], utc_mjd[i], dut1[i], cur);
        const DayFrac utc = tai_to_utc(tai.day, tai.frac, cur);
        out[i] = static_cast<double>(mjd_of(utc.day)) + utc.frac;
    }
}

// The epochs of one scale (UTC, TAI or TT) as two strided parts.
struct Epochs {
    Scale scale;
    Doubles jd1;
    Doubles jd2;
};

// out[i] = SI seconds from epoch i of q to epoch i of p.
[[gnu::flatten]] inline void seconds_between_epochs(const Epochs& p, const Epochs& q, DoublesOut out, LeapCursor& cp,
                                                    LeapCursor& cq) noexcept {
    for (index_t i = 0; i < out.size; ++i) {
        const DayFrac u = to_tai(p.scale, p.jd1[i], p.jd2[i], cp);
        const DayFrac v = to_tai(q.scale, q.jd1[i], q.jd2[i], cq);
        out[i] = seconds_between(u.day, u.frac, v.day, v.frac);
    }
}

// out[i] = sign * SI seconds from `ref` (canonical TAI) to epoch i of p.
[[gnu::flatten]] inline void seconds_from_epoch(const Epochs& p, DayFrac ref, double sign, DoublesOut out,
                                                LeapCursor& cur) noexcept {
    for (index_t i = 0; i < out.size; ++i) {
        const DayFrac u = to_tai(p.scale, p.jd1[i], p.jd2[i], cur);
        out[i] = sign * seconds_between(u.day, u.frac, ref.day, ref.frac);
    }
}

// Where a loop over epochs stopped, and why (at < 0: it ran to the end).
enum class EpochFault { kNone, kNotFinite, kOutOfRange, kLeapSecond };
struct LoopEnd {
    index_t at = -1;
    EpochFault fault = EpochFault::kNone;
};

// Epoch i of p plus sign * seconds[i] (SI seconds, added on TAI), in scale
// `to` (UTC, TAI or TT). Stops at a number of seconds that is not finite or
// a sum outside the Julian Date range.
[[gnu::flatten]] inline LoopEnd add_seconds_to_epochs(const Epochs& p, Doubles seconds, double sign, Scale to,
                                                      DoublesOut day, DoublesOut frac, LeapCursor& cur,
                                                      LeapCursor& back) noexcept {
    for (index_t i = 0; i < day.size; ++i) {
        const double dt = sign * seconds[i];
        if (!std::isfinite(dt)) return {i, EpochFault::kNotFinite};
        const DayFrac u = to_tai(p.scale, p.jd1[i], p.jd2[i], cur);
        DayFrac r = add_seconds(u.day, u.frac, dt);
        if (!jd_in_range(r.day)) return {i, EpochFault::kOutOfRange};
        if (to == Scale::UTC)
            r = tai_to_utc(r.day, r.frac, back);
        else if (to == Scale::TT)
            r = tai_to_tt(r.day, r.frac);
        day[i] = r.day;
        frac[i] = r.frac;
    }
    return {};
}

// The comparisons of Python's rich comparison, in its order (Py_LT to Py_GE).
enum class Comparison : int { kLt, kLe, kEq, kNe, kGt, kGe };

// out[i] = whether epoch i of p compares to epoch i of q as `op` asks.
[[gnu::flatten]] inline void compare_epochs(const Epochs& p, const Epochs& q, Comparison op,
                                            core::Strided1D<unsigned char> out, LeapCursor& cp,
                                            LeapCursor& cq) noexcept {
    for (index_t i = 0; i < out.size; ++i) {
        const DayFrac u = to_tai(p.scale, p.jd1[i], p.jd2[i], cp);
        const DayFrac v = to_tai(q.scale, q.jd1[i], q.jd2[i], cq);
        const int c = u.day < v.day ? -1 : u.day > v.day ? 1 : u.frac < v.frac ? -1 : u.frac > v.frac ? 1 : 0;
        bool r = false;
        switch (op) {
            case Comparison::kLt: r = c < 0; break;
            case Comparison::kLe: r = c <= 0; break;
            case Comparison::kEq: r = c == 0; break;
            case Comparison::kNe: r = c != 0; break;
            case Comparison::kGt: r = c > 0; break;
            case Comparison::kGe: r = c >= 0; break;
        }
        out[i] = r;
    }
}

// The canonical form of the dates jd1[i] + jd2[i], or with `mjd` of the
// Modified Julian Dates jd1[i] (jd2 unused). Stops at a part that is not
// finite or a date outside the Julian Date range.
[[gnu::flatten]] inline LoopEnd canonical_epochs(Doubles jd1, Doubles jd2, bool mjd, DoublesOut day,
                                                 DoublesOut frac) noexcept {
    for (index_t i = 0; i < day.size; ++i) {
        double u = jd1[i], v = jd2[i];
        if (!std::isfinite(u) || !std::isfinite(v)) return {i, EpochFault::kNotFinite};
        if (mjd) {
            v = u;
            u = kMjdZero;
        }
        if (!jd_pair_in_range(u, v)) return {i, EpochFault::kOutOfRange};
        const DayFrac c = canonical(u, v);
        day[i] = c.day;
        frac[i] = c.frac;
    }
    return {};
}

// Calendar day and nanosecond of the day of the dates (jd1[i], jd2[i]) on
// the clock of UTC (`utc`) or of a uniform scale. With `checked` it stops at
// a pair that is not finite or out of range (a Time's own epochs need no
// check).
[[gnu::flatten]] inline LoopEnd civil_ns_epochs(Doubles jd1, Doubles jd2, bool utc, bool checked,
                                                core::Strided1D<int64_t> mjd, core::Strided1D<int64_t> ns,
                                                LeapCursor& cur) noexcept {
    for (index_t i = 0; i < mjd.size; ++i) {
        const double u = jd1[i], v = jd2[i];
        if (checked && !jd_pair_in_range(u, v)) return {i, EpochFault::kOutOfRange};
        jd_to_civil_ns(u, v, utc, cur, mjd[i], ns[i]);
    }
    return {};
}

// n epochs -> numpy.datetime64[ns] counts (nanoseconds since 1970-01-01 on
// the scale's clock). Stops at an epoch inside a leap second (datetime64 has
// no second 60) or beyond the years 1678-2261 that int64 nanoseconds hold.
[[gnu::flatten]] inline LoopEnd datetime64_ns_epochs(const double* jd1, const double* jd2, index_t n, bool utc,
                                                     int64_t* out) noexcept {
    constexpr int64_t kMaxDays = 106'000;  // ~290 years either side of 1970
    LeapCursor cur;
    for (index_t i = 0; i < n; ++i) {
        int64_t mjd, ns;
        jd_to_civil_ns(jd1[i], jd2[i], utc, cur, mjd, ns);
        if (ns >= kNsPerDay) return {i, EpochFault::kLeapSecond};
        const int64_t days = mjd - kMjdUnixEpoch;
        if (days > kMaxDays || days < -kMaxDays) return {i, EpochFault::kOutOfRange};
        out[i] = days * kNsPerDay + ns;
    }
    return {};
}

// The Julian Dates jd1 + jd2 of n epochs.
inline void jd_sums(const double* jd1, const double* jd2, index_t n, double* out) noexcept {
    for (index_t i = 0; i < n; ++i) out[i] = jd1[i] + jd2[i];
}

// The Modified Julian Dates (jd1 - 2400000.5) + jd2 of n epochs.
inline void mjd_sums(const double* jd1, const double* jd2, index_t n, double* out) noexcept {
    for (index_t i = 0; i < n; ++i) out[i] = (jd1[i] - kMjdZero) + jd2[i];
}

// The pairs (jd1[i], jd2[i]) of n epochs one after the other (2n values).
inline void interleave_parts(const double* jd1, const double* jd2, index_t n, double* out) noexcept {
    for (index_t i = 0; i < n; ++i) {
        out[2 * i] = jd1[i];
        out[2 * i + 1] = jd2[i];
    }
}

}  // namespace velarion::time::kernels

#endif
