// Two-body kernels: the gravity gradient and Jacobian of the two-body
// equations, and the loops over epochs of the propagation (true anomalies,
// and positions and velocities), a block of lanes at a time. Plain C++ on
// doubles.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_KEPLERIAN_KERNELS_TWOBODY_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_KEPLERIAN_KERNELS_TWOBODY_HPP

#include "velarion/_core/strided.hpp"
#include "velarion/mathtools/misc/kernels/lanes.hpp"
#include "velarion/state/kernels/anomalies.hpp"
#include "velarion/state/kernels/elements.hpp"

#include <cmath>
#include <limits>

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

// The twelve entries of the Jacobian below that are not zero, into out36
// (the other 24 left as they are: for an output that starts zeroed).
inline void jacobian_nonzero_kernel(double GM, const double* r, double* out36) noexcept {
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

// The 6x6 Jacobian of f(r, v) = (v, -GM r/|r|^3), row-major, into out36:
// zero blocks on the diagonal, identity top right, G bottom left. Every one
// of the 36 entries is written.
inline void jacobian_kernel(double GM, const double* r, double* out36) noexcept {
    for (int i = 0; i < 36; ++i) out36[i] = 0.0;
    jacobian_nonzero_kernel(GM, r, out36);
}

// Where a loop over epochs stopped: `done` epochs written (dt.size when it
// ran through); `non_finite` when it stopped at a mean anomaly that is not a
// finite number (a NaN or infinite dt, mean motion or initial anomaly, or
// an overflow of their product), else at an epoch whose state is not finite
// (PropagateStates only).
struct Advance {
    core::index_t done;
    bool non_finite;
};

namespace detail {

namespace lanes = mathtools::misc::kernels::lanes;

// Epochs i to i + count - 1 of dt (the other lanes 0).
template <class D>
VELARION_LANES_INLINE D load_dt(const core::Strided1D<const double>& dt, core::index_t i, int count) noexcept {
    if (dt.stride == static_cast<core::index_t>(sizeof(double))) return lanes::load_n<D>(&dt[i], count);
    D x{};
    for (int j = 0; j < count; ++j) lanes::put(x, j, dt[i + j]);
    return x;
}

// The first of the `count` lanes set in m, or -1.
template <class M>
VELARION_LANES_INLINE int first_set(M m, int count) noexcept {
    for (int j = 0; j < count; ++j) {
        if (lanes::get(m, j)) return j;
    }
    return -1;
}

// The mean anomalies mea0 + mnm * dt of epochs i to i + count - 1, and the
// first of them that is not finite (-1: none).
template <class D>
VELARION_LANES_INLINE D mean_anomalies(const core::Strided1D<const double>& dt, core::index_t i, int count, double mea0,
                                       double mnm, int& first_non_finite) noexcept {
    const D mea = mea0 + mnm * load_dt<D>(dt, i, count);
    first_non_finite = first_set(~(lanes::abs(mea) <= std::numeric_limits<double>::max()), count);
    return mea;
}

}  // namespace detail

// True anomaly at each epoch: out[i] = tra_from_mea(mea0 + mnm * dt[i], ecc)
// (state::kernels::anomalies, a block of lanes at a time), the mean anomaly
// neither wrapped nor reduced, every epoch independent. Stops at a mean
// anomaly that is not finite. For lanes::run.
struct AdvanceTrueAnomaly {
    template <class D>
    VELARION_LANES_INLINE static Advance run(core::Strided1D<const double> dt, double* out, double mea0, double mnm,
                                             double ecc) noexcept {
        constexpr int L = detail::lanes::kLanes<D>;
        const D e = detail::lanes::splat<D>(ecc);
        for (core::index_t i = 0; i < dt.size; i += L) {
            const int count = dt.size - i < L ? static_cast<int>(dt.size - i) : L;
            int bad;
            const D mea = detail::mean_anomalies<D>(dt, i, count, mea0, mnm, bad);
            if (bad >= 0) return {i + bad, true};
            detail::lanes::store_n(out + i, state::kernels::anomalies::tra_from_mea(mea, e), count);
        }
        return {dt.size, false};
    }
};

// One orbit's constant part: what positions and velocities need besides
// the true anomaly.
struct Orbit {
    double mea0, mnm, ecc, slr;
    double vf;  // sqrt(GM / slr)
    state::kernels::Orientation axes;
};

// Positions and velocities at each epoch: the true anomaly of
// AdvanceTrueAnomaly, then elements -> r, v as COEEphemeris.to_sv computes
// them for rows of this orbit (state::kernels::CoeRowsToRv), bit for bit,
// with no element array in between. Stops at a mean anomaly that is not
// finite, and at a row that to_sv would refuse or whose state is not finite
// (the long way then says why). For lanes::run.
struct PropagateStates {
    template <class D>
    VELARION_LANES_INLINE static Advance run(core::Strided1D<const double> dt, const Orbit& orbit, double* r,
                                             double* v) noexcept {
        namespace lanes = detail::lanes;
        constexpr int L = lanes::kLanes<D>;
        D P[3], Q[3];
        for (int k = 0; k < 3; ++k) P[k] = lanes::splat<D>(orbit.axes.P[k]), Q[k] = lanes::splat<D>(orbit.axes.Q[k]);
        const D ecc = lanes::splat<D>(orbit.ecc), slr = lanes::splat<D>(orbit.slr);
        const D vf = lanes::splat<D>(orbit.vf);
        const bool refused = !(orbit.ecc >= 0.0) || !(orbit.slr > 0.0);  // to_sv's checks; NaN rows take the long way
        if (refused) return {0, false};
        for (core::index_t i = 0; i < dt.size; i += L) {
            const int count = dt.size - i < L ? static_cast<int>(dt.size - i) : L;
            int bad;
            const D mea = detail::mean_anomalies<D>(dt, i, count, orbit.mea0, orbit.mnm, bad);
            if (bad >= 0) return {i + bad, true};
            const D tra = state::kernels::anomalies::tra_from_mea(mea, ecc);
            D rl[3], vl[3], den;
            state::kernels::conic_lanes(P, Q, vf, ecc, slr, tra, rl, vl, den);
            bad = detail::first_set((den <= 0.0) | ~state::kernels::finite_rv_lanes(rl, vl), count);
            if (bad >= 0) return {i + bad, false};
            state::kernels::detail::store_rows3(r + 3 * i, rl, count);
            state::kernels::detail::store_rows3(v + 3 * i, vl, count);
        }
        return {dt.size, false};
    }
};

}  // namespace velarion::propagators::analytical::keplerian::kernels

#endif
