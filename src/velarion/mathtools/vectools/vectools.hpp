// C-level interface of velarion.mathtools.vectools.vectools.
#ifndef VELARION_MATHTOOLS_VECTOOLS_VECTOOLS_HPP
#define VELARION_MATHTOOLS_VECTOOLS_VECTOOLS_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::vectools {

// out = m . v for a row-major 3x3 matrix; out never aliases v. Needs no
// interpreter lock and cannot fail.
using mat_x_vec_t = void (*)(double (*)[3], double*, double*);
inline constexpr const char* kMatXVecType = "void (double (*)[3], double *, double *)";

inline mat_x_vec_t mat_x_vec = nullptr;

// vectools' own mat_x_vec, published a second time as "mat_x_vec_kernel": an
// importer that compiles the same kernel in (kernels.hpp) uses it only when
// the bound `mat_x_vec` is this function, and calls whatever else was bound
// through its pointer. nullptr when the module does not say.
inline mat_x_vec_t mat_x_vec_own = nullptr;

inline int import_vectools() {
    if (mat_x_vec) return 0;
    constexpr const char* mod = "velarion.mathtools.vectools.vectools";
    void* p = core::capi_bind(mod, "mat_x_vec", kMatXVecType);
    if (!p) return -1;
    void* own = core::capi_bind(mod, "mat_x_vec_kernel", kMatXVecType);
    if (!own) PyErr_Clear();
    mat_x_vec = reinterpret_cast<mat_x_vec_t>(p);
    mat_x_vec_own = reinterpret_cast<mat_x_vec_t>(own);
    return 0;
}

}  // namespace velarion::vectools

#endif
