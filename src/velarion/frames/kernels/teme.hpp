// ITRF <-> TEME kernels: Greenwich mean sidereal time 1982 and polar motion
// (without the TIO locator), as in AIAA-2006-6753 appendix C, with the Earth
// rotation rate corrected by the length of day. Plain C++, no Python.
#ifndef VELARION_FRAMES_KERNELS_TEME_HPP
#define VELARION_FRAMES_KERNELS_TEME_HPP

#include "velarion/frames/kernels/cio.hpp"

namespace velarion::frames::kernels {

struct TemeEop {
    D1 pm_x, pm_y;  // polar motion, rad
    D1 lod;         // excess length of day, s
};

enum class TemeDirection { itrf_to_teme, teme_to_itrf };

// Converts rows 0..n-1 (n = ut1.rows); the caller has checked the views for
// n rows (three columns for the vectors). Outputs may be the inputs. The
// products are those of eraRxp (same summation order), written inline.
inline void teme_convert(TemeDirection dir, const D2& ut1, const TemeEop& eop, const D2& r_in, const D2& v_in,
                         const D2& r_out, const D2& v_out) noexcept {
    double W[3][3], Wt[3][3], R[3][3];
    for (index_t i = 0; i < ut1.rows; ++i) {
        double r[3], v[3], rP[3], vP[3], ro[3], vo[3];
        r_in.load3(i, r);
        v_in.load3(i, v);
        eraPom00(eop.pm_x[i], eop.pm_y[i], 0.0, W);
        const double theta = eraGmst82(ut1(i, 0), ut1(i, 1));
        eraIr(R);
        const double omega = kEarthRotationRate * (1.0 - eop.lod[i] / kSecondsPerDay);
        if (dir == TemeDirection::itrf_to_teme) {
            eraTr(W, Wt);
            eraRz(-theta, R);
            mxv(Wt, r, rP);
            mxv(R, rP, ro);
            mxv(Wt, v, vP);
            vP[0] -= omega * rP[1];
            vP[1] += omega * rP[0];
            mxv(R, vP, vo);
        } else {
            eraRz(theta, R);
            mxv(R, r, rP);
            mxv(W, rP, ro);
            mxv(R, v, vP);
            vP[0] += omega * rP[1];
            vP[1] -= omega * rP[0];
            mxv(W, vP, vo);
        }
        r_out.store3(i, ro);
        v_out.store3(i, vo);
    }
}

}  // namespace velarion::frames::kernels

#endif
