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
// The numeric work lives in kernels/scales.hpp (scale conversions, leap seconds
// from ERFA) and format.hpp (ISO 8601 texts); this file holds the Python
// type, the input forms and the array plumbing.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/time/kernels/format.hpp"
#include "velarion/time/loops.hpp"
#include "velarion/time/kernels/scales.hpp"
#include "velarion/time/text_binding.hpp"
#include "velarion/time/time.hpp"

#include <datetime.h>
#include <numpy/arrayscalars.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace core = velarion::core;
namespace vt = velarion::time;
namespace kn = velarion::time::kernels;
using vt::TimeObject;
using vt::at;
using vt::broadcast;

namespace {

core::ModuleOnce g_once;
PyTypeObject* g_time_type = nullptr;  // strong reference, kept for the life of the process
PyObject* g_scale_str[4] = {nullptr, nullptr, nullptr, nullptr};
PyArray_Descr* g_dt64ns = nullptr;

constexpr int kUTC = static_cast<int>(vt::Scale::UTC);
constexpr int kTAI = static_cast<int>(vt::Scale::TAI);
constexpr int kTT = static_cast<int>(vt::Scale::TT);
constexpr int kUT1 = static_cast<int>(vt::Scale::UT1);
constexpr const char* kScaleName[4] = {"utc", "tai", "tt", "ut1"};

inline TimeObject* as_time(PyObject* o) noexcept { return reinterpret_cast<TimeObject*>(o); }
inline PyArrayObject* arr(PyObject* o) noexcept { return reinterpret_cast<PyArrayObject*>(o); }
inline bool is_time(PyObject* o) noexcept { return PyObject_TypeCheck(o, g_time_type); }

// ------------------------------------------------------------------ scales

// Reads a scale argument: None gives `dflt` (which may be -1, "unspecified").
bool parse_scale(PyObject* obj, int dflt, int& out) {
    if (!obj || obj == Py_None) {
        out = dflt;
        return true;
    }
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "scale must be a str ('utc', 'tai', 'tt' or 'ut1'), not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    for (int s = 0; s < 4; ++s) {
        if (PyUnicode_CompareWithASCIIString(obj, kScaleName[s]) == 0) {
            out = s;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown time scale %R (expected 'utc', 'tai', 'tt' or 'ut1')", obj);
    return false;
}

// -------------------------------------------------------------- the arrays

// An epochs array pair. Arrays are float64 and C-contiguous.
struct Parts {
    core::Ref a;
    core::Ref b;
};

inline double* dptr(const core::Ref& r) noexcept { return core::data_of(r.get()); }
inline npy_intp size_of(PyObject* a) noexcept { return PyArray_SIZE(arr(a)); }

core::Ref empty_like_shape(PyObject* like) {
    return core::empty(PyArray_NDIM(arr(like)), PyArray_DIMS(arr(like)));
}

void freeze(PyObject* a) noexcept { PyArray_CLEARFLAGS(arr(a), NPY_ARRAY_WRITEABLE); }

// A new Time of `type` over the given arrays (made read-only), in `scale`.
PyObject* make_time(PyTypeObject* type, core::Ref a, core::Ref b, int scale) {
    freeze(a.get());
    freeze(b.get());
    PyObject* o = type->tp_alloc(type, 0);
    if (!o) return nullptr;
    TimeObject* t = as_time(o);
    t->jd1 = a.release();
    t->jd2 = b.release();
    t->scale = scale;
    return o;
}

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
    core::Strided1D<double> v;
};

bool fetch_dut1(PyObject* mjd, npy_intp n, Dut1& out) {
    core::Ref mod = core::Ref::steal(PyImport_ImportModule("velarion.iers"));
    if (!mod) return false;
    core::Ref eop = core::Ref::steal(PyObject_GetAttrString(mod.get(), "EOP"));
    if (!eop) return false;
    // EOP gets a copy: a replaced EOP could write to or resize what it is
    // given, and the callers keep reading `mjd` afterwards.
    core::Ref arg = core::Ref::steal(PyArray_NewCopy(arr(mjd), NPY_CORDER));
    if (!arg) return false;
    out.result = core::Ref::steal(PyObject_CallOneArg(eop.get(), arg.get()));
    if (!out.result) return false;
    out.column = core::Ref::steal(PyObject_GetAttrString(out.result.get(), "ut1_utc"));
    if (!out.column) return false;
    if (!out.view.acquire(out.column.get(), false)) return false;
    if (!core::require_length(out.view, n, "EOP(...).ut1_utc")) return false;
    out.v = out.view.span1();
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

// ------------------------------------------------------------ conversion

// UTC (any split) -> canonical UT1, given UTC in (a, b); writes o1, o2 (may
// alias a, b). First pass: the UTC MJDs for the look-up, and in o1, o2 the
// day and SI fraction of each epoch; second pass: add UT1-UTC.
bool utc_arrays_to_ut1(const double* a, const double* b, npy_intp n, double* o1, double* o2) {
    npy_intp one = n;
    core::Ref mjd = core::empty(1, &one);
    if (!mjd) return false;
    double* m = dptr(mjd);
    kn::LeapCursor cur;
    for (npy_intp i = 0; i < n; ++i) {
        const kn::DayFrac u = kn::canonical(a[i], b[i]);
        const int64_t day = kn::mjd_of(u.day);
        m[i] = static_cast<double>(day) + u.frac;
        o1[i] = u.day;
        o2[i] = kn::utc_si_fraction(u.frac, cur.get(day));
    }
    Dut1 dut1;
    if (!fetch_dut1(mjd.get(), n, dut1)) return false;
    for (npy_intp i = 0; i < n; ++i) {
        const kn::DayFrac r = kn::add_days(o1[i], o2[i], dut1.v[i] / kn::kDaySec);
        o1[i] = r.day;
        o2[i] = r.frac;
    }
    return true;
}

// UT1 (any split) -> canonical TAI, in two rounds: UT1-TAI is continuous,
// so UT1-UTC looked up at the UT1 date (within a second of the UTC one)
// gives a UTC date good to 1e-7 s, and a second look-up there gives it to
// the precision of the table's interpolation.
bool ut1_arrays_to_tai(const double* a, const double* b, npy_intp n, double* o1, double* o2) {
    npy_intp one = n;
    core::Ref mjd = core::empty(1, &one);
    if (!mjd) return false;
    double* m = dptr(mjd);
    for (npy_intp i = 0; i < n; ++i) {
        const kn::DayFrac u = kn::canonical(a[i], b[i]);
        m[i] = static_cast<double>(kn::mjd_of(u.day)) + u.frac;
    }
    kn::LeapCursor cur;
    for (int round = 0; round < 2; ++round) {
        Dut1 dut1;
        if (!fetch_dut1(mjd.get(), n, dut1)) return false;
        core::Ref next;
        double* mn = nullptr;
        if (round == 0) {
            next = core::empty(1, &one);
            if (!next) return false;
            mn = dptr(next);
        }
        for (npy_intp i = 0; i < n; ++i) {
            const kn::DayFrac u = kn::canonical(a[i], b[i]);
            const double dta = kn::ut1_minus_tai(static_cast<int64_t>(kn::floor_small(m[i])), dut1.v[i], cur);
            const kn::DayFrac tai = kn::ut1_to_tai(u.day, u.frac, dta);
            if (round == 0) {
                const kn::DayFrac utc = kn::tai_to_utc(tai.day, tai.frac, cur);
                mn[i] = static_cast<double>(kn::mjd_of(utc.day)) + utc.frac;
            } else {
                o1[i] = tai.day;
                o2[i] = tai.frac;
            }
        }
        if (round == 0) {
            mjd = std::move(next);
            m = dptr(mjd);
        }
    }
    return true;
}

// Canonical TAI in (a, b) -> scale `to` (not UT1), in place.
void tai_arrays_to(int to, double* a, double* b, npy_intp n) {
    if (to == kTAI) return;
    kn::LeapCursor cur;
    for (npy_intp i = 0; i < n; ++i) {
        const kn::DayFrac r = to == kTT ? kn::tai_to_tt(a[i], b[i]) : kn::tai_to_utc(a[i], b[i], cur);
        a[i] = r.day;
        b[i] = r.frac;
    }
}

// The epochs (a, b) of scale `from` in scale `to`. The same scale gives the
// same (immutable) arrays back; anything else new arrays of the same shape.
// The conversions to and from UT1 call velarion.iers (Python code that may
// drop the last other reference to the Time that `a` and `b` belong to):
// they are held here until the end.
bool convert(PyObject* a, PyObject* b, int from, int to, Parts& out) {
    if (from == to) {
        out.a = core::Ref::borrow(a);
        out.b = core::Ref::borrow(b);
        return true;
    }
    const core::Ref hold_a = core::Ref::borrow(a);
    const core::Ref hold_b = core::Ref::borrow(b);
    out.a = empty_like_shape(a);
    if (!out.a) return false;
    out.b = empty_like_shape(a);
    if (!out.b) return false;
    const npy_intp n = size_of(a);
    const double* x = core::data_of(a);
    const double* y = core::data_of(b);
    double* o1 = dptr(out.a);
    double* o2 = dptr(out.b);
    kn::LeapCursor cur;
    if (from == kUT1) {
        if (!ut1_arrays_to_tai(x, y, n, o1, o2)) return false;
        tai_arrays_to(to, o1, o2, n);
        return true;
    }
    if (to == kUT1) {
        if (from != kUTC) {
            // To UTC first (into the output arrays), then on to UT1 in place.
            for (npy_intp i = 0; i < n; ++i) {
                kn::DayFrac t = kn::canonical(x[i], y[i]);
                if (from == kTT) t = kn::tt_to_tai(t.day, t.frac);
                const kn::DayFrac u = kn::tai_to_utc(t.day, t.frac, cur);
                o1[i] = u.day;
                o2[i] = u.frac;
            }
            return utc_arrays_to_ut1(o1, o2, n, o1, o2);
        }
        return utc_arrays_to_ut1(x, y, n, o1, o2);
    }
    // Among UTC, TAI and TT.
    if (from == kUTC) {
        for (npy_intp i = 0; i < n; ++i) {
            kn::DayFrac t = kn::utc_to_tai(x[i], y[i], cur);
            if (to == kTT) t = kn::tai_to_tt(t.day, t.frac);
            o1[i] = t.day;
            o2[i] = t.frac;
        }
    } else if (from == kTAI) {
        for (npy_intp i = 0; i < n; ++i) {
            const kn::DayFrac c = kn::canonical(x[i], y[i]);
            const kn::DayFrac t = to == kTT ? kn::tai_to_tt(c.day, c.frac) : kn::tai_to_utc(c.day, c.frac, cur);
            o1[i] = t.day;
            o2[i] = t.frac;
        }
    } else {  // TT
        for (npy_intp i = 0; i < n; ++i) {
            const kn::DayFrac c = kn::canonical(x[i], y[i]);
            kn::DayFrac t = kn::tt_to_tai(c.day, c.frac);
            if (to == kUTC) t = kn::tai_to_utc(t.day, t.frac, cur);
            o1[i] = t.day;
            o2[i] = t.frac;
        }
    }
    return true;
}

bool convert_time(TimeObject* t, int to, Parts& out) {
    if (!check_init(t)) return false;
    return convert(t->jd1, t->jd2, t->scale, to, out);
}

// ------------------------------------------------------------ input forms

struct Ctx {
    int scale;            // scale the result is in (and calendar fields are read in)
    bool scale_given;     // the caller named it
    kn::LeapCursor cur;
};

void raise_text_error(PyObject* text, kn::TextError e, const kn::CivilTime& c, int scale) {
    vt::raise_text_error(text, e, c, scale == kUTC, kScaleName[scale]);
}

bool text_to_jd(PyObject* s, Ctx& ctx, double& j1, double& j2) {
    Py_ssize_t len;
    const char* p;
    if (PyUnicode_IS_COMPACT_ASCII(s)) {  // the usual case: the text's own bytes
        p = static_cast<const char*>(PyUnicode_DATA(s));
        len = PyUnicode_GET_LENGTH(s);
    } else {
        p = PyUnicode_AsUTF8AndSize(s, &len);
        if (!p) return false;
    }
    kn::CivilTime c;
    const kn::TextError e = kn::parse_iso(p, static_cast<size_t>(len), ctx.scale == kUTC, ctx.cur, j1, j2, c);
    if (e == kn::TextError::kNone) return true;
    raise_text_error(s, e, c, ctx.scale);
    return false;
}

// Fields that can never hold a leap second (datetime, datetime64) -> JD.
bool civil_to_jd(const kn::CivilTime& c, Ctx& ctx, double& j1, double& j2) {
    if (!kn::jd_in_range(kn::jd_of(c.mjd))) {
        PyErr_SetString(PyExc_ValueError, "date outside the supported range of Julian Dates");
        return false;
    }
    if (kn::civil_to_jd(c, ctx.scale == kUTC, ctx.cur, j1, j2) != kn::TextError::kNone) {
        // (No leap second here: only a day shortened by a step of TAI-UTC refuses.)
        const kn::Civil d = kn::civil_from_mjd(c.mjd);
        PyErr_Format(PyExc_ValueError,
                     "%04d-%02d-%02d is shortened in UTC by a negative step of TAI-UTC; the time of day given is "
                     "past its end",
                     static_cast<int>(d.year), d.month, d.day);
        return false;
    }
    return true;
}

// Floor division of 128-bit integers.
inline __int128 floordiv(__int128 a, __int128 b) noexcept {
    __int128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// A datetime64 value in the unit (base, num) -> calendar fields.
bool dt64_to_civil(npy_datetime v, NPY_DATETIMEUNIT base, int num, kn::CivilTime& c) {
    if (v == NPY_DATETIME_NAT) {
        PyErr_SetString(PyExc_ValueError, "NaT (not a time) cannot be converted to a Time");
        return false;
    }
    const __int128 total = static_cast<__int128>(v) * num;
    constexpr __int128 kMaxDays = 400'000'000;  // far outside the Julian Date range; checked later
    __int128 days;
    __int128 ns = 0;
    double subns = 0.0;
    auto out_of_range = [] {
        PyErr_SetString(PyExc_ValueError, "datetime64 value outside the supported range of Julian Dates");
        return false;
    };
    switch (base) {
        case NPY_FR_Y: {
            if (total > 10'000'000 || total < -10'000'000) return out_of_range();
            c.mjd = kn::mjd_from_civil(1970 + static_cast<int64_t>(total), 1, 1);
            c.ns_of_day = 0;
            c.subns = 0.0;
            c.second60 = false;
            return true;
        }
        case NPY_FR_M: {
            if (total > 120'000'000 || total < -120'000'000) return out_of_range();
            const __int128 y = floordiv(total, 12);
            const int m = static_cast<int>(total - y * 12) + 1;
            c.mjd = kn::mjd_from_civil(1970 + static_cast<int64_t>(y), m, 1);
            c.ns_of_day = 0;
            c.subns = 0.0;
            c.second60 = false;
            return true;
        }
        case NPY_FR_W: days = total * 7; break;
        case NPY_FR_D: days = total; break;
        default: {
            __int128 per_day, ns_per_unit = 0, units_per_ns = 0;
            switch (base) {
                case NPY_FR_h: per_day = 24; ns_per_unit = 3'600'000'000'000; break;
                case NPY_FR_m: per_day = 1440; ns_per_unit = 60'000'000'000; break;
                case NPY_FR_s: per_day = 86'400; ns_per_unit = 1'000'000'000; break;
                case NPY_FR_ms: per_day = 86'400'000; ns_per_unit = 1'000'000; break;
                case NPY_FR_us: per_day = 86'400'000'000; ns_per_unit = 1'000; break;
                case NPY_FR_ns: per_day = static_cast<__int128>(86'400'000'000'000); ns_per_unit = 1; break;
                case NPY_FR_ps: per_day = static_cast<__int128>(86'400'000'000'000) * 1000; units_per_ns = 1000; break;
                case NPY_FR_fs: per_day = static_cast<__int128>(86'400'000'000'000) * 1'000'000; units_per_ns = 1'000'000; break;
                case NPY_FR_as: per_day = static_cast<__int128>(86'400'000'000'000) * 1'000'000'000; units_per_ns = 1'000'000'000; break;
                default:
                    PyErr_SetString(PyExc_ValueError, "datetime64 without a time unit cannot be converted to a Time");
                    return false;
            }
            days = floordiv(total, per_day);
            const __int128 rem = total - days * per_day;
            if (ns_per_unit) {
                ns = rem * ns_per_unit;
            } else {
                ns = rem / units_per_ns;
                subns = static_cast<double>(static_cast<int64_t>(rem % units_per_ns)) /
                        static_cast<double>(static_cast<int64_t>(units_per_ns));
            }
        }
    }
    if (days > kMaxDays || days < -kMaxDays) return out_of_range();
    c.mjd = static_cast<int64_t>(days) + kn::kMjdUnixEpoch;
    c.ns_of_day = static_cast<int64_t>(ns);
    c.subns = subns;
    c.second60 = false;
    return true;
}

bool datetime_to_jd(PyObject* o, Ctx& ctx, double& j1, double& j2) {
    kn::CivilTime c;
    c.mjd = kn::mjd_from_civil(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o));
    int64_t us = ((PyDateTime_DATE_GET_HOUR(o) * 60LL + PyDateTime_DATE_GET_MINUTE(o)) * 60LL +
                  PyDateTime_DATE_GET_SECOND(o)) * 1'000'000LL +
                 PyDateTime_DATE_GET_MICROSECOND(o);
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(o);  // borrowed
    if (tz != Py_None) {
        core::Ref off = core::Ref::steal(PyObject_CallMethod(o, "utcoffset", nullptr));
        if (!off) return false;
        if (off.get() != Py_None) {
            if (!PyDelta_Check(off.get())) {
                PyErr_SetString(PyExc_TypeError, "utcoffset() of the datetime did not return a timedelta");
                return false;
            }
            if (ctx.scale_given && ctx.scale != kUTC) {
                PyErr_Format(PyExc_ValueError,
                             "a timezone-aware datetime is converted to UTC, so the scale must be 'utc', not '%s'",
                             kScaleName[ctx.scale]);
                return false;
            }
            // datetime itself holds tzinfo.utcoffset() within a day, but a
            // datetime subclass's own utcoffset() is not checked by it: any
            // timedelta may come back (up to 999999999 days).
            const int64_t off_days = PyDateTime_DELTA_GET_DAYS(off.get());
            const int64_t off_us = static_cast<int64_t>(PyDateTime_DELTA_GET_SECONDS(off.get())) * 1'000'000LL +
                                   PyDateTime_DELTA_GET_MICROSECONDS(off.get());  // [0, 86400 s)
            if (off_days < -1 || off_days > 0 || (off_days == -1 && off_us == 0)) {
                PyErr_Format(PyExc_ValueError,
                             "utcoffset() of the datetime returned %R: the offset must be strictly between "
                             "-timedelta(hours=24) and timedelta(hours=24)",
                             off.get());
                return false;
            }
            us -= off_days * 86'400'000'000LL + off_us;  // now within (-1, 2) days
            if (us < 0) {
                us += 86'400'000'000LL;
                c.mjd -= 1;
            } else if (us >= 86'400'000'000LL) {
                us -= 86'400'000'000LL;
                c.mjd += 1;
            }
        }
    }
    c.ns_of_day = us * 1000;
    return civil_to_jd(c, ctx, j1, j2);
}

// One value of a scalar form -> (j1, j2) in ctx.scale. Returns 1 on success,
// 0 with an exception set, and -1 (no exception) for a value that is itself
// an array (the caller falls back to numpy.asarray on the whole input).
int leaf_to_jd(PyObject* o, Ctx& ctx, double& j1, double& j2) {
    if (PyUnicode_Check(o)) return text_to_jd(o, ctx, j1, j2) ? 1 : 0;
    if (PyDateTime_Check(o)) return datetime_to_jd(o, ctx, j1, j2) ? 1 : 0;
    if (PyDate_Check(o)) {
        kn::CivilTime c;
        c.mjd = kn::mjd_from_civil(PyDateTime_GET_YEAR(o), PyDateTime_GET_MONTH(o), PyDateTime_GET_DAY(o));
        return civil_to_jd(c, ctx, j1, j2) ? 1 : 0;
    }
    if (PyArray_IsScalar(o, Datetime)) {
        auto* s = reinterpret_cast<PyDatetimeScalarObject*>(o);
        kn::CivilTime c;
        if (!dt64_to_civil(s->obval, s->obmeta.base, s->obmeta.num, c)) return 0;
        return civil_to_jd(c, ctx, j1, j2) ? 1 : 0;
    }
    if (is_time(o)) {
        TimeObject* t = as_time(o);
        if (!check_init(t)) return 0;
        if (PyArray_NDIM(arr(t->jd1)) != 0) return -1;
        Parts p;
        if (!convert(t->jd1, t->jd2, t->scale, ctx.scale, p)) return 0;
        j1 = dptr(p.a)[0];
        j2 = dptr(p.b)[0];
        return 1;
    }
    if (PyArray_Check(o)) return -1;
    PyErr_Format(PyExc_TypeError,
                 "Time() cannot take a value of type '%.200s': expected an ISO 8601 str, a datetime.datetime, a "
                 "datetime.date, a numpy.datetime64, a Time, or a sequence or array of these (Time.from_jd and "
                 "Time.from_mjd take numbers)",
                 Py_TYPE(o)->tp_name);
    return 0;
}

// An array of str, datetime64 or objects -> (a, b) arrays of its shape.
bool array_to_jd(PyObject* input, Ctx& ctx, Parts& out) {
    PyArray_Descr* d = PyArray_DESCR(arr(input));
    const char kind = d->kind;
    if (kind != 'U' && kind != 'M' && kind != 'O') {
        PyErr_Format(PyExc_TypeError,
                     "Time() cannot take an array of dtype %S: expected str (ISO 8601), datetime64 or object "
                     "elements (Time.from_jd and Time.from_mjd take numbers)",
                     reinterpret_cast<PyObject*>(d));
        return false;
    }
    // Native byte order, aligned and C-contiguous. Objects are read from a
    // private copy, which holds its own references: reading them can run
    // Python code (utcoffset(), velarion.iers for a UT1 Time) that may
    // change or resize the caller's array.
    Py_INCREF(d);
    PyArray_Descr* want = PyArray_ISNBO(d->byteorder) ? d : PyArray_DescrNewByteorder(d, NPY_NATIVE);
    if (want != d) Py_DECREF(d);
    if (!want) return false;
    const int copy = kind == 'O' ? NPY_ARRAY_ENSURECOPY : 0;
    core::Ref a = core::Ref::steal(
        PyArray_FromAny(input, want, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | copy, nullptr));
    if (!a) return false;
    PyArrayObject* A = arr(a.get());
    out.a = core::empty(PyArray_NDIM(A), PyArray_DIMS(A));
    if (!out.a) return false;
    out.b = core::empty(PyArray_NDIM(A), PyArray_DIMS(A));
    if (!out.b) return false;
    double* o1 = dptr(out.a);
    double* o2 = dptr(out.b);
    const npy_intp n = PyArray_SIZE(A);
    const char* base = static_cast<const char*>(PyArray_DATA(A));
    const npy_intp item = PyArray_ITEMSIZE(A);
    if (kind == 'U') {
        if (!vt::parse_str_array(a.get(), ctx.scale == kUTC, kScaleName[ctx.scale], ctx.cur, o1, o2)) return false;
    } else if (kind == 'M') {
        auto* md = reinterpret_cast<PyArray_DatetimeDTypeMetaData*>(PyDataType_C_METADATA(PyArray_DESCR(A)));
        if (!md) {
            PyErr_SetString(PyExc_ValueError, "datetime64 array without unit metadata");
            return false;
        }
        const NPY_DATETIMEUNIT unit = md->meta.base;
        const int num = md->meta.num;
        for (npy_intp i = 0; i < n; ++i) {
            kn::CivilTime c;
            npy_datetime v;
            std::memcpy(&v, base + i * item, sizeof v);
            if (!dt64_to_civil(v, unit, num, c) || !civil_to_jd(c, ctx, o1[i], o2[i])) return false;
        }
    } else {  // objects
        for (npy_intp i = 0; i < n; ++i) {
            PyObject* o;
            std::memcpy(&o, base + i * item, sizeof o);
            if (!o) o = Py_None;
            const int r = leaf_to_jd(o, ctx, o1[i], o2[i]);
            if (r == 0) return false;
            if (r < 0) {
                PyErr_SetString(PyExc_ValueError,
                                "Time() got an array of objects holding arrays (the input is ragged or nested)");
                return false;
            }
        }
    }
    return true;
}

// Nested lists/tuples, walked directly (texts are parsed from their UTF-8
// with no intermediate array). Reading an element can run Python code
// (utcoffset() of an aware datetime, velarion.iers for a UT1 Time) that may
// change the lists: each list's size and items are read afresh for every
// element, and the element being read is held.
enum class Walk { kOk, kError, kFallback };

struct Shape {
    npy_intp dims[NPY_MAXDIMS];
    int nd = 0;
};

Walk changed_size() {
    PyErr_SetString(PyExc_RuntimeError, "Time() input list changed size while it was read");
    return Walk::kError;
}

Walk walk_fill(PyObject* o, int depth, const Shape& shape, Ctx& ctx, double*& p1, double*& p2) {
    if (depth == shape.nd) {
        if (PyList_Check(o) || PyTuple_Check(o)) {
            PyErr_SetString(PyExc_ValueError, "Time() got a ragged nested sequence (sub-sequences differ in length)");
            return Walk::kError;
        }
        const int r = leaf_to_jd(o, ctx, *p1, *p2);
        if (r < 0) return Walk::kFallback;
        if (r == 0) return Walk::kError;
        ++p1;
        ++p2;
        return Walk::kOk;
    }
    if (!(PyList_Check(o) || PyTuple_Check(o))) {
        if (PyArray_Check(o) || is_time(o)) return Walk::kFallback;
        PyErr_SetString(PyExc_ValueError, "Time() got a ragged nested sequence (sub-sequences differ in depth)");
        return Walk::kError;
    }
    const Py_ssize_t n = shape.dims[depth];
    if (PySequence_Fast_GET_SIZE(o) != n) {
        PyErr_SetString(PyExc_ValueError, "Time() got a ragged nested sequence (sub-sequences differ in length)");
        return Walk::kError;
    }
    const bool innermost = depth + 1 == shape.nd;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PySequence_Fast_GET_SIZE(o) != n) return changed_size();
        PyObject* item = PySequence_Fast_GET_ITEM(o, i);
        if (innermost && PyUnicode_CheckExact(item)) {
            // The innermost level: texts straight to the parser (no Python code runs).
            if (!text_to_jd(item, ctx, *p1, *p2)) return Walk::kError;
            ++p1;
            ++p2;
            continue;
        }
        const core::Ref hold = core::Ref::borrow(item);
        const Walk w = walk_fill(item, depth + 1, shape, ctx, p1, p2);
        if (w != Walk::kOk) return w;
    }
    return Walk::kOk;
}

