// velarion.mathtools.misc.misc: small angle helpers, at C level and in Python.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/mathtools/misc/kernels.hpp"
#include "velarion/mathtools/misc/misc.hpp"

namespace core = velarion::core;
namespace misc = velarion::misc;

namespace {

core::ModuleOnce g_once;

double c_atan2_asymmetric(double y, double x) { return misc::atan2_asymmetric_kernel(y, x); }

constexpr const char* kAtan2Names[] = {"y", "x"};
constexpr core::Signature kAtan2Sig{"atan2_asymmetric", kAtan2Names, 2};

PyObject* py_atan2_asymmetric(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kAtan2Sig, args, nargs, kwnames, a)) return nullptr;
    if (PyFloat_Check(a[0]) && PyFloat_Check(a[1])) {
        return PyFloat_FromDouble(misc::atan2_asymmetric_kernel(PyFloat_AS_DOUBLE(a[0]), PyFloat_AS_DOUBLE(a[1])));
    }
    auto is_array_like = [](PyObject* o) {
        return PyArray_Check(o) || (PySequence_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o));
    };
    if (!is_array_like(a[0]) && !is_array_like(a[1])) {
        double y, x;
        if (!core::to_double(a[0], y) || !core::to_double(a[1], x)) return nullptr;
        return PyFloat_FromDouble(misc::atan2_asymmetric_kernel(y, x));
    }
    // Arrays: broadcast NumPy-style into a new float64 array.
    PyArray_Descr* f8 = PyArray_DescrFromType(NPY_DOUBLE);
    core::Ref ya = core::Ref::steal(PyArray_FromAny(a[0], f8, 0, 0, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    if (!ya) return nullptr;
    f8 = PyArray_DescrFromType(NPY_DOUBLE);
    core::Ref xa = core::Ref::steal(PyArray_FromAny(a[1], f8, 0, 0, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    if (!xa) return nullptr;
    PyArrayObject* ops[3] = {core::as_array(ya.get()), core::as_array(xa.get()), nullptr};
    npy_uint32 flags[3] = {NPY_ITER_READONLY, NPY_ITER_READONLY, NPY_ITER_WRITEONLY | NPY_ITER_ALLOCATE};
    NpyIter* it = NpyIter_MultiNew(3, ops, NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK, NPY_KEEPORDER,
                                   NPY_NO_CASTING, flags, nullptr);
    if (!it) return nullptr;
    if (NpyIter_GetIterSize(it) > 0) {
        NpyIter_IterNextFunc* next = NpyIter_GetIterNext(it, nullptr);
        if (!next) {
            NpyIter_Deallocate(it);
            return nullptr;
        }
        char** data = NpyIter_GetDataPtrArray(it);
        npy_intp* strides = NpyIter_GetInnerStrideArray(it);
        npy_intp* size = NpyIter_GetInnerLoopSizePtr(it);
        do {
            char *py = data[0], *px = data[1], *po = data[2];
            for (npy_intp i = 0; i < *size; ++i) {
                *reinterpret_cast<double*>(po) =
                    misc::atan2_asymmetric_kernel(*reinterpret_cast<double*>(py), *reinterpret_cast<double*>(px));
                py += strides[0];
                px += strides[1];
                po += strides[2];
            }
        } while (next(it));
    }
    core::Ref out = core::Ref::borrow(reinterpret_cast<PyObject*>(NpyIter_GetOperandArray(it)[2]));
    if (NpyIter_Deallocate(it) != NPY_SUCCEED) return nullptr;
    return PyArray_Return(core::as_array(out.release()));
}

PyMethodDef misc_methods[] = {
    {"atan2_asymmetric", (PyCFunction)(void (*)(void))py_atan2_asymmetric, METH_FASTCALL | METH_KEYWORDS,
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

PyModuleDef_Slot misc_slots[] = {{Py_mod_create, (void*)misc_create}, {Py_mod_exec, (void*)misc_exec}, {0, nullptr}};

PyModuleDef misc_def = {PyModuleDef_HEAD_INIT, "velarion.mathtools.misc.misc", "Angle helpers.", 0, misc_methods,
                        misc_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_misc() { return PyModuleDef_Init(&misc_def); }
