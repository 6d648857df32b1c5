// Date element type and the ISO 8601 text kernels shared by
// velarion.time.format and velarion.time.time (no Python).
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
#ifndef VELARION_TIME_KERNELS_FORMAT_HPP
#define VELARION_TIME_KERNELS_FORMAT_HPP

#include "velarion/time/kernels/scales.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velarion::time::kernels {

// The date element type: two-part Julian Date arrays are arrays of it.
using jd_t = double;

inline constexpr int64_t kNsPerSec = 1'000'000'000;
inline constexpr int64_t kNsPerDay = 86400 * kNsPerSec;

// A calendar date and time of day. `ns_of_day` counts from midnight and may
// reach into second 60; `subns` is the part below a nanosecond, in [0, 1).
struct CivilTime {
    int64_t mjd = 0;
    int64_t ns_of_day = 0;
    double subns = 0.0;
    bool second60 = false;
};

enum class TextError : int {
    kNone = 0,
    kMalformed,  // not of the ISO 8601 form
    kDate,       // month or day out of range, or the year outside the calendar
    kTime,       // hour, minute or second out of range
    kLeap,       // second 60 on a day (or scale) without a leap second
};

namespace detail {

// Code of a character of a UTF-8 (char) or UCS-4 (char32_t, Py_UCS4) text.
template <class Ch>
inline uint32_t code(Ch c) noexcept {
    if constexpr (sizeof(Ch) == 1) return static_cast<unsigned char>(c);
    else return static_cast<uint32_t>(c);
}

// Digit value; anything that is not a digit gives a value above 9.
template <class Ch>
inline uint32_t dval(Ch c) noexcept { return code(c) - uint32_t('0'); }

template <class Ch>
inline bool digit(Ch c) noexcept { return dval(c) < 10; }

template <class Ch>
inline bool is(Ch c, char want) noexcept { return code(c) == static_cast<unsigned char>(want); }

// Two digits at p; sets `bad` non-zero if either is not a digit.
template <class Ch>
inline uint32_t two_digits(const Ch* p, uint32_t& bad) noexcept {
    const uint32_t a = dval(p[0]), b = dval(p[1]);
    bad |= static_cast<uint32_t>(a > 9) | static_cast<uint32_t>(b > 9);
    return a * 10 + b;
}

// Eight ASCII digits at p in one word (little-endian SWAR); false if any
// of the eight characters is not a digit.
inline bool eight_digits(const char* p, uint32_t& out) noexcept {
    uint64_t x;
    std::memcpy(&x, p, 8);
    if constexpr (std::endian::native != std::endian::little) return false;
    const uint64_t d = x - 0x3030303030303030ULL;
    if ((x & 0xF0F0F0F0F0F0F0F0ULL) != 0x3030303030303030ULL) return false;
    if (((d + 0x0606060606060606ULL) & 0xF0F0F0F0F0F0F0F0ULL) != 0) return false;
    uint64_t v = d;
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FFULL) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FFULL) * (1 + (10000ULL << 32)))) >>
        32;
    out = static_cast<uint32_t>(v);
    return true;
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

namespace detail {

inline uint64_t load8(const char* p) noexcept {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The byte `v` at each of `positions` of a little-endian word.
constexpr uint64_t bytes_at(std::initializer_list<int> positions, uint8_t v) noexcept {
    uint64_t m = 0;
    for (int p : positions) m |= static_cast<uint64_t>(v) << (8 * p);
    return m;
}

inline constexpr uint64_t kAscii0 = 0x3030303030303030ULL;

// Non-zero unless every byte selected by `digits` (0xFF per byte) is an
// ASCII digit. A wrong byte may also flag its neighbour (a carry), which
// only ever refuses, never accepts.
inline uint64_t not_digits(uint64_t w, uint64_t digits) noexcept {
    const uint64_t x = (w ^ kAscii0) & digits;
    return ((x + (0x7676767676767676ULL & digits)) | x) & (digits & 0x8080808080808080ULL);
}

// Byte k of the result: 10 * digit k + digit k+1 (digits at `digits` only).
inline uint64_t digit_pairs(uint64_t w, uint64_t digits) noexcept {
    const uint64_t x = (w ^ kAscii0) & digits;
    return x * 10 + (x >> 8);
}

inline uint32_t byte_of(uint64_t w, int k) noexcept { return static_cast<uint32_t>((w >> (8 * k)) & 0xFF); }

}  // namespace detail

namespace detail {

// Copies the text p[0..len), 8 <= len <= 32, into buf as ASCII bytes;
// false if a character is not ASCII. Fixed-size overlapping copies, no
// library call and no read outside the text.
inline bool copy_ascii(const char* p, size_t len, char* buf) noexcept {
    if (len >= 16) {
        std::memcpy(buf, p, 16);
        std::memcpy(buf + len - 16, p + len - 16, 16);
    } else {
        std::memcpy(buf, p, 8);
        std::memcpy(buf + len - 8, p + len - 8, 8);
    }
    uint64_t w[4];
    std::memcpy(w, buf, 32);
    return ((w[0] | w[1] | w[2] | w[3]) & 0x8080808080808080ULL) == 0;
}

#if defined(__SSE2__)
// Sixteen UCS-4 code units at p -> sixteen bytes at out; false if one is not ASCII.
inline bool narrow16(const uint32_t* p, char* out) noexcept {
    const __m128i* q = reinterpret_cast<const __m128i*>(p);
    const __m128i lo = _mm_packs_epi32(_mm_loadu_si128(q), _mm_loadu_si128(q + 1));  // saturates above 0x7FFF
    const __m128i hi = _mm_packs_epi32(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3));
    const __m128i c = _mm_packus_epi16(lo, hi);  // saturates above 0xFF
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), c);
    return _mm_movemask_epi8(c) == 0;  // no byte >= 0x80
}

