// Candidate search of the conjunction screening (no Python).
//
// The states of every object are known at coarse samples t_k = k * step;
// between two samples the object's path is taken as the cubic Hermite
// interpolant H of the end positions and velocities, which is within a
// known bound E_i of the true path (the caller proves and supplies it). A
// coarse interval is cut into `substeps` segments; a segment of a pair is a
// candidate when the distance from the origin to the chord of the pair's
// relative interpolant over it is at most
//     threshold + E_i + E_j + (M_i + M_j) / (8 L^2),
// M the largest second derivative of an object's cubic over the interval
// (in s = (t - t_k) / step; the cubic's distance from its chord over a
// segment of length 1/L is at most M / (8 L^2)). Every segment that holds
// a true distance below the threshold is therefore a candidate.
//
// All-vs-all: per segment, the chord midpoints of the objects go into a
// hash grid of cell size threshold + 2 H, h_i = E_i + M_i/(8 L^2) + D_i/2
// (D_i the object's chord length) and H the largest h_i of all but the
// widest few objects: a candidate pair's midpoints are at most threshold +
// h_i + h_j apart (the relative chord lies within (D_i + D_j)/2 of its
// midpoint), so a pair of objects with h <= H lies in one cell or in two
// neighbouring cells. The widest objects (fast, eccentric or loosely
// bounded orbits, which would make every cell huge) are tested against
// every other object directly.
// With primaries: each primary against every other object, and a coarse
// interval is first tested as one segment (L = 1), which drops most pairs;
// with many primaries (Settings::primary_grid) the hash grid of all-vs-all,
// keeping the pairs with a primary, costs less than that loop.
// An object may stop before the last sample (the model failed there): it
// takes part in the intervals that end at or before its last valid sample.
#ifndef VELARION_CONJUNCTIONS_KERNELS_SCREEN_HPP
#define VELARION_CONJUNCTIONS_KERNELS_SCREEN_HPP

#include "velarion/_core/parallel.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velarion::conjunctions::kernels {

using index_t = std::ptrdiff_t;

struct Candidate {
    std::int32_t i, j;     // objects, i < j
    std::int64_t segment;  // k * substeps + l: segment l of coarse interval k
};

struct Catalogue {
    const double* r = nullptr;              // (n, m, 3) positions [m], C order
    const double* v = nullptr;              // (n, m, 3) velocities [m/s]
    index_t n = 0;                          // objects
    index_t m = 0;                          // samples (m - 1 intervals)
    const double* bound = nullptr;          // (n) E_i [m]
    const double* r_min = nullptr;          // (n) lowest radius over the span [m]
    const double* r_max = nullptr;          // (n) highest radius [m]
    const std::uint8_t* primary = nullptr;  // (n) or nullptr: all-vs-all
    const std::int64_t* until = nullptr;    // (n) samples valid from the first, or nullptr: all m
};

struct Settings {
    double step = 0.0;  // [s]
    int substeps = 1;   // L
    double threshold = 0.0;
    bool primary_grid = false;     // with primaries: the hash grid, pairs without a primary dropped
    std::size_t limit = SIZE_MAX;  // candidates of one worker: past it the worker stops (see overflow)
};

// Largest |d^4 r / dt^4| of two-body motion (gravitational parameter mu)
// on the ellipse (a, e), from kSnapPoints points evenly spaced in
// eccentric anomaly (denser in time near perigee, where it peaks).
inline constexpr int kSnapPoints = 256;

struct SnapTable {
    double cos_e[kSnapPoints], sin_e[kSnapPoints];
    SnapTable() noexcept {
        for (int k = 0; k < kSnapPoints; ++k) {
            const double ecc_anomaly = 2.0 * 3.14159265358979323846 * k / kSnapPoints;
            cos_e[k] = std::cos(ecc_anomaly);
            sin_e[k] = std::sin(ecc_anomaly);
        }
    }
};

