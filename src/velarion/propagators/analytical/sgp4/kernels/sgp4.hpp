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
// The resonance integrator's state (atime, xli, xni), which the reference
// keeps in the record, lives in the caller's `Resonance`: the record stays
// read-only (one record may serve several threads), and a caller that
// carries one `Resonance` across the epochs of one call resumes from the
// last step as the reference does (each 720-minute step from the epoch
// taken once over a sorted run), with the reference's own restart rule
// otherwise. The steps are the same operations whether resumed or
// restarted, so both give the same numbers.
//
// Units as in the model: minutes, radians, Earth radii; states in km and
// km/s, TEME.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_SGP4_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_SGP4_HPP

#include "velarion/propagators/analytical/sgp4/kernels/deep_space.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/model.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace velarion::propagators::analytical::sgp4::kernels {

struct State {
    double r[3];  // km
    double v[3];  // km/s
};

// Propagation `tsince` minutes from the epoch. Returns the model's code;
// r and v are written for kOk and kDecayed, NaN otherwise. A deep-space
// resonant orbit integrates in 720-minute steps, from the epoch or from
// where `res` left off (see above): callers keep tsince finite and within
// a sane span.
inline int propagate(const Record& rec, double tsince, State& out, Resonance& res) noexcept {
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
        detail::dspace(rec, t, m, res);
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

// Propagation with the integrator started from the epoch (one state
// alone; a run of epochs carries one `Resonance` instead).
inline int propagate(const Record& rec, double tsince, State& out) noexcept {
    Resonance res;
    return propagate(rec, tsince, out, res);
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
