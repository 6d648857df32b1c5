// The equations of motion of one propagation: the force model's
// acceleration in GCRF and, for the state transition matrix, the
// variational equations Phi' = A Phi with A = [[0, I], [da/dr, da/dv]].
// Plain C++ on doubles, no Python; one Dynamics per propagation (it holds
// the gravity recursion's storage, allocated once).
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_DYNAMICS_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_DYNAMICS_HPP

#include "velarion/propagators/numerical/kernels/drag.hpp"
#include "velarion/propagators/numerical/kernels/earth_orientation.hpp"
#include "velarion/propagators/numerical/kernels/ephemeris.hpp"
#include "velarion/propagators/numerical/kernels/force_context.hpp"
#include "velarion/propagators/numerical/kernels/gravity.hpp"
#include "velarion/propagators/numerical/kernels/relativity.hpp"
#include "velarion/propagators/numerical/kernels/srp.hpp"
#include "velarion/propagators/numerical/kernels/thirdbody.hpp"
#include "velarion/propagators/numerical/kernels/tides.hpp"

#include <erfa.h>

#include <algorithm>
#include <cmath>

namespace velarion::numerical {

// What a propagation holds fixed: the field and which terms are on. Read
// only during propagations (shared by the threads of propagate_many).
struct ForceModel {
    GravityField field;
    GravityFactors factors;
    GravityGradientFactors gradient;
    GravityRecursion recursion;  // to max(degree, 4) + 2
    int degree = 0, order = 0;   // 0 x 0: the point mass, evaluated in GCRF without the rotation
    // The surface below which a state is refused: the WGS84 ellipsoid.
    double surface_a = 6378137.0, surface_b = 6356752.314245179;

    bool third_body = false;
    ThirdBodyParams third_body_params;
    struct Planet {
        int series;
        double gm;
    };
    static constexpr int kMaxPlanets = kMaxSeries - kFirstPlanet;
    Planet planets[kMaxPlanets] = {};
    int planet_count = 0;
    bool drag = false;
    DragParams drag_params;
    bool srp = false;
    SrpParams srp_params;
    bool relativity = false;
    RelativityParams relativity_params;
    bool tides = false;
    SolidTideParams tide_params;
    GravityFactors tide_unit;  // degree 4, C = S = 1: the tides' factors before their coefficients

    bool needs_rotation() const noexcept { return degree > 0 || drag || tides || relativity; }
    bool needs_ephemeris() const noexcept {
        return third_body || planet_count > 0 || drag || srp || tides || (relativity && relativity_params.de_sitter);
    }
};

// The space weather of one propagation (NRLMSISE-00 drag): the table the
// binding packed for its span, or none (the model's constant indices).
struct Weather {
    const SpaceWeather* table = nullptr;
    bool ap_history = false;
};

// Why the right-hand side refused a state.
enum class Refusal { none, inside_earth, outside_table, outside_ephemeris };

class Dynamics {
public:
    Dynamics(const ForceModel& model, const EarthOrientationTable* table, const Ephemeris* ephemeris, double tt0,
             bool stm, bool sensitivity = false, Weather weather = {})
        : model_(model),
          table_(table),
          ephemeris_(ephemeris),
          tt0_(tt0),
          stm_(stm || sensitivity),
          sensitivity_(sensitivity),
          work_(model.recursion),
          drag_params_(model.drag_params) {
        drag_params_.weather = weather.table;
        drag_params_.ap_history = weather.table && weather.ap_history;
        if (model.tides) {
            // only the degree 2-4 entries are filled per evaluation
            tide_factors_ = model.tide_unit;
            for (auto* v : {&tide_factors_.Cp, &tide_factors_.Sp, &tide_factors_.Cq, &tide_factors_.Sq,
                            &tide_factors_.Cz, &tide_factors_.Sz})
                std::fill(v->begin(), v->end(), 0.0);
        }
    }

