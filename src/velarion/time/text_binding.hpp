// Binding-layer helpers for ISO texts shared by the time modules: the
// messages of a refused text, and parsing a NumPy array of str.
#ifndef VELARION_TIME_TEXT_BINDING_HPP
#define VELARION_TIME_TEXT_BINDING_HPP

#include "velarion/_core/numpy.hpp"
#include "velarion/time/format.hpp"
#include "velarion/time/scales.hpp"

namespace velarion::time {

// Sets the ValueError for a text the parser refused. `scale` names the
// scale the text was read in ("utc", "tt", ...), or is nullptr when only
// "not UTC" is known.
inline void raise_text_error(PyObject* text, TextError e, const CivilTime& c, bool utc, const char* scale) {
    switch (e) {
        case TextError::kMalformed:
            PyErr_Format(PyExc_ValueError,
                         "%R is not an ISO 8601 date-time (expected YYYY-MM-DD, optionally followed by T or a "
                         "space and hh:mm, hh:mm:ss or hh:mm:ss.fff..., and an optional Z)",
                         text);
            break;
        case TextError::kDate:
            PyErr_Format(PyExc_ValueError, "%R is not a valid calendar date", text);
            break;
        case TextError::kTime:
            PyErr_Format(PyExc_ValueError,
                         "%R is not a valid time of day (hour 00-23, minute 00-59, second 00-59, or 60 in the "
                         "last minute of a UTC day with a leap second; a UTC day shortened by a step of TAI-UTC, "
                         "before 1972, ends early)",
                         text);
            break;
        case TextError::kLeap:
            if (utc) {
                const Civil d = civil_from_mjd(c.mjd);
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
        case TextError::kNone:
            break;
    }
}

// Parses every text of a NumPy array of str (dtype 'U', any byte order and
// layout) into o1, o2 (its size, C order). Returns false with the error set.
inline bool parse_str_array(PyObject* input, bool utc, const char* scale, LeapCursor& cur, double* o1, double* o2) {
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
        CivilTime f;
        const TextError e = parse_iso(s, static_cast<size_t>(len), utc, cur, o1[i], o2[i], f);
        if (e != TextError::kNone) {
            core::Ref text = core::Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s, len));
            if (text) raise_text_error(text.get(), e, f, utc, scale);
            return false;
        }
    }
    return true;
}

}  // namespace velarion::time

#endif
