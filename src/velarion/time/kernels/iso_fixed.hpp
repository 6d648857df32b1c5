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

// Eight ASCII digits in one word (little-endian SWAR); false if any of the
// eight characters is not a digit.
inline bool eight_digits(uint64_t x, uint32_t& out) noexcept {
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

// Eight ASCII digits at p.
inline bool eight_digits(const char* p, uint32_t& out) noexcept { return eight_digits(load8(p), out); }

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

// The bytes k.. of the 16 bytes held in (lo, hi) (little-endian), as two
// words, zero past the sixteenth.
inline void bytes_from(uint64_t lo, uint64_t hi, size_t k, uint64_t& a, uint64_t& b) noexcept {
    if (k == 0) {
        a = lo;
        b = hi;
    } else if (k < 8) {
        a = (lo >> (8 * k)) | (hi << (64 - 8 * k));
        b = hi >> (8 * k);
    } else if (k < 16) {
        a = hi >> (8 * (k - 8));
        b = 0;
    } else {
        a = b = 0;
    }
}

inline constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// The text p[0..len), 10 <= len <= 29 ASCII characters, as four
// little-endian words (zero past the text), built in registers from
// overlapping loads that stay inside the text: a copy through a buffer
// would store and reload each word, and the reload of a word that two
// overlapping stores wrote stalls until both are done. False if a
// character is not ASCII.
inline bool ascii_words(const char* p, size_t len, uint64_t w[4]) noexcept {
    w[0] = load8(p);
    const uint64_t last = load8(p + len - 8);
    if (len < 16) {
        w[1] = last >> (8 * (16 - len));
        w[2] = w[3] = 0;
        return ((w[0] | last) & kHighBits) == 0;
    }
    w[1] = load8(p + 8);
    const uint64_t before_last = load8(p + len - 16);
    bytes_from(before_last, last, 32 - len, w[2], w[3]);
    return ((w[0] | w[1] | before_last | last) & kHighBits) == 0;
}

#if defined(__SSE2__)
// Eight UCS-4 code units at p -> their eight bytes; `wide` gets a high bit
// if one is not ASCII.
inline uint64_t narrow8(const uint32_t* p, uint64_t& wide) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
    const __m128i w = _mm_packs_epi32(a, b);   // saturates above 0x7FFF
    const __m128i c = _mm_packus_epi16(w, w);  // saturates above 0xFF
    const auto bytes = static_cast<uint64_t>(_mm_cvtsi128_si64(c));
    wide |= bytes;
    return bytes;
}
#else
inline uint64_t narrow8(const uint32_t* p, uint64_t& wide) noexcept {
    uint64_t bytes = 0;
    for (int k = 0; k < 8; ++k) {
        const uint32_t c = p[k];
        if (c > 0x7F) wide |= kHighBits;
        bytes |= static_cast<uint64_t>(c & 0x7F) << (8 * k);
    }
    return bytes;
}
#endif

// Likewise from UCS-4 code units (NumPy str arrays).
template <class Ch>
inline bool ascii_words(const Ch* p, size_t len, uint64_t w[4]) noexcept {
    static_assert(sizeof(Ch) == 4);
    const uint32_t* u = reinterpret_cast<const uint32_t*>(p);
    uint64_t wide = 0;
    w[0] = narrow8(u, wide);
    const uint64_t last = narrow8(u + len - 8, wide);
    if (len < 16) {
        w[1] = last >> (8 * (16 - len));
        w[2] = w[3] = 0;
    } else {
        w[1] = narrow8(u + 8, wide);
        bytes_from(narrow8(u + len - 16, wide), last, 32 - len, w[2], w[3]);
    }
    return (wide & kHighBits) == 0;
}

}  // namespace detail

// The lengths the fixed layouts take: 10, 16, 19 and 21..29 (one bit each).
inline bool fixed_length(size_t len) noexcept {
    constexpr uint32_t kLengths = (1u << 10) | (1u << 16) | (1u << 19) | (0x1FFu << 21);
    return len <= 31 && ((kLengths >> len) & 1u);
}

// The fixed layouts YYYY-MM-DD[(T| )hh:mm[:ss[.f...]]] with 1 to 9
// decimals, read a word at a time from the text of `len` characters held
// in the words `b` (zero past the text, detail::ascii_words). Returns
// false, leaving the decision to parse_iso_fields, for any other form and
// for any text with a wrong character or field: accepted texts give
// exactly the fields parse_iso_fields gives.
inline bool parse_iso_fixed(const uint64_t b[4], size_t len, CivilTime& out) noexcept {
    using namespace detail;
    if (!fixed_length(len)) return false;
    // YYYY-MM-
    constexpr uint64_t kD0 = bytes_at({0, 1, 2, 3, 5, 6}, 0xFF);
    constexpr uint64_t kS0 = bytes_at({4, 7}, 0xFF);
    constexpr uint64_t kP0 = bytes_at({4, 7}, '-');
    const uint64_t w0 = b[0];
    if ((w0 & kS0) != kP0 || not_digits(w0, kD0)) return false;
    const uint64_t p0 = digit_pairs(w0, kD0);
    const uint32_t year = byte_of(p0, 0) * 100 + byte_of(p0, 2);
    const uint32_t month = byte_of(p0, 5);
    // DDThh:mm
    const uint64_t w1 = b[1];
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
        const uint64_t w2 = b[2];
        if (byte_of(w2, 0) != ':' || not_digits(w2, kD)) return false;
        second = byte_of(digit_pairs(w2, kD), 1);
        if (len > 19) {
            if (byte_of(w2, 3) != '.') return false;
            const size_t n = len - 20;  // 1..9 decimals
            uint64_t f = (w2 >> 32) | (b[3] << 32);  // characters 20..27
            if (n < 8) {
                const uint64_t keep = (1ULL << (8 * n)) - 1;
                f = (f & keep) | (kAscii0 & ~keep);  // trailing zeros
            }
            uint32_t v8;
            if (!eight_digits(f, v8)) return false;
            nanos = static_cast<int64_t>(v8) * 10;
            if (n == 9) {
                const uint32_t d = byte_of(b[3], 4) - uint32_t('0');  // character 28
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
