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
//   exponent n (DragParams::hp_exponent) is, after M&G, 2 for orbits of
//   low inclination and 6 for polar ones; the default 4 lies between. Zero
//   density outside 100-1000 km, where the table has no values.
// - NRLMSISE-00 (kernels/nrlmsise00.hpp): the total mass density with
//   anomalous oxygen (gtd7d, the model's drag density), all switches on,
//   at the geodetic height, latitude and longitude, UT day of year and
//   seconds, local solar time UT + longitude / 15 h; space weather from a
//   daily table (F10.7 of the previous day, its 81-day centred mean, the
//   daily Ap, or the 3-hourly Ap history with ap_history) or constants.
//   UT is taken as TT + ut_minus_tt (a constant over a propagation: the
//   density's dependence on time is far too slow for the leap seconds and
//   UT1-UTC to matter).
//
// Partials: da/dv and the co-rotation part of da/dr analytic; the density's
// gradient by central differences of the density over 1 m in each axis
// (six density evaluations, only when the partials are asked for).
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_DRAG_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_DRAG_HPP

#include "velarion/propagators/numerical/kernels/force_context.hpp"
#include "velarion/propagators/numerical/kernels/nrlmsise00.hpp"

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
    4.974e+05, 2.490e+04, 8.377e+03, 3.899e+03, 2.122e+03, 1.263e+03, 8.008e+02, 5.283e+02, 3.617e+02, 2.557e+02,
    1.839e+02, 1.341e+02, 9.949e+01, 7.488e+01, 5.709e+01, 4.403e+01, 3.430e+01, 2.697e+01, 2.139e+01, 1.708e+01,
    1.099e+01, 7.214e+00, 4.824e+00, 3.274e+00, 2.249e+00, 1.558e+00, 1.091e+00, 7.701e-01, 5.474e-01, 3.916e-01,
    2.819e-01, 2.042e-01, 1.488e-01, 1.092e-01, 8.070e-02, 6.012e-02, 4.519e-02, 3.430e-02, 2.632e-02, 2.043e-02,
    1.607e-02, 1.281e-02, 1.036e-02, 8.496e-03, 7.069e-03, 4.680e-03, 3.200e-03, 2.210e-03, 1.560e-03, 1.150e-03};
inline constexpr double kHarrisPriesterMax[kHarrisPriesterRows] = {
    4.974e+05, 2.490e+04, 8.710e+03, 4.059e+03, 2.215e+03, 1.344e+03, 8.758e+02, 6.010e+02, 4.297e+02, 3.162e+02,
    2.396e+02, 1.853e+02, 1.455e+02, 1.157e+02, 9.308e+01, 7.555e+01, 6.182e+01, 5.095e+01, 4.226e+01, 3.526e+01,
    2.511e+01, 1.819e+01, 1.337e+01, 9.955e+00, 7.492e+00, 5.684e+00, 4.355e+00, 3.362e+00, 2.612e+00, 2.042e+00,
    1.605e+00, 1.267e+00, 1.005e+00, 7.997e-01, 6.390e-01, 5.123e-01, 4.121e-01, 3.325e-01, 2.691e-01, 2.185e-01,
    1.779e-01, 1.452e-01, 1.190e-01, 9.776e-02, 8.059e-02, 5.741e-02, 4.210e-02, 3.130e-02, 2.360e-02, 1.810e-02};
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

// Daily space weather, from the Python reader: row i holds day first_mjd + i
// (UTC), columns F10.7 observed, its 81-day centred mean, the daily Ap, and
// the eight 3-hourly Ap. The caller checks a propagation's span against
// the table; outside it, the end rows are held.
inline constexpr int kWeatherColumns = 11;
struct SpaceWeather {
    double first_mjd = 0.0;
    long days = 0;
    const double* rows = nullptr;
};

struct DragParams {
    double cd = 2.2;
    double area = 1.0;  // m^2
    double mass = 1.0;  // kg
    DensityModel model = DensityModel::harris_priester;
    double hp_exponent = 4.0;
    // NRLMSISE-00 inputs: the table when there is one, else the constants.
    const SpaceWeather* weather = nullptr;
    double f107 = 150.0, f107a = 150.0, ap = 4.0;
    bool ap_history = false;       // the 3-hourly Ap history (switch 9 = -1); needs the table
    double ut_minus_tt = -69.184;  // s
};

