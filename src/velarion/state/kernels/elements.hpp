// Classical orbital elements <-> position and velocity. Plain C++ on
// doubles, no Python.
//
// Angles come back in [0, 2*pi) (inclination in [0, pi]). Every angle is an
// atan2 of two projections, so no acos/asin sees a value pushed past 1 by
// rounding. Degenerate geometries take the usual conventions:
//   circular (ecc <= kCircularTol): arp = 0 and tra is measured from the node;
//   equatorial (sin inc <= kEquatorialTol): raa = 0 and the node line is the
//     x axis, so arp (or, when circular too, tra: the true longitude) is
//     measured from x, in the sense of the motion.
// The eccentricity itself is kept as computed, never rounded to zero.
#ifndef VELARION_STATE_KERNELS_ELEMENTS_HPP
#define VELARION_STATE_KERNELS_ELEMENTS_HPP

#include "velarion/_core/strided.hpp"
#include "velarion/mathtools/misc/kernels/angles.hpp"
#include "velarion/mathtools/misc/kernels/lanes.hpp"

#include <cmath>
#include <limits>

namespace velarion::state::kernels {

namespace lanes = mathtools::misc::kernels::lanes;

// At the level of rounding: an orbit built circular (or equatorial) comes
// back with an eccentricity (or a sin inc) of a few ulp, which still takes
// the convention, while a real one of 1e-13 keeps its own node and
// periapsis. Taking a real orbit as circular or equatorial moves its state
// by up to twice the threshold of the radius, so the threshold stays there.
inline constexpr double kCircularTol = 1e-14;
inline constexpr double kEquatorialTol = 1e-14;

struct Elements {
    double ecc, sma, inc, raa, arp, tra, slr;
};

enum class Status {
    Ok = 0,
    NonFinite,        // an input is NaN or infinite
    ZeroPosition,     // |r| = 0
    Rectilinear,      // r and v parallel (zero angular momentum): no orbital plane
    BadGM,            // GM not positive
    BadSlr,           // semi-latus rectum not positive
    BadEcc,           // negative eccentricity
    BeyondAsymptote,  // 1 + ecc cos(tra) <= 0: no point of the (hyperbolic) orbit
    OutOfRange,       // finite input whose products overflow or underflow double precision
};

namespace detail {

inline double dot(const double a[3], const double b[3]) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline void cross(const double a[3], const double b[3], double out[3]) noexcept {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

inline double norm(const double a[3]) noexcept { return std::sqrt(dot(a, a)); }

// Angle of `u` in the plane spanned by the unit vectors x (angle 0) and y
// (angle pi/2), in [0, 2*pi).
inline double plane_angle(const double u[3], const double x[3], const double y[3]) noexcept {
    return mathtools::misc::kernels::atan2_asymmetric_kernel(dot(u, y), dot(u, x));
}

}  // namespace detail

// Elements of the state (r [m], v [m/s]) under GM [m^3/s^2].
inline Status rv_to_coe(const double r[3], const double v[3], double GM, Elements& out) noexcept {
    using namespace detail;
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(r[i]) || !std::isfinite(v[i])) return Status::NonFinite;
    }
    if (!std::isfinite(GM)) return Status::NonFinite;
    if (!(GM > 0.0)) return Status::BadGM;
    const double rn = norm(r);
    if (rn == 0.0) return Status::ZeroPosition;
    double h[3];
    cross(r, v, h);
    const double hn = norm(h);
    if (hn == 0.0) return Status::Rectilinear;

    // Eccentricity vector (v x h) / GM - r / |r|.
    double vxh[3], e[3];
    cross(v, h, vxh);
    for (int i = 0; i < 3; ++i) e[i] = vxh[i] / GM - r[i] / rn;
    const double ecc = norm(e);

    const double nxy = std::hypot(h[0], h[1]);  // |z x h|
    out.ecc = ecc;
    out.slr = (hn / GM) * hn;
    out.sma = 1.0 / (2.0 / rn - dot(v, v) / GM);  // +-inf for an exact parabola
    out.inc = std::atan2(nxy, h[2]);

    const double hu[3] = {h[0] / hn, h[1] / hn, h[2] / hn};
    double node[3];
    if (nxy <= kEquatorialTol * hn) {
        node[0] = 1.0, node[1] = 0.0, node[2] = 0.0;
        out.raa = 0.0;
    } else {
        node[0] = -h[1] / nxy, node[1] = h[0] / nxy, node[2] = 0.0;
        out.raa = mathtools::misc::kernels::atan2_asymmetric_kernel(node[1], node[0]);
    }
    double node90[3];  // the node line turned by 90 degrees in the sense of the motion
    cross(hu, node, node90);

