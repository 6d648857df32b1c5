// Point-mass attraction of the Sun, the Moon or a planet on an Earth
// satellite, in the geocentric (non-inertial) frame: the direct term minus
// the body's pull on the Earth (the indirect term). Written in Battin's form
// (An Introduction to the Mathematics and Methods of Astrodynamics, 1999,
// section 8.4) so that the near-cancellation of the two terms for a distant
// body loses no digits:
//   a = -GM / |d|^3 (r + f(q) s),  d = r - s,  q = r.(r - 2 s) / s.s,
//   f(q) = q (3 + 3q + q^2) / (1 + (1 + q)^(3/2)).
// Partials are analytic: da/dr = GM / |d|^3 (3 d d^T / |d|^2 - I); da/dv = 0.
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_THIRDBODY_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_THIRDBODY_HPP

#include "velarion/propagators/numerical/kernels/force_context.hpp"

#include <cmath>

namespace velarion::numerical {

// GM of the Sun and the Moon, m^3/s^2, as DE421 has them (its GMS and
// GM of the Earth-Moon system over EMRAT + 1).
inline constexpr double kGmSun = 1.327124400409446e20;
inline constexpr double kGmMoon = 4.902800076227744e12;

struct ThirdBodyParams {
    double gm_sun = kGmSun;
    double gm_moon = kGmMoon;
    bool sun = true;   // read only when the context has the Sun
    bool moon = true;  // read only when the context has the Moon
};

// One body of geocentric position s (m) and gravitational parameter gm.
inline void add_point_mass(const double r[3], const double s[3], double gm, double a[3], double* dadr) noexcept {
    const double d[3] = {r[0] - s[0], r[1] - s[1], r[2] - s[2]};
    const double ss = s[0] * s[0] + s[1] * s[1] + s[2] * s[2];
    const double q = (r[0] * (r[0] - 2.0 * s[0]) + r[1] * (r[1] - 2.0 * s[1]) + r[2] * (r[2] - 2.0 * s[2])) / ss;
    const double onepq = 1.0 + q;
    const double f = q * (3.0 + q * (3.0 + q)) / (1.0 + onepq * std::sqrt(onepq));
    const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double dn = std::sqrt(dd);
    const double k = gm / (dd * dn);
    for (int i = 0; i < 3; ++i) a[i] -= k * (r[i] + f * s[i]);
    if (dadr) {
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) dadr[3 * i + j] += k * (3.0 * d[i] * d[j] / dd - (i == j ? 1.0 : 0.0));
        }
    }
}

inline void add_thirdbody(const ForceContext& ctx, const ThirdBodyParams& p, double a[3], double* dadr,
                          double* /*dadv: zero*/) noexcept {
    if (p.sun && ctx.has_sun) add_point_mass(ctx.r, ctx.sun, p.gm_sun, a, dadr);
    if (p.moon && ctx.has_moon) add_point_mass(ctx.r, ctx.moon, p.gm_moon, a, dadr);
}

}  // namespace velarion::numerical

#endif
