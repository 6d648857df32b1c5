// Argument parsing for the vectorcall (fastcall + keywords) and the
// tuple/dict calling conventions, with CPython-style messages, and the type
// checks that go with them.
#ifndef VELARION_CORE_ARGS_HPP
#define VELARION_CORE_ARGS_HPP

#include "velarion/_core/ref.hpp"

#include <cstring>
#include <span>

namespace velarion::core {

// Describes a signature: `names` of every parameter, the first `required`
// of which have no default. With `positional` >= 0 only the first
// `positional` parameters may be given by position and the rest are
// keyword-only; `required_keywords` names those of them without a default.
// Parsed values are borrowed references (nullptr where the caller gave
// nothing).
struct Signature {
    const char* function;  // shown as "<function>() takes ..."
    std::span<const char* const> names;
    Py_ssize_t required;
    bool extra_keywords = false;  // accept **kwargs (collected, see parse)
    Py_ssize_t positional = -1;   // -1: every parameter may be positional
    std::span<const char* const> required_keywords = {};
};

namespace detail {

// Python's own message for too many positional arguments, used where a
// signature has keyword-only parameters.
inline void raise_positional_count(const Signature& sig, Py_ssize_t given) {
    if (sig.required == sig.positional) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes %zd positional argument%s but %zd %s given", sig.function,
                     sig.positional, sig.positional == 1 ? "" : "s", given, given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%.200s() takes from %zd to %zd positional arguments but %zd %s given",
                     sig.function, sig.required, sig.positional, given, given == 1 ? "was" : "were");
    }
}

inline void raise_arg_count(const Signature& sig, Py_ssize_t given) {
    if (sig.positional >= 0 && given > sig.positional) {
        raise_positional_count(sig, given);
        return;
    }
    const Py_ssize_t nmax = static_cast<Py_ssize_t>(sig.names.size());
    const char* more_or_less;
    Py_ssize_t expected;
    if (sig.required == nmax) {
        more_or_less = "exactly";
        expected = nmax;
    } else if (given < sig.required) {
        more_or_less = "at least";
        expected = sig.required;
    } else {
        more_or_less = "at most";
        expected = nmax;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", sig.function,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

inline Py_ssize_t index_of(const Signature& sig, PyObject* key) {
    for (size_t i = 0; i < sig.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Stores one keyword; returns false with an exception set on failure.
inline bool store_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out,
                          PyObject** extra) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.function);
        return false;
    }
    Py_ssize_t i = index_of(sig, key);
    if (i < 0) {
        if (!sig.extra_keywords) {
            PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", sig.function, key);
            return false;
        }
        if (extra) {
            if (!*extra && !(*extra = PyDict_New())) return false;
            if (PyDict_SetItem(*extra, key, value) < 0) return false;
        }
        return true;
    }
    if (i < nargs || out[i]) {
        PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", sig.function, key);
        return false;
    }
    out[i] = value;
    return true;
}

inline bool check_required(const Signature& sig, Py_ssize_t nargs, PyObject** out) {
    for (Py_ssize_t i = nargs; i < sig.required; ++i) {
        if (!out[i]) {
            raise_arg_count(sig, nargs);
            return false;
        }
    }
    for (const char* name : sig.required_keywords) {
        for (size_t i = 0; i < sig.names.size(); ++i) {
            if (std::strcmp(sig.names[i], name) == 0 && !out[i]) {
                PyErr_Format(PyExc_TypeError, "%.200s() missing required keyword-only argument: '%s'", sig.function,
                             name);
                return false;
            }
        }
    }
    return true;
}

inline Py_ssize_t max_positional(const Signature& sig) {
    return sig.positional >= 0 ? sig.positional : static_cast<Py_ssize_t>(sig.names.size());
}

}  // namespace detail

