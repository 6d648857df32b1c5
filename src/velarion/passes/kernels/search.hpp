// The pass search over interpolated trajectories, one track (a satellite
// seen from a station) at a time: plain C++ on doubles, no Python.
//
// A satellite's ITRF position between its propagation nodes is a degree-7
// polynomial per window of four nodes (velocity: its derivative); a
// station turns it into ENU coordinates by an offset and a rotation.
//
// How the span is searched, for each track:
//
// 1. The elevation is sampled on the grid `start + k * step` (the span's end
//    added when it falls between). Every 960 s of it (`coarse`) first; an
//    interval is skipped when the satellite cannot reach the visibility cone
//    in it: with d_a, d_b the distances of its end points from the cone
//    (elevation >= minimum) and V a bound of the Earth-fixed speed over the
//    interval, a visible point inside needs d_a + d_b <= V * (t_b - t_a)
//    (plus twice the interpolation tolerance); or, tighter, the chord between
//    the end points must come that close to the cone, since the path strays
//    from its chord by at most A * (t_b - t_a)**2 / 8 with A a bound of the
//    Earth-fixed acceleration (the distance to the cone, a convex set, is
//    convex along the chord: it lies above its tangents at the ends; for a
//    negative minimum the region below is the convex one). Intervals that cannot hold
//    both sides of the minimum are skipped the same way (from the distances
//    to the region below it); the others are halved down to grid neighbours.
//    Crossings of the minimum are therefore found between grid neighbours, as
//    a full scan of the grid finds them.
// 2. Each local maximum of the elevation between two samples is refined (root
//    of the elevation rate, computed from the ENU velocity) and kept when it
//    reaches the minimum; a maximum between two samples below the minimum (a
//    pass shorter than a step) is found too.
// 3. Rise and set are refined between the last sample below and the first
//    above the minimum (or the maximum) by root finding on the elevation.
//
// Roots (of the elevation rate and of the elevation less the minimum) are
// found by Newton steps inside a shrinking bracket, from the root of the
// ends' cubic Hermite interpolant.
#ifndef VELARION_PASSES_KERNELS_SEARCH_HPP
#define VELARION_PASSES_KERNELS_SEARCH_HPP

#include "velarion/_core/constants.hpp"
#include "velarion/_core/strided.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <span>
#include <vector>