Walk sequence_to_jd(PyObject* seq, Ctx& ctx, Parts& out) {
    Shape shape;
    PyObject* o = seq;
    while (PyList_Check(o) || PyTuple_Check(o)) {
        if (shape.nd == NPY_MAXDIMS) {
            PyErr_SetString(PyExc_ValueError, "Time() got a sequence nested too deeply");
            return Walk::kError;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        shape.dims[shape.nd++] = n;
        if (n == 0) break;
        o = PySequence_Fast_GET_ITEM(o, 0);
    }
    out.a = core::empty(shape.nd, shape.dims);
    if (!out.a) return Walk::kError;
    out.b = core::empty(shape.nd, shape.dims);
    if (!out.b) return Walk::kError;
    double* p1 = dptr(out.a);
    double* p2 = dptr(out.b);
    return walk_fill(seq, 0, shape, ctx, p1, p2);
}

// Any accepted value -> arrays in ctx.scale.
bool value_to_jd(PyObject* value, Ctx& ctx, Parts& out) {
    if (PyArray_Check(value)) return array_to_jd(value, ctx, out);
    if (PyList_Check(value) || PyTuple_Check(value)) {
        const Walk w = sequence_to_jd(value, ctx, out);
        if (w == Walk::kOk) return true;
        if (w == Walk::kError) return false;
        core::Ref a = core::Ref::steal(PyArray_FromAny(value, nullptr, 0, 0, 0, nullptr));
        if (!a) return false;
        return array_to_jd(a.get(), ctx, out);
    }
    if (!PyUnicode_Check(value) && !PyBytes_Check(value) && !PyByteArray_Check(value) && !is_time(value) &&
        PySequence_Check(value) && !PyDate_Check(value) && !PyArray_IsScalar(value, Generic)) {
        core::Ref a = core::Ref::steal(PyArray_FromAny(value, nullptr, 0, 0, 0, nullptr));
        if (!a) return false;
        return array_to_jd(a.get(), ctx, out);
    }
    out.a = core::empty(0, nullptr);
    if (!out.a) return false;
    out.b = core::empty(0, nullptr);
    if (!out.b) return false;
    const int r = leaf_to_jd(value, ctx, dptr(out.a)[0], dptr(out.b)[0]);
    if (r < 0) {
        PyErr_SetString(PyExc_ValueError, "Time() could not read the value as one epoch");
        return false;
    }
    return r == 1;
}

// ---------------------------------------------------------------- numbers

// A float64 array from a number or an array of numbers; an empty Ref with
// no exception when `obj` is not numeric (the operator then gives
// NotImplemented).
core::Ref numeric_array(PyObject* obj) {
    if (PyBool_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) || is_time(obj)) return {};
    core::Ref a;
    if (PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_Check(obj) || PyArray_IsScalar(obj, Number) ||
        PyList_Check(obj) || PyTuple_Check(obj)) {
        a = core::Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
        if (!a) {
            PyErr_Clear();
            return {};
        }
    } else {
        return {};
    }
    const char kind = PyArray_DESCR(arr(a.get()))->kind;
    if (kind != 'i' && kind != 'u' && kind != 'f') return {};
    return core::Ref::steal(
        PyArray_FromAny(a.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                        NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
}

// A float64 array from a from_jd / from_mjd argument.
core::Ref jd_argument(PyObject* obj, const char* name) {
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "%s must be a number or an array of numbers, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return {};
    }
    core::Ref a = core::Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!a) return {};
    const char kind = PyArray_DESCR(arr(a.get()))->kind;
    if (kind != 'i' && kind != 'u' && kind != 'f' && kind != 'b') {
        PyErr_Format(PyExc_TypeError, "%s must be a number or an array of numbers, not an array of dtype %S", name,
                     reinterpret_cast<PyObject*>(PyArray_DESCR(arr(a.get()))));
        return {};
    }
    return core::Ref::steal(PyArray_FromAny(a.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                            NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
}

// ------------------------------------------------------------- the type

PyObject* Time_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static constexpr const char* kNames[] = {"value", "scale"};
    static constexpr core::Signature kSig{"Time", kNames, 1};
    core::Args<2> a;
    if (!core::parse_args(kSig, args, kwds, a)) return nullptr;
    int scale;
    if (!parse_scale(a[1], -1, scale)) return nullptr;
    PyObject* value = a[0];
    if (is_time(value)) {
        TimeObject* src = as_time(value);
        if (!check_init(src)) return nullptr;
        const int to = scale < 0 ? src->scale : scale;
        Parts p;
        if (!convert(src->jd1, src->jd2, src->scale, to, p)) return nullptr;
        return make_time(type, std::move(p.a), std::move(p.b), to);
    }
    Ctx ctx{scale < 0 ? kUTC : scale, scale >= 0, kn::LeapCursor()};
    Parts p;
    if (!value_to_jd(value, ctx, p)) return nullptr;
    return make_time(type, std::move(p.a), std::move(p.b), ctx.scale);
}

void Time_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    TimeObject* t = as_time(self);
    Py_CLEAR(t->jd1);
    Py_CLEAR(t->jd2);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// from_jd(jd1, jd2=0.0, scale="tt"), from_mjd(mjd, scale="utc"). The
// epochs are stored in the canonical split whatever split they come in, so
// that equal epochs are one pair for every reader of jd1, jd2, jd12 and mjd
// (a split like 2^60 and 2458112 - 2^60 loses the date in any naive sum).
PyObject* make_from_parts(PyTypeObject* type, PyObject* x, PyObject* y, int scale, bool mjd) {
    PyObject* in[2] = {x, y};
    core::Ref out[2];
    bool bad = false, outside = false;
    auto body = [&](char** data, npy_intp* strides, npy_intp count) {
        char *p = data[0], *q = data[1], *o1 = data[2], *o2 = data[3];
        for (npy_intp i = 0; i < count; ++i) {
            double u = at(p), v = at(q);
            if (!std::isfinite(u) || !std::isfinite(v)) {
                bad = true;
                return false;
            }
            if (mjd) {
                v = u;
                u = kn::kMjdZero;
            }
            if (!kn::jd_pair_in_range(u, v)) {
                outside = true;
                return false;
            }
            const kn::DayFrac c = kn::canonical(u, v);
            *reinterpret_cast<double*>(o1) = c.day;
            *reinterpret_cast<double*>(o2) = c.frac;
            p += strides[0];
            q += strides[1];
            o1 += strides[2];
            o2 += strides[3];
        }
        return true;
    };
    if (!broadcast(2, in, 2, NPY_DOUBLE, out, body)) {
        if (bad) {
            PyErr_SetString(PyExc_ValueError,
                            mjd ? "Time.from_mjd() got a value that is not finite (NaN or infinity)"
                                : "Time.from_jd() got a value that is not finite (NaN or infinity)");
        } else if (outside) {
            PyErr_Format(PyExc_ValueError,
                         "%s got a date outside the supported Julian Dates -68569.5 (year -4900) to 1e9",
                         mjd ? "Time.from_mjd()" : "Time.from_jd()");
        }
        return nullptr;
    }
    return make_time(type, std::move(out[0]), std::move(out[1]), scale);
}

PyObject* Time_from_jd(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"jd1", "jd2", "scale"};
    static constexpr core::Signature kSig{"from_jd", kNames, 1};
    PyObject* a[3];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    int scale;
    if (!parse_scale(a[2], kTT, scale)) return nullptr;
    core::Ref x = jd_argument(a[0], "jd1");
    if (!x) return nullptr;
    core::Ref y;
    if (a[1]) {
        y = jd_argument(a[1], "jd2");
    } else {
        y = core::empty(0, nullptr);
        if (y) dptr(y)[0] = 0.0;
    }
    if (!y) return nullptr;
    return make_from_parts(reinterpret_cast<PyTypeObject*>(cls), x.get(), y.get(), scale, false);
}