    // 6 (the orbit), + 36 (the transition matrix), + 12 (d(r, v) / d(Cd, Cr)).
    int dimension() const noexcept { return sensitivity_ ? 54 : stm_ ? 42 : 6; }
    Refusal refusal() const noexcept { return refusal_; }

    // The acceleration at TT seconds since J2000 `tt`, and its partials when
    // dadr / dadv are not null (both zeroed here). False with refusal() set
    // when the state is refused.
    bool acceleration(double tt, const double r[3], const double v[3], double a[3], double* dadr, double* dadv) {
        ForceContext c{};
        double ut1_minus_tt = 0.0, r_itrf[3];
        if (dadr)
            for (int i = 0; i < 9; ++i) dadr[i] = 0.0;
        if (dadv)
            for (int i = 0; i < 9; ++i) dadv[i] = 0.0;
        if (!make_context(tt, r, v, c, ut1_minus_tt, r_itrf)) return false;
        drag_params_.ut_minus_tt = ut1_minus_tt;  // NRLMSISE-00's local solar time
        a[0] = a[1] = a[2] = 0.0;
        add_gravity(c, r_itrf, a, dadr);
        if (model_.tides) add_tides(c, ut1_minus_tt, a);
        if (model_.third_body) add_thirdbody(c, model_.third_body_params, a, dadr, dadv);
        for (int k = 0; k < model_.planet_count; ++k) {
            double s[3];
            if (!geocentric_position(*ephemeris_, model_.planets[k].series, c.tdb, s))
                return refusal_ = Refusal::outside_ephemeris, false;
            add_point_mass(c.r, s, model_.planets[k].gm, a, dadr);
        }
        dadp_[0] = dadp_[1] = dadp_[2] = dadp_[3] = dadp_[4] = dadp_[5] = 0.0;
        if (model_.drag) add_scaled(c, a, dadr, dadv, 0);
        if (model_.srp) add_scaled(c, a, dadr, dadv, 1);
        if (model_.relativity) {
            RelativityParams p = model_.relativity_params;
            p.ephemeris = ephemeris_;
            if (!add_relativity(c, p, a, dadr, dadv)) return refusal_ = Refusal::outside_ephemeris, false;
        }
        return true;
    }

    // The context of a state at TT seconds since J2000 `tt` (the rotation,
    // the Sun and the Moon as the model needs them) and its Earth-fixed
    // position; false with refusal() set when the state is refused.
    bool make_context(double tt, const double r[3], const double v[3], ForceContext& c, double& ut1_minus_tt,
                      double r_itrf[3]) {
        c = ForceContext{};
        c.tt = tt;
        c.tdb = tt + tdb_minus_tt(tt);
        for (int i = 0; i < 3; ++i) c.r[i] = r[i], c.v[i] = v[i];
        ut1_minus_tt = 0.0;
        if (model_.needs_rotation() || table_) {
            if (!table_ || !table_->covers(tt)) return refusal_ = Refusal::outside_table, false;
            EarthOrientation eo;
            earth_orientation(*table_, tt, eo);
            for (int i = 0; i < 9; ++i) c.itrf_from_gcrf[i] = eo.itrf_from_gcrf[i];
            for (int i = 0; i < 3; ++i) c.earth_rate[i] = eo.earth_rate[i];
            ut1_minus_tt = eo.ut1_minus_tt;
        } else {
            for (int i = 0; i < 9; ++i) c.itrf_from_gcrf[i] = i % 4 == 0 ? 1.0 : 0.0;
            c.earth_rate[2] = frames::kernels::kEarthRotationRate;
        }
        rotate(c.itrf_from_gcrf, r, r_itrf);
        if (inside_surface(r_itrf)) return refusal_ = Refusal::inside_earth, false;
        if (model_.needs_ephemeris() || ephemeris_) {
            if (!ephemeris_ || !geocentric_sun_moon(*ephemeris_, c.tdb, c.sun, c.moon))
                return refusal_ = Refusal::outside_ephemeris, false;
            c.has_sun = c.has_moon = true;
        }
        return true;
    }