namespace detail {

inline const double* weather_row(const SpaceWeather& w, long day) noexcept {
    const long i = day < 0 ? 0 : (day >= w.days ? w.days - 1 : day);
    return w.rows + i * kWeatherColumns;
}

// The 3-hourly Ap of interval k (8 a day) counted from the table's start.
inline double weather_ap3(const SpaceWeather& w, long k) noexcept {
    const long day = k >= 0 ? k / 8 : -1;
    const long slot = k >= 0 ? k % 8 : 0;
    return weather_row(w, day)[3 + slot];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
inline long days_from_civil(long y, long m, long d) noexcept {
    y -= m <= 2 ? 1 : 0;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const long yoe = y - era * 400;
    const long doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// Day of the year (1 = 1 January) of a modified Julian date (the year from
// Hinnant's civil_from_days).
inline int day_of_year(double mjd) noexcept {
    const long days = static_cast<long>(std::floor(mjd)) - 40587;
    const long z = days + 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const long doe = z - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy_march = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy_march + 2) / 153;
    const long month = mp < 10 ? mp + 3 : mp - 9;
    const long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return static_cast<int>(days - days_from_civil(year, 1, 1) + 1);
}

}  // namespace detail

inline double nrlmsise00_density(const ForceContext& ctx, const DragParams& p, const double x[3]) noexcept {
    double lat, height;
    geodetic_from_itrf(x, lat, height);
    const double mjd = 51544.5 + (ctx.tt + p.ut_minus_tt) / 86400.0;
    const double day = std::floor(mjd);
    nrlmsise00::nrlmsise_input in{};
    in.doy = detail::day_of_year(mjd);
    in.sec = (mjd - day) * 86400.0;
    in.alt = height / 1000.0;
    in.g_lat = lat * (180.0 / M_PI);
    in.g_long = std::atan2(x[1], x[0]) * (180.0 / M_PI);
    in.lst = in.sec / 3600.0 + in.g_long / 15.0;
    nrlmsise00::ap_array history{};
    nrlmsise00::nrlmsise_flags flags{};
    for (int& s : flags.switches) s = 1;
    flags.switches[0] = 0;  // cgs output
    if (p.weather) {
        const SpaceWeather& w = *p.weather;
        const long i = static_cast<long>(day - w.first_mjd);
        in.f107 = detail::weather_row(w, i - 1)[0];
        in.f107A = detail::weather_row(w, i)[1];
        in.ap = detail::weather_row(w, i)[2];
        if (p.ap_history) {
            const long k = 8 * i + static_cast<long>(in.sec / 10800.0);
            history.a[0] = in.ap;
            for (int j = 0; j < 4; ++j) history.a[1 + j] = detail::weather_ap3(w, k - j);
            double s12 = 0.0, s36 = 0.0;
            for (int j = 4; j < 12; ++j) s12 += detail::weather_ap3(w, k - j);
            for (int j = 12; j < 20; ++j) s36 += detail::weather_ap3(w, k - j);
            history.a[5] = s12 / 8.0;
            history.a[6] = s36 / 8.0;
            in.ap_a = &history;
            flags.switches[9] = -1;
        }
    } else {
        in.f107 = p.f107;
        in.f107A = p.f107a;
        in.ap = p.ap;
    }
    nrlmsise00::Model model{};
    nrlmsise00::nrlmsise_output out{};
    model.gtd7d(&in, &flags, &out);
    return out.d[5] * 1000.0;  // g/cm^3 -> kg/m^3
}

// Density of the chosen model at GCRF position r (the context gives time,
// rotation and Sun).
inline double drag_density(const ForceContext& ctx, const DragParams& p, const double r[3]) noexcept {
    const double* R = ctx.itrf_from_gcrf;
    const double x[3] = {R[0] * r[0] + R[1] * r[1] + R[2] * r[2], R[3] * r[0] + R[4] * r[1] + R[5] * r[2],
                         R[6] * r[0] + R[7] * r[1] + R[8] * r[2]};
    switch (p.model) {
        case DensityModel::harris_priester:
            return ctx.has_sun ? harris_priester_density(r, x, ctx.sun, p.hp_exponent) : 0.0;
        case DensityModel::nrlmsise00: return nrlmsise00_density(ctx, p, x);
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
