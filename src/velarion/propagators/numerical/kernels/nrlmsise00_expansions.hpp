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
// This file holds the model's global expansions in latitude, local time,
// season and activity (GLOBE7 and GLOB7S, with their activity functions).
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_NRLMSISE00_EXPANSIONS_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_NRLMSISE00_EXPANSIONS_HPP

#include "velarion/propagators/numerical/kernels/nrlmsise00_profiles.hpp"

namespace velarion::numerical::nrlmsise00 {

// The global expansions (GLOBE7, GLOB7S) on the shared variables.
struct ModelExpansions : ModelProfiles {
    /* ------------------------------------------------------------------- */
    /* ------------------------------- GLOBE7 ---------------------------- */
    /* ------------------------------------------------------------------- */

    /*    3hr Magnetic activity functions */
    /*    Eq. A24d */
    double g0(double a, const double* p) {
        const double p24 = p[24] < 1.0E-4 ? 1.0E-4 : p[24];
        return (a - 4.0 + (p[25] - 1.0) * (a - 4.0 + (exp(-sqrt(p24 * p24) * (a - 4.0)) - 1.0) / sqrt(p24 * p24)));
    }

    /*    Eq. A24c */
    double sumex(double ex) { return (1.0 + (1.0 - pow(ex, 19.0)) / (1.0 - ex) * pow(ex, 0.5)); }

    /*    Eq. A24a */
    double sg0(double ex, const double* p, double* ap) {
        return (g0(ap[1], p) +
                (g0(ap[2], p) * ex + g0(ap[3], p) * ex * ex + g0(ap[4], p) * pow(ex, 3.0) +
                 (g0(ap[5], p) * pow(ex, 4.0) + g0(ap[6], p) * pow(ex, 12.0)) * (1.0 - pow(ex, 8.0)) / (1.0 - ex))) /
               sumex(ex);
    }

