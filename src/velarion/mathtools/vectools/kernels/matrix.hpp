// 3-vector and 3x3 matrix kernels (no Python).
#ifndef VELARION_MATHTOOLS_VECTOOLS_KERNELS_MATRIX_HPP
#define VELARION_MATHTOOLS_VECTOOLS_KERNELS_MATRIX_HPP

namespace velarion::mathtools::vectools::kernels {

inline void mat_x_vec_kernel(const double m[3][3], const double* v, double* out) noexcept {
    out[0] = m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2];
    out[1] = m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2];
    out[2] = m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2];
}

}  // namespace velarion::mathtools::vectools::kernels

#endif