PyObject* Time_from_mjd(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"mjd", "scale"};
    static constexpr core::Signature kSig{"from_mjd", kNames, 1};
    PyObject* a[2];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    int scale;
    if (!parse_scale(a[1], kUTC, scale)) return nullptr;
    core::Ref x = jd_argument(a[0], "mjd");
    if (!x) return nullptr;
    return make_from_parts(reinterpret_cast<PyTypeObject*>(cls), x.get(), x.get(), scale, true);
}

// --- properties

PyObject* Time_get_scale(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    return Py_NewRef(g_scale_str[t->scale]);
}

PyObject* Time_get_shape(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return PyObject_GetAttrString(t->jd1, "shape");
}

PyObject* Time_get_size(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return PyLong_FromSsize_t(size_of(t->jd1));
}

PyObject* Time_get_ndim(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return PyLong_FromLong(PyArray_NDIM(arr(t->jd1)));
}

// A read-only view of a stored array whose base is the Time, not the array:
// an owning array as `.base` could be made writable again or resized under
// the Time (and the two parts would no longer match).
PyObject* readonly_view(PyObject* self, PyObject* part) {
    PyArrayObject* a = arr(part);
    PyArray_Descr* d = PyArray_DESCR(a);
    Py_INCREF(d);
    core::Ref v = core::Ref::steal(PyArray_NewFromDescr(&PyArray_Type, d, PyArray_NDIM(a), PyArray_DIMS(a),
                                                        PyArray_STRIDES(a), PyArray_DATA(a), 0, nullptr));
    if (!v) return nullptr;
    if (PyArray_SetBaseObject(arr(v.get()), Py_NewRef(self)) < 0) return nullptr;
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
    PyArrayObject* a = arr(t->jd1);
    const int nd = PyArray_NDIM(a);
    npy_intp dims[NPY_MAXDIMS + 1];
    for (int i = 0; i < nd; ++i) dims[i] = PyArray_DIM(a, i);
    dims[nd] = 2;
    core::Ref out = core::empty(nd + 1, dims);
    if (!out) return nullptr;
    const npy_intp n = PyArray_SIZE(a);
    const double* x = core::data_of(t->jd1);
    const double* y = core::data_of(t->jd2);
    double* o = dptr(out);
    for (npy_intp i = 0; i < n; ++i) {
        o[2 * i] = x[i];
        o[2 * i + 1] = y[i];
    }
    return out.release();
}