namespace velarion::passes::kernels {

using core::index_t;

// A satellite's interpolation: its windows start at column 3 * window0 of
// the coefficient table (row k: coefficient of x^k, three columns per
// window: x, y, z), its nodes are `spacing` seconds apart over
// `intervals` intervals (at least 3).
struct Trajectory {
    index_t window0;
    index_t intervals;
    double spacing;
};

// A station: its ITRF position [m] and the rotation from ITRF to its ENU axes.
struct StationGeometry {
    double offset[3];
    double rotation[3][3];
};

// ENU position [m] and Earth-fixed velocity [m/s] of a satellite.
struct EnuState {
    double p[3];
    double w[3];
};

// One pass found: times in seconds from the start (NaN where the span's
// edge cuts it), the highest elevation [rad], whether the highest point is
// the span's edge rather than a culmination, and the rate of change of the
// elevation rate there [rad/s^2] (NaN at the edge): what a Newton step on
// the culmination needs.
struct Event {
    index_t track;
    double rise;
    double set;
    double culmination;
    double max_elevation;
    bool edge;
    double curvature;
};

// Degree-7 Hermite interpolation on four equally spaced nodes, in the local
// variable x = (t - centre) / spacing with the nodes at x = -1.5 .. 1.5: the
// coefficients of x^0 .. x^7 are matrix() times (the values at the nodes,
// then spacing * the rates at the nodes).
class HermiteBasis {
public:
    static const HermiteBasis& get() noexcept {
        static const HermiteBasis basis;
        return basis;
    }
    double operator()(int k, int j) const noexcept { return m_[k][j]; }

private:
    HermiteBasis() noexcept {
        // The confluent Vandermonde system V a = f, inverted by Gauss-Jordan
        // elimination with partial pivoting (well conditioned: |x| <= 1.5).
        double v[8][16] = {};
        for (int i = 0; i < 4; ++i) {
            const double x = -1.5 + i;
            double power = 1.0;
            for (int k = 0; k < 8; ++k) {
                v[i][k] = power;
                v[4 + i][k] = k == 0 ? 0.0 : k * std::pow(x, k - 1);
                power *= x;
            }
        }
        for (int i = 0; i < 8; ++i) v[i][8 + i] = 1.0;
        for (int c = 0; c < 8; ++c) {
            int pivot = c;
            for (int r = c + 1; r < 8; ++r) {
                if (std::abs(v[r][c]) > std::abs(v[pivot][c])) pivot = r;
            }
            for (int k = 0; k < 16; ++k) std::swap(v[c][k], v[pivot][k]);
            const double d = v[c][c];
            for (int k = 0; k < 16; ++k) v[c][k] /= d;
            for (int r = 0; r < 8; ++r) {
                if (r == c) continue;
                const double f = v[r][c];
                for (int k = 0; k < 16; ++k) v[r][k] -= f * v[c][k];
            }
        }
        for (int k = 0; k < 8; ++k) {
            for (int j = 0; j < 8; ++j) m_[k][j] = v[k][8 + j];
        }
    }
    double m_[8][8];
};

// The coefficients of one window: `nodes` holds four rows of ITRF position
// and velocity (columns 0-2, 3-5); out(k, col + c) receives the
// coefficient of x^k of coordinate c.
inline void window_coefficients(const core::Strided2D<double>& nodes, index_t first, double spacing,
                                const core::Strided2D<double>& out, index_t col) noexcept {
    const HermiteBasis& h = HermiteBasis::get();
    for (int c = 0; c < 3; ++c) {
        double f[8];
        for (int j = 0; j < 4; ++j) {
            f[j] = nodes(first + j, c);
            f[4 + j] = spacing * nodes(first + j, 3 + c);
        }
        for (int k = 0; k < 8; ++k) {
            double a = 0.0;
            for (int j = 0; j < 8; ++j) a += h(k, j) * f[j];
            out(k, col + c) = a;
        }
    }
}

// The ITRF position and velocity of a trajectory at t seconds.
inline void interpolate(const core::Strided2D<double>& table, const Trajectory& s, double t, double r[3],
                        double v[3]) noexcept {
    const double u = t / s.spacing;
    const double first = std::floor(u) - 1.0;
    const double last = static_cast<double>(s.intervals - 3);
    // window: the interval's own, centred where it can be (one-sided at the ends)
    const index_t w = first >= 1.0 ? (first <= last ? static_cast<index_t>(first) : s.intervals - 3) : 0;
    const double x = u - static_cast<double>(w) - 1.5;
    const index_t col = 3 * (s.window0 + w);
    for (int c = 0; c < 3; ++c) {
        double p = table(7, col + c);
        double d = 0.0;
        for (int k = 6; k >= 0; --k) {
            d = d * x + p;
            p = p * x + table(k, col + c);
        }
        r[c] = p;
        v[c] = d / s.spacing;
    }
}

inline EnuState to_enu(const StationGeometry& g, const double r[3], const double v[3]) noexcept {
    const double d[3] = {r[0] - g.offset[0], r[1] - g.offset[1], r[2] - g.offset[2]};
    EnuState s;
    for (int i = 0; i < 3; ++i) {
        s.p[i] = g.rotation[i][0] * d[0] + g.rotation[i][1] * d[1] + g.rotation[i][2] * d[2];
        s.w[i] = g.rotation[i][0] * v[0] + g.rotation[i][1] * v[1] + g.rotation[i][2] * v[2];
    }
    return s;
}

// Elevation [rad] and its rate [rad/s] of an ENU state (rate 0 where it is undefined).
inline void elevation(const EnuState& s, double& el, double& eldot) noexcept {
    const double e = s.p[0], n = s.p[1], u = s.p[2];
    const double h2 = e * e + n * n;
    const double h = std::sqrt(h2);
    el = std::atan2(u, h);
    eldot = (s.w[2] * h2 - u * (e * s.w[0] + n * s.w[1])) / (h * (h2 + u * u));
    if (!std::isfinite(eldot)) eldot = 0.0;
}

class Search {
public:
    static constexpr double kOmega = constants::kEarthRotationRate;
    // A bound of the gravitational acceleration above the Earth's surface
    // (GM / (6.31e6 m)^2 = 10.01 m/s^2).
    static constexpr double kGravityBound = 10.5;
    static constexpr double kTolerance = 1e-4;  // root finding, on times [s]
    static constexpr int kMaxIterations = 60;
    static constexpr double kDiffStep = 1e-3;  // s

