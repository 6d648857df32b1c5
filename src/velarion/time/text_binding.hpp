// Binding-layer helpers for ISO texts shared by the time modules: the
// messages of a refused text, and parsing a NumPy array of str.
#ifndef VELARION_TIME_TEXT_BINDING_HPP
#define VELARION_TIME_TEXT_BINDING_HPP

#include "velarion/_core/numpy.hpp"
#include "velarion/time/kernels/format.hpp"
#include "velarion/time/kernels/scales.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace velarion::time {

// Sets the ValueError for a text the parser refused. `scale` names the
// scale the text was read in ("utc", "tt", ...), or is nullptr when only
// "not UTC" is known.
inline void raise_text_error(PyObject* text, kernels::TextError e, const kernels::CivilTime& c, bool utc, const char* scale) {
    switch (e) {
        case kernels::TextError::kMalformed:
            PyErr_Format(PyExc_ValueError,
                         "%R is not an ISO 8601 date-time (expected YYYY-MM-DD, optionally followed by T or a "
                         "space and hh:mm, hh:mm:ss or hh:mm:ss.fff..., and an optional Z)",
                         text);
            break;
        case kernels::TextError::kDate:
            PyErr_Format(PyExc_ValueError, "%R is not a valid calendar date", text);
            break;
        case kernels::TextError::kTime:
            PyErr_Format(PyExc_ValueError,
                         "%R is not a valid time of day (hour 00-23, minute 00-59, second 00-59, or 60 in the "
                         "last minute of a UTC day with a leap second; a UTC day shortened by a step of TAI-UTC, "
                         "before 1972, ends early)",
                         text);
            break;
        case kernels::TextError::kLeap:
            if (utc) {
                const kernels::Civil d = kernels::civil_from_mjd(c.mjd);
                PyErr_Format(PyExc_ValueError,
                             "%R has second 60, but UTC has no leap second there: %04d-%02d-%02d ends without one",
                             text, static_cast<int>(d.year), d.month, d.day);
            } else if (scale) {
                PyErr_Format(PyExc_ValueError,
                             "%R has second 60, which exists only in UTC on a day with a leap second (the scale "
                             "here is '%s')",
                             text, scale);
            } else {
                PyErr_Format(PyExc_ValueError,
                             "%R has second 60, which exists only in UTC on a day with a leap second", text);
            }
            break;
        case kernels::TextError::kNone:
            break;
    }
}

// Parses every text of a NumPy array of str (dtype 'U', any byte order and
// layout) into o1, o2 (its size, C order). Returns false with the error set.
inline bool parse_str_array(PyObject* input, bool utc, const char* scale, kernels::LeapCursor& cur, double* o1, double* o2) {
    auto* in = reinterpret_cast<PyArrayObject*>(input);
    const npy_intp n = PyArray_SIZE(in);
    if (n == 0) return true;
    PyArray_Descr* d = PyArray_DESCR(in);
    Py_INCREF(d);
    PyArray_Descr* want = PyArray_ISNBO(d->byteorder) ? d : PyArray_DescrNewByteorder(d, NPY_NATIVE);
    if (want != d) Py_DECREF(d);
    if (!want) return false;
    core::Ref c = core::Ref::steal(PyArray_FromAny(input, want, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
    if (!c) return false;
    const char* base = static_cast<const char*>(PyArray_DATA(core::as_array(c.get())));
    const npy_intp item = PyArray_ITEMSIZE(core::as_array(c.get()));
    const npy_intp width = item / 4;
    for (npy_intp i = 0; i < n; ++i) {
        const Py_UCS4* s = reinterpret_cast<const Py_UCS4*>(base + i * item);
        npy_intp len = width;
        while (len > 0 && s[len - 1] == 0) --len;
        kernels::CivilTime f;
        const kernels::TextError e = kernels::parse_iso(s, static_cast<size_t>(len), utc, cur, o1[i], o2[i], f);
        if (e != kernels::TextError::kNone) {
            core::Ref text = core::Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s, len));
            if (text) raise_text_error(text.get(), e, f, utc, scale);
            return false;
        }
    }
    return true;
}

