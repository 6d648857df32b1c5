// velarion.time.time: Time, an array of epochs in UTC, TAI, TT or UT1.
//
// A Time holds two float64 arrays of the epochs' shape, jd1 and jd2 (the
// two parts of each Julian Date in the Time's scale), and the scale. The
// arrays are C-contiguous, read-only and private (what users get are views
// whose base is the Time), so views, slices and scale views of the same
// scale share them safely. Every way of making a Time stores the canonical
// split (jd1 the JD of a midnight, jd2 the fraction of the day on the 2^-52
// grid): one epoch, one pair.
//
// The numeric work lives in kernels/ (scales.hpp: scale conversions and the
// loops over epochs, leap seconds from ERFA; iso_*.hpp: ISO 8601 texts).
// This file holds the Python type and the module; its parts epochs.hpp
// (a Time's arrays and their conversion), inputs.hpp (what Time(...)
// reads) and arithmetic.hpp (the operators) are included below.
#include "velarion/_core/core.hpp"
#include "velarion/_core/iterate.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/time/binding.hpp"
#include "velarion/time/kernels/iso_format.hpp"
#include "velarion/time/kernels/iso_parse.hpp"  // IWYU pragma: keep (the parts below use it)
#include "velarion/time/kernels/scales.hpp"
#include "velarion/time/time.hpp"

#include <datetime.h>
#include <numpy/arrayscalars.h>  // IWYU pragma: keep (the parts below use it)

#include <cmath>
#include <cstring>
#include <utility>

namespace core = velarion::core;
namespace bd = velarion::time::binding;
namespace kn = velarion::time::kernels;
namespace vt = velarion::time;

// The parts of this translation unit, in order.
#include "velarion/time/parts/epochs.hpp"
#include "velarion/time/parts/inputs.hpp"
#include "velarion/time/parts/arithmetic.hpp"

namespace {

core::ModuleOnce g_once;
PyArray_Descr* g_dt64ns = nullptr;  // datetime64[ns], kept for the life of the process

// ------------------------------------------------------------- the type
//
// Word for word: callers and tests compare the exception texts below.

PyObject* Time_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static constexpr const char* kNames[] = {"value", "scale"};
    static constexpr core::Signature kSig{"Time", kNames, 1};
    core::Args<2> a;
    if (!core::parse_args(kSig, args, kwds, a)) return nullptr;
    Scale scale = Scale::UTC;
    if (!bd::parse_scale(a[1], scale)) return nullptr;
    const bool scale_given = a[1] && a[1] != Py_None;
    PyObject* value = a[0];
    if (vt::Time_Check(value)) {
        TimeObject* src = as_time(value);
        const Scale to = scale_given ? scale : scale_of(src);
        Parts p;
        if (!convert_time(src, to, p)) return nullptr;
        return make_time(type, std::move(p.a), std::move(p.b), to);
    }
    Ctx ctx{scale, scale_given, kn::LeapCursor()};
    Parts p;
    if (!value_to_jd(value, ctx, p)) return nullptr;
    return make_time(type, std::move(p.a), std::move(p.b), ctx.scale);
}

int Time_release(PyObject* self) {
    TimeObject* t = as_time(self);
    Py_CLEAR(t->jd1);
    Py_CLEAR(t->jd2);
    return 0;
}

// from_jd(jd1, jd2=0.0, scale="tt"), from_mjd(mjd, scale="utc"). The
// epochs are stored in the canonical split whatever split they come in, so
// that equal epochs are one pair for every reader of jd1, jd2, jd12 and mjd
// (a split like 2^60 and 2458112 - 2^60 loses the date in any naive sum).
PyObject* make_from_parts(PyTypeObject* type, PyObject* x, PyObject* y, Scale scale, bool mjd) {
    PyArrayObject* ops[4] = {core::as_array(x), core::as_array(y), nullptr, nullptr};
    core::Ref out[2];
    npy_intp stopped;
    kn::EpochFault fault = kn::EpochFault::kNone;
    const bool ok = core::iterate(
        bd::in_c_order(2, 2), ops, nullptr, out, &stopped, [&](char* const* d, const npy_intp* s, npy_intp n) {
            const kn::LoopEnd end =
                kn::canonical_epochs(bd::operand<const double>(d, s, n, 0), bd::operand<const double>(d, s, n, 1), mjd,
                                     bd::operand<double>(d, s, n, 2), bd::operand<double>(d, s, n, 3));
            fault = end.fault;
            return bd::stop_index(end);
        });
    if (!ok) return nullptr;
    if (fault == kn::EpochFault::kNotFinite) {
        PyErr_SetString(PyExc_ValueError, mjd ? "Time.from_mjd() got a value that is not finite (NaN or infinity)"
                                              : "Time.from_jd() got a value that is not finite (NaN or infinity)");
        return nullptr;
    }
    if (fault == kn::EpochFault::kOutOfRange) {
        PyErr_Format(PyExc_ValueError, "%s got a date outside the supported Julian Dates -68569.5 (year -4900) to 1e9",
                     mjd ? "Time.from_mjd()" : "Time.from_jd()");
        return nullptr;
    }
    return make_time(type, std::move(out[0]), std::move(out[1]), scale);
}

