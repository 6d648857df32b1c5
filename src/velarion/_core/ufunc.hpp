// Element-wise functions of two arguments over NumPy-broadcast inputs, for
// the Python-visible vectorized forms of scalar kernels.
#ifndef VELARION_CORE_UFUNC_HPP
#define VELARION_CORE_UFUNC_HPP

#include "velarion/_core/numpy.hpp"

namespace velarion::core {

// Whether an argument asks for the array path (an ndarray or a sequence that
// is not a text).
inline bool is_array_like(PyObject* o) {
    return PyArray_Check(o) || (PySequence_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o));
}

// Broadcasts `a` and `b` (taken as float64 arrays) and fills a new float64
// array with body(x, y, out). `body` returns 0 to go on, or a non-zero status
// that stops the loop; that status is stored in `status` and the partial
// result is dropped (an empty Ref is returned, with no exception set by this
// function: the caller turns the status into one). With `without_gil` the
// loop runs with the interpreter lock released, so `body` must not touch
// Python objects without taking it.
template <class Body>
Ref broadcast_binary(PyObject* a, PyObject* b, Body&& body, int& status, bool without_gil = false) {
    status = 0;
    Ref xa = Ref::steal(PyArray_FromAny(a, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                        NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    if (!xa) return {};
    Ref ya = Ref::steal(PyArray_FromAny(b, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                        NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    if (!ya) return {};
    PyArrayObject* ops[3] = {as_array(xa.get()), as_array(ya.get()), nullptr};
    npy_uint32 flags[3] = {NPY_ITER_READONLY, NPY_ITER_READONLY, NPY_ITER_WRITEONLY | NPY_ITER_ALLOCATE};
    NpyIter* it = NpyIter_MultiNew(3, ops, NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK, NPY_KEEPORDER,
                                   NPY_NO_CASTING, flags, nullptr);
    if (!it) return {};
    if (NpyIter_GetIterSize(it) > 0) {
        NpyIter_IterNextFunc* next = NpyIter_GetIterNext(it, nullptr);
        if (!next) {
            NpyIter_Deallocate(it);
            return {};
        }
        char** data = NpyIter_GetDataPtrArray(it);
        npy_intp* strides = NpyIter_GetInnerStrideArray(it);
        npy_intp* size = NpyIter_GetInnerLoopSizePtr(it);
        PyThreadState* saved = without_gil ? PyEval_SaveThread() : nullptr;
        do {
            char *px = data[0], *py = data[1], *po = data[2];
            const npy_intp n = *size;
            for (npy_intp i = 0; i < n && status == 0; ++i) {
                status = body(*reinterpret_cast<const double*>(px), *reinterpret_cast<const double*>(py),
                              *reinterpret_cast<double*>(po));
                px += strides[0];
                py += strides[1];
                po += strides[2];
            }
        } while (status == 0 && next(it));
        if (saved) PyEval_RestoreThread(saved);
    }
    Ref out = Ref::borrow(reinterpret_cast<PyObject*>(NpyIter_GetOperandArray(it)[2]));
    if (NpyIter_Deallocate(it) != NPY_SUCCEED || status != 0) return {};
    return out;
}

}  // namespace velarion::core

#endif
