// NRLMSISE-00 empirical atmosphere model (Picone, Hedin, Drob, 2002), a
// port of the model's public C reference code: Dominik Brodowski's C
// release 20041227 of the NRL Fortran package, as distributed with the
// `nrlmsise00` Python package (src/c_nrlmsise-00). Its notice, which this
// port keeps, is in LICENSES/NRLMSISE-00.txt: the C code is in the public
// domain; the original Fortran states that it is "in the public domain and
// not licensed or under copyright". Derived works shall not identify
// themselves in a manner that implies an endorsement by or an affiliation
// with the Naval Research Laboratory.
//
// This file holds the model's inputs and outputs, its shared variables and
// the routines from TSELEC to DENSU (switches, gravity, chemistry
// corrections, splines and the temperature and density profiles).
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_NRLMSISE00_PROFILES_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_NRLMSISE00_PROFILES_HPP

#include "velarion/propagators/numerical/kernels/nrlmsise00_tables.hpp"

#include <cmath>

namespace velarion::numerical::nrlmsise00 {

using std::cos;
using std::exp;
using std::fabs;
using std::log;
using std::pow;
using std::sin;
using std::sqrt;

struct nrlmsise_flags {
    int switches[24];
    double sw[24];
    double swc[24];
};

struct ap_array {
    double a[7];
};

struct nrlmsise_input {
    int year;              /* year, currently ignored */
    int doy;               /* day of year */
    double sec;            /* seconds in day (UT) */
    double alt;            /* altitude in kilometers */
    double g_lat;          /* geodetic latitude */
    double g_long;         /* geodetic longitude */
    double lst;            /* local apparent solar time (hours), see note below */
    double f107A;          /* 81 day average of F10.7 flux (centered on doy) */
    double f107;           /* daily F10.7 flux for previous day */
    double ap;             /* magnetic index(daily) */
    struct ap_array* ap_a; /* see above */
};

struct nrlmsise_output {
    double d[9]; /* densities */
    double t[2]; /* temperatures */
};

inline constexpr int kMaxSplineNodes = 16;

// The model's shared variables (the C code's file statics), with the
// routines up to DENSU that work on them.
struct ModelProfiles {
    /* PARMB */
    double gsurf;
    double re;

    /* GTS3C */
    double dd;

    /* DMIX */
    double dm04, dm16, dm28, dm32, dm40, dm01, dm14;

    /* MESO7 */
    double meso_tn1[5];
    double meso_tn2[4];
    double meso_tn3[5];
    double meso_tgn1[2];
    double meso_tgn2[2];
    double meso_tgn3[2];

    /* LPOLY */
    double dfa;
    double plg[4][9];
    double ctloc, stloc;
    double c2tloc, s2tloc;
    double s3tloc, c3tloc;
    double apdf, apt[4];

    /* ------------------------------------------------------------------- */
    /* ------------------------------ TSELEC ----------------------------- */
    /* ------------------------------------------------------------------- */

