// Relativistic corrections to a satellite's acceleration in the geocentric
// frame, IERS Conventions (2010), chapter 10, eq. (10.12), with beta = gamma
// = 1 (general relativity):
//   Schwarzschild: GM/(c^2 r^3) [(4 GM/r - v.v) r + 4 (r.v) v]
//   Lense-Thirring: 2 GM/(c^2 r^3) [3/r^2 (r x v)(r.J) + v x J]
//   de Sitter: 3 [Rdot x (-GM_sun R / (c^2 R^3))] x v
// with J the Earth's angular momentum per unit mass (|J| = 9.8e8 m^2/s,
// along the Earth's rotation axis, here the context's earth_rate) and R,
// Rdot the Earth's position and velocity relative to the Sun (from the
// ephemeris: the de Sitter term needs the Sun's velocity, which the
// context does not carry).
// Partials: central differences of the term in each coordinate (steps of
// 1 m and 1 mm/s): the term is some 1e-9 of the central attraction, so
// its partials matter only at the STM's last digits.
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_RELATIVITY_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_RELATIVITY_HPP

#include "velarion/propagators/numerical/kernels/ephemeris.hpp"
#include "velarion/propagators/numerical/kernels/force_context.hpp"
#include "velarion/propagators/numerical/kernels/thirdbody.hpp"

#include <cmath>

namespace velarion::numerical {

inline constexpr double kSpeedOfLight = 299792458.0;    // m/s
inline constexpr double kEarthAngularMomentum = 9.8e8;  // m^2/s per unit mass (IERS 2010)

struct RelativityParams {
    double gm = 3.986004418e14;  // m^3/s^2
    double gm_sun = kGmSun;
    double c = kSpeedOfLight;
    double angular_momentum = kEarthAngularMomentum;
    bool schwarzschild = true;
    bool lense_thirring = true;
    bool de_sitter = true;  // needs `ephemeris` and the context's Sun
    const Ephemeris* ephemeris = nullptr;
};

namespace detail {

inline void cross3(const double a[3], const double b[3], double out[3]) noexcept {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

// The acceleration at (r, v), sun velocity given (or null: no de Sitter).
inline void relativity_at(const ForceContext& ctx, const RelativityParams& p, const double r[3], const double v[3],
                          const double* sun_velocity, double a[3]) noexcept {
    const double c2 = p.c * p.c;
    const double rr = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
    const double rn = std::sqrt(rr);
    const double k = p.gm / (c2 * rr * rn);
    if (p.schwarzschild) {
        const double vv = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
        const double rv = r[0] * v[0] + r[1] * v[1] + r[2] * v[2];
        const double cr = 4.0 * p.gm / rn - vv;
        for (int i = 0; i < 3; ++i) a[i] += k * (cr * r[i] + 4.0 * rv * v[i]);
    }
    if (p.lense_thirring) {
        const double* w = ctx.earth_rate;
        const double wn = std::sqrt(w[0] * w[0] + w[1] * w[1] + w[2] * w[2]);
        if (wn > 0.0) {
            const double J[3] = {p.angular_momentum * w[0] / wn, p.angular_momentum * w[1] / wn,
                                 p.angular_momentum * w[2] / wn};
            double rxv[3], vxj[3];
            cross3(r, v, rxv);
            cross3(v, J, vxj);
            const double rj = r[0] * J[0] + r[1] * J[1] + r[2] * J[2];
            for (int i = 0; i < 3; ++i) a[i] += 2.0 * k * (3.0 / rr * rxv[i] * rj + vxj[i]);
        }
    }
    if (sun_velocity) {
        // R, Rdot: the Earth relative to the Sun.
        const double R[3] = {-ctx.sun[0], -ctx.sun[1], -ctx.sun[2]};
        const double Rdot[3] = {-sun_velocity[0], -sun_velocity[1], -sun_velocity[2]};
        const double RR = R[0] * R[0] + R[1] * R[1] + R[2] * R[2];
        const double ks = -p.gm_sun / (c2 * RR * std::sqrt(RR));
        const double field[3] = {ks * R[0], ks * R[1], ks * R[2]};
        double omega[3], out[3];
        cross3(Rdot, field, omega);
        cross3(omega, v, out);
        for (int i = 0; i < 3; ++i) a[i] += 3.0 * out[i];
    }
}

}  // namespace detail

// False when the de Sitter term was asked for and the ephemeris does not
// cover the context's time (nothing is added then).
inline bool add_relativity(const ForceContext& ctx, const RelativityParams& p, double a[3], double* dadr,
                           double* dadv) noexcept {
    double sun_velocity[3];
    const double* sv = nullptr;
    if (p.de_sitter && p.ephemeris && ctx.has_sun) {
        if (!geocentric_sun_velocity(*p.ephemeris, ctx.tdb, sun_velocity)) return false;
        sv = sun_velocity;
    }
    detail::relativity_at(ctx, p, ctx.r, ctx.v, sv, a);
    for (int pass = 0; pass < 2; ++pass) {
        double* out = pass == 0 ? dadr : dadv;
        if (!out) continue;
        const double step = pass == 0 ? 1.0 : 1e-3;
        for (int j = 0; j < 3; ++j) {
            double r[3] = {ctx.r[0], ctx.r[1], ctx.r[2]}, v[3] = {ctx.v[0], ctx.v[1], ctx.v[2]};
            double* x = pass == 0 ? r : v;
            double ap[3] = {0.0, 0.0, 0.0}, am[3] = {0.0, 0.0, 0.0};
            x[j] += step;
            detail::relativity_at(ctx, p, r, v, sv, ap);
            x[j] -= 2.0 * step;
            detail::relativity_at(ctx, p, r, v, sv, am);
            for (int i = 0; i < 3; ++i) out[3 * i + j] += (ap[i] - am[i]) / (2.0 * step);
        }
    }
    return true;
}

}  // namespace velarion::numerical

#endif
