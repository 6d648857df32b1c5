// SGP4/SDP4 propagation of mean elements (no Python).
//
// A C++ port of Vallado's SGP4 (sgp4init with operation mode 'i', sgp4,
// and the deep-space routines dscom, dpper, dsinit and dspace), made from
// the line-by-line Python version in the `sgp4` package
// (sgp4/propagation.py, copyright Brandon Rhodes, MIT licence; the
// original C++ by David Vallado is in the public domain). Statements keep
// the reference's operation order, so results agree with the `sgp4`
// package's Satrec to the last bits or nearly so. Angle reductions use
// fmod, as the C++ reference does.
//
// One departure: the reference keeps the resonance integrator's last state
// (atime, xli, xni) in the record and resumes from it. Its 720-minute steps
// from the epoch are the same operations whether resumed or restarted, so
// restarting from the epoch at every call gives the same numbers and
// leaves the record read-only: one record may serve several threads.
//
// Units as in the model: minutes, radians, Earth radii; states in km and
// km/s, TEME.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_SGP4_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_SGP4_HPP

#include <cmath>
#include <limits>
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

namespace detail {

inline constexpr double kTwoPi = 2.0 * std::numbers::pi;
inline constexpr double kRptim = 4.37526908801129966e-3;  // Earth rotation [rad/min]

// Angles (mean elements) passed through the lunar-solar periodics.
struct Angles {
    double ep, inclp, nodep, argpp, mp;
};

// dpper: lunar-solar periodics at t minutes ('y' at initialisation: the
// terms are computed, nothing is applied).
inline void dpper(const Record& rec, double t, bool init, Angles& a) noexcept {
    constexpr double zns = 1.19459e-5;
    constexpr double zes = 0.01675;
    constexpr double znl = 1.5835218e-4;
    constexpr double zel = 0.05490;
    double zm = rec.zmos + zns * t;
    if (init) zm = rec.zmos;
    double zf = zm + 2.0 * zes * std::sin(zm);
    double sinzf = std::sin(zf);
    double f2 = 0.5 * sinzf * sinzf - 0.25;
    double f3 = -0.5 * sinzf * std::cos(zf);
    const double ses = rec.se2 * f2 + rec.se3 * f3;
    const double sis = rec.si2 * f2 + rec.si3 * f3;
    const double sls = rec.sl2 * f2 + rec.sl3 * f3 + rec.sl4 * sinzf;
    const double sghs = rec.sgh2 * f2 + rec.sgh3 * f3 + rec.sgh4 * sinzf;
    const double shs = rec.sh2 * f2 + rec.sh3 * f3;
    zm = rec.zmol + znl * t;
    if (init) zm = rec.zmol;
    zf = zm + 2.0 * zel * std::sin(zm);
    sinzf = std::sin(zf);
    f2 = 0.5 * sinzf * sinzf - 0.25;
    f3 = -0.5 * sinzf * std::cos(zf);
    const double sel = rec.ee2 * f2 + rec.e3 * f3;
    const double sil = rec.xi2 * f2 + rec.xi3 * f3;
    const double sll = rec.xl2 * f2 + rec.xl3 * f3 + rec.xl4 * sinzf;
    const double sghl = rec.xgh2 * f2 + rec.xgh3 * f3 + rec.xgh4 * sinzf;
    const double shll = rec.xh2 * f2 + rec.xh3 * f3;
    double pe = ses + sel;
    double pinc = sis + sil;
    double pl = sls + sll;
    double pgh = sghs + sghl;
    double ph = shs + shll;
    if (init) return;
    pe = pe - rec.peo;
    pinc = pinc - rec.pinco;
    pl = pl - rec.plo;
    pgh = pgh - rec.pgho;
    ph = ph - rec.pho;
    a.inclp = a.inclp + pinc;
    a.ep = a.ep + pe;
    const double sinip = std::sin(a.inclp);
    const double cosip = std::cos(a.inclp);
    if (a.inclp >= 0.2) {
        ph /= sinip;
        pgh -= cosip * ph;
        a.argpp += pgh;
        a.nodep += ph;
        a.mp += pl;
    } else {
        // Lyddane's modification for low inclinations.
        const double sinop = std::sin(a.nodep);
        const double cosop = std::cos(a.nodep);
        double alfdp = sinip * sinop;
        double betdp = sinip * cosop;
        const double dalf = ph * cosop + pinc * cosip * sinop;
        const double dbet = -ph * sinop + pinc * cosip * cosop;
        alfdp = alfdp + dalf;
        betdp = betdp + dbet;
        a.nodep = std::fmod(a.nodep, kTwoPi);
        const double xls = a.mp + a.argpp + pl + pgh + (cosip - pinc * sinip) * a.nodep;
        const double xnoh = a.nodep;
        a.nodep = std::atan2(alfdp, betdp);
        if (std::fabs(xnoh - a.nodep) > std::numbers::pi) {
            if (a.nodep < xnoh)
                a.nodep = a.nodep + kTwoPi;
            else
                a.nodep = a.nodep - kTwoPi;
        }
        a.mp += pl;
        a.argpp = xls - a.mp - cosip * a.nodep;
    }
}

// What dscom hands to dsinit besides the record's terms.
struct Common {
    double sinim, cosim, emsq, s1, s2, s3, s4, s5, ss1, ss2, ss3, ss4, ss5;
    double sz1, sz3, sz11, sz13, sz21, sz23, sz31, sz33;
    double z1, z3, z11, z13, z21, z23, z31, z33;
};

// dscom: the lunar and solar terms at the epoch (tc minutes after it).
inline Common dscom(double epoch, double ep, double argpp, double tc, double inclp, double nodep, double np,
                    Record& rec) noexcept {
    constexpr double zes = 0.01675;
    constexpr double zel = 0.05490;
    constexpr double c1ss = 2.9864797e-6;
    constexpr double c1l = 4.7968065e-7;
    constexpr double zsinis = 0.39785416;
    constexpr double zcosis = 0.91744867;
    constexpr double zcosgs = 0.1945905;
    constexpr double zsings = -0.98088458;
    Common c{};
    const double nm = np;
    const double em = ep;
    const double snodm = std::sin(nodep);
    const double cnodm = std::cos(nodep);
    const double sinomm = std::sin(argpp);
    const double cosomm = std::cos(argpp);
    c.sinim = std::sin(inclp);
    c.cosim = std::cos(inclp);
    c.emsq = em * em;
    const double betasq = 1.0 - c.emsq;
    const double rtemsq = std::sqrt(betasq);
    rec.peo = 0.0;
    rec.pinco = 0.0;
    rec.plo = 0.0;
    rec.pgho = 0.0;
    rec.pho = 0.0;
    const double day = epoch + 18261.5 + tc / 1440.0;
    const double xnodce = std::fmod(4.5236020 - 9.2422029e-4 * day, kTwoPi);
    const double stem = std::sin(xnodce);
    const double ctem = std::cos(xnodce);
    const double zcosil = 0.91375164 - 0.03568096 * ctem;
    const double zsinil = std::sqrt(1.0 - zcosil * zcosil);
    const double zsinhl = 0.089683511 * stem / zsinil;
    const double zcoshl = std::sqrt(1.0 - zsinhl * zsinhl);
    const double gam = 5.8351514 + 0.0019443680 * day;
    double zx = 0.39785416 * stem / zsinil;
    const double zy = zcoshl * ctem + 0.91744867 * zsinhl * stem;
    zx = std::atan2(zx, zy);
    zx = gam + zx - xnodce;
    const double zcosgl = std::cos(zx);
    const double zsingl = std::sin(zx);

    double zcosg = zcosgs, zsing = zsings, zcosi = zcosis, zsini = zsinis, zcosh = cnodm, zsinh = snodm;
    double cc = c1ss;
    const double xnoi = 1.0 / nm;
    double s6 = 0.0, s7 = 0.0, ss6 = 0.0, ss7 = 0.0, z2 = 0.0, z12 = 0.0, z22 = 0.0, z32 = 0.0;
    double sz2 = 0.0, sz12 = 0.0, sz22 = 0.0, sz32 = 0.0;
    for (int lsflg = 1; lsflg <= 2; ++lsflg) {
        const double a1 = zcosg * zcosh + zsing * zcosi * zsinh;
        const double a3 = -zsing * zcosh + zcosg * zcosi * zsinh;
        const double a7 = -zcosg * zsinh + zsing * zcosi * zcosh;
        const double a8 = zsing * zsini;
        const double a9 = zsing * zsinh + zcosg * zcosi * zcosh;
        const double a10 = zcosg * zsini;
        const double a2 = c.cosim * a7 + c.sinim * a8;
        const double a4 = c.cosim * a9 + c.sinim * a10;
        const double a5 = -c.sinim * a7 + c.cosim * a8;
        const double a6 = -c.sinim * a9 + c.cosim * a10;

        const double x1 = a1 * cosomm + a2 * sinomm;
        const double x2 = a3 * cosomm + a4 * sinomm;
        const double x3 = -a1 * sinomm + a2 * cosomm;
        const double x4 = -a3 * sinomm + a4 * cosomm;
        const double x5 = a5 * sinomm;
        const double x6 = a6 * sinomm;
        const double x7 = a5 * cosomm;
        const double x8 = a6 * cosomm;

        c.z31 = 12.0 * x1 * x1 - 3.0 * x3 * x3;
        z32 = 24.0 * x1 * x2 - 6.0 * x3 * x4;
        c.z33 = 12.0 * x2 * x2 - 3.0 * x4 * x4;
        c.z1 = 3.0 * (a1 * a1 + a2 * a2) + c.z31 * c.emsq;
        z2 = 6.0 * (a1 * a3 + a2 * a4) + z32 * c.emsq;
        c.z3 = 3.0 * (a3 * a3 + a4 * a4) + c.z33 * c.emsq;
        c.z11 = -6.0 * a1 * a5 + c.emsq * (-24.0 * x1 * x7 - 6.0 * x3 * x5);
        z12 = -6.0 * (a1 * a6 + a3 * a5) + c.emsq * (-24.0 * (x2 * x7 + x1 * x8) - 6.0 * (x3 * x6 + x4 * x5));
        c.z13 = -6.0 * a3 * a6 + c.emsq * (-24.0 * x2 * x8 - 6.0 * x4 * x6);
        c.z21 = 6.0 * a2 * a5 + c.emsq * (24.0 * x1 * x5 - 6.0 * x3 * x7);
        z22 = 6.0 * (a4 * a5 + a2 * a6) + c.emsq * (24.0 * (x2 * x5 + x1 * x6) - 6.0 * (x4 * x7 + x3 * x8));
        c.z23 = 6.0 * a4 * a6 + c.emsq * (24.0 * x2 * x6 - 6.0 * x4 * x8);
        c.z1 = c.z1 + c.z1 + betasq * c.z31;
        z2 = z2 + z2 + betasq * z32;
        c.z3 = c.z3 + c.z3 + betasq * c.z33;
        c.s3 = cc * xnoi;
        c.s2 = -0.5 * c.s3 / rtemsq;
        c.s4 = c.s3 * rtemsq;
        c.s1 = -15.0 * em * c.s4;
        c.s5 = x1 * x3 + x2 * x4;
        s6 = x2 * x3 + x1 * x4;
        s7 = x2 * x4 - x1 * x3;

        // The solar terms first, then the lunar ones.
        if (lsflg == 1) {
            c.ss1 = c.s1;
            c.ss2 = c.s2;
            c.ss3 = c.s3;
            c.ss4 = c.s4;
            c.ss5 = c.s5;
            ss6 = s6;
            ss7 = s7;
            c.sz1 = c.z1;
            sz2 = z2;
            c.sz3 = c.z3;
            c.sz11 = c.z11;
            sz12 = z12;
            c.sz13 = c.z13;
            c.sz21 = c.z21;
            sz22 = z22;
            c.sz23 = c.z23;
            c.sz31 = c.z31;
            sz32 = z32;
            c.sz33 = c.z33;
            zcosg = zcosgl;
            zsing = zsingl;
            zcosi = zcosil;
            zsini = zsinil;
            zcosh = zcoshl * cnodm + zsinhl * snodm;
            zsinh = snodm * zcoshl - cnodm * zsinhl;
            cc = c1l;
        }
    }
    rec.zmol = std::fmod(4.7199672 + 0.22997150 * day - gam, kTwoPi);
    rec.zmos = std::fmod(6.2565837 + 0.017201977 * day, kTwoPi);

    rec.se2 = 2.0 * c.ss1 * ss6;
    rec.se3 = 2.0 * c.ss1 * ss7;
    rec.si2 = 2.0 * c.ss2 * sz12;
    rec.si3 = 2.0 * c.ss2 * (c.sz13 - c.sz11);
    rec.sl2 = -2.0 * c.ss3 * sz2;
    rec.sl3 = -2.0 * c.ss3 * (c.sz3 - c.sz1);
    rec.sl4 = -2.0 * c.ss3 * (-21.0 - 9.0 * c.emsq) * zes;
    rec.sgh2 = 2.0 * c.ss4 * sz32;
    rec.sgh3 = 2.0 * c.ss4 * (c.sz33 - c.sz31);
    rec.sgh4 = -18.0 * c.ss4 * zes;
    rec.sh2 = -2.0 * c.ss2 * sz22;
    rec.sh3 = -2.0 * c.ss2 * (c.sz23 - c.sz21);
    rec.ee2 = 2.0 * c.s1 * s6;
    rec.e3 = 2.0 * c.s1 * s7;
    rec.xi2 = 2.0 * c.s2 * z12;
    rec.xi3 = 2.0 * c.s2 * (c.z13 - c.z11);
    rec.xl2 = -2.0 * c.s3 * z2;
    rec.xl3 = -2.0 * c.s3 * (c.z3 - c.z1);
    rec.xl4 = -2.0 * c.s3 * (-21.0 - 9.0 * c.emsq) * zel;
    rec.xgh2 = 2.0 * c.s4 * z32;
    rec.xgh3 = 2.0 * c.s4 * (c.z33 - c.z31);
    rec.xgh4 = -18.0 * c.s4 * zel;
    rec.xh2 = -2.0 * c.s2 * z22;
    rec.xh3 = -2.0 * c.s2 * (c.z23 - c.z21);
    return c;
}

// dsinit: the secular rates of the lunar-solar terms and, for the 12-hour
// (irez 2) and 24-hour (irez 1) resonances, the resonance coefficients;
// at t = tc = 0, as sgp4init calls it.
inline void dsinit(const Common& c, double eccsq, double xpidot, Record& rec) noexcept {
    constexpr double q22 = 1.7891679e-6;
    constexpr double q31 = 2.1460748e-6;
    constexpr double q33 = 2.2123015e-7;
    constexpr double root22 = 1.7891679e-6;
    constexpr double root44 = 7.3636953e-9;
    constexpr double root54 = 2.1765803e-9;
    constexpr double root32 = 3.7393792e-7;
    constexpr double root52 = 1.1428639e-7;
    constexpr double x2o3 = 2.0 / 3.0;
    constexpr double znl = 1.5835218e-4;
    constexpr double zns = 1.19459e-5;
    const double cosim = c.cosim, sinim = c.sinim, inclm = rec.inclo;
    const double nm = rec.no_unkozai;
    double em = rec.ecco;
    double emsq = c.emsq;

    rec.irez = 0;
    if (0.0034906585 < nm && nm < 0.0052359877) rec.irez = 1;
    if (8.26e-3 <= nm && nm <= 9.24e-3 && em >= 0.5) rec.irez = 2;

    const double ses = c.ss1 * zns * c.ss5;
    const double sis = c.ss2 * zns * (c.sz11 + c.sz13);
    const double sls = -zns * c.ss3 * (c.sz1 + c.sz3 - 14.0 - 6.0 * emsq);
    const double sghs = c.ss4 * zns * (c.sz31 + c.sz33 - 6.0);
    double shs = -zns * c.ss2 * (c.sz21 + c.sz23);
    if (inclm < 5.2359877e-2 || inclm > std::numbers::pi - 5.2359877e-2) shs = 0.0;
    if (sinim != 0.0) shs = shs / sinim;
    const double sgs = sghs - cosim * shs;

    rec.dedt = ses + c.s1 * znl * c.s5;
    rec.didt = sis + c.s2 * znl * (c.z11 + c.z13);
    rec.dmdt = sls - znl * c.s3 * (c.z1 + c.z3 - 14.0 - 6.0 * emsq);
    const double sghl = c.s4 * znl * (c.z31 + c.z33 - 6.0);
    double shll = -znl * c.s2 * (c.z21 + c.z23);
    if (inclm < 5.2359877e-2 || inclm > std::numbers::pi - 5.2359877e-2) shll = 0.0;
    rec.domdt = sgs + sghl;
    rec.dnodt = shs;
    if (sinim != 0.0) {
        rec.domdt = rec.domdt - cosim / sinim * shll;
        rec.dnodt = rec.dnodt + shll / sinim;
    }

    const double theta = std::fmod(rec.gsto, kTwoPi);
    if (rec.irez == 0) return;
    const double aonv = std::pow(nm / rec.g.xke, x2o3);
    if (rec.irez == 2) {
        const double cosisq = cosim * cosim;
        const double emo = em;
        em = rec.ecco;
        const double emsqo = emsq;
        emsq = eccsq;
        const double eoc = em * emsq;
        const double g201 = -0.306 - (em - 0.64) * 0.440;
        double g211, g310, g322, g410, g422, g520, g521, g532, g533;
        if (em <= 0.65) {
            g211 = 3.616 - 13.2470 * em + 16.2900 * emsq;
            g310 = -19.302 + 117.3900 * em - 228.4190 * emsq + 156.5910 * eoc;
            g322 = -18.9068 + 109.7927 * em - 214.6334 * emsq + 146.5816 * eoc;
            g410 = -41.122 + 242.6940 * em - 471.0940 * emsq + 313.9530 * eoc;
            g422 = -146.407 + 841.8800 * em - 1629.014 * emsq + 1083.4350 * eoc;
            g520 = -532.114 + 3017.977 * em - 5740.032 * emsq + 3708.2760 * eoc;
        } else {
            g211 = -72.099 + 331.819 * em - 508.738 * emsq + 266.724 * eoc;
            g310 = -346.844 + 1582.851 * em - 2415.925 * emsq + 1246.113 * eoc;
            g322 = -342.585 + 1554.908 * em - 2366.899 * emsq + 1215.972 * eoc;
            g410 = -1052.797 + 4758.686 * em - 7193.992 * emsq + 3651.957 * eoc;
            g422 = -3581.690 + 16178.110 * em - 24462.770 * emsq + 12422.520 * eoc;
            if (em > 0.715)
                g520 = -5149.66 + 29936.92 * em - 54087.36 * emsq + 31324.56 * eoc;
            else
                g520 = 1464.74 - 4664.75 * em + 3763.64 * emsq;
        }
        if (em < 0.7) {
            g533 = -919.22770 + 4988.6100 * em - 9064.7700 * emsq + 5542.21 * eoc;
            g521 = -822.71072 + 4568.6173 * em - 8491.4146 * emsq + 5337.524 * eoc;
            g532 = -853.66600 + 4690.2500 * em - 8624.7700 * emsq + 5341.4 * eoc;
        } else {
            g533 = -37995.780 + 161616.52 * em - 229838.20 * emsq + 109377.94 * eoc;
            g521 = -51752.104 + 218913.95 * em - 309468.16 * emsq + 146349.42 * eoc;
            g532 = -40023.880 + 170470.89 * em - 242699.48 * emsq + 115605.82 * eoc;
        }
        const double sini2 = sinim * sinim;
        const double f220 = 0.75 * (1.0 + 2.0 * cosim + cosisq);
        const double f221 = 1.5 * sini2;
        const double f321 = 1.875 * sinim * (1.0 - 2.0 * cosim - 3.0 * cosisq);
        const double f322 = -1.875 * sinim * (1.0 + 2.0 * cosim - 3.0 * cosisq);
        const double f441 = 35.0 * sini2 * f220;
        const double f442 = 39.3750 * sini2 * sini2;
        const double f522 =
            9.84375 * sinim *
            (sini2 * (1.0 - 2.0 * cosim - 5.0 * cosisq) + 0.33333333 * (-2.0 + 4.0 * cosim + 6.0 * cosisq));
        const double f523 = sinim * (4.92187512 * sini2 * (-2.0 - 4.0 * cosim + 10.0 * cosisq) +
                                     6.56250012 * (1.0 + 2.0 * cosim - 3.0 * cosisq));
        const double f542 = 29.53125 * sinim * (2.0 - 8.0 * cosim + cosisq * (-12.0 + 8.0 * cosim + 10.0 * cosisq));
        const double f543 = 29.53125 * sinim * (-2.0 - 8.0 * cosim + cosisq * (12.0 + 8.0 * cosim - 10.0 * cosisq));
        const double xno2 = nm * nm;
        const double ainv2 = aonv * aonv;
        double temp1 = 3.0 * xno2 * ainv2;
        double temp = temp1 * root22;
        rec.d2201 = temp * f220 * g201;
        rec.d2211 = temp * f221 * g211;
        temp1 = temp1 * aonv;
        temp = temp1 * root32;
        rec.d3210 = temp * f321 * g310;
        rec.d3222 = temp * f322 * g322;
        temp1 = temp1 * aonv;
        temp = 2.0 * temp1 * root44;
        rec.d4410 = temp * f441 * g410;
        rec.d4422 = temp * f442 * g422;
        temp1 = temp1 * aonv;
        temp = temp1 * root52;
        rec.d5220 = temp * f522 * g520;
        rec.d5232 = temp * f523 * g532;
        temp = 2.0 * temp1 * root54;
        rec.d5421 = temp * f542 * g521;
        rec.d5433 = temp * f543 * g533;
        rec.xlamo = std::fmod(rec.mo + rec.nodeo + rec.nodeo - theta - theta, kTwoPi);
        rec.xfact = rec.mdot + rec.dmdt + 2.0 * (rec.nodedot + rec.dnodt - kRptim) - rec.no_unkozai;
        em = emo;
        emsq = emsqo;
    }
    if (rec.irez == 1) {
        const double g200 = 1.0 + emsq * (-2.5 + 0.8125 * emsq);
        const double g310 = 1.0 + 2.0 * emsq;
        const double g300 = 1.0 + emsq * (-6.0 + 6.60937 * emsq);
        const double f220 = 0.75 * (1.0 + cosim) * (1.0 + cosim);
        const double f311 = 0.9375 * sinim * sinim * (1.0 + 3.0 * cosim) - 0.75 * (1.0 + cosim);
        double f330 = 1.0 + cosim;
        f330 = 1.875 * f330 * f330 * f330;
        rec.del1 = 3.0 * nm * nm * aonv * aonv;
        rec.del2 = 2.0 * rec.del1 * f220 * g200 * q22;
        rec.del3 = 3.0 * rec.del1 * f330 * g300 * q33 * aonv;
        rec.del1 = rec.del1 * f311 * g310 * q31 * aonv;
        rec.xlamo = std::fmod(rec.mo + rec.nodeo + rec.argpo - theta, kTwoPi);
        rec.xfact = rec.mdot + xpidot - kRptim + rec.dmdt + rec.domdt + rec.dnodt - rec.no_unkozai;
    }
}

// Mean elements at t after the secular and resonance terms.
struct Mean {
    double em, argpm, inclm, mm, nodem, nm;
};

// dspace: the deep-space secular terms at t, and the resonances integrated
// from the epoch in 720-minute steps.
inline void dspace(const Record& rec, double t, Mean& m) noexcept {
    constexpr double fasx2 = 0.13130908;
    constexpr double fasx4 = 2.8843198;
    constexpr double fasx6 = 0.37448087;
    constexpr double g22 = 5.7686396;
    constexpr double g32 = 0.95240898;
    constexpr double g44 = 1.8014998;
    constexpr double g52 = 1.0508330;
    constexpr double g54 = 4.4108898;
    constexpr double stepp = 720.0;
    constexpr double stepn = -720.0;
    constexpr double step2 = 259200.0;
    const double tc = t;
    const double theta = std::fmod(rec.gsto + tc * kRptim, kTwoPi);
    m.em = m.em + rec.dedt * t;
    m.inclm = m.inclm + rec.didt * t;
    m.argpm = m.argpm + rec.domdt * t;
    m.nodem = m.nodem + rec.dnodt * t;
    m.mm = m.mm + rec.dmdt * t;
    if (rec.irez == 0) return;
    double atime = 0.0;
    double xni = rec.no_unkozai;
    double xli = rec.xlamo;
    const double delt = t > 0.0 ? stepp : stepn;
    double ft = 0.0, xndt = 0.0, xldot = 0.0, xnddt = 0.0;
    for (;;) {
        if (rec.irez != 2) {
            xndt = rec.del1 * std::sin(xli - fasx2) + rec.del2 * std::sin(2.0 * (xli - fasx4)) +
                   rec.del3 * std::sin(3.0 * (xli - fasx6));
            xldot = xni + rec.xfact;
            xnddt = rec.del1 * std::cos(xli - fasx2) + 2.0 * rec.del2 * std::cos(2.0 * (xli - fasx4)) +
                    3.0 * rec.del3 * std::cos(3.0 * (xli - fasx6));
            xnddt = xnddt * xldot;
        } else {
            const double xomi = rec.argpo + rec.argpdot * atime;
            const double x2omi = xomi + xomi;
            const double x2li = xli + xli;
            xndt = (rec.d2201 * std::sin(x2omi + xli - g22) + rec.d2211 * std::sin(xli - g22) +
                    rec.d3210 * std::sin(xomi + xli - g32) + rec.d3222 * std::sin(-xomi + xli - g32) +
                    rec.d4410 * std::sin(x2omi + x2li - g44) + rec.d4422 * std::sin(x2li - g44) +
                    rec.d5220 * std::sin(xomi + xli - g52) + rec.d5232 * std::sin(-xomi + xli - g52) +
                    rec.d5421 * std::sin(xomi + x2li - g54) + rec.d5433 * std::sin(-xomi + x2li - g54));
            xldot = xni + rec.xfact;
            xnddt = (rec.d2201 * std::cos(x2omi + xli - g22) + rec.d2211 * std::cos(xli - g22) +
                     rec.d3210 * std::cos(xomi + xli - g32) + rec.d3222 * std::cos(-xomi + xli - g32) +
                     rec.d5220 * std::cos(xomi + xli - g52) + rec.d5232 * std::cos(-xomi + xli - g52) +
                     2.0 * (rec.d4410 * std::cos(x2omi + x2li - g44) + rec.d4422 * std::cos(x2li - g44) +
                            rec.d5421 * std::cos(xomi + x2li - g54) + rec.d5433 * std::cos(-xomi + x2li - g54)));
            xnddt = xnddt * xldot;
        }
        // A non-finite t would never end the loop: it is refused before.
        if (std::fabs(t - atime) >= stepp) {
            xli = xli + xldot * delt + xndt * step2;
            xni = xni + xndt * delt + xnddt * step2;
            atime = atime + delt;
        } else {
            ft = t - atime;
            break;
        }
    }
    m.nm = xni + xndt * ft + xnddt * ft * ft * 0.5;
    const double xl = xli + xldot * ft + xndt * ft * ft * 0.5;
    double dndt;
    if (rec.irez != 1) {
        m.mm = xl - 2.0 * m.nodem + 2.0 * theta;
        dndt = m.nm - rec.no_unkozai;
    } else {
        m.mm = xl - m.nodem - m.argpm + theta;
        dndt = m.nm - rec.no_unkozai;
    }
    m.nm = rec.no_unkozai + dndt;
}

}  // namespace detail