    double globe7(const double* p, struct nrlmsise_input* input, struct nrlmsise_flags* flags) {
        /*       CALCULATE G(L) FUNCTION
         *       Upper Thermosphere Parameters */
        double t[15];
        int i, j;
        double apd;
        double tloc;
        double c, s, c2, c4, s2;
        double sr = 7.2722E-5;
        double dgtr = 1.74533E-2;
        double dr = 1.72142E-2;
        double hr = 0.2618;
        double cd32, cd18, cd14, cd39;
        double df;
        double f1, f2;
        double tinf;
        struct ap_array* ap;

        tloc = input->lst;
        for (j = 0; j < 14; j++) t[j] = 0;

        /* calculate legendre polynomials */
        c = sin(input->g_lat * dgtr);
        s = cos(input->g_lat * dgtr);
        c2 = c * c;
        c4 = c2 * c2;
        s2 = s * s;

        plg[0][1] = c;
        plg[0][2] = 0.5 * (3.0 * c2 - 1.0);
        plg[0][3] = 0.5 * (5.0 * c * c2 - 3.0 * c);
        plg[0][4] = (35.0 * c4 - 30.0 * c2 + 3.0) / 8.0;
        plg[0][5] = (63.0 * c2 * c2 * c - 70.0 * c2 * c + 15.0 * c) / 8.0;
        plg[0][6] = (11.0 * c * plg[0][5] - 5.0 * plg[0][4]) / 6.0;
        /*      plg[0][7] = (13.0*c*plg[0][6] - 6.0*plg[0][5])/7.0; */
        plg[1][1] = s;
        plg[1][2] = 3.0 * c * s;
        plg[1][3] = 1.5 * (5.0 * c2 - 1.0) * s;
        plg[1][4] = 2.5 * (7.0 * c2 * c - 3.0 * c) * s;
        plg[1][5] = 1.875 * (21.0 * c4 - 14.0 * c2 + 1.0) * s;
        plg[1][6] = (11.0 * c * plg[1][5] - 6.0 * plg[1][4]) / 5.0;
        /*      plg[1][7] = (13.0*c*plg[1][6]-7.0*plg[1][5])/6.0; */
        /*      plg[1][8] = (15.0*c*plg[1][7]-8.0*plg[1][6])/7.0; */
        plg[2][2] = 3.0 * s2;
        plg[2][3] = 15.0 * s2 * c;
        plg[2][4] = 7.5 * (7.0 * c2 - 1.0) * s2;
        plg[2][5] = 3.0 * c * plg[2][4] - 2.0 * plg[2][3];
        plg[2][6] = (11.0 * c * plg[2][5] - 7.0 * plg[2][4]) / 4.0;
        plg[2][7] = (13.0 * c * plg[2][6] - 8.0 * plg[2][5]) / 5.0;
        plg[3][3] = 15.0 * s2 * s;
        plg[3][4] = 105.0 * s2 * s * c;
        plg[3][5] = (9.0 * c * plg[3][4] - 7. * plg[3][3]) / 2.0;
        plg[3][6] = (11.0 * c * plg[3][5] - 8. * plg[3][4]) / 3.0;

        if (!(((flags->sw[7] == 0) && (flags->sw[8] == 0)) && (flags->sw[14] == 0))) {
            stloc = sin(hr * tloc);
            ctloc = cos(hr * tloc);
            s2tloc = sin(2.0 * hr * tloc);
            c2tloc = cos(2.0 * hr * tloc);
            s3tloc = sin(3.0 * hr * tloc);
            c3tloc = cos(3.0 * hr * tloc);
        }

        cd32 = cos(dr * (input->doy - p[31]));
        cd18 = cos(2.0 * dr * (input->doy - p[17]));
        cd14 = cos(dr * (input->doy - p[13]));
        cd39 = cos(2.0 * dr * (input->doy - p[38]));

        /* F10.7 EFFECT */
        df = input->f107 - input->f107A;
        dfa = input->f107A - 150.0;
        t[0] = p[19] * df * (1.0 + p[59] * dfa) + p[20] * df * df + p[21] * dfa + p[29] * pow(dfa, 2.0);
        f1 = 1.0 + (p[47] * dfa + p[19] * df + p[20] * df * df) * flags->swc[1];
        f2 = 1.0 + (p[49] * dfa + p[19] * df + p[20] * df * df) * flags->swc[1];

        /*  TIME INDEPENDENT */
        t[1] = (p[1] * plg[0][2] + p[2] * plg[0][4] + p[22] * plg[0][6]) + (p[14] * plg[0][2]) * dfa * flags->swc[1] +
               p[26] * plg[0][1];

        /*  SYMMETRICAL ANNUAL */
        t[2] = p[18] * cd32;

        /*  SYMMETRICAL SEMIANNUAL */
        t[3] = (p[15] + p[16] * plg[0][2]) * cd18;

        /*  ASYMMETRICAL ANNUAL */
        t[4] = f1 * (p[9] * plg[0][1] + p[10] * plg[0][3]) * cd14;

        /*  ASYMMETRICAL SEMIANNUAL */
        t[5] = p[37] * plg[0][1] * cd39;

        /* DIURNAL */
        if (flags->sw[7]) {
            double t71, t72;
            t71 = (p[11] * plg[1][2]) * cd14 * flags->swc[5];
            t72 = (p[12] * plg[1][2]) * cd14 * flags->swc[5];
            t[6] = f2 * ((p[3] * plg[1][1] + p[4] * plg[1][3] + p[27] * plg[1][5] + t71) * ctloc +
                         (p[6] * plg[1][1] + p[7] * plg[1][3] + p[28] * plg[1][5] + t72) * stloc);
        }

        /* SEMIDIURNAL */
        if (flags->sw[8]) {
            double t81, t82;
            t81 = (p[23] * plg[2][3] + p[35] * plg[2][5]) * cd14 * flags->swc[5];
            t82 = (p[33] * plg[2][3] + p[36] * plg[2][5]) * cd14 * flags->swc[5];
            t[7] = f2 * ((p[5] * plg[2][2] + p[41] * plg[2][4] + t81) * c2tloc +
                         (p[8] * plg[2][2] + p[42] * plg[2][4] + t82) * s2tloc);
        }

        /* TERDIURNAL */
        if (flags->sw[14]) {
            t[13] =
                f2 * ((p[39] * plg[3][3] + (p[93] * plg[3][4] + p[46] * plg[3][6]) * cd14 * flags->swc[5]) * s3tloc +
                      (p[40] * plg[3][3] + (p[94] * plg[3][4] + p[48] * plg[3][6]) * cd14 * flags->swc[5]) * c3tloc);
        }

        /* magnetic activity based on daily ap */
        if (flags->sw[9] == -1) {
            ap = input->ap_a;
            if (p[51] != 0) {
                double exp1;
                exp1 =
                    exp(-10800.0 * sqrt(p[51] * p[51]) / (1.0 + p[138] * (45.0 - sqrt(input->g_lat * input->g_lat))));
                if (exp1 > 0.99999) exp1 = 0.99999;
                /* (the C code clamped p[24] to 1e-4 here, writing into the
                   table; g0 reads it clamped instead: no table has less) */
                apt[0] = sg0(exp1, p, ap->a);
                /* apt[1]=sg2(exp1,p,ap->a);
                   apt[2]=sg0(exp2,p,ap->a);
                   apt[3]=sg2(exp2,p,ap->a);
                */
                if (flags->sw[9]) {
                    t[8] = apt[0] *
                           (p[50] + p[96] * plg[0][2] + p[54] * plg[0][4] +
                            (p[125] * plg[0][1] + p[126] * plg[0][3] + p[127] * plg[0][5]) * cd14 * flags->swc[5] +
                            (p[128] * plg[1][1] + p[129] * plg[1][3] + p[130] * plg[1][5]) * flags->swc[7] *
                                cos(hr * (tloc - p[131])));
                }
            }
        } else {
            double p44, p45;
            apd = input->ap - 4.0;
            p44 = p[43];
            p45 = p[44];
            if (p44 < 0) p44 = 1.0E-5;
            apdf = apd + (p45 - 1.0) * (apd + (exp(-p44 * apd) - 1.0) / p44);
            if (flags->sw[9]) {
                t[8] = apdf * (p[32] + p[45] * plg[0][2] + p[34] * plg[0][4] +
                               (p[100] * plg[0][1] + p[101] * plg[0][3] + p[102] * plg[0][5]) * cd14 * flags->swc[5] +
                               (p[121] * plg[1][1] + p[122] * plg[1][3] + p[123] * plg[1][5]) * flags->swc[7] *
                                   cos(hr * (tloc - p[124])));
            }
        }

        if ((flags->sw[10]) && (input->g_long > -1000.0)) {
            /* longitudinal */
            if (flags->sw[11]) {
                t[10] = (1.0 + p[80] * dfa * flags->swc[1]) *
                        ((p[64] * plg[1][2] + p[65] * plg[1][4] + p[66] * plg[1][6] + p[103] * plg[1][1] +
                          p[104] * plg[1][3] + p[105] * plg[1][5] +
                          flags->swc[5] * (p[109] * plg[1][1] + p[110] * plg[1][3] + p[111] * plg[1][5]) * cd14) *
                             cos(dgtr * input->g_long) +
                         (p[90] * plg[1][2] + p[91] * plg[1][4] + p[92] * plg[1][6] + p[106] * plg[1][1] +
                          p[107] * plg[1][3] + p[108] * plg[1][5] +
                          flags->swc[5] * (p[112] * plg[1][1] + p[113] * plg[1][3] + p[114] * plg[1][5]) * cd14) *
                             sin(dgtr * input->g_long));
            }

            /* ut and mixed ut, longitude */
            if (flags->sw[12]) {
                t[11] = (1.0 + p[95] * plg[0][1]) * (1.0 + p[81] * dfa * flags->swc[1]) *
                        (1.0 + p[119] * plg[0][1] * flags->swc[5] * cd14) *
                        ((p[68] * plg[0][1] + p[69] * plg[0][3] + p[70] * plg[0][5]) * cos(sr * (input->sec - p[71])));
                t[11] += flags->swc[11] * (p[76] * plg[2][3] + p[77] * plg[2][5] + p[78] * plg[2][7]) *
                         cos(sr * (input->sec - p[79]) + 2.0 * dgtr * input->g_long) *
                         (1.0 + p[137] * dfa * flags->swc[1]);
            }

            /* ut, longitude magnetic activity */
            if (flags->sw[13]) {
                if (flags->sw[9] == -1) {
                    if (p[51]) {
                        t[12] = apt[0] * flags->swc[11] * (1. + p[132] * plg[0][1]) *
                                    ((p[52] * plg[1][2] + p[98] * plg[1][4] + p[67] * plg[1][6]) *
                                     cos(dgtr * (input->g_long - p[97]))) +
                                apt[0] * flags->swc[11] * flags->swc[5] *
                                    (p[133] * plg[1][1] + p[134] * plg[1][3] + p[135] * plg[1][5]) * cd14 *
                                    cos(dgtr * (input->g_long - p[136])) +
                                apt[0] * flags->swc[12] * (p[55] * plg[0][1] + p[56] * plg[0][3] + p[57] * plg[0][5]) *
                                    cos(sr * (input->sec - p[58]));
                    }
                } else {
                    t[12] = apdf * flags->swc[11] * (1.0 + p[120] * plg[0][1]) *
                                ((p[60] * plg[1][2] + p[61] * plg[1][4] + p[62] * plg[1][6]) *
                                 cos(dgtr * (input->g_long - p[63]))) +
                            apdf * flags->swc[11] * flags->swc[5] *
                                (p[115] * plg[1][1] + p[116] * plg[1][3] + p[117] * plg[1][5]) * cd14 *
                                cos(dgtr * (input->g_long - p[118])) +
                            apdf * flags->swc[12] * (p[83] * plg[0][1] + p[84] * plg[0][3] + p[85] * plg[0][5]) *
                                cos(sr * (input->sec - p[75]));
                }
            }
        }

        /* parms not used: 82, 89, 99, 139-149 */
        tinf = p[30];
        for (i = 0; i < 14; i++) tinf = tinf + fabs(flags->sw[i + 1]) * t[i];
        return tinf;
    }

