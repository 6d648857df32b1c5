// Earth gravity as a spherical-harmonic series of fully normalised
// coefficients, to any degree and order, with its gradient. Plain C++ on
// doubles, no Python.
//
// The recursion is Cunningham's, in the V/W form of O. Montenbruck and
// E. Gill, Satellite Orbits (Springer 2000), section 3.2.4 (eqs. 3.29-3.33),
// carried in normalised functions V'_nm = N_nm V_nm (N_nm the usual
// normalisation, sqrt((2 - delta_m0)(2n + 1)(n - m)! / (n + m)!)), which stay
// of order one at any degree where the unnormalised ones overflow past
// degree ~150. Each partial derivative of V_nm or W_nm (Cunningham 1970) is
// a sum of at most two functions of degree n + 1: applied twice, it gives
// the gradient from functions of degree n + 2. The normalisation ratios
// N_nm / N_pq that the derivatives bring in are products of a few integers
// (|p - n| <= 2, |q - m| <= 2), formed exactly rather than from factorials.
//
// Coordinates are Earth-fixed (ITRF); the caller rotates.
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_GRAVITY_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_GRAVITY_HPP

#include <cmath>
#include <cstddef>
#include <vector>

namespace velarion::numerical {

// The coefficients of a field, C'_nm and S'_nm at index n (n + 1) / 2 + m
// (triangular, n <= max_degree), and what the recursion needs of them.
struct GravityField {
    double GM = 0.0;      // m^3/s^2
    double radius = 0.0;  // reference radius, m
    int max_degree = 0;
    std::vector<double> C, S;

    static std::size_t index(int n, int m) noexcept {
        return static_cast<std::size_t>(n) * static_cast<std::size_t>(n + 1) / 2 + static_cast<std::size_t>(m);
    }
};

namespace detail {

// a! / b! for small |a - b|.
inline double factorial_ratio(int a, int b) noexcept {
    double r = 1.0;
    for (int d = 0; d < a - b && d < 8; ++d) r *= static_cast<double>(a - d);
    for (int d = 0; d < b - a && d < 8; ++d) r /= static_cast<double>(b - d);
    return r;
}

// N_nm / N_pq.
inline double normalisation_ratio(int n, int m, int p, int q) noexcept {
    const double dm = m == 0 ? 1.0 : 2.0, dq = q == 0 ? 1.0 : 2.0;
    const double r2 = dm / dq * (2.0 * n + 1.0) / (2.0 * p + 1.0) * factorial_ratio(n - m, p - q) *
                      factorial_ratio(p + q, n + m);
    return std::sqrt(r2);
}

// One function of the series: V_nm (w false) or W_nm (w true), times coef.
struct Term {
    double coef;
    bool w;
    int n, m;
};

// The partial derivative along `axis` (0 x, 1 y, 2 z) of V_nm or W_nm, in
// units of 1/R, as terms of degree n + 1 (unnormalised coefficients);
// returns their count (0, 1 or 2).
inline int basis_derivative(int axis, bool w, int n, int m, Term out[2]) noexcept {
    if (w && m == 0) return 0;  // W_n0 vanishes identically
    if (axis == 2) {
        out[0] = {-(n - m + 1.0), w, n + 1, m};
        return 1;
    }
    if (m == 0) {  // V_n0
        out[0] = {-1.0, axis == 1, n + 1, 1};
        return 1;
    }
    const double f = (n - m + 2.0) * (n - m + 1.0);
    if (axis == 0) {
        out[0] = {-0.5, w, n + 1, m + 1};
        out[1] = {0.5 * f, w, n + 1, m - 1};
    } else if (!w) {  // d/dy V_nm
        out[0] = {-0.5, true, n + 1, m + 1};
        out[1] = {-0.5 * f, true, n + 1, m - 1};
    } else {  // d/dy W_nm
        out[0] = {0.5, false, n + 1, m + 1};
        out[1] = {0.5 * f, false, n + 1, m - 1};
    }
    return 2;
}

}  // namespace detail

// The normalised V'_nm, W'_nm of a point to degree `degree` (all orders),
// in storage the caller keeps (GravityWork::size(degree) values each).
class GravityWork {
public:
    static std::size_t size(int degree) noexcept { return GravityField::index(degree + 1, 0); }

    explicit GravityWork(int max_degree)
        : degree_(max_degree), V_(size(max_degree)), W_(size(max_degree)), a_(size(max_degree)), b_(size(max_degree)),
          diag_(static_cast<std::size_t>(max_degree) + 1) {
        for (int n = 0; n <= max_degree; ++n) {
            for (int m = 0; m <= n; ++m) {
                const std::size_t i = GravityField::index(n, m);
                if (n == m) continue;
                a_[i] = std::sqrt((2.0 * n + 1.0) * (2.0 * n - 1.0) / ((n - m) * static_cast<double>(n + m)));
                b_[i] = n - 2 >= m ? std::sqrt((2.0 * n + 1.0) * (n + m - 1.0) * (n - m - 1.0) /
                                               ((n - m) * static_cast<double>(n + m) * (2.0 * n - 3.0)))
                                   : 0.0;
            }
            if (n > 0) diag_[n] = std::sqrt((n == 1 ? 2.0 : 1.0) * (2.0 * n + 1.0) / (2.0 * n));
        }
    }