PyObject* Time_get_jd(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    core::Ref out = empty_like_shape(t->jd1);
    if (!out) return nullptr;
    const npy_intp n = size_of(t->jd1);
    const double* x = core::data_of(t->jd1);
    const double* y = core::data_of(t->jd2);
    double* o = dptr(out);
    for (npy_intp i = 0; i < n; ++i) o[i] = x[i] + y[i];
    return out.release();
}

PyObject* Time_get_mjd(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    core::Ref out = empty_like_shape(t->jd1);
    if (!out) return nullptr;
    const npy_intp n = size_of(t->jd1);
    const double* x = core::data_of(t->jd1);
    const double* y = core::data_of(t->jd2);
    double* o = dptr(out);
    for (npy_intp i = 0; i < n; ++i) o[i] = (x[i] - kn::kMjdZero) + y[i];
    return out.release();
}

PyObject* scale_view(PyObject* self, int to) {
    TimeObject* t = as_time(self);
    Parts p;
    if (!convert_time(t, to, p)) return nullptr;
    return make_time(Py_TYPE(self), std::move(p.a), std::move(p.b), to);
}

PyObject* Time_get_utc(PyObject* self, void*) { return scale_view(self, kUTC); }
PyObject* Time_get_tai(PyObject* self, void*) { return scale_view(self, kTAI); }
PyObject* Time_get_tt(PyObject* self, void*) { return scale_view(self, kTT); }
PyObject* Time_get_ut1(PyObject* self, void*) { return scale_view(self, kUT1); }

