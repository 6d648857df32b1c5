// Solid Earth tides as corrections to the fully normalised coefficients of
// the Earth's gravity field, IERS Conventions (2010), section 6.2.1:
// - step 1 (eq. 6.6, 6.7): frequency-independent Love numbers (table 6.3,
//   anelastic Earth) for degrees 2 and 3 from the Moon and the Sun, and the
//   degree-4 terms that degree 2 induces (k+_2m);
// - step 2 (eq. 6.8a-c): the frequency-dependent corrections of C20 (zonal
//   tides, table 6.5b), C21/S21 (diurnal, table 6.5a) and C22/S22
//   (semidiurnal, table 6.5c), amplitudes in units of 1e-12, arguments
//   theta_f = m (theta_g + pi) - N . (l, l', F, D, Omega).
// theta_g is the Greenwich mean sidereal time as an angle (rad), as the
// conventions use it; the Delaunay arguments (eq. 5.43) are evaluated at TT.
// The Sun and the Moon are taken from the context (GCRF) and turned into
// Earth-fixed latitude and longitude with its rotation.
//
// The results go to dC[n][m], dS[n][m] (n <= 4, m <= n; the rest zero),
// which the gravity field adds to its own normalised coefficients before
// its sum. A tide-free field (EGM96 and EGM2008 as published) takes them
// as they are; for a zero-tide field (its C20 already holds the permanent
// tide) set zero_tide_field, and the permanent part of step 1's dC20
// (eq. 6.13: (4.4228e-8)(-0.31460) k20) is taken out.
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_TIDES_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_TIDES_HPP

#include "velarion/propagators/numerical/kernels/force_context.hpp"

#include <cmath>
#include <cstddef>

