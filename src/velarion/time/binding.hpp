// Binding-layer helpers shared by the two time modules (velarion.time.time
// and velarion.time.format): scale arguments, number arrays, NumPy
// iteration over epochs, ISO texts read from str and str arrays (UCS-4, any
// byte order) and written to them, and the leap-second table at start-up.
// Each module compiles its own copy (one translation unit per module).
#ifndef VELARION_TIME_BINDING_HPP
#define VELARION_TIME_BINDING_HPP

#include "velarion/_core/core.hpp"
#include "velarion/_core/iterate.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/time/kernels/civil.hpp"
#include "velarion/time/kernels/iso_format.hpp"
#include "velarion/time/kernels/iso_parse.hpp"
#include "velarion/time/kernels/scales.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace velarion::time::binding {

using kernels::Scale;

// ------------------------------------------------------------------ scales

// Word for word: the scale names are what `Time.scale` gives and what the
// messages below and their tests quote.
inline constexpr const char* kScaleNames[kernels::kScaleCount] = {"utc", "tai", "tt", "ut1"};

inline const char* scale_name(Scale s) noexcept { return kScaleNames[static_cast<int>(s)]; }

// Reads a scale argument; None (or no argument) leaves `out` as it is, the
// caller's default.
inline bool parse_scale(PyObject* obj, Scale& out) {
    if (!obj || obj == Py_None) return true;
    if (!PyUnicode_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "scale must be a str ('utc', 'tai', 'tt' or 'ut1'), not %.200s",
                     Py_TYPE(obj)->tp_name);
        return false;
    }
    for (int s = 0; s < kernels::kScaleCount; ++s) {
        if (PyUnicode_CompareWithASCIIString(obj, kScaleNames[s]) == 0) {
            out = static_cast<Scale>(s);
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown time scale %R (expected 'utc', 'tai', 'tt' or 'ut1')", obj);
    return false;
}

// ----------------------------------------------------------- number arrays

// Whether a NumPy array kind holds numbers: signed and unsigned integers and
// floats, and booleans (read as 0 and 1) where `bools`.
inline bool is_number_kind(char kind, bool bools) noexcept {
    return kind == 'i' || kind == 'u' || kind == 'f' || (bools && kind == 'b');
}

// An array of numbers as float64, aligned (any layout).
inline core::Ref as_float64(PyObject* array) {
    return core::Ref::steal(PyArray_FromAny(array, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                            NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
}

// A date argument (jd1, jd2, mjd): a number or an array of numbers (bools
// included), as float64.
inline core::Ref number_array(PyObject* obj, const char* name) {
    // Word for word: tests compare these texts.
    if (PyUnicode_Check(obj) || PyBytes_Check(obj) || obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "%s must be a number or an array of numbers, not %.200s", name,
                     Py_TYPE(obj)->tp_name);
        return {};
    }
    core::Ref a = core::Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!a) return {};
    PyArray_Descr* d = PyArray_DESCR(core::as_array(a.get()));
    if (!is_number_kind(d->kind, true)) {
        PyErr_Format(PyExc_TypeError, "%s must be a number or an array of numbers, not an array of dtype %S", name,
                     reinterpret_cast<PyObject*>(d));
        return {};
    }
    return as_float64(a.get());
}

// The arguments jd1 and jd2 (nullptr: 0.0) as float64 arrays.
inline bool jd_pair(PyObject* jd1, PyObject* jd2, core::Ref& x, core::Ref& y) {
    if (!(x = number_array(jd1, "jd1"))) return false;
    if (jd2) {
        y = number_array(jd2, "jd2");
    } else {
        y = core::empty(0, nullptr);
        if (y) core::data_of(y.get())[0] = 0.0;
    }
    return static_cast<bool>(y);
}

// `array` (an ndarray) in native byte order, aligned and C-contiguous;
// with `copy` always a private copy.
inline core::Ref native_contiguous(PyObject* array, bool copy) {
    PyArray_Descr* d = PyArray_DESCR(core::as_array(array));
    Py_INCREF(d);
    PyArray_Descr* want = PyArray_ISNBO(d->byteorder) ? d : PyArray_DescrNewByteorder(d, NPY_NATIVE);
    if (want != d) Py_DECREF(d);
    if (!want) return {};
    const int flags = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | (copy ? NPY_ARRAY_ENSURECOPY : 0);
    return core::Ref::steal(PyArray_FromAny(array, want, 0, 0, flags, nullptr));
}

// ---------------------------------------------------------- NumPy iteration

// How the time modules iterate: epochs in C order (the first faulty one is
// the one reported), outputs C-contiguous.
constexpr core::Iteration in_c_order(int nin, int nout) noexcept {
    return {.nin = nin, .nout = nout, .order = NPY_CORDER, .contiguous_outputs = true};
}

// Operand k of one inner loop of core::iterate, as a strided view.
template <class T>
core::Strided1D<T> operand(char* const* data, const npy_intp* strides, npy_intp count, int k) noexcept {
    return {data[k], count, strides[k]};
}

// The elements of a C-contiguous array, as a strided view.
template <class T>
core::Strided1D<T> elements(PyObject* array) noexcept {
    PyArrayObject* a = core::as_array(array);
    return {PyArray_BYTES(a), PyArray_SIZE(a), static_cast<core::index_t>(sizeof(T))};
}

// The inner loop's answer to core::iterate for a kernel's end.
inline npy_intp stop_index(const kernels::LoopEnd& end) noexcept { return end.at < 0 ? core::kIterationDone : end.at; }

// ------------------------------------------------------------ texts in

// Sets the ValueError for a text the parser refused. `scale` names the
// scale the text was read in ("utc", "tt", ...), or is nullptr when only
// "not UTC" is known.
inline void raise_text_error(PyObject* text, kernels::TextError e, const kernels::CivilTime& c, bool utc,
                             const char* scale) {
    // Word for word: callers and tests compare these texts.
    switch (e) {
        case kernels::TextError::kMalformed:
            PyErr_Format(PyExc_ValueError,
                         "%R is not an ISO 8601 date-time (expected YYYY-MM-DD, optionally followed by T or a "
                         "space and hh:mm, hh:mm:ss or hh:mm:ss.fff..., and an optional Z)",
                         text);
            break;
        case kernels::TextError::kDate: PyErr_Format(PyExc_ValueError, "%R is not a valid calendar date", text); break;
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
                PyErr_Format(PyExc_ValueError, "%R has second 60, which exists only in UTC on a day with a leap second",
                             text);
            }
            break;
        case kernels::TextError::kNone: break;
    }
}

