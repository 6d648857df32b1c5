// The GCRF -> ITRF rotation at any time of a propagation, without Python:
// the same chain as velarion.frames' exact conversion (frames/kernels/cio.hpp:
// eraC2ixys, eraEra00, eraSp00, eraPom00 with the EOP corrections), its X, Y
// and s from the interpolation of frames/kernels/cip.hpp (the series at
// nodes 6 h apart, Lagrange through 10 nodes: within 1e-15 rad of the series),
// and the Earth orientation values (polar motion, pole offsets, length of
// day, UT1 - TT) interpolated linearly between the same nodes, where the
// binding sampled them once from velarion.iers.
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_EARTH_ORIENTATION_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_EARTH_ORIENTATION_HPP

#include "velarion/frames/kernels/cio.hpp"
#include "velarion/frames/kernels/cip.hpp"

#include <erfa.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace velarion::numerical {

inline constexpr double kJ2000 = 2451545.0;
inline constexpr double kDay = 86400.0;

// Node j is the TT date J2000 + (first + j) / 4 days.
struct EarthOrientationTable {
    static constexpr int kFields = 9;  // X, Y, s, pm_x, pm_y, dX, dY, lod, ut1 - tt (s)
    int64_t first = 0;
    int64_t count = 0;
    std::vector<double> values;  // count rows of kFields

    // The TT seconds since J2000 the table serves: the nodes that have the
    // Lagrange window's 4 nodes before and 5 after.
    double begin() const noexcept {
        return static_cast<double>(first + frames::kernels::CipGrid::kBefore) * kDay / 4.0;
    }
    double end() const noexcept {
        return static_cast<double>(first + count -
                                   (frames::kernels::CipGrid::kPoints - frames::kernels::CipGrid::kBefore)) *
               kDay / 4.0;
    }
    bool covers(double tt) const noexcept { return count > 0 && tt >= begin() && tt <= end(); }

    // Fills X, Y, s at the nodes from the series (the EOP columns are the
    // binding's).
    void fill_cip() noexcept {
        for (int64_t j = 0; j < count; ++j) frames::kernels::CipGrid::node(first + j, &values[j * kFields]);
    }
};

struct EarthOrientation {
    double itrf_from_gcrf[9];  // M, row-major
    double earth_rate[3];      // rad/s, GCRF
    double omega;              // rad/s
    double ut1_minus_tt;       // s
};

// The rotation at `tt` seconds (TT) since J2000; the table must cover it.
inline void earth_orientation(const EarthOrientationTable& table, double tt, EarthOrientation& out) noexcept {
    using frames::kernels::CipGrid;
    int64_t k = 0;
    double u = 0.0;
    CipGrid::locate(kJ2000, tt / kDay, k, u);
    const int64_t base = k - CipGrid::kBefore - table.first;
    double w[CipGrid::kPoints];
    CipGrid::weights(u, w);
    double X = 0.0, Y = 0.0, s = 0.0;
    for (int j = 0; j < CipGrid::kPoints; ++j) {
        const double* v = &table.values[(base + j) * EarthOrientationTable::kFields];
        X += w[j] * v[0], Y += w[j] * v[1], s += w[j] * v[2];
    }
    const double* lo = &table.values[(k - table.first) * EarthOrientationTable::kFields];
    const double* hi = lo + EarthOrientationTable::kFields;
    double e[6];
    for (int j = 0; j < 6; ++j) e[j] = lo[3 + j] + u * (hi[3 + j] - lo[3 + j]);
    const double sp = eraSp00(kJ2000, tt / kDay);
    frames::kernels::CioMatrices m;
    frames::kernels::cio_matrices(frames::kernels::CioDirection::to_terrestrial, X, Y, s, sp, kJ2000,
                                  (tt + e[5]) / kDay, e[2], e[3], e[0], e[1], e[4], m);
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) out.itrf_from_gcrf[3 * i + j] = m.B[i][j];
    }
    out.omega = m.omega;
    out.ut1_minus_tt = e[5];
    // The rotation axis is the intermediate frame's z: (RQ)^T e_z.
    for (int i = 0; i < 3; ++i) out.earth_rate[i] = m.A[2][i] * m.omega;
}

// out = R v, out = R^T v for a row-major 3x3 R.
inline void rotate(const double R[9], const double v[3], double out[3]) noexcept {
    for (int i = 0; i < 3; ++i) out[i] = R[3 * i] * v[0] + R[3 * i + 1] * v[1] + R[3 * i + 2] * v[2];
}
inline void rotate_back(const double R[9], const double v[3], double out[3]) noexcept {
    for (int i = 0; i < 3; ++i) out[i] = R[i] * v[0] + R[3 + i] * v[1] + R[6 + i] * v[2];
}

}  // namespace velarion::numerical

#endif
