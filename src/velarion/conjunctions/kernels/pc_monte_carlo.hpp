// The Monte Carlo Pc: samples of both objects' states at TCA, each pair's
// closest approach under two-body motion.
#ifndef VELARION_CONJUNCTIONS_KERNELS_PC_MONTE_CARLO_HPP
#define VELARION_CONJUNCTIONS_KERNELS_PC_MONTE_CARLO_HPP

#include "velarion/conjunctions/kernels/pc_common.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace velarion::conjunctions::kernels::pc {

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
