// Part of velarion.time.time's translation unit (included by time.cpp only,
// after its namespace aliases): the values Time(...) reads, one by one or as
// a whole (ISO texts, datetime.datetime and datetime.date, numpy.datetime64,
// other Times, nested lists and tuples, arrays of str, datetime64 or
// objects), into two-part Julian Date arrays in the Time's scale.
//
// Word for word: callers and tests compare the exception texts of this part.
#ifndef VELARION_TIME_PARTS_INPUTS_HPP
#define VELARION_TIME_PARTS_INPUTS_HPP

namespace {

struct Ctx {
    Scale scale;       // scale the result is in (and calendar fields are read in)
    bool scale_given;  // the caller named it
    kn::LeapCursor cur;
};

bool text_to_jd(PyObject* s, Ctx& ctx, double& j1, double& j2) {
    return bd::text_to_jd(s, ctx.scale == Scale::UTC, bd::scale_name(ctx.scale), ctx.cur, j1, j2);
}

// Fields that can never hold a leap second (datetime, datetime64) -> JD.
bool civil_to_jd(const kn::CivilTime& c, Ctx& ctx, double& j1, double& j2) {
    if (!kn::jd_in_range(kn::jd_of(c.mjd))) {
        PyErr_SetString(PyExc_ValueError, "date outside the supported range of Julian Dates");
        return false;
    }
    if (kn::civil_to_jd(c, ctx.scale == Scale::UTC, ctx.cur, j1, j2) != kn::TextError::kNone) {
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

// 128-bit integers (a GCC and Clang extension), for datetime64 values times
// their unit's multiplier.
__extension__ typedef __int128 int128;

// Floor division of 128-bit integers.
inline int128 floordiv(int128 a, int128 b) noexcept {
    int128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// A datetime64 unit below a day: units per day, and nanoseconds per unit
// or (below the nanosecond) units per nanosecond. per_day 0: not such a unit.
struct SubdayUnit {
    int128 per_day = 0;
    int128 ns_per_unit = 0;
    int128 units_per_ns = 0;
};

SubdayUnit subday_unit(NPY_DATETIMEUNIT base) noexcept {
    constexpr int128 kNsPerDay = kn::kNsPerDay;
    switch (base) {
        case NPY_FR_h: return {24, 3'600'000'000'000, 0};
        case NPY_FR_m: return {1440, 60'000'000'000, 0};
        case NPY_FR_s: return {86'400, 1'000'000'000, 0};
        case NPY_FR_ms: return {86'400'000, 1'000'000, 0};
        case NPY_FR_us: return {86'400'000'000, 1'000, 0};
        case NPY_FR_ns: return {kNsPerDay, 1, 0};
        case NPY_FR_ps: return {kNsPerDay * 1000, 0, 1000};
        case NPY_FR_fs: return {kNsPerDay * 1'000'000, 0, 1'000'000};
        case NPY_FR_as: return {kNsPerDay * 1'000'000'000, 0, 1'000'000'000};
        default: return {};
    }
}

// A datetime64 value in the unit (base, num) -> calendar fields.
bool dt64_to_civil(npy_datetime v, NPY_DATETIMEUNIT base, int num, kn::CivilTime& c) {
    if (v == NPY_DATETIME_NAT) {
        PyErr_SetString(PyExc_ValueError, "NaT (not a time) cannot be converted to a Time");
        return false;
    }
    const int128 total = static_cast<int128>(v) * num;
    constexpr int128 kMaxDays = 400'000'000;  // far outside the Julian Date range; checked later
    int128 days;
    int128 ns = 0;
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
            const int128 y = floordiv(total, 12);
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
            const SubdayUnit unit = subday_unit(base);
            if (unit.per_day == 0) {
                PyErr_SetString(PyExc_ValueError, "datetime64 without a time unit cannot be converted to a Time");
                return false;
            }
            days = floordiv(total, unit.per_day);
            const int128 rem = total - days * unit.per_day;
            if (unit.ns_per_unit) {
                ns = rem * unit.ns_per_unit;
            } else {
                ns = rem / unit.units_per_ns;
                subns = static_cast<double>(static_cast<int64_t>(rem % unit.units_per_ns)) /
                        static_cast<double>(static_cast<int64_t>(unit.units_per_ns));
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
    int64_t us =
        ((PyDateTime_DATE_GET_HOUR(o) * 60LL + PyDateTime_DATE_GET_MINUTE(o)) * 60LL + PyDateTime_DATE_GET_SECOND(o)) *
            1'000'000LL +
        PyDateTime_DATE_GET_MICROSECOND(o);
    PyObject* tz = PyDateTime_DATE_GET_TZINFO(o);  // borrowed
    if (tz != Py_None) {
        core::Ref off = core::Ref::steal(PyObject_CallMethodNoArgs(o, g_names[kUtcoffset]));
        if (!off) return false;
        if (off.get() != Py_None) {
            if (!PyDelta_Check(off.get())) {
                PyErr_SetString(PyExc_TypeError, "utcoffset() of the datetime did not return a timedelta");
                return false;
            }
            if (ctx.scale_given && ctx.scale != Scale::UTC) {
                PyErr_Format(PyExc_ValueError,
                             "a timezone-aware datetime is converted to UTC, so the scale must be 'utc', not '%s'",
                             bd::scale_name(ctx.scale));
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
    if (vt::Time_Check(o)) {
        TimeObject* t = as_time(o);
        if (!check_init(t)) return 0;
        if (PyArray_NDIM(core::as_array(t->jd1)) != 0) return -1;
        Parts p;
        if (!convert_time(t, ctx.scale, p)) return 0;
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
    PyArray_Descr* d = PyArray_DESCR(core::as_array(input));
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
    core::Ref a = bd::native_contiguous(input, kind == 'O');
    if (!a) return false;
    PyArrayObject* A = core::as_array(a.get());
    if (!allocate_like(a.get(), out)) return false;
    double* o1 = dptr(out.a);
    double* o2 = dptr(out.b);
    const npy_intp n = PyArray_SIZE(A);
    const char* base = static_cast<const char*>(PyArray_DATA(A));
    const npy_intp item = PyArray_ITEMSIZE(A);
    if (kind == 'U') {
        if (!bd::parse_str_array(a.get(), ctx.scale == Scale::UTC, bd::scale_name(ctx.scale), ctx.cur, o1, o2))
            return false;
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

Walk walk_innermost(PyObject* o, const Shape& shape, Ctx& ctx, double*& p1, double*& p2);

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
        if (PyArray_Check(o) || vt::Time_Check(o)) return Walk::kFallback;
        PyErr_SetString(PyExc_ValueError, "Time() got a ragged nested sequence (sub-sequences differ in depth)");
        return Walk::kError;
    }
    const Py_ssize_t n = shape.dims[depth];
    if (PySequence_Fast_GET_SIZE(o) != n) {
        PyErr_SetString(PyExc_ValueError, "Time() got a ragged nested sequence (sub-sequences differ in length)");
        return Walk::kError;
    }
    if (depth + 1 == shape.nd) return walk_innermost(o, shape, ctx, p1, p2);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PySequence_Fast_GET_SIZE(o) != n) return changed_size();
        const core::Ref hold = core::Ref::borrow(PySequence_Fast_GET_ITEM(o, i));
        const Walk w = walk_fill(hold.get(), depth + 1, shape, ctx, p1, p2);
        if (w != Walk::kOk) return w;
    }
    return Walk::kOk;
}

// The innermost list of a walk: texts go straight to the parser, in blocks
// (no Python code runs while a block is open); anything else is read once
// the texts before it are converted.
Walk walk_innermost(PyObject* o, const Shape& shape, Ctx& ctx, double*& p1, double*& p2) {
    const Py_ssize_t n = shape.dims[shape.nd - 1];
    bd::TextBlock texts(ctx.scale == Scale::UTC, bd::scale_name(ctx.scale), ctx.cur);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PySequence_Fast_GET_SIZE(o) != n) return changed_size();
        PyObject* item = PySequence_Fast_GET_ITEM(o, i);
        if (PyUnicode_CheckExact(item)) {
            if (!texts.add(item, p1, p2)) return Walk::kError;
            ++p1;
            ++p2;
            continue;
        }
        if (!texts.flush()) return Walk::kError;
        const core::Ref hold = core::Ref::borrow(item);
        const Walk w = walk_fill(item, shape.nd, shape, ctx, p1, p2);
        if (w != Walk::kOk) return w;
    }
    return texts.flush() ? Walk::kOk : Walk::kError;
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
    if (!PyUnicode_Check(value) && !PyBytes_Check(value) && !PyByteArray_Check(value) && !vt::Time_Check(value) &&
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

}  // namespace

#endif
