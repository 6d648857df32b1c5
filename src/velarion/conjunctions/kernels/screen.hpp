// Candidate search of the conjunction screening (no Python).
//
// The states of every object are known at coarse samples t_k = k * step;
// between two samples the object's path is taken as the cubic Hermite
// interpolant H of the end positions and velocities, which is within a
// known bound E_i of the true path (the caller proves and supplies it). A
// coarse interval is cut into `substeps` segments; a segment of a pair is
// looked at when the distance from the origin to the chord of the pair's
// relative interpolant over it is at most
//     threshold + E_i + E_j + (M_i + M_j) / (8 L^2),
// M the largest second derivative of an object's cubic over the interval
// (in s = (t - t_k) / step; the cubic's distance from its chord over a
// segment of length 1/L is at most M / (8 L^2)), and is a candidate when
// the chord of one of its kTightPieces pieces passes the same test with
// the piece's smaller curvature term (pieces_meet). Every segment that
// holds a true distance below the threshold is therefore a candidate.
//
// All-vs-all: a segment's chords are cut into K pieces (Settings::pieces:
// s in [k/K, (k+1)/K] of each chord), and piece by piece the piece
// midpoints of the objects go into a grid of cell size threshold +
// 2 H, h_i = E_i + M_i/(8 L^2) + D_i/(2K) (D_i the object's chord length)
// and H the largest h_i of all but the widest few objects. A pair is
// tested with the piece k that holds s*, the point of the relative chord
// nearest the origin: there the relative chord is at most threshold + E_i
// + E_j + (M_i + M_j)/(8 L^2) from the origin for a candidate, and the
// relative piece midpoint at most (D_i + D_j)/(2K) from that point, so the
// piece midpoints are at most threshold + h_i + h_j apart and a pair of
// objects with h <= H lies in one cell or in two neighbouring cells of
// that piece's grid. Each candidate is so found once, with the chord test
// of the whole segment. Shorter pieces make far smaller cells (the chords
// dominate h) for the price of K grids a segment; the segments themselves
// stay long (fewer refinements). The widest objects (fast, eccentric or
// loosely bounded orbits, which would make every cell huge) are tested
// against every other object directly, once a segment.
// With primaries: each primary against every other object, and a coarse
// interval is first tested as one segment (L = 1), which drops most pairs;
// with many primaries (Settings::primary_grid) the grid of all-vs-all,
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

// Pieces of a segment's chords (K): on a window of the real-like catalogue
// of 15,000 objects, 2 pieces took the fewest instructions (1 : 2 : 3 : 4
// pieces as 1.33 : 1 : 1.01 : 1.10).
inline constexpr int kPieces = 2;