// Calendar day and nanosecond of each epoch, in the Time's own clock.
bool civil_ns(TimeObject* t, vt::CivilArrays& out) {
    const npy_intp n = size_of(t->jd1);
    if (!out.allocate(n)) return false;
    const double* x = core::data_of(t->jd1);
    const double* y = core::data_of(t->jd2);
    kn::LeapCursor cur;
    const bool utc = t->scale == kUTC;
    for (npy_intp i = 0; i < n; ++i) kn::jd_to_civil_ns(x[i], y[i], utc, cur, out.mjd[i], out.ns[i]);
    return true;
}

PyObject* iso_texts(TimeObject* t) {
    vt::CivilArrays civil;
    if (!civil_ns(t, civil)) return nullptr;
    PyArrayObject* a = arr(t->jd1);
    return vt::iso_texts(PyArray_NDIM(a), PyArray_DIMS(a), civil, PyArray_SIZE(a), -1);
}

PyObject* Time_get_iso(PyObject* self, void*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    return iso_texts(t);
}

PyObject* Time_to_datetime64(PyObject* self, PyObject*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    PyArrayObject* a = arr(t->jd1);
    Py_INCREF(g_dt64ns);
    core::Ref out = core::Ref::steal(PyArray_NewFromDescr(&PyArray_Type, g_dt64ns, PyArray_NDIM(a),
                                                          PyArray_DIMS(a), nullptr, nullptr, 0, nullptr));
    if (!out) return nullptr;
    auto* o = static_cast<npy_datetime*>(PyArray_DATA(arr(out.get())));
    const npy_intp n = PyArray_SIZE(a);
    const double* x = core::data_of(t->jd1);
    const double* y = core::data_of(t->jd2);
    kn::LeapCursor cur;
    const bool utc = t->scale == kUTC;
    constexpr int64_t kMaxDays = 106'000;  // ~290 years either side of 1970 fit in int64 nanoseconds
    for (npy_intp i = 0; i < n; ++i) {
        int64_t mjd, ns;
        kn::jd_to_civil_ns(x[i], y[i], utc, cur, mjd, ns);
        if (ns >= kn::kNsPerDay) {
            char buf[kn::kIsoMaxLen];
            const size_t len = kn::format_iso(mjd, ns, 9, buf);
            core::Ref text = core::Ref::steal(PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(len)));
            if (text)
                PyErr_Format(PyExc_ValueError, "%U is inside a leap second, which numpy.datetime64 cannot represent",
                             text.get());
            return nullptr;
        }
        const int64_t days = mjd - kn::kMjdUnixEpoch;
        if (days > kMaxDays || days < -kMaxDays) {
            PyErr_SetString(PyExc_ValueError, "epoch outside the range of numpy.datetime64[ns] (years 1678-2261)");
            return nullptr;
        }
        o[i] = days * kn::kNsPerDay + ns;
    }
    return PyArray_Return(arr(out.release()));
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
    const char* scale = kScaleName[t->scale];
    if (PyUnicode_Check(iso.get()))
        return PyUnicode_FromFormat("%U(%R, scale='%s')", name.get(), iso.get(), scale);
    core::Ref np = core::Ref::steal(PyImport_ImportModule("numpy"));
    if (!np) return nullptr;
    core::Ref prefix = core::Ref::steal(PyUnicode_FromFormat("%U(", name.get()));
    if (!prefix) return nullptr;
    core::Ref fn = core::Ref::steal(PyObject_GetAttrString(np.get(), "array2string"));
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
    if (PyArray_NDIM(arr(t->jd1)) == 0) {
        PyErr_SetString(PyExc_TypeError, "len() of unsized Time (a single epoch)");
        return -1;
    }
    return PyArray_DIM(arr(t->jd1), 0);
}