// Calendar day and nanosecond of the day of n epochs, the form the texts
// are written from: two int64 arrays (an impossible size is a MemoryError,
// never a C++ exception).
struct CivilArrays {
    core::Ref mjd_array;
    core::Ref ns_array;
    int64_t* mjd = nullptr;
    int64_t* ns = nullptr;

    CivilArrays() = default;
    // Over two C-contiguous int64 arrays of the same size.
    CivilArrays(core::Ref days, core::Ref nanos)
        : mjd_array(std::move(days)), ns_array(std::move(nanos)), mjd(data(mjd_array)), ns(data(ns_array)) {}

    bool allocate(npy_intp n) {
        mjd_array = core::Ref::steal(PyArray_EMPTY(1, &n, NPY_INT64, 0));
        if (!mjd_array) return false;
        ns_array = core::Ref::steal(PyArray_EMPTY(1, &n, NPY_INT64, 0));
        if (!ns_array) return false;
        mjd = data(mjd_array);
        ns = data(ns_array);
        return true;
    }

private:
    static int64_t* data(const core::Ref& a) noexcept {
        return static_cast<int64_t*>(PyArray_DATA(core::as_array(a.get())));
    }
};

// ISO texts of the n epochs of `c` with `decimals` (0..9, or -1: the fewest
// of 0, 3, 6, 9 that show every epoch exactly): a str for nd == 0, else a
// str array of shape dims, as narrow as its longest text.
inline PyObject* iso_texts(int nd, const npy_intp* dims, const CivilArrays& c, npy_intp n, int decimals) {
    if (decimals < 0) {
        decimals = 0;
        for (npy_intp i = 0; i < n && decimals < 9; ++i) decimals = std::max(decimals, kernels::needed_decimals(c.ns[i]));
    }
    char buf[kernels::kIsoMaxLen];
    if (nd == 0) {
        const size_t len = kernels::format_iso(c.mjd[0], c.ns[0], decimals, buf);
        return PyUnicode_FromStringAndSize(buf, static_cast<Py_ssize_t>(len));
    }
    // Only the year's digits vary in length, and they grow away from year 0:
    // the earliest or the latest day has the longest text.
    size_t width = 1;
    if (n > 0) {
        int64_t lo = c.mjd[0], hi = c.mjd[0];
        for (npy_intp i = 1; i < n; ++i) {
            lo = std::min(lo, c.mjd[i]);
            hi = std::max(hi, c.mjd[i]);
        }
        width = std::max(kernels::format_iso(lo, 0, decimals, buf), kernels::format_iso(hi, 0, decimals, buf));
    }
    PyArray_Descr* d = PyArray_DescrNewFromType(NPY_UNICODE);
    if (!d) return nullptr;
    PyDataType_SET_ELSIZE(d, static_cast<npy_intp>(width * 4));
    core::Ref out = core::Ref::steal(
        PyArray_NewFromDescr(&PyArray_Type, d, nd, const_cast<npy_intp*>(dims), nullptr, nullptr, 0, nullptr));
    if (!out) return nullptr;
    Py_UCS4* o = static_cast<Py_UCS4*>(PyArray_DATA(core::as_array(out.get())));
    for (npy_intp i = 0; i < n; ++i) {
        const size_t len = kernels::format_iso(c.mjd[i], c.ns[i], decimals, buf);
        Py_UCS4* row = o + static_cast<size_t>(i) * width;
        size_t k = 0;
        for (; k < len; ++k) row[k] = static_cast<unsigned char>(buf[k]);
        for (; k < width; ++k) row[k] = 0;
    }
    return out.release();
}

}  // namespace velarion::time

#endif
