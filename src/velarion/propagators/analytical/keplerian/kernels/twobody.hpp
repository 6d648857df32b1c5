// Two-body kernels: the gravity gradient and Jacobian of the two-body
// equations, and the per-epoch anomaly loop. Plain C++ on doubles.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_KEPLERIAN_KERNELS_TWOBODY_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_KEPLERIAN_KERNELS_TWOBODY_HPP

#include "velarion/_core/strided.hpp"

#include <cmath>

namespace velarion::propagators::analytical::keplerian::kernels {

// Gravity gradient G = d(-GM r/|r|^3)/dr at r = (x, y, z):
// G[i][j] = GM (3 r_i r_j - |r|^2 delta_ij) / |r|^5. The terms are formed in
// one fixed order: r2 = x*x + y*y + z*z, k = GM / (r2 * r2 * |r|), then
// 3 * a * b * k off the diagonal and (3 * a * a - r2) * k on it.
struct GravityGradient {
    double xx, yy, zz, xy, xz, yz;
};

inline GravityGradient gravity_gradient(double GM, const double* r) noexcept {
    const double x = r[0], y = r[1], z = r[2];
    const double x2 = x * x, y2 = y * y, z2 = z * z;
    const double r2 = x2 + y2 + z2;
    const double rn = std::sqrt(r2);
    const double k = GM / (r2 * r2 * rn);
    return {(3.0 * x2 - r2) * k, (3.0 * y2 - r2) * k, (3.0 * z2 - r2) * k,
            3.0 * x * y * k,     3.0 * x * z * k,     3.0 * y * z * k};
}

// The 3x3 gravity gradient, row-major, into out9.
inline void jac_r_kernel(double GM, const double* r, double* out9) noexcept {
    const GravityGradient g = gravity_gradient(GM, r);
    out9[0] = g.xx;
    out9[1] = g.xy;
    out9[2] = g.xz;
    out9[3] = g.xy;
    out9[4] = g.yy;
    out9[5] = g.yz;
    out9[6] = g.xz;
    out9[7] = g.yz;
    out9[8] = g.zz;
}

// The 6x6 Jacobian of f(r, v) = (v, -GM r/|r|^3), row-major, into out36:
// zero blocks on the diagonal, identity top right, G bottom left. Every one
// of the 36 entries is written.
inline void jacobian_kernel(double GM, const double* r, double* out36) noexcept {
    for (int i = 0; i < 36; ++i) out36[i] = 0.0;
    out36[0 * 6 + 3] = 1.0;
    out36[1 * 6 + 4] = 1.0;
    out36[2 * 6 + 5] = 1.0;
    const GravityGradient g = gravity_gradient(GM, r);
    double* row3 = out36 + 3 * 6;
    double* row4 = out36 + 4 * 6;
    double* row5 = out36 + 5 * 6;
    row3[0] = g.xx;
    row3[1] = g.xy;
    row3[2] = g.xz;
    row4[0] = g.xy;
    row4[1] = g.yy;
    row4[2] = g.yz;
    row5[0] = g.xz;
    row5[1] = g.yz;
    row5[2] = g.zz;
}

// Where advance_true_anomaly stopped: `done` epochs written (dt.size when
// it ran through); `non_finite` when it stopped at a mean anomaly that is not
// a finite number (a NaN or infinite dt, mean motion or initial anomaly, or
// an overflow of their product), else a failure that `failed` reported.
struct Advance {
    core::index_t done;
    bool non_finite;
};

// True anomaly at each epoch: out[i] = tra_from_mea(mea0 + mnm * dt[i], ecc),
// the mean anomaly neither wrapped nor reduced, every epoch independent.
// `failed()` is asked whether a result of -1.0 reports a failure; the loop
// stops there, and at a mean anomaly that is not finite.
template <class TraFromMea, class Failed>
inline Advance advance_true_anomaly(const core::Strided1D<const double>& dt, double* out, double mea0, double mnm,
                                    double ecc, TraFromMea&& tra_from_mea, Failed&& failed) noexcept {
    const core::index_t n = dt.size;
    for (core::index_t i = 0; i < n; ++i) {
        const double mea = mea0 + mnm * dt[i];
        if (!std::isfinite(mea)) return {i, true};
        const double tra = tra_from_mea(mea, ecc);
        if (tra == -1.0 && failed()) return {i, false};
        out[i] = tra;
    }
    return {n, false};
}

}  // namespace velarion::propagators::analytical::keplerian::kernels

#endif