    // `margin`: the interpolation tolerance [m].
    Search(core::Strided2D<double> table, std::span<const Trajectory> sats, std::span<const StationGeometry> stations,
           double duration, double step, double min_elevation, index_t coarse, double margin)
        : table_(table),
          sats_(sats),
          stations_(stations),
          duration_(duration),
          step_(step),
          m_(min_elevation),
          sin_m_(std::sin(min_elevation)),
          cos_m_(std::cos(min_elevation)),
          margin_(margin) {
        const double n = std::floor(duration / step + 1e-9) + 1.0;
        grid_ = static_cast<index_t>(n);
        extra_end_ = duration - (n - 1.0) * step > 1e-6 * step;
        points_ = grid_ + (extra_end_ ? 1 : 0);
        coarse_ = points_ > 2 ? std::max<index_t>(coarse, 1) : 1;
    }

    // Appends the passes of satellite `sat` seen from station `station` to `out`.
    void track(index_t track_id, index_t sat, index_t station, std::vector<Event>& out) {
        traj_ = &sats_[static_cast<size_t>(sat)];
        geo_ = &stations_[static_cast<size_t>(station)];
        if (sat != coarse_sat_) interpolate_coarse(sat);
        sample_track();
        find(track_id, out);
    }

private:
    enum Between : signed char { kGrid, kBelow, kAbove };

    struct Sample {
        index_t grid;
        double t;
        EnuState s;
        double g;        // rho sin(el - m): its sign tells above/below the minimum
        double d_up;     // distance [m] to the region above the minimum (0 inside it)
        double d_down;   // distance to the region below it (0 inside it)
        double rate;     // h (h^2 + u^2) * elevation rate: its sign
        double rho;      // range [m]
        double speed;    // Earth-fixed speed [m/s]
        double dist;     // distance [m] to the other side of the minimum
        double grad[3];  // the gradient of that distance (a unit vector)
    };

    double grid_time(index_t i) const noexcept {
        return (extra_end_ && i == grid_) ? duration_ : static_cast<double>(i) * step_;
    }

    EnuState state_at(double t) const noexcept {
        double r[3], v[3];
        interpolate(table_, *traj_, t, r, v);
        return to_enu(*geo_, r, v);
    }

    Sample sample(index_t i) const noexcept { return sample(i, state_at(grid_time(i))); }

    Sample sample(index_t i, const EnuState& s) const noexcept {
        Sample x;
        x.grid = i;
        x.t = grid_time(i);
        x.s = s;
        const double e = x.s.p[0], n = x.s.p[1], u = x.s.p[2];
        const double h2 = e * e + n * n;
        const double h = std::sqrt(h2);
        x.rho = std::sqrt(h2 + u * u);
        x.g = cos_m_ * u - sin_m_ * h;
        const double c = cos_m_ * h + sin_m_ * u;  // rho cos(el - m)
        // past a right angle from the cone's edge the nearest point is the station
        const double dist = c > 0.0 ? std::abs(x.g) : x.rho;
        x.d_up = x.g < 0.0 ? dist : 0.0;
        x.d_down = x.g >= 0.0 ? dist : 0.0;
        x.dist = dist;
        if (c > 0.0) {  // from the cone's edge in the vertical plane: +-grad g
            const double sign = x.g < 0.0 ? -1.0 : 1.0;
            x.grad[0] = -sign * sin_m_ * e / h;
            x.grad[1] = -sign * sin_m_ * n / h;
            x.grad[2] = sign * cos_m_;
        } else {  // from the station
            for (int k = 0; k < 3; ++k) x.grad[k] = x.s.p[k] / x.rho;
        }
        x.rate = x.s.w[2] * h2 - u * (e * x.s.w[0] + n * x.s.w[1]);
        x.speed = std::sqrt(x.s.w[0] * x.s.w[0] + x.s.w[1] * x.s.w[1] + x.s.w[2] * x.s.w[2]);
        return x;
    }

    // A bound of the satellite's acceleration relative to the Earth between
    // two samples: gravity above the surface, centrifugal and Coriolis
    // terms, with generous margins (the speed is at most the larger end
    // speed plus what the gravity adds over the interval).
    double accel_bound(const Sample& a, const Sample& b) const noexcept {
        const double dt = b.t - a.t;
        const double vmax = std::max(a.speed, b.speed);
        const double radius = std::max(a.rho, b.rho) + 6.4e6 + vmax * dt;
        return kGravityBound + kOmega * kOmega * radius + 2.0 * kOmega * (vmax + kGravityBound * dt);
    }

