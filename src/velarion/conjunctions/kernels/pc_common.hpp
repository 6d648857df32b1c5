// The parts the Pc kernels share: vectors and small matrices, normal
// probability mass, adaptive Gauss-Kronrod quadrature, two-body motion
// and an object's state at TCA with its covariance. Plain C++ on doubles.
#ifndef VELARION_CONJUNCTIONS_KERNELS_PC_COMMON_HPP
#define VELARION_CONJUNCTIONS_KERNELS_PC_COMMON_HPP

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

// An object at TCA: its state and its 6x6 covariance.
struct Object {
    Vec3 r, v;
    const double* cov;  // 6x6 row-major
};

}  // namespace velarion::conjunctions::kernels::pc

#endif
