// velarion.mathtools.misc.misc: small angle helpers, at C level and in Python.
#include "velarion/_core/core.hpp"
#include "velarion/_core/ufunc.hpp"
#include "velarion/mathtools/misc/kernels/angles.hpp"
#include "velarion/mathtools/misc/misc.hpp"

namespace core = velarion::core;
namespace misc = velarion::mathtools::misc;

namespace {

core::ModuleOnce g_once;

double c_atan2_asymmetric(double y, double x) { return misc::kernels::atan2_asymmetric_kernel(y, x); }

constexpr const char* kAtan2Names[] = {"y", "x"};
constexpr core::Signature kAtan2Sig{"atan2_asymmetric", kAtan2Names, 2};

PyObject* py_atan2_asymmetric(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kAtan2Sig, args, nargs, kwnames, a)) return nullptr;
    if (PyFloat_Check(a[0]) && PyFloat_Check(a[1])) {
        return PyFloat_FromDouble(
            misc::kernels::atan2_asymmetric_kernel(PyFloat_AS_DOUBLE(a[0]), PyFloat_AS_DOUBLE(a[1])));
    }
    if (!core::is_array_like(a[0]) && !core::is_array_like(a[1])) {
        double y, x;
        if (!core::to_double(a[0], y) || !core::to_double(a[1], x)) return nullptr;
        return PyFloat_FromDouble(misc::kernels::atan2_asymmetric_kernel(y, x));
    }
    int status;
    core::Ref out = core::broadcast_binary(
        a[0], a[1],
        [](double y, double x, double& r) {
            r = misc::kernels::atan2_asymmetric_kernel(y, x);
            return 0;
        },
        status);
    if (!out) return nullptr;
    return PyArray_Return(core::as_array(out.release()));
}

PyMethodDef misc_methods[] = {
    {"atan2_asymmetric", VELARION_FASTCALL(py_atan2_asymmetric), METH_FASTCALL | METH_KEYWORDS,
     "atan2_asymmetric(y, x)\n--\n\nThe angle of the point (x, y) in [0, 2*pi), in radians.\n\n"
     "Scalars give a float; arrays are broadcast and give a float64 array."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* misc_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int misc_exec(PyObject* module) {
    if (int r = g_once.enter(module, "misc"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(core::capi_publish(module, "atan2_asymmetric", reinterpret_cast<void*>(&c_atan2_asymmetric),
                                      misc::kAtan2AsymmetricType));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot misc_slots[] = {
    {Py_mod_create, (void*)core::entry<misc_create>}, {Py_mod_exec, (void*)core::entry<misc_exec>}, {0, nullptr}};

PyModuleDef misc_def = {PyModuleDef_HEAD_INIT,
                        "velarion.mathtools.misc.misc",
                        "Angle helpers.",
                        0,
                        misc_methods,
                        misc_slots,
                        nullptr,
                        nullptr,
                        nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_misc() { return PyModuleDef_Init(&misc_def); }