inline double two_body_snap(const SnapTable& table, double a, double e, double mu) noexcept {
    const double n = std::sqrt(mu / (a * a * a));
    const double b = a * std::sqrt(1.0 - e * e);
    double largest2 = 0.0;
    for (int k = 0; k < kSnapPoints; ++k) {
        const double cos_e = table.cos_e[k], sin_e = table.sin_e[k];
        const double rad = a * (1.0 - e * cos_e);
        const double inv = 1.0 / rad;
        const double r[2] = {a * (cos_e - e), b * sin_e};
        const double v[2] = {-a * n * sin_e / (1.0 - e * cos_e), b * n * cos_e / (1.0 - e * cos_e)};
        const double rdot = (r[0] * v[0] + r[1] * v[1]) * inv;
        const double v2 = v[0] * v[0] + v[1] * v[1];
        const double u = mu * inv * inv * inv;
        const double u1 = -3.0 * u * rdot * inv;
        const double rddot = (v2 - rdot * rdot) * inv - u * rad;
        const double u2 = 12.0 * u * rdot * rdot * inv * inv - 3.0 * u * rddot * inv;
        double snap2 = 0.0;
        for (int x = 0; x < 2; ++x) {
            const double snap = -u2 * r[x] - 2.0 * u1 * v[x] + u * u * r[x];
            snap2 += snap * snap;
        }
        largest2 = std::max(largest2, snap2);
    }
    return std::sqrt(largest2);
}

// Cubic Hermite interpolant of one object over one interval, in s in [0, 1]:
// p(s) = c0 + c1 s + c2 s^2 + c3 s^3.
struct Cubic {
    double c[4][3];
    double curvature;  // max |p''(s)| over [0, 1] (at an end: p'' is linear)

    void set(const double* p0, const double* v0, const double* p1, const double* v1, double step) noexcept {
        double a2 = 0.0, b2 = 0.0;
        for (int x = 0; x < 3; ++x) {
            const double d = p1[x] - p0[x];
            c[0][x] = p0[x];
            c[1][x] = step * v0[x];
            c[2][x] = 3.0 * d - step * (2.0 * v0[x] + v1[x]);
            c[3][x] = -2.0 * d + step * (v0[x] + v1[x]);
            const double at0 = 2.0 * c[2][x];
            const double at1 = at0 + 6.0 * c[3][x];
            a2 += at0 * at0;
            b2 += at1 * at1;
        }
        curvature = std::sqrt(std::max(a2, b2));
    }
    void at(double s, double* out) const noexcept {
        for (int x = 0; x < 3; ++x) out[x] = c[0][x] + s * (c[1][x] + s * (c[2][x] + s * c[3][x]));
    }
};

