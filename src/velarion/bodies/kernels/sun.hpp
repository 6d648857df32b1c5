// The Sun's geocentric position from ERFA's Earth ephemeris (eraEpv00, the
// analytical series that SOFA fits to DE405: about 5 km in the Earth's
// heliocentric position, 1900-2100): plain C++ on doubles, no Python.
#ifndef VELARION_BODIES_KERNELS_SUN_HPP
#define VELARION_BODIES_KERNELS_SUN_HPP

#include <erfa.h>
#include <erfam.h>  // ERFA_DAU

namespace velarion::bodies::kernels {

// The geometric position [m] of the Sun's centre relative to the Earth's
// centre, in the GCRS axes (those of GCRF, aligned with the ICRS), at the
// two-part Julian Date (tt1, tt2) of TT, taken as TDB (they differ by under
// 2 ms, in which the Earth moves under 60 m). No light time, no aberration:
// the Sun where it is at that instant, not where it is seen (they differ by
// about 20 arcseconds). Returns ERFA's status: 1 for a date outside
// 1900-2100 (the series then degrades), else 0.
inline int sun_gcrf(double tt1, double tt2, double out[3]) noexcept {
    double earth_heliocentric[2][3], earth_barycentric[2][3];
    const int status = eraEpv00(tt1, tt2, earth_heliocentric, earth_barycentric);
    for (int k = 0; k < 3; ++k) out[k] = -earth_heliocentric[0][k] * ERFA_DAU;
    return status;
}

}  // namespace velarion::bodies::kernels

#endif
