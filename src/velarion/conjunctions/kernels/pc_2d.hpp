// The 2-D Pc methods, in the encounter plane (normal to the relative
// velocity at TCA, motion taken as rectilinear): Foster's integral over
// the hard-body disc or a square, Chan's series, and the largest Pc over
// a scaling of the covariance.
#ifndef VELARION_CONJUNCTIONS_KERNELS_PC_2D_HPP
#define VELARION_CONJUNCTIONS_KERNELS_PC_2D_HPP

#include "velarion/conjunctions/kernels/pc_common.hpp"

#include <algorithm>
#include <cmath>

namespace velarion::conjunctions::kernels::pc {

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

}  // namespace velarion::conjunctions::kernels::pc

#endif
