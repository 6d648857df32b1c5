// The CIP coordinates X, Y and the CIO locator s interpolated between exact
// values at fixed nodes, for conversions of many epochs close together.
// Plain C++ on doubles, no Python.
//
// X, Y and s are smooth (nutation's shortest periods are of days), so the
// series (eraXys00a, ~30 us a date) is evaluated at
// nodes 6 hours apart on one grid of TT fixed at J2000.0, and an epoch takes
// the Lagrange polynomial through the 10 nodes around it (4 before its
// interval, 6 after its start). Against the series at the epoch itself, X,
// Y and s stay within 1e-15 rad (a few nanometres at the geostationary
// radius) from year -700 to 4700, and within 4e-16 rad from 1000 to 3000,
// most of it the rounding of the series' own values (8 nodes would leave
// 6e-16 rad there, most of it truncation). Far outside that span the series
// itself grows meaningless.
//
// The grid is global, so an epoch's values depend on its date alone, never
// on the other epochs of a call or their order; an epoch on a node gets the
// series' value there bit for bit. The node spacing is a power of two of a
// day, so an epoch's offset from its node is computed exactly.
#ifndef VELARION_FRAMES_KERNELS_CIP_HPP
#define VELARION_FRAMES_KERNELS_CIP_HPP

#include "velarion/_core/strided.hpp"

#include <erfa.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace velarion::frames::kernels {

struct CipGrid {
    static constexpr double kOrigin = 2451545.0;  // J2000.0, TT (ERFA's DJ00: its dates are offsets from it)
    static constexpr double kNodesPerDay = 4.0;   // nodes 6 h apart
    static constexpr int kPoints = 10;            // nodes per interpolation
    static constexpr int kBefore = 4;             // an epoch in [node k, node k+1) takes nodes k-4 .. k+5
    // Past this many node steps from J2000 (2^52: any finite date a Time
    // holds lies well inside) the offset is no longer exact; such dates, and
    // dates that are not finite, take the series itself.
    static constexpr double kReach = 0x1p52;

    // The node interval k of the TT date (tt1, tt2) and the epoch's offset
    // u in [0, 1) from node k, in node steps; false off the grid. The date
    // is summed as eraXys00a sums it.
    static bool locate(double tt1, double tt2, int64_t& k, double& u) noexcept {
        const double steps = ((tt1 - kOrigin) + tt2) * kNodesPerDay;  // exact scaling
        if (!(std::fabs(steps) < kReach)) return false;
        const double f = std::floor(steps);
        k = static_cast<int64_t>(f);
        u = steps - f;
        return true;
    }

    // The series at node m, the TT date J2000 + m / 4 days.
    static void node(int64_t m, double xys[3]) noexcept {
        eraXys00a(kOrigin, static_cast<double>(m) / kNodesPerDay, &xys[0], &xys[1], &xys[2]);
    }

    // Lagrange weights of the nodes at offsets -4 .. 5 for an epoch at
    // offset u: w[j] = prod over i != j of (u - (i - 4)) / (j - i). Each
    // product is divided by its whole integer denominator, so that at a node
    // its own weight is exactly 1 and the others exactly 0.
    static void weights(double u, double w[kPoints]) noexcept {
        static constexpr auto kDenominator = [] {
            std::array<double, kPoints> d{};
            for (int j = 0; j < kPoints; ++j) {
                d[j] = 1.0;
                for (int i = 0; i < kPoints; ++i) d[j] *= i == j ? 1.0 : static_cast<double>(j - i);
            }
            return d;
        }();
        double diff[kPoints], left[kPoints], right[kPoints];
        for (int i = 0; i < kPoints; ++i) diff[i] = u - static_cast<double>(i - kBefore);
        left[0] = 1.0;
        for (int i = 1; i < kPoints; ++i) left[i] = left[i - 1] * diff[i - 1];
        right[kPoints - 1] = 1.0;
        for (int i = kPoints - 2; i >= 0; --i) right[i] = right[i + 1] * diff[i + 1];
        for (int j = 0; j < kPoints; ++j) w[j] = left[j] * right[j] / kDenominator[j];
    }
};

