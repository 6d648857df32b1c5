// Angle helpers (no Python).
#ifndef VELARION_MATHTOOLS_MISC_KERNELS_ANGLES_HPP
#define VELARION_MATHTOOLS_MISC_KERNELS_ANGLES_HPP

#include <cmath>
#include <numbers>

namespace velarion::mathtools::misc::kernels {

inline constexpr double kTwoPi = 2.0 * std::numbers::pi;

// The angle of (x, y) in [0, 2*pi). A tiny negative angle whose shift by
// 2*pi rounds to 2*pi itself is returned as 0 (the same angle, in range).
inline double atan2_asymmetric_kernel(double y, double x) noexcept {
    double a = std::atan2(y, x);
    if (a < 0.0) {
        a += kTwoPi;
        if (a >= kTwoPi) a = 0.0;
    }
    return a;
}

}  // namespace velarion::mathtools::misc::kernels

#endif