// Vectorcall form. `out` has room for sig.names.size() entries. With
// sig.extra_keywords and a non-null `extra`, unknown keywords are collected
// into a new dict stored in *extra (the caller owns it).
inline bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                       Ref* extra = nullptr) {
    const Py_ssize_t nmax = static_cast<Py_ssize_t>(sig.names.size());
    for (Py_ssize_t i = 0; i < nmax; ++i) out[i] = nullptr;
    if (nargs > detail::max_positional(sig)) {
        detail::raise_arg_count(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    PyObject* extra_dict = nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!detail::store_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out,
                                       extra ? &extra_dict : nullptr)) {
                Py_XDECREF(extra_dict);
                return false;
            }
        }
    }
    if (extra) *extra = Ref::steal(extra_dict);
    return detail::check_required(sig, nargs, out);
}

namespace detail {

// Tuple/dict form into borrowed pointers (see Args for the owned form).
inline bool parse_args_borrowed(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out, Ref* extra) {
    const Py_ssize_t nmax = static_cast<Py_ssize_t>(sig.names.size());
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nmax; ++i) out[i] = nullptr;
    if (nargs > detail::max_positional(sig)) {
        detail::raise_arg_count(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    PyObject* extra_dict = nullptr;
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!detail::store_keyword(sig, key, value, nargs, out, extra ? &extra_dict : nullptr)) {
                Py_XDECREF(extra_dict);
                return false;
            }
        }
    }
    if (extra) *extra = Ref::steal(extra_dict);
    return detail::check_required(sig, nargs, out);
}

}  // namespace detail

// The parsed values of a tuple/dict call (tp_new, tp_init), owned: the
// keyword dict is an ordinary dict that Python code run later (a __float__,
// a property, a finaliser) can reach through the collector and clear, which
// would free a value only it held. a[i] is the value, or nullptr where the
// caller gave nothing.
template <size_t N>
class Args {
public:
    PyObject* operator[](size_t i) const noexcept { return values_[i].get(); }
    // The value, or None where the caller gave nothing.
    PyObject* or_none(size_t i) const noexcept { return values_[i] ? values_[i].get() : Py_None; }

private:
    template <size_t M>
    friend bool parse_args(const Signature&, PyObject*, PyObject*, Args<M>&, Ref*);
    Ref values_[N];
};

// Tuple/dict form (tp_new, tp_init).
template <size_t N>
bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, Args<N>& out, Ref* extra = nullptr) {
    if (sig.names.size() > N) {
        PyErr_Format(PyExc_SystemError, "%.200s(): more parameters than parsed values", sig.function);
        return false;
    }
    PyObject* borrowed[N];
    if (!detail::parse_args_borrowed(sig, args, kwargs, borrowed, extra)) return false;
    for (size_t i = 0; i < sig.names.size(); ++i) out.values_[i] = Ref::borrow(borrowed[i]);
    return true;
}

// Argument type test: `obj` must be an instance of `type` (subclasses
// accepted), or None when `none_ok`.
inline bool check_arg_type(PyObject* obj, PyTypeObject* type, const char* name, bool none_ok = true) {
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 type->tp_name, Py_TYPE(obj)->tp_name);
    return false;
}

// Exact `str` test: str subclasses are refused too, with a note saying so.
inline bool check_exact_str(PyObject* obj, const char* name, bool none_ok = false) {
    if ((none_ok && obj == Py_None) || PyUnicode_CheckExact(obj)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s", name, "str",
                 Py_TYPE(obj)->tp_name,
                 PyUnicode_Check(obj) ? ". Note that subclasses of str are not accepted here; pass str(value)." : "");
    return false;
}

// Float conversion through __float__/__index__ (a text is a TypeError).
inline bool to_double(PyObject* obj, double& out) {
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// A count (threads, substeps) in [1, 2**20]; `what` names it in the error.
inline bool to_count(PyObject* obj, const char* what, long& out) {
    out = PyLong_AsLong(obj);
    if (out == -1 && PyErr_Occurred()) return false;
    if (out < 1 || out > (1L << 20)) {
        PyErr_Format(PyExc_ValueError, "%s must lie in [1, 2**20], got %ld", what, out);
        return false;
    }
    return true;
}

}  // namespace velarion::core

#endif
