// Solar radiation pressure on a cannonball (sphere-like) satellite:
//   a = nu P0 Cr (A/m) (AU / |d|)^2 d / |d|,  d = r - r_sun,
// with P0 the radiation pressure at 1 AU and nu the fraction of the solar
// disc seen from the satellite (1 in sunlight, 0 in umbra). nu is the
// conical shadow function of Montenbruck & Gill (Satellite Orbits, 2000,
// section 3.4.2): the apparent radii of the Sun and of the occulting body
// and the angle between their centres give the occulted area of the disc,
// for the Earth and for the Moon (their product when both occult).
// Partials are analytic with nu held fixed (the shadow's gradient is
// nonzero only in the penumbra, a few seconds per eclipse, and is left
// out): da/dr = nu P0 Cr (A/m) AU^2 (I - 3 u u^T) / |d|^3, u = d/|d|;
// da/dv = 0.
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_SRP_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_SRP_HPP

#include "velarion/propagators/numerical/kernels/force_context.hpp"

#include <algorithm>
#include <cmath>

namespace velarion::numerical {

inline constexpr double kAstronomicalUnit = 1.495978707e11;  // m (IAU 2012)
inline constexpr double kSolarPressureAt1Au = 4.56e-6;       // N/m^2 (Montenbruck & Gill)
inline constexpr double kSunRadius = 6.96e8;                 // m
inline constexpr double kEarthShadowRadius = 6.378137e6;     // m (equatorial)
inline constexpr double kMoonRadius = 1.738e6;               // m

struct SrpParams {
    double cr = 1.3;
    double area = 1.0;  // m^2
    double mass = 1.0;  // kg
    double p0 = kSolarPressureAt1Au;
    double au = kAstronomicalUnit;
    double sun_radius = kSunRadius;
    double earth_radius = kEarthShadowRadius;
    double moon_radius = kMoonRadius;
    bool earth_shadow = true;
    bool moon_shadow = true;
};

// Fraction of the solar disc seen past one occulting body of radius rb:
// `to_body` and `to_sun` are the vectors from the satellite to the body's
// centre and to the Sun's centre.
inline double occultation_fraction(const double to_body[3], const double to_sun[3], double rb,
                                   double sun_radius) noexcept {
    const double db = std::sqrt(to_body[0] * to_body[0] + to_body[1] * to_body[1] + to_body[2] * to_body[2]);
    const double ds = std::sqrt(to_sun[0] * to_sun[0] + to_sun[1] * to_sun[1] + to_sun[2] * to_sun[2]);
    if (!(db > rb)) return 0.0;                                  // inside the body: no sunlight
    const double a = std::asin(std::min(1.0, sun_radius / ds));  // apparent radius of the Sun
    const double b = std::asin(rb / db);                         // apparent radius of the body
    const double cosc = (to_body[0] * to_sun[0] + to_body[1] * to_sun[1] + to_body[2] * to_sun[2]) / (db * ds);
    const double c = std::acos(std::clamp(cosc, -1.0, 1.0));  // angle between the centres
    if (c >= a + b) return 1.0;                               // no occultation
    if (c <= b - a) return 0.0;                               // total (umbra)
    if (c <= a - b) return 1.0 - (b * b) / (a * a);           // annular: the body inside the disc
    const double x = (c * c + a * a - b * b) / (2.0 * c);
    const double y = std::sqrt(std::max(0.0, a * a - x * x));
    const double area =
        a * a * std::acos(std::clamp(x / a, -1.0, 1.0)) + b * b * std::acos(std::clamp((c - x) / b, -1.0, 1.0)) - c * y;
    return std::clamp(1.0 - area / (M_PI * a * a), 0.0, 1.0);
}

// The fraction of sunlight at the satellite (1 when the context has no Sun
// to shade: the term then adds nothing anyway).
inline double sunlight_fraction(const ForceContext& ctx, const SrpParams& p) noexcept {
    if (!ctx.has_sun) return 1.0;
    double nu = 1.0;
    const double to_sun[3] = {ctx.sun[0] - ctx.r[0], ctx.sun[1] - ctx.r[1], ctx.sun[2] - ctx.r[2]};
    if (p.earth_shadow) {
        const double to_earth[3] = {-ctx.r[0], -ctx.r[1], -ctx.r[2]};
        nu *= occultation_fraction(to_earth, to_sun, p.earth_radius, p.sun_radius);
    }
    if (p.moon_shadow && ctx.has_moon && nu > 0.0) {
        const double to_moon[3] = {ctx.moon[0] - ctx.r[0], ctx.moon[1] - ctx.r[1], ctx.moon[2] - ctx.r[2]};
        nu *= occultation_fraction(to_moon, to_sun, p.moon_radius, p.sun_radius);
    }
    return nu;
}

inline void add_srp(const ForceContext& ctx, const SrpParams& p, double a[3], double* dadr,
                    double* /*dadv: zero*/) noexcept {
    if (!ctx.has_sun) return;
    const double nu = sunlight_fraction(ctx, p);
    if (nu <= 0.0) return;
    const double d[3] = {ctx.r[0] - ctx.sun[0], ctx.r[1] - ctx.sun[1], ctx.r[2] - ctx.sun[2]};
    const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    const double dn = std::sqrt(dd);
    const double k = nu * p.p0 * p.cr * p.area / p.mass * p.au * p.au / (dd * dn);
    for (int i = 0; i < 3; ++i) a[i] += k * d[i];
    if (dadr) {
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) dadr[3 * i + j] += k * ((i == j ? 1.0 : 0.0) - 3.0 * d[i] * d[j] / dd);
        }
    }
}

}  // namespace velarion::numerical

#endif
