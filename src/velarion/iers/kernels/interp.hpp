// Interpolation of a daily Earth orientation table (no Python).
//
// The table is packed one day per row: the six field values of the day
// followed by their change per day towards the next table day (zero on the
// last day), so one evaluation reads 96 contiguous bytes.
#ifndef VELARION_IERS_KERNELS_INTERP_HPP
#define VELARION_IERS_KERNELS_INTERP_HPP

#include "velarion/_core/strided.hpp"

#include <algorithm>
#include <cmath>

namespace velarion::iers::kernels {

using core::index_t;

inline constexpr int kFields = 6;         // pm_x, pm_y, dX, dY, lod, ut1_utc
inline constexpr int kRow = 2 * kFields;  // doubles per packed row

struct EopGrid {
    const double* packed = nullptr;  // n rows of kRow doubles
    const double* mjd = nullptr;     // n table dates, increasing
    index_t n = 0;                   // 0: the zero table (every value 0, no range)
    bool uniform = true;             // mjd[i] == mjd[0] + i
    bool hold = false;               // clamp dates outside the table instead of failing
};

enum class EopStatus { ok, held, non_finite, out_of_range };

struct EopResult {
    EopStatus status = EopStatus::ok;
    index_t index = -1;  // first offending date for non_finite / out_of_range
};

// Evaluates the table at the UTC MJDs `t`, writing the date to out[0][i] and
// field k to out[k + 1][i]. Stops at the first non-finite date, and at the
// first date outside the table unless `g.hold`.
inline EopResult eop_interpolate(const EopGrid& g, core::Strided1D<const double> t,
                                 double* const out[1 + kFields]) noexcept {
    EopResult res;
    const index_t n = g.n;
    const double first = n ? g.mjd[0] : 0.0;
    const double span = n ? g.mjd[n - 1] - first : 0.0;
    for (index_t i = 0; i < t.size; ++i) {
        const double ti = t[i];
        if (!std::isfinite(ti)) return {EopStatus::non_finite, i};
        out[0][i] = ti;
        if (n == 0) {
            for (int k = 0; k < kFields; ++k) out[k + 1][i] = 0.0;
            continue;
        }
        double x = ti - first;
        double tc = ti;
        if (!(x >= 0.0 && x <= span)) {
            if (!g.hold) return {EopStatus::out_of_range, i};
            res.status = EopStatus::held;
            x = x < 0.0 ? 0.0 : span;
            tc = x == 0.0 ? first : g.mjd[n - 1];
        }
        index_t day;
        double frac;
        if (g.uniform) {
            // The row is bounded by the table's rows, not by the dates'
            // span alone: a grid that is not the uniform one it claims to
            // be then reads a wrong row, never past the last one.
            const double whole = std::floor(x);
            day = whole < static_cast<double>(n - 1) ? static_cast<index_t>(whole) : n - 1;
            frac = x - static_cast<double>(day);
        } else {
            day = std::upper_bound(g.mjd, g.mjd + n, tc) - g.mjd - 1;
            day = std::clamp<index_t>(day, 0, n - 1);
            frac = tc - g.mjd[day];
        }
        const double* row = g.packed + day * kRow;
        for (int k = 0; k < kFields; ++k) out[k + 1][i] = row[k] + frac * row[kFields + k];
    }
    return res;
}

}  // namespace velarion::iers::kernels

#endif