    int degree() const noexcept { return degree_; }

    // The functions at r (Earth-fixed, m) to degree `degree` <= degree().
    // Row by row: the entries of a row below its last two are independent
    // of one another (the loop the compiler vectorises).
    void evaluate(const double r[3], double radius, int degree) noexcept {
        const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
        const double x0 = radius * r[0] / r2, y0 = radius * r[1] / r2, z0 = radius * r[2] / r2;
        const double rho = radius * radius / r2;
        double* V = V_.data();
        double* W = W_.data();
        const double* a = a_.data();
        const double* b = b_.data();
        V[0] = radius / std::sqrt(r2);
        W[0] = 0.0;
        for (int n = 1; n <= degree; ++n) {
            const std::size_t row = GravityField::index(n, 0), row1 = GravityField::index(n - 1, 0);
            if (n >= 2) {
                const std::size_t row2 = GravityField::index(n - 2, 0);
                for (int m = 0; m <= n - 2; ++m) {
                    V[row + m] = a[row + m] * z0 * V[row1 + m] - b[row + m] * rho * V[row2 + m];
                    W[row + m] = a[row + m] * z0 * W[row1 + m] - b[row + m] * rho * W[row2 + m];
                }
            }
            const std::size_t sub = row + n - 1, diag = row + n, prev = row1 + n - 1;
            V[sub] = a[sub] * z0 * V[prev];
            W[sub] = a[sub] * z0 * W[prev];
            V[diag] = diag_[n] * (x0 * V[prev] - y0 * W[prev]);
            W[diag] = diag_[n] * (x0 * W[prev] + y0 * V[prev]);
        }
    }

    double V(int n, int m) const noexcept { return V_[GravityField::index(n, m)]; }
    const double* V_data() const noexcept { return V_.data(); }
    const double* W_data() const noexcept { return W_.data(); }
    double W(int n, int m) const noexcept { return W_[GravityField::index(n, m)]; }

private:
    int degree_;
    std::vector<double> V_, W_, a_, b_, diag_;
};

// The coefficients of one field combined with the normalised factors of
// the degree-(n + 1) functions its acceleration takes (eq. 3.33 with
// N_nm / N_pq folded in): per (n, m), C and S times half the factor of the
// (n + 1, m + 1) functions (p), of the (n + 1, m - 1) ones (q), and the
// factor of the (n + 1, m) ones (z).
struct GravityFactors {
    std::vector<double> Cp, Sp, Cq, Sq, Cz, Sz;

    void build(const GravityField& field, int degree) {
        const std::size_t size = GravityField::index(degree + 1, 0);
        for (auto* v : {&Cp, &Sp, &Cq, &Sq, &Cz, &Sz}) v->assign(size, 0.0);
        for (int n = 0; n <= degree; ++n) {
            for (int m = 0; m <= n; ++m) {
                const std::size_t i = GravityField::index(n, m);
                const double C = field.C[i], S = field.S[i];
                const double z = (n - m + 1.0) * detail::normalisation_ratio(n, m, n + 1, m);
                const double p = m == 0 ? detail::normalisation_ratio(n, 0, n + 1, 1)
                                        : 0.5 * detail::normalisation_ratio(n, m, n + 1, m + 1);
                const double q =
                    m == 0 ? 0.0
                           : 0.5 * (n - m + 2.0) * (n - m + 1.0) * detail::normalisation_ratio(n, m, n + 1, m - 1);
                Cp[i] = C * p, Sp[i] = S * p, Cq[i] = C * q, Sq[i] = S * q, Cz[i] = C * z, Sz[i] = S * z;
            }
        }
    }
};

// The second derivatives of a field of degree n_max and order m_max as
// linear forms in the normalised V', W' to degree n_max + 2: per pair of
// axes (xx, xy, xz, yy, yz, zz) the weight of each function, the
// derivative rule applied twice and the coefficients and normalisation
// ratios folded in once.
struct GravityGradientFactors {
    std::vector<double> V[6], W[6];

