// GCRF <-> ITRF kernels: the IAU 2000A CIO-based celestial-to-terrestrial
// transformation (SOFA cookbook, section 5) with Earth orientation
// corrections, over many epochs. Plain C++ on doubles, no Python.
//
// The precession-nutation series (eraXys00a) is the dominant cost, so it is
// evaluated once per distinct two-part TT date of a call (dates compared by
// their exact bit patterns, through a hash table), and the matrices built
// from it are reused for epochs whose other inputs are identical. Results
// are bit for bit those of evaluating every epoch alone. For dense epochs a
// call may instead take X, Y and s interpolated between nodes (cip.hpp);
// everything else stays per epoch.
#ifndef VELARION_FRAMES_KERNELS_CIO_HPP
#define VELARION_FRAMES_KERNELS_CIO_HPP

#include "velarion/_core/constants.hpp"
#include "velarion/_core/strided.hpp"

#include <erfa.h>

#include <cstdint>
#include <cstring>

namespace velarion::frames::kernels {

using core::index_t;
using D1 = core::Strided1D<double>;
using D2 = core::Strided2D<double>;

using constants::kEarthRotationRate;
using constants::kSecondsPerDay;

// Per-epoch Earth orientation values (entry i belongs to epoch i).
struct EopViews {
    D1 pm_x, pm_y;  // polar motion, rad
    D1 dX, dY;      // celestial pole offsets, rad
    D1 lod;         // excess length of day, s
};

// out = m . p, summed in the order of eraRxp (so the same bits), inline.
inline void mxv(const double m[3][3], const double p[3], double out[3]) noexcept {
    for (int j = 0; j < 3; ++j) out[j] = m[j][0] * p[0] + m[j][1] * p[1] + m[j][2] * p[2];
}

enum class CioDirection { to_terrestrial, to_celestial };

// X, Y and s of a TT date from the IAU 2000A series itself.
struct ExactCip {
    void operator()(double tt1, double tt2, double& X, double& Y, double& s) const noexcept {
        eraXys00a(tt1, tt2, &X, &Y, &s);
    }
};

// The matrices of one epoch, arranged for one direction:
//   to_terrestrial: A = RQ, B = M, C = W
//   to_celestial:   A = W^T, B = M^T, C = (RQ)^T
// where RQ = Rz(era) . Q (celestial to terrestrial intermediate), W the
// polar motion, M = W . RQ.
struct CioMatrices {
    double A[3][3], B[3][3], C[3][3];
    double omega;  // Earth rotation rate, rad/s
};

// Builds the matrices of one epoch from its CIP X, Y (uncorrected), CIO
// locator s, TIO locator sp, UT1 date and EOP values.
inline void cio_matrices(CioDirection dir, double X, double Y, double s, double sp, double ut1a, double ut1b, double dX,
                         double dY, double pm_x, double pm_y, double lod, CioMatrices& m) noexcept {
    double Q[3][3], RQ[3][3], W[3][3], M[3][3];
    eraC2ixys(X + dX, Y + dY, s, Q);
    const double era = eraEra00(ut1a, ut1b);
    eraCr(Q, RQ);
    eraRz(era, RQ);
    eraPom00(pm_x, pm_y, sp, W);
    eraRxr(W, RQ, M);
    m.omega = kEarthRotationRate * (1.0 - lod / kSecondsPerDay);
    if (dir == CioDirection::to_terrestrial) {
        eraCr(RQ, m.A);
        eraCr(M, m.B);
        eraCr(W, m.C);
    } else {
        eraTr(W, m.A);
        eraTr(M, m.B);
        eraTr(RQ, m.C);
    }
}

// One row. To ITRF: r_T = RQ.r, c = (0, 0, omega) x r_T, r' = M.r,
// v' = M.v - W.c. To GCRF: r_T = W^T.r, c as above, r' = M^T.r,
// v' = (RQ)^T.(W^T.v + c).
inline void cio_apply(CioDirection dir, const CioMatrices& m, const double r[3], const double v[3], double r_out[3],
                      double v_out[3]) noexcept {
    double rT[3], c[3], p[3], q[3];
    mxv(m.A, r, rT);
    c[0] = -m.omega * rT[1];
    c[1] = m.omega * rT[0];
    c[2] = 0.0;
    mxv(m.B, r, r_out);
    if (dir == CioDirection::to_terrestrial) {
        mxv(m.B, v, p);
        mxv(m.C, c, q);
        v_out[0] = p[0] - q[0];
        v_out[1] = p[1] - q[1];
        v_out[2] = p[2] - q[2];
    } else {
        mxv(m.A, v, p);
        q[0] = p[0] + c[0];
        q[1] = p[1] + c[1];
        q[2] = p[2] + c[2];
        mxv(m.C, q, v_out);
    }
}

// Scratch of one call: the caller allocates `words(n)` 64-bit words in one
// block (nothing is allocated per epoch).
//
// Layout: a hash table of 32-bit group ids (open addressing, at least twice
// as many slots as epochs), one Series record per distinct date, and a
// direct-mapped cache of per-epoch matrices indexed by group id.
struct CioScratch {
    struct Series {
        uint64_t tt1, tt2;  // bit patterns of the two-part TT date
        double X, Y, s, sp;
    };
    struct Cached {
        uint64_t group;  // kNone when empty
        double key[7];   // UT1 (2), dX, dY, pm_x, pm_y, lod of the epoch that built `m`
        CioMatrices m;
    };
    static constexpr uint32_t kEmptySlot = 0xFFFFFFFFu;
    static constexpr uint64_t kNone = ~uint64_t(0);
    // Largest number of epochs the 32-bit group ids can serve.
    static constexpr index_t kMaxEpochs = 0x7FFFFFFF;

