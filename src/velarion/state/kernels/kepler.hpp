// Kepler's equation for elliptic orbits: E - e sin E = M. Plain C++ on
// doubles, no Python.
//
// The solver reduces M to [-pi, pi] (M = M_r + 2*pi*k), solves on |M_r| in
// [0, pi] with Markley's starter (Celest. Mech. 63, 101 (1995)), whose
// relative error is below 3e-4, and his fifth-order correction, which takes
// that to the rounding level in one step (no iteration), then adds 2*pi*k
// back. The residual E - e sin E - M is evaluated in a form that
// keeps its relative accuracy when e is close to 1 and E is small, where
// the plain difference cancels, so E is accurate to a few ulp for every
// e in [0, 1].
//
// The reduction is exact at every magnitude: a three-part 2*pi (Cody-Waite)
// while |k| < 2^23, the common case, and beyond that the remainder of M
// against the bits of 1/(2*pi) in integer arithmetic (Payne-Hanek), so that
// M = 1e300 reduces as exactly as M = 10. There E = M + (E_r - M_r).
#ifndef VELARION_STATE_KERNELS_KEPLER_HPP
#define VELARION_STATE_KERNELS_KEPLER_HPP

#include "velarion/mathtools/misc/kernels/lanes.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace velarion::state::kernels {

namespace lanes = mathtools::misc::kernels::lanes;

inline constexpr double kPi = std::numbers::pi;
// 2*pi in three parts: the first two have 30 significant bits, so k times
// either is exact for |k| < 2^23; the third is the rounded rest.
inline constexpr double kTwoPi1 = 6.283185303211212;
inline constexpr double kTwoPi2 = 3.9683743166540886e-09;
inline constexpr double kTwoPi3 = 2.068073192717642e-18;
inline constexpr double kTwoPi23 = 3.968374318722162e-09;  // kTwoPi2 + kTwoPi3
// 2*pi as the nearest double and its rounding error.
inline constexpr double kTwoPiHi = 6.283185307179586;
inline constexpr double kTwoPiLo = 2.4492935982947064e-16;
inline constexpr double kInvTwoPi = 0.15915494309189535;
inline constexpr double kCodyWaiteLimit = 8388608.0;  // 2^23

// The bits of 1/(2*pi) after the binary point, 32 to a word, most
// significant first, behind one zero word (so that a window may start up to
// 32 bits before the point); enough for the largest double.
inline constexpr std::uint32_t kInvTwoPiBits[] = {
    0x00000000, 0x28BE60DB, 0x9391054A, 0x7F09D5F4, 0x7D4D3770, 0x36D8A566, 0x4F10E410, 0x7F9458EA, 0xF7AEF158,
    0x6DC91B8E, 0x909374B8, 0x01924BBA, 0x82746487, 0x3F877AC7, 0x2C4A69CF, 0xBA208D7D, 0x4BAED121, 0x3A671C09,
    0xAD17DF90, 0x4E64758E, 0x60D4CE7D, 0x272117E2, 0xEF7E4A0E, 0xC7FE25FF, 0xF7816603, 0xFBCBC462, 0xD6829B47,
    0xDB4D9FB3, 0xC9F2C26D, 0xD3D18FD9, 0xA797FA8B, 0x5D49EEB1, 0xFAF97C5E, 0xCF41CE7D, 0xE294A4BA, 0x9AFED7EC,
    0x47E35742, 0x1580CC11, 0xBF1EDAEA, 0xFC33EF08, 0x26BD0D87};

// A value as an unevaluated sum hi + lo, |lo| <= ulp(hi).
struct DoubleDouble {
    double hi, lo;
};