PyObject* Time_from_jd(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"jd1", "jd2", "scale"};
    static constexpr core::Signature kSig{"from_jd", kNames, 1};
    PyObject* a[3];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    Scale scale = Scale::TT;
    if (!bd::parse_scale(a[2], scale)) return nullptr;
    core::Ref x, y;
    if (!bd::jd_pair(a[0], a[1], x, y)) return nullptr;
    return make_from_parts(reinterpret_cast<PyTypeObject*>(cls), x.get(), y.get(), scale, false);
}

PyObject* Time_from_mjd(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"mjd", "scale"};
    static constexpr core::Signature kSig{"from_mjd", kNames, 1};
    PyObject* a[2];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    Scale scale = Scale::UTC;
    if (!bd::parse_scale(a[1], scale)) return nullptr;
    core::Ref x = bd::number_array(a[0], "mjd");
    if (!x) return nullptr;
    return make_from_parts(reinterpret_cast<PyTypeObject*>(cls), x.get(), x.get(), scale, true);
}

// --- properties

PyObject* Time_get_scale(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    return Py_NewRef(g_scale_names[t->scale]);
}

PyObject* Time_get_shape(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return PyObject_GetAttr(t->jd1, g_names[kShape]);
}

PyObject* Time_get_size(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return PyLong_FromSsize_t(size_of(t->jd1));
}

PyObject* Time_get_ndim(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return PyLong_FromLong(PyArray_NDIM(core::as_array(t->jd1)));
}

// A read-only view of a stored array whose base is the Time, not the array:
// an owning array as `.base` could be made writable again or resized under
// the Time (and the two parts would no longer match).
PyObject* readonly_view(PyObject* self, PyObject* part) {
    PyArrayObject* a = core::as_array(part);
    PyArray_Descr* d = PyArray_DESCR(a);
    Py_INCREF(d);
    core::Ref v = core::Ref::steal(PyArray_NewFromDescr(&PyArray_Type, d, PyArray_NDIM(a), PyArray_DIMS(a),
                                                        PyArray_STRIDES(a), PyArray_DATA(a), 0, nullptr));
    if (!v) return nullptr;
    if (PyArray_SetBaseObject(core::as_array(v.get()), Py_NewRef(self)) < 0) return nullptr;
    return v.release();
}

PyObject* Time_get_jd1(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return readonly_view(self, t->jd1);
}

PyObject* Time_get_jd2(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return readonly_view(self, t->jd2);
}

PyObject* Time_get_jd12(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    PyArrayObject* a = core::as_array(t->jd1);
    const int nd = PyArray_NDIM(a);
    npy_intp dims[NPY_MAXDIMS + 1];
    for (int i = 0; i < nd; ++i) dims[i] = PyArray_DIM(a, i);
    dims[nd] = 2;
    core::Ref out = core::empty(nd + 1, dims);
    if (!out) return nullptr;
    kn::interleave_parts(core::data_of(t->jd1), core::data_of(t->jd2), PyArray_SIZE(a), dptr(out));
    return out.release();
}

// A new array of the epochs' shape, one date per epoch from its two parts.
PyObject* dates(PyObject* self, void (*sums)(const double*, const double*, kn::index_t, double*) noexcept) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    core::Ref out = empty_like_shape(t->jd1);
    if (!out) return nullptr;
    sums(core::data_of(t->jd1), core::data_of(t->jd2), size_of(t->jd1), dptr(out));
    return out.release();
}

