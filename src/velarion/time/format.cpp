// velarion.time.format: the date element type jd_t and the ISO 8601 text
// parsing and formatting that Time uses, for direct use on arrays.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/time/kernels/format.hpp"
#include "velarion/time/loops.hpp"
#include "velarion/time/kernels/scales.hpp"
#include "velarion/time/text_binding.hpp"

#include <cmath>

namespace core = velarion::core;
namespace vt = velarion::time;
namespace kn = velarion::time::kernels;

namespace {

core::ModuleOnce g_once;

inline PyArrayObject* arr(PyObject* o) noexcept { return reinterpret_cast<PyArrayObject*>(o); }

// The scale argument of these functions: only whether it is UTC matters.
bool read_scale(PyObject* obj, bool& utc) {
    if (!obj || obj == Py_None) {
        utc = true;
        return true;
    }
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "scale must be a str ('utc', 'tai', 'tt' or 'ut1'), not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    static constexpr const char* kNames[] = {"utc", "tai", "tt", "ut1"};
    for (const char* n : kNames) {
        if (PyUnicode_CompareWithASCIIString(obj, n) == 0) {
            utc = n == kNames[0];
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown time scale %R (expected 'utc', 'tai', 'tt' or 'ut1')", obj);
    return false;
}

PyObject* py_parse_iso(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"texts", "scale"};
    static constexpr core::Signature kSig{"parse_iso", kNames, 1};
    PyObject* a[2];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    bool utc;
    if (!read_scale(a[1], utc)) return nullptr;
    kn::LeapCursor cur;
    if (PyUnicode_Check(a[0])) {
        Py_ssize_t len;
        const char* p = PyUnicode_AsUTF8AndSize(a[0], &len);
        if (!p) return nullptr;
        double j1, j2;
        kn::CivilTime c;
        const kn::TextError e = kn::parse_iso(p, static_cast<size_t>(len), utc, cur, j1, j2, c);
        if (e != kn::TextError::kNone) {
            vt::raise_text_error(a[0], e, c, utc, nullptr);
            return nullptr;
        }
        return Py_BuildValue("(dd)", j1, j2);
    }
    core::Ref in = core::Ref::steal(PyArray_FromAny(a[0], nullptr, 0, 0, 0, nullptr));
    if (!in) return nullptr;
    PyArrayObject* A = arr(in.get());
    if (PyArray_SIZE(A) > 0 && PyArray_DESCR(A)->kind != 'U') {
        PyErr_Format(PyExc_TypeError, "parse_iso() takes a str or an array of str, not an array of dtype %S",
                     reinterpret_cast<PyObject*>(PyArray_DESCR(A)));
        return nullptr;
    }
    core::Ref o1 = core::empty(PyArray_NDIM(A), PyArray_DIMS(A));
    core::Ref o2 = core::empty(PyArray_NDIM(A), PyArray_DIMS(A));
    if (!o1 || !o2) return nullptr;
    if (!vt::parse_str_array(in.get(), utc, nullptr, cur, core::data_of(o1.get()), core::data_of(o2.get())))
        return nullptr;
    return PyTuple_Pack(2, o1.get(), o2.get());
}

core::Ref float_array(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "%s must be a number or an array of numbers, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return {};
    }
    core::Ref a = core::Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!a) return {};
    const char kind = PyArray_DESCR(arr(a.get()))->kind;
    if (kind != 'i' && kind != 'u' && kind != 'f') {
        PyErr_Format(PyExc_TypeError, "%s must be a number or an array of numbers, not an array of dtype %S", name,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(arr(a.get()))));
        return {};
    }
    return core::Ref::steal(PyArray_FromAny(a.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                            NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
}

PyObject* py_format_iso(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"jd1", "jd2", "scale", "decimals"};
    static constexpr core::Signature kSig{"format_iso", kNames, 1};
    PyObject* a[4];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    bool utc;
    if (!read_scale(a[2], utc)) return nullptr;
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
    core::Ref x = float_array(a[0], "jd1");
    if (!x) return nullptr;
    core::Ref y;
    if (a[1]) {
        y = float_array(a[1], "jd2");
    } else {
        y = core::empty(0, nullptr);
        if (y) core::data_of(y.get())[0] = 0.0;
    }
    if (!y) return nullptr;
    // Calendar day and nanosecond of each epoch of the broadcast pair.
    PyObject* in[2] = {x.get(), y.get()};
    core::Ref out[2];
    kn::LeapCursor cur;
    auto body = [&](char** d, npy_intp* s, npy_intp count) {
        char *p = d[0], *q = d[1], *o1 = d[2], *o2 = d[3];
        for (npy_intp i = 0; i < count; ++i) {
            const double u = vt::at(p), v = vt::at(q);
            if (!kn::jd_pair_in_range(u, v)) return false;
            kn::jd_to_civil_ns(u, v, utc, cur, *reinterpret_cast<int64_t*>(o1), *reinterpret_cast<int64_t*>(o2));
            p += s[0];
            q += s[1];
            o1 += s[2];
            o2 += s[3];
        }
        return true;
    };
    if (!vt::broadcast(2, in, 2, NPY_INT64, out, body)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "format_iso() got a Julian Date that is not finite or out of range");
        return nullptr;
    }
    PyArrayObject* shape = core::as_array(out[0].get());
    vt::CivilArrays civil(std::move(out[0]), std::move(out[1]));
    return vt::iso_texts(PyArray_NDIM(shape), PyArray_DIMS(shape), civil, PyArray_SIZE(shape), decimals);
}

PyMethodDef format_methods[] = {
    {"parse_iso", (PyCFunction)(void (*)(void))core::entry<py_parse_iso>, METH_FASTCALL | METH_KEYWORDS,
     "parse_iso(texts, scale='utc')\n--\n\n"
     "ISO 8601 texts (a str or an array-like of str) -> (jd1, jd2): jd1 the Julian Date of the day's midnight, "
     "jd2 the fraction of the day, read as calendar fields of `scale` (in UTC a leap-second day is 86401 s "
     "long). A str gives two floats, an array two float64 arrays of its shape."},
    {"format_iso", (PyCFunction)(void (*)(void))core::entry<py_format_iso>, METH_FASTCALL | METH_KEYWORDS,
     "format_iso(jd1, jd2=0.0, scale='utc', decimals=None)\n--\n\n"
     "Two-part Julian Dates -> ISO 8601 texts (YYYY-MM-DDThh:mm:ss[.f...]) on the clock of `scale`, rounded to "
     "the nanosecond. `decimals` None uses the fewest of 0, 3, 6 or 9 that show every epoch exactly. Scalars "
     "give a str, arrays an array of str."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* format_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int format_exec(PyObject* module) {
    if (int r = g_once.enter(module, "format"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    if (!kn::g_leap_table.build()) {
        PyErr_SetString(PyExc_ImportError, "velarion.time.format: could not read the leap-second table from ERFA");
        return -1;
    }
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

PyModuleDef format_def = {PyModuleDef_HEAD_INIT, "velarion.time.format",
                          "The date element type jd_t (numpy.float64; C++ velarion::time::jd_t, a double) and the "
                          "ISO 8601 text parsing and formatting that Time uses.",
                          0, format_methods, format_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_format() { return PyModuleDef_Init(&format_def); }