    if (ecc <= kCircularTol) {
        out.arp = 0.0;
        out.tra = plane_angle(r, node, node90);
    } else {
        out.arp = plane_angle(e, node, node90);
        const double eu[3] = {e[0] / ecc, e[1] / ecc, e[2] / ecc};
        double eu90[3];
        cross(hu, eu, eu90);
        out.tra = plane_angle(r, eu, eu90);
    }
    // Only an overflow of |h| or |v|^2 (inputs near 1e154 and beyond) can
    // leave a NaN behind, and only an underflow of h^2 / GM a zero slr; the
    // elements are then meaningless.
    if (std::isnan(out.ecc + out.inc + out.raa + out.arp + out.tra + out.slr + out.sma)) return Status::OutOfRange;
    if (!(out.slr > 0.0) || std::isinf(out.slr)) return Status::OutOfRange;
    return Status::Ok;
}

// Rotation of the perifocal frame into the reference frame: its first two
// columns P (towards periapsis) and Q (90 degrees ahead in the orbit), lane
// by lane.
template <class D>
VELARION_LANES_INLINE void perifocal_axes(D inc, D raa, D arp, D P[3], D Q[3]) noexcept {
    const lanes::SinCos<D> i = lanes::sincos(inc), O = lanes::sincos(raa), w = lanes::sincos(arp);
    const D ci = i.cos, si = i.sin, cO = O.cos, sO = O.sin, cw = w.cos, sw = w.sin;
    P[0] = cO * cw - sO * sw * ci;
    P[1] = sO * cw + cO * sw * ci;
    P[2] = sw * si;
    Q[0] = -cO * sw - sO * cw * ci;
    Q[1] = -sO * sw + cO * cw * ci;
    Q[2] = cw * si;
}

// The same for one orbit (a lane of the above).
struct Orientation {
    double P[3] = {0.0, 0.0, 0.0}, Q[3] = {0.0, 0.0, 0.0};

    void set(double inc, double raa, double arp) noexcept {
        lanes::D1 p[3], q[3];
        perifocal_axes(lanes::D1{inc}, lanes::D1{raa}, lanes::D1{arp}, p, q);
        for (int k = 0; k < 3; ++k) P[k] = p[k][0], Q[k] = q[k][0];
    }
};

// Checks of coe_to_rv's inputs that do not depend on the orientation.
inline Status check_shape(double GM, double ecc, double slr, double tra) noexcept {
    if (!std::isfinite(GM) || !std::isfinite(ecc) || !std::isfinite(slr) || !std::isfinite(tra)) {
        return Status::NonFinite;
    }
    if (!(GM > 0.0)) return Status::BadGM;
    if (ecc < 0.0) return Status::BadEcc;
    if (!(slr > 0.0)) return Status::BadSlr;
    return Status::Ok;
}

// Position and velocity on the conic of (ecc, slr) at true anomaly tra,
// oriented by the axes P and Q, with vf = sqrt(GM / slr), lane by lane;
// `den` receives 1 + ecc cos(tra), which is not positive where the true
// anomaly lies outside the branch of a hyperbola (r and v are then
// meaningless).
template <class D>
VELARION_LANES_INLINE void conic_lanes(const D P[3], const D Q[3], D vf, D ecc, D slr, D tra, D r[3], D v[3],
                                       D& den) noexcept {
    const lanes::SinCos<D> t = lanes::sincos(tra);
    den = 1.0 + ecc * t.cos;
    const D rr = slr / den;
    const D a = rr * t.cos, b = rr * t.sin;
    const D c = -vf * t.sin, d = vf * (ecc + t.cos);
    for (int i = 0; i < 3; ++i) {
        r[i] = a * P[i] + b * Q[i];
        v[i] = c * P[i] + d * Q[i];
    }
}

// One lane of conic_lanes for the orientation `o`. The caller has checked
// the inputs (a NaN input only gives NaN outputs). BeyondAsymptote (and
// nothing written) when the true anomaly lies outside the branch of a
// hyperbola.
inline Status conic_to_rv(const Orientation& o, double vf, double ecc, double slr, double tra, double r[3],
                          double v[3]) noexcept {
    lanes::D1 P[3], Q[3], rl[3], vl[3], den;
    for (int k = 0; k < 3; ++k) P[k] = lanes::D1{o.P[k]}, Q[k] = lanes::D1{o.Q[k]};
    conic_lanes(P, Q, lanes::D1{vf}, lanes::D1{ecc}, lanes::D1{slr}, lanes::D1{tra}, rl, vl, den);
    if (den[0] <= 0.0) return Status::BeyondAsymptote;
    for (int k = 0; k < 3; ++k) r[k] = rl[k][0], v[k] = vl[k][0];
    return Status::Ok;
}

