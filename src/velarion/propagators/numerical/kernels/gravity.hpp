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
    const double r2 =
        dm / dq * (2.0 * n + 1.0) / (2.0 * p + 1.0) * factorial_ratio(n - m, p - q) * factorial_ratio(p + q, n + m);
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

namespace detail {

// Two doubles as one SSE2/NEON register (GCC and Clang vector extension):
// the rows of the recursion and the sums are written two orders at a time.
typedef double Pair __attribute__((vector_size(16)));

inline Pair load2(const double* p) noexcept {
    Pair v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}
inline void store2(double* p, Pair v) noexcept { __builtin_memcpy(p, &v, sizeof v); }

// v[m] = a[m] z0 v1[m] - b[m] rho v2[m], and w the same, for m in
// [0, count): one pass for both (their factors loaded and scaled once).
inline void recursion_row(int count, const double* __restrict a, const double* __restrict b, double z0, double rho,
                          const double* __restrict v1, const double* __restrict v2, double* __restrict v,
                          const double* __restrict w1, const double* __restrict w2, double* __restrict w) noexcept {
    int m = 0;
    const Pair z = {z0, z0}, q = {rho, rho};
    for (; m + 2 <= count; m += 2) {
        const Pair az = load2(a + m) * z, bq = load2(b + m) * q;
        store2(v + m, az * load2(v1 + m) - bq * load2(v2 + m));
        store2(w + m, az * load2(w1 + m) - bq * load2(w2 + m));
    }
    for (; m < count; ++m) {
        const double az = a[m] * z0, bq = b[m] * rho;
        v[m] = az * v1[m] - bq * v2[m];
        w[m] = az * w1[m] - bq * w2[m];
    }
}

}  // namespace detail

// The recursion's factors to degree `max_degree` (read only, shared).
struct GravityRecursion {
    int degree = -1;
    std::vector<double> a, b, diag;

    void build(int max_degree) {
        degree = max_degree;
        const std::size_t size = GravityField::index(max_degree + 1, 0);
        a.assign(size, 0.0), b.assign(size, 0.0), diag.assign(static_cast<std::size_t>(max_degree) + 1, 0.0);
        for (int n = 0; n <= max_degree; ++n) {
            for (int m = 0; m < n; ++m) {
                const std::size_t i = GravityField::index(n, m);
                a[i] = std::sqrt((2.0 * n + 1.0) * (2.0 * n - 1.0) / ((n - m) * static_cast<double>(n + m)));
                b[i] = n - 2 >= m ? std::sqrt((2.0 * n + 1.0) * (n + m - 1.0) * (n - m - 1.0) /
                                              ((n - m) * static_cast<double>(n + m) * (2.0 * n - 3.0)))
                                  : 0.0;
            }
            if (n > 0) diag[n] = std::sqrt((n == 1 ? 2.0 : 1.0) * (2.0 * n + 1.0) / (2.0 * n));
        }
    }
};

// The normalised V'_nm, W'_nm of a point to degree `degree` (all orders):
// the storage of one evaluation at a time, on a shared recursion.
class GravityWork {
public:
    static std::size_t size(int degree) noexcept { return GravityField::index(degree + 1, 0); }

    explicit GravityWork(const GravityRecursion& recursion) : GravityWork(recursion, own_) {}
    // With the caller's storage (resized here), kept across evaluations.
    GravityWork(const GravityRecursion& recursion, std::vector<double>& storage)
        : degree_(recursion.degree), a_(recursion.a.data()), b_(recursion.b.data()), diag_(recursion.diag.data()) {
        const std::size_t n = size(recursion.degree);
        if (storage.size() < 2 * n) storage.resize(2 * n);
        V_ = storage.data();
        W_ = storage.data() + n;
    }
    GravityWork(const GravityWork&) = delete;
    GravityWork& operator=(const GravityWork&) = delete;

    int degree() const noexcept { return degree_; }

    // The functions at r (Earth-fixed, m) to degree `degree` <= degree().
    // Row by row: the entries of a row below its last two are independent
    // of one another (the loop the compiler vectorises).
    void evaluate(const double r[3], double radius, int degree) noexcept {
        const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
        const double x0 = radius * r[0] / r2, y0 = radius * r[1] / r2, z0 = radius * r[2] / r2;
        const double rho = radius * radius / r2;
        double* V = V_;
        double* W = W_;
        const double* a = a_;
        const double* b = b_;
        V[0] = radius / std::sqrt(r2);
        W[0] = 0.0;
        for (int n = 1; n <= degree; ++n) {
            const std::size_t row = GravityField::index(n, 0), row1 = GravityField::index(n - 1, 0);
            if (n >= 2) {
                const std::size_t row2 = GravityField::index(n - 2, 0);
                detail::recursion_row(n - 1, a + row, b + row, z0, rho, V + row1, V + row2, V + row, W + row1, W + row2,
                                      W + row);
            }
            const std::size_t sub = row + n - 1, diag = row + n, prev = row1 + n - 1;
            V[sub] = a[sub] * z0 * V[prev];
            W[sub] = a[sub] * z0 * W[prev];
            V[diag] = diag_[n] * (x0 * V[prev] - y0 * W[prev]);
            W[diag] = diag_[n] * (x0 * W[prev] + y0 * V[prev]);
        }
    }

