// NumPy through its C API: result allocation like an input array and
// the few array constructors the modules need. Include from one translation
// unit per extension module (each module is a single .cpp).
#ifndef VELARION_CORE_NUMPY_HPP
#define VELARION_CORE_NUMPY_HPP

#include "velarion/_core/ref.hpp"

#include <numpy/arrayobject.h>

namespace velarion::core {

// Call once from the module's exec slot.
inline int import_numpy() { return PyArray_ImportNumPyAPI(); }

inline PyArrayObject* as_array(PyObject* o) noexcept { return reinterpret_cast<PyArrayObject*>(o); }

// numpy.empty_like(obj, subok=False): same shape, dtype and memory order, as
// a base-class array (no subclass's __array_finalize__ runs), uninitialised:
// for callers that write every element themselves.
inline Ref empty_like(PyObject* obj) {
    Ref arr = PyArray_Check(obj) ? Ref::borrow(obj) : Ref::steal(PyArray_FROM_O(obj));
    if (!arr) return {};
    return Ref::steal(PyArray_NewLikeArray(as_array(arr.get()), NPY_KEEPORDER, nullptr, 0));
}

// New C-contiguous float64 array of the given shape, filled with zeros.
inline Ref zeros(int ndim, const npy_intp* shape) {
    return Ref::steal(PyArray_ZEROS(ndim, const_cast<npy_intp*>(shape), NPY_DOUBLE, 0));
}

// New C-contiguous float64 array, uninitialised (callers fill every element).
inline Ref empty(int ndim, const npy_intp* shape) {
    return Ref::steal(PyArray_EMPTY(ndim, const_cast<npy_intp*>(shape), NPY_DOUBLE, 0));
}

// numpy.full(n, value) as float64.
inline Ref full(npy_intp n, double value) {
    Ref out = empty(1, &n);
    if (!out) return {};
    double* p = static_cast<double*>(PyArray_DATA(as_array(out.get())));
    for (npy_intp i = 0; i < n; ++i) p[i] = value;
    return out;
}

inline double* data_of(PyObject* arr) noexcept { return static_cast<double*>(PyArray_DATA(as_array(arr))); }

// numpy.asarray(obj) without a copy where obj already is an ndarray (subclasses kept as base ndarray).
inline Ref asarray(PyObject* obj) {
    if (PyArray_CheckExact(obj)) return Ref::borrow(obj);
    return Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, NPY_ARRAY_ENSUREARRAY, nullptr));
}

}  // namespace velarion::core

#endif