PyObject* Time_get_jd(PyObject* self, void*) { return dates(self, kn::jd_sums); }
PyObject* Time_get_mjd(PyObject* self, void*) { return dates(self, kn::mjd_sums); }

PyObject* scale_view(PyObject* self, Scale to) {
    TimeObject* t = as_time(self);
    Parts p;
    if (!convert_time(t, to, p)) return nullptr;
    return make_time(Py_TYPE(self), std::move(p.a), std::move(p.b), to);
}

PyObject* Time_get_utc(PyObject* self, void*) { return scale_view(self, Scale::UTC); }
PyObject* Time_get_tai(PyObject* self, void*) { return scale_view(self, Scale::TAI); }
PyObject* Time_get_tt(PyObject* self, void*) { return scale_view(self, Scale::TT); }
PyObject* Time_get_ut1(PyObject* self, void*) { return scale_view(self, Scale::UT1); }

// Calendar day and nanosecond of each epoch, in the Time's own clock.
bool civil_ns(TimeObject* t, bd::CivilArrays& out) {
    if (!out.allocate(size_of(t->jd1))) return false;
    kn::LeapCursor cur;
    kn::civil_ns_epochs(bd::elements<const double>(t->jd1), bd::elements<const double>(t->jd2),
                        scale_of(t) == Scale::UTC, false, bd::elements<int64_t>(out.mjd_array.get()),
                        bd::elements<int64_t>(out.ns_array.get()), cur);
    return true;
}

PyObject* iso_texts(TimeObject* t) {
    bd::CivilArrays civil;
    if (!civil_ns(t, civil)) return nullptr;
    PyArrayObject* a = core::as_array(t->jd1);
    return bd::iso_texts(PyArray_NDIM(a), PyArray_DIMS(a), civil, PyArray_SIZE(a), -1);
}

PyObject* Time_get_iso(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return iso_texts(t);
}

PyObject* Time_to_datetime64(PyObject* self, PyObject*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    PyArrayObject* a = core::as_array(t->jd1);
    Py_INCREF(g_dt64ns);
    core::Ref out = core::Ref::steal(
        PyArray_NewFromDescr(&PyArray_Type, g_dt64ns, PyArray_NDIM(a), PyArray_DIMS(a), nullptr, nullptr, 0, nullptr));
    if (!out) return nullptr;
    const double* x = core::data_of(t->jd1);
    const double* y = core::data_of(t->jd2);
    const bool utc = scale_of(t) == Scale::UTC;
    auto* o = static_cast<npy_datetime*>(PyArray_DATA(core::as_array(out.get())));
    const kn::LoopEnd end = kn::datetime64_ns_epochs(x, y, PyArray_SIZE(a), utc, o);
    if (end.fault == kn::EpochFault::kLeapSecond) {
        kn::LeapCursor cur;
        int64_t mjd, ns;
        kn::jd_to_civil_ns(x[end.at], y[end.at], utc, cur, mjd, ns);
        char buf[kn::kIsoMaxLen];
        const size_t len = kn::format_iso(mjd, ns, 9, buf);
        core::Ref text = core::Ref::steal(PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(len)));
        if (text)
            PyErr_Format(PyExc_ValueError, "%U is inside a leap second, which numpy.datetime64 cannot represent",
                         text.get());
        return nullptr;
    }
    if (end.fault == kn::EpochFault::kOutOfRange) {
        PyErr_SetString(PyExc_ValueError, "epoch outside the range of numpy.datetime64[ns] (years 1678-2261)");
        return nullptr;
    }
    return PyArray_Return(core::as_array(out.release()));
}

// --- protocol slots

const char* short_type_name(PyTypeObject* tp) {
    const char* dot = std::strrchr(tp->tp_name, '.');
    return dot ? dot + 1 : tp->tp_name;
}