    /* ------------------------------------------------------------------- */
    /* ------------------------------- GLOB7S ---------------------------- */
    /* ------------------------------------------------------------------- */

    double glob7s(const double* p, struct nrlmsise_input* input, struct nrlmsise_flags* flags) {
        /*    VERSION OF GLOBE FOR LOWER ATMOSPHERE 10/26/99
         */
        double pset = 2.0;
        double t[14];
        double tt;
        double cd32, cd18, cd14, cd39;
        int i, j;
        double dr = 1.72142E-2;
        double dgtr = 1.74533E-2;
        /* confirm parameter set */
        if (p[99] != 0 && p[99] != pset) return -1;
        for (j = 0; j < 14; j++) t[j] = 0.0;
        cd32 = cos(dr * (input->doy - p[31]));
        cd18 = cos(2.0 * dr * (input->doy - p[17]));
        cd14 = cos(dr * (input->doy - p[13]));
        cd39 = cos(2.0 * dr * (input->doy - p[38]));

        /* F10.7 */
        t[0] = p[21] * dfa;

        /* time independent */
        t[1] = p[1] * plg[0][2] + p[2] * plg[0][4] + p[22] * plg[0][6] + p[26] * plg[0][1] + p[14] * plg[0][3] +
               p[59] * plg[0][5];

        /* SYMMETRICAL ANNUAL */
        t[2] = (p[18] + p[47] * plg[0][2] + p[29] * plg[0][4]) * cd32;

        /* SYMMETRICAL SEMIANNUAL */
        t[3] = (p[15] + p[16] * plg[0][2] + p[30] * plg[0][4]) * cd18;

        /* ASYMMETRICAL ANNUAL */
        t[4] = (p[9] * plg[0][1] + p[10] * plg[0][3] + p[20] * plg[0][5]) * cd14;

        /* ASYMMETRICAL SEMIANNUAL */
        t[5] = (p[37] * plg[0][1]) * cd39;

        /* DIURNAL */
        if (flags->sw[7]) {
            double t71, t72;
            t71 = p[11] * plg[1][2] * cd14 * flags->swc[5];
            t72 = p[12] * plg[1][2] * cd14 * flags->swc[5];
            t[6] = ((p[3] * plg[1][1] + p[4] * plg[1][3] + t71) * ctloc +
                    (p[6] * plg[1][1] + p[7] * plg[1][3] + t72) * stloc);
        }

        /* SEMIDIURNAL */
        if (flags->sw[8]) {
            double t81, t82;
            t81 = (p[23] * plg[2][3] + p[35] * plg[2][5]) * cd14 * flags->swc[5];
            t82 = (p[33] * plg[2][3] + p[36] * plg[2][5]) * cd14 * flags->swc[5];
            t[7] = ((p[5] * plg[2][2] + p[41] * plg[2][4] + t81) * c2tloc +
                    (p[8] * plg[2][2] + p[42] * plg[2][4] + t82) * s2tloc);
        }

        /* TERDIURNAL */
        if (flags->sw[14]) {
            t[13] = p[39] * plg[3][3] * s3tloc + p[40] * plg[3][3] * c3tloc;
        }

        /* MAGNETIC ACTIVITY */
        if (flags->sw[9]) {
            if (flags->sw[9] == 1) t[8] = apdf * (p[32] + p[45] * plg[0][2] * flags->swc[2]);
            if (flags->sw[9] == -1) t[8] = (p[50] * apt[0] + p[96] * plg[0][2] * apt[0] * flags->swc[2]);
        }

        /* LONGITUDINAL */
        if (!((flags->sw[10] == 0) || (flags->sw[11] == 0) || (input->g_long <= -1000.0))) {
            t[10] = (1.0 +
                     plg[0][1] * (p[80] * flags->swc[5] * cos(dr * (input->doy - p[81])) +
                                  p[85] * flags->swc[6] * cos(2.0 * dr * (input->doy - p[86]))) +
                     p[83] * flags->swc[3] * cos(dr * (input->doy - p[84])) +
                     p[87] * flags->swc[4] * cos(2.0 * dr * (input->doy - p[88]))) *
                    ((p[64] * plg[1][2] + p[65] * plg[1][4] + p[66] * plg[1][6] + p[74] * plg[1][1] +
                      p[75] * plg[1][3] + p[76] * plg[1][5]) *
                         cos(dgtr * input->g_long) +
                     (p[90] * plg[1][2] + p[91] * plg[1][4] + p[92] * plg[1][6] + p[77] * plg[1][1] +
                      p[78] * plg[1][3] + p[79] * plg[1][5]) *
                         sin(dgtr * input->g_long));
        }
        tt = 0;
        for (i = 0; i < 14; i++) tt += fabs(flags->sw[i + 1]) * t[i];
        return tt;
    }
};

}  // namespace velarion::numerical::nrlmsise00

#endif