// Whether the six outputs are finite (finite elements can still overflow,
// e.g. a subnormal slr makes sqrt(GM / slr) infinite).
inline bool finite_rv(const double r[3], const double v[3]) noexcept {
    return std::isfinite(r[0] + r[1] + r[2]) && std::isfinite(v[0] + v[1] + v[2]) &&
           std::isfinite(std::fabs(r[0]) + std::fabs(r[1]) + std::fabs(r[2]) + std::fabs(v[0]) + std::fabs(v[1]) +
                         std::fabs(v[2]));
}

// The same, lane by lane: all ones where finite_rv would be true.
template <class D>
VELARION_LANES_INLINE lanes::Mask<D> finite_rv_lanes(const D r[3], const D v[3]) noexcept {
    using lanes::abs;
    constexpr double kMax = std::numeric_limits<double>::max();
    const D spread = abs(r[0]) + abs(r[1]) + abs(r[2]) + abs(v[0]) + abs(v[1]) + abs(v[2]);
    return (abs(r[0] + r[1] + r[2]) <= kMax) & (abs(v[0] + v[1] + v[2]) <= kMax) & (spread <= kMax);
}

// Position [m] and velocity [m/s] from the elements (slr [m], angles rad).
inline Status coe_to_rv(double GM, double ecc, double inc, double raa, double arp, double tra, double slr, double r[3],
                        double v[3]) noexcept {
    if (Status s = check_shape(GM, ecc, slr, tra); s != Status::Ok) return s;
    if (!std::isfinite(inc) || !std::isfinite(raa) || !std::isfinite(arp)) return Status::NonFinite;
    Orientation o;
    o.set(inc, raa, arp);
    if (Status s = conic_to_rv(o, std::sqrt(GM / slr), ecc, slr, tra, r, v); s != Status::Ok) return s;
    return finite_rv(r, v) ? Status::Ok : Status::OutOfRange;
}

// Element sets of n epochs, one column per element (entry i at epoch i),
// slr [m] and angles [rad].
struct ElementColumns {
    const double* ecc;
    const double* inc;
    const double* raa;
    const double* arp;
    const double* tra;
    const double* slr;

    ElementColumns from(core::index_t i) const noexcept {
        return {ecc + i, inc + i, raa + i, arp + i, tra + i, slr + i};
    }
};

// Where a conversion of many element sets stopped: Ok at row n, or the
// first row that has no state and why.
struct RowsResult {
    Status status;
    core::index_t row;
};

namespace detail {

// coe_rows_to_rv one row at a time: the reference for the rows a block
// cannot take whole (a NaN, an error), with the same bits.
inline RowsResult coe_rows_to_rv_one_by_one(double GM, const ElementColumns& x, core::index_t n, double* r,
                                            double* v) noexcept {
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();  // equal to nothing: the first row sets all
    Orientation o;
    double inc0 = kNone, raa0 = kNone, arp0 = kNone, slr0 = kNone, vf = kNone;
    for (core::index_t i = 0; i < n; ++i) {
        const double ecc = x.ecc[i], slr = x.slr[i];
        if (ecc < 0.0) return {Status::BadEcc, i};
        if (slr <= 0.0) return {Status::BadSlr, i};
        const double inc = x.inc[i], raa = x.raa[i], arp = x.arp[i];
        if (inc != inc0 || raa != raa0 || arp != arp0) {
            o.set(inc, raa, arp);
            inc0 = inc, raa0 = raa, arp0 = arp;
        }
        if (slr != slr0) {
            vf = std::sqrt(GM / slr);
            slr0 = slr;
        }
        const double tra = x.tra[i];
        double* ri = r + 3 * i;
        double* vi = v + 3 * i;
        if (Status s = conic_to_rv(o, vf, ecc, slr, tra, ri, vi); s != Status::Ok) return {s, i};
        if (!finite_rv(ri, vi) && !(std::isnan(ecc) || std::isnan(slr) || std::isnan(inc) || std::isnan(raa) ||
                                    std::isnan(arp) || std::isnan(tra))) {
            return {std::isfinite(ecc + slr + inc + raa + arp + tra) ? Status::OutOfRange : Status::NonFinite, i};
        }
    }
    return {Status::Ok, n};
}

// Scatters lanes of x, y, z into rows of three (count rows from `out`).
template <class D>
VELARION_LANES_INLINE void store_rows3(double* out, const D c[3], int count) noexcept {
    for (int l = 0; l < count; ++l) {
        out[3 * l] = lanes::get(c[0], l);
        out[3 * l + 1] = lanes::get(c[1], l);
        out[3 * l + 2] = lanes::get(c[2], l);
    }
}

// Whether all lanes of x hold the same value (no NaN).
template <class D>
VELARION_LANES_INLINE bool uniform(D x) noexcept {
    return !lanes::any(~(x == lanes::get(x, 0)));
}

}  // namespace detail

// The axes P and Q of one orientation, kept while consecutive blocks share it.
struct CachedOrientation {
    double inc = std::numeric_limits<double>::quiet_NaN(), raa = inc, arp = inc;  // NaN: equal to nothing
    Orientation o;

    const Orientation& at(double i, double r, double a) noexcept {
        if (i != inc || r != raa || a != arp) {
            o.set(i, r, a);
            inc = i, raa = r, arp = a;
        }
        return o;
    }
};

// Positions [m] and velocities [m/s] of the n element sets `x` under GM
// (finite and not negative: the caller checks it), into r and v (n rows of
// x, y, z each, row-major), a block of lanes at a time (lanes::run). Where
// a block's inc, raa and arp are the same in every row (along a propagated
// orbit only the anomaly moves) the axes are computed once. A NaN element
// gives a NaN row (no value in, no value out); a negative ecc, a
// non-positive slr, a true anomaly beyond a hyperbola's asymptotes, or
// other elements whose state is not finite stop the loop at that row (the
// rows before it are written). Every row gets the bits coe_to_rv gives it.
struct CoeRowsToRv {
    template <class D>
    VELARION_LANES_INLINE static RowsResult run(double GM, ElementColumns x, core::index_t n, double* r,
                                                double* v) noexcept {
        constexpr int L = lanes::kLanes<D>;
        CachedOrientation cache;
        for (core::index_t i = 0; i < n; i += L) {
            const int count = n - i < L ? static_cast<int>(n - i) : L;
            // The last block repeats its first row in the lanes past the end.
            const D ecc = lanes::load_n<D>(x.ecc + i, count, x.ecc[i]);
            const D slr = lanes::load_n<D>(x.slr + i, count, x.slr[i]);
            const D inc = lanes::load_n<D>(x.inc + i, count, x.inc[i]);
            const D raa = lanes::load_n<D>(x.raa + i, count, x.raa[i]);
            const D arp = lanes::load_n<D>(x.arp + i, count, x.arp[i]);
            const D tra = lanes::load_n<D>(x.tra + i, count, x.tra[i]);
            D P[3], Q[3];
            if (detail::uniform(inc) && detail::uniform(raa) && detail::uniform(arp)) {
                const Orientation& o = cache.at(lanes::get(inc, 0), lanes::get(raa, 0), lanes::get(arp, 0));
                for (int k = 0; k < 3; ++k) P[k] = lanes::splat<D>(o.P[k]), Q[k] = lanes::splat<D>(o.Q[k]);
            } else {
                perifocal_axes(inc, raa, arp, P, Q);
            }
            D rl[3], vl[3], den;
            conic_lanes(P, Q, lanes::sqrt(GM / slr), ecc, slr, tra, rl, vl, den);
            const lanes::Mask<D> bad = (ecc < 0.0) | (slr <= 0.0) | (den <= 0.0) | ~finite_rv_lanes(rl, vl);
            if (lanes::any(bad)) [[unlikely]] {
                // NaN rows, or an error in this block: row by row.
                const RowsResult part = detail::coe_rows_to_rv_one_by_one(GM, x.from(i), count, r + 3 * i, v + 3 * i);
                if (part.status != Status::Ok) return {part.status, i + part.row};
                continue;
            }
            detail::store_rows3(r + 3 * i, rl, count);
            detail::store_rows3(v + 3 * i, vl, count);
        }
        return {Status::Ok, n};
    }
};

inline RowsResult coe_rows_to_rv(double GM, const ElementColumns& x, core::index_t n, double* r, double* v) noexcept {
    return lanes::run<CoeRowsToRv>(GM, x, n, r, v);
}

}  // namespace velarion::state::kernels

#endif