    // How far [m] the satellite can move relative to the Earth between two
    // samples: the larger end speed plus the acceleration bound over half
    // the interval; the interpolation tolerance is added for both ends.
    double reach(const Sample& a, const Sample& b) const noexcept {
        const double dt = b.t - a.t;
        return (std::max(a.speed, b.speed) + accel_bound(a, b) * 0.5 * dt) * dt + 2.0 * margin_;
    }

    // How far [m] the path can stray from the chord between two samples:
    // the acceleration bound times dt^2 / 8, plus the interpolation
    // tolerance for both ends.
    double bend(const Sample& a, const Sample& b) const noexcept {
        const double dt = b.t - a.t;
        return accel_bound(a, b) * dt * dt * 0.125 + 2.0 * margin_;
    }

    // A lower bound of the distance from the chord a-b to the convex side
    // of the cone (the region above the minimum when it is not negative,
    // below it otherwise), both ends outside it: along a line the distance
    // to a convex set is convex, so it lies above its tangents at the ends
    // (from the distance's gradient); NaN (no bound) at the zenith.
    static double convex_gap(const Sample& a, const Sample& b) noexcept {
        double k1 = 0.0, k2 = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double chord = b.s.p[i] - a.s.p[i];
            k1 += a.grad[i] * chord;
            k2 += b.grad[i] * chord;
        }
        // min over s in [0, 1] of max(d_a + k1 s, d_b + k2 (s - 1))
        double gap = std::min(std::max(a.dist, b.dist - k2), std::max(a.dist + k1, b.dist));
        if (k1 != k2) {
            const double s = (b.dist - k2 - a.dist) / (k1 - k2);
            if (s > 0.0 && s < 1.0) gap = std::min(gap, a.dist + k1 * s);
        }
        return gap;
    }

    // Samples between a and b (a already stored), in time order; the
    // caller stores b.
    void refine(const Sample& a, const Sample& b) {
        if (b.grid - a.grid == 1) {
            between_.push_back(kGrid);
            return;
        }
        const double r = reach(a, b);
        if (a.d_up + b.d_up > r) {
            between_.push_back(kBelow);
            return;
        }
        if (a.d_down + b.d_down > r) {
            between_.push_back(kAbove);
            return;
        }
        // Tighter, from the chord: ends on the side outside the convex
        // region need the chord's distance to it beyond the bend; ends
        // inside it, their own distances (the distance to the outside is
        // concave along the chord, which stays inside).
        const bool below_a = a.g < 0.0, below_b = b.g < 0.0;
        if (below_a == below_b) {
            const bool outside = below_a == (m_ >= 0.0);
            const double clear = outside ? convex_gap(a, b) : std::min(a.dist, b.dist);
            if (clear > bend(a, b)) {
                between_.push_back(below_a ? kBelow : kAbove);
                return;
            }
        }
        const Sample mid = sample((a.grid + b.grid) / 2);
        refine(a, mid);
        samples_.push_back(mid);
        refine(mid, b);
    }

    // The ITRF states of satellite `sat` at the coarse samples (grid points
    // 0, coarse, 2 coarse, ... and the last): every station of a satellite
    // (its tracks come one after the other) starts from the same ones.
    void interpolate_coarse(index_t sat) {
        const index_t slots = (points_ - 1 + coarse_ - 1) / coarse_ + 1;
        coarse_rv_.resize(static_cast<size_t>(6 * slots));
        for (index_t k = 0; k < slots; ++k) {
            double* rv = &coarse_rv_[static_cast<size_t>(6 * k)];
            interpolate(table_, *traj_, grid_time(std::min(k * coarse_, points_ - 1)), rv, rv + 3);
        }
        coarse_sat_ = sat;
    }

    Sample coarse_sample(index_t at) const noexcept {
        const double* rv = &coarse_rv_[static_cast<size_t>(6 * ((at + coarse_ - 1) / coarse_))];
        return sample(at, to_enu(*geo_, rv, rv + 3));
    }

    void sample_track() {
        samples_.clear();
        between_.clear();
        Sample prev = coarse_sample(0);
        samples_.push_back(prev);
        for (index_t i = coarse_;; i += coarse_) {
            const index_t at = std::min(i, points_ - 1);
            if (at == prev.grid) break;
            const Sample next = coarse_sample(at);
            refine(prev, next);
            samples_.push_back(next);
            prev = next;
        }
    }