    void build(const GravityField& field, int n_max, int m_max) {
        static constexpr int kPairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
        const std::size_t size = GravityField::index(n_max + 3, 0);
        for (int p = 0; p < 6; ++p) V[p].assign(size, 0.0), W[p].assign(size, 0.0);
        for (int n = 0; n <= n_max; ++n) {
            for (int m = 0; m <= (n < m_max ? n : m_max); ++m) {
                const std::size_t i = GravityField::index(n, m);
                const double coefficient[2] = {field.C[i], field.S[i]};
                for (int w = 0; w < 2; ++w) {
                    if (coefficient[w] == 0.0) continue;
                    for (int p = 0; p < 6; ++p) {
                        detail::Term first[2], second[2];
                        const int c1 = detail::basis_derivative(kPairs[p][0], w == 1, n, m, first);
                        for (int u = 0; u < c1; ++u) {
                            const int c2 =
                                detail::basis_derivative(kPairs[p][1], first[u].w, first[u].n, first[u].m, second);
                            for (int q = 0; q < c2; ++q) {
                                const detail::Term& t = second[q];
                                const double f = coefficient[w] * first[u].coef * t.coef *
                                                 detail::normalisation_ratio(n, m, t.n, t.m);
                                (t.w ? W[p] : V[p])[GravityField::index(t.n, t.m)] += f;
                            }
                        }
                    }
                }
            }
        }
    }
};

// The acceleration (m/s^2, Earth-fixed) of the field to degree n_max and
// order m_max at r, and when grad (3x3 row-major) is not null its gradient
// d a / d r (`gradient` built for the same n_max and m_max). `work` holds
// functions to degree n_max + 1 (n_max + 2 with the gradient). The terms are
// summed from the highest degree down.
inline void gravity_acceleration(const GravityField& field, const GravityFactors& factors, GravityWork& work,
                                 int n_max, int m_max, const double r[3], double a[3], double* grad = nullptr,
                                 const GravityGradientFactors* gradient = nullptr) noexcept {
    if (!gradient) grad = nullptr;
    work.evaluate(r, field.radius, n_max + (grad ? 2 : 1));
    const double* V = work.V_data();
    const double* W = work.W_data();
    // Four partial sums per axis (orders m mod 4): independent chains.
    double sx[4] = {0, 0, 0, 0}, sy[4] = {0, 0, 0, 0}, sz[4] = {0, 0, 0, 0};
    for (int n = n_max; n >= 0; --n) {
        const int mtop = n < m_max ? n : m_max;
        const std::size_t row = GravityField::index(n, 0), up = GravityField::index(n + 1, 0);
        // m = 0: V_{n+1,1}, W_{n+1,1} and V_{n+1,0}
        sx[0] -= factors.Cp[row] * V[up + 1];
        sy[0] -= factors.Cp[row] * W[up + 1];
        sz[0] -= factors.Cz[row] * V[up];
        for (int m = 1; m <= mtop; ++m) {
            const std::size_t i = row + m;
            const double Vp = V[up + m + 1], Wp = W[up + m + 1], Vq = V[up + m - 1], Wq = W[up + m - 1];
            const double Vz = V[up + m], Wz = W[up + m];
            const double Cp = factors.Cp[i], Sp = factors.Sp[i], Cq = factors.Cq[i], Sq = factors.Sq[i];
            sx[m & 3] += (Cq * Vq + Sq * Wq) - (Cp * Vp + Sp * Wp);
            sy[m & 3] += (Sp * Vp - Cp * Wp) + (Sq * Vq - Cq * Wq);
            sz[m & 3] -= factors.Cz[i] * Vz + factors.Sz[i] * Wz;
        }
    }
    const double ax = (sx[0] + sx[1]) + (sx[2] + sx[3]);
    const double ay = (sy[0] + sy[1]) + (sy[2] + sy[3]);
    const double az = (sz[0] + sz[1]) + (sz[2] + sz[3]);
    const double k = field.GM / (field.radius * field.radius);
    a[0] = k * ax, a[1] = k * ay, a[2] = k * az;
    if (!grad) return;
    // Each second derivative is one fixed linear form in the degree n_max + 2
    // functions (GravityGradientFactors): two dot products.
    const std::size_t size = GravityField::index(n_max + 3, 0);
    double g[6];
    for (int p = 0; p < 6; ++p) {
        const double* fv = gradient->V[p].data();
        const double* fw = gradient->W[p].data();
        double s4[4] = {0, 0, 0, 0};
        std::size_t i = 0;
        for (; i + 4 <= size; i += 4) {
            for (int j = 0; j < 4; ++j) s4[j] += fv[i + j] * V[i + j] + fw[i + j] * W[i + j];
        }
        for (; i < size; ++i) s4[0] += fv[i] * V[i] + fw[i] * W[i];
        g[p] = (s4[0] + s4[1]) + (s4[2] + s4[3]);
    }
    const double k2 = field.GM / (field.radius * field.radius * field.radius);
    grad[0] = k2 * g[0], grad[1] = k2 * g[1], grad[2] = k2 * g[2];
    grad[3] = grad[1], grad[4] = k2 * g[3], grad[5] = k2 * g[4];
    grad[6] = grad[2], grad[7] = grad[5], grad[8] = k2 * g[5];
}

}  // namespace velarion::numerical

#endif
