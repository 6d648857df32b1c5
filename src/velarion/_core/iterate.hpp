// The one NumPy iteration driver: n input arrays and m output arrays
// (given, or allocated by the iterator), broadcast together, with a policy
// for the interpreter lock. Modules write only the inner loop.
#ifndef VELARION_CORE_ITERATE_HPP
#define VELARION_CORE_ITERATE_HPP

#include "velarion/_core/gil.hpp"
#include "velarion/_core/numpy.hpp"

namespace velarion::core {

enum class Gil { keep, release };

struct Iteration {
    int nin = 0;
    int nout = 0;
    NPY_ORDER order = NPY_KEEPORDER;
    // release: the inner loop runs without the interpreter lock, so it must
    // not touch a Python object without taking it (EnsureGil).
    Gil gil = Gil::keep;
    // Outputs handed back C-contiguous (the iterator may lay out allocated
    // outputs in the inputs' memory order).
    bool contiguous_outputs = false;
};

inline constexpr int kMaxOperands = 8;
inline constexpr npy_intp kIterationDone = -1;

namespace detail {

struct IterDeleter {
    NpyIter* it;
    ~IterDeleter() {
        if (it) NpyIter_Deallocate(it);
    }
};

}  // namespace detail

// Runs `body` over the broadcast operands. `ops` holds nin inputs (read as
// they are: no casting) then nout outputs; an output given as nullptr is
// allocated with type out_types[k] (float64 where out_types is nullptr), a
// given one must already have the broadcast shape. `body(data, strides,
// count)` gets the operands' data pointers and byte strides for one inner
// loop of `count` elements and returns kIterationDone to go on, or the index
// (0 <= k < count) at which it stopped.
//
// Returns false with an exception set when NumPy fails. Otherwise the output
// arrays are stored in `outputs` (new references) and `*stopped` is the
// iteration-order index at which the body stopped, or kIterationDone; the
// driver sets no exception for a stop (the caller knows what it means).
template <class Body>
bool iterate(const Iteration& how, PyArrayObject* const* ops, const NPY_TYPES* out_types, Ref* outputs,
             npy_intp* stopped, Body&& body) {
    const int nop = how.nin + how.nout;
    if (nop > kMaxOperands) {
        PyErr_SetString(PyExc_SystemError, "velarion: too many operands for one iteration");
        return false;
    }
    *stopped = kIterationDone;
    PyArrayObject* operands[kMaxOperands];
    npy_uint32 flags[kMaxOperands];
    PyArray_Descr* dtypes[kMaxOperands];
    for (int i = 0; i < nop; ++i) {
        operands[i] = ops[i];
        if (i < how.nin) {
            // Misaligned operands are copied (the body reads them as double*).
            flags[i] = NPY_ITER_READONLY | NPY_ITER_ALIGNED | NPY_ITER_COPY;
            dtypes[i] = nullptr;
        } else {
            flags[i] = NPY_ITER_WRITEONLY | NPY_ITER_ALIGNED |
                       (ops[i] ? NPY_ITER_NO_BROADCAST | NPY_ITER_UPDATEIFCOPY : NPY_ITER_ALLOCATE);
            dtypes[i] = PyArray_DescrFromType(out_types ? out_types[i - how.nin] : NPY_DOUBLE);
        }
    }
    detail::IterDeleter iter{NpyIter_MultiNew(nop, operands, NPY_ITER_EXTERNAL_LOOP | NPY_ITER_ZEROSIZE_OK, how.order,
                                              NPY_NO_CASTING, flags, dtypes)};
    for (int i = how.nin; i < nop; ++i) Py_XDECREF(dtypes[i]);
    if (!iter.it) return false;
    if (NpyIter_GetIterSize(iter.it) > 0) {
        NpyIter_IterNextFunc* next = NpyIter_GetIterNext(iter.it, nullptr);
        if (!next) return false;
        char** data = NpyIter_GetDataPtrArray(iter.it);
        const npy_intp* strides = NpyIter_GetInnerStrideArray(iter.it);
        const npy_intp* size = NpyIter_GetInnerLoopSizePtr(iter.it);
        npy_intp done = 0;
        ReleaseGil nogil(how.gil == Gil::release);
        do {
            const npy_intp k = body(data, strides, *size);
            if (k != kIterationDone) {
                *stopped = done + k;
                break;
            }
            done += *size;
        } while (next(iter.it));
    }
    PyArrayObject** result = NpyIter_GetOperandArray(iter.it);
    Ref arrays[kMaxOperands];
    for (int k = 0; k < how.nout; ++k) {
        // A given output is the caller's array (not the aligned copy the
        // iterator writes back into it when it is deallocated).
        PyArrayObject* r = ops[how.nin + k] ? ops[how.nin + k] : result[how.nin + k];
        arrays[k] = Ref::borrow(reinterpret_cast<PyObject*>(r));
    }
    NpyIter* done_with = iter.it;
    iter.it = nullptr;
    if (NpyIter_Deallocate(done_with) != NPY_SUCCEED) return false;  // the write-back of a copy failed
    for (int k = 0; k < how.nout; ++k) {
        PyArrayObject* r = as_array(arrays[k].get());
        if (how.contiguous_outputs && !PyArray_IS_C_CONTIGUOUS(r)) {
            outputs[k] = Ref::steal(PyArray_NewCopy(r, NPY_CORDER));
            if (!outputs[k]) return false;
        } else {
            outputs[k] = std::move(arrays[k]);
        }
    }
    return true;
}

}  // namespace velarion::core

#endif