// M - 2*pi*k for the integer k nearest M / (2*pi), as hi + lo with |hi| <= pi,
// for finite |M| >= 2^20. M = m 2^q with an integer m < 2^53; the integer
// bits of 1/(2*pi) 2^q contribute whole turns and drop out, so the fraction
// of M / (2*pi) is that of m times the 192 bits of 1/(2*pi) that follow bit
// q; the bits beyond change it by less than 2^-139, far below the closest
// approach of a double to a multiple of 2*pi (about 2^-61 relative).
inline DoubleDouble reduce_two_pi_exact(double M) noexcept {
    int exponent;
    const double f = std::frexp(std::fabs(M), &exponent);  // |M| = f 2^exponent, f in [0.5, 1)
    const auto m = static_cast<std::uint64_t>(std::ldexp(f, 53));
    const int q = exponent - 53;
    // 32 bits of 1/(2*pi) from bit `first` on (bit 1 is the first after the point).
    auto bits32 = [](int first) noexcept -> std::uint32_t {
        const int t = first - 1 + 32;
        const int word = t >> 5, shift = t & 31;
        const std::uint64_t pair = (std::uint64_t{kInvTwoPiBits[word]} << 32) | kInvTwoPiBits[word + 1];
        return static_cast<std::uint32_t>((pair << shift) >> 32);
    };
    std::uint32_t w[6];  // the window, least significant limb first
    for (int k = 0; k < 6; ++k) w[k] = bits32(q + 1 + 32 * (5 - k));
    // r = m * w mod 2^192, in 32-bit limbs.
    const std::uint64_t m_lo = m & 0xFFFFFFFFu, m_hi = m >> 32;
    std::uint32_t r[6] = {0, 0, 0, 0, 0, 0};
    std::uint64_t carry = 0;
    for (int j = 0; j < 6; ++j) {
        const std::uint64_t t = std::uint64_t{w[j]} * m_lo + carry;
        r[j] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
    carry = 0;
    for (int j = 0; j + 1 < 6; ++j) {
        const std::uint64_t t = std::uint64_t{w[j]} * m_hi + r[j + 1] + carry;
        r[j + 1] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
    // The fraction r / 2^192, taken into [-1/2, 1/2).
    double sign = M < 0.0 ? -1.0 : 1.0;
    if (r[5] & 0x80000000u) {
        sign = -sign;
        std::uint64_t borrow = 1;  // two's complement: ~r + 1
        for (int j = 0; j < 6; ++j) {
            const std::uint64_t t = std::uint64_t{static_cast<std::uint32_t>(~r[j])} + borrow;
            r[j] = static_cast<std::uint32_t>(t);
            borrow = t >> 32;
        }
    }
    int top = 5;
    while (top > 0 && r[top] == 0) --top;
    if (r[top] == 0) return {0.0, 0.0};
    auto limb = [&r](int j) noexcept -> std::uint64_t { return j >= 0 ? r[j] : 0u; };
    // The 128 bits from limb `top` down, normalised so that the top bit is set.
    std::uint64_t a = (limb(top) << 32) | limb(top - 1);
    std::uint64_t b = (limb(top - 2) << 32) | limb(top - 3);
    const int lz = std::countl_zero(a);
    if (lz > 0) {
        a = (a << lz) | (b >> (64 - lz));
        b <<= lz;
    }
    // fraction = (a + b 2^-64) 2^scale
    const int scale = 32 * (top - 3) - 128 - lz;
    const double a_hi = static_cast<double>(a & ~std::uint64_t{0x7FF});  // top 53 bits, exact
    const double a_lo = static_cast<double>(a & 0x7FF) + std::ldexp(static_cast<double>(b), -64);
    // times 2*pi in double-double
    const double p = a_hi * kTwoPiHi;
    const double tail = std::fma(a_hi, kTwoPiHi, -p) + (a_hi * kTwoPiLo + a_lo * kTwoPiHi);
    const double hi = p + tail;
    const double lo = tail - (hi - p);
    return {sign * std::ldexp(hi, scale), sign * std::ldexp(lo, scale)};
}

// E - sin E for |E| <= 1, by its Taylor series (relative error ~1e-16).
template <class D>
VELARION_LANES_INLINE D e_minus_sin_small(D E) noexcept {
    const D x2 = E * E;
    // 1/3! - x2/5! + x2^2/7! - ... through x^21
    D p = x2 * (-1.0 / 51090942171709440000.0) + 1.0 / 121645100408832000.0;  // -1/21!, 1/19!
    p = p * x2 - 1.0 / 355687428096000.0;                                     // -1/17!
    p = p * x2 + 1.0 / 1307674368000.0;                                       //  1/15!
    p = p * x2 - 1.0 / 6227020800.0;                                          // -1/13!
    p = p * x2 + 1.0 / 39916800.0;                                            //  1/11!
    p = p * x2 - 1.0 / 362880.0;                                              // -1/9!
    p = p * x2 + 1.0 / 5040.0;                                                //  1/7!
    p = p * x2 - 1.0 / 120.0;                                                 // -1/5!
    p = p * x2 + 1.0 / 6.0;                                                   //  1/3!
    return p * x2 * E;
}

// E - e sin E - M for E in [0, pi], given sin E. Where E is small and e
// close to 1 the terms cancel, so it is formed there as
// (1 - e) E + e (E - sin E) - M, whose error is of the order of ulp(M).
template <class D>
VELARION_LANES_INLINE D residual(D E, D e, D sinE, D M) noexcept {
    const D series = ((1.0 - e) * E + e * e_minus_sin_small(E)) - M;
    const D plain = (E - e * sinE) - M;
    return lanes::select((E < 1.0) & (e > 0.5), series, plain);
}

// Solves for x in [0, pi], 0 <= e <= 1; the result lies in [0, pi]. The
// divisions are merged where the algebra allows: they dominate the latency.
template <class D>
VELARION_LANES_INLINE D solve_reduced(D x, D e) noexcept {
    // Markley's starter: a cubic in E from a Pade approximation of sin E.
    constexpr double pi2 = kPi * kPi;
    constexpr double inv_pi2_6 = 1.0 / (pi2 - 6.0);
    const D alpha = (3.0 * pi2 + 1.6 * kPi * (kPi - x) / (1.0 + e)) * inv_pi2_6;
    const D d = 3.0 * (1.0 - e) + alpha * e;
    const D q = 2.0 * alpha * d * (1.0 - e) - x * x;
    const D r = 3.0 * alpha * d * (d - 1.0 + e) * x + x * x * x;
    const D w = lanes::cbrt_positive(lanes::abs(r) + lanes::sqrt(q * q * q + r * r));
    const D w2 = w * w;
    const D den = w2 * w2 + w2 * q + q * q;
    D E = (2.0 * r * w2 + x * den) / (d * den);

    // Markley's fifth-order correction (Householder-type steps of orders
    // 3, 4 and 5 built on one another).
    const lanes::SinCos<D> sc = lanes::sincos(E);
    const D f0 = residual(E, e, sc.sin, x);
    const D f1 = 1.0 - e * sc.cos;
    const D f2 = e * sc.sin;
    const D f3 = 1.0 - f1;
    constexpr double sixth = 1.0 / 6.0;
    constexpr double one_24th = 1.0 / 24.0;
    const D d3 = -f0 * f1 / (f1 * f1 - 0.5 * f0 * f2);
    const D d4 = -f0 / (f1 + d3 * (0.5 * f2 + d3 * f3 * sixth));
    const D d5 = -f0 / (f1 + d4 * (0.5 * f2 + d4 * (f3 * sixth - d4 * f2 * one_24th)));
    E += d5;
    E = lanes::select(E > kPi, lanes::splat<D>(kPi), E);
    E = lanes::select(E < 0.0, D{}, E);  // a NaN stays NaN
    return lanes::select(x == 0.0, D{}, E);
}

// The solution of lanes whose M rounds to fewer than 2^23 turns (see
// is_regular): M reduced by the three-part 2*pi, the reduced problem solved
// on |M_r|, and 2*pi*k added back. `Er` receives the reduced solution
// (E - 2*pi*k, in [-pi, pi]), whose sine and cosine are E's.
template <class D>
VELARION_LANES_INLINE D eca_from_mea_regular(D M, D e, D& Er) noexcept {
    using lanes::select;
    D k = (M * kInvTwoPi + lanes::kRoundMagic) - lanes::kRoundMagic;
    D Mr = select(k == 0.0, M, ((M - k * kTwoPi1) - k * kTwoPi2) - k * kTwoPi3);
    // Rounding of k can leave M_r a hair outside [-pi, pi].
    const lanes::Mask<D> above = Mr > kPi, below = Mr < -kPi;
    Mr = select(above, Mr - kTwoPiHi, select(below, Mr + kTwoPiHi, Mr));
    k = select(above, k + 1.0, select(below, k - 1.0, k));
    const lanes::Mask<D> negative = Mr < 0.0;
    const D solved = solve_reduced(select(negative, -Mr, Mr), e);
    Er = select(negative, -solved, solved);
    return select(k == 0.0, Er, k * kTwoPi1 + (Er + k * kTwoPi23));
}

// |M| below which E = M / (1 - e) for e < 1: E^2 / 6, the relative size of
// the next term, is below 2^-700 there even for e an ulp below 1, while the
// starter's products of M would be subnormal (a few bits left) or zero.
inline constexpr double kTinyMea = 0x1p-500;

// Lanes that eca_from_mea_regular solves: e in [0, 1] and M zero, or finite
// within 2^23 turns and not tiny (for e = 1 tiny too). The others (NaN,
// infinities, e out of range, huge and tiny M) go to eca_from_mea one by one.
template <class D>
VELARION_LANES_INLINE lanes::Mask<D> is_regular(D M, D e) noexcept {
    const D turns = M * kInvTwoPi;
    const D size = lanes::abs(M);
    return (lanes::abs(turns) < kCodyWaiteLimit - 1.0) & ((size >= kTinyMea) | (size == 0.0) | (e == 1.0)) &
           (e >= 0.0) & (e <= 1.0);
}

// Beyond the Cody-Waite range: the exact remainder, and E = M + (E_r - M_r),
// which is M itself to the rounding once ulp(M) exceeds the difference. Out
// of line, so that the common path stays small.
[[gnu::cold, gnu::noinline]] inline double eca_from_large_mea(double M, double e) noexcept {
    DoubleDouble Mr = reduce_two_pi_exact(M);
    // |M_r| <= pi exactly; its leading part may round one ulp past the double pi.
    if (std::fabs(Mr.hi) > kPi) {
        const double edge = std::copysign(kPi, Mr.hi);
        Mr = {edge, (Mr.hi - edge) + Mr.lo};
    }
    const double x = std::fabs(Mr.hi);
    const double solved = solve_reduced(lanes::D1{x}, lanes::D1{e})[0];
    const double Er = Mr.hi < 0.0 ? -solved : solved;
    return M + ((Er - Mr.hi) - Mr.lo);
}

// The eccentric anomaly of mean anomaly M (any real) and eccentricity e in
// [0, 1]; NaN for NaN or infinite M and for e outside [0, 1]. The same
// arithmetic as every lane of the block kernels (anomalies.hpp), so the two
// agree to the bit.
inline double eca_from_mea(double M, double e) noexcept {
    if (!(e >= 0.0 && e <= 1.0) || !std::isfinite(M)) return std::numeric_limits<double>::quiet_NaN();
    if (!is_regular(lanes::D1{M}, lanes::D1{e})[0])
        return std::fabs(M) < kTinyMea ? M / (1.0 - e) : eca_from_large_mea(M, e);
    lanes::D1 Er;
    return eca_from_mea_regular(lanes::D1{M}, lanes::D1{e}, Er)[0];
}

}  // namespace velarion::state::kernels

#endif