    double V(int n, int m) const noexcept { return V_[GravityField::index(n, m)]; }
    const double* V_data() const noexcept { return V_; }
    const double* W_data() const noexcept { return W_; }
    double W(int n, int m) const noexcept { return W_[GravityField::index(n, m)]; }

private:
    std::vector<double> own_;  // declared first: built before the delegating constructor uses it
    int degree_;
    const double *a_, *b_, *diag_;
    double *V_ = nullptr, *W_ = nullptr;
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

// The acceleration (m/s^2, Earth-fixed) of a field's terms to degree n_max
// and order m_max from functions `work` holds to degree n_max + 1, the
// terms summed from the highest degree down; GM and radius the field's.
inline void gravity_sum(const GravityFactors& factors, const GravityWork& work, int n_max, int m_max, double GM,
                        double radius, double a[3]) noexcept {
    const double* V = work.V_data();
    const double* W = work.W_data();
    // Orders two at a time in vector registers (odd and even orders in the
    // two lanes, summed at the end), the m = 0 terms and an odd last order
    // alone.
    using detail::load2;
    using detail::Pair;
    Pair px = {0, 0}, py = {0, 0}, pz = {0, 0};
    double ax = 0.0, ay = 0.0, az = 0.0;
    for (int n = n_max; n >= 0; --n) {
        const int mtop = n < m_max ? n : m_max;
        const std::size_t row = GravityField::index(n, 0), up = GravityField::index(n + 1, 0);
        // m = 0: V_{n+1,1}, W_{n+1,1} and V_{n+1,0}
        ax -= factors.Cp[row] * V[up + 1];
        ay -= factors.Cp[row] * W[up + 1];
        az -= factors.Cz[row] * V[up];
        int m = 1;
        for (; m + 2 <= mtop + 1; m += 2) {
            const std::size_t i = row + m;
            const Pair Vp = load2(V + up + m + 1), Wp = load2(W + up + m + 1), Vq = load2(V + up + m - 1),
                       Wq = load2(W + up + m - 1), Vz = load2(V + up + m), Wz = load2(W + up + m);
            const Pair Cp = load2(&factors.Cp[i]), Sp = load2(&factors.Sp[i]), Cq = load2(&factors.Cq[i]),
                       Sq = load2(&factors.Sq[i]);
            px += (Cq * Vq + Sq * Wq) - (Cp * Vp + Sp * Wp);
            py += (Sp * Vp - Cp * Wp) + (Sq * Vq - Cq * Wq);
            pz -= load2(&factors.Cz[i]) * Vz + load2(&factors.Sz[i]) * Wz;
        }
        for (; m <= mtop; ++m) {
            const std::size_t i = row + m;
            const double Vp = V[up + m + 1], Wp = W[up + m + 1], Vq = V[up + m - 1], Wq = W[up + m - 1];
            const double Cp = factors.Cp[i], Sp = factors.Sp[i], Cq = factors.Cq[i], Sq = factors.Sq[i];
            ax += (Cq * Vq + Sq * Wq) - (Cp * Vp + Sp * Wp);
            ay += (Sp * Vp - Cp * Wp) + (Sq * Vq - Cq * Wq);
            az -= factors.Cz[i] * V[up + m] + factors.Sz[i] * W[up + m];
        }
    }
    ax += px[0] + px[1];
    ay += py[0] + py[1];
    az += pz[0] + pz[1];
    const double k = GM / (radius * radius);
    a[0] = k * ax, a[1] = k * ay, a[2] = k * az;
}

// The acceleration (m/s^2, Earth-fixed) of the field to degree n_max and
// order m_max at r, and when grad (3x3 row-major) is not null its gradient
// d a / d r (`gradient` built for the same n_max and m_max). `work` holds
// functions to degree n_max + 1 (n_max + 2 with the gradient). The terms are
// summed from the highest degree down.
inline void gravity_acceleration(const GravityField& field, const GravityFactors& factors, GravityWork& work, int n_max,
                                 int m_max, const double r[3], double a[3], double* grad = nullptr,
                                 const GravityGradientFactors* gradient = nullptr) noexcept {
    if (!gradient) grad = nullptr;
    work.evaluate(r, field.radius, n_max + (grad ? 2 : 1));
    gravity_sum(factors, work, n_max, m_max, field.GM, field.radius, a);
    const double* V = work.V_data();
    const double* W = work.W_data();
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