// The nodes of one call, in three steps with storage from the caller:
//   1. intervals(tt, keys): the distinct node intervals that hold the
//      epochs, sorted, into `keys` (room for tt.rows); their count D;
//   2. node_count(): how many nodes their windows need together (M <= 10 D);
//   3. evaluate(first, xys): the series at those M nodes (xys: 3 M values,
//      X, Y, s per node in date order) and, per interval, the place of its
//      first node (first: D entries). Windows that overlap share nodes.
// Then operator() gives X, Y, s of any TT date of the call.
class CipNodes {
public:
    using D2 = core::Strided2D<double>;

    core::index_t intervals(const D2& tt, int64_t* keys) noexcept {
        keys_ = keys;
        count_ = 0;
        bool sorted = true;
        for (core::index_t i = 0; i < tt.rows; ++i) {
            int64_t k;
            double u;
            if (!CipGrid::locate(tt(i, 0), tt(i, 1), k, u)) continue;
            if (count_ > 0 && k == keys_[count_ - 1]) continue;  // epochs in order share intervals
            if (count_ > 0 && k < keys_[count_ - 1]) sorted = false;
            keys_[count_++] = k;
        }
        if (!sorted) {
            std::sort(keys_, keys_ + count_);
            count_ = std::unique(keys_, keys_ + count_) - keys_;
        }
        return count_;
    }

    core::index_t node_count() const noexcept {
        core::index_t m = 0;
        walk([&](int64_t, core::index_t) { ++m; }, [](core::index_t, core::index_t) {});
        return m;
    }

    void evaluate(core::index_t* first, double* xys) noexcept {
        first_ = first;
        xys_ = xys;
        walk([&](int64_t node, core::index_t at) { CipGrid::node(node, xys + 3 * at); },
             [&](core::index_t interval, core::index_t at) { first[interval] = at; });
    }

    // X, Y and s of the TT date (tt1, tt2), one of the call's dates.
    void operator()(double tt1, double tt2, double& X, double& Y, double& s) noexcept {
        int64_t k;
        double u;
        if (!CipGrid::locate(tt1, tt2, k, u)) {
            eraXys00a(tt1, tt2, &X, &Y, &s);
            return;
        }
        if (hint_ >= count_ || keys_[hint_] != k) {
            const core::index_t j = std::lower_bound(keys_, keys_ + count_, k) - keys_;
            if (j == count_ || keys_[j] != k) {  // not a date of the call: no nodes for it
                eraXys00a(tt1, tt2, &X, &Y, &s);
                return;
            }
            hint_ = j;
        }
        const double* v = xys_ + 3 * first_[hint_];
        double w[CipGrid::kPoints];
        CipGrid::weights(u, w);
        double x = 0.0, y = 0.0, z = 0.0;
        for (int j = 0; j < CipGrid::kPoints; ++j) {
            x += w[j] * v[3 * j];
            y += w[j] * v[3 * j + 1];
            z += w[j] * v[3 * j + 2];
        }
        X = x;
        Y = y;
        s = z;
    }

private:
    // Visits the nodes of the sorted intervals' windows once each, in date
    // order (node(date index, place)), and each interval with the place of
    // its window's first node (window(interval, place)). The window of an
    // interval ends past the last node so far, and what it shares with that
    // window is the tail of the places so far.
    template <class Node, class Window>
    void walk(Node&& node, Window&& window) const noexcept {
        core::index_t at = 0;
        int64_t next = 0;  // the first node not yet visited (any, before the first interval)
        for (core::index_t j = 0; j < count_; ++j) {
            const int64_t lo = keys_[j] - CipGrid::kBefore, hi = lo + CipGrid::kPoints;
            for (int64_t m = j == 0 ? lo : std::max(lo, next); m < hi; ++m) node(m, at++);
            next = hi;
            window(j, at - CipGrid::kPoints);
        }
    }

    int64_t* keys_ = nullptr;
    core::index_t count_ = 0;
    core::index_t* first_ = nullptr;
    double* xys_ = nullptr;
    core::index_t hint_ = 0;
};

}  // namespace velarion::frames::kernels

#endif