    void tselec(struct nrlmsise_flags* flags) {
        int i;
        for (i = 0; i < 24; i++) {
            if (i != 9) {
                if (flags->switches[i] == 1)
                    flags->sw[i] = 1;
                else
                    flags->sw[i] = 0;
                if (flags->switches[i] > 0)
                    flags->swc[i] = 1;
                else
                    flags->swc[i] = 0;
            } else {
                flags->sw[i] = flags->switches[i];
                flags->swc[i] = flags->switches[i];
            }
        }
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------ GLATF ------------------------------ */
    /* ------------------------------------------------------------------- */

    void glatf(double lat, double* gv, double* reff) {
        double dgtr = 1.74533E-2;
        double c2;
        c2 = cos(2.0 * dgtr * lat);
        *gv = 980.616 * (1.0 - 0.0026373 * c2);
        *reff = 2.0 * (*gv) / (3.085462E-6 + 2.27E-9 * c2) * 1.0E-5;
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------ CCOR ------------------------------- */
    /* ------------------------------------------------------------------- */

    double ccor(double alt, double r, double h1, double zh) {
        /*        CHEMISTRY/DISSOCIATION CORRECTION FOR MSIS MODELS
         *         ALT - altitude
         *         R - target ratio
         *         H1 - transition scale length
         *         ZH - altitude of 1/2 R
         */
        double e;
        double ex;
        e = (alt - zh) / h1;
        if (e > 70) return exp(0);
        if (e < -70) return exp(r);
        ex = exp(e);
        e = r / (1.0 + ex);
        return exp(e);
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------ CCOR ------------------------------- */
    /* ------------------------------------------------------------------- */

    double ccor2(double alt, double r, double h1, double zh, double h2) {
        /*        CHEMISTRY/DISSOCIATION CORRECTION FOR MSIS MODELS
         *         ALT - altitude
         *         R - target ratio
         *         H1 - transition scale length
         *         ZH - altitude of 1/2 R
         *         H2 - transition scale length #2 ?
         */
        double e1, e2;
        double ex1, ex2;
        double ccor2v;
        e1 = (alt - zh) / h1;
        e2 = (alt - zh) / h2;
        if ((e1 > 70) || (e2 > 70)) return exp(0);
        if ((e1 < -70) && (e2 < -70)) return exp(r);
        ex1 = exp(e1);
        ex2 = exp(e2);
        ccor2v = r / (1.0 + 0.5 * (ex1 + ex2));
        return exp(ccor2v);
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- SCALH ----------------------------- */
    /* ------------------------------------------------------------------- */

    double scalh(double alt, double xm, double temp) {
        double g;
        double rgas = 831.4;
        g = gsurf / (pow((1.0 + alt / re), 2.0));
        g = rgas * temp / (g * xm);
        return g;
    }

    /* ------------------------------------------------------------------- */
    /* -------------------------------- DNET ----------------------------- */
    /* ------------------------------------------------------------------- */

    double dnet(double dd_in, double dm, double zhm, double xmm, double xm) {
        /*       TURBOPAUSE CORRECTION FOR MSIS MODELS
         *        Root mean density
         *         DD - diffusive density
         *         DM - full mixed density
         *         ZHM - transition scale length
         *         XMM - full mixed molecular weight
         *         XM  - species molecular weight
         *         DNET - combined density
         */
        double a;
        double ylog;
        a = zhm / (xmm - xm);
        if (!((dm > 0) && (dd_in > 0))) {
            if ((dd_in == 0) && (dm == 0)) dd_in = 1;
            if (dm == 0) return dd_in;
            if (dd_in == 0) return dm;
        }
        ylog = a * log(dm / dd_in);
        if (ylog < -10) return dd_in;
        if (ylog > 10) return dm;
        a = dd_in * pow((1.0 + exp(ylog)), (1.0 / a));
        return a;
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- SPLINI ---------------------------- */
    /* ------------------------------------------------------------------- */

    void splini(double* xa, double* ya, double* y2a, int n, double x, double* y) {
        /*      INTEGRATE CUBIC SPLINE FUNCTION FROM XA(1) TO X
         *       XA,YA: ARRAYS OF TABULATED FUNCTION IN ASCENDING ORDER BY X
         *       Y2A: ARRAY OF SECOND DERIVATIVES
         *       N: SIZE OF ARRAYS XA,YA,Y2A
         *       X: ABSCISSA ENDPOINT FOR INTEGRATION
         *       Y: OUTPUT VALUE
         */
        double yi = 0;
        int klo = 0;
        int khi = 1;
        double xx, h, a, b, a2, b2;
        while ((x > xa[klo]) && (khi < n)) {
            xx = x;
            if (khi < (n - 1)) {
                if (x < xa[khi])
                    xx = x;
                else
                    xx = xa[khi];
            }
            h = xa[khi] - xa[klo];
            a = (xa[khi] - xx) / h;
            b = (xx - xa[klo]) / h;
            a2 = a * a;
            b2 = b * b;
            yi += ((1.0 - a2) * ya[klo] / 2.0 + b2 * ya[khi] / 2.0 +
                   ((-(1.0 + a2 * a2) / 4.0 + a2 / 2.0) * y2a[klo] + (b2 * b2 / 4.0 - b2 / 2.0) * y2a[khi]) * h * h /
                       6.0) *
                  h;
            klo++;
            khi++;
        }
        *y = yi;
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- SPLINT ---------------------------- */
    /* ------------------------------------------------------------------- */

    void splint(double* xa, double* ya, double* y2a, int n, double x, double* y) {
        /*      CALCULATE CUBIC SPLINE INTERP VALUE
         *       ADAPTED FROM NUMERICAL RECIPES BY PRESS ET AL.
         *       XA,YA: ARRAYS OF TABULATED FUNCTION IN ASCENDING ORDER BY X
         *       Y2A: ARRAY OF SECOND DERIVATIVES
         *       N: SIZE OF ARRAYS XA,YA,Y2A
         *       X: ABSCISSA FOR INTERPOLATION
         *       Y: OUTPUT VALUE
         */
        int klo = 0;
        int khi = n - 1;
        int k;
        double h;
        double a, b, yi;
        while ((khi - klo) > 1) {
            k = (khi + klo) / 2;
            if (xa[k] > x)
                khi = k;
            else
                klo = k;
        }
        h = xa[khi] - xa[klo];
        /* (the C code printed "bad XA input to splint" for h == 0) */
        a = (xa[khi] - x) / h;
        b = (x - xa[klo]) / h;
        yi = a * ya[klo] + b * ya[khi] + ((a * a * a - a) * y2a[klo] + (b * b * b - b) * y2a[khi]) * h * h / 6.0;
        *y = yi;
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- SPLINE ---------------------------- */
    /* ------------------------------------------------------------------- */

    void spline(double* x, double* y, int n, double yp1, double ypn, double* y2) {
        /*       CALCULATE 2ND DERIVATIVES OF CUBIC SPLINE INTERP FUNCTION
         *       ADAPTED FROM NUMERICAL RECIPES BY PRESS ET AL
         *       X,Y: ARRAYS OF TABULATED FUNCTION IN ASCENDING ORDER BY X
         *       N: SIZE OF ARRAYS X,Y
         *       YP1,YPN: SPECIFIED DERIVATIVES AT X[0] AND X[N-1]; VALUES
         *                >= 1E30 SIGNAL SIGNAL SECOND DERIVATIVE ZERO
         *       Y2: OUTPUT ARRAY OF SECOND DERIVATIVES
         */
        double u[kMaxSplineNodes];
        double sig, p, qn, un;
        int i, k;
        if (n < 2 || n > kMaxSplineNodes) return;
        if (yp1 > 0.99E30) {
            y2[0] = 0;
            u[0] = 0;
        } else {
            y2[0] = -0.5;
            u[0] = (3.0 / (x[1] - x[0])) * ((y[1] - y[0]) / (x[1] - x[0]) - yp1);
        }
        for (i = 1; i < (n - 1); i++) {
            sig = (x[i] - x[i - 1]) / (x[i + 1] - x[i - 1]);
            p = sig * y2[i - 1] + 2.0;
            y2[i] = (sig - 1.0) / p;
            u[i] = (6.0 * ((y[i + 1] - y[i]) / (x[i + 1] - x[i]) - (y[i] - y[i - 1]) / (x[i] - x[i - 1])) /
                        (x[i + 1] - x[i - 1]) -
                    sig * u[i - 1]) /
                   p;
        }
        if (ypn > 0.99E30) {
            qn = 0;
            un = 0;
        } else {
            qn = 0.5;
            un = (3.0 / (x[n - 1] - x[n - 2])) * (ypn - (y[n - 1] - y[n - 2]) / (x[n - 1] - x[n - 2]));
        }
        y2[n - 1] = (un - qn * u[n - 2]) / (qn * y2[n - 2] + 1.0);
        for (k = n - 2; k >= 0; k--) y2[k] = y2[k] * y2[k + 1] + u[k];
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- DENSM ----------------------------- */
    /* ------------------------------------------------------------------- */

    double zeta(double zz, double zl) { return ((zz - zl) * (re + zl) / (re + zz)); }

    double densm(double alt, double d0, double xm, double* tz, int mn3, double* zn3, double* tn3, double* tgn3, int mn2,
                 double* zn2, double* tn2, double* tgn2) {
        /*      Calculate Temperature and Density Profiles for lower atmos.  */
        double xs[10], ys[10], y2out[10];
        double rgas = 831.4;
        double z, z1, z2, t1, t2, zg, zgdif;
        double yd1, yd2;
        double x, y, yi;
        double expl, gamm, glb;
        double densm_tmp;
        int mn;
        int k;
        densm_tmp = d0;
        if (alt > zn2[0]) {
            if (xm == 0.0)
                return *tz;
            else
                return d0;
        }

        /* STRATOSPHERE/MESOSPHERE TEMPERATURE */
        if (alt > zn2[mn2 - 1])
            z = alt;
        else
            z = zn2[mn2 - 1];
        mn = mn2;
        z1 = zn2[0];
        z2 = zn2[mn - 1];
        t1 = tn2[0];
        t2 = tn2[mn - 1];
        zg = zeta(z, z1);
        zgdif = zeta(z2, z1);

        /* set up spline nodes */
        for (k = 0; k < mn; k++) {
            xs[k] = zeta(zn2[k], z1) / zgdif;
            ys[k] = 1.0 / tn2[k];
        }
        yd1 = -tgn2[0] / (t1 * t1) * zgdif;
        yd2 = -tgn2[1] / (t2 * t2) * zgdif * (pow(((re + z2) / (re + z1)), 2.0));

        /* calculate spline coefficients */
        spline(xs, ys, mn, yd1, yd2, y2out);
        x = zg / zgdif;
        splint(xs, ys, y2out, mn, x, &y);

        /* temperature at altitude */
        *tz = 1.0 / y;
        if (xm != 0.0) {
            /* calaculate stratosphere / mesospehere density */
            glb = gsurf / (pow((1.0 + z1 / re), 2.0));
            gamm = xm * glb * zgdif / rgas;

            /* Integrate temperature profile */
            splini(xs, ys, y2out, mn, x, &yi);
            expl = gamm * yi;
            if (expl > 50.0) expl = 50.0;

            /* Density at altitude */
            densm_tmp = densm_tmp * (t1 / *tz) * exp(-expl);
        }

        if (alt > zn3[0]) {
            if (xm == 0.0)
                return *tz;
            else
                return densm_tmp;
        }

        /* troposhere / stratosphere temperature */
        z = alt;
        mn = mn3;
        z1 = zn3[0];
        z2 = zn3[mn - 1];
        t1 = tn3[0];
        t2 = tn3[mn - 1];
        zg = zeta(z, z1);
        zgdif = zeta(z2, z1);

        /* set up spline nodes */
        for (k = 0; k < mn; k++) {
            xs[k] = zeta(zn3[k], z1) / zgdif;
            ys[k] = 1.0 / tn3[k];
        }
        yd1 = -tgn3[0] / (t1 * t1) * zgdif;
        yd2 = -tgn3[1] / (t2 * t2) * zgdif * (pow(((re + z2) / (re + z1)), 2.0));

        /* calculate spline coefficients */
        spline(xs, ys, mn, yd1, yd2, y2out);
        x = zg / zgdif;
        splint(xs, ys, y2out, mn, x, &y);

        /* temperature at altitude */
        *tz = 1.0 / y;
        if (xm != 0.0) {
            /* calaculate tropospheric / stratosphere density */
            glb = gsurf / (pow((1.0 + z1 / re), 2.0));
            gamm = xm * glb * zgdif / rgas;

            /* Integrate temperature profile */
            splini(xs, ys, y2out, mn, x, &yi);
            expl = gamm * yi;
            if (expl > 50.0) expl = 50.0;

            /* Density at altitude */
            densm_tmp = densm_tmp * (t1 / *tz) * exp(-expl);
        }
        if (xm == 0.0)
            return *tz;
        else
            return densm_tmp;
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- DENSU ----------------------------- */
    /* ------------------------------------------------------------------- */

    double densu(double alt, double dlb, double tinf, double tlb, double xm, double alpha, double* tz, double zlb,
                 double s2, int mn1, double* zn1, double* tn1, double* tgn1) {
        /*      Calculate Temperature and Density Profiles for MSIS models
         *      New lower thermo polynomial
         */
        double yd2, yd1, x = 0, y;
        double rgas = 831.4;
        double densu_temp = 1.0;
        double za, z, zg2, tt, ta;
        double dta, z1 = 0, z2, t1 = 0, t2, zg, zgdif = 0;
        int mn = 0;
        int k;
        double glb;
        double expl;
        double yi;
        double densa;
        double gamma, gamm;
        double xs[5], ys[5], y2out[5];
        /* joining altitudes of Bates and spline */
        za = zn1[0];
        if (alt > za)
            z = alt;
        else
            z = za;

        /* geopotential altitude difference from ZLB */
        zg2 = zeta(z, zlb);

        /* Bates temperature */
        tt = tinf - (tinf - tlb) * exp(-s2 * zg2);
        ta = tt;
        *tz = tt;
        densu_temp = *tz;

        if (alt < za) {
            /* calculate temperature below ZA
             * temperature gradient at ZA from Bates profile */
            dta = (tinf - ta) * s2 * pow(((re + zlb) / (re + za)), 2.0);
            tgn1[0] = dta;
            tn1[0] = ta;
            if (alt > zn1[mn1 - 1])
                z = alt;
            else
                z = zn1[mn1 - 1];
            mn = mn1;
            z1 = zn1[0];
            z2 = zn1[mn - 1];
            t1 = tn1[0];
            t2 = tn1[mn - 1];
            /* geopotental difference from z1 */
            zg = zeta(z, z1);
            zgdif = zeta(z2, z1);
            /* set up spline nodes */
            for (k = 0; k < mn; k++) {
                xs[k] = zeta(zn1[k], z1) / zgdif;
                ys[k] = 1.0 / tn1[k];
            }
            /* end node derivatives */
            yd1 = -tgn1[0] / (t1 * t1) * zgdif;
            yd2 = -tgn1[1] / (t2 * t2) * zgdif * pow(((re + z2) / (re + z1)), 2.0);
            /* calculate spline coefficients */
            spline(xs, ys, mn, yd1, yd2, y2out);
            x = zg / zgdif;
            splint(xs, ys, y2out, mn, x, &y);
            /* temperature at altitude */
            *tz = 1.0 / y;
            densu_temp = *tz;
        }
        if (xm == 0) return densu_temp;

        /* calculate density above za */
        glb = gsurf / pow((1.0 + zlb / re), 2.0);
        gamma = xm * glb / (s2 * rgas * tinf);
        expl = exp(-s2 * gamma * zg2);
        if (expl > 50.0) expl = 50.0;
        if (tt <= 0) expl = 50.0;

        /* density at altitude */
        densa = dlb * pow((tlb / tt), ((1.0 + alpha + gamma))) * expl;
        densu_temp = densa;
        if (alt >= za) return densu_temp;

        /* calculate density below za */
        glb = gsurf / pow((1.0 + z1 / re), 2.0);
        gamm = xm * glb * zgdif / rgas;

        /* integrate spline temperatures */
        splini(xs, ys, y2out, mn, x, &yi);
        expl = gamm * yi;
        if (expl > 50.0) expl = 50.0;
        if (*tz <= 0) expl = 50.0;

        /* density at altitude */
        densu_temp = densu_temp * pow((t1 / *tz), (1.0 + alpha)) * exp(-expl);
        return densu_temp;
    }
};

}  // namespace velarion::numerical::nrlmsise00

#endif
