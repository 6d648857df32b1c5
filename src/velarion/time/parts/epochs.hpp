// Part of velarion.time.time's translation unit (included by time.cpp only,
// after its namespace aliases): the names the module looks up on every
// call, how a Time holds its epochs, and the conversion of those arrays
// between scales (UT1-UTC from velarion.iers).
#ifndef VELARION_TIME_PARTS_EPOCHS_HPP
#define VELARION_TIME_PARTS_EPOCHS_HPP

namespace {

using kn::Scale;
using vt::TimeObject;

// Names looked up on every call (interned once, at start-up).
enum Name : size_t { kArray2string, kDict, kEop, kFromJd, kIersModule, kShape, kUt1Utc, kUtcoffset };
core::InternedNames g_names{"array2string",  "__dict__", "EOP",     "from_jd",
                            "velarion.iers", "shape",    "ut1_utc", "utcoffset"};
// `Time.scale`, by scale.
core::InternedNames g_scale_names{bd::kScaleNames[0], bd::kScaleNames[1], bd::kScaleNames[2], bd::kScaleNames[3]};

inline TimeObject* as_time(PyObject* o) noexcept { return reinterpret_cast<TimeObject*>(o); }
inline Scale scale_of(const TimeObject* t) noexcept { return static_cast<Scale>(t->scale); }

// An epochs array pair. Arrays are float64 and C-contiguous.
struct Parts {
    core::Ref a;
    core::Ref b;
};

inline double* dptr(const core::Ref& r) noexcept { return core::data_of(r.get()); }
inline npy_intp size_of(PyObject* a) noexcept { return PyArray_SIZE(core::as_array(a)); }

core::Ref empty_like_shape(PyObject* like) {
    return core::empty(PyArray_NDIM(core::as_array(like)), PyArray_DIMS(core::as_array(like)));
}

// Two new arrays of the shape of `like`.
bool allocate_like(PyObject* like, Parts& out) {
    out.a = empty_like_shape(like);
    if (!out.a) return false;
    out.b = empty_like_shape(like);
    return static_cast<bool>(out.b);
}

void freeze(PyObject* a) noexcept { PyArray_CLEARFLAGS(core::as_array(a), NPY_ARRAY_WRITEABLE); }

// A new Time of `type` over the given arrays (made read-only), in `scale`.
PyObject* make_time(PyTypeObject* type, core::Ref a, core::Ref b, Scale scale) {
    freeze(a.get());
    freeze(b.get());
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    TimeObject* t = as_time(o);
    t->jd1 = a.release();
    t->jd2 = b.release();
    t->scale = static_cast<int>(scale);
    return o;
}

// Word for word (as every exception text of this module): callers and tests
// compare these texts.
bool check_init(TimeObject* t) {
    if (t->jd1 && t->jd2) return true;
    PyErr_SetString(PyExc_RuntimeError, "Time object is not initialised (Time.__new__ was not called)");
    return false;
}

// ------------------------------------------------------------------- UT1

// UT1-UTC at the given UTC MJDs, from velarion.iers (imported on first use,
// EOP looked up on each call so that a replaced table or function is seen).
struct Dut1 {
    core::Ref result;
    core::Ref column;
    core::View1D view;
    core::Strided1D<const double> v;
};

bool fetch_dut1(PyObject* mjd, npy_intp n, Dut1& out) {
    core::Ref mod = core::Ref::steal(PyImport_Import(g_names[kIersModule]));
    if (!mod) return false;
    core::Ref eop = core::Ref::steal(PyObject_GetAttr(mod.get(), g_names[kEop]));
    if (!eop) return false;
    // EOP gets a copy: a replaced EOP could write to or resize what it is
    // given, and the callers keep reading `mjd` afterwards.
    core::Ref arg = core::Ref::steal(PyArray_NewCopy(core::as_array(mjd), NPY_CORDER));
    if (!arg) return false;
    out.result = core::Ref::steal(PyObject_CallOneArg(eop.get(), arg.get()));
    if (!out.result) return false;
    out.column = core::Ref::steal(PyObject_GetAttr(out.result.get(), g_names[kUt1Utc]));
    if (!out.column) return false;
    if (!out.view.acquire(out.column.get(), false)) return false;
    if (!core::require_length(out.view, n, "EOP(...).ut1_utc")) return false;
    const core::Strided1D<double> v = out.view.span1();
    out.v = {v.base, n, v.stride};
    // The conversions add UT1-UTC as less than a day (a larger value, from a
    // replaced or broken provider, would carry the date out of its form).
    for (npy_intp i = 0; i < n; ++i) {
        const double dut1 = out.v[i];
        if (std::isfinite(dut1) && std::fabs(dut1) < kn::kDaySec) continue;
        core::Ref at_mjd = core::Ref::steal(PyFloat_FromDouble(core::data_of(mjd)[i]));
        if (!at_mjd) return false;
        if (!std::isfinite(dut1)) {
            PyErr_Format(PyExc_ValueError, "UT1-UTC from velarion.iers is not finite at MJD %R", at_mjd.get());
        } else {
            core::Ref value = core::Ref::steal(PyFloat_FromDouble(dut1));
            if (value)
                PyErr_Format(PyExc_ValueError, "UT1-UTC from velarion.iers is %R s at MJD %R: not within a day",
                             value.get(), at_mjd.get());
        }
        return false;
    }
    return true;
}

// UTC (any split) -> canonical UT1, given UTC in (a, b); writes o1, o2 (may
// alias a, b): the SI fraction of each UTC day, then UT1-UTC added.
bool utc_arrays_to_ut1(const double* a, const double* b, npy_intp n, double* o1, double* o2) {
    core::Ref mjd = core::empty(1, &n);
    if (!mjd) return false;
    kn::utc_epochs_to_si(a, b, n, dptr(mjd), o1, o2);
    Dut1 dut1;
    if (!fetch_dut1(mjd.get(), n, dut1)) return false;
    kn::add_ut1_minus_utc(o1, o2, n, dut1.v);
    return true;
}

// UT1 (any split) -> canonical TAI, in two rounds: UT1-TAI is continuous,
// so UT1-UTC looked up at the UT1 date (within a second of the UTC one)
// gives a UTC date good to 1e-7 s, and a second look-up there gives it to
// the precision of the table's interpolation.
bool ut1_arrays_to_tai(const double* a, const double* b, npy_intp n, double* o1, double* o2) {
    core::Ref guess = core::empty(1, &n);
    core::Ref utc_mjd = core::empty(1, &n);
    if (!guess || !utc_mjd) return false;
    kn::epoch_mjds(a, b, n, dptr(guess));
    {
        Dut1 first;
        if (!fetch_dut1(guess.get(), n, first)) return false;
        kn::ut1_epochs_to_utc_mjd(a, b, n, dptr(guess), first.v, dptr(utc_mjd));
    }
    Dut1 second;
    if (!fetch_dut1(utc_mjd.get(), n, second)) return false;
    kn::ut1_epochs_to_tai(a, b, n, dptr(utc_mjd), second.v, o1, o2);
    return true;
}

// The epochs (a, b) of scale `from` in scale `to`. The same scale gives the
// same (immutable) arrays back; anything else new arrays of the same shape.
// The conversions to and from UT1 call velarion.iers (Python code that may
// drop the last other reference to the Time that `a` and `b` belong to):
// they are held here until the end.
bool convert(PyObject* a, PyObject* b, Scale from, Scale to, Parts& out) {
    if (from == to) {
        out.a = core::Ref::borrow(a);
        out.b = core::Ref::borrow(b);
        return true;
    }
    const core::Ref hold_a = core::Ref::borrow(a);
    const core::Ref hold_b = core::Ref::borrow(b);
    if (!allocate_like(a, out)) return false;
    const npy_intp n = size_of(a);
    const double* x = core::data_of(a);
    const double* y = core::data_of(b);
    double* o1 = dptr(out.a);
    double* o2 = dptr(out.b);
    if (from == Scale::UT1) {
        if (!ut1_arrays_to_tai(x, y, n, o1, o2)) return false;
        kn::tai_epochs_to(to, o1, o2, n);
        return true;
    }
    if (to == Scale::UT1) {
        if (from == Scale::UTC) return utc_arrays_to_ut1(x, y, n, o1, o2);
        // To UTC first (into the output arrays), then on to UT1 in place.
        kn::convert_epochs(from, Scale::UTC, x, y, n, o1, o2);
        return utc_arrays_to_ut1(o1, o2, n, o1, o2);
    }
    kn::convert_epochs(from, to, x, y, n, o1, o2);
    return true;
}

bool convert_time(TimeObject* t, Scale to, Parts& out) {
    if (!check_init(t)) return false;
    return convert(t->jd1, t->jd2, scale_of(t), to, out);
}

}  // namespace

#endif
