// The 3-D Pc method: the rate at which the relative state enters the
// hard-body sphere, integrated over the encounter.
#ifndef VELARION_CONJUNCTIONS_KERNELS_PC_3D_HPP
#define VELARION_CONJUNCTIONS_KERNELS_PC_3D_HPP

#include "velarion/conjunctions/kernels/pc_common.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velarion::conjunctions::kernels::pc {

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

}  // namespace velarion::conjunctions::kernels::pc

#endif
