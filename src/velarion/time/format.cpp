// velarion.time.format: the date element type jd_t and the ISO 8601 text
// parsing and formatting that Time uses, for direct use on arrays.
#include "velarion/_core/core.hpp"
#include "velarion/_core/iterate.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/time/binding.hpp"
#include "velarion/time/kernels/scales.hpp"

#include <utility>

namespace core = velarion::core;
namespace bd = velarion::time::binding;
namespace kn = velarion::time::kernels;

namespace {

core::ModuleOnce g_once;

// The scale argument of these functions: only whether it is UTC matters.
bool read_utc(PyObject* obj, bool& utc) {
    kn::Scale scale = kn::Scale::UTC;
    if (!bd::parse_scale(obj, scale)) return false;
    utc = scale == kn::Scale::UTC;
    return true;
}

// Word for word: callers and tests compare the exception texts below.
PyObject* py_parse_iso(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"texts", "scale"};
    static constexpr core::Signature kSig{"parse_iso", kNames, 1};
    PyObject* a[2];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    bool utc;
    if (!read_utc(a[1], utc)) return nullptr;
    kn::LeapCursor cur;
    if (PyUnicode_Check(a[0])) {
        double j1, j2;
        if (!bd::text_to_jd(a[0], utc, nullptr, cur, j1, j2)) return nullptr;
        return Py_BuildValue("(dd)", j1, j2);
    }
    core::Ref in = core::Ref::steal(PyArray_FromAny(a[0], nullptr, 0, 0, 0, nullptr));
    if (!in) return nullptr;
    PyArrayObject* A = core::as_array(in.get());
    if (PyArray_SIZE(A) > 0 && PyArray_DESCR(A)->kind != 'U') {
        PyErr_Format(PyExc_TypeError, "parse_iso() takes a str or an array of str, not an array of dtype %S",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(A)));
        return nullptr;
    }
    core::Ref o1 = core::empty(PyArray_NDIM(A), PyArray_DIMS(A));
    core::Ref o2 = core::empty(PyArray_NDIM(A), PyArray_DIMS(A));
    if (!o1 || !o2) return nullptr;
    if (!bd::parse_str_array(in.get(), utc, nullptr, cur, core::data_of(o1.get()), core::data_of(o2.get())))
        return nullptr;
    return PyTuple_Pack(2, o1.get(), o2.get());
}

PyObject* py_format_iso(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"jd1", "jd2", "scale", "decimals"};
    static constexpr core::Signature kSig{"format_iso", kNames, 1};
    PyObject* a[4];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    bool utc;
    if (!read_utc(a[2], utc)) return nullptr;
    int decimals = -1;
    if (a[3] && a[3] != Py_None) {
        if (!PyIndex_Check(a[3]) || PyBool_Check(a[3])) {
            PyErr_Format(PyExc_TypeError, "decimals must be an int or None, not %.200s", Py_TYPE(a[3])->tp_name);
            return nullptr;
        }
        const core::Ref index = core::Ref::steal(PyNumber_Index(a[3]));
        if (!index) return nullptr;
        const long d = PyLong_AsLong(index.get());
        if (d == -1 && PyErr_Occurred()) return nullptr;
        if (d < 0 || d > 9) {
            PyErr_Format(PyExc_ValueError, "decimals must be between 0 and 9, not %ld", d);
            return nullptr;
        }
        decimals = static_cast<int>(d);
    }
    core::Ref x, y;
    if (!bd::jd_pair(a[0], a[1], x, y)) return nullptr;
    // Calendar day and nanosecond of each epoch of the broadcast pair.
    PyArrayObject* ops[4] = {core::as_array(x.get()), core::as_array(y.get()), nullptr, nullptr};
    static constexpr NPY_TYPES kInt64[2] = {NPY_INT64, NPY_INT64};
    core::Ref out[2];
    npy_intp stopped;
    kn::LeapCursor cur;
    const bool ok = core::iterate(
        bd::in_c_order(2, 2), ops, kInt64, out, &stopped, [&](char* const* d, const npy_intp* s, npy_intp n) {
            return bd::stop_index(
                kn::civil_ns_epochs(bd::operand<const double>(d, s, n, 0), bd::operand<const double>(d, s, n, 1), utc,
                                    true, bd::operand<int64_t>(d, s, n, 2), bd::operand<int64_t>(d, s, n, 3), cur));
        });
    if (!ok) return nullptr;
    if (stopped != core::kIterationDone) {
        PyErr_SetString(PyExc_ValueError, "format_iso() got a Julian Date that is not finite or out of range");
        return nullptr;
    }
    PyArrayObject* shape = core::as_array(out[0].get());
    bd::CivilArrays civil(std::move(out[0]), std::move(out[1]));
    return bd::iso_texts(PyArray_NDIM(shape), PyArray_DIMS(shape), civil, PyArray_SIZE(shape), decimals);
}

// Word for word: the docstrings are what help() and the documentation show.
PyMethodDef format_methods[] = {
    {"parse_iso", VELARION_FASTCALL(py_parse_iso), METH_FASTCALL | METH_KEYWORDS,
     "parse_iso(texts, scale='utc')\n--\n\n"
     "ISO 8601 texts (a str or an array-like of str) -> (jd1, jd2): jd1 the Julian Date of the day's midnight, "
     "jd2 the fraction of the day, read as calendar fields of `scale` (in UTC a leap-second day is 86401 s "
     "long). A str gives two floats, an array two float64 arrays of its shape."},
    {"format_iso", VELARION_FASTCALL(py_format_iso), METH_FASTCALL | METH_KEYWORDS,
     "format_iso(jd1, jd2=0.0, scale='utc', decimals=None)\n--\n\n"
     "Two-part Julian Dates -> ISO 8601 texts (YYYY-MM-DDThh:mm:ss[.f...]) on the clock of `scale`, rounded to "
     "the nanosecond. `decimals` None uses the fewest of 0, 3, 6 or 9 that show every epoch exactly. Scalars "
     "give a str, arrays an array of str."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* format_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int format_exec(PyObject* module) {
    if (int r = g_once.enter(module, "format"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(bd::load_leap_table("velarion.time.format"));
    {
        // jd_t: the 8-byte real date element (C++ `velarion::time::jd_t`, a double).
        core::Ref np = core::Ref::steal(PyImport_ImportModule("numpy"));
        VELARION_CHECK(np.get());
        core::Ref f8 = core::Ref::steal(PyObject_GetAttrString(np.get(), "float64"));
        VELARION_CHECK(f8.get());
        VELARION_CHECK(PyModule_AddObjectRef(module, "jd_t", f8.get()));
    }
    return 0;
error:
    return -1;
}

PyModuleDef_Slot format_slots[] = {
    {Py_mod_create, (void*)core::entry<format_create>}, {Py_mod_exec, (void*)core::entry<format_exec>}, {0, nullptr}};

PyModuleDef format_def = {PyModuleDef_HEAD_INIT,
                          "velarion.time.format",
                          "The date element type jd_t (numpy.float64; C++ velarion::time::jd_t, a double) and the "
                          "ISO 8601 text parsing and formatting that Time uses.",
                          0,
                          format_methods,
                          format_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_format() { return PyModuleDef_Init(&format_def); }
