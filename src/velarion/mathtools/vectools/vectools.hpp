// C-level interface of velarion.mathtools.vectools.vectools.
#ifndef VELARION_MATHTOOLS_VECTOOLS_VECTOOLS_HPP
#define VELARION_MATHTOOLS_VECTOOLS_VECTOOLS_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::mathtools::vectools {

// out = m . v for a row-major 3x3 matrix; out never aliases v. Needs no
// interpreter lock and cannot fail.
using mat_x_vec_t = void (*)(double (*)[3], double*, double*);
inline constexpr const char* kMatXVecType = "void (double (*)[3], double *, double *)";

inline mat_x_vec_t mat_x_vec = nullptr;

// vectools' own mat_x_vec, published a second time as "mat_x_vec_kernel": an
// importer that compiles the same kernel in (kernels/matrix.hpp) uses it only when
// the bound `mat_x_vec` is this function, and calls whatever else was bound
// through its pointer.
inline mat_x_vec_t mat_x_vec_own = nullptr;

inline int import_vectools() {
    if (mat_x_vec) return 0;
    static const core::BoundFunction functions[] = {
        {"mat_x_vec", kMatXVecType, core::function_slot(&mat_x_vec)},
        {"mat_x_vec_kernel", kMatXVecType, core::function_slot(&mat_x_vec_own)},
    };
    return core::bind_module({.module = "velarion.mathtools.vectools.vectools", .functions = functions});
}

}  // namespace velarion::mathtools::vectools

#endif