    // The first guess of a root in [a, b] from the ends' cubic Hermite
    // interpolant of the elevation: of el - m (maximum false) or of the
    // rate (maximum true).
    double guess(bool maximum, double a, double b, double ya, double yb, double ga, double gb) const noexcept {
        const double h = b - a;
        const double sa = ga * h, sb = gb * h;
        // el(s) = c0 + c1 s + c2 s^2 + c3 s^3 on s in [0, 1]
        const double c0 = ya, c1 = sa;
        const double c2 = 3.0 * (yb - ya) - 2.0 * sa - sb;
        const double c3 = 2.0 * (ya - yb) + sa + sb;
        double s;
        if (!maximum) {
            s = std::clamp(yb != ya ? (m_ - ya) / (yb - ya) : 0.5, 0.0, 1.0);
            for (int k = 0; k < 4; ++k) {
                const double val = c0 + s * (c1 + s * (c2 + s * c3)) - m_;
                const double der = c1 + s * (2.0 * c2 + s * 3.0 * c3);
                s = std::clamp(der != 0.0 ? s - val / der : s, 0.0, 1.0);
            }
        } else {
            const double qa = 3.0 * c3, qb = 2.0 * c2, qc = c1;
            const double disc = std::sqrt(std::max(qb * qb - 4.0 * qa * qc, 0.0));
            const double r1 = qa != 0.0 ? (-qb - disc) / (2.0 * qa) : (qb != 0.0 ? -qc / qb : 0.5);
            const double r2 = qa != 0.0 ? (-qb + disc) / (2.0 * qa) : r1;
            s = (r1 >= 0.0 && r1 <= 1.0) ? r1 : ((r2 >= 0.0 && r2 <= 1.0) ? r2 : 0.5);
        }
        if (!std::isfinite(s)) s = 0.5;
        return a + s * h;
    }

    // The root in [a, b] of el - m (maximum false) or of the elevation rate
    // (maximum true); ya, yb, ga, gb are the elevation and its rate at the
    // ends, which bracket the root. Newton steps (on the rate, with its
    // slope from a forward difference), kept inside the shrinking bracket
    // (bisection when a step leaves it). Returns the root, the elevation
    // there and the slope of the function solved at the root.
    void solve(bool maximum, double a, double b, double ya, double yb, double ga, double gb, double& root,
               double& el_root, double& slope_root) const noexcept {
        double fb = maximum ? gb : yb - m_;
        double c = guess(maximum, a, b, ya, yb, ga, gb);
        const double tol = maximum ? 10.0 * kTolerance : kTolerance;
        for (int it = 0;; ++it) {
            double el, eldot;
            elevation(state_at(c), el, eldot);
            double slope = eldot;
            if (maximum) {
                double el2, eldot2;
                elevation(state_at(c + kDiffStep), el2, eldot2);
                slope = (eldot2 - eldot) / kDiffStep;
            }
            const double f = maximum ? eldot : el - m_;
            // c replaces the end whose sign it shares
            if ((f > 0.0) == (fb > 0.0)) {
                b = c;
                fb = f;
            } else {
                a = c;
            }
            double next = c - f / slope;
            if (!(std::isfinite(next) && next > a && next < b)) next = 0.5 * (a + b);
            if (f == 0.0 || std::abs(next - c) < tol || b - a < tol || it == kMaxIterations - 1) {
                root = c;
                el_root = el;
                slope_root = slope;
                return;
            }
            c = next;
        }
    }