PyObject* Time_repr(PyObject* self) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    core::Ref iso = core::Ref::steal(iso_texts(t));
    if (!iso) return nullptr;
    // The class name as an owned str: numpy.array2string below is Python
    // code, which may rename the class (its tp_name buffer is then freed).
    core::Ref name = core::Ref::steal(PyUnicode_FromString(short_type_name(Py_TYPE(self))));
    if (!name) return nullptr;
    const char* scale = bd::scale_name(scale_of(t));
    if (PyUnicode_Check(iso.get())) return PyUnicode_FromFormat("%U(%R, scale='%s')", name.get(), iso.get(), scale);
    core::Ref np = core::Ref::steal(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;
    core::Ref prefix = core::Ref::steal(PyUnicode_FromFormat("%U(", name.get()));
    if (!prefix) return nullptr;
    core::Ref fn = core::Ref::steal(PyObject_GetAttr(np.get(), g_names[kArray2string]));
    if (!fn) return nullptr;
    core::Ref args = core::Ref::steal(PyTuple_Pack(1, iso.get()));
    core::Ref kw = core::Ref::steal(Py_BuildValue("{s:s,s:O}", "separator", ", ", "prefix", prefix.get()));
    if (!args || !kw) return nullptr;
    core::Ref body = core::Ref::steal(PyObject_Call(fn.get(), args.get(), kw.get()));
    if (!body) return nullptr;
    return PyUnicode_FromFormat("%U(%U, scale='%s')", name.get(), body.get(), scale);
}

PyObject* Time_str(PyObject* self) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    core::Ref iso = core::Ref::steal(iso_texts(t));
    if (!iso) return nullptr;
    if (PyUnicode_Check(iso.get())) return iso.release();
    return PyObject_Str(iso.get());
}

Py_ssize_t Time_length(PyObject* self) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return -1;
    if (PyArray_NDIM(core::as_array(t->jd1)) == 0) {
        PyErr_SetString(PyExc_TypeError, "len() of unsized Time (a single epoch)");
        return -1;
    }
    return PyArray_DIM(core::as_array(t->jd1), 0);
}

// Truthiness as NumPy's: one epoch (a scalar or an array of one) is true, as
// every epoch is; an empty or many-epoch Time is ambiguous (ValueError), so
// `if p.rise:` works while `if times:` on an array does not guess.
int Time_bool(PyObject* self) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return -1;
    const npy_intp size = PyArray_SIZE(core::as_array(t->jd1));
    if (size == 1) return 1;
    PyErr_Format(PyExc_ValueError,
                 "the truth value of a Time of %zd epochs is ambiguous; test its .size (or use None for no time)",
                 static_cast<Py_ssize_t>(size));
    return -1;
}

// An indexing result as a C-contiguous read-only float64 array.
core::Ref as_part(PyObject* r) {
    if (PyArray_Check(r)) {
        PyArrayObject* a = core::as_array(r);
        if (PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a) && PyArray_TYPE(a) == NPY_DOUBLE &&
            PyArray_ISNBO(PyArray_DESCR(a)->byteorder))
            return core::Ref::borrow(r);
    }
    return core::Ref::steal(PyArray_FromAny(r, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                            NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSUREARRAY,
                                            nullptr));
}

// Index parts that numpy reads without running Python code, so that jd1
// and jd2 indexed with them select the same epochs: None, Ellipsis, exact
// ints and bools, slices of those, NumPy's own scalars, exact arrays, exact
// lists (and tuples within them) of these, and the exact builtin scalars
// numpy refuses.
bool inert_index(PyObject* o, int depth) {
    if (o == Py_None || o == Py_Ellipsis || PyLong_CheckExact(o) || PyBool_Check(o) || PyArray_CheckExact(o))
        return true;
    // Refused by numpy as they are (with its own message), and nothing in them can run code.
    if (PyFloat_CheckExact(o) || PyUnicode_CheckExact(o) || PyBytes_CheckExact(o) || PyComplex_CheckExact(o))
        return true;
    if (PySlice_Check(o)) {
        auto* s = reinterpret_cast<PySliceObject*>(o);
        for (PyObject* f : {s->start, s->stop, s->step})
            if (f != Py_None && !PyLong_CheckExact(f)) return false;
        return true;
    }
    if (PyArray_IsScalar(o, Generic)) return !(Py_TYPE(o)->tp_flags & Py_TPFLAGS_HEAPTYPE);
    if (depth < 8 && (PyList_CheckExact(o) || (depth > 0 && PyTuple_CheckExact(o)))) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i)
            if (!inert_index(PySequence_Fast_GET_ITEM(o, i), depth + 1)) return false;
        return true;
    }
    return false;
}

