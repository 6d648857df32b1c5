// C-level interface of velarion.mathtools.misc.misc.
#ifndef VELARION_MATHTOOLS_MISC_MISC_HPP
#define VELARION_MATHTOOLS_MISC_MISC_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::mathtools::misc {

// atan2_asymmetric(y, x): the angle of (x, y) in [0, 2*pi). Follows the
// "-1.0 with a pending exception means failure" convention (it never fails
// today; callers check all the same).
using atan2_asymmetric_t = double (*)(double, double);
inline constexpr const char* kAtan2AsymmetricType = "double (double, double)";

inline atan2_asymmetric_t atan2_asymmetric = nullptr;

inline int import_misc() {
    if (atan2_asymmetric) return 0;
    static const core::BoundFunction functions[] = {
        {"atan2_asymmetric", kAtan2AsymmetricType, core::function_slot(&atan2_asymmetric)}};
    return core::bind_module({.module = "velarion.mathtools.misc.misc", .functions = functions});
}

}  // namespace velarion::mathtools::misc

#endif