namespace velarion::numerical {

struct SolidTideParams {
    double gm = 3.986004415e14;  // the field's GM, m^3/s^2 (EGM96)
    double radius = 6378136.3;   // the field's reference radius, m (EGM96)
    double gm_sun = 1.327124400409446e20;
    double gm_moon = 4.902800076227744e12;
    // Table 6.3 (anelastic): Re k2m, Im k2m, k+2m (m = 0..2); k3m (m = 0..3).
    double k2_re[3] = {0.30190, 0.29830, 0.30102};
    double k2_im[3] = {0.0, -0.00144, -0.00130};
    double k2_plus[3] = {-0.00089, -0.00080, -0.00057};
    double k3[4] = {0.093, 0.093, 0.093, 0.094};
    bool step2 = true;
    bool zero_tide_field = false;  // the field's C20 already holds the permanent tide
};

namespace detail {

struct TideLine {
    double l, lp, f, d, om;  // Delaunay multipliers
    double ip, op;           // amplitudes, 1e-12
};

// IERS Conventions (2010) table 6.5a: diurnal (2,1) tides.
inline constexpr TideLine kDiurnalTides[] = {
    {2, 0, 2, 0, 2, -0.1, 0.0},   {0, 0, 2, 2, 2, -0.1, 0.0},    {1, 0, 2, 0, 1, -0.1, 0.0},
    {1, 0, 2, 0, 2, -0.7, 0.1},   {-1, 0, 2, 2, 2, -0.1, 0.0},   {0, 0, 2, 0, 1, -1.3, 0.1},
    {0, 0, 2, 0, 2, -6.8, 0.6},   {0, 0, 0, 2, 0, 0.1, 0.0},     {1, 0, 2, -2, 2, 0.1, 0.0},
    {-1, 0, 2, 0, 1, 0.1, 0.0},   {-1, 0, 2, 0, 2, 0.4, 0.0},    {1, 0, 0, 0, 0, 1.3, -0.1},
    {1, 0, 0, 0, 1, 0.3, 0.0},    {-1, 0, 0, 2, 0, 0.3, 0.0},    {-1, 0, 0, 2, 1, 0.1, 0.0},
    {0, 1, 2, -2, 2, -1.9, 0.1},  {0, 0, 2, -2, 1, 0.5, 0.0},    {0, 0, 2, -2, 2, -43.4, 2.9},
    {0, -1, 2, -2, 2, 0.6, 0.0},  {0, 1, 0, 0, 0, 1.6, -0.1},    {-2, 0, 2, 0, 1, 0.1, 0.0},
    {0, 0, 0, 0, -2, 0.1, 0.0},   {0, 0, 0, 0, -1, -8.8, 0.5},   {0, 0, 0, 0, 0, 470.9, -30.2},
    {0, 0, 0, 0, 1, 68.1, -4.6},  {0, 0, 0, 0, 2, -1.6, 0.1},    {-1, 0, 0, 1, 0, 0.1, 0.0},
    {0, -1, 0, 0, -1, -0.1, 0.0}, {0, -1, 0, 0, 0, -20.6, -0.3}, {0, 1, -2, 2, -2, 0.3, 0.0},
    {0, -1, 0, 0, 1, -0.3, 0.0},  {-2, 0, 0, 2, 0, -0.2, 0.0},   {-2, 0, 0, 2, 1, -0.1, 0.0},
    {0, 0, -2, 2, -2, -5.0, 0.3}, {0, 0, -2, 2, -1, 0.2, 0.0},   {0, -1, -2, 2, -2, -0.2, 0.0},
    {1, 0, 0, -2, 0, -0.5, 0.0},  {1, 0, 0, -2, 1, -0.1, 0.0},   {-1, 0, 0, 0, -1, 0.1, 0.0},
    {-1, 0, 0, 0, 0, -2.1, 0.1},  {-1, 0, 0, 0, 1, -0.4, 0.0},   {0, 0, 0, -2, 0, -0.2, 0.0},
    {-2, 0, 0, 0, 0, -0.1, 0.0},  {0, 0, -2, 0, -2, -0.6, 0.0},  {0, 0, -2, 0, -1, -0.4, 0.0},
    {0, 0, -2, 0, 0, -0.1, 0.0},  {-1, 0, -2, 0, -2, -0.1, 0.0}, {-1, 0, -2, 0, -1, -0.1, 0.0},
};
// Table 6.5b: zonal (2,0) tides, (in-phase, out-of-phase).
inline constexpr TideLine kZonalTides[] = {
    {0, 0, 0, 0, 1, 16.6, -6.7},  {0, 0, 0, 0, 2, -0.1, 0.1},   {0, -1, 0, 0, 0, -1.2, 0.8},
    {0, 0, -2, 2, -2, -5.5, 4.3}, {0, 0, -2, 2, -1, 0.1, -0.1}, {0, -1, -2, 2, -2, -0.3, 0.2},
    {1, 0, 0, -2, 0, -0.3, 0.7},  {-1, 0, 0, 0, -1, 0.1, -0.2}, {-1, 0, 0, 0, 0, -1.2, 3.7},
    {-1, 0, 0, 0, 1, 0.1, -0.2},  {1, 0, -2, 0, -2, 0.1, -0.2}, {0, 0, 0, -2, 0, 0.0, 0.6},
    {-2, 0, 0, 0, 0, 0.0, 0.3},   {0, 0, -2, 0, -2, 0.6, 6.3},  {0, 0, -2, 0, -1, 0.2, 2.6},
    {0, 0, -2, 0, 0, 0.0, 0.2},   {1, 0, -2, -2, -2, 0.1, 0.2}, {-1, 0, -2, 0, -2, 0.4, 1.1},
    {-1, 0, -2, 0, -1, 0.2, 0.5}, {0, 0, -2, -2, -2, 0.1, 0.2}, {-2, 0, -2, 0, -2, 0.1, 0.1},
};
// Table 6.5c: sectorial (2,2) tides (real part only).
inline constexpr TideLine kSectorialTides[] = {
    {1, 0, 2, 0, 2, -0.3, 0.0},
    {0, 0, 2, 0, 2, -1.2, 0.0},
};

// The tables' Delaunay multipliers lie in -2..2 (solid_tide_corrections
// builds each argument from the powers exp(-i k F_j), |k| <= 2).
template <std::size_t N>
constexpr bool multipliers_in_range(const TideLine (&lines)[N]) {
    for (const TideLine& t : lines) {
        for (double k : {t.l, t.lp, t.f, t.d, t.om}) {
            if (k < -2.0 || k > 2.0 || k != static_cast<double>(static_cast<int>(k))) return false;
        }
    }
    return true;
}
static_assert(multipliers_in_range(kDiurnalTides) && multipliers_in_range(kZonalTides) &&
              multipliers_in_range(kSectorialTides));

// Delaunay arguments l, l', F, D, Omega (rad) at TT Julian centuries t
// (IERS 2010 eq. 5.43).
inline void delaunay_arguments(double t, double out[5]) noexcept {
    constexpr double as = M_PI / (180.0 * 3600.0);
    constexpr double turn = 1296000.0;  // arcseconds
    auto reduce = [](double arcsec) { return std::fmod(arcsec, turn) * as; };
    out[0] = reduce(485868.249036 + t * (1717915923.2178 + t * (31.8792 + t * (0.051635 + t * -0.00024470))));
    out[1] = reduce(1287104.793048 + t * (129596581.0481 + t * (-0.5532 + t * (0.000136 + t * -0.00001149))));
    out[2] = reduce(335779.526232 + t * (1739527262.8478 + t * (-12.7512 + t * (-0.001037 + t * 0.00000417))));
    out[3] = reduce(1072260.703692 + t * (1602961601.2090 + t * (-6.3706 + t * (0.006593 + t * -0.00003169))));
    out[4] = reduce(450160.398036 + t * (-6962890.5431 + t * (7.4722 + t * (0.007702 + t * -0.00005939))));
}

// Fully normalised associated Legendre functions Pbar_nm(sin phi), n <= 3
// (no Condon-Shortley phase), from sin and cos of the latitude.
inline void legendre3(double s, double c, double p[4][4]) noexcept {
    p[2][0] = std::sqrt(5.0) * 0.5 * (3.0 * s * s - 1.0);
    p[2][1] = std::sqrt(5.0 / 3.0) * 3.0 * s * c;
    p[2][2] = std::sqrt(5.0 / 12.0) * 3.0 * c * c;
    p[3][0] = std::sqrt(7.0) * 0.5 * s * (5.0 * s * s - 3.0);
    p[3][1] = std::sqrt(7.0 / 6.0) * 1.5 * c * (5.0 * s * s - 1.0);
    p[3][2] = std::sqrt(7.0 / 60.0) * 15.0 * c * c * s;
    p[3][3] = std::sqrt(7.0 / 360.0) * 15.0 * c * c * c;
}

}  // namespace detail

inline void solid_tide_corrections(const ForceContext& ctx, double gmst, double dC[5][5], double dS[5][5],
                                   const SolidTideParams& p = {}) noexcept {
    for (int n = 0; n < 5; ++n) {
        for (int m = 0; m < 5; ++m) dC[n][m] = dS[n][m] = 0.0;
    }
    const double* R = ctx.itrf_from_gcrf;
    // Step 1: sums over the Moon and the Sun of (GM_j/GM) (R/r_j)^(n+1)
    // Pbar_nm(sin phi_j) (cos m lambda_j, sin m lambda_j).
    double a2[3] = {0, 0, 0}, b2[3] = {0, 0, 0}, a3[4] = {0, 0, 0, 0}, b3[4] = {0, 0, 0, 0};
    for (int body = 0; body < 2; ++body) {
        if (body == 0 ? !ctx.has_moon : !ctx.has_sun) continue;
        const double* g = body == 0 ? ctx.moon : ctx.sun;
        const double x[3] = {R[0] * g[0] + R[1] * g[1] + R[2] * g[2], R[3] * g[0] + R[4] * g[1] + R[5] * g[2],
                             R[6] * g[0] + R[7] * g[1] + R[8] * g[2]};
        const double rho = std::hypot(x[0], x[1]);
        const double rn = std::hypot(rho, x[2]);
        const double s = x[2] / rn, c = rho / rn;
        const double lambda = std::atan2(x[1], x[0]);
        double pnm[4][4];
        detail::legendre3(s, c, pnm);
        const double ratio = (body == 0 ? p.gm_moon : p.gm_sun) / p.gm;
        const double q = p.radius / rn;
        const double f2 = ratio * q * q * q, f3 = f2 * q;
        for (int m = 0; m <= 2; ++m) {
            a2[m] += f2 * pnm[2][m] * std::cos(m * lambda);
            b2[m] += f2 * pnm[2][m] * std::sin(m * lambda);
        }
        for (int m = 0; m <= 3; ++m) {
            a3[m] += f3 * pnm[3][m] * std::cos(m * lambda);
            b3[m] += f3 * pnm[3][m] * std::sin(m * lambda);
        }
    }
    // dC - i dS = (k_re + i k_im) / (2n+1) (A - i B)
    for (int m = 0; m <= 2; ++m) {
        dC[2][m] = (p.k2_re[m] * a2[m] + p.k2_im[m] * b2[m]) / 5.0;
        dS[2][m] = (p.k2_re[m] * b2[m] - p.k2_im[m] * a2[m]) / 5.0;
        dC[4][m] = p.k2_plus[m] * a2[m] / 5.0;
        dS[4][m] = p.k2_plus[m] * b2[m] / 5.0;
    }
    for (int m = 0; m <= 3; ++m) {
        dC[3][m] = p.k3[m] * a3[m] / 7.0;
        dS[3][m] = p.k3[m] * b3[m] / 7.0;
    }
    dS[2][0] = dS[3][0] = dS[4][0] = 0.0;
    if (p.zero_tide_field) {
        // eq. (6.13): the permanent tide, A0 H0 k20
        dC[2][0] -= 4.4228e-8 * -0.31460 * p.k2_re[0];
    }
    if (!p.step2) return;
    double F[5];
    detail::delaunay_arguments(ctx.tt / (36525.0 * 86400.0), F);
    // exp(-i k F_j) for k = -2..2 (the tables' multipliers), so that each
    // line's exp(i theta_f) is a product of table entries, not a sin and cos
    double pc[5][5], ps[5][5];
    for (int j = 0; j < 5; ++j) {
        const double c1 = std::cos(F[j]), s1 = std::sin(F[j]);
        const double c2 = c1 * c1 - s1 * s1, s2 = 2.0 * s1 * c1;
        const double cs[5][2] = {{c2, s2}, {c1, s1}, {1.0, 0.0}, {c1, -s1}, {c2, -s2}};
        for (int k = 0; k < 5; ++k) {
            pc[j][k] = cs[k][0];
            ps[j][k] = cs[k][1];
        }
    }
    // (cos, sin) of m (theta_g + pi) - N . F
    auto angle = [&pc, &ps](const detail::TideLine& t, double c0, double s0, double& c, double& s) {
        const double n[5] = {t.l, t.lp, t.f, t.d, t.om};
        c = c0;
        s = s0;
        for (int j = 0; j < 5; ++j) {
            const int k = static_cast<int>(n[j]) + 2;
            const double cj = pc[j][k], sj = ps[j][k];
            const double cn = c * cj - s * sj;
            s = s * cj + c * sj;
            c = cn;
        }
    };
    const double g1c = std::cos(gmst + M_PI), g1s = std::sin(gmst + M_PI);
    const double g2c = g1c * g1c - g1s * g1s, g2s = 2.0 * g1s * g1c;
    double c20 = 0.0, c21 = 0.0, s21 = 0.0, c22 = 0.0, s22 = 0.0;
    for (const auto& t : detail::kZonalTides) {
        double c, s;
        angle(t, 1.0, 0.0, c, s);
        c20 += t.ip * c - t.op * s;
    }
    for (const auto& t : detail::kDiurnalTides) {
        double c, s;
        angle(t, g1c, g1s, c, s);
        c21 += t.ip * s + t.op * c;
        s21 += t.ip * c - t.op * s;
    }
    for (const auto& t : detail::kSectorialTides) {
        double c, s;
        angle(t, g2c, g2s, c, s);
        c22 += t.ip * c;
        s22 -= t.ip * s;
    }
    dC[2][0] += 1e-12 * c20;
    dC[2][1] += 1e-12 * c21;
    dS[2][1] += 1e-12 * s21;
    dC[2][2] += 1e-12 * c22;
    dS[2][2] += 1e-12 * s22;
}

}  // namespace velarion::numerical

#endif
