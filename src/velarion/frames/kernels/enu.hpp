// ENU (East-North-Up) kernels of a ground station: the constant rotation
// between the station's local tangent frame and ITRF, and its application
// to rows of positions and velocities. Plain C++, no Python.
#ifndef VELARION_FRAMES_KERNELS_ENU_HPP
#define VELARION_FRAMES_KERNELS_ENU_HPP

#include "velarion/_core/strided.hpp"

#include <cmath>

namespace velarion::frames::kernels {

// ENU -> ITRF: the columns are the East, North and Up unit vectors in ITRF.
inline void enu_rot_to_itrf(double lat, double lon, double R[3][3]) noexcept {
    const double cl = std::cos(lon), sl = std::sin(lon);
    const double cp = std::cos(lat), sp = std::sin(lat);
    R[0][0] = -sl;
    R[0][1] = -sp * cl;
    R[0][2] = cp * cl;
    R[1][0] = cl;
    R[1][1] = -sp * sl;
    R[1][2] = cp * sl;
    R[2][0] = 0.0;
    R[2][1] = cp;
    R[2][2] = sp;
}

// ITRF -> ENU: the transpose of the above.
inline void enu_rot_from_itrf(double lat, double lon, double R[3][3]) noexcept {
    const double cl = std::cos(lon), sl = std::sin(lon);
    const double cp = std::cos(lat), sp = std::sin(lat);
    R[0][0] = -sl;
    R[0][1] = cl;
    R[0][2] = 0.0;
    R[1][0] = -sp * cl;
    R[1][1] = -sp * sl;
    R[1][2] = cp;
    R[2][0] = cp * cl;
    R[2][1] = cp * sl;
    R[2][2] = sp;
}

// out = R . (r - pre) + post for positions, out = R . v for velocities, rows
// 0..n-1 (n = r_in.rows). `product(R, v, out)` is the 3x3 product (out never
// aliases v); it returns false to stop the loop (a failure it reports
// itself), and then so does this function. Both input rows are copied before
// the output rows are written, so the outputs may be the inputs.
template <class Product>
inline bool enu_apply(Product product, const double R[3][3], const double pre_in[3], const double post_in[3],
                      const core::Strided2D<double>& r_in, const core::Strided2D<double>& v_in,
                      const core::Strided2D<double>& r_out, const core::Strided2D<double>& v_out) {
    // Local copies: the stores through the output views cannot alias them,
    // so they stay in registers across rows.
    double M[3][3], pre[3], post[3];
    for (int j = 0; j < 3; ++j) {
        pre[j] = pre_in[j];
        post[j] = post_in[j];
        for (int k = 0; k < 3; ++k) M[j][k] = R[j][k];
    }
    for (core::index_t i = 0; i < r_in.rows; ++i) {
        double r[3], v[3], ro[3], vo[3];
        r_in.load3(i, r);
        v_in.load3(i, v);
        r[0] -= pre[0];
        r[1] -= pre[1];
        r[2] -= pre[2];
        if (!product(M, r, ro) || !product(M, v, vo)) return false;
        ro[0] += post[0];
        ro[1] += post[1];
        ro[2] += post[2];
        r_out.store3(i, ro);
        v_out.store3(i, vo);
    }
    return true;
}

}  // namespace velarion::frames::kernels

#endif