// Eight UCS-4 code units at p -> eight bytes at out; false if one is not ASCII.
inline bool narrow8(const uint32_t* p, char* out) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
    const __m128i w = _mm_packs_epi32(a, b);    // saturates above 0x7FFF
    const __m128i c = _mm_packus_epi16(w, w);   // saturates above 0xFF
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), c);
    return (_mm_movemask_epi8(c) & 0xFF) == 0;  // no byte >= 0x80
}
#endif

template <class Ch>
inline bool copy_ascii(const Ch* p, size_t len, char* buf) noexcept {
    static_assert(sizeof(Ch) == 4);
#if defined(__SSE2__)
    // 8 <= len <= 32: overlapping blocks cover the text exactly.
    const uint32_t* u = reinterpret_cast<const uint32_t*>(p);
    if (len >= 16) return narrow16(u, buf) & narrow16(u + len - 16, buf + len - 16);
    return narrow8(u, buf) & narrow8(u + len - 8, buf + len - 8);
#else
    uint32_t any = 0;
    for (size_t k = 0; k < len; ++k) {
        const uint32_t c = code(p[k]);
        any |= c;
        buf[k] = static_cast<char>(c);
    }
    return any < 128;
#endif
}

}  // namespace detail

// The fixed layouts YYYY-MM-DD[(T| )hh:mm[:ss[.f...]]] with 1 to 9
// decimals, read a word at a time from `b` (32 readable bytes, zero past
// `len`). Returns false, leaving the decision to parse_iso_fields, for any
// other form and for any text with a wrong character or field: accepted
// texts give exactly the fields parse_iso_fields gives.
inline bool parse_iso_fixed(const char* b, size_t len, CivilTime& out) noexcept {
    using namespace detail;
    // Lengths 10, 16, 19 and 21..29 (one bit each).
    constexpr uint32_t kLengths = (1u << 10) | (1u << 16) | (1u << 19) | (0x1FFu << 21);
    if (len > 31 || !((kLengths >> len) & 1u)) return false;
    // YYYY-MM-
    constexpr uint64_t kD0 = bytes_at({0, 1, 2, 3, 5, 6}, 0xFF);
    constexpr uint64_t kS0 = bytes_at({4, 7}, 0xFF);
    constexpr uint64_t kP0 = bytes_at({4, 7}, '-');
    const uint64_t w0 = load8(b);
    if ((w0 & kS0) != kP0 || not_digits(w0, kD0)) return false;
    const uint64_t p0 = digit_pairs(w0, kD0);
    const uint32_t year = byte_of(p0, 0) * 100 + byte_of(p0, 2);
    const uint32_t month = byte_of(p0, 5);
    // DDThh:mm
    const uint64_t w1 = load8(b + 8);
    uint32_t day, hour = 0, minute = 0, second = 0;
    if (len == 10) {
        constexpr uint64_t kD = bytes_at({0, 1}, 0xFF);
        if (not_digits(w1, kD)) return false;
        day = byte_of(digit_pairs(w1, kD), 0);
    } else {
        constexpr uint64_t kD = bytes_at({0, 1, 3, 4, 6, 7}, 0xFF);
        const uint32_t sep = byte_of(w1, 2);
        if ((sep != 'T' && sep != ' ') || byte_of(w1, 5) != ':' || not_digits(w1, kD)) return false;
        const uint64_t p1 = digit_pairs(w1, kD);
        day = byte_of(p1, 0);
        hour = byte_of(p1, 3);
        minute = byte_of(p1, 6);
    }
    int64_t nanos = 0;
    if (len >= 19) {
        // :ss.f...
        constexpr uint64_t kD = bytes_at({1, 2}, 0xFF);
        const uint64_t w2 = load8(b + 16);
        if (byte_of(w2, 0) != ':' || not_digits(w2, kD)) return false;
        second = byte_of(digit_pairs(w2, kD), 1);
        if (len > 19) {
            if (byte_of(w2, 3) != '.') return false;
            const size_t n = len - 20;  // 1..9 decimals
            uint64_t f = load8(b + 20);
            if (n < 8) {
                const uint64_t keep = (1ULL << (8 * n)) - 1;
                f = (f & keep) | (kAscii0 & ~keep);  // trailing zeros
            }
            uint32_t v8;
            if (!eight_digits(reinterpret_cast<const char*>(&f), v8)) return false;
            nanos = static_cast<int64_t>(v8) * 10;
            if (n == 9) {
                const uint32_t d = static_cast<unsigned char>(b[28]) - uint32_t('0');
                if (d > 9) return false;
                nanos += d;
            }
        }
    }
    if (month < 1 || month > 12 || day < 1 || static_cast<int>(day) > days_in_month(year, static_cast<int>(month)) ||
        hour > 23 || minute > 59 || second > 60)
        return false;
    out.mjd = mjd_from_civil(year, static_cast<int>(month), static_cast<int>(day));
    out.ns_of_day = static_cast<int64_t>((hour * 60 + minute) * 60 + second) * kNsPerSec + nanos;
    out.subns = 0.0;
    out.second60 = second == 60;
    return true;
}