// An indexing result as a C-contiguous read-only float64 array.
core::Ref as_part(PyObject* r) {
    if (PyArray_Check(r)) {
        PyArrayObject* a = arr(r);
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
    if (is_time(key)) {
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
    return make_time(Py_TYPE(self), std::move(a), std::move(b), t->scale);
}

PyObject* Time_item(PyObject* self, Py_ssize_t i) {
    core::Ref key = core::Ref::steal(PyLong_FromSsize_t(i));
    if (!key) return nullptr;
    return Time_subscript(self, key.get());
}

PyObject* Time_iter(PyObject* self) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    if (PyArray_NDIM(arr(t->jd1)) == 0) {
        PyErr_SetString(PyExc_TypeError, "iteration over a single-epoch Time");
        return nullptr;
    }
    return PySeqIter_New(self);
}

// An operand of arithmetic or comparison: its arrays and scale, with UT1
// (which needs Earth orientation data) brought to TAI beforehand so that the
// loops convert the rest per element without temporaries.
struct Operand {
    Parts parts;
    int scale;
};

bool prepare(PyObject* o, Operand& op) {
    TimeObject* t = as_time(o);
    if (!check_init(t)) return false;
    op.scale = t->scale == kUT1 ? kTAI : t->scale;
    return convert(t->jd1, t->jd2, t->scale, op.scale, op.parts);
}

// Canonical TAI of one epoch of a UTC, TAI or TT operand.
inline kn::DayFrac to_tai(int scale, double a, double b, kn::LeapCursor& cur) noexcept {
    if (scale == kUTC) return kn::utc_to_tai(a, b, cur);
    const kn::DayFrac c = kn::canonical(a, b);
    return scale == kTT ? kn::tt_to_tai(c.day, c.frac) : c;
}

inline bool same_shape(PyObject* x, PyObject* y) noexcept {
    PyArrayObject* A = arr(x);
    PyArrayObject* B = arr(y);
    return PyArray_NDIM(A) == PyArray_NDIM(B) &&
           PyArray_CompareLists(PyArray_DIMS(A), PyArray_DIMS(B), PyArray_NDIM(A));
}

PyObject* time_difference(PyObject* x, PyObject* y) {
    Operand p, q;
    if (!prepare(x, p) || !prepare(y, q)) return nullptr;
    const int sp = p.scale, sq = q.scale;
    kn::LeapCursor cp, cq;
    if (same_shape(p.parts.a.get(), q.parts.a.get())) {
        core::Ref out = empty_like_shape(p.parts.a.get());
        if (!out) return nullptr;
        const npy_intp n = size_of(out.get());
        const double *a1 = dptr(p.parts.a), *a2 = dptr(p.parts.b), *b1 = dptr(q.parts.a), *b2 = dptr(q.parts.b);
        double* o = dptr(out);
        for (npy_intp i = 0; i < n; ++i) {
            const kn::DayFrac u = to_tai(sp, a1[i], a2[i], cp);
            const kn::DayFrac v = to_tai(sq, b1[i], b2[i], cq);
            o[i] = kn::seconds_between(u.day, u.frac, v.day, v.frac);
        }
        return out.release();
    }
    // One side a single epoch (t - t0, the common case): convert it once.
    PyArrayObject* A = arr(p.parts.a.get());
    PyArrayObject* B = arr(q.parts.a.get());
    const bool q_one = PyArray_SIZE(B) == 1 && PyArray_NDIM(B) <= PyArray_NDIM(A);
    const bool p_one = PyArray_SIZE(A) == 1 && PyArray_NDIM(A) <= PyArray_NDIM(B);
    if (q_one || p_one) {
        const Operand& many = q_one ? p : q;
        const Operand& one = q_one ? q : p;
        kn::LeapCursor c1;
        const kn::DayFrac v = to_tai(one.scale, dptr(one.parts.a)[0], dptr(one.parts.b)[0], c1);
        core::Ref out = empty_like_shape(many.parts.a.get());
        if (!out) return nullptr;
        const npy_intp n = size_of(out.get());
        const double *a1 = dptr(many.parts.a), *a2 = dptr(many.parts.b);
        const int sm = many.scale;
        const double sign = q_one ? 1.0 : -1.0;
        double* o = dptr(out);
        for (npy_intp i = 0; i < n; ++i) {
            const kn::DayFrac u = to_tai(sm, a1[i], a2[i], cp);
            o[i] = sign * kn::seconds_between(u.day, u.frac, v.day, v.frac);
        }
        return out.release();
    }
    PyObject* in[4] = {p.parts.a.get(), p.parts.b.get(), q.parts.a.get(), q.parts.b.get()};
    core::Ref out[1];
    auto body = [&](char** d, npy_intp* s, npy_intp count) {
        char *a1 = d[0], *a2 = d[1], *b1 = d[2], *b2 = d[3], *o = d[4];
        for (npy_intp i = 0; i < count; ++i) {
            const kn::DayFrac u = to_tai(sp, at(a1), at(a2), cp);
            const kn::DayFrac v = to_tai(sq, at(b1), at(b2), cq);
            *reinterpret_cast<double*>(o) = kn::seconds_between(u.day, u.frac, v.day, v.frac);
            a1 += s[0];
            a2 += s[1];
            b1 += s[2];
            b2 += s[3];
            o += s[4];
        }
        return true;
    };
    if (!broadcast(4, in, 1, NPY_DOUBLE, out, body)) return nullptr;
    return out[0].release();
}

// t + seconds: added on TAI (TT runs at the same rate) and brought back to
// t's scale.
PyObject* time_add_seconds(PyObject* self, PyObject* seconds, double sign) {
    TimeObject* t = as_time(self);
    Operand p;
    if (!prepare(self, p)) return nullptr;
    const int sp = p.scale;
    // Result scale of the loop: t's own, except UT1 (finished from TAI below).
    const int rs = t->scale == kUT1 ? kTAI : t->scale;
    PyObject* in[3] = {p.parts.a.get(), p.parts.b.get(), seconds};
    core::Ref out[2];
    bool bad = false, outside = false;
    kn::LeapCursor cur, back;
    auto body = [&](char** d, npy_intp* s, npy_intp count) {
        char *a1 = d[0], *a2 = d[1], *sec = d[2], *o1 = d[3], *o2 = d[4];
        for (npy_intp i = 0; i < count; ++i) {
            const double dt = sign * at(sec);
            if (!std::isfinite(dt)) {
                bad = true;
                return false;
            }
            const kn::DayFrac u = to_tai(sp, at(a1), at(a2), cur);
            kn::DayFrac r = kn::add_seconds(u.day, u.frac, dt);
            if (!kn::jd_in_range(r.day)) {
                outside = true;
                return false;
            }
            if (rs == kUTC) r = kn::tai_to_utc(r.day, r.frac, back);
            else if (rs == kTT) r = kn::tai_to_tt(r.day, r.frac);
            *reinterpret_cast<double*>(o1) = r.day;
            *reinterpret_cast<double*>(o2) = r.frac;
            a1 += s[0];
            a2 += s[1];
            sec += s[2];
            o1 += s[3];
            o2 += s[4];
        }
        return true;
    };
    if (!broadcast(3, in, 2, NPY_DOUBLE, out, body)) {
        if (bad) PyErr_SetString(PyExc_ValueError, "cannot add a number of seconds that is not finite (NaN or infinity)");
        else if (outside) PyErr_SetString(PyExc_ValueError, "the sum lies outside the supported range of Julian Dates");
        return nullptr;
    }
    Parts r;
    if (!convert(out[0].get(), out[1].get(), rs, t->scale, r)) return nullptr;
    return make_time(Py_TYPE(self), std::move(r.a), std::move(r.b), t->scale);
}

PyObject* Time_add(PyObject* x, PyObject* y) {
    PyObject* t = is_time(x) ? x : y;
    PyObject* other = t == x ? y : x;
    if (!is_time(t) || is_time(other)) Py_RETURN_NOTIMPLEMENTED;
    core::Ref s = numeric_array(other);
    if (!s) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
    }
    return time_add_seconds(t, s.get(), 1.0);
}