// One part of an index, read once (its __index__, __array__ or sequence
// protocol runs here and only here) into an inert form.
core::Ref freeze_index_part(PyObject* o) {
    if (inert_index(o, 0)) return core::Ref::borrow(o);
    if (PySlice_Check(o)) {
        auto* s = reinterpret_cast<PySliceObject*>(o);
        core::Ref f[3];
        PyObject* fields[3] = {s->start, s->stop, s->step};
        for (int k = 0; k < 3; ++k) {
            f[k] = fields[k] == Py_None ? core::Ref::borrow(Py_None) : core::Ref::steal(PyNumber_Index(fields[k]));
            if (!f[k]) return {};
        }
        return core::Ref::steal(PySlice_New(f[0].get(), f[1].get(), f[2].get()));
    }
    if (PyIndex_Check(o) && !PyArray_Check(o)) return core::Ref::steal(PyNumber_Index(o));
    return core::Ref::steal(PyArray_FromAny(o, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
}

// The key of t[key] in a form that indexes jd1 and jd2 alike: a key whose
// __index__ or __array__ answered differently the second time would give
// parts of different epochs, or of different shapes.
core::Ref freeze_index(PyObject* key) {
    if (inert_index(key, 0) || (PyTuple_CheckExact(key) && inert_index(key, 1))) return core::Ref::borrow(key);
    if (!PyTuple_Check(key)) return freeze_index_part(key);
    const Py_ssize_t n = PyTuple_GET_SIZE(key);
    core::Ref out = core::Ref::steal(PyTuple_New(n));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        // PyTuple_GET_ITEM of `key`, re-read each time (a tuple's items stay put).
        core::Ref part = freeze_index_part(PyTuple_GET_ITEM(key, i));
        if (!part) return {};
        PyTuple_SET_ITEM(out.get(), i, part.release());
    }
    return out;
}

PyObject* Time_subscript(PyObject* self, PyObject* key) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    if (vt::Time_Check(key)) {
        PyErr_SetString(PyExc_IndexError, "a Time cannot index a Time");
        return nullptr;
    }
    const core::Ref index = freeze_index(key);
    if (!index) return nullptr;
    core::Ref r1 = core::Ref::steal(PyObject_GetItem(t->jd1, index.get()));
    if (!r1) return nullptr;
    core::Ref r2 = core::Ref::steal(PyObject_GetItem(t->jd2, index.get()));
    if (!r2) return nullptr;
    core::Ref a = as_part(r1.get());
    if (!a) return nullptr;
    core::Ref b = as_part(r2.get());
    if (!b) return nullptr;
    return make_time(Py_TYPE(self), std::move(a), std::move(b), scale_of(t));
}

PyObject* Time_item(PyObject* self, Py_ssize_t i) {
    // One epoch of a one-dimensional Time (iteration asks for each in turn):
    // its two parts copied straight into new scalars, the values t[i] gives.
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    PyArrayObject* a1 = core::as_array(t->jd1);
    PyArrayObject* a2 = core::as_array(t->jd2);
    if (PyArray_NDIM(a1) == 1 && PyArray_NDIM(a2) == 1 && i >= 0 && i < PyArray_DIM(a1, 0) && i < PyArray_DIM(a2, 0)) {
        core::Ref a = core::empty(0, nullptr);
        if (!a) return nullptr;
        core::Ref b = core::empty(0, nullptr);
        if (!b) return nullptr;
        core::data_of(a.get())[0] = *static_cast<const double*>(PyArray_GETPTR1(a1, i));
        core::data_of(b.get())[0] = *static_cast<const double*>(PyArray_GETPTR1(a2, i));
        return make_time(Py_TYPE(self), std::move(a), std::move(b), scale_of(t));
    }
    core::Ref key = core::Ref::steal(PyLong_FromSsize_t(i));
    if (!key) return nullptr;
    return Time_subscript(self, key.get());
}

PyObject* Time_iter(PyObject* self) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    if (PyArray_NDIM(core::as_array(t->jd1)) == 0) {
        PyErr_SetString(PyExc_TypeError, "iteration over a single-epoch Time");
        return nullptr;
    }
    return PySeqIter_New(self);
}