// Distance from the origin to the segment [a, b].
inline double segment_distance(const double* a, const double* b) noexcept {
    const double d[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    double s = 0.0;
    if (dd > 0.0) s = std::clamp(-(a[0] * d[0] + a[1] * d[1] + a[2] * d[2]) / dd, 0.0, 1.0);
    const double x = a[0] + s * d[0], y = a[1] + s * d[1], z = a[2] + s * d[2];
    return std::sqrt(x * x + y * y + z * z);
}

inline bool shells_meet(const Catalogue& cat, index_t i, index_t j, double threshold) noexcept {
    return cat.r_min[j] <= cat.r_max[i] + threshold && cat.r_min[i] <= cat.r_max[j] + threshold;
}

// Open-addressing table from a grid cell to the run of objects in it.
class CellGrid {
public:
    void build(const double* mid, index_t n, double cell) {
        inv_ = 1.0 / cell;
        keys_.resize(n);
        order_.resize(n);
        for (index_t i = 0; i < n; ++i) {
            keys_[i] = key_of(cell_of(mid[3 * i]), cell_of(mid[3 * i + 1]), cell_of(mid[3 * i + 2]));
            order_[i] = static_cast<std::int32_t>(i);
        }
        std::sort(order_.begin(), order_.end(), [&](std::int32_t a, std::int32_t b) {
            return keys_[a] < keys_[b] || (keys_[a] == keys_[b] && a < b);
        });
        std::size_t capacity = 16;
        while (capacity < 2 * static_cast<std::size_t>(n)) capacity *= 2;
        mask_ = capacity - 1;
        slot_key_.assign(capacity, kEmpty);
        runs_.clear();
        slot_begin_.resize(capacity);
        slot_end_.resize(capacity);
        index_t a = 0;
        while (a < n) {
            index_t b = a + 1;
            const std::uint64_t k = keys_[order_[a]];
            while (b < n && keys_[order_[b]] == k) ++b;
            std::size_t slot = hash(k) & mask_;
            while (slot_key_[slot] != kEmpty) slot = (slot + 1) & mask_;
            slot_key_[slot] = k;
            slot_begin_[slot] = static_cast<std::int32_t>(a);
            slot_end_[slot] = static_cast<std::int32_t>(b);
            runs_.push_back({k, static_cast<std::int32_t>(a), static_cast<std::int32_t>(b)});
            a = b;
        }
    }

    // Calls f(i, j) once for every pair of objects in the same cell or in
    // neighbouring cells (each pair once, in either order).
    template <class F>
    void pairs(F&& f) const {
        for (const Run& run : runs_) {
            const std::int64_t cx = static_cast<std::int64_t>(run.key >> 42) - kBias;
            const std::int64_t cy = static_cast<std::int64_t>((run.key >> 21) & kField) - kBias;
            const std::int64_t cz = static_cast<std::int64_t>(run.key & kField) - kBias;
            for (std::int32_t p = run.begin; p < run.end; ++p)
                for (std::int32_t q = p + 1; q < run.end; ++q) f(order_[p], order_[q]);
            // The 13 neighbours after this cell in (x, y, z) order: each
            // neighbouring pair of cells is visited once.
            for (int offset = 14; offset < 27; ++offset) {
                const std::uint64_t k = key_of(cx + offset / 9 - 1, cy + (offset / 3) % 3 - 1, cz + offset % 3 - 1);
                std::size_t slot = hash(k) & mask_;
                while (slot_key_[slot] != kEmpty && slot_key_[slot] != k) slot = (slot + 1) & mask_;
                if (slot_key_[slot] == kEmpty) continue;
                for (std::int32_t p = run.begin; p < run.end; ++p)
                    for (std::int32_t q = slot_begin_[slot]; q < slot_end_[slot]; ++q) f(order_[p], order_[q]);
            }
        }
    }

private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    static constexpr std::int64_t kBias = std::int64_t{1} << 20;
    static constexpr std::uint64_t kField = (std::uint64_t{1} << 21) - 1;
    struct Run {
        std::uint64_t key;
        std::int32_t begin, end;
    };

    std::int64_t cell_of(double x) const noexcept {
        // Indices stay well inside 21 bits for any orbit around the Earth;
        // clamping keeps far objects correct (they share edge cells, tested
        // like any other neighbour).
        double c = std::floor(x * inv_);
        if (!(c > -double(kBias - 2))) c = -double(kBias - 2);  // NaN too
        if (!(c < double(kBias - 2))) c = double(kBias - 2);
        return static_cast<std::int64_t>(c);
    }
    static std::uint64_t key_of(std::int64_t x, std::int64_t y, std::int64_t z) noexcept {
        return (static_cast<std::uint64_t>(x + kBias) << 42) | (static_cast<std::uint64_t>(y + kBias) << 21) |
               static_cast<std::uint64_t>(z + kBias);
    }
    static std::size_t hash(std::uint64_t k) noexcept {
        k ^= k >> 31;
        k *= 0x9e3779b97f4a7c15ULL;
        return static_cast<std::size_t>(k ^ (k >> 29));
    }

    double inv_ = 1.0;
    std::vector<std::uint64_t> keys_;
    std::vector<std::int32_t> order_;
    std::size_t mask_ = 0;
    std::vector<std::uint64_t> slot_key_;
    std::vector<std::int32_t> slot_begin_, slot_end_;
    std::vector<Run> runs_;
};

// The work of one thread: coarse intervals [k0, k1), with buffers reused
// from interval to interval.
class IntervalScreen {
public:
    IntervalScreen(const Catalogue& cat, const Settings& set) : cat_(cat), set_(set) {}

    void run(index_t k0, index_t k1, std::vector<Candidate>& out, const core::StopFlag* stop = nullptr) {
        const index_t n = cat_.n;
        cubic_.resize(n);
        if (cat_.primary && !set_.primary_grid) {
            for (index_t k = k0; k < k1 && !(stop && stop->raised()) && out.size() <= set_.limit; ++k)
                primaries(k, out);
            return;
        }
        const int L = set_.substeps;
        node_.resize(2 * 3 * n);
        mid_.resize(3 * n);
        reach_.resize(n);
        base_.resize(n);
        active_.resize(n);
        narrow_.resize(n);
        narrow_mid_.resize(3 * n);
        for (index_t k = k0; k < k1 && !(stop && stop->raised()) && out.size() <= set_.limit; ++k) {
            load(k);
            // The objects valid over the interval, packed: rows of node_,
            // mid_, reach_ and base_ follow active_.
            index_t na = 0;
            for (index_t i = 0; i < n; ++i)
                if (valid(i, k)) active_[na++] = static_cast<std::int32_t>(i);
            if (na < 2) continue;
            for (index_t p = 0; p < na; ++p) {
                const index_t i = active_[p];
                cubic_[i].at(0.0, &node_[3 * p]);
                base_[p] = cat_.bound[i] + cubic_[i].curvature / (8.0 * L * L);
            }
            for (int l = 0; l < L; ++l) {
                double* a = &node_[(l % 2) * 3 * n];
                double* b = &node_[((l + 1) % 2) * 3 * n];
                double widest = 0.0;
                for (index_t p = 0; p < na; ++p) {
                    cubic_[active_[p]].at(double(l + 1) / L, &b[3 * p]);
                    double chord2 = 0.0;
                    for (int x = 0; x < 3; ++x) {
                        mid_[3 * p + x] = 0.5 * (a[3 * p + x] + b[3 * p + x]);
                        const double d = b[3 * p + x] - a[3 * p + x];
                        chord2 += d * d;
                    }
                    reach_[p] = base_[p] + 0.5 * std::sqrt(chord2);
                    widest = std::max(widest, reach_[p]);
                }
                // H: the reach below which all but the widest objects lie.
                double cut = widest;
                const index_t keep = na - std::min<index_t>(na / kWideShare, kMaxWide);
                if (keep < na) {
                    scratch_.assign(reach_.begin(), reach_.begin() + na);
                    std::nth_element(scratch_.begin(), scratch_.begin() + (keep - 1), scratch_.end());
                    cut = scratch_[keep - 1];
                }
                index_t nn = 0;
                wide_.clear();
                for (index_t p = 0; p < na; ++p) {
                    if (reach_[p] <= cut) {
                        narrow_[nn] = static_cast<std::int32_t>(p);
                        for (int x = 0; x < 3; ++x) narrow_mid_[3 * nn + x] = mid_[3 * p + x];
                        ++nn;
                    } else {
                        wide_.push_back(static_cast<std::int32_t>(p));
                    }
                }
                const std::int64_t segment = k * L + l;
                auto test = [&](std::int32_t p0, std::int32_t q0) {
                    const std::int32_t p = std::min(p0, q0), q = std::max(p0, q0);
                    const std::int32_t i = active_[p], j = active_[q];  // increasing with p, q
                    if (cat_.primary && !cat_.primary[i] && !cat_.primary[j]) return;
                    if (!shells_meet(cat_, i, j, set_.threshold)) return;
                    double dm2 = 0.0;
                    for (int x = 0; x < 3; ++x) {
                        const double d = mid_[3 * q + x] - mid_[3 * p + x];
                        dm2 += d * d;
                    }
                    const double reach = set_.threshold + reach_[p] + reach_[q];
                    if (dm2 > reach * reach) return;
                    double ra[3], rb[3];
                    for (int x = 0; x < 3; ++x) {
                        ra[x] = a[3 * q + x] - a[3 * p + x];
                        rb[x] = b[3 * q + x] - b[3 * p + x];
                    }
                    if (segment_distance(ra, rb) <= set_.threshold + base_[p] + base_[q])
                        if (out.size() <= set_.limit) out.push_back({i, j, segment});
                };
                grid_.build(narrow_mid_.data(), nn, set_.threshold + 2.0 * cut);
                grid_.pairs([&](std::int32_t p0, std::int32_t q0) { test(narrow_[p0], narrow_[q0]); });
                // Each wide object against every other (a wide pair once).
                for (std::size_t w = 0; w < wide_.size(); ++w) {
                    const std::int32_t p = wide_[w];
                    for (index_t q = 0; q < na; ++q)
                        if (q != p && (reach_[q] <= cut || q > p)) test(p, static_cast<std::int32_t>(q));
                }
            }
        }
    }

private:
    // Object i has valid states at both ends of interval k.
    bool valid(index_t i, index_t k) const noexcept { return !cat_.until || k + 1 < cat_.until[i]; }

    void load(index_t k) noexcept {
        const index_t m = cat_.m;
        for (index_t i = 0; i < cat_.n; ++i) {
            if (!valid(i, k)) continue;
            const double* r0 = cat_.r + 3 * (i * m + k);
            const double* v0 = cat_.v + 3 * (i * m + k);
            cubic_[i].set(r0, v0, r0 + 3, v0 + 3, set_.step);
        }
    }

    // Each primary against every other object over interval k: the interval
    // as one segment first, then its L segments.
    void primaries(index_t k, std::vector<Candidate>& out) {
        load(k);
        const int L = set_.substeps;
        for (index_t p = 0; p < cat_.n; ++p) {
            if (!cat_.primary[p] || !valid(p, k)) continue;
            const Cubic& cp = cubic_[p];
            for (index_t q = 0; q < cat_.n; ++q) {
                if (q == p || (cat_.primary[q] && q < p) || !valid(q, k) || !shells_meet(cat_, p, q, set_.threshold))
                    continue;
                const Cubic& cq = cubic_[q];
                const double bound = set_.threshold + cat_.bound[p] + cat_.bound[q];
                double a[3], b[3], pa[3], qa[3];
                for (int x = 0; x < 3; ++x) {
                    a[x] = cq.c[0][x] - cp.c[0][x];
                    b[x] = (cq.c[0][x] + cq.c[1][x] + cq.c[2][x] + cq.c[3][x]) -
                           (cp.c[0][x] + cp.c[1][x] + cp.c[2][x] + cp.c[3][x]);
                }
                const double bend = cp.curvature + cq.curvature;
                if (segment_distance(a, b) > bound + bend / 8.0) continue;
                const double fine = bound + bend / (8.0 * L * L);
                const auto i = static_cast<std::int32_t>(std::min(p, q));
                const auto j = static_cast<std::int32_t>(std::max(p, q));
                for (int l = 0; l < L; ++l) {
                    cp.at(double(l + 1) / L, pa);
                    cq.at(double(l + 1) / L, qa);
                    for (int x = 0; x < 3; ++x) b[x] = qa[x] - pa[x];
                    if (segment_distance(a, b) <= fine && out.size() <= set_.limit) out.push_back({i, j, k * L + l});
                    for (int x = 0; x < 3; ++x) a[x] = b[x];
                }
            }
        }
    }

    const Catalogue& cat_;
    const Settings& set_;
    std::vector<Cubic> cubic_;
    std::vector<double> node_, mid_, reach_, base_;
    std::vector<std::int32_t> active_, narrow_, wide_;
    std::vector<double> narrow_mid_, scratch_;
    // At most one object in kWideShare, and kMaxWide, is tested directly.
    static constexpr index_t kWideShare = 100;
    static constexpr index_t kMaxWide = 16;
    CellGrid grid_;
};

// The candidates of the intervals of one worker, appended to `found`, with
// the stop flag tested between intervals.
inline void screen_range(const Catalogue& cat, const Settings& set, index_t begin, index_t end,
                         std::vector<Candidate>& found, const core::StopFlag* stop = nullptr) {
    IntervalScreen(cat, set).run(begin, end, found, stop);
}

inline std::vector<Candidate> merge_found(std::vector<std::vector<Candidate>>& found) {
    if (found.size() == 1) return std::move(found[0]);
    std::size_t total = 0;
    for (auto& f : found) total += f.size();
    std::vector<Candidate> all;
    all.reserve(total);
    for (auto& f : found) all.insert(all.end(), f.begin(), f.end());
    return all;
}

// Candidate segments of all intervals, on `threads` threads (each a range
// of intervals), in order of interval.
inline std::vector<Candidate> screen(const Catalogue& cat, const Settings& set, int threads) {
    const index_t intervals = std::max<index_t>(cat.m - 1, 0);
    std::vector<std::vector<Candidate>> found(static_cast<std::size_t>(core::worker_count(intervals, threads)));
    core::parallel_ranges(intervals, threads, [&](index_t w, index_t begin, index_t end) {
        screen_range(cat, set, begin, end, found[static_cast<std::size_t>(w)]);
    });
    return merge_found(found);
}

}  // namespace velarion::conjunctions::kernels

#endif