PyObject* Time_subtract(PyObject* x, PyObject* y) {
    if (!is_time(x)) Py_RETURN_NOTIMPLEMENTED;
    if (is_time(y)) return time_difference(x, y);
    core::Ref s = numeric_array(y);
    if (!s) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
    }
    return time_add_seconds(x, s.get(), -1.0);
}

PyObject* Time_richcompare(PyObject* x, PyObject* y, int op) {
    if (!is_time(x) || !is_time(y)) Py_RETURN_NOTIMPLEMENTED;
    Operand p, q;
    if (!prepare(x, p) || !prepare(y, q)) return nullptr;
    const int sp = p.scale, sq = q.scale;
    kn::LeapCursor cp, cq;
    PyObject* in[4] = {p.parts.a.get(), p.parts.b.get(), q.parts.a.get(), q.parts.b.get()};
    core::Ref out[1];
    auto body = [&](char** d, npy_intp* s, npy_intp count) {
        char *a1 = d[0], *a2 = d[1], *b1 = d[2], *b2 = d[3], *o = d[4];
        for (npy_intp i = 0; i < count; ++i) {
            const kn::DayFrac u = to_tai(sp, at(a1), at(a2), cp);
            const kn::DayFrac v = to_tai(sq, at(b1), at(b2), cq);
            const int c = u.day < v.day ? -1 : u.day > v.day ? 1 : u.frac < v.frac ? -1 : u.frac > v.frac ? 1 : 0;
            bool r = false;
            switch (op) {
                case Py_LT: r = c < 0; break;
                case Py_LE: r = c <= 0; break;
                case Py_EQ: r = c == 0; break;
                case Py_NE: r = c != 0; break;
                case Py_GT: r = c > 0; break;
                case Py_GE: r = c >= 0; break;
            }
            *reinterpret_cast<npy_bool*>(o) = r;
            a1 += s[0];
            a2 += s[1];
            b1 += s[2];
            b2 += s[3];
            o += s[4];
        }
        return true;
    };
    if (!broadcast(4, in, 1, NPY_BOOL, out, body)) return nullptr;
    return PyArray_Return(arr(out[0].release()));
}