    double tt0() const noexcept { return tt0_; }
    const ForceModel& model() const noexcept { return model_; }

    // The right-hand side at t seconds from the initial epoch.
    bool operator()(double t, const double* y, double* dy) {
        double a[3], dadr[9], dadv[9];
        if (!acceleration(tt0_ + t, y, y + 3, a, stm_ ? dadr : nullptr, stm_ ? dadv : nullptr)) return false;
        dy[0] = y[3], dy[1] = y[4], dy[2] = y[5];
        dy[3] = a[0], dy[4] = a[1], dy[5] = a[2];
        if (!stm_) return true;
        // Phi (6x6 row-major at y + 6): rows 0-2 of Phi' are rows 3-5 of
        // Phi; rows 3-5 are dadr . Phi[0:3] + dadv . Phi[3:6]. The
        // sensitivity (6x2 at y + 42) the same, plus d a / d(Cd, Cr).
        variational(y + 6, dy + 6, 6, dadr, dadv, nullptr);
        if (sensitivity_) variational(y + 42, dy + 42, 2, dadr, dadv, dadp_);
        return true;
    }

    // TDB - TT (s): the annual term and its first harmonic (Fairhead and
    // Bretagnon's leading terms, within ~30 us of the full series).
    static double tdb_minus_tt(double tt) noexcept {
        const double g = 6.239996 + 1.99096871e-7 * tt;
        return 0.001657 * std::sin(g) + 0.000014 * std::sin(2.0 * g);
    }

private:
    bool inside_surface(const double p[3]) const noexcept {
        const double a = model_.surface_a, b = model_.surface_b;
        const double q = (p[0] * p[0] + p[1] * p[1]) / (a * a) + p[2] * p[2] / (b * b);
        return !(q >= 1.0);  // NaN positions are refused too
    }