    void find(index_t track_id, std::vector<Event>& out) {
        const size_t n = samples_.size();
        look_el_.resize(n);
        look_rate_.resize(n);
        looked_.assign(n, 0);
        // The elevation (an arc tangent) and its rate of a sample, computed
        // when first needed: most samples only tell their side.
        auto el = [&](size_t i) {
            if (!looked_[i]) {
                elevation(samples_[i].s, look_el_[i], look_rate_[i]);
                looked_[i] = 1;
            }
            return look_el_[i];
        };
        auto rate = [&](size_t i) {
            el(i);
            return look_rate_[i];
        };
        auto below = [&](size_t i) { return samples_[i].g < 0.0; };
        // Crossings of the minimum between consecutive samples, refined.
        cross_.assign(n, std::numeric_limits<double>::quiet_NaN());
        double unused, unused_slope;
        for (size_t i = 0; i + 1 < n; ++i) {
            if (below(i) != below(i + 1)) {
                solve(false, samples_[i].t, samples_[i + 1].t, el(i), el(i + 1), rate(i), rate(i + 1), cross_[i],
                      unused, unused_slope);
            }
        }
        // Maxima: between samples (not in intervals proven below the
        // minimum), then a pass under way at the start or at the end of the
        // span, whose highest point is that edge.
        maxima_.clear();
        for (size_t i = 0; i + 1 < n; ++i) {
            if (between_[i] != kBelow && samples_[i].rate > 0.0 && samples_[i + 1].rate <= 0.0) {
                Max x{0.0, 0.0, false, 0.0};
                solve(true, samples_[i].t, samples_[i + 1].t, el(i), el(i + 1), rate(i), rate(i + 1), x.t, x.el,
                      x.curvature);
                maxima_.push_back(x);
            }
        }
        const double nan = std::numeric_limits<double>::quiet_NaN();
        if (!below(0) && samples_[0].rate <= 0.0) maxima_.push_back({samples_[0].t, el(0), true, nan});
        if (n > 1 && !below(n - 1) && samples_[n - 1].rate >= 0.0) {
            maxima_.push_back({samples_[n - 1].t, el(n - 1), true, nan});
        }
        // The last sample below the minimum before each maximum and the
        // first after it bound its pass (-1: none, the pass runs past the
        // span); one pass per pair of bounds, its highest maximum.
        chosen_.clear();
        for (const Max& x : maxima_) {
            if (!(x.el >= m_)) continue;
            index_t lo = -1, hi = -1;
            for (size_t i = 0; i < n && samples_[i].t <= x.t; ++i) {
                if (below(i)) lo = static_cast<index_t>(i);
            }
            for (size_t i = n; i-- > 0 && samples_[i].t >= x.t;) {
                if (below(i)) hi = static_cast<index_t>(i);
            }
            bool merged = false;
            for (Chosen& c : chosen_) {
                if (c.lo == lo && c.hi == hi) {
                    if (x.el > c.x.el) c.x = x;
                    merged = true;
                    break;
                }
            }
            if (!merged) chosen_.push_back({x, lo, hi});
        }
        std::sort(chosen_.begin(), chosen_.end(), [](const Chosen& a, const Chosen& b) { return a.x.t < b.x.t; });
        for (const Chosen& c : chosen_) {
            Event ev{track_id, nan, nan, c.x.t, c.x.el, c.x.edge, c.x.curvature};
            if (c.lo >= 0) {
                const size_t k = static_cast<size_t>(c.lo);
                if (k + 1 < n && samples_[k + 1].t <= c.x.t) {
                    ev.rise = cross_[k];
                } else {  // a maximum between two samples below the minimum
                    solve(false, samples_[k].t, c.x.t, el(k), c.x.el, rate(k), 0.0, ev.rise, unused, unused_slope);
                }
            }
            if (c.hi >= 0) {
                const size_t k = static_cast<size_t>(c.hi);
                if (k >= 1 && samples_[k - 1].t >= c.x.t) {
                    ev.set = cross_[k - 1];
                } else {
                    solve(false, c.x.t, samples_[k].t, c.x.el, el(k), 0.0, rate(k), ev.set, unused, unused_slope);
                }
            }
            out.push_back(ev);
        }
    }

    struct Max {
        double t;
        double el;
        bool edge;
        double curvature;  // the elevation rate's slope [rad/s^2]
    };
    struct Chosen {
        Max x;
        index_t lo;
        index_t hi;
    };

    core::Strided2D<double> table_;
    std::span<const Trajectory> sats_;
    std::span<const StationGeometry> stations_;
    double duration_, step_, m_, sin_m_, cos_m_, margin_;
    index_t grid_ = 0, points_ = 0, coarse_ = 1;
    bool extra_end_ = false;
    const Trajectory* traj_ = nullptr;
    index_t coarse_sat_ = -1;
    std::vector<double> coarse_rv_;  // 6 per coarse sample: ITRF position, velocity
    const StationGeometry* geo_ = nullptr;
    // per track, reused
    std::vector<Sample> samples_;
    std::vector<signed char> between_;
    std::vector<double> look_el_, look_rate_, cross_;
    std::vector<char> looked_;
    std::vector<Max> maxima_;
    std::vector<Chosen> chosen_;
};

}  // namespace velarion::passes::kernels

#endif
