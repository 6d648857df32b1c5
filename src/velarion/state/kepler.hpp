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
#ifndef VELARION_STATE_KEPLER_HPP
#define VELARION_STATE_KEPLER_HPP

#include <bit>
#include <cmath>
#ifndef KEPLER_HALLEY
#define KEPLER_HALLEY 2
#endif
#include <cstdint>
#include <limits>
#include <numbers>

namespace velarion::state::kepler {

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

// E - sin E for |E| <= 1, by its Taylor series (relative error ~1e-16).
inline double e_minus_sin_small(double E) noexcept {
    const double x2 = E * E;
    // 1/3! - x2/5! + x2^2/7! - ... through x^21
    double p = -1.0 / 51090942171709440000.0;          // -1/21!
    p = p * x2 + 1.0 / 121645100408832000.0;           //  1/19!
    p = p * x2 - 1.0 / 355687428096000.0;              // -1/17!
    p = p * x2 + 1.0 / 1307674368000.0;                //  1/15!
    p = p * x2 - 1.0 / 6227020800.0;                   // -1/13!
    p = p * x2 + 1.0 / 39916800.0;                     //  1/11!
    p = p * x2 - 1.0 / 362880.0;                       // -1/9!
    p = p * x2 + 1.0 / 5040.0;                         //  1/7!
    p = p * x2 - 1.0 / 120.0;                          // -1/5!
    p = p * x2 + 1.0 / 6.0;                            //  1/3!
    return p * x2 * E;
}

// Cube root of t > 0 to about 1e-15 relative: a bit-level first guess
// (within a few percent) and two Halley steps, several times cheaper than
// std::cbrt. Tiny and subnormal t go to std::cbrt.
inline double cbrt_positive(double t) noexcept {
    if (!(t > 1e-290)) return std::cbrt(t);
    double y = std::bit_cast<double>(std::bit_cast<std::uint64_t>(t) / 3 + 0x2A9F7893782DA1CEull);
    for (int i = 0; i < KEPLER_HALLEY; ++i) {
        const double y3 = y * y * y;
        y *= (y3 + 2.0 * t) / (2.0 * y3 + t);
    }
    return y;
}

// E - e sin E - M for E in [0, pi], given sin E. Where E is small and e
// close to 1 the terms cancel, so it is formed there as
// (1 - e) E + e (E - sin E) - M, whose error is of the order of ulp(M).
inline double residual(double E, double e, double sinE, double M) noexcept {
    if (E < 1.0 && e > 0.5) return ((1.0 - e) * E + e * e_minus_sin_small(E)) - M;
    return (E - e * sinE) - M;
}

// Solves for x in [0, pi], 0 <= e <= 1; the result lies in [0, pi]. The
// divisions are merged where the algebra allows: they dominate the latency.
inline double solve_reduced(double x, double e) noexcept {
    if (x == 0.0) return 0.0;
    // Markley's starter: a cubic in E from a Pade approximation of sin E.
    constexpr double pi2 = kPi * kPi;
    constexpr double inv_pi2_6 = 1.0 / (pi2 - 6.0);
    const double alpha = (3.0 * pi2 + 1.6 * kPi * (kPi - x) / (1.0 + e)) * inv_pi2_6;
    const double d = 3.0 * (1.0 - e) + alpha * e;
    const double q = 2.0 * alpha * d * (1.0 - e) - x * x;
    const double r = 3.0 * alpha * d * (d - 1.0 + e) * x + x * x * x;
    const double w = cbrt_positive(std::fabs(r) + std::sqrt(q * q * q + r * r));
    const double w2 = w * w;
    const double den = w2 * w2 + w2 * q + q * q;
    double E = (2.0 * r * w2 + x * den) / (d * den);

    // Markley's fifth-order correction (Householder-type steps of orders
    // 3, 4 and 5 built on one another).
    const double s = std::sin(E), c = std::cos(E);
    const double f0 = residual(E, e, s, x);
    const double f1 = 1.0 - e * c;
    const double f2 = e * s;
    const double f3 = 1.0 - f1;
    constexpr double sixth = 1.0 / 6.0;
    constexpr double one_24th = 1.0 / 24.0;
    const double d3 = -f0 * f1 / (f1 * f1 - 0.5 * f0 * f2);
    const double d4 = -f0 / (f1 + d3 * (0.5 * f2 + d3 * f3 * sixth));
    const double d5 = -f0 / (f1 + d4 * (0.5 * f2 + d4 * (f3 * sixth - d4 * f2 * one_24th)));
    E += d5;
    if (E > kPi) E = kPi;
    if (!(E >= 0.0)) E = E < 0.0 ? 0.0 : E;  // a NaN stays NaN
    return E;
}

// The eccentric anomaly of mean anomaly M (any real) and eccentricity e in
// [0, 1]; NaN for NaN or infinite M and for e outside [0, 1].
inline double eca_from_mea(double M, double e) noexcept {
    if (!(e >= 0.0 && e <= 1.0) || !std::isfinite(M)) return std::numeric_limits<double>::quiet_NaN();
    double k = std::nearbyint(M * kInvTwoPi);
    double Mr;
    if (k == 0.0) {
        Mr = M;
    } else if (std::fabs(k) < kCodyWaiteLimit) {
        Mr = ((M - k * kTwoPi1) - k * kTwoPi2) - k * kTwoPi3;
    } else {
        Mr = std::fma(-k, kTwoPiLo, std::fma(-k, kTwoPiHi, M));
    }
    // Rounding of k can leave M_r a hair outside [-pi, pi].
    if (Mr > kPi) {
        Mr -= kTwoPiHi;
        k += 1.0;
    } else if (Mr < -kPi) {
        Mr += kTwoPiHi;
        k -= 1.0;
    }
    const double Er = Mr < 0.0 ? -solve_reduced(-Mr, e) : solve_reduced(Mr, e);
    if (k == 0.0) return Er;
    if (std::fabs(k) < kCodyWaiteLimit) return k * kTwoPi1 + (Er + k * kTwoPi23);
    return std::fma(k, kTwoPiHi, Er + k * kTwoPiLo);
}

}  // namespace velarion::state::kepler

#endif
