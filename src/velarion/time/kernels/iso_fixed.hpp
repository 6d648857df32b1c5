// The fast path of ISO 8601 parsing (no Python): the usual fixed layouts
// YYYY-MM-DD[(T| )hh:mm[:ss[.f...]]], read eight characters at a time
// (SWAR on 64-bit words). Anything it does not accept goes to the general
// parser (iso_parse.hpp), which decides.
#ifndef VELARION_TIME_KERNELS_ISO_FIXED_HPP
#define VELARION_TIME_KERNELS_ISO_FIXED_HPP

#include "velarion/time/kernels/civil.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velarion::time::kernels {

namespace detail {

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
    const __m128i w = _mm_packs_epi32(a, b);   // saturates above 0x7FFF
    const __m128i c = _mm_packus_epi16(w, w);  // saturates above 0xFF
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
        const uint32_t c = static_cast<uint32_t>(p[k]);
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

}  // namespace velarion::time::kernels

#endif