PyObject* Time_reduce(PyObject* self, PyObject*) {
    TimeObject* t = as_time(self);
    if (!check_init(t)) return nullptr;
    core::Ref ctor = core::Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_jd"));
    if (!ctor) return nullptr;
    core::Ref a, b;
    if (PyArray_NDIM(arr(t->jd1)) == 0) {
        a = core::Ref::steal(PyFloat_FromDouble(core::data_of(t->jd1)[0]));
        b = core::Ref::steal(PyFloat_FromDouble(core::data_of(t->jd2)[0]));
    } else {
        a = core::Ref::steal(PyArray_NewCopy(arr(t->jd1), NPY_CORDER));
        b = core::Ref::steal(PyArray_NewCopy(arr(t->jd2), NPY_CORDER));
    }
    if (!a || !b) return nullptr;
    core::Ref args = core::Ref::steal(PyTuple_Pack(3, a.get(), b.get(), g_scale_str[t->scale]));
    if (!args) return nullptr;
    // Instance attributes of a subclass travel as the state.
    core::Ref state;
    if (Py_TYPE(self)->tp_dictoffset != 0) {
        state = core::Ref::steal(PyObject_GetAttrString(self, "__dict__"));
        if (!state) PyErr_Clear();
        else if (PyDict_Check(state.get()) && PyDict_GET_SIZE(state.get()) == 0) state.reset();
    }
    if (state) return PyTuple_Pack(3, ctor.get(), args.get(), state.get());
    return PyTuple_Pack(2, ctor.get(), args.get());
}

// ------------------------------------------------------ the type object

PyGetSetDef Time_getset[] = {
    {"scale", core::entry<Time_get_scale>, nullptr, "Time scale: 'utc', 'tai', 'tt' or 'ut1'.", nullptr},
    {"shape", core::entry<Time_get_shape>, nullptr, "Shape of the array of epochs (() for a single epoch).",
     nullptr},
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
    {"from_jd", (PyCFunction)(void (*)(void))core::entry<Time_from_jd>, METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_jd(jd1, jd2=0.0, scale='tt')\n--\n\n"
     "Time from two-part Julian Dates (numbers or arrays, broadcast together). Any split of a date gives the "
     "same epoch, stored as the JD of its midnight (jd1) and the fraction of the day (jd2, to 2^-52 day)."},
    {"from_mjd", (PyCFunction)(void (*)(void))core::entry<Time_from_mjd>, METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_mjd(mjd, scale='utc')\n--\n\nTime from Modified Julian Dates (numbers or arrays)."},
    {"to_datetime64", core::entry<Time_to_datetime64>, METH_NOARGS,
     "to_datetime64()\n--\n\n"
     "The epochs as numpy.datetime64[ns] on the Time's own clock (a scalar for a single epoch). An epoch "
     "inside a leap second raises ValueError."},
    {"__reduce__", core::entry<Time_reduce>, METH_NOARGS,
     "Pickling support: rebuilt with from_jd from the two parts."},
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

PyType_Slot Time_slots[] = {
    {Py_tp_doc, (void*)kTimeDoc},
    {Py_tp_new, (void*)core::entry<Time_new>},
    {Py_tp_dealloc, (void*)core::entry<Time_dealloc>},
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
    {Py_mp_length, (void*)core::entry<Time_length>},
    {Py_sq_length, (void*)core::entry<Time_length>},
    {Py_sq_item, (void*)core::entry<Time_item>},
    {0, nullptr}};

PyType_Spec Time_spec = {"velarion.time.time.Time", sizeof(TimeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Time_slots};

// ------------------------------------------------------------ the module

PyObject* time_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int time_exec(PyObject* module) {
    if (int r = g_once.enter(module, "time"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return -1;
    if (!kn::g_leap_table.build()) {
        PyErr_SetString(PyExc_ImportError, "velarion.time.time: could not read the leap-second table from ERFA");
        return -1;
    }
    for (int s = 0; s < 4; ++s) {
        g_scale_str[s] = PyUnicode_InternFromString(kScaleName[s]);
        VELARION_CHECK(g_scale_str[s]);
    }
    {
        core::Ref text = core::Ref::steal(PyUnicode_FromString("M8[ns]"));
        VELARION_CHECK(text.get());
        if (!PyArray_DescrConverter(text.get(), &g_dt64ns)) return -1;
    }
    g_time_type = core::add_type(module, &Time_spec);
    VELARION_CHECK(g_time_type);
    // NumPy operators defer to Time's own (t + array, array + t).
    VELARION_CHECK(PyObject_SetAttrString(reinterpret_cast<PyObject*>(g_time_type), "__array_ufunc__", Py_None));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot time_slots[] = {{Py_mod_create, (void*)core::entry<time_create>},
                                  {Py_mod_exec, (void*)core::entry<time_exec>},
                                  {0, nullptr}};

PyModuleDef time_def = {PyModuleDef_HEAD_INIT, "velarion.time.time",
                        "Time: arrays of epochs in UTC, TAI, TT and UT1, with leap seconds from ERFA.", 0, nullptr,
                        time_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_time() { return PyModuleDef_Init(&time_def); }