struct Settings {
    double step = 0.0;  // [s]
    int substeps = 1;   // L
    double threshold = 0.0;
    bool primary_grid = false;     // with primaries: the grid, pairs without a primary dropped
    int pieces = kPieces;          // K: grids a segment (see above)
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

// Distance from the origin to the segment [a, b], and in `at` the point's
// parameter s in [0, 1] (a + s (b - a)).
inline double segment_distance(const double* a, const double* b, double& at) noexcept {
    const double d[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const double dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    double s = 0.0;
    if (dd > 0.0) s = std::clamp(-(a[0] * d[0] + a[1] * d[1] + a[2] * d[2]) / dd, 0.0, 1.0);
    const double x = a[0] + s * d[0], y = a[1] + s * d[1], z = a[2] + s * d[2];
    at = s;
    return std::sqrt(x * x + y * y + z * z);
}

inline double segment_distance(const double* a, const double* b) noexcept {
    double at;
    return segment_distance(a, b, at);
}

// The chord test again on kTightPieces chords of the segment [s0, s1] of
// an interval (in s): the cubics depart from the chord of a piece of
// length h by at most M h^2 / 8, so a piece whose relative chord is farther
// than `bound` (threshold + E_i + E_j) + (M_i + M_j) h^2 / 8 from the
// origin holds no true distance below the threshold. Run on the pairs the
// segment's chord keeps, it drops most of the near misses that its larger
// curvature term lets through, before they cost a refinement.
inline constexpr int kTightPieces = 4;

inline bool pieces_meet(const Cubic& ci, const Cubic& cj, double s0, double s1, double bound) noexcept {
    const double h = (s1 - s0) / kTightPieces;
    const double limit = bound + (ci.curvature + cj.curvature) * h * h / 8.0;
    double a[3], b[3], pi[3], pj[3];
    ci.at(s0, pi);
    cj.at(s0, pj);
    for (int x = 0; x < 3; ++x) a[x] = pj[x] - pi[x];
    for (int k = 1; k <= kTightPieces; ++k) {
        const double s = k == kTightPieces ? s1 : s0 + k * h;
        ci.at(s, pi);
        cj.at(s, pj);
        for (int x = 0; x < 3; ++x) b[x] = pj[x] - pi[x];
        if (segment_distance(a, b) <= limit) return true;
        for (int x = 0; x < 3; ++x) a[x] = b[x];
    }
    return false;
}

inline bool shells_meet(const Catalogue& cat, index_t i, index_t j, double threshold) noexcept {
    return cat.r_min[j] <= cat.r_max[i] + threshold && cat.r_min[i] <= cat.r_max[j] + threshold;
}

// Objects sorted by grid cell, (x, y, z) in lexicographic order, in runs
// of one cell each. A cell's 13 neighbours after it are the next cell of
// its column (z + 1) and the z - 1 .. z + 1 ranges of four columns; adding
// a fixed offset keeps the order, so each of those ranges is found by a
// cursor that only moves forward over the runs: no hashing, and the runs
// are read in order. The key of a cell is x sx + y sy + z less the key of
// the lowest cell, in the box of the occupied cells widened by two cells
// on every side (neighbours' keys never leave it), so it takes few bits
// and a radix sort of a few passes orders the objects.
class CellGrid {
public:
    // Objects at mid (n rows of 3) with reaches h, in cells of size `cell`;
    // pairs() reports the pairs whose points are within gap + h_i + h_j.
    void build(const double* mid, const double* reach, index_t n, double cell, double gap) {
        inv_ = 1.0 / cell;
        gap_ = gap;
        runs_.clear();
        point_.resize(n);
        if (n == 0) return;
        cells_.resize(3 * n);
        std::int64_t lo[3], hi[3];
        for (int x = 0; x < 3; ++x) lo[x] = hi[x] = cell_of(mid[x]);
        for (index_t i = 0; i < n; ++i) {
            for (int x = 0; x < 3; ++x) {
                const std::int64_t c = cell_of(mid[3 * i + x]);
                cells_[3 * i + x] = c;
                lo[x] = std::min(lo[x], c);
                hi[x] = std::max(hi[x], c);
            }
        }
        // Extents of the widened box; cell_of keeps each at most 2^21 + 1,
        // so their product, the largest key, stays below 2^64.
        std::uint64_t extent[3];
        for (int x = 0; x < 3; ++x) {
            lo[x] -= 2;
            extent[x] = static_cast<std::uint64_t>(hi[x] + 2 - lo[x] + 1);
        }
        stride_y_ = extent[2];
        stride_x_ = extent[1] * extent[2];
        entries_.resize(n);
        std::uint64_t largest = 0;
        for (index_t i = 0; i < n; ++i) {
            const std::uint64_t key = static_cast<std::uint64_t>(cells_[3 * i] - lo[0]) * stride_x_ +
                                      static_cast<std::uint64_t>(cells_[3 * i + 1] - lo[1]) * stride_y_ +
                                      static_cast<std::uint64_t>(cells_[3 * i + 2] - lo[2]);
            entries_[i] = {key, static_cast<std::int32_t>(i)};
            largest = std::max(largest, key);
        }
        radix_sort(largest);
        // The points in cell order, packed: the pair loops read them in order.
        index_t a = 0;
        while (a < n) {
            index_t b = a;
            const std::uint64_t k = entries_[a].key;
            for (; b < n && entries_[b].key == k; ++b) {
                const std::int32_t i = entries_[b].object;
                point_[b] = {mid[3 * i], mid[3 * i + 1], mid[3 * i + 2], reach[i], i};
            }
            runs_.push_back({k, static_cast<std::int32_t>(a), static_cast<std::int32_t>(b)});
            a = b;
        }
    }

    // Calls f(i, j) once for every pair of objects in the same cell or in
    // neighbouring cells (each pair once, in either order) whose points are
    // within gap + h_i + h_j.
    template <class F>
    void pairs(F&& f) const {
        // Columns (dx, dy) after this one: (0, 1), (1, -1), (1, 0), (1, 1).
        static constexpr int kColumns[4][2] = {{0, 1}, {1, -1}, {1, 0}, {1, 1}};
        std::uint64_t shift[4];
        for (int c = 0; c < 4; ++c) shift[c] = column_offset(kColumns[c][0], kColumns[c][1]);
        std::size_t cursor[4] = {0, 0, 0, 0};
        const std::size_t runs = runs_.size();
        for (std::size_t r = 0; r < runs; ++r) {
            const Run& run = runs_[r];
            for (std::int32_t p = run.begin; p < run.end; ++p) near(p, p + 1, run.end, f);
            if (r + 1 < runs && runs_[r + 1].key == run.key + 1) cross(run, runs_[r + 1], f);
            for (int c = 0; c < 4; ++c) {
                const std::uint64_t lo = run.key + shift[c] - 1, hi = run.key + shift[c] + 1;
                std::size_t& at = cursor[c];
                while (at < runs && runs_[at].key < lo) ++at;
                for (std::size_t t = at; t < runs && runs_[t].key <= hi; ++t) cross(run, runs_[t], f);
            }
        }
    }

private:
    static constexpr std::int64_t kBias = std::int64_t{1} << 20;
    static constexpr int kDigitBits = 11;
    struct Entry {
        std::uint64_t key;
        std::int32_t object;
    };
    struct Run {
        std::uint64_t key;
        std::int32_t begin, end;
    };

    struct Point {
        double x, y, z, reach;
        std::int32_t object;
    };

    // entries_ by key, ties in their order (objects ascending): LSD passes
    // of kDigitBits over the bits `largest` takes.
    void radix_sort(std::uint64_t largest) {
        const std::size_t n = entries_.size();
        spare_.resize(n);
        for (int shift = 0; shift < 64 && (largest >> shift) != 0; shift += kDigitBits) {
            std::size_t count[(1u << kDigitBits) + 1] = {};
            constexpr std::uint64_t mask = (std::uint64_t{1} << kDigitBits) - 1;
            for (const Entry& e : entries_) ++count[((e.key >> shift) & mask) + 1];
            for (std::size_t d = 1; d <= (1u << kDigitBits); ++d) count[d] += count[d - 1];
            for (const Entry& e : entries_) spare_[count[(e.key >> shift) & mask]++] = e;
            entries_.swap(spare_);
        }
    }

    // Point p against points [q0, q1).
    template <class F>
    void near(std::int32_t p, std::int32_t q0, std::int32_t q1, F& f) const {
        const Point& a = point_[p];
        const double gap = gap_ + a.reach;
        for (std::int32_t q = q0; q < q1; ++q) {
            const Point& b = point_[q];
            const double dx = b.x - a.x, dy = b.y - a.y, dz = b.z - a.z;
            const double reach = gap + b.reach;
            if (dx * dx + dy * dy + dz * dz <= reach * reach) f(a.object, b.object);
        }
    }
    template <class F>
    void cross(const Run& a, const Run& b, F& f) const {
        for (std::int32_t p = a.begin; p < a.end; ++p) near(p, b.begin, b.end, f);
    }

    std::int64_t cell_of(double x) const noexcept {
        // Indices stay well inside 21 bits for any orbit around the Earth;
        // clamping keeps far objects correct (they share edge cells, tested
        // like any other neighbour).
        double c = std::floor(x * inv_);
        if (!(c > -double(kBias - 2))) c = -double(kBias - 2);  // NaN too
        if (!(c < double(kBias - 2))) c = double(kBias - 2);
        return static_cast<std::int64_t>(c);
    }
    // The key of (x + dx, y + dy, z) less that of (x, y, z), modulo 2^64:
    // neighbours of occupied cells stay inside the widened box, so the sum
    // never wraps.
    std::uint64_t column_offset(int dx, int dy) const noexcept {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(dx)) * stride_x_ +
               static_cast<std::uint64_t>(static_cast<std::int64_t>(dy)) * stride_y_;
    }

    double inv_ = 1.0, gap_ = 0.0;
    std::uint64_t stride_x_ = 0, stride_y_ = 0;
    std::vector<std::int64_t> cells_;
    std::vector<Entry> entries_, spare_;
    std::vector<Point> point_;
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
        const int K = std::max(1, set_.pieces);
        node_.resize(2 * 3 * n);
        mid_.resize(3 * n);
        reach_.resize(n);
        base_.resize(n);
        active_.resize(n);
        narrow_.resize(n);
        narrow_mid_.resize(3 * n);
        piece_reach_.resize(n);
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
                // H: the reach below which all but the widest objects lie:
                // those beyond kWideFactor times the reach of all but one in
                // kWideShare, and at most kMaxWide of them (tested directly,
                // each costs a pass over all; most catalogues have none).
                double cut = widest;
                const index_t keep = na - std::min<index_t>(na / kWideShare, kMaxWide);
                if (keep < na) {
                    scratch_.assign(reach_.begin(), reach_.begin() + na);
                    const index_t usual = na - na / kWideShare;
                    std::nth_element(scratch_.begin(), scratch_.begin() + (usual - 1), scratch_.end());
                    const double wide = kWideFactor * scratch_[usual - 1];
                    std::nth_element(scratch_.begin(), scratch_.begin() + (keep - 1), scratch_.end());
                    cut = std::max(scratch_[keep - 1], std::min(widest, wide));
                }
                index_t nn = 0;
                wide_.clear();
                for (index_t p = 0; p < na; ++p) {
                    if (reach_[p] <= cut)
                        narrow_[nn++] = static_cast<std::int32_t>(p);
                    else
                        wide_.push_back(static_cast<std::int32_t>(p));
                }
                const std::int64_t segment = k * L + l;
                // The chord test of the whole segment; with piece >= 0, only
                // for the pairs whose nearest point lies in that piece.
                auto test = [&](std::int32_t p0, std::int32_t q0, int piece) {
                    const std::int32_t p = std::min(p0, q0), q = std::max(p0, q0);
                    const std::int32_t i = active_[p], j = active_[q];  // increasing with p, q
                    if (cat_.primary && !cat_.primary[i] && !cat_.primary[j]) return;
                    if (!shells_meet(cat_, i, j, set_.threshold)) return;
                    double ra[3], rb[3];
                    for (int x = 0; x < 3; ++x) {
                        ra[x] = a[3 * q + x] - a[3 * p + x];
                        rb[x] = b[3 * q + x] - b[3 * p + x];
                    }
                    double at;
                    if (!(segment_distance(ra, rb, at) <= set_.threshold + base_[p] + base_[q])) return;  // NaN too
                    if (piece >= 0 && std::min(K - 1, static_cast<int>(at * K)) != piece) return;
                    if (!pieces_meet(cubic_[i], cubic_[j], double(l) / L, double(l + 1) / L,
                                     set_.threshold + cat_.bound[i] + cat_.bound[j]))
                        return;
                    if (out.size() <= set_.limit) out.push_back({i, j, segment});
                };
                for (int piece = 0; piece < K; ++piece) {
                    // Piece midpoints and reaches; 1 m on each reach covers
                    // the rounding of the midpoints and of s*.
                    const double s_mid = (piece + 0.5) / K;
                    double widest_piece = 0.0;
                    for (index_t t = 0; t < nn; ++t) {
                        const index_t p = narrow_[t];
                        double chord2 = 0.0;
                        for (int x = 0; x < 3; ++x) {
                            const double d = b[3 * p + x] - a[3 * p + x];
                            narrow_mid_[3 * t + x] = a[3 * p + x] + s_mid * d;
                            chord2 += d * d;
                        }
                        piece_reach_[t] = base_[p] + 0.5 * std::sqrt(chord2) / K + 1.0;
                        widest_piece = std::max(widest_piece, piece_reach_[t]);
                    }
                    grid_.build(narrow_mid_.data(), piece_reach_.data(), nn, set_.threshold + 2.0 * widest_piece,
                                set_.threshold);
                    grid_.pairs([&](std::int32_t t0, std::int32_t t1) { test(narrow_[t0], narrow_[t1], piece); });
                }
                // Each wide object against every other (a wide pair once),
                // over the whole segment: the chords' midpoints first.
                for (std::size_t w = 0; w < wide_.size(); ++w) {
                    const std::int32_t p = wide_[w];
                    for (index_t q = 0; q < na; ++q) {
                        if (q == p || !(reach_[q] <= cut || q > p)) continue;
                        double dm2 = 0.0;
                        for (int x = 0; x < 3; ++x) {
                            const double d = mid_[3 * q + x] - mid_[3 * p + x];
                            dm2 += d * d;
                        }
                        const double reach = set_.threshold + reach_[p] + reach_[q];
                        if (dm2 <= reach * reach) test(p, static_cast<std::int32_t>(q), -1);
                    }
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
                    if (segment_distance(a, b) <= fine && out.size() <= set_.limit &&
                        pieces_meet(cp, cq, double(l) / L, double(l + 1) / L, bound))
                        out.push_back({i, j, k * L + l});
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
    std::vector<double> narrow_mid_, piece_reach_, scratch_;
    // At most one object in kWideShare, and kMaxWide, is tested directly,
    // and only beyond kWideFactor times the reach of the others.
    static constexpr index_t kWideShare = 100;
    static constexpr index_t kMaxWide = 16;
    static constexpr double kWideFactor = 1.5;
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