struct State {
    double r[3];  // km
    double v[3];  // km/s
};

// Propagation `tsince` minutes from the epoch. Returns the model's code;
// r and v are written for kOk and kDecayed, NaN otherwise. A deep-space
// resonant orbit integrates from the epoch in 720-minute steps: callers
// keep tsince finite and within a sane span.
inline int propagate(const Record& rec, double tsince, State& out) noexcept {
    constexpr double twopi = 2.0 * std::numbers::pi;
    constexpr double x2o3 = 2.0 / 3.0;
    constexpr double temp4 = 1.5e-12;
    constexpr double missing = std::numeric_limits<double>::quiet_NaN();
    for (int x = 0; x < 3; ++x) out.r[x] = out.v[x] = missing;
    const Gravity& g = rec.g;
    const double vkmpersec = g.radiusearthkm * g.xke / 60.0;
    const double t = tsince;

    const double xmdf = rec.mo + rec.mdot * t;
    const double argpdf = rec.argpo + rec.argpdot * t;
    const double nodedf = rec.nodeo + rec.nodedot * t;
    double argpm = argpdf;
    double mm = xmdf;
    const double t2 = t * t;
    double nodem = nodedf + rec.nodecf * t2;
    double tempa = 1.0 - rec.cc1 * t;
    double tempe = rec.bstar * rec.cc4 * t;
    double templ = rec.t2cof * t2;
    if (rec.isimp != 1) {
        const double delomg = rec.omgcof * t;
        const double delmtemp = 1.0 + rec.eta * std::cos(xmdf);
        const double delm = rec.xmcof * (delmtemp * delmtemp * delmtemp - rec.delmo);
        const double temp = delomg + delm;
        mm = xmdf + temp;
        argpm = argpdf - temp;
        const double t3 = t2 * t;
        const double t4 = t3 * t;
        tempa = tempa - rec.d2 * t2 - rec.d3 * t3 - rec.d4 * t4;
        tempe = tempe + rec.bstar * rec.cc5 * (std::sin(mm) - rec.sinmao);
        templ = templ + rec.t3cof * t3 + t4 * (rec.t4cof + t * rec.t5cof);
    }
    double nm = rec.no_unkozai;
    double em = rec.ecco;
    double inclm = rec.inclo;
    if (rec.deep_space) {
        detail::Mean m{em, argpm, inclm, mm, nodem, nm};
        detail::dspace(rec, t, m);
        em = m.em;
        argpm = m.argpm;
        inclm = m.inclm;
        mm = m.mm;
        nodem = m.nodem;
        nm = m.nm;
    }
    if (nm <= 0.0) return kMeanMotion;
    const double am = std::pow((g.xke / nm), x2o3) * tempa * tempa;
    nm = g.xke / std::pow(am, 1.5);
    em = em - tempe;
    if (em >= 1.0 || em < -0.001) return kEccentricity;
    if (em < 1.0e-6) em = 1.0e-6;
    mm = mm + rec.no_unkozai * templ;
    double xlm = mm + argpm + nodem;
    nodem = std::fmod(nodem, twopi);
    argpm = std::fmod(argpm, twopi);
    xlm = std::fmod(xlm, twopi);
    mm = std::fmod(xlm - argpm - nodem, twopi);

    double sinip = std::sin(inclm);
    double cosip = std::cos(inclm);
    detail::Angles p{em, inclm, nodem, argpm, mm};
    double aycof = rec.aycof, xlcof = rec.xlcof;
    double con41 = rec.con41, x1mth2 = rec.x1mth2, x7thm1 = rec.x7thm1;
    if (rec.deep_space) {
        detail::dpper(rec, t, false, p);
        if (p.inclp < 0.0) {
            p.inclp = -p.inclp;
            p.nodep = p.nodep + std::numbers::pi;
            p.argpp = p.argpp - std::numbers::pi;
        }
        if (p.ep < 0.0 || p.ep > 1.0) return kPerturbedEcc;
        sinip = std::sin(p.inclp);
        cosip = std::cos(p.inclp);
        aycof = -0.5 * g.j3oj2 * sinip;
        if (std::fabs(cosip + 1.0) > 1.5e-12)
            xlcof = -0.25 * g.j3oj2 * sinip * (3.0 + 5.0 * cosip) / (1.0 + cosip);
        else
            xlcof = -0.25 * g.j3oj2 * sinip * (3.0 + 5.0 * cosip) / temp4;
    }
    const double ep = p.ep, xincp = p.inclp, nodep = p.nodep, argpp = p.argpp, mp = p.mp;

    // Long-period periodics.
    const double axnl = ep * std::cos(argpp);
    double temp = 1.0 / (am * (1.0 - ep * ep));
    const double aynl = ep * std::sin(argpp) + temp * aycof;
    const double xl = mp + argpp + nodep + temp * xlcof * axnl;

    // Kepler's equation.
    const double u = std::fmod(xl - nodep, twopi);
    double eo1 = u;
    double tem5 = 9999.9;
    int ktr = 1;
    double sineo1 = 0.0, coseo1 = 0.0;
    while (std::fabs(tem5) >= 1.0e-12 && ktr <= 10) {
        sineo1 = std::sin(eo1);
        coseo1 = std::cos(eo1);
        tem5 = 1.0 - coseo1 * axnl - sineo1 * aynl;
        tem5 = (u - aynl * coseo1 + axnl * sineo1 - eo1) / tem5;
        if (std::fabs(tem5) >= 0.95) tem5 = tem5 > 0.0 ? 0.95 : -0.95;
        eo1 = eo1 + tem5;
        ktr = ktr + 1;
    }

    // Short-period periodics.
    const double ecose = axnl * coseo1 + aynl * sineo1;
    const double esine = axnl * sineo1 - aynl * coseo1;
    const double el2 = axnl * axnl + aynl * aynl;
    const double pl = am * (1.0 - el2);
    if (pl < 0.0) return kSemilatusRectum;
    const double rl = am * (1.0 - ecose);
    const double rdotl = std::sqrt(am) * esine / rl;
    const double rvdotl = std::sqrt(pl) / rl;
    const double betal = std::sqrt(1.0 - el2);
    temp = esine / (1.0 + betal);
    const double sinu = am / rl * (sineo1 - aynl - axnl * temp);
    const double cosu = am / rl * (coseo1 - axnl + aynl * temp);
    double su = std::atan2(sinu, cosu);
    const double sin2u = (cosu + cosu) * sinu;
    const double cos2u = 1.0 - 2.0 * sinu * sinu;
    temp = 1.0 / pl;
    const double temp1 = 0.5 * g.j2 * temp;
    const double temp2 = temp1 * temp;
    if (rec.deep_space) {
        const double cosisq = cosip * cosip;
        con41 = 3.0 * cosisq - 1.0;
        x1mth2 = 1.0 - cosisq;
        x7thm1 = 7.0 * cosisq - 1.0;
    }
    const double mrt = rl * (1.0 - 1.5 * temp2 * betal * con41) + 0.5 * temp1 * x1mth2 * cos2u;
    su = su - 0.25 * temp2 * x7thm1 * sin2u;
    const double xnode = nodep + 1.5 * temp2 * cosip * sin2u;
    const double xinc = xincp + 1.5 * temp2 * cosip * sinip * cos2u;
    const double mvt = rdotl - nm * temp1 * x1mth2 * sin2u / g.xke;
    const double rvdot = rvdotl + nm * temp1 * (x1mth2 * cos2u + 1.5 * con41) / g.xke;

    const double sinsu = std::sin(su);
    const double cossu = std::cos(su);
    const double snod = std::sin(xnode);
    const double cnod = std::cos(xnode);
    const double sini = std::sin(xinc);
    const double cosi = std::cos(xinc);
    const double xmx = -snod * cosi;
    const double xmy = cnod * cosi;
    const double ux = xmx * sinsu + cnod * cossu;
    const double uy = xmy * sinsu + snod * cossu;
    const double uz = sini * sinsu;
    const double vx = xmx * cossu - cnod * sinsu;
    const double vy = xmy * cossu - snod * sinsu;
    const double vz = sini * cossu;
    const double mr = mrt * g.radiusearthkm;
    out.r[0] = mr * ux;
    out.r[1] = mr * uy;
    out.r[2] = mr * uz;
    out.v[0] = (mvt * ux + rvdot * vx) * vkmpersec;
    out.v[1] = (mvt * uy + rvdot * vy) * vkmpersec;
    out.v[2] = (mvt * uz + rvdot * vz) * vkmpersec;
    return mrt < 1.0 ? kDecayed : kOk;
}

