// Element-wise functions of two arguments over NumPy-broadcast inputs, for
// the Python-visible vectorized forms of scalar kernels.
#ifndef VELARION_CORE_UFUNC_HPP
#define VELARION_CORE_UFUNC_HPP

#include "velarion/_core/iterate.hpp"

namespace velarion::core {

// Whether an argument asks for the array path (an ndarray or a sequence that
// is not a text).
inline bool is_array_like(PyObject* o) {
    return PyArray_Check(o) || (PySequence_Check(o) && !PyUnicode_Check(o) && !PyBytes_Check(o));
}

namespace detail {

// Takes `a` and `b` as float64 arrays, broadcasts them and runs `loop` (an
// inner loop for iterate) to fill a new float64 array; empty on a Python
// error (set) or when the loop stopped early (the caller knows why).
template <class Loop>
Ref binary_double_loop(PyObject* a, PyObject* b, Gil gil, Loop&& loop) {
    Ref xa = Ref::steal(
        PyArray_FromAny(a, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    if (!xa) return {};
    Ref ya = Ref::steal(
        PyArray_FromAny(b, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    if (!ya) return {};
    PyArrayObject* ops[3] = {as_array(xa.get()), as_array(ya.get()), nullptr};
    Ref out;
    npy_intp stopped;
    if (!iterate({.nin = 2, .nout = 1, .gil = gil}, ops, nullptr, &out, &stopped, std::forward<Loop>(loop))) return {};
    return out;
}

}  // namespace detail

// Broadcasts `a` and `b` (taken as float64 arrays) and fills a new float64
// array with body(x, y, out). `body` returns 0 to go on, or a non-zero status
// that stops the loop; that status is stored in `status` and the partial
// result is dropped (an empty Ref is returned, with no exception set by this
// function: the caller turns the status into one). With Gil::release the
// loop runs without the interpreter lock (see Iteration).
template <class Body>
Ref broadcast_binary(PyObject* a, PyObject* b, Body&& body, int& status, Gil gil = Gil::keep) {
    status = 0;
    Ref out =
        detail::binary_double_loop(a, b, gil, [&](char* const* data, const npy_intp* strides, npy_intp n) -> npy_intp {
            const char* px = data[0];
            const char* py = data[1];
            char* po = data[2];
            for (npy_intp i = 0; i < n; ++i) {
                status = body(*reinterpret_cast<const double*>(px), *reinterpret_cast<const double*>(py),
                              *reinterpret_cast<double*>(po));
                if (status != 0) return i;
                px += strides[0];
                py += strides[1];
                po += strides[2];
            }
            return kIterationDone;
        });
    if (status != 0) return {};
    return out;
}

// One operand of a block: `count` contiguous values, or one value that
// stands for all of them (a broadcast operand).
struct BlockOperand {
    const double* data;
    bool broadcast;
};

// broadcast_binary for kernels that work on blocks (vectorized loops):
// body(x, y, out, count) gets up to kBlockSize values at a time, each input
// contiguous or broadcast and the output contiguous (strided operands are
// gathered into and scattered from buffers on the stack), and returns 0 to
// go on or a non-zero status, as for broadcast_binary.
inline constexpr npy_intp kBlockSize = 256;

template <class Body>
Ref broadcast_binary_blocks(PyObject* a, PyObject* b, Body&& body, int& status, Gil gil = Gil::keep) {
    status = 0;
    Ref out =
        detail::binary_double_loop(a, b, gil, [&](char* const* data, const npy_intp* strides, npy_intp n) -> npy_intp {
            constexpr npy_intp kSize = sizeof(double);
            double buffers[3][kBlockSize];
            for (npy_intp start = 0; start < n; start += kBlockSize) {
                const npy_intp count = n - start < kBlockSize ? n - start : kBlockSize;
                BlockOperand in[2];
                for (int k = 0; k < 2; ++k) {
                    const char* p = data[k] + start * strides[k];
                    if (strides[k] == 0 || strides[k] == kSize) {
                        in[k] = {reinterpret_cast<const double*>(p), strides[k] == 0};
                    } else {
                        for (npy_intp i = 0; i < count; ++i)
                            buffers[k][i] = *reinterpret_cast<const double*>(p + i * strides[k]);
                        in[k] = {buffers[k], false};
                    }
                }
                char* po = data[2] + start * strides[2];
                const bool direct = strides[2] == kSize;
                double* o = direct ? reinterpret_cast<double*>(po) : buffers[2];
                status = body(in[0], in[1], o, count);
                if (status != 0) return start;
                if (!direct) {
                    for (npy_intp i = 0; i < count; ++i) *reinterpret_cast<double*>(po + i * strides[2]) = o[i];
                }
            }
            return kIterationDone;
        });
    if (status != 0) return {};
    return out;
}

}  // namespace velarion::core

#endif
