// SGP4 (near-Earth) propagation of mean elements (no Python).
//
// A C++ port of the near-Earth part of Vallado's SGP4 (sgp4init with
// operation mode 'i', and sgp4), made from the line-by-line Python version
// in the `sgp4` package (sgp4/propagation.py, Brandon Rhodes, MIT licence;
// the original C++ by David Vallado is in the public domain). Statements
// keep the reference's operation order, so results agree with the `sgp4`
// package's Satrec to the last bits or nearly so. Angle reductions use
// fmod, as the C++ reference does.
//
// Deep-space orbits (period of 225 minutes or more) need the lunar-solar
// terms of SDP4, which this port does not carry: `init` marks them
// (`deep_space`) and `propagate` refuses them with kDeepSpace; callers
// propagate those with the `sgp4` package.
//
// Units as in the model: minutes, radians, Earth radii; states in km and
// km/s, TEME.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_SGP4_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_SGP4_HPP

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

// The model's error codes (as the reference numbers them), plus
// kDeepSpace for an orbit this port does not propagate.
enum Sgp4Code : int {
    kOk = 0,
    kEccentricity = 1,     // mean eccentricity outside [-0.001, 1)
    kMeanMotion = 2,       // mean motion not positive
    kPerturbedEcc = 3,     // perturbed eccentricity outside [0, 1] (deep space)
    kSemilatusRectum = 4,  // semi-latus rectum negative
    kDecayed = 6,          // radius below one Earth radius: the state is still given
    kDeepSpace = 100,      // deep-space orbit: not propagated here
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
};

// Greenwich sidereal time of a UT1 Julian Date (the model's IAU 1982 form).
inline double gstime(double jdut1) noexcept {
    constexpr double twopi = 2.0 * std::numbers::pi;
    constexpr double deg2rad = std::numbers::pi / 180.0;
    const double tut1 = (jdut1 - 2451545.0) / 36525.0;
    double temp = -6.2e-6 * tut1 * tut1 * tut1 + 0.093104 * tut1 * tut1 +
                  (876600.0 * 3600 + 8640184.812866) * tut1 + 67310.54841;
    temp = std::fmod(temp * deg2rad / 240.0, twopi);
    if (temp < 0.0) temp += twopi;
    return temp;
}

struct State {
    double r[3];  // km
    double v[3];  // km/s
};

// Propagation `tsince` minutes from the epoch. Returns the model's code;
// r and v are written for kOk and kDecayed, NaN otherwise.
inline int propagate(const Record& rec, double tsince, State& out) noexcept {
    constexpr double twopi = 2.0 * std::numbers::pi;
    constexpr double x2o3 = 2.0 / 3.0;
    constexpr double temp4 = 1.5e-12;
    for (int x = 0; x < 3; ++x) out.r[x] = out.v[x] = std::nan("");
    if (rec.deep_space) return kDeepSpace;
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
    const double inclm = rec.inclo;
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

    const double sinim = std::sin(inclm);
    const double cosim = std::cos(inclm);
    const double ep = em;
    const double xincp = inclm;
    const double argpp = argpm;
    const double nodep = nodem;
    const double mp = mm;
    const double sinip = sinim;
    const double cosip = cosim;

    // Long-period periodics.
    const double axnl = ep * std::cos(argpp);
    double temp = 1.0 / (am * (1.0 - ep * ep));
    const double aynl = ep * std::sin(argpp) + temp * rec.aycof;
    const double xl = mp + argpp + nodep + temp * rec.xlcof * axnl;

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
    const double mrt = rl * (1.0 - 1.5 * temp2 * betal * rec.con41) + 0.5 * temp1 * rec.x1mth2 * cos2u;
    su = su - 0.25 * temp2 * rec.x7thm1 * sin2u;
    const double xnode = nodep + 1.5 * temp2 * cosip * sin2u;
    const double xinc = xincp + 1.5 * temp2 * cosip * sinip * cos2u;
    const double mvt = rdotl - nm * temp1 * rec.x1mth2 * sin2u / g.xke;
    const double rvdot = rvdotl + nm * temp1 * (rec.x1mth2 * cos2u + 1.5 * rec.con41) / g.xke;

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
    (void)temp4;
    return mrt < 1.0 ? kDecayed : kOk;
}

// sgp4init, operation mode 'i': the record of an element set. The code of
// the model at the epoch is in `init_error` (as the reference leaves it in
// satrec.error); deep-space orbits come back with `deep_space` set.
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

        if (2 * std::numbers::pi / rec.no_unkozai >= 225.0) {
            rec.deep_space = true;
            rec.isimp = 1;
            rec.init_error = kDeepSpace;
            return rec;
        }
        if (rec.isimp != 1) {
            const double cc1sq = rec.cc1 * rec.cc1;
            rec.d2 = 4.0 * ao * tsi * cc1sq;
            const double temp = rec.d2 * tsi * rec.cc1 / 3.0;
            rec.d3 = (17.0 * ao + sfour) * temp;
            rec.d4 = 0.5 * temp * ao * tsi * (221.0 * ao + 31.0 * sfour) * rec.cc1;
            rec.t3cof = rec.d2 + 2.0 * cc1sq;
            rec.t4cof = 0.25 * (3.0 * rec.d3 + rec.cc1 * (12.0 * rec.d2 + 10.0 * cc1sq));
            rec.t5cof =
                0.2 * (3.0 * rec.d4 + 12.0 * rec.cc1 * rec.d3 + 6.0 * rec.d2 * rec.d2 + 15.0 * cc1sq * (2.0 * rec.d2 + cc1sq));
        }
    }
    State s;
    rec.init_error = propagate(rec, 0.0, s);
    return rec;
}

}  // namespace velarion::propagators::analytical::sgp4::kernels

#endif
