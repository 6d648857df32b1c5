// GCRF <-> ITRF kernels: the IAU 2000A CIO-based celestial-to-terrestrial
// transformation (SOFA cookbook, section 5) with Earth orientation
// corrections, over many epochs. Plain C++ on doubles, no Python.
//
// The precession-nutation series (eraXys00a) is the dominant cost, so it is
// evaluated once per distinct two-part TT date of a call: epochs are grouped
// by the exact bit pattern of their date with a hash table, then processed
// group by group. Within a group the remaining matrices are rebuilt only
// when an epoch's other inputs (UT1, EOP values) differ from the epoch
// before it. Results are bit-for-bit those of evaluating every epoch alone.
#ifndef VELARION_FRAMES_KERNELS_CIO_HPP
#define VELARION_FRAMES_KERNELS_CIO_HPP

#include "velarion/_core/strided.hpp"

#include <erfa.h>

#include <cstdint>
#include <cstring>

namespace velarion::frames::kernels {

using core::index_t;
using D1 = core::Strided1D<double>;
using D2 = core::Strided2D<double>;

inline constexpr double kEarthRotationRate = 7.292115146706798e-5;  // rad/s
inline constexpr double kSecondsPerDay = 86400.0;

// Per-epoch Earth orientation values (entry i belongs to epoch i).
struct EopViews {
    D1 pm_x, pm_y;  // polar motion, rad
    D1 dX, dY;      // celestial pole offsets, rad
    D1 lod;         // excess length of day, s
};

// ---------------------------------------------------------------------------
// Grouping of epochs by exact date.

// Scratch storage for grouping n epochs; the caller allocates
// `words(n)` 32-bit words in one block and passes it to `Grouping`.
class Grouping {
public:
    static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
    // Largest number of epochs the 32-bit indices can serve.
    static constexpr index_t kMaxEpochs = 0x7FFFFFFF;

    static size_t capacity(index_t n) noexcept {
        size_t cap = 16;
        while (cap < 2 * static_cast<size_t>(n)) cap <<= 1;
        return cap;
    }
    static size_t words(index_t n) noexcept { return capacity(n) + 4 * static_cast<size_t>(n) + 1; }

    // Groups the epochs of `tt` (n rows of two parts). `block` holds words(n).
    Grouping(const D2& tt, uint32_t* block) noexcept : n_(tt.rows) {
        const size_t cap = capacity(n_);
        slots_ = block;
        first_ = slots_ + cap;          // first epoch of each group
        start_ = first_ + n_;           // group offsets into order_ (groups + 1 entries)
        id_ = start_ + n_ + 1;          // group of each epoch
        order_ = id_ + n_;              // epochs ordered by group
        for (size_t k = 0; k < cap; ++k) slots_[k] = kEmpty;
        const size_t mask = cap - 1;
        groups_ = 0;
        for (index_t i = 0; i < n_; ++i) {
            const uint64_t a = bits(tt(i, 0)), b = bits(tt(i, 1));
            size_t h = static_cast<size_t>(mix(a, b)) & mask;
            uint32_t g;
            for (;;) {
                g = slots_[h];
                if (g == kEmpty) {
                    g = static_cast<uint32_t>(groups_++);
                    slots_[h] = g;
                    first_[g] = static_cast<uint32_t>(i);
                    start_[g] = 0;
                    break;
                }
                const index_t j = first_[g];
                if (bits(tt(j, 0)) == a && bits(tt(j, 1)) == b) break;
                h = (h + 1) & mask;
            }
            id_[i] = g;
            ++start_[g];
        }
        // Counts to offsets, then place every epoch (counting sort by group).
        uint32_t sum = 0;
        for (index_t g = 0; g < groups_; ++g) {
            const uint32_t c = start_[g];
            start_[g] = sum;
            sum += c;
        }
        start_[groups_] = sum;
        // Reuse the slot table as the fill cursor of each group.
        for (index_t g = 0; g < groups_; ++g) slots_[g] = start_[g];
        for (index_t i = 0; i < n_; ++i) order_[slots_[id_[i]]++] = static_cast<uint32_t>(i);
    }

