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
// What the port changes, and nothing else: the model's shared variables
// are the members of one Model object (a caller keeps one per thread, on
// the stack: nothing is allocated), the coefficient tables are constexpr,
// spline() works in a fixed array instead of malloc(), glob7s() reads its
// parameter-set tag instead of writing it into the table, and nothing is
// printed. The arithmetic is the C code's, line for line; the tests check
// the port against the nrlmsise00 package (which runs the same C code).
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_NRLMSISE00_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_NRLMSISE00_HPP

#include "velarion/propagators/numerical/kernels/nrlmsise00_expansions.hpp"

namespace velarion::numerical::nrlmsise00 {

// The model: the drivers (GTD7, GTD7D, GHP7, GTS7) on the shared variables,
// the profiles and the expansions of the layers below. A caller keeps one
// per thread.
struct Model : ModelExpansions {
    /* ------------------------------------------------------------------- */
    /* ------------------------------- GTD7 ------------------------------ */
    /* ------------------------------------------------------------------- */

    void gtd7(struct nrlmsise_input* input, struct nrlmsise_flags* flags, struct nrlmsise_output* output) {
        double xlat;
        double xmm;
        int mn3 = 5;
        double zn3[5] = {32.5, 20.0, 15.0, 10.0, 0.0};
        int mn2 = 4;
        double zn2[4] = {72.5, 55.0, 45.0, 32.5};
        double altt;
        double zmix = 62.5;
        double tmp;
        double dm28m;
        double tz;
        double dmc;
        double dmr;
        double dz28;
        struct nrlmsise_output soutput;
        int i;

        tselec(flags);

        /* Latitude variation of gravity (none for sw[2]=0) */
        xlat = input->g_lat;
        if (flags->sw[2] == 0) xlat = 45.0;
        glatf(xlat, &gsurf, &re);

        xmm = pdm[2][4];

        /* THERMOSPHERE / MESOSPHERE (above zn2[0]) */
        if (input->alt > zn2[0])
            altt = input->alt;
        else
            altt = zn2[0];

        tmp = input->alt;
        input->alt = altt;
        gts7(input, flags, &soutput);
        altt = input->alt;
        input->alt = tmp;
        if (flags->sw[0]) /* metric adjustment */
            dm28m = dm28 * 1.0E6;
        else
            dm28m = dm28;
        output->t[0] = soutput.t[0];
        output->t[1] = soutput.t[1];
        if (input->alt >= zn2[0]) {
            for (i = 0; i < 9; i++) output->d[i] = soutput.d[i];
            return;
        }

        /*       LOWER MESOSPHERE/UPPER STRATOSPHERE (between zn3[0] and zn2[0])
         *         Temperature at nodes and gradients at end nodes
         *         Inverse temperature a linear function of spherical harmonics
         */
        meso_tgn2[0] = meso_tgn1[1];
        meso_tn2[0] = meso_tn1[4];
        meso_tn2[1] = pma[0][0] * pavgm[0] / (1.0 - flags->sw[20] * glob7s(pma[0], input, flags));
        meso_tn2[2] = pma[1][0] * pavgm[1] / (1.0 - flags->sw[20] * glob7s(pma[1], input, flags));
        meso_tn2[3] = pma[2][0] * pavgm[2] / (1.0 - flags->sw[20] * flags->sw[22] * glob7s(pma[2], input, flags));
        meso_tgn2[1] = pavgm[8] * pma[9][0] * (1.0 + flags->sw[20] * flags->sw[22] * glob7s(pma[9], input, flags)) *
                       meso_tn2[3] * meso_tn2[3] / (pow((pma[2][0] * pavgm[2]), 2.0));
        meso_tn3[0] = meso_tn2[3];

        if (input->alt <= zn3[0]) {
            /*       LOWER STRATOSPHERE AND TROPOSPHERE (below zn3[0])
             *         Temperature at nodes and gradients at end nodes
             *         Inverse temperature a linear function of spherical harmonics
             */
            meso_tgn3[0] = meso_tgn2[1];
            meso_tn3[1] = pma[3][0] * pavgm[3] / (1.0 - flags->sw[22] * glob7s(pma[3], input, flags));
            meso_tn3[2] = pma[4][0] * pavgm[4] / (1.0 - flags->sw[22] * glob7s(pma[4], input, flags));
            meso_tn3[3] = pma[5][0] * pavgm[5] / (1.0 - flags->sw[22] * glob7s(pma[5], input, flags));
            meso_tn3[4] = pma[6][0] * pavgm[6] / (1.0 - flags->sw[22] * glob7s(pma[6], input, flags));
            meso_tgn3[1] = pma[7][0] * pavgm[7] * (1.0 + flags->sw[22] * glob7s(pma[7], input, flags)) * meso_tn3[4] *
                           meso_tn3[4] / (pow((pma[6][0] * pavgm[6]), 2.0));
        }

        /* LINEAR TRANSITION TO FULL MIXING BELOW zn2[0] */

        dmc = 0;
        if (input->alt > zmix) dmc = 1.0 - (zn2[0] - input->alt) / (zn2[0] - zmix);
        dz28 = soutput.d[2];

        /**** N2 density ****/
        dmr = soutput.d[2] / dm28m - 1.0;
        output->d[2] = densm(input->alt, dm28m, xmm, &tz, mn3, zn3, meso_tn3, meso_tgn3, mn2, zn2, meso_tn2, meso_tgn2);
        output->d[2] = output->d[2] * (1.0 + dmr * dmc);

        /**** HE density ****/
        dmr = soutput.d[0] / (dz28 * pdm[0][1]) - 1.0;
        output->d[0] = output->d[2] * pdm[0][1] * (1.0 + dmr * dmc);

        /**** O density ****/
        output->d[1] = 0;
        output->d[8] = 0;

        /**** O2 density ****/
        dmr = soutput.d[3] / (dz28 * pdm[3][1]) - 1.0;
        output->d[3] = output->d[2] * pdm[3][1] * (1.0 + dmr * dmc);

        /**** AR density ***/
        dmr = soutput.d[4] / (dz28 * pdm[4][1]) - 1.0;
        output->d[4] = output->d[2] * pdm[4][1] * (1.0 + dmr * dmc);

        /**** Hydrogen density ****/
        output->d[6] = 0;

        /**** Atomic nitrogen density ****/
        output->d[7] = 0;

        /**** Total mass density */
        output->d[5] = 1.66E-24 * (4.0 * output->d[0] + 16.0 * output->d[1] + 28.0 * output->d[2] +
                                   32.0 * output->d[3] + 40.0 * output->d[4] + output->d[6] + 14.0 * output->d[7]);

        if (flags->sw[0]) output->d[5] = output->d[5] / 1000;

        /**** temperature at altitude ****/
        dd = densm(input->alt, 1.0, 0, &tz, mn3, zn3, meso_tn3, meso_tgn3, mn2, zn2, meso_tn2, meso_tgn2);
        output->t[1] = tz;
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- GTD7D ----------------------------- */
    /* ------------------------------------------------------------------- */

    void gtd7d(struct nrlmsise_input* input, struct nrlmsise_flags* flags, struct nrlmsise_output* output) {
        gtd7(input, flags, output);
        output->d[5] =
            1.66E-24 * (4.0 * output->d[0] + 16.0 * output->d[1] + 28.0 * output->d[2] + 32.0 * output->d[3] +
                        40.0 * output->d[4] + output->d[6] + 14.0 * output->d[7] + 16.0 * output->d[8]);
        if (flags->sw[0]) output->d[5] = output->d[5] / 1000;
    }

    /* ------------------------------------------------------------------- */
    /* -------------------------------- GHP7 ----------------------------- */
    /* ------------------------------------------------------------------- */

    void ghp7(struct nrlmsise_input* input, struct nrlmsise_flags* flags, struct nrlmsise_output* output,
              double press) {
        double bm = 1.3806E-19;
        double rgas = 831.4;
        double test = 0.00043;
        double ltest = 12;
        double pl, p;
        double zi;
        double z;
        double cl, cl2;
        double ca, cd;
        double xn, xm, diff;
        double g, sh;
        int l;
        pl = log10(press);
        if (pl >= -5.0) {
            if (pl > 2.5)
                zi = 18.06 * (3.00 - pl);
            else if ((pl > 0.075) && (pl <= 2.5))
                zi = 14.98 * (3.08 - pl);
            else if ((pl > -1) && (pl <= 0.075))
                zi = 17.80 * (2.72 - pl);
            else if ((pl > -2) && (pl <= -1))
                zi = 14.28 * (3.64 - pl);
            else if ((pl > -4) && (pl <= -2))
                zi = 12.72 * (4.32 - pl);
            else
                zi = 25.3 * (0.11 - pl);
            cl = input->g_lat / 90.0;
            cl2 = cl * cl;
            if (input->doy < 182)
                cd = (1.0 - (double)input->doy) / 91.25;
            else
                cd = ((double)input->doy) / 91.25 - 3.0;
            ca = 0;
            if ((pl > -1.11) && (pl <= -0.23)) ca = 1.0;
            if (pl > -0.23) ca = (2.79 - pl) / (2.79 + 0.23);
            if ((pl <= -1.11) && (pl > -3)) ca = (-2.93 - pl) / (-2.93 + 1.11);
            z = zi - 4.87 * cl * cd * ca - 1.64 * cl2 * ca + 0.31 * ca * cl;
        } else
            z = 22.0 * pow((pl + 4.0), 2.0) + 110.0;

        /* iteration  loop */
        l = 0;
        do {
            l++;
            input->alt = z;
            gtd7(input, flags, output);
            z = input->alt;
            xn = output->d[0] + output->d[1] + output->d[2] + output->d[3] + output->d[4] + output->d[6] + output->d[7];
            p = bm * xn * output->t[1];
            if (flags->sw[0]) p = p * 1.0E-6;
            diff = pl - log10(p);
            if (sqrt(diff * diff) < test) return;
            if (l == ltest) {
                return;
            }
            xm = output->d[5] / xn / 1.66E-24;
            if (flags->sw[0]) xm = xm * 1.0E3;
            g = gsurf / (pow((1.0 + z / re), 2.0));
            sh = rgas * output->t[1] / (xm * g);

            /* new altitude estimate using scale height */
            if (l < 6)
                z = z - sh * diff * 2.302;
            else
                z = z - sh * diff;
        } while (1 == 1);
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- GTS7 ------------------------------ */
    /* ------------------------------------------------------------------- */

    void gts7(struct nrlmsise_input* input, struct nrlmsise_flags* flags, struct nrlmsise_output* output) {
        /*     Thermospheric portion of NRLMSISE-00
         *     See GTD7 for more extensive comments
         *     alt > 72.5 km!
         */
        double za;
        int i, j;
        double ddum, z;
        double zn1[5] = {120.0, 110.0, 100.0, 90.0, 72.5};
        double tinf;
        int mn1 = 5;
        double g0;
        double tlb;
        double s;
        double db01, db04, db14, db16, db28, db32, db40;
        double zh28, zh04, zh16, zh32, zh40, zh01, zh14;
        double zhm28, zhm04, zhm16, zhm32, zhm40, zhm01, zhm14;
        double xmd;
        double b28, b04, b16, b32, b40, b01, b14;
        double tz;
        double g28, g4, g16, g32, g40, g1, g14;
        double zhf, xmm;
        double zc04, zc16, zc32, zc40, zc01, zc14;
        double hc04, hc16, hc32, hc40, hc01, hc14;
        double hcc16, hcc32, hcc01, hcc14;
        double zcc16, zcc32, zcc01, zcc14;
        double rc16, rc32, rc01, rc14;
        double rl;
        double g16h, db16h, tho, zsht, zmho, zsho;
        double dgtr = 1.74533E-2;
        double dr = 1.72142E-2;
        double alpha[9] = {-0.38, 0.0, 0.0, 0.0, 0.17, 0.0, -0.38, 0.0, 0.0};
        double altl[8] = {200.0, 300.0, 160.0, 250.0, 240.0, 450.0, 320.0, 450.0};
        double dd_local;
        double hc216, hcc232;
        za = pdl[1][15];
        zn1[0] = za;
        for (j = 0; j < 9; j++) output->d[j] = 0;

        /* TINF VARIATIONS NOT IMPORTANT BELOW ZA OR ZN1(1) */
        if (input->alt > zn1[0])
            tinf = ptm[0] * pt[0] * (1.0 + flags->sw[16] * globe7(pt, input, flags));
        else
            tinf = ptm[0] * pt[0];
        output->t[0] = tinf;

        /*  GRADIENT VARIATIONS NOT IMPORTANT BELOW ZN1(5) */
        if (input->alt > zn1[4])
            g0 = ptm[3] * ps[0] * (1.0 + flags->sw[19] * globe7(ps, input, flags));
        else
            g0 = ptm[3] * ps[0];
        tlb = ptm[1] * (1.0 + flags->sw[17] * globe7(pd[3], input, flags)) * pd[3][0];
        s = g0 / (tinf - tlb);

        /*      Lower thermosphere temp variations not significant for
         *       density above 300 km */
        if (input->alt < 300.0) {
            meso_tn1[1] = ptm[6] * ptl[0][0] / (1.0 - flags->sw[18] * glob7s(ptl[0], input, flags));
            meso_tn1[2] = ptm[2] * ptl[1][0] / (1.0 - flags->sw[18] * glob7s(ptl[1], input, flags));
            meso_tn1[3] = ptm[7] * ptl[2][0] / (1.0 - flags->sw[18] * glob7s(ptl[2], input, flags));
            meso_tn1[4] = ptm[4] * ptl[3][0] / (1.0 - flags->sw[18] * flags->sw[20] * glob7s(ptl[3], input, flags));
            meso_tgn1[1] = ptm[8] * pma[8][0] * (1.0 + flags->sw[18] * flags->sw[20] * glob7s(pma[8], input, flags)) *
                           meso_tn1[4] * meso_tn1[4] / (pow((ptm[4] * ptl[3][0]), 2.0));
        } else {
            meso_tn1[1] = ptm[6] * ptl[0][0];
            meso_tn1[2] = ptm[2] * ptl[1][0];
            meso_tn1[3] = ptm[7] * ptl[2][0];
            meso_tn1[4] = ptm[4] * ptl[3][0];
            meso_tgn1[1] = ptm[8] * pma[8][0] * meso_tn1[4] * meso_tn1[4] / (pow((ptm[4] * ptl[3][0]), 2.0));
        }

        /* N2 variation factor at Zlb */
        g28 = flags->sw[21] * globe7(pd[2], input, flags);

        /* VARIATION OF TURBOPAUSE HEIGHT */
        zhf =
            pdl[1][24] * (1.0 + flags->sw[5] * pdl[0][24] * sin(dgtr * input->g_lat) * cos(dr * (input->doy - pt[13])));
        output->t[0] = tinf;
        xmm = pdm[2][4];
        z = input->alt;

        /**** N2 DENSITY ****/

        /* Diffusive density at Zlb */
        db28 = pdm[2][0] * exp(g28) * pd[2][0];
        /* Diffusive density at Alt */
        output->d[2] =
            densu(z, db28, tinf, tlb, 28.0, alpha[2], &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        dd_local = output->d[2];
        /* Turbopause */
        zh28 = pdm[2][2] * zhf;
        zhm28 = pdm[2][3] * pdl[1][5];
        xmd = 28.0 - xmm;
        /* Mixed density at Zlb */
        b28 = densu(zh28, db28, tinf, tlb, xmd, (alpha[2] - 1.0), &tz, ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        if ((flags->sw[15]) && (z <= altl[2])) {
            /*  Mixed density at Alt */
            dm28 = densu(z, b28, tinf, tlb, xmm, alpha[2], &tz, ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
            /*  Net density at Alt */
            output->d[2] = dnet(output->d[2], dm28, zhm28, xmm, 28.0);
        }

        /**** HE DENSITY ****/

        /*   Density variation factor at Zlb */
        g4 = flags->sw[21] * globe7(pd[0], input, flags);
        /*  Diffusive density at Zlb */
        db04 = pdm[0][0] * exp(g4) * pd[0][0];
        /*  Diffusive density at Alt */
        output->d[0] = densu(z, db04, tinf, tlb, 4., alpha[0], &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        dd_local = output->d[0];
        if ((flags->sw[15]) && (z < altl[0])) {
            /*  Turbopause */
            zh04 = pdm[0][2];
            /*  Mixed density at Zlb */
            b04 = densu(zh04, db04, tinf, tlb, 4. - xmm, alpha[0] - 1., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1,
                        meso_tgn1);
            /*  Mixed density at Alt */
            dm04 = densu(z, b04, tinf, tlb, xmm, 0., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
            zhm04 = zhm28;
            /*  Net density at Alt */
            output->d[0] = dnet(output->d[0], dm04, zhm04, xmm, 4.);
            /*  Correction to specified mixing ratio at ground */
            rl = log(b28 * pdm[0][1] / b04);
            zc04 = pdm[0][4] * pdl[1][0];
            hc04 = pdm[0][5] * pdl[1][1];
            /*  Net density corrected at Alt */
            output->d[0] = output->d[0] * ccor(z, rl, hc04, zc04);
        }

        /**** O DENSITY ****/

        /*  Density variation factor at Zlb */
        g16 = flags->sw[21] * globe7(pd[1], input, flags);
        /*  Diffusive density at Zlb */
        db16 = pdm[1][0] * exp(g16) * pd[1][0];
        /*   Diffusive density at Alt */
        output->d[1] =
            densu(z, db16, tinf, tlb, 16., alpha[1], &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        dd_local = output->d[1];
        if ((flags->sw[15]) && (z <= altl[1])) {
            /*   Turbopause */
            zh16 = pdm[1][2];
            /*  Mixed density at Zlb */
            b16 = densu(zh16, db16, tinf, tlb, 16.0 - xmm, (alpha[1] - 1.0), &output->t[1], ptm[5], s, mn1, zn1,
                        meso_tn1, meso_tgn1);
            /*  Mixed density at Alt */
            dm16 = densu(z, b16, tinf, tlb, xmm, 0., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
            zhm16 = zhm28;
            /*  Net density at Alt */
            output->d[1] = dnet(output->d[1], dm16, zhm16, xmm, 16.);
            rl = pdm[1][1] * pdl[1][16] * (1.0 + flags->sw[1] * pdl[0][23] * (input->f107A - 150.0));
            hc16 = pdm[1][5] * pdl[1][3];
            zc16 = pdm[1][4] * pdl[1][2];
            hc216 = pdm[1][5] * pdl[1][4];
            output->d[1] = output->d[1] * ccor2(z, rl, hc16, zc16, hc216);
            /*   Chemistry correction */
            hcc16 = pdm[1][7] * pdl[1][13];
            zcc16 = pdm[1][6] * pdl[1][12];
            rc16 = pdm[1][3] * pdl[1][14];
            /*  Net density corrected at Alt */
            output->d[1] = output->d[1] * ccor(z, rc16, hcc16, zcc16);
        }

        /**** O2 DENSITY ****/

        /*   Density variation factor at Zlb */
        g32 = flags->sw[21] * globe7(pd[4], input, flags);
        /*  Diffusive density at Zlb */
        db32 = pdm[3][0] * exp(g32) * pd[4][0];
        /*   Diffusive density at Alt */
        output->d[3] =
            densu(z, db32, tinf, tlb, 32., alpha[3], &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        dd_local = output->d[3];
        if (flags->sw[15]) {
            if (z <= altl[3]) {
                /*   Turbopause */
                zh32 = pdm[3][2];
                /*  Mixed density at Zlb */
                b32 = densu(zh32, db32, tinf, tlb, 32. - xmm, alpha[3] - 1., &output->t[1], ptm[5], s, mn1, zn1,
                            meso_tn1, meso_tgn1);
                /*  Mixed density at Alt */
                dm32 = densu(z, b32, tinf, tlb, xmm, 0., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
                zhm32 = zhm28;
                /*  Net density at Alt */
                output->d[3] = dnet(output->d[3], dm32, zhm32, xmm, 32.);
                /*   Correction to specified mixing ratio at ground */
                rl = log(b28 * pdm[3][1] / b32);
                hc32 = pdm[3][5] * pdl[1][7];
                zc32 = pdm[3][4] * pdl[1][6];
                output->d[3] = output->d[3] * ccor(z, rl, hc32, zc32);
            }
            /*  Correction for general departure from diffusive equilibrium above Zlb */
            hcc32 = pdm[3][7] * pdl[1][22];
            hcc232 = pdm[3][7] * pdl[0][22];
            zcc32 = pdm[3][6] * pdl[1][21];
            rc32 = pdm[3][3] * pdl[1][23] * (1. + flags->sw[1] * pdl[0][23] * (input->f107A - 150.));
            /*  Net density corrected at Alt */
            output->d[3] = output->d[3] * ccor2(z, rc32, hcc32, zcc32, hcc232);
        }

        /**** AR DENSITY ****/

        /*   Density variation factor at Zlb */
        g40 = flags->sw[21] * globe7(pd[5], input, flags);
        /*  Diffusive density at Zlb */
        db40 = pdm[4][0] * exp(g40) * pd[5][0];
        /*   Diffusive density at Alt */
        output->d[4] =
            densu(z, db40, tinf, tlb, 40., alpha[4], &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        dd_local = output->d[4];
        if ((flags->sw[15]) && (z <= altl[4])) {
            /*   Turbopause */
            zh40 = pdm[4][2];
            /*  Mixed density at Zlb */
            b40 = densu(zh40, db40, tinf, tlb, 40. - xmm, alpha[4] - 1., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1,
                        meso_tgn1);
            /*  Mixed density at Alt */
            dm40 = densu(z, b40, tinf, tlb, xmm, 0., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
            zhm40 = zhm28;
            /*  Net density at Alt */
            output->d[4] = dnet(output->d[4], dm40, zhm40, xmm, 40.);
            /*   Correction to specified mixing ratio at ground */
            rl = log(b28 * pdm[4][1] / b40);
            hc40 = pdm[4][5] * pdl[1][9];
            zc40 = pdm[4][4] * pdl[1][8];
            /*  Net density corrected at Alt */
            output->d[4] = output->d[4] * ccor(z, rl, hc40, zc40);
        }

        /**** HYDROGEN DENSITY ****/

        /*   Density variation factor at Zlb */
        g1 = flags->sw[21] * globe7(pd[6], input, flags);
        /*  Diffusive density at Zlb */
        db01 = pdm[5][0] * exp(g1) * pd[6][0];
        /*   Diffusive density at Alt */
        output->d[6] = densu(z, db01, tinf, tlb, 1., alpha[6], &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        dd_local = output->d[6];
        static_cast<void>(dd_local); /* (set, never read, in the C code too) */
        if ((flags->sw[15]) && (z <= altl[6])) {
            /*   Turbopause */
            zh01 = pdm[5][2];
            /*  Mixed density at Zlb */
            b01 = densu(zh01, db01, tinf, tlb, 1. - xmm, alpha[6] - 1., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1,
                        meso_tgn1);
            /*  Mixed density at Alt */
            dm01 = densu(z, b01, tinf, tlb, xmm, 0., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
            zhm01 = zhm28;
            /*  Net density at Alt */
            output->d[6] = dnet(output->d[6], dm01, zhm01, xmm, 1.);
            /*   Correction to specified mixing ratio at ground */
            rl = log(b28 * pdm[5][1] * sqrt(pdl[1][17] * pdl[1][17]) / b01);
            hc01 = pdm[5][5] * pdl[1][11];
            zc01 = pdm[5][4] * pdl[1][10];
            output->d[6] = output->d[6] * ccor(z, rl, hc01, zc01);
            /*   Chemistry correction */
            hcc01 = pdm[5][7] * pdl[1][19];
            zcc01 = pdm[5][6] * pdl[1][18];
            rc01 = pdm[5][3] * pdl[1][20];
            /*  Net density corrected at Alt */
            output->d[6] = output->d[6] * ccor(z, rc01, hcc01, zcc01);
        }

        /**** ATOMIC NITROGEN DENSITY ****/

        /*   Density variation factor at Zlb */
        g14 = flags->sw[21] * globe7(pd[7], input, flags);
        /*  Diffusive density at Zlb */
        db14 = pdm[6][0] * exp(g14) * pd[7][0];
        /*   Diffusive density at Alt */
        output->d[7] =
            densu(z, db14, tinf, tlb, 14., alpha[7], &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        dd = output->d[7];
        if ((flags->sw[15]) && (z <= altl[7])) {
            /*   Turbopause */
            zh14 = pdm[6][2];
            /*  Mixed density at Zlb */
            b14 = densu(zh14, db14, tinf, tlb, 14. - xmm, alpha[7] - 1., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1,
                        meso_tgn1);
            /*  Mixed density at Alt */
            dm14 = densu(z, b14, tinf, tlb, xmm, 0., &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
            zhm14 = zhm28;
            /*  Net density at Alt */
            output->d[7] = dnet(output->d[7], dm14, zhm14, xmm, 14.);
            /*   Correction to specified mixing ratio at ground */
            rl = log(b28 * pdm[6][1] * sqrt(pdl[0][2] * pdl[0][2]) / b14);
            hc14 = pdm[6][5] * pdl[0][1];
            zc14 = pdm[6][4] * pdl[0][0];
            output->d[7] = output->d[7] * ccor(z, rl, hc14, zc14);
            /*   Chemistry correction */
            hcc14 = pdm[6][7] * pdl[0][4];
            zcc14 = pdm[6][6] * pdl[0][3];
            rc14 = pdm[6][3] * pdl[0][5];
            /*  Net density corrected at Alt */
            output->d[7] = output->d[7] * ccor(z, rc14, hcc14, zcc14);
        }

        /**** Anomalous OXYGEN DENSITY ****/

        g16h = flags->sw[21] * globe7(pd[8], input, flags);
        db16h = pdm[7][0] * exp(g16h) * pd[8][0];
        tho = pdm[7][9] * pdl[0][6];
        dd = densu(z, db16h, tho, tho, 16., alpha[8], &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        zsht = pdm[7][5];
        zmho = pdm[7][4];
        zsho = scalh(zmho, 16.0, tho);
        output->d[8] = dd * exp(-zsht / zsho * (exp(-(z - zmho) / zsht) - 1.));

        /* total mass density */
        output->d[5] = 1.66E-24 * (4.0 * output->d[0] + 16.0 * output->d[1] + 28.0 * output->d[2] +
                                   32.0 * output->d[3] + 40.0 * output->d[4] + output->d[6] + 14.0 * output->d[7]);

        /* temperature */
        z = sqrt(input->alt * input->alt);
        ddum = densu(z, 1.0, tinf, tlb, 0.0, 0.0, &output->t[1], ptm[5], s, mn1, zn1, meso_tn1, meso_tgn1);
        (void)ddum; /* silence gcc */
        if (flags->sw[0]) {
            for (i = 0; i < 9; i++) output->d[i] = output->d[i] * 1.0E6;
            output->d[5] = output->d[5] / 1000;
        }
    }
};

}  // namespace velarion::numerical::nrlmsise00

#endif