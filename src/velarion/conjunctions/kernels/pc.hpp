// Probability of collision of two objects at a conjunction. Plain C++ on
// doubles, no Python.
//
// The 2-D methods work in the encounter plane (normal to the relative
// velocity at TCA, motion taken as rectilinear): Foster's integral of the
// combined position covariance over the hard-body disc (or a square), by
// adaptive Gauss-Kronrod quadrature of the 1-D integral of erf differences;
// Chan's series; and the largest Pc over a scaling of the covariance. The
// 3-D method integrates the rate at which the relative state enters the
// hard-body sphere (Gaussian relative state, covariances carried by the
// two-body state transition matrix) over the encounter, without the
// rectilinear assumption: its integral is the expected number of
// collisions, equal to Pc when no sample path enters twice. The Monte Carlo
// method samples both objects' states at TCA and finds each pair's closest
// approach under two-body motion.
#ifndef VELARION_CONJUNCTIONS_KERNELS_PC_HPP
#define VELARION_CONJUNCTIONS_KERNELS_PC_HPP

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

namespace velarion::conjunctions::kernels::pc {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;   // row-major
using Mat6 = std::array<double, 36>;  // row-major

inline constexpr double kPi = std::numbers::pi;
inline constexpr double kSqrt2 = std::numbers::sqrt2;

// Outcome of one conjunction.
enum Status : std::uint8_t {
    kOk = 0,
    kZeroRelativeVelocity = 1,  // no encounter plane
    kNotPositiveDefinite = 2,   // the combined covariance projected on the plane
    kBadRadius = 3,             // hard-body radius not positive
    kNotElliptic = 4,           // a state that is no bound orbit (3-D and Monte Carlo)
    kOutOfRange = 5,            // beyond the range of Chan's series
};

enum Shape : int { kCircle = 0, kSquare = 1, kEqualAreaSquare = 2 };

inline double dot(const Vec3& a, const Vec3& b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
inline double norm(const Vec3& a) noexcept { return std::sqrt(dot(a, a)); }
inline Vec3 scaled(const Vec3& a, double s) noexcept { return {a[0] * s, a[1] * s, a[2] * s}; }
inline Vec3 minus(const Vec3& a, const Vec3& b) noexcept { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
inline Vec3 plus(const Vec3& a, const Vec3& b) noexcept { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

// x^T C y for a 3x3 block of a row-major matrix with leading dimension ld.
inline double quad3(const double* c, int ld, const Vec3& x, const Vec3& y) noexcept {
    double s = 0.0;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) s += x[i] * c[i * ld + j] * y[j];
    return s;
}

// Phi(b) - Phi(a) for the standard normal, b >= a, without the cancellation
// of two values near 1 (or 0).
inline double normal_mass(double a, double b) noexcept {
    if (a >= 0.0) return 0.5 * (std::erfc(a / kSqrt2) - std::erfc(b / kSqrt2));
    if (b <= 0.0) return 0.5 * (std::erfc(-b / kSqrt2) - std::erfc(-a / kSqrt2));
    return 1.0 - 0.5 * (std::erfc(-a / kSqrt2) + std::erfc(b / kSqrt2));
}

// ---------------------------------------------------------------------------
// Adaptive Gauss-Kronrod (7-15) on a fixed stack: no allocation.

inline constexpr double kXgk[8] = {0.991455371120812639206854697526329, 0.949107912342758524526189684047851,
                                   0.864864423359769072789712788640926, 0.741531185599394439863864773280788,
                                   0.586087235467691130294144845693013, 0.405845151377397166906606412076961,
                                   0.207784955007898467600689403773245, 0.000000000000000000000000000000000};
inline constexpr double kWgk[8] = {0.022935322010529224963732008058970, 0.063092092629978553290700663189204,
                                   0.104790010322250183839876322541518, 0.140653259715525918745189590510238,
                                   0.169004726639267902826583426598550, 0.190350578064785409913256402421014,
                                   0.204432940075298892414161999234649, 0.209482141084727828012999174891714};
inline constexpr double kWg[4] = {0.129484966168869693270611432679082, 0.279705391489276667901467771423780,
                                  0.381830050505118944950369775488975, 0.417959183673469387755102040816327};

// One Gauss-Kronrod 7-15 panel, with QUADPACK's error estimate (the
// Kronrod-Gauss difference scaled by the integrand's variation: the plain
// difference is the error of the 7-point rule, far above the 15-point one's
// on smooth integrands).
template <class F>
inline void gk15(F& f, double a, double b, double& value, double& error) noexcept {
    const double c = 0.5 * (a + b), h = 0.5 * (b - a);
    double fv1[7], fv2[7];
    const double fc = f(c);
    double k = fc * kWgk[7], g = fc * kWg[3];
    for (int j = 0; j < 7; ++j) {
        const double x = h * kXgk[j];
        fv1[j] = f(c - x);
        fv2[j] = f(c + x);
        const double s = fv1[j] + fv2[j];
        k += kWgk[j] * s;
        if (j % 2 == 1) g += kWg[j / 2] * s;
    }
    const double mean = 0.5 * k;
    double asc = kWgk[7] * std::fabs(fc - mean);
    for (int j = 0; j < 7; ++j) asc += kWgk[j] * (std::fabs(fv1[j] - mean) + std::fabs(fv2[j] - mean));
    asc *= std::fabs(h);
    value = k * h;
    error = std::fabs((k - g) * h);
    if (asc != 0.0 && error != 0.0) error = asc * std::min(1.0, std::pow(200.0 * error / asc, 1.5));
    // Not below the rounding of the sum.
    error = std::max(error, 50.0 * std::numeric_limits<double>::epsilon() * std::fabs(value));
}

// Integral of f over [a, b] to `rel` relative accuracy (or `abs_floor`), by
// bisection of the interval with the largest error estimate.
template <class F>
inline double integrate(F&& f, double a, double b, double rel, double abs_floor = 0.0) noexcept {
    constexpr int kMax = 200;
    struct Piece {
        double a, b, value, error;
    };
    std::array<Piece, kMax> pieces;
    int n = 1;
    gk15(f, a, b, pieces[0].value, pieces[0].error);
    pieces[0].a = a;
    pieces[0].b = b;
    for (;;) {
        double total = 0.0, error = 0.0;
        int worst = 0;
        for (int i = 0; i < n; ++i) {
            total += pieces[i].value;
            error += pieces[i].error;
            if (pieces[i].error > pieces[worst].error) worst = i;
        }
        if (error <= std::max(rel * std::fabs(total), abs_floor) || n + 1 >= kMax) return total;
        Piece& p = pieces[worst];
        const double mid = 0.5 * (p.a + p.b);
        if (!(mid > p.a && mid < p.b)) return total;  // no room left to split
        Piece right{mid, p.b, 0.0, 0.0};
        p.b = mid;
        gk15(f, p.a, p.b, p.value, p.error);
        gk15(f, right.a, right.b, right.value, right.error);
        pieces[n++] = right;
    }
}

// ---------------------------------------------------------------------------
// The encounter plane.

// The encounter plane of relative position r and velocity v (object 2 minus
// object 1): x along the miss vector (any normal when the miss is zero), y
// completing with the relative velocity direction; the miss in plane
// coordinates and the 2x2 projection of the 3x3 combined covariance c.
struct Encounter {
    double mx, my;         // miss in the plane
    double pxx, pxy, pyy;  // projected covariance
};

inline Status encounter_plane(const Vec3& r, const Vec3& v, const double* c, int ld, Encounter& out) noexcept {
    const double speed = norm(v);
    if (!(speed > 0.0)) return kZeroRelativeVelocity;
    const Vec3 ez = scaled(v, 1.0 / speed);
    Vec3 rp = minus(r, scaled(ez, dot(r, ez)));
    double miss = norm(rp);
    Vec3 ex;
    if (miss > 1e-12 * std::max(1.0, norm(r))) {
        ex = scaled(rp, 1.0 / miss);
    } else {
        // Any unit normal to the velocity.
        const int k = std::fabs(ez[0]) < 0.6 ? 0 : (std::fabs(ez[1]) < 0.6 ? 1 : 2);
        Vec3 e{0.0, 0.0, 0.0};
        e[k] = 1.0;
        Vec3 t = minus(e, scaled(ez, dot(e, ez)));
        ex = scaled(t, 1.0 / norm(t));
        miss = 0.0;
    }
    const Vec3 ey = cross(ez, ex);
    out.mx = miss;
    out.my = 0.0;
    out.pxx = quad3(c, ld, ex, ex);
    out.pyy = quad3(c, ld, ey, ey);
    out.pxy = 0.5 * (quad3(c, ld, ex, ey) + quad3(c, ld, ey, ex));
    if (!(out.pxx > 0.0 && out.pyy > 0.0 && out.pxx * out.pyy - out.pxy * out.pxy > 0.0)) return kNotPositiveDefinite;
    return kOk;
}

// Principal axes of the projected covariance: standard deviations s1 >= s2
// and the miss in those axes.
struct Principal {
    double s1, s2, m1, m2;
};

inline Principal principal(const Encounter& e) noexcept {
    const double tr = 0.5 * (e.pxx + e.pyy);
    const double d = std::hypot(0.5 * (e.pxx - e.pyy), e.pxy);
    const double l1 = tr + d;
    const double l2 = (e.pxx * e.pyy - e.pxy * e.pxy) / l1;  // no cancellation
    const double angle = 0.5 * std::atan2(2.0 * e.pxy, e.pxx - e.pyy);
    const double c = std::cos(angle), s = std::sin(angle);
    return {std::sqrt(l1), std::sqrt(l2), c * e.mx + s * e.my, -s * e.mx + c * e.my};
}

// Nodes and weights of Gauss-Chebyshev quadrature of the second kind,
// int_-1^1 sqrt(1 - u^2) g(u) du = sum w_k g(u_k), for 255 nodes: u_k =
// cos(k pi / 256), w_k = pi / 256 sin^2(k pi / 256). The rules of 2^L - 1
// nodes take every 2^(8 - L)-th node (with weights scaled by as much), so
// each level reuses the values of the one before.
struct ChebyshevNodes {
    double u[256], w[256];
    ChebyshevNodes() noexcept {
        for (int k = 0; k < 256; ++k) {
            const double a = k * kPi / 256.0;
            u[k] = std::cos(a);
            w[k] = kPi / 256.0 * std::sin(a) * std::sin(a);
        }
    }
};

inline const ChebyshevNodes& chebyshev_nodes() noexcept {
    static const ChebyshevNodes nodes;
    return nodes;
}

// Foster's integral: the mass of N(0, diag(s1^2, s2^2)) over the disc of
// radius R about (m1, m2).
inline double disc_mass(const Principal& p, double R, double rel) noexcept {
    const double x0 = std::clamp(0.0, p.m1 - R, p.m1 + R);
    const double reach = std::sqrt(x0 * x0 + 80.0 * p.s1 * p.s1);
    const double norm1 = 1.0 / (p.s1 * std::sqrt(2.0 * kPi));
    if (p.m1 - R >= -reach && p.m1 + R <= reach) {
        // The disc lies where the density matters: x = m1 + R u, and the
        // mass across the chord is its half length h = R sqrt(1 - u^2)
        // times a smooth function of u, so the integral is R^2 int sqrt(1 -
        // u^2) g(u) du by Gauss-Chebyshev rules of 7, 15, 31, 63 nodes until
        // two agree (a narrow density needs the adaptive rule below).
        const ChebyshevNodes& c = chebyshev_nodes();
        double values[256];
        auto g = [&](int k) noexcept {
            const double x = p.m1 + R * c.u[k];
            const double h = R * std::sqrt(std::max(0.0, 1.0 - c.u[k] * c.u[k]));
            if (!(h > 0.0)) return 0.0;
            const double gx = norm1 * std::exp(-0.5 * (x / p.s1) * (x / p.s1));
            return gx * normal_mass((p.m2 - h) / p.s2, (p.m2 + h) / p.s2) / h;
        };
        double previous = 0.0;
        for (int level = 3; level <= 6; ++level) {
            const int step = 256 >> level;
            double sum = 0.0;
            for (int k = step; k < 256; k += step) {
                if (level == 3 || (k / step) % 2 == 1) values[k] = g(k);
                sum += c.w[k] * values[k];
            }
            const double value = R * R * sum * step;
            if (level > 3 && std::fabs(value - previous) <= rel * std::fabs(value)) return value;
            previous = value;
        }
    }
    // Outer variable: x = m1 + R sin(t), t in [-pi/2, pi/2], so that the
    // chord's half length R cos(t) has no square-root end point. Only the
    // x where the density is within e^-40 of its largest on the disc (at
    // x0, the disc's point nearest the centre) add anything.
    const double lo = std::max(-1.0, (-reach - p.m1) / R);
    const double hi = std::min(1.0, (reach - p.m1) / R);
    if (!(lo < hi)) return 0.0;
    const double ta = std::asin(lo), tb = std::asin(hi);
    auto f = [&](double t) noexcept {
        const double x = p.m1 + R * std::sin(t);
        const double h = R * std::cos(t);
        const double gx = norm1 * std::exp(-0.5 * (x / p.s1) * (x / p.s1));
        if (gx == 0.0) return 0.0;
        return gx * normal_mass((p.m2 - h) / p.s2, (p.m2 + h) / p.s2) * h;
    };
    return integrate(f, ta, tb, rel);
}

// The mass of N(0, P) (plane axes, P = [[pxx, pxy], [pxy, pyy]]) over the
// square [mx - a, mx + a] x [my - a, my + a]: x outer, y given x inner.
inline double square_mass(const Encounter& e, double a, double rel) noexcept {
    const double sx = std::sqrt(e.pxx);
    const double slope = e.pxy / e.pxx;
    const double sy = std::sqrt((e.pxx * e.pyy - e.pxy * e.pxy) / e.pxx);
    const double x0 = std::clamp(0.0, e.mx - a, e.mx + a);
    const double reach = std::sqrt(x0 * x0 + 80.0 * sx * sx);
    const double lo = std::max(e.mx - a, -reach), hi = std::min(e.mx + a, reach);
    if (!(lo < hi)) return 0.0;
    const double norm1 = 1.0 / (sx * std::sqrt(2.0 * kPi));
    auto f = [&](double x) noexcept {
        const double gx = norm1 * std::exp(-0.5 * (x / sx) * (x / sx));
        if (gx == 0.0) return 0.0;
        const double mean = slope * x;
        return gx * normal_mass((e.my - a - mean) / sy, (e.my + a - mean) / sy);
    };
    return integrate(f, lo, hi, rel);
}

inline constexpr double kQuadratureTolerance = 1e-12;

// Foster's 2-D Pc from the relative state (object 2 minus object 1) and the
// combined 3x3 position covariance (row-major, leading dimension ld).
inline Status foster(const Vec3& r, const Vec3& v, const double* c, int ld, double R, Shape shape,
                     double& pc) noexcept {
    pc = 0.0;
    if (!(R > 0.0)) return kBadRadius;
    Encounter e;
    if (Status s = encounter_plane(r, v, c, ld, e); s != kOk) return s;
    if (shape == kCircle) {
        pc = disc_mass(principal(e), R, kQuadratureTolerance);
    } else {
        const double half = shape == kSquare ? R : 0.5 * R * std::sqrt(kPi);
        pc = square_mass(e, half, kQuadratureTolerance);
    }
    pc = std::clamp(pc, 0.0, 1.0);
    return kOk;
}

// ---------------------------------------------------------------------------
// Chan's series.

// P(Poisson(lam) > k) for k + 1 > lam, where it is small: e^-lam
// lam^(k+1)/(k+1)! (1 + lam/(k+2) + lam^2/((k+2)(k+3)) + ...), whose terms
// fall at least as fast as (lam / (k + 2))^n.
inline double poisson_upper_tail(int k, double lam) noexcept {
    double term = 1.0, sum = 1.0;
    for (int j = k + 2; j < k + 100000; ++j) {
        term *= lam / j;
        sum += term;
        if (term < 1e-17 * sum) break;
    }
    return std::exp(-lam + (k + 1) * std::log(lam) - std::lgamma(k + 2.0)) * sum;
}

// The largest arguments of Chan's series (in half the squared Mahalanobis
// miss and in half of u): beyond them its cost grows past that of the exact
// integral, which foster_2d gives.
inline constexpr double kChanMaxMiss = 1e6;
inline constexpr double kChanMaxBody = 1e4;

// Chan's series with `terms` terms (0: until the terms stop mattering) in
// u = R^2 / (s1 s2) and v = the squared Mahalanobis miss: the sum over k of
// P(Poisson(v/2) = k) P(Poisson(u/2) > k).
inline Status chan(const Vec3& r, const Vec3& v, const double* c, int ld, double R, int terms, double& pc) noexcept {
    pc = 0.0;
    if (!(R > 0.0)) return kBadRadius;
    Encounter e;
    if (Status s = encounter_plane(r, v, c, ld, e); s != kOk) return s;
    const Principal p = principal(e);
    const double u = R * R / (p.s1 * p.s2);
    const double w = (p.m1 / p.s1) * (p.m1 / p.s1) + (p.m2 / p.s2) * (p.m2 / p.s2);
    const double half_w = 0.5 * w, lam = 0.5 * u;
    if (!(half_w <= kChanMaxMiss && lam <= kChanMaxBody)) return kOutOfRange;
    const int limit = terms > 0 ? terms : 100000000;
    const double log_w = half_w > 0.0 ? std::log(half_w) : 0.0, log_lam = std::log(lam);
    double sum = 0.0, lower = 0.0;  // lower: P(Poisson(lam) <= k)
    for (int k = 0; k < limit; ++k) {
        const double log_weight = half_w > 0.0 ? -half_w + k * log_w - std::lgamma(k + 1.0) : (k == 0 ? 0.0 : -1e300);
        lower += std::exp(-lam + k * log_lam - std::lgamma(k + 1.0));
        double term = 0.0;
        if (log_weight > -745.0) {
            // Below the mean of Poisson(lam) the tail is large: 1 - lower loses nothing.
            const double tail = k + 1.0 > lam ? poisson_upper_tail(k, lam) : std::max(0.0, 1.0 - lower);
            term = std::exp(log_weight) * tail;
        }
        sum += term;
        if (terms == 0 && k > half_w && term <= 1e-17 * sum) break;
    }
    pc = std::clamp(sum, 0.0, 1.0);
    return kOk;
}

// ---------------------------------------------------------------------------
// Largest Pc over a scaling k of the covariance (k^2 P): golden-section
// search in log k about the small-body optimum k^2 = v / 2.
inline Status alfano_max(const Vec3& r, const Vec3& v, const double* c, int ld, double R, double& pc,
                         double& scale) noexcept {
    pc = 0.0;
    scale = 0.0;
    if (!(R > 0.0)) return kBadRadius;
    Encounter e;
    if (Status s = encounter_plane(r, v, c, ld, e); s != kOk) return s;
    const Principal p = principal(e);
    if (std::hypot(p.m1, p.m2) <= R) {
        // The hard body covers the centre: the mass tends to 1 as k -> 0.
        pc = 1.0;
        scale = 0.0;
        return kOk;
    }
    auto mass = [&](double log_k) noexcept {
        const double k = std::exp(log_k);
        return disc_mass({p.s1 * k, p.s2 * k, p.m1, p.m2}, R, 1e-10);
    };
    const double w = (p.m1 / p.s1) * (p.m1 / p.s1) + (p.m2 / p.s2) * (p.m2 / p.s2);
    const double centre = 0.5 * std::log(std::max(0.5 * w, 1e-300));
    double a = centre - 7.0, b = centre + 7.0;
    const double g = 0.5 * (std::sqrt(5.0) - 1.0);
    double x1 = b - g * (b - a), x2 = a + g * (b - a);
    double f1 = mass(x1), f2 = mass(x2);
    for (int it = 0; it < 80 && b - a > 1e-9; ++it) {
        if (f1 < f2) {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = a + g * (b - a);
            f2 = mass(x2);
        } else {
            b = x2;
            x2 = x1;
            f2 = f1;
            x1 = b - g * (b - a);
            f1 = mass(x1);
        }
    }
    const double best = f1 > f2 ? x1 : x2;
    pc = std::clamp(std::max(f1, f2), 0.0, 1.0);
    scale = std::exp(best);
    return kOk;
}

// ---------------------------------------------------------------------------
// Two-body motion by universal variables.

inline void stumpff(double z, double& c2, double& c3) noexcept {
    if (z > 1e-3) {
        const double s = std::sqrt(z);
        c2 = (1.0 - std::cos(s)) / z;
        c3 = (s - std::sin(s)) / (s * z);
    } else if (z < -1e-3) {
        const double s = std::sqrt(-z);
        c2 = (std::cosh(s) - 1.0) / (-z);
        c3 = (std::sinh(s) - s) / (s * (-z));
    } else {
        c2 = 1.0 / 2.0 - z / 24.0 + z * z / 720.0 - z * z * z / 40320.0;
        c3 = 1.0 / 6.0 - z / 120.0 + z * z / 5040.0 - z * z * z / 362880.0;
    }
}

// The state (r, v) after dt seconds of two-body motion from (r0, v0).
inline void propagate(const Vec3& r0, const Vec3& v0, double mu, double dt, Vec3& r, Vec3& v) noexcept {
    if (dt == 0.0) {
        r = r0;
        v = v0;
        return;
    }
    const double rn = norm(r0);
    const double sqmu = std::sqrt(mu);
    const double alpha = 2.0 / rn - dot(v0, v0) / mu;
    const double sigma = dot(r0, v0) / sqmu;
    double chi = sqmu * dt / rn;  // the short-arc start
    if (alpha > 0.0 && std::fabs(dt) * sqmu * std::sqrt(alpha * alpha * alpha) > 0.5)
        chi = sqmu * dt * alpha;  // the long-arc start (ellipse)
    double c2 = 0.5, c3 = 1.0 / 6.0, rr = rn;
    for (int it = 0; it < 50; ++it) {
        const double z = alpha * chi * chi;
        stumpff(z, c2, c3);
        const double chi2 = chi * chi;
        const double f = sigma * chi2 * c2 + (1.0 - alpha * rn) * chi2 * chi * c3 + rn * chi - sqmu * dt;
        rr = chi2 * c2 + sigma * chi * (1.0 - z * c3) + rn * (1.0 - z * c2);
        const double step = f / rr;
        chi -= step;
        if (std::fabs(step) <= 1e-15 * std::max(1.0, std::fabs(chi))) break;
    }
    const double z = alpha * chi * chi;
    stumpff(z, c2, c3);
    const double chi2 = chi * chi;
    rr = chi2 * c2 + sigma * chi * (1.0 - z * c3) + rn * (1.0 - z * c2);
    const double f = 1.0 - chi2 / rn * c2;
    const double g = dt - chi2 * chi / sqmu * c3;
    const double fdot = sqmu / (rr * rn) * chi * (z * c3 - 1.0);
    const double gdot = 1.0 - chi2 / rr * c2;
    for (int k = 0; k < 3; ++k) {
        r[k] = f * r0[k] + g * v0[k];
        v[k] = fdot * r0[k] + gdot * v0[k];
    }
}

inline bool elliptic(const Vec3& r, const Vec3& v, double mu) noexcept {
    const double rn = norm(r);
    return rn > 0.0 && 2.0 / rn - dot(v, v) / mu > 0.0;
}

inline Vec3 gravity(const Vec3& r, double mu) noexcept {
    const double rn = norm(r);
    return scaled(r, -mu / (rn * rn * rn));
}

// ---------------------------------------------------------------------------
// 3-D Pc: the rate of entries into the hard-body sphere, integrated over time.

// 6x6 state transition matrix of two-body motion over dt by central
// differences, with the propagated state.
inline void transition(const Vec3& r0, const Vec3& v0, double mu, double dt, Vec3& r, Vec3& v, Mat6& phi) noexcept {
    propagate(r0, v0, mu, dt, r, v);
    const double hr = 1e-3 * std::max(1.0, 1e-6 * norm(r0)), hv = hr * norm(v0) / norm(r0);
    for (int j = 0; j < 6; ++j) {
        Vec3 rp = r0, vp = v0, rm = r0, vm = v0;
        const double h = j < 3 ? hr : hv;
        if (j < 3) {
            rp[j] += h;
            rm[j] -= h;
        } else {
            vp[j - 3] += h;
            vm[j - 3] -= h;
        }
        Vec3 r1, v1, r2, v2;
        propagate(rp, vp, mu, dt, r1, v1);
        propagate(rm, vm, mu, dt, r2, v2);
        for (int i = 0; i < 3; ++i) {
            phi[i * 6 + j] = (r1[i] - r2[i]) / (2.0 * h);
            phi[(i + 3) * 6 + j] = (v1[i] - v2[i]) / (2.0 * h);
        }
    }
}

// out += phi c phi^T
inline void add_congruence(const Mat6& phi, const double* c, Mat6& out) noexcept {
    double t[36];
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) {
            double s = 0.0;
            for (int k = 0; k < 6; ++k) s += phi[i * 6 + k] * c[k * 6 + j];
            t[i * 6 + j] = s;
        }
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j) {
            double s = 0.0;
            for (int k = 0; k < 6; ++k) s += t[i * 6 + k] * phi[j * 6 + k];
            out[i * 6 + j] += s;
        }
}

inline bool invert3(const double* a, int ld, double inv[9], double& det) noexcept {
    const double a00 = a[0], a01 = a[1], a02 = a[2];
    const double a10 = a[ld], a11 = a[ld + 1], a12 = a[ld + 2];
    const double a20 = a[2 * ld], a21 = a[2 * ld + 1], a22 = a[2 * ld + 2];
    const double c00 = a11 * a22 - a12 * a21, c01 = a12 * a20 - a10 * a22, c02 = a10 * a21 - a11 * a20;
    det = a00 * c00 + a01 * c01 + a02 * c02;
    if (!(det > 0.0)) return false;
    const double id = 1.0 / det;
    inv[0] = c00 * id;
    inv[1] = (a02 * a21 - a01 * a22) * id;
    inv[2] = (a01 * a12 - a02 * a11) * id;
    inv[3] = c01 * id;
    inv[4] = (a00 * a22 - a02 * a20) * id;
    inv[5] = (a02 * a10 - a00 * a12) * id;
    inv[6] = c02 * id;
    inv[7] = (a01 * a20 - a00 * a21) * id;
    inv[8] = (a00 * a11 - a01 * a10) * id;
    return true;
}

// Nodes of the unit sphere: Gauss-Legendre in cos(theta) on two panels
// times the trapezoid rule in phi (exact for trigonometric polynomials).
inline constexpr int kThetaNodes = 16;
inline constexpr int kPhiNodes = 16;
inline constexpr double kGl16x[8] = {0.0950125098376374, 0.2816035507792589, 0.4580167776572274, 0.6178762444026438,
                                     0.7554044083550030, 0.8656312023878318, 0.9445750230732326, 0.9894009349916499};
inline constexpr double kGl16w[8] = {0.1894506104550685, 0.1826034150449236, 0.1691565193950025, 0.1495959888165767,
                                     0.1246289712555339, 0.0951585116824928, 0.0622535239386479, 0.0271524594117541};

struct Object {
    Vec3 r, v;
    const double* cov;  // 6x6 row-major
};

// Entry rate into the sphere of radius R at time t from TCA [1/s].
inline double entry_rate(const Object& a, const Object& b, double mu, double R, double t) noexcept {
    Vec3 ra, va, rb, vb;
    Mat6 pa, pb, cov{};
    transition(a.r, a.v, mu, t, ra, va, pa);
    transition(b.r, b.v, mu, t, rb, vb, pb);
    add_congruence(pa, a.cov, cov);
    add_congruence(pb, b.cov, cov);
    const Vec3 mr = minus(rb, ra), mv = minus(vb, va);
    double inv[9], det;
    if (!invert3(cov.data(), 6, inv, det)) return 0.0;
    // Conditional velocity given position: mean mv + K (x - mr), K = Prv^T Prr^-1,
    // covariance Pvv - K Prv.
    double K[9], S[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0.0;
            for (int k = 0; k < 3; ++k) s += cov[(3 + i) * 6 + k] * inv[k * 3 + j];
            K[i * 3 + j] = s;
        }
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0.0;
            for (int k = 0; k < 3; ++k) s += K[i * 3 + k] * cov[k * 6 + 3 + j];
            S[i * 3 + j] = cov[(3 + i) * 6 + 3 + j] - s;
        }
    const double density_norm = 1.0 / std::sqrt(8.0 * kPi * kPi * kPi * det);
    // The pole along the mean relative velocity: the inward flux has a kink
    // on the great circle normal to it (where the mean inward speed changes
    // sign), which then falls between the two panels of the polar rule.
    const double speed = norm(mv);
    if (!(speed > 0.0)) return 0.0;
    const Vec3 e3 = scaled(mv, 1.0 / speed);
    const int k = std::fabs(e3[0]) < 0.6 ? 0 : (std::fabs(e3[1]) < 0.6 ? 1 : 2);
    Vec3 axis{0.0, 0.0, 0.0};
    axis[k] = 1.0;
    axis = minus(axis, scaled(e3, dot(axis, e3)));
    const Vec3 e1 = scaled(axis, 1.0 / norm(axis));
    const Vec3 e2 = cross(e3, e1);
    double total = 0.0;
    for (int ti = 0; ti < 2 * kThetaNodes; ++ti) {
        // cos(theta) in [-1, 0] then [0, 1], 16 Gauss-Legendre nodes each.
        const int g = ti % kThetaNodes;
        const double x = g < 8 ? -kGl16x[7 - g] : kGl16x[g - 8];
        const double wt = 0.5 * (g < 8 ? kGl16w[7 - g] : kGl16w[g - 8]);
        const double ct = ti < kThetaNodes ? 0.5 * (x - 1.0) : 0.5 * (x + 1.0);
        const double st = std::sqrt(std::max(0.0, 1.0 - ct * ct));
        for (int pj = 0; pj < kPhiNodes; ++pj) {
            const double ph = 2.0 * kPi * (pj + 0.5) / kPhiNodes;
            const double cp = std::cos(ph), sp = std::sin(ph);
            const Vec3 n{st * cp * e1[0] + st * sp * e2[0] + ct * e3[0], st * cp * e1[1] + st * sp * e2[1] + ct * e3[1],
                         st * cp * e1[2] + st * sp * e2[2] + ct * e3[2]};
            const Vec3 xr = scaled(n, R);
            const Vec3 d = minus(xr, mr);
            double q = 0.0;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) q += d[i] * inv[i * 3 + j] * d[j];
            const double density = density_norm * std::exp(-0.5 * q);
            if (density == 0.0) continue;
            Vec3 mean_v = mv;
            for (int i = 0; i < 3; ++i) mean_v[i] += K[i * 3] * d[0] + K[i * 3 + 1] * d[1] + K[i * 3 + 2] * d[2];
            const double mu_in = -dot(mean_v, n);  // inward speed
            double var = 0.0;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) var += n[i] * S[i * 3 + j] * n[j];
            double flux;
            if (var > 1e-30 * mu_in * mu_in) {
                const double s = std::sqrt(var), z = mu_in / s;
                flux = s * std::exp(-0.5 * z * z) / std::sqrt(2.0 * kPi) + mu_in * 0.5 * std::erfc(-z / kSqrt2);
            } else {
                flux = std::max(mu_in, 0.0);
            }
            total += wt * (2.0 * kPi / kPhiNodes) * density * flux;
        }
    }
    return total * R * R;
}

// Expected number of entries into the hard-body sphere over the encounter
// (the window where the mean relative position is within 10 combined
// standard deviations plus R of the origin, at most a quarter of the shorter
// period from TCA).
inline Status hall(const Object& a, const Object& b, double mu, double R, double& expected) noexcept {
    expected = 0.0;
    if (!(R > 0.0)) return kBadRadius;
    if (!elliptic(a.r, a.v, mu) || !elliptic(b.r, b.v, mu)) return kNotElliptic;
    const Vec3 mv = minus(b.v, a.v);
    const double speed = norm(mv);
    if (!(speed > 0.0)) return kZeroRelativeVelocity;
    double sigma2 = 0.0;
    for (int i = 0; i < 3; ++i) sigma2 += a.cov[i * 7] + b.cov[i * 7];  // trace bounds the largest eigenvalue
    const double reach = 10.0 * std::sqrt(sigma2) + R + norm(minus(b.r, a.r));
    double period = std::numeric_limits<double>::infinity();
    for (const Object* o : {&a, &b}) {
        const double alpha = 2.0 / norm(o->r) - dot(o->v, o->v) / mu;
        period = std::min(period, 2.0 * kPi / std::sqrt(mu * alpha * alpha * alpha));
    }
    const double window = std::min(reach / speed, 0.25 * period);
    // The rate at TCA sets the scale of the absolute tolerance.
    const double peak = entry_rate(a, b, mu, R, 0.0);
    auto f = [&](double t) noexcept { return entry_rate(a, b, mu, R, t); };
    expected = integrate(f, -window, 0.0, 1e-7, 1e-12 * peak * window) +
               integrate(f, 0.0, window, 1e-7, 1e-12 * peak * window);
    return kOk;
}

// ---------------------------------------------------------------------------
// Monte Carlo.

// xoshiro256++ (Blackman and Vigna, public domain), seeded by splitmix64,
// and normal deviates from it.
class Random {
public:
    explicit Random(std::uint64_t seed) noexcept {
        for (auto& w : s_) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            w = z ^ (z >> 31);
        }
    }
    std::uint64_t next() noexcept {
        const std::uint64_t result = rotl(s_[0] + s_[3], 23) + s_[0];
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }
    // Uniform in (0, 1).
    double uniform() noexcept { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }
    // Two standard normals: Marsaglia and Tsang's ziggurat (J. Stat.
    // Software 5(8), 2000), 128 layers, one 32-bit half of a draw each.
    void normals(double& a, double& b) noexcept {
        const std::uint64_t bits = next();
        a = normal(static_cast<std::int32_t>(static_cast<std::uint32_t>(bits)));
        b = normal(static_cast<std::int32_t>(static_cast<std::uint32_t>(bits >> 32)));
    }

private:
    struct Ziggurat {
        std::uint32_t k[128];
        double w[128], f[128];
        Ziggurat() noexcept {
            const double m1 = 2147483648.0;
            double dn = 3.442619855899, tn = dn;
            const double vn = 9.91256303526217e-3;
            const double q = vn / std::exp(-0.5 * dn * dn);
            k[0] = static_cast<std::uint32_t>((dn / q) * m1);
            k[1] = 0;
            w[0] = q / m1;
            w[127] = dn / m1;
            f[0] = 1.0;
            f[127] = std::exp(-0.5 * dn * dn);
            for (int i = 126; i >= 1; --i) {
                dn = std::sqrt(-2.0 * std::log(vn / dn + std::exp(-0.5 * dn * dn)));
                k[i + 1] = static_cast<std::uint32_t>((dn / tn) * m1);
                tn = dn;
                f[i] = std::exp(-0.5 * dn * dn);
                w[i] = dn / m1;
            }
        }
    };
    static const Ziggurat& table() noexcept {
        static const Ziggurat z;
        return z;
    }
    static std::uint32_t magnitude(std::int32_t h) noexcept {
        return h < 0 ? static_cast<std::uint32_t>(-(static_cast<std::int64_t>(h))) : static_cast<std::uint32_t>(h);
    }
    double normal(std::int32_t h) noexcept {
        const Ziggurat& z = table();
        for (;;) {
            const int i = h & 127;
            if (magnitude(h) < z.k[i]) return h * z.w[i];
            const double x = h * z.w[i];
            if (i == 0) {
                // The tail beyond the base layer, by Marsaglia's method.
                constexpr double r = 3.442620;
                double tx, ty;
                do {
                    tx = -std::log(uniform()) / r;
                    ty = -std::log(uniform());
                } while (ty + ty < tx * tx);
                return h > 0 ? r + tx : -r - tx;
            }
            if (z.f[i] + uniform() * (z.f[i - 1] - z.f[i]) < std::exp(-0.5 * x * x)) return x;
            h = static_cast<std::int32_t>(static_cast<std::uint32_t>(next() >> 32));
        }
    }

    static std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }
    std::uint64_t s_[4];
};

// Lower Cholesky factor of a 6x6 symmetric positive semi-definite matrix;
// a pivot at or below the rounding level zeroes its column (a degenerate
// direction, e.g. no velocity uncertainty). False when a pivot is clearly
// negative.
inline bool cholesky6(const double* c, Mat6& l) noexcept {
    l.fill(0.0);
    double scale = 0.0;
    for (int i = 0; i < 6; ++i) scale = std::max(scale, std::fabs(c[i * 7]));
    for (int j = 0; j < 6; ++j) {
        double d = c[j * 7];
        for (int k = 0; k < j; ++k) d -= l[j * 6 + k] * l[j * 6 + k];
        const double tol = 1e-12 * std::max(std::fabs(c[j * 7]), 1e-300 * scale);
        if (d < -1e-9 * std::max(std::fabs(c[j * 7]), 1e-300)) return false;
        if (d <= tol) continue;
        const double ljj = std::sqrt(d);
        l[j * 6 + j] = ljj;
        for (int i = j + 1; i < 6; ++i) {
            double s = c[i * 6 + j];
            for (int k = 0; k < j; ++k) s -= l[i * 6 + k] * l[j * 6 + k];
            l[i * 6 + j] = s / ljj;
        }
    }
    return true;
}

// Acceleration and jerk of two-body motion at (r, v).
inline void acceleration_jerk(const Vec3& r, const Vec3& v, double mu, Vec3& a, Vec3& j) noexcept {
    const double rn2 = dot(r, r), rn = std::sqrt(rn2);
    const double k = mu / (rn2 * rn);
    const double rv = dot(r, v) / rn2;
    for (int i = 0; i < 3; ++i) {
        a[i] = -k * r[i];
        j[i] = -k * (v[i] - 3.0 * rv * r[i]);
    }
}

// The closest approach of two two-body states near t = 0 and its
// distance: Newton on the range rate from the rectilinear estimate. Where
// that lies within 1e-3 of an orbital revolution's radian of TCA (the
// fast encounters), the motion is the third-order Taylor expansion of
// two-body motion (position error below |r| (n t)^4 / 24, about 1e-6 m in
// LEO); farther out, universal-variable propagation.
inline double closest_distance(const Vec3& ra, const Vec3& va, const Vec3& rb, const Vec3& vb, double mu, double window,
                               double short_arc) noexcept {
    Vec3 dr = minus(rb, ra), dv = minus(vb, va);
    const double vv = dot(dv, dv);
    double t = vv > 0.0 ? -dot(dr, dv) / vv : 0.0;
    if (std::fabs(t) <= short_arc) {
        Vec3 aa, ja, ab, jb;
        acceleration_jerk(ra, va, mu, aa, ja);
        acceleration_jerk(rb, vb, mu, ab, jb);
        const Vec3 da = minus(ab, aa), dj = minus(jb, ja);
        for (int it = 0; it < 4; ++it) {
            Vec3 d, dd, ddd;
            for (int i = 0; i < 3; ++i) {
                d[i] = dr[i] + t * (dv[i] + t * (0.5 * da[i] + t * dj[i] / 6.0));
                dd[i] = dv[i] + t * (da[i] + 0.5 * t * dj[i]);
                ddd[i] = da[i] + t * dj[i];
            }
            const double slope = dot(dd, dd) + dot(d, ddd);
            if (!(slope > 0.0)) break;
            const double step = dot(d, dd) / slope;
            t -= step;
            if (std::fabs(step) < 1e-12) break;
        }
        if (std::fabs(t) <= 2.0 * short_arc) {
            Vec3 d;
            for (int i = 0; i < 3; ++i) d[i] = dr[i] + t * (dv[i] + t * (0.5 * da[i] + t * dj[i] / 6.0));
            return norm(d);
        }
    }
    t = std::clamp(t, -window, window);
    double best = norm(dr);
    for (int it = 0; it < 8; ++it) {
        Vec3 r1, v1, r2, v2;
        propagate(ra, va, mu, t, r1, v1);
        propagate(rb, vb, mu, t, r2, v2);
        dr = minus(r2, r1);
        dv = minus(v2, v1);
        best = std::min(best, norm(dr));
        const Vec3 da = minus(gravity(r2, mu), gravity(r1, mu));
        const double slope = dot(dv, dv) + dot(dr, da);
        if (!(slope > 0.0)) break;
        const double step = dot(dr, dv) / slope;
        t = std::clamp(t - step, -window, window);
        if (std::fabs(step) < 1e-9) {
            propagate(ra, va, mu, t, r1, v1);
            propagate(rb, vb, mu, t, r2, v2);
            best = std::min(best, norm(minus(r2, r1)));
            break;
        }
    }
    return best;
}

struct MonteCarloCase {
    Vec3 ra, va, rb, vb;
    Mat6 la, lb;  // Cholesky factors of the two 6x6 covariances
    double R, mu, window, short_arc;
};

inline Status monte_carlo_case(const Object& a, const Object& b, double mu, double R, MonteCarloCase& out) noexcept {
    if (!(R > 0.0)) return kBadRadius;
    if (!elliptic(a.r, a.v, mu) || !elliptic(b.r, b.v, mu)) return kNotElliptic;
    if (!cholesky6(a.cov, out.la) || !cholesky6(b.cov, out.lb)) return kNotPositiveDefinite;
    out.ra = a.r;
    out.va = a.v;
    out.rb = b.r;
    out.vb = b.v;
    out.R = R;
    out.mu = mu;
    double period = std::numeric_limits<double>::infinity();
    for (const Object* o : {&a, &b}) {
        const double alpha = 2.0 / norm(o->r) - dot(o->v, o->v) / mu;
        period = std::min(period, 2.0 * kPi / std::sqrt(mu * alpha * alpha * alpha));
    }
    out.window = 0.25 * period;
    out.short_arc = 1e-3 * period / (2.0 * kPi);
    return kOk;
}

// Hits among `count` samples drawn from the stream `stream` of `seed`.
inline std::uint64_t monte_carlo_block(const MonteCarloCase& m, std::uint64_t seed, std::uint64_t stream,
                                       std::uint64_t count) noexcept {
    Random rng(seed ^ (0xD1B54A32D192ED03ull * (stream + 1)));
    std::uint64_t hits = 0;
    for (std::uint64_t s = 0; s < count; ++s) {
        double z[12];
        for (int k = 0; k < 12; k += 2) rng.normals(z[k], z[k + 1]);
        Vec3 ra = m.ra, va = m.va, rb = m.rb, vb = m.vb;
        for (int i = 0; i < 6; ++i) {
            double da = 0.0, db = 0.0;
            for (int k = 0; k <= i; ++k) {
                da += m.la[i * 6 + k] * z[k];
                db += m.lb[i * 6 + k] * z[6 + k];
            }
            if (i < 3) {
                ra[i] += da;
                rb[i] += db;
            } else {
                va[i - 3] += da;
                vb[i - 3] += db;
            }
        }
        if (closest_distance(ra, va, rb, vb, m.mu, m.window, m.short_arc) < m.R) ++hits;
    }
    return hits;
}

}  // namespace velarion::conjunctions::kernels::pc

#endif