// Calendar fields read in a scale -> two-part JD (jd1 the midnight JD, jd2
// the fraction of the day). For UTC the day's length includes its leap
// second; second 60 is refused unless the day has one (kLeap).
inline TextError civil_to_jd(const CivilTime& c, bool utc, LeapCursor& cur, double& jd1, double& jd2) noexcept {
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

// Parses and converts in one step; `fields` receives what was read (for
// messages). The usual layouts take the word-at-a-time path; anything else
// (and every malformed text) the general parser.
template <class Ch>
inline TextError parse_iso(const Ch* p, size_t len, bool utc, LeapCursor& cur, double& jd1, double& jd2,
                           CivilTime& fields) noexcept {
    if (len >= 10 && len <= 29) {
        alignas(8) char buf[32] = {};
        if (detail::copy_ascii(p, len, buf) && parse_iso_fixed(buf, len, fields))
            return civil_to_jd(fields, utc, cur, jd1, jd2);
    }
    const TextError e = parse_iso_fields(p, len, fields);
    if (e != TextError::kNone) return e;
    return civil_to_jd(fields, utc, cur, jd1, jd2);
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

// Decimals needed to show `ns_of_day` exactly, in steps of three (0, 3, 6, 9).
inline int needed_decimals(int64_t ns_of_day) noexcept {
    const int64_t sub = ns_of_day % kNsPerSec;
    if (sub == 0) return 0;
    if (sub % 1'000'000 == 0) return 3;
    if (sub % 1'000 == 0) return 6;
    return 9;
}

// Longest text format_iso writes.
inline constexpr size_t kIsoMaxLen = 40;

// Writes "YYYY-MM-DDThh:mm:ss[.f...]" with `decimals` (0..9) digits, the
// fraction truncated from the nanosecond count. Returns the length.
inline size_t format_iso(int64_t mjd, int64_t ns_of_day, int decimals, char* out) noexcept {
    const Civil c = civil_from_mjd(mjd);
    char* p = out;
    int64_t y = c.year;
    if (y < 0 || y > 9999) {
        *p++ = y < 0 ? '-' : '+';
        if (y < 0) y = -y;
    }
    char ybuf[20];
    int yn = 0;
    do {
        ybuf[yn++] = static_cast<char>('0' + y % 10);
        y /= 10;
    } while (y > 0);
    while (yn < 4) ybuf[yn++] = '0';
    while (yn > 0) *p++ = ybuf[--yn];
    auto two = [&p](int64_t v) {
        *p++ = static_cast<char>('0' + v / 10);
        *p++ = static_cast<char>('0' + v % 10);
    };
    *p++ = '-';
    two(c.month);
    *p++ = '-';
    two(c.day);
    *p++ = 'T';
    int64_t secs = ns_of_day / kNsPerSec;
    int64_t sub = ns_of_day % kNsPerSec;
    int64_t hour = secs / 3600, minute = (secs / 60) % 60, second = secs % 60;
    if (secs >= 86400) {  // inside a leap second
        hour = 23;
        minute = 59;
        second = 60 + (secs - 86400);
    }
    two(hour);
    *p++ = ':';
    two(minute);
    *p++ = ':';
    two(second);
    if (decimals > 0) {
        if (decimals > 9) decimals = 9;
        *p++ = '.';
        int64_t div = 100'000'000;
        for (int k = 0; k < decimals; ++k) {
            *p++ = static_cast<char>('0' + (sub / div) % 10);
            div /= 10;
        }
    }
    return static_cast<size_t>(p - out);
}

}  // namespace velarion::time::kernels

#endif
