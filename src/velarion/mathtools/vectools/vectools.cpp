// velarion.mathtools.vectools.vectools: C-level vector routines for other modules.
#include "velarion/_core/core.hpp"
#include "velarion/mathtools/vectools/kernels/matrix.hpp"
#include "velarion/mathtools/vectools/vectools.hpp"

namespace core = velarion::core;
namespace vt = velarion::mathtools::vectools;

namespace {

core::ModuleOnce g_once;

void c_mat_x_vec(double (*m)[3], double* v, double* out) { vt::kernels::mat_x_vec_kernel(m, v, out); }

PyObject* vectools_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int vectools_exec(PyObject* module) {
    if (int r = g_once.enter(module, "vectools"); r <= 0) return r;
    VELARION_CHECK(core::capi_publish(module, "mat_x_vec", reinterpret_cast<void*>(&c_mat_x_vec), vt::kMatXVecType));
    VELARION_CHECK(
        core::capi_publish(module, "mat_x_vec_kernel", reinterpret_cast<void*>(&c_mat_x_vec), vt::kMatXVecType));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot vectools_slots[] = {{Py_mod_create, (void*)core::entry<vectools_create>},
                                     {Py_mod_exec, (void*)core::entry<vectools_exec>},
                                     {0, nullptr}};

PyModuleDef vectools_def = {PyModuleDef_HEAD_INIT,
                            "velarion.mathtools.vectools.vectools",
                            "C-level 3-vector routines (mat_x_vec) for the compiled modules.",
                            0,
                            nullptr,
                            vectools_slots,
                            nullptr,
                            nullptr,
                            nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_vectools() { return PyModuleDef_Init(&vectools_def); }
