// The deep-space part of the SGP4 port (SDP4; no Python): the lunar-solar
// terms (dscom, dsinit), their periodics (dpper) and the secular and
// resonance terms (dspace). Part of the port described in sgp4.hpp.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_DEEP_SPACE_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_DEEP_SPACE_HPP

#include "velarion/propagators/analytical/sgp4/kernels/model.hpp"

#include <cmath>
#include <numbers>

namespace velarion::propagators::analytical::sgp4::kernels {

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
// in 720-minute steps from the epoch, or from the state `res` holds when t
// lies beyond it on the same side of the epoch (the reference's rule).
inline void dspace(const Record& rec, double t, Mean& m, Resonance& res) noexcept {
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
    if (res.atime == 0.0 || t * res.atime <= 0.0 || std::fabs(t) < std::fabs(res.atime)) {
        res.atime = 0.0;
        res.xni = rec.no_unkozai;
        res.xli = rec.xlamo;
    }
    double atime = res.atime;
    double xni = res.xni;
    double xli = res.xli;
    long long steps = 0;
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
            ++steps;
        } else {
            ft = t - atime;
            break;
        }
    }
    res.atime = atime;
    res.xni = xni;
    res.xli = xli;
    res.steps += steps;
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

}  // namespace velarion::propagators::analytical::sgp4::kernels

#endif
