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
    void evaluate(const double r[3], double radius, int degree) noexcept {
        const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
        const double x0 = radius * r[0] / r2, y0 = radius * r[1] / r2, z0 = radius * r[2] / r2;
        const double rho = radius * radius / r2;
        V_[0] = radius / std::sqrt(r2);
        W_[0] = 0.0;
        for (int m = 0; m <= degree; ++m) {
            const std::size_t mm = GravityField::index(m, m);
            if (m > 0) {
                const std::size_t pp = GravityField::index(m - 1, m - 1);
                V_[mm] = diag_[m] * (x0 * V_[pp] - y0 * W_[pp]);
                W_[mm] = diag_[m] * (x0 * W_[pp] + y0 * V_[pp]);
            }
            if (m + 1 <= degree) {
                const std::size_t i = GravityField::index(m + 1, m);
                V_[i] = a_[i] * z0 * V_[mm];
                W_[i] = a_[i] * z0 * W_[mm];
            }
            for (int n = m + 2; n <= degree; ++n) {
                const std::size_t i = GravityField::index(n, m), i1 = GravityField::index(n - 1, m),
                                  i2 = GravityField::index(n - 2, m);
                V_[i] = a_[i] * z0 * V_[i1] - b_[i] * rho * V_[i2];
                W_[i] = a_[i] * z0 * W_[i1] - b_[i] * rho * W_[i2];
            }
        }
    }

    double V(int n, int m) const noexcept { return V_[GravityField::index(n, m)]; }
    double W(int n, int m) const noexcept { return W_[GravityField::index(n, m)]; }

private:
    int degree_;
    std::vector<double> V_, W_, a_, b_, diag_;
};

// What one field's acceleration needs beyond its coefficients: per (n, m)
// the normalised factors of the degree-(n + 1) functions its acceleration
// takes (eq. 3.33 with N_nm / N_pq folded in).
struct GravityFactors {
    std::vector<double> plus, minus, z;

    void build(int degree) {
        const std::size_t size = GravityField::index(degree + 1, 0);
        plus.assign(size, 0.0), minus.assign(size, 0.0), z.assign(size, 0.0);
        for (int n = 0; n <= degree; ++n) {
            for (int m = 0; m <= n; ++m) {
                const std::size_t i = GravityField::index(n, m);
                z[i] = (n - m + 1.0) * detail::normalisation_ratio(n, m, n + 1, m);
                if (m == 0) {
                    plus[i] = 2.0 * detail::normalisation_ratio(n, 0, n + 1, 1);
                } else {
                    plus[i] = detail::normalisation_ratio(n, m, n + 1, m + 1);
                    minus[i] = (n - m + 2.0) * (n - m + 1.0) * detail::normalisation_ratio(n, m, n + 1, m - 1);
                }
            }
        }
    }
};

// The acceleration (m/s^2, Earth-fixed) of the field to degree n_max and
// order m_max at r, and when grad (3x3 row-major) is not null its gradient
// d a / d r. `work` holds functions to degree n_max + 1 (n_max + 2 with the
// gradient). The terms are summed from the highest degree down.
inline void gravity_acceleration(const GravityField& field, const GravityFactors& factors, GravityWork& work,
                                 int n_max, int m_max, const double r[3], double a[3], double* grad) noexcept {
    work.evaluate(r, field.radius, n_max + (grad ? 2 : 1));
    double ax = 0.0, ay = 0.0, az = 0.0;
    for (int n = n_max; n >= 0; --n) {
        const int mtop = n < m_max ? n : m_max;
        for (int m = mtop; m >= 0; --m) {
            const std::size_t i = GravityField::index(n, m);
            const double C = field.C[i], S = field.S[i];
            if (m == 0) {
                ax -= 0.5 * factors.plus[i] * C * work.V(n + 1, 1);
                ay -= 0.5 * factors.plus[i] * C * work.W(n + 1, 1);
            } else {
                const double Vp = work.V(n + 1, m + 1), Wp = work.W(n + 1, m + 1);
                const double Vm = work.V(n + 1, m - 1), Wm = work.W(n + 1, m - 1);
                ax += 0.5 * (factors.plus[i] * (-C * Vp - S * Wp) + factors.minus[i] * (C * Vm + S * Wm));
                ay += 0.5 * (factors.plus[i] * (-C * Wp + S * Vp) + factors.minus[i] * (-C * Wm + S * Vm));
            }
            az += factors.z[i] * (-C * work.V(n + 1, m) - S * work.W(n + 1, m));
        }
    }
    const double k = field.GM / (field.radius * field.radius);
    a[0] = k * ax, a[1] = k * ay, a[2] = k * az;
    if (!grad) return;

    // d2/dxi dxj of V_nm and W_nm through the derivative rule applied twice.
    double g[6] = {0, 0, 0, 0, 0, 0};  // xx, xy, xz, yy, yz, zz
    static constexpr int kPairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
    for (int n = n_max; n >= 0; --n) {
        const int mtop = n < m_max ? n : m_max;
        for (int m = mtop; m >= 0; --m) {
            const std::size_t i = GravityField::index(n, m);
            const double coefficient[2] = {field.C[i], field.S[i]};
            for (int w = 0; w < 2; ++w) {
                if (coefficient[w] == 0.0) continue;
                for (int p = 0; p < 6; ++p) {
                    detail::Term first[2], second[2];
                    const int c1 = detail::basis_derivative(kPairs[p][0], w == 1, n, m, first);
                    double sum = 0.0;
                    for (int u = 0; u < c1; ++u) {
                        const int c2 =
                            detail::basis_derivative(kPairs[p][1], first[u].w, first[u].n, first[u].m, second);
                        for (int q = 0; q < c2; ++q) {
                            const detail::Term& t = second[q];
                            const double f = t.w ? work.W(t.n, t.m) : work.V(t.n, t.m);
                            sum += first[u].coef * t.coef * detail::normalisation_ratio(n, m, t.n, t.m) * f;
                        }
                    }
                    g[p] += coefficient[w] * sum;
                }
            }
        }
    }
    const double k2 = field.GM / (field.radius * field.radius * field.radius);
    grad[0] = k2 * g[0], grad[1] = k2 * g[1], grad[2] = k2 * g[2];
    grad[3] = grad[1], grad[4] = k2 * g[3], grad[5] = k2 * g[4];
    grad[6] = grad[2], grad[7] = grad[5], grad[8] = k2 * g[5];
}

}  // namespace velarion::numerical

#endif