// sgp4init, operation mode 'i': the record of an element set. The code of
// the model at the epoch is in `init_error` (as the reference leaves it in
// satrec.error); deep-space orbits (SDP4) come back with `deep_space` set.
inline Record init(const Gravity& g, const Elements& el) noexcept {
    constexpr double x2o3 = 2.0 / 3.0;
    constexpr double temp4 = 1.5e-12;
    Record rec;
    rec.g = g;
    rec.bstar = el.bstar;
    rec.ecco = el.ecco;
    rec.argpo = el.argpo;
    rec.inclo = el.inclo;
    rec.mo = el.mo;
    rec.nodeo = el.nodeo;

    const double ss = 78.0 / g.radiusearthkm + 1.0;
    const double qzms2ttemp = (120.0 - 78.0) / g.radiusearthkm;
    const double qzms2t = qzms2ttemp * qzms2ttemp * qzms2ttemp * qzms2ttemp;

    // initl
    const double eccsq = rec.ecco * rec.ecco;
    const double omeosq = 1.0 - eccsq;
    const double rteosq = std::sqrt(omeosq);
    const double cosio = std::cos(rec.inclo);
    const double cosio2 = cosio * cosio;
    const double ak = std::pow(g.xke / el.no_kozai, x2o3);
    const double d1 = 0.75 * g.j2 * (3.0 * cosio2 - 1.0) / (rteosq * omeosq);
    double del = d1 / (ak * ak);
    const double adel = ak * (1.0 - del * del - del * (1.0 / 3.0 + 134.0 * del * del / 81.0));
    del = d1 / (adel * adel);
    rec.no_unkozai = el.no_kozai / (1.0 + del);
    const double ao = std::pow(g.xke / rec.no_unkozai, x2o3);
    const double sinio = std::sin(rec.inclo);
    const double po = ao * omeosq;
    const double con42 = 1.0 - 5.0 * cosio2;
    rec.con41 = -con42 - cosio2 - cosio2;
    const double posq = po * po;
    const double rp = ao * (1.0 - rec.ecco);
    rec.gsto = gstime(el.epoch + 2433281.5);

    rec.a = std::pow(rec.no_unkozai * g.tumin, (-2.0 / 3.0));
    rec.alta = rec.a * (1.0 + rec.ecco) - 1.0;
    rec.altp = rec.a * (1.0 - rec.ecco) - 1.0;

    if (omeosq >= 0.0 || rec.no_unkozai >= 0.0) {
        rec.isimp = 0;
        if (rp < 220.0 / g.radiusearthkm + 1.0) rec.isimp = 1;
        double sfour = ss;
        double qzms24 = qzms2t;
        const double perige = (rp - 1.0) * g.radiusearthkm;
        if (perige < 156.0) {
            sfour = perige - 78.0;
            if (perige < 98.0) sfour = 20.0;
            const double qzms24temp = (120.0 - sfour) / g.radiusearthkm;
            qzms24 = qzms24temp * qzms24temp * qzms24temp * qzms24temp;
            sfour = sfour / g.radiusearthkm + 1.0;
        }
        const double pinvsq = 1.0 / posq;
        const double tsi = 1.0 / (ao - sfour);
        rec.eta = ao * rec.ecco * tsi;
        const double etasq = rec.eta * rec.eta;
        const double eeta = rec.ecco * rec.eta;
        const double psisq = std::fabs(1.0 - etasq);
        const double coef = qzms24 * std::pow(tsi, 4.0);
        const double coef1 = coef / std::pow(psisq, 3.5);
        const double cc2 = coef1 * rec.no_unkozai *
                           (ao * (1.0 + 1.5 * etasq + eeta * (4.0 + etasq)) +
                            0.375 * g.j2 * tsi / psisq * rec.con41 * (8.0 + 3.0 * etasq * (8.0 + etasq)));
        rec.cc1 = rec.bstar * cc2;
        double cc3 = 0.0;
        if (rec.ecco > 1.0e-4) cc3 = -2.0 * coef * tsi * g.j3oj2 * rec.no_unkozai * sinio / rec.ecco;
        rec.x1mth2 = 1.0 - cosio2;
        rec.cc4 = 2.0 * rec.no_unkozai * coef1 * ao * omeosq *
                  (rec.eta * (2.0 + 0.5 * etasq) + rec.ecco * (0.5 + 2.0 * etasq) -
                   g.j2 * tsi / (ao * psisq) *
                       (-3.0 * rec.con41 * (1.0 - 2.0 * eeta + etasq * (1.5 - 0.5 * eeta)) +
                        0.75 * rec.x1mth2 * (2.0 * etasq - eeta * (1.0 + etasq)) * std::cos(2.0 * rec.argpo)));
        rec.cc5 = 2.0 * coef1 * ao * omeosq * (1.0 + 2.75 * (etasq + eeta) + eeta * etasq);
        const double cosio4 = cosio2 * cosio2;
        const double temp1 = 1.5 * g.j2 * pinvsq * rec.no_unkozai;
        const double temp2 = 0.5 * temp1 * g.j2 * pinvsq;
        const double temp3 = -0.46875 * g.j4 * pinvsq * pinvsq * rec.no_unkozai;
        rec.mdot = rec.no_unkozai + 0.5 * temp1 * rteosq * rec.con41 +
                   0.0625 * temp2 * rteosq * (13.0 - 78.0 * cosio2 + 137.0 * cosio4);
        rec.argpdot = (-0.5 * temp1 * con42 + 0.0625 * temp2 * (7.0 - 114.0 * cosio2 + 395.0 * cosio4) +
                       temp3 * (3.0 - 36.0 * cosio2 + 49.0 * cosio4));
        const double xhdot1 = -temp1 * cosio;
        rec.nodedot = xhdot1 + (0.5 * temp2 * (4.0 - 19.0 * cosio2) + 2.0 * temp3 * (3.0 - 7.0 * cosio2)) * cosio;
        rec.omgcof = rec.bstar * cc3 * std::cos(rec.argpo);
        rec.xmcof = 0.0;
        if (rec.ecco > 1.0e-4) rec.xmcof = -x2o3 * coef * rec.bstar / eeta;
        rec.nodecf = 3.5 * omeosq * xhdot1 * rec.cc1;
        rec.t2cof = 1.5 * rec.cc1;
        if (std::fabs(cosio + 1.0) > 1.5e-12)
            rec.xlcof = -0.25 * g.j3oj2 * sinio * (3.0 + 5.0 * cosio) / (1.0 + cosio);
        else
            rec.xlcof = -0.25 * g.j3oj2 * sinio * (3.0 + 5.0 * cosio) / temp4;
        rec.aycof = -0.5 * g.j3oj2 * sinio;
        const double delmotemp = 1.0 + rec.eta * std::cos(rec.mo);
        rec.delmo = delmotemp * delmotemp * delmotemp;
        rec.sinmao = std::sin(rec.mo);
        rec.x7thm1 = 7.0 * cosio2 - 1.0;

        const double xpidot = rec.argpdot + rec.nodedot;
        if (2 * std::numbers::pi / rec.no_unkozai >= 225.0) {
            rec.deep_space = true;
            rec.isimp = 1;
            const detail::Common c =
                detail::dscom(el.epoch, rec.ecco, rec.argpo, 0.0, rec.inclo, rec.nodeo, rec.no_unkozai, rec);
            // (dpper at initialisation changes no element.)
            detail::dsinit(c, eccsq, xpidot, rec);
        }
        if (rec.isimp != 1) {
            const double cc1sq = rec.cc1 * rec.cc1;
            rec.d2 = 4.0 * ao * tsi * cc1sq;
            const double temp = rec.d2 * tsi * rec.cc1 / 3.0;
            rec.d3 = (17.0 * ao + sfour) * temp;
            rec.d4 = 0.5 * temp * ao * tsi * (221.0 * ao + 31.0 * sfour) * rec.cc1;
            rec.t3cof = rec.d2 + 2.0 * cc1sq;
            rec.t4cof = 0.25 * (3.0 * rec.d3 + rec.cc1 * (12.0 * rec.d2 + 10.0 * cc1sq));
            rec.t5cof = 0.2 * (3.0 * rec.d4 + 12.0 * rec.cc1 * rec.d3 + 6.0 * rec.d2 * rec.d2 +
                               15.0 * cc1sq * (2.0 * rec.d2 + cc1sq));
        }
    }
    State s;
    rec.init_error = propagate(rec, 0.0, s);
    return rec;
}

}  // namespace velarion::propagators::analytical::sgp4::kernels

#endif
