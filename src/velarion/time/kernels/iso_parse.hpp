// ISO 8601 text parsing (no Python), shared by velarion.time.format and
// velarion.time.time.
//
// Texts: YYYY-MM-DD, optionally followed by 'T' or a space and hh:mm,
// hh:mm:ss or hh:mm:ss.f... (any number of decimals), and an optional
// trailing 'Z' after a time. Years have four digits, or a sign and four or
// more (ISO 8601 expanded years). Second 60 is valid only in the last minute
// of a UTC day that ends in a leap second.
//
// Calendar fields become a two-part Julian Date with jd1 the JD of the day's
// midnight (exact) and jd2 the fraction of the day, computed from an integral
// nanosecond count so that text -> date -> text is exact to the nanosecond.
// In UTC the fraction is of the day's true length (86401 s on a leap-second
// day), ERFA's quasi-JD convention.
#ifndef VELARION_TIME_KERNELS_ISO_PARSE_HPP
#define VELARION_TIME_KERNELS_ISO_PARSE_HPP

#include "velarion/time/kernels/civil.hpp"
#include "velarion/time/kernels/iso_fixed.hpp"
#include "velarion/time/kernels/scales.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace velarion::time::kernels {

namespace detail {

// Code of a character of a UTF-8 (char) or UCS-4 (char32_t, Py_UCS4) text.
template <class Ch>
inline uint32_t code(Ch c) noexcept {
    if constexpr (sizeof(Ch) == 1)
        return static_cast<unsigned char>(c);
    else
        return static_cast<uint32_t>(c);
}

// Digit value; anything that is not a digit gives a value above 9.
template <class Ch>
inline uint32_t dval(Ch c) noexcept {
    return code(c) - uint32_t('0');
}

template <class Ch>
inline bool digit(Ch c) noexcept {
    return dval(c) < 10;
}

template <class Ch>
inline bool is(Ch c, char want) noexcept {
    return code(c) == static_cast<unsigned char>(want);
}

// Two digits at p; sets `bad` non-zero if either is not a digit.
template <class Ch>
inline uint32_t two_digits(const Ch* p, uint32_t& bad) noexcept {
    const uint32_t a = dval(p[0]), b = dval(p[1]);
    bad |= static_cast<uint32_t>(a > 9) | static_cast<uint32_t>(b > 9);
    return a * 10 + b;
}

}  // namespace detail

