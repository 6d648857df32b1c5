// What every force term of the numerical propagator reads at one
// evaluation, and the calling convention the terms share.
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_FORCE_CONTEXT_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_FORCE_CONTEXT_HPP

namespace velarion::numerical {
// Everything a force term may read at one evaluation: the state in GCRF
// and what the propagator computed once for this time.
struct ForceContext {
    double tt;                 // TT seconds since J2000.0
    double tdb;                // TDB seconds since J2000.0
    double r[3], v[3];         // GCRF position (m) and velocity (m/s)
    double itrf_from_gcrf[9];  // row-major rotation R, r_itrf = R r_gcrf
    double earth_rate[3];      // Earth's angular velocity, GCRF, rad/s
    double sun[3];             // geocentric Sun, GCRF, m (valid if has_sun)
    double moon[3];            // geocentric Moon, GCRF, m (valid if has_moon)
    bool has_sun, has_moon;
};
// Every term: adds its acceleration to a[3] (m/s^2, GCRF); when dadr
// (3x3 row-major) / dadv are not null, adds its partials there.
}  // namespace velarion::numerical

#endif