    void add_gravity(const ForceContext& c, const double r_itrf[3], double a[3], double* dadr) {
        const GravityField& f = model_.field;
        if (!model_.needs_rotation()) {
            const double r2 = c.r[0] * c.r[0] + c.r[1] * c.r[1] + c.r[2] * c.r[2], rn = std::sqrt(r2);
            const double k = -f.GM / (r2 * rn);
            for (int i = 0; i < 3; ++i) a[i] += k * c.r[i];
            if (dadr) {
                for (int i = 0; i < 3; ++i) {
                    for (int j = 0; j < 3; ++j)
                        dadr[3 * i + j] += k * ((i == j ? 1.0 : 0.0) - 3.0 * c.r[i] * c.r[j] / r2);
                }
            }
            return;
        }
        double a_itrf[3], g_itrf[9], a_gcrf[3];
        gravity_acceleration(f, model_.factors, work_, model_.degree, model_.order, r_itrf, a_itrf,
                             dadr ? g_itrf : nullptr, &model_.gradient);
        rotate_back(c.itrf_from_gcrf, a_itrf, a_gcrf);
        for (int i = 0; i < 3; ++i) a[i] += a_gcrf[i];
        if (dadr) {
            // R^T G R
            const double* R = c.itrf_from_gcrf;
            double GR[9];
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j)
                    GR[3 * i + j] = g_itrf[3 * i] * R[j] + g_itrf[3 * i + 1] * R[3 + j] + g_itrf[3 * i + 2] * R[6 + j];
            }
            for (int i = 0; i < 3; ++i) {
                for (int j = 0; j < 3; ++j)
                    dadr[3 * i + j] += R[i] * GR[j] + R[3 + i] * GR[3 + j] + R[6 + i] * GR[6 + j];
            }
        }
    }

    // M' for a 6 x cols block M of the variational equations.
    static void variational(const double* P, double* dP, int cols, const double* dadr, const double* dadv,
                            const double* dadp) noexcept {
        for (int j = 0; j < 3 * cols; ++j) dP[j] = P[3 * cols + j];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < cols; ++j) {
                double s = dadp ? dadp[cols * i + j] : 0.0;
                for (int k = 0; k < 3; ++k)
                    s += dadr[3 * i + k] * P[cols * k + j] + dadv[3 * i + k] * P[cols * (3 + k) + j];
                dP[3 * cols + cols * i + j] = s;
            }
        }
    }

    // Drag (which 0) or radiation pressure (1), linear in Cd or Cr: its
    // acceleration over the coefficient is d a / d(coefficient) (row-major
    // 3 x 2 in dadp_, column `which`).
    void add_scaled(const ForceContext& c, double a[3], double* dadr, double* dadv, int which) {
        double term[3] = {0.0, 0.0, 0.0};
        double k = 0.0;
        if (which == 0) {
            DragParams p = drag_params_;
            k = p.cd;
            if (k == 0.0) p.cd = 1.0;
            add_drag(c, p, term, k == 0.0 ? nullptr : dadr, k == 0.0 ? nullptr : dadv);
            if (k == 0.0) {
                for (int i = 0; i < 3; ++i) dadp_[2 * i] = term[i];
                return;
            }
        } else {
            SrpParams p = model_.srp_params;
            k = p.cr;
            if (k == 0.0) p.cr = 1.0;
            add_srp(c, p, term, k == 0.0 ? nullptr : dadr, k == 0.0 ? nullptr : dadv);
            if (k == 0.0) {
                for (int i = 0; i < 3; ++i) dadp_[2 * i + 1] = term[i];
                return;
            }
        }
        for (int i = 0; i < 3; ++i) a[i] += term[i], dadp_[2 * i + which] = term[i] / k;
    }

    // The solid tides' corrections to the field to degree 4 (IERS 2010,
    // 6.2.1), summed as a field of their own on the functions the main
    // field left in work_ (evaluated again where its degree is below 4).
    // Their gradient (~1e-7 of J2's) is left out of the partials.
    void add_tides(const ForceContext& c, double ut1_minus_tt, double a[3]) {
        const double gmst = eraGmst06(kJ2000, (c.tt + ut1_minus_tt) / kDay, kJ2000, c.tt / kDay);
        double dC[5][5], dS[5][5];
        solid_tide_corrections(c, gmst, dC, dS, model_.tide_params);
        const GravityFactors& u = model_.tide_unit;
        for (int n = 2; n <= 4; ++n) {
            for (int m = 0; m <= n; ++m) {
                const std::size_t i = GravityField::index(n, m);
                tide_factors_.Cp[i] = u.Cp[i] * dC[n][m], tide_factors_.Sp[i] = u.Sp[i] * dS[n][m];
                tide_factors_.Cq[i] = u.Cq[i] * dC[n][m], tide_factors_.Sq[i] = u.Sq[i] * dS[n][m];
                tide_factors_.Cz[i] = u.Cz[i] * dC[n][m], tide_factors_.Sz[i] = u.Sz[i] * dS[n][m];
            }
        }
        double r_itrf[3], a_itrf[3], a_gcrf[3];
        rotate(c.itrf_from_gcrf, c.r, r_itrf);
        if (model_.degree < 4) work_.evaluate(r_itrf, model_.field.radius, 5);
        gravity_sum(tide_factors_, work_, 4, 4, model_.field.GM, model_.field.radius, a_itrf);
        rotate_back(c.itrf_from_gcrf, a_itrf, a_gcrf);
        for (int i = 0; i < 3; ++i) a[i] += a_gcrf[i];
    }

    const ForceModel& model_;
    const EarthOrientationTable* table_;
    const Ephemeris* ephemeris_;
    GravityFactors tide_factors_;
    double tt0_;
    bool stm_;
    bool sensitivity_;
    GravityWork work_;
    DragParams drag_params_;               // the model's, with this propagation's weather
    double dadp_[6] = {0, 0, 0, 0, 0, 0};  // d a / d(Cd, Cr), 3 x 2
    Refusal refusal_ = Refusal::none;
};

}  // namespace velarion::numerical

#endif