// Parses the text p[0..len) (UTF-8 or UCS-4 code units) into calendar
// fields, no scale applied yet. Straight-line code on the fixed positions of
// the form: this runs once per text of large arrays.
template <class Ch>
inline TextError parse_iso_fields(const Ch* p, size_t len, CivilTime& out) noexcept {
    using detail::digit;
    using detail::dval;
    using detail::is;
    using detail::two_digits;
    const Ch* const end = p + len;
    uint32_t bad = 0;
    int64_t year;
    if (len > 0 && (is(*p, '+') || is(*p, '-'))) {
        const bool neg = is(*p, '-');
        ++p;
        year = 0;
        int nd = 0;
        while (p != end && digit(*p) && nd < 10) {
            year = year * 10 + dval(*p);
            ++p;
            ++nd;
        }
        if (nd < 4 || nd > 9) return TextError::kMalformed;
        if (neg) year = -year;
    } else {
        if (len < 4) return TextError::kMalformed;
        year = two_digits(p, bad) * 100 + two_digits(p + 2, bad);
        p += 4;
    }
    // -MM-DD
    if (end - p < 6 || !is(p[0], '-') || !is(p[3], '-')) return TextError::kMalformed;
    const uint32_t month = two_digits(p + 1, bad);
    const uint32_t day = two_digits(p + 4, bad);
    p += 6;
    uint32_t hour = 0, minute = 0, second = 0;
    int64_t nanos = 0;
    double subns = 0.0;
    if (p != end) {
        // Thh:mm[:ss[.f...]][Z]
        if (end - p < 6 || !(is(p[0], 'T') || is(p[0], ' ')) || !is(p[3], ':')) return TextError::kMalformed;
        hour = two_digits(p + 1, bad);
        minute = two_digits(p + 4, bad);
        p += 6;
        if (p != end && is(*p, ':')) {
            if (end - p < 3) return TextError::kMalformed;
            second = two_digits(p + 1, bad);
            p += 3;
            if (p != end && is(*p, '.')) {
                ++p;
                const Ch* const first = p;
                if (end - p >= 9) {
                    // The common nanosecond form: nine digits at once.
                    uint32_t v8;
                    bool ok8;
                    if constexpr (sizeof(Ch) == 1) {
                        ok8 = detail::eight_digits(p, v8);
                    } else {
                        uint32_t b8 = 0;
                        const uint32_t hi = (two_digits(p, b8) * 100 + two_digits(p + 2, b8)) * 10000;
                        v8 = hi + two_digits(p + 4, b8) * 100 + two_digits(p + 6, b8);
                        ok8 = b8 == 0;
                    }
                    if (ok8 && digit(p[8])) {
                        nanos = static_cast<int64_t>(v8) * 10 + dval(p[8]);
                        p += 9;
                    }
                }
                const Ch* const ns_end = end - first > 9 ? first + 9 : end;
                while (p != ns_end && digit(*p)) nanos = nanos * 10 + dval(*p++);
                const ptrdiff_t nd = p - first;
                if (nd == 0) return TextError::kMalformed;
                for (ptrdiff_t k = nd; k < 9; ++k) nanos *= 10;
                if (nd == 9) {
                    // Digits below the nanosecond (kept as a fraction of it).
                    double scale = 0.1;
                    while (p != end && digit(*p)) {
                        subns += dval(*p++) * scale;
                        scale *= 0.1;
                    }
                }
            }
        }
        if (p != end && is(*p, 'Z')) ++p;
        if (p != end) return TextError::kMalformed;
    }
    if (bad) return TextError::kMalformed;
    if (month < 1 || month > 12) return TextError::kDate;
    if (day < 1 || static_cast<int>(day) > days_in_month(year, static_cast<int>(month))) return TextError::kDate;
    if (hour > 23 || minute > 59 || second > 60) return TextError::kTime;
    out.mjd = mjd_from_civil(year, static_cast<int>(month), static_cast<int>(day));
    if (!jd_in_range(jd_of(out.mjd))) return TextError::kDate;
    out.ns_of_day = static_cast<int64_t>((hour * 60 + minute) * 60 + second) * kNsPerSec + nanos;
    out.subns = subns < 1.0 ? subns : std::nextafter(1.0, 0.0);
    out.second60 = second == 60;
    return TextError::kNone;
}

// Reads a text into calendar fields, no scale applied: the usual layouts
// on the fast path, anything else (and every malformed text) through the
// general parser.
template <class Ch>
inline TextError read_iso(const Ch* p, size_t len, CivilTime& fields) noexcept {
#if defined(__SSE2__)
    if (parse_iso_fixed(p, len, fields)) return TextError::kNone;
#else
    if (len >= 10 && len <= 29) {
        uint64_t words[4];
        if (detail::ascii_words(p, len, words) && parse_iso_fixed(words, len, fields)) return TextError::kNone;
    }
#endif
    return parse_iso_fields(p, len, fields);
}

// Parses and converts in one step; `fields` receives what was read (for
// messages).
template <class Ch>
inline TextError parse_iso(const Ch* p, size_t len, bool utc, LeapCursor& cur, double& jd1, double& jd2,
                           CivilTime& fields) noexcept {
    const TextError e = read_iso(p, len, fields);
    if (e != TextError::kNone) return e;
    return civil_to_jd(fields, utc, cur, jd1, jd2);
}

// The dates of the fields of n texts (a loop of its own, apart from the
// reading: each date ends in a division, which then overlaps the next
// ones). Returns the index of the first refused, its reason in `e`, or n.
inline size_t civil_block_to_jd(const CivilTime* fields, size_t n, bool utc, LeapCursor& cur, double* jd1, double* jd2,
                                TextError& e) noexcept {
    for (size_t i = 0; i < n; ++i) {
        e = civil_to_jd(fields[i], utc, cur, jd1[i], jd2[i]);
        if (e != TextError::kNone) return i;
    }
    return n;
}

}  // namespace velarion::time::kernels

#endif