// The characters of a str: its own bytes when it is ASCII (the usual
// case), else its UTF-8 (cached by the str). False with the error set.
inline bool text_chars(PyObject* s, const char*& p, size_t& len) {
    Py_ssize_t n;
    if (PyUnicode_IS_COMPACT_ASCII(s)) {
        p = static_cast<const char*>(PyUnicode_DATA(s));
        n = PyUnicode_GET_LENGTH(s);
    } else {
        p = PyUnicode_AsUTF8AndSize(s, &n);
        if (!p) return false;
    }
    len = static_cast<size_t>(n);
    return true;
}

// One str -> two-part JD read in UTC (`utc`) or in the scale named `scale`
// (nullptr: only "not UTC" is known). Returns false with the error set.
inline bool text_to_jd(PyObject* s, bool utc, const char* scale, kernels::LeapCursor& cur, double& j1, double& j2) {
    const char* p;
    size_t len;
    if (!text_chars(s, p, len)) return false;
    kernels::CivilTime c;
    const kernels::TextError e = kernels::parse_iso(p, len, utc, cur, j1, j2, c);
    if (e == kernels::TextError::kNone) return true;
    raise_text_error(s, e, c, utc, scale);
    return false;
}

// Texts read in blocks: the calendar fields of up to kSize texts, then
// their dates (kernels::civil_block_to_jd), in the order given; an error
// is the first text's that is refused. The texts are borrowed: nothing
// that can run Python code may come between add() and the flush() after.
class TextBlock {
public:
    TextBlock(bool utc, const char* scale, kernels::LeapCursor& cur) noexcept : utc_(utc), scale_(scale), cur_(cur) {}