PyObject* Time_reduce(PyObject* self, PyObject*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    core::Ref ctor = core::Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), g_names[kFromJd]));
    if (!ctor) return nullptr;
    core::Ref a, b;
    if (PyArray_NDIM(core::as_array(t->jd1)) == 0) {
        a = core::Ref::steal(PyFloat_FromDouble(core::data_of(t->jd1)[0]));
        b = core::Ref::steal(PyFloat_FromDouble(core::data_of(t->jd2)[0]));
    } else {
        a = core::Ref::steal(PyArray_NewCopy(core::as_array(t->jd1), NPY_CORDER));
        b = core::Ref::steal(PyArray_NewCopy(core::as_array(t->jd2), NPY_CORDER));
    }
    if (!a || !b) return nullptr;
    core::Ref args = core::Ref::steal(PyTuple_Pack(3, a.get(), b.get(), g_scale_names[t->scale]));
    if (!args) return nullptr;
    // Instance attributes of a subclass travel as the state.
    core::Ref state;
    if (Py_TYPE(self)->tp_dictoffset != 0) {
        state = core::Ref::steal(PyObject_GetAttr(self, g_names[kDict]));
        if (!state)
            PyErr_Clear();
        else if (PyDict_Check(state.get()) && PyDict_GET_SIZE(state.get()) == 0)
            state.reset();
    }
    if (state) return PyTuple_Pack(3, ctor.get(), args.get(), state.get());
    return PyTuple_Pack(2, ctor.get(), args.get());
}

// ------------------------------------------------------ the type object
//
// Word for word: the docstrings are what help() and the documentation show.