    index_t groups() const noexcept { return groups_; }
    index_t first(index_t g) const noexcept { return first_[g]; }
    index_t begin(index_t g) const noexcept { return start_[g]; }
    index_t end(index_t g) const noexcept { return start_[g + 1]; }
    index_t epoch(index_t k) const noexcept { return order_[k]; }

private:
    static uint64_t bits(double x) noexcept {
        uint64_t u;
        std::memcpy(&u, &x, sizeof u);
        return u;
    }
    static uint64_t mix(uint64_t a, uint64_t b) noexcept {
        uint64_t z = a ^ (b * 0x9E3779B97F4A7C15ull) ^ (b >> 29);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    index_t n_;
    index_t groups_ = 0;
    uint32_t* slots_;
    uint32_t* first_;
    uint32_t* start_;
    uint32_t* id_;
    uint32_t* order_;
};

// ---------------------------------------------------------------------------
// Per-epoch matrices.

struct CioMatrices {
    double RQ[3][3];  // Rz(era) . Q: celestial to terrestrial intermediate
    double W[3][3];   // polar motion
    double M[3][3];   // W . RQ: celestial to terrestrial
    double omega;     // Earth rotation rate, rad/s
};

// Builds the matrices of one epoch from its CIP X, Y (uncorrected), CIO
// locator s, TIO locator sp, UT1 date and EOP values.
inline void cio_matrices(double X, double Y, double s, double sp, double ut1a, double ut1b, double dX, double dY,
                         double pm_x, double pm_y, double lod, CioMatrices& m) noexcept {
    double Q[3][3];
    eraC2ixys(X + dX, Y + dY, s, Q);
    const double era = eraEra00(ut1a, ut1b);
    eraCr(Q, m.RQ);
    eraRz(era, m.RQ);
    eraPom00(pm_x, pm_y, sp, m.W);
    eraRxr(m.W, m.RQ, m.M);
    m.omega = kEarthRotationRate * (1.0 - lod / kSecondsPerDay);
}

// Celestial (GCRF) to terrestrial (ITRF) for one row.
inline void cio_apply_to_terrestrial(CioMatrices& m, const double r_in[3], const double v_in[3], double r_out[3],
                                     double v_out[3]) noexcept {
    double r[3] = {r_in[0], r_in[1], r_in[2]};
    double v[3] = {v_in[0], v_in[1], v_in[2]};
    double rT[3], c[3], Mv[3], Wc[3];
    eraRxp(m.RQ, r, rT);
    c[0] = -m.omega * rT[1];
    c[1] = m.omega * rT[0];
    c[2] = 0.0;
    eraRxp(m.M, r, r_out);
    eraRxp(m.M, v, Mv);
    eraRxp(m.W, c, Wc);
    v_out[0] = Mv[0] - Wc[0];
    v_out[1] = Mv[1] - Wc[1];
    v_out[2] = Mv[2] - Wc[2];
}

// Terrestrial (ITRF) to celestial (GCRF) for one row.
inline void cio_apply_to_celestial(CioMatrices& m, const double r_in[3], const double v_in[3], double r_out[3],
                                   double v_out[3]) noexcept {
    double r[3] = {r_in[0], r_in[1], r_in[2]};
    double v[3] = {v_in[0], v_in[1], v_in[2]};
    double Wt[3][3], Mt[3][3], RQt[3][3];
    double rT[3], c[3], Wv[3], vT[3];
    eraTr(m.W, Wt);
    eraRxp(Wt, r, rT);
    c[0] = -m.omega * rT[1];
    c[1] = m.omega * rT[0];
    c[2] = 0.0;
    eraTr(m.M, Mt);
    eraRxp(Mt, r, r_out);
    eraRxp(Wt, v, Wv);
    vT[0] = Wv[0] + c[0];
    vT[1] = Wv[1] + c[1];
    vT[2] = Wv[2] + c[2];
    eraTr(m.RQ, RQt);
    eraRxp(RQt, vT, v_out);
}

enum class CioDirection { to_terrestrial, to_celestial };

// Converts rows 0..n-1 (n = tt.rows) of r_in/v_in into r_out/v_out. The
// caller has checked every view for n rows (three columns for the vectors,
// two for the dates) and supplies `scratch` of Grouping::words(n) words.
// Each row is read completely before its output row is written, so the
// outputs may be the inputs.
inline void cio_convert(CioDirection dir, const D2& tt, const D2& ut1, const EopViews& eop, const D2& r_in,
                        const D2& v_in, const D2& r_out, const D2& v_out, uint32_t* scratch) noexcept {
    const Grouping grouping(tt, scratch);
    CioMatrices m;
    for (index_t g = 0; g < grouping.groups(); ++g) {
        const index_t i0 = grouping.first(g);
        double X, Y, s;
        eraXys00a(tt(i0, 0), tt(i0, 1), &X, &Y, &s);
        const double sp = eraSp00(tt(i0, 0), tt(i0, 1));
        double last[7];
        bool have = false;
        for (index_t k = grouping.begin(g); k < grouping.end(g); ++k) {
            const index_t i = grouping.epoch(k);
            const double cur[7] = {ut1(i, 0), ut1(i, 1), eop.dX[i], eop.dY[i], eop.pm_x[i], eop.pm_y[i], eop.lod[i]};
            if (!have || std::memcmp(cur, last, sizeof cur) != 0) {
                cio_matrices(X, Y, s, sp, cur[0], cur[1], cur[2], cur[3], cur[4], cur[5], cur[6], m);
                std::memcpy(last, cur, sizeof cur);
                have = true;
            }
            double r[3], v[3], ro[3], vo[3];
            r_in.load3(i, r);
            v_in.load3(i, v);
            if (dir == CioDirection::to_terrestrial) {
                cio_apply_to_terrestrial(m, r, v, ro, vo);
            } else {
                cio_apply_to_celestial(m, r, v, ro, vo);
            }
            r_out.store3(i, ro);
            v_out.store3(i, vo);
        }
    }
}

}  // namespace velarion::frames::kernels

#endif