    // Reads the str s, whose date goes to *j1, *j2: the outputs of the
    // texts added between two flushes follow each other. False with the
    // error set.
    bool add(PyObject* s, double* j1, double* j2) {
        // A full block, or a text whose UTF-8 may fail to form: the texts
        // before it first.
        if ((n_ == kSize || !PyUnicode_IS_COMPACT_ASCII(s)) && !flush()) return false;
        if (n_ == 0) {
            out1_ = j1;
            out2_ = j2;
        }
        const char* p;
        size_t len;
        if (!text_chars(s, p, len)) return false;
        const size_t k = n_;
        const kernels::TextError e = kernels::read_iso(p, len, fields_[k]);
        if (e != kernels::TextError::kNone) {
            if (!flush()) return false;
            raise_text_error(s, e, fields_[k], utc_, scale_);
            return false;
        }
        texts_[n_++] = s;
        return true;
    }

    // Converts the texts read since the last flush. False with the error set.
    bool flush() {
        const size_t n = n_;
        n_ = 0;
        kernels::TextError e = kernels::TextError::kNone;
        const size_t done = kernels::civil_block_to_jd(fields_, n, utc_, cur_, out1_, out2_, e);
        if (done == n) return true;
        raise_text_error(texts_[done], e, fields_[done], utc_, scale_);
        return false;
    }

private:
    static constexpr size_t kSize = 32;

    bool utc_;
    const char* scale_;
    kernels::LeapCursor& cur_;
    size_t n_ = 0;
    double* out1_ = nullptr;
    double* out2_ = nullptr;
    kernels::CivilTime fields_[kSize];
    PyObject* texts_[kSize];
};

// Parses every text of a NumPy array of str (dtype 'U', any byte order and
// layout) into o1, o2 (its size, C order), in blocks as TextBlock does.
// Returns false with the error set.
inline bool parse_str_array(PyObject* input, bool utc, const char* scale, kernels::LeapCursor& cur, double* o1,
                            double* o2) {
    const npy_intp n = PyArray_SIZE(core::as_array(input));
    if (n == 0) return true;
    core::Ref c = native_contiguous(input, false);
    if (!c) return false;
    const char* base = PyArray_BYTES(core::as_array(c.get()));
    const npy_intp item = PyArray_ITEMSIZE(core::as_array(c.get()));
    const npy_intp width = item / 4;
    // Text i: its code units and its length (NumPy pads with NULs).
    auto text_at = [&](npy_intp i, npy_intp& len) {
        const Py_UCS4* s = reinterpret_cast<const Py_UCS4*>(base + i * item);
        len = width;
        while (len > 0 && s[len - 1] == 0) --len;
        return s;
    };
    auto raise_at = [&](npy_intp i, kernels::TextError e, const kernels::CivilTime& f) {
        npy_intp len;
        const Py_UCS4* s = text_at(i, len);
        core::Ref text = core::Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, s, len));
        if (text) raise_text_error(text.get(), e, f, utc, scale);
        return false;
    };
    constexpr npy_intp kBlock = 32;
    kernels::CivilTime fields[kBlock];
    for (npy_intp start = 0; start < n; start += kBlock) {
        const npy_intp m = std::min(kBlock, n - start);
        npy_intp k = 0;
        kernels::TextError e = kernels::TextError::kNone;
        for (; k < m; ++k) {
            npy_intp len;
            const Py_UCS4* s = text_at(start + k, len);
            e = kernels::read_iso(s, static_cast<size_t>(len), fields[k]);
            if (e != kernels::TextError::kNone) break;
        }
        kernels::TextError ce = kernels::TextError::kNone;
        const size_t done =
            kernels::civil_block_to_jd(fields, static_cast<size_t>(k), utc, cur, o1 + start, o2 + start, ce);
        if (done < static_cast<size_t>(k)) return raise_at(start + static_cast<npy_intp>(done), ce, fields[done]);
        if (k < m) return raise_at(start + k, e, fields[k]);
    }
    return true;
}

// ------------------------------------------------------------ texts out

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
        for (npy_intp i = 0; i < n && decimals < 9; ++i)
            decimals = std::max(decimals, kernels::needed_decimals(c.ns[i]));
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

// ---------------------------------------------------------------- start-up

// Reads the leap-second table from ERFA at module start-up; false with
// ImportError set.
inline bool load_leap_table(const char* module) {
    if (kernels::g_leap_table.build()) return true;
    PyErr_Format(PyExc_ImportError, "%s: could not read the leap-second table from ERFA", module);
    return false;
}

}  // namespace velarion::time::binding

#endif
