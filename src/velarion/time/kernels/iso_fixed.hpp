// The fast path of ISO 8601 parsing (no Python): the usual fixed layouts
// YYYY-MM-DD[(T| )hh:mm[:ss[.f...]]], read the whole text at once on SSE2,
// else eight characters at a time (SWAR on 64-bit words). Anything it does
// not accept goes to the general parser (iso_parse.hpp), which decides.
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
            const size_t n = len - 20;               // 1..9 decimals
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

#if defined(__SSE2__)
// The same layouts on SSE2, the whole text at once: each group of eight
// characters is a vector of eight 16-bit lanes, checked against the layout
// in two operations (a digit lane minus '0' must not exceed 9, a separator
// lane must equal its character, a lane past the text must be zero) and
// turned into field values by multiply-adds with fixed weights. About half
// the instructions of the word-at-a-time reading above, which serves where
// SSE2 is missing.
namespace detail {

// The longest fixed layout; a digit stands for any digit. The shorter
// layouts are its prefixes of 10, 16, 19 and 21..28 characters.
inline constexpr char kLayout[] = "0000-00-00T00:00:00.000000000";

struct LaneTable {
    alignas(16) int16_t expected[32];  // '0' on a digit, the character on a separator, 0 past the text
    alignas(16) int16_t above[32];     // how far above `expected` a lane may be: 9 on a digit, else 0
};

constexpr LaneTable lane_table(int len) noexcept {
    LaneTable t{};
    for (int i = 0; i < len; ++i) {
        t.expected[i] = kLayout[i];
        t.above[i] = kLayout[i] == '0' ? 9 : 0;
    }
    return t;
}

template <int Len>
inline constexpr LaneTable kLaneTable = lane_table(Len);

// Eight characters at p as 16-bit lanes: bytes (UTF-8) widened, UCS-4 code
// units narrowed with saturation (a unit above 0x7FFF stays above 0x7F, so
// it matches no character of a layout).
inline __m128i lanes_at(const char* p) noexcept {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}
template <class Ch>
inline __m128i lanes_at(const Ch* p) noexcept {
    static_assert(sizeof(Ch) == 4);
    const __m128i* q = reinterpret_cast<const __m128i*>(p);
    return _mm_packs_epi32(_mm_loadu_si128(q), _mm_loadu_si128(q + 1));
}

// Characters 8k .. 8k+7 of a text of Len >= 8 characters, zero past its
// end; every load stays inside the text.
template <int Len, int K, class Ch>
inline __m128i group(const Ch* p) noexcept {
    constexpr int first = 8 * K;
    if constexpr (first >= Len) {
        return _mm_setzero_si128();
    } else if constexpr (first + 8 <= Len) {
        return lanes_at(p + first);
    } else {
        return _mm_srli_si128(lanes_at(p + Len - 8), 2 * (first + 8 - Len));
    }
}

// Group k minus its expected characters; `bad` gets a non-zero lane where
// the text departs from the layout.
template <int Len, int K>
inline __m128i digit_values(__m128i g, __m128i& bad) noexcept {
    const LaneTable& t = kLaneTable<Len>;
    const __m128i e = _mm_sub_epi16(g, _mm_load_si128(reinterpret_cast<const __m128i*>(t.expected + 8 * K)));
    bad = _mm_or_si128(bad, _mm_subs_epu16(e, _mm_load_si128(reinterpret_cast<const __m128i*>(t.above + 8 * K))));
    return e;
}

// Sums of the 16-bit fields 0+1 and 2+3 of w, in fields 0 and 2.
inline uint64_t pair_sums(uint64_t w) noexcept { return (w + (w >> 16)) & 0x0000FFFF0000FFFFULL; }

template <int Len, class Ch>
inline bool parse_layout(const Ch* p, CivilTime& out) noexcept {
    __m128i g1 = group<Len, 1>(p);
    // The date and time may also be separated by a space (character 10).
    const __m128i space = _mm_setr_epi16(0, 0, ' ', 0, 0, 0, 0, 0);
    const __m128i to_t = _mm_setr_epi16(0, 0, 'T' - ' ', 0, 0, 0, 0, 0);
    g1 = _mm_add_epi16(g1, _mm_and_si128(_mm_cmpeq_epi16(g1, space), to_t));
    __m128i bad = _mm_setzero_si128();
    const __m128i e0 = digit_values<Len, 0>(group<Len, 0>(p), bad);
    const __m128i e1 = digit_values<Len, 1>(g1, bad);
    const __m128i e2 = digit_values<Len, 2>(group<Len, 2>(p), bad);
    const __m128i e3 = digit_values<Len, 3>(group<Len, 3>(p), bad);
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(bad, _mm_setzero_si128())) != 0xFFFF) return false;
    // Digits to numbers (separators are zero now; missing decimals too):
    //   YYYY-MM-  -> [Y0Y1 * 100, Y2Y3, M0 * 10, M1]
    //   DDThh:mm  -> [DD, h0 * 10, h1, mm]
    //   :ss.ffff  -> [s0 * 10, s1, f0f1 * 100, f2f3]
    //   fffff     -> [f4f5 * 100, f6f7, f8, 0]
    const __m128i a0 = _mm_madd_epi16(e0, _mm_setr_epi16(1000, 100, 10, 1, 0, 10, 1, 0));
    const __m128i a1 = _mm_madd_epi16(e1, _mm_setr_epi16(10, 1, 0, 10, 1, 0, 10, 1));
    const __m128i a2 = _mm_madd_epi16(e2, _mm_setr_epi16(0, 10, 1, 0, 1000, 100, 10, 1));
    const __m128i a3 = _mm_madd_epi16(e3, _mm_setr_epi16(1000, 100, 10, 1, 1, 0, 0, 0));
    const __m128i date_time = _mm_packs_epi32(a0, a1);  // all below 10000
    const __m128i seconds = _mm_packs_epi32(a2, a3);
    const auto w0 = static_cast<uint64_t>(_mm_cvtsi128_si64(date_time));
    const auto w1 = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(date_time, date_time)));
    const auto w2 = static_cast<uint64_t>(_mm_cvtsi128_si64(seconds));
    const auto w3 = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(seconds, seconds)));
    const uint64_t ym = pair_sums(w0);
    const auto year = static_cast<uint32_t>(ym & 0xFFFF);
    const auto month = static_cast<uint32_t>(ym >> 32);
    const auto day = static_cast<uint32_t>(w1 & 0xFFFF);
    const auto hour = static_cast<uint32_t>(pair_sums(w1 >> 16) & 0xFFFF);
    const auto minute = static_cast<uint32_t>(w1 >> 48);
    const uint64_t sf = pair_sums(w2);
    const auto second = static_cast<uint32_t>(sf & 0xFFFF);
    const uint64_t f = pair_sums(w3);
    const int64_t nanos =
        static_cast<int64_t>(sf >> 32) * 100000 + static_cast<int64_t>(f & 0xFFFF) * 10 + static_cast<int64_t>(f >> 32);
    if (month - 1 > 11 || day - 1 >= static_cast<uint32_t>(days_in_month(year, static_cast<int>(month))) || hour > 23 ||
        minute > 59 || second > 60)
        return false;
    out.mjd = mjd_from_civil(year, static_cast<int>(month), static_cast<int>(day));
    out.ns_of_day = static_cast<int64_t>((hour * 60 + minute) * 60 + second) * kNsPerSec + nanos;
    out.subns = 0.0;
    out.second60 = second == 60;
    return true;
}

}  // namespace detail

// The fixed layouts, from the text p[0..len) (UTF-8 or UCS-4 code units):
// the same texts and fields as parse_iso_fixed above.
template <class Ch>
inline bool parse_iso_fixed(const Ch* p, size_t len, CivilTime& out) noexcept {
    using detail::parse_layout;
    switch (len) {
        case 10: return parse_layout<10>(p, out);
        case 16: return parse_layout<16>(p, out);
        case 19: return parse_layout<19>(p, out);
        case 21: return parse_layout<21>(p, out);
        case 22: return parse_layout<22>(p, out);
        case 23: return parse_layout<23>(p, out);
        case 24: return parse_layout<24>(p, out);
        case 25: return parse_layout<25>(p, out);
        case 26: return parse_layout<26>(p, out);
        case 27: return parse_layout<27>(p, out);
        case 28: return parse_layout<28>(p, out);
        case 29: return parse_layout<29>(p, out);
        default: return false;
    }
}
#endif

}  // namespace velarion::time::kernels

#endif