    static size_t slots(index_t n) noexcept {
        size_t cap = 16;
        while (cap < 2 * static_cast<size_t>(n)) cap <<= 1;
        return cap;
    }
    static size_t cache_entries(index_t n) noexcept {
        size_t c = 1;
        while (c < static_cast<size_t>(n) && c < 4096) c <<= 1;
        return c;
    }
    static size_t words(index_t n) noexcept {
        return (slots(n) * sizeof(uint32_t) + 7) / 8 + static_cast<size_t>(n) * (sizeof(Series) / 8) +
               cache_entries(n) * (sizeof(Cached) / 8);
    }
};

namespace detail {

inline uint64_t bits(double x) noexcept {
    uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

inline uint64_t mix(uint64_t a, uint64_t b) noexcept {
    uint64_t z = a ^ (b * 0x9E3779B97F4A7C15ull) ^ (b >> 29);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace detail

// Converts rows 0..n-1 (n = tt.rows) of r_in/v_in into r_out/v_out, in row
// order. The caller has checked every view for n rows (three columns for
// the vectors, two for the dates) and supplies `scratch` of
// CioScratch::words(n) words. Each row is read completely before its output
// row is written, so the outputs may be the inputs.
//
// X, Y and s of a date come from `cip` (cip(tt1, tt2, X, Y, s): ExactCip, the
// series itself, or the interpolation of CipNodes); they and the TIO
// locator are obtained when the date is first met and kept for the whole
// call; the matrices of an epoch are kept in a small cache by date and
// reused when a later epoch of the same date has the same UT1 and EOP values
// (bit for bit), so the results never depend on what was reused.
template <class Cip>
inline void cio_convert(CioDirection dir, const D2& tt, const D2& ut1, const EopViews& eop, const D2& r_in,
                        const D2& v_in, const D2& r_out, const D2& v_out, uint64_t* scratch, Cip&& cip) noexcept {
    using Series = CioScratch::Series;
    using Cached = CioScratch::Cached;
    const index_t n = tt.rows;
    const size_t nslots = CioScratch::slots(n), ncache = CioScratch::cache_entries(n);
    auto* slots = reinterpret_cast<uint32_t*>(scratch);
    auto* series = reinterpret_cast<Series*>(scratch + (nslots * sizeof(uint32_t) + 7) / 8);
    auto* cache = reinterpret_cast<Cached*>(reinterpret_cast<uint64_t*>(series) + n * (sizeof(Series) / 8));
    for (size_t k = 0; k < nslots; ++k) slots[k] = CioScratch::kEmptySlot;
    for (size_t k = 0; k < ncache; ++k) cache[k].group = CioScratch::kNone;
    const size_t smask = nslots - 1, cmask = ncache - 1;
    uint32_t groups = 0;

    for (index_t i = 0; i < n; ++i) {
        const double t1 = tt(i, 0), t2 = tt(i, 1);
        const uint64_t a = detail::bits(t1), b = detail::bits(t2);
        size_t h = static_cast<size_t>(detail::mix(a, b)) & smask;
        uint32_t g;
        for (;;) {
            g = slots[h];
            if (g == CioScratch::kEmptySlot) {
                g = groups++;
                slots[h] = g;
                Series& sr = series[g];
                sr.tt1 = a;
                sr.tt2 = b;
                cip(t1, t2, sr.X, sr.Y, sr.s);
                sr.sp = eraSp00(t1, t2);
                break;
            }
            if (series[g].tt1 == a && series[g].tt2 == b) break;
            h = (h + 1) & smask;
        }
        const double key[7] = {ut1(i, 0), ut1(i, 1), eop.dX[i], eop.dY[i], eop.pm_x[i], eop.pm_y[i], eop.lod[i]};
        Cached& c = cache[g & cmask];
        if (c.group != g || std::memcmp(c.key, key, sizeof key) != 0) {
            const Series& sr = series[g];
            cio_matrices(dir, sr.X, sr.Y, sr.s, sr.sp, key[0], key[1], key[2], key[3], key[4], key[5], key[6], c.m);
            std::memcpy(c.key, key, sizeof key);
            c.group = g;
        }
        double r[3], v[3], ro[3], vo[3];
        r_in.load3(i, r);
        v_in.load3(i, v);
        cio_apply(dir, c.m, r, v, ro, vo);
        r_out.store3(i, ro);
        v_out.store3(i, vo);
    }
}

}  // namespace velarion::frames::kernels

#endif