PyGetSetDef Time_getset[] = {
    {"scale", core::entry<Time_get_scale>, nullptr, "Time scale: 'utc', 'tai', 'tt' or 'ut1'.", nullptr},
    {"shape", core::entry<Time_get_shape>, nullptr, "Shape of the array of epochs (() for a single epoch).", nullptr},
    {"size", core::entry<Time_get_size>, nullptr, "Number of epochs.", nullptr},
    {"ndim", core::entry<Time_get_ndim>, nullptr, "Number of dimensions of the array of epochs.", nullptr},
    {"jd1", core::entry<Time_get_jd1>, nullptr, "First parts of the two-part Julian Dates (a read-only view).",
     nullptr},
    {"jd2", core::entry<Time_get_jd2>, nullptr, "Second parts of the two-part Julian Dates (a read-only view).",
     nullptr},
    {"jd12", core::entry<Time_get_jd12>, nullptr,
     "Two-part Julian Dates: a new writable float64 array of shape shape + (2,), C-contiguous; row i is "
     "(jd1, jd2) of epoch i, their sum the date.",
     nullptr},
    {"jd", core::entry<Time_get_jd>, nullptr, "Julian Dates (a new float64 array of the epochs' shape).", nullptr},
    {"mjd", core::entry<Time_get_mjd>, nullptr, "Modified Julian Dates (a new float64 array of the epochs' shape).",
     nullptr},
    {"utc", core::entry<Time_get_utc>, nullptr, "The same epochs in UTC (a new Time).", nullptr},
    {"tai", core::entry<Time_get_tai>, nullptr, "The same epochs in TAI (a new Time).", nullptr},
    {"tt", core::entry<Time_get_tt>, nullptr, "The same epochs in TT (a new Time).", nullptr},
    {"ut1", core::entry<Time_get_ut1>, nullptr, "The same epochs in UT1 (a new Time; UT1-UTC from velarion.iers).",
     nullptr},
    {"iso", core::entry<Time_get_iso>, nullptr,
     "ISO 8601 texts of the epochs on the Time's own clock (YYYY-MM-DDThh:mm:ss with the decimals needed, up "
     "to nanoseconds): a str for a single epoch, else an array of str.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef Time_methods[] = {
    {"from_jd", VELARION_FASTCALL(Time_from_jd), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_jd(jd1, jd2=0.0, scale='tt')\n--\n\n"
     "Time from two-part Julian Dates (numbers or arrays, broadcast together). Any split of a date gives the "
     "same epoch, stored as the JD of its midnight (jd1) and the fraction of the day (jd2, to 2^-52 day)."},
    {"from_mjd", VELARION_FASTCALL(Time_from_mjd), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_mjd(mjd, scale='utc')\n--\n\nTime from Modified Julian Dates (numbers or arrays)."},
    {"to_datetime64", core::entry<Time_to_datetime64>, METH_NOARGS,
     "to_datetime64()\n--\n\n"
     "The epochs as numpy.datetime64[ns] on the Time's own clock (a scalar for a single epoch). An epoch "
     "inside a leap second raises ValueError."},
    {"__reduce__", core::entry<Time_reduce>, METH_NOARGS, "Pickling support: rebuilt with from_jd from the two parts."},
    {nullptr, nullptr, 0, nullptr}};

constexpr const char* kTimeDoc =
    "Time(value, scale=None)\n--\n\n"
    "An array of epochs (any shape, a single epoch has shape ()) in the scale 'utc', 'tai', 'tt' or 'ut1'.\n\n"
    "value: an ISO 8601 str ('2024-03-20', '2024-03-20T12:00', '2024-03-20 12:00:00.123456789', optional "
    "trailing Z; second 60 only on a UTC leap-second day), datetime.datetime (naive: read in `scale`; aware: "
    "converted to UTC), datetime.date, numpy.datetime64, another Time, or a sequence or array of these (the "
    "shape is kept).\n"
    "scale: None means 'utc' for dates and times, and the scale of a Time (a Time given a scale is converted).\n\n"
    "UTC Julian Dates follow ERFA's convention on leap-second days (the day is 86401 s long). `t1 - t2` gives "
    "SI seconds (computed on TAI) and `t + seconds` a Time in t's scale.";

PyType_Slot Time_slots[] = {{Py_tp_doc, (void*)kTimeDoc},
                            {Py_tp_new, (void*)core::entry<Time_new>},
                            {Py_tp_dealloc, (void*)core::entry<core::heap_dealloc<Time_release>>},
                            {Py_tp_repr, (void*)core::entry<Time_repr>},
                            {Py_tp_str, (void*)core::entry<Time_str>},
                            {Py_tp_hash, (void*)PyObject_HashNotImplemented},
                            {Py_tp_richcompare, (void*)core::entry<Time_richcompare>},
                            {Py_tp_iter, (void*)core::entry<Time_iter>},
                            {Py_tp_getset, (void*)Time_getset},
                            {Py_tp_methods, (void*)Time_methods},
                            {Py_nb_add, (void*)core::entry<Time_add>},
                            {Py_nb_subtract, (void*)core::entry<Time_subtract>},
                            {Py_mp_subscript, (void*)core::entry<Time_subscript>},
                            {Py_nb_bool, (void*)core::entry<Time_bool>},
                            {Py_mp_length, (void*)core::entry<Time_length>},
                            {Py_sq_length, (void*)core::entry<Time_length>},
                            {Py_sq_item, (void*)core::entry<Time_item>},
                            {0, nullptr}};

PyType_Spec Time_spec = {"velarion.time.time.Time", sizeof(TimeObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
                         Time_slots};

// ------------------------------------------------------------ the module

PyObject* time_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int time_exec(PyObject* module) {
    if (int r = g_once.enter(module, "time"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(PyDateTime_IMPORT);
    VELARION_CHECK(bd::load_leap_table("velarion.time.time"));
    VELARION_CHECK(g_names.init());
    VELARION_CHECK(g_scale_names.init());
    {
        core::Ref text = core::Ref::steal(PyUnicode_FromString("M8[ns]"));
        VELARION_CHECK(text.get());
        VELARION_CHECK(PyArray_DescrConverter(text.get(), &g_dt64ns) == NPY_SUCCEED);
    }
    VELARION_CHECK(vt::Time_Type = core::add_type(module, &Time_spec));
    // NumPy operators defer to Time's own (t + array, array + t).
    VELARION_CHECK(PyObject_SetAttrString(reinterpret_cast<PyObject*>(vt::Time_Type), "__array_ufunc__", Py_None));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot time_slots[] = {
    {Py_mod_create, (void*)core::entry<time_create>}, {Py_mod_exec, (void*)core::entry<time_exec>}, {0, nullptr}};

PyModuleDef time_def = {PyModuleDef_HEAD_INIT,
                        "velarion.time.time",
                        "Time: arrays of epochs in UTC, TAI, TT and UT1, with leap seconds from ERFA.",
                        0,
                        nullptr,
                        time_slots,
                        nullptr,
                        nullptr,
                        nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_time() { return PyModuleDef_Init(&time_def); }
