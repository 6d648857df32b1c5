// The SGP4/SDP4 model's constants, error codes, elements and record (no
// Python): what sgp4init computes once per element set and the propagation
// reads. Part of the port described in sgp4.hpp.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_MODEL_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_MODEL_HPP

#include <cmath>
#include <numbers>

namespace velarion::propagators::analytical::sgp4::kernels {

// The model's Earth constants.
struct Gravity {
    double tumin, mu, radiusearthkm, xke, j2, j3, j4, j3oj2;
};

enum class GravityModel { wgs72old, wgs72, wgs84 };

inline Gravity gravity(GravityModel model) noexcept {
    Gravity g{};
    switch (model) {
        case GravityModel::wgs72old:
            g.mu = 398600.79964;
            g.radiusearthkm = 6378.135;
            g.xke = 0.0743669161;
            g.j2 = 0.001082616;
            g.j3 = -0.00000253881;
            g.j4 = -0.00000165597;
            break;
        case GravityModel::wgs72:
            g.mu = 398600.8;
            g.radiusearthkm = 6378.135;
            g.xke = 60.0 / std::sqrt(g.radiusearthkm * g.radiusearthkm * g.radiusearthkm / g.mu);
            g.j2 = 0.001082616;
            g.j3 = -0.00000253881;
            g.j4 = -0.00000165597;
            break;
        case GravityModel::wgs84:
            g.mu = 398600.5;
            g.radiusearthkm = 6378.137;
            g.xke = 60.0 / std::sqrt(g.radiusearthkm * g.radiusearthkm * g.radiusearthkm / g.mu);
            g.j2 = 0.00108262998905;
            g.j3 = -0.00000253215306;
            g.j4 = -0.00000161098761;
            break;
    }
    g.tumin = 1.0 / g.xke;
    g.j3oj2 = g.j3 / g.j2;
    return g;
}

// The model's error codes (as the reference numbers them).
enum Sgp4Code : int {
    kOk = 0,
    kEccentricity = 1,     // mean eccentricity outside [-0.001, 1)
    kMeanMotion = 2,       // mean motion not positive
    kPerturbedEcc = 3,     // perturbed eccentricity outside [0, 1] (deep space)
    kSemilatusRectum = 4,  // semi-latus rectum negative
    kDecayed = 6,          // radius below one Earth radius: the state is still given
};

// The mean elements sgp4init starts from.
struct Elements {
    double epoch = 0.0;     // days from 1949 December 31 0h UTC
    double bstar = 0.0;     // 1/Earth radii
    double ndot = 0.0;      // rev/day^2 / 2, in radians per minute^2 (only stored by the model)
    double nddot = 0.0;     // radians per minute^3 (only stored)
    double ecco = 0.0;      // eccentricity
    double argpo = 0.0;     // argument of perigee [rad]
    double inclo = 0.0;     // inclination [rad]
    double mo = 0.0;        // mean anomaly [rad]
    double no_kozai = 0.0;  // mean motion [rad/min]
    double nodeo = 0.0;     // right ascension of the node [rad]
};

// What sgp4init computes once per element set.
struct Record {
    Gravity g{};
    bool deep_space = false;
    int isimp = 0;
    int init_error = 0;  // the model's error code at the element set's epoch
    double bstar = 0.0, ecco = 0.0, argpo = 0.0, inclo = 0.0, mo = 0.0, nodeo = 0.0;
    double no_unkozai = 0.0, a = 0.0, alta = 0.0, altp = 0.0, gsto = 0.0;
    double aycof = 0.0, con41 = 0.0, cc1 = 0.0, cc4 = 0.0, cc5 = 0.0, d2 = 0.0, d3 = 0.0, d4 = 0.0;
    double delmo = 0.0, eta = 0.0, argpdot = 0.0, omgcof = 0.0, sinmao = 0.0, t2cof = 0.0, t3cof = 0.0;
    double t4cof = 0.0, t5cof = 0.0, x1mth2 = 0.0, x7thm1 = 0.0, mdot = 0.0, nodedot = 0.0, xlcof = 0.0;
    double xmcof = 0.0, nodecf = 0.0;
    // Deep space: lunar-solar periodics (dscom) and resonance terms (dsinit).
    int irez = 0;
    double e3 = 0.0, ee2 = 0.0, peo = 0.0, pgho = 0.0, pho = 0.0, pinco = 0.0, plo = 0.0, se2 = 0.0, se3 = 0.0;
    double sgh2 = 0.0, sgh3 = 0.0, sgh4 = 0.0, sh2 = 0.0, sh3 = 0.0, si2 = 0.0, si3 = 0.0, sl2 = 0.0, sl3 = 0.0;
    double sl4 = 0.0, xgh2 = 0.0, xgh3 = 0.0, xgh4 = 0.0, xh2 = 0.0, xh3 = 0.0, xi2 = 0.0, xi3 = 0.0, xl2 = 0.0;
    double xl3 = 0.0, xl4 = 0.0, zmol = 0.0, zmos = 0.0;
    double d2201 = 0.0, d2211 = 0.0, d3210 = 0.0, d3222 = 0.0, d4410 = 0.0, d4422 = 0.0, d5220 = 0.0, d5232 = 0.0;
    double d5421 = 0.0, d5433 = 0.0, dedt = 0.0, didt = 0.0, dmdt = 0.0, dnodt = 0.0, domdt = 0.0;
    double del1 = 0.0, del2 = 0.0, del3 = 0.0, xfact = 0.0, xlamo = 0.0;
};

// Greenwich sidereal time of a UT1 Julian Date (the model's IAU 1982 form).
inline double gstime(double jdut1) noexcept {
    constexpr double twopi = 2.0 * std::numbers::pi;
    constexpr double deg2rad = std::numbers::pi / 180.0;
    const double tut1 = (jdut1 - 2451545.0) / 36525.0;
    double temp =
        -6.2e-6 * tut1 * tut1 * tut1 + 0.093104 * tut1 * tut1 + (876600.0 * 3600 + 8640184.812866) * tut1 + 67310.54841;
    temp = std::fmod(temp * deg2rad / 240.0, twopi);
    if (temp < 0.0) temp += twopi;
    return temp;
}
// The resonance integrator's state (the reference's atime, xli, xni): it
// lives in a call, not in the record, so a record stays read-only and one
// record may serve several threads. Carried from one epoch to the next, a
// sorted run of epochs integrates each 720-minute step once; `steps` counts
// the steps taken (for tests of that).
struct Resonance {
    double atime = 0.0;
    double xli = 0.0;
    double xni = 0.0;
    long long steps = 0;
};

}  // namespace velarion::propagators::analytical::sgp4::kernels

#endif
