// The broadcasting loop of the time modules: NumPy-broadcast operands,
// allocated outputs in C order, a body per inner loop (no Python inside).
#ifndef VELARION_TIME_LOOPS_HPP
#define VELARION_TIME_LOOPS_HPP

#include "velarion/_core/numpy.hpp"

namespace velarion::time {

// Broadcast loop over NumPy arrays (`in`, read as they are) with `nout`
// allocated outputs of `out_type`, C-contiguous. `body(data, strides,
// count)` runs per inner loop and returns false to stop (the call then
// returns false, with no exception of its own).
template <class Body>
bool broadcast(int nin, PyObject* const* in, int nout, NPY_TYPES out_type, core::Ref* out, Body&& body) {
    constexpr int kMax = 8;
    PyArrayObject* ops[kMax];
    npy_uint32 flags[kMax];
    PyArray_Descr* dtypes[kMax];
    const int nop = nin + nout;
    for (int i = 0; i < nin; ++i) {
        ops[i] = core::as_array(in[i]);
        flags[i] = NPY_ITER_READONLY;
        dtypes[i] = PyArray_DESCR(core::as_array(in[i]));
    }
    for (int i = nin; i < nop; ++i) {
        ops[i] = nullptr;
        flags[i] = NPY_ITER_WRITEONLY | NPY_ITER_ALLOCATE;
        dtypes[i] = PyArray_DescrFromType(out_type);
    }
    NpyIter* it = NpyIter_MultiNew(nop, ops, NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK, NPY_CORDER,
                                   NPY_NO_CASTING, flags, dtypes);
    for (int i = nin; i < nop; ++i) Py_DECREF(dtypes[i]);
    if (!it) return false;
    bool ok = true;
    if (NpyIter_GetIterSize(it) > 0) {
        NpyIter_IterNextFunc* next = NpyIter_GetIterNext(it, nullptr);
        if (!next) {
            NpyIter_Deallocate(it);
            return false;
        }
        char** data = NpyIter_GetDataPtrArray(it);
        npy_intp* strides = NpyIter_GetInnerStrideArray(it);
        npy_intp* size = NpyIter_GetInnerLoopSizePtr(it);
        do {
            if (!body(data, strides, *size)) {
                ok = false;
                break;
            }
        } while (next(it));
    }
    PyArrayObject** res = NpyIter_GetOperandArray(it);
    for (int i = 0; i < nout; ++i) {
        PyObject* r = reinterpret_cast<PyObject*>(res[nin + i]);
        if (PyArray_IS_C_CONTIGUOUS(res[nin + i])) {
            out[i] = core::Ref::borrow(r);
        } else {
            out[i] = core::Ref::steal(PyArray_NewCopy(res[nin + i], NPY_CORDER));
        }
    }
    if (NpyIter_Deallocate(it) != NPY_SUCCEED) return false;
    for (int i = 0; i < nout; ++i)
        if (!out[i]) return false;
    return ok;
}

inline double at(char* p) noexcept { return *reinterpret_cast<double*>(p); }

}  // namespace velarion::time

#endif
