// Part of the velarion.state.ephemeris translation unit (included by
// ephemeris.cpp only): the arrays of the ephemerides. Their memory, which
// nothing but the ephemeris can resize or move; the list of each type's
// array members, through which traversal, clearing, installing, reading and
// the getters go; and the intake that copies an input into a new array.
#ifndef VELARION_STATE_PARTS_ARRAYS_HPP
#define VELARION_STATE_PARTS_ARRAYS_HPP

#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/state/binding.hpp"

#include <cstddef>
#include <cstdint>

namespace velarion::state {

// ---------------------------------------------------------------------------
// Array memory. Nobody but the ephemeris may change the memory behind its
// cached pointers. An array that owns its memory can be resized
// (resize(refcheck=False)) by whoever holds it, so the memory is allocated
// by NumPy in an array that nobody can reach: a capsule holds it (as its
// context) and is the base of the arrays the ephemeris keeps. Those are not
// handed out either: Python users get new arrays over the same memory
// (expose), whose base is the same capsule.

constexpr const char* kBlockName = "velarion.state.ephemeris.block";

inline void release_block(PyObject* capsule) { Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(capsule))); }

// A new C-contiguous float64 array of `rows` x `cols` (`cols` 0: one
// dimension of `rows`) over memory owned as described above, not
// initialised.
inline core::Ref new_block(Py_ssize_t rows, int cols) {
    npy_intp dims[2] = {rows, cols};
    const int ndim = cols > 0 ? 2 : 1;
    core::Ref owner = core::empty(ndim, dims);
    if (!owner) return {};
    void* memory = PyArray_DATA(core::as_array(owner.get()));
    core::Ref capsule = core::Ref::steal(PyCapsule_New(memory, kBlockName, release_block));
    if (!capsule) return {};
    if (PyCapsule_SetContext(capsule.get(), owner.release()) < 0) return {};
    core::Ref arr = core::Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), ndim, dims,
                                                          nullptr, memory, NPY_ARRAY_CARRAY, nullptr));
    if (!arr) return {};
    if (PyArray_SetBaseObject(core::as_array(arr.get()), capsule.release()) < 0) return {};
    return arr;
}

// A new writable array of `rows` x `cols` over the memory of the array member
// `block` at `data`, for Python users: its base is the capsule that owns the
// memory, so it neither reaches nor can resize the member. The caller read
// `block`, `data` and `rows` together (they agree). None when the ephemeris
// holds no arrays.
inline PyObject* expose(PyObject* block, double* data, Py_ssize_t rows, int cols) {
    if (!block || !data) Py_RETURN_NONE;
    PyObject* base = PyArray_BASE(core::as_array(block));
    core::Ref owner = core::Ref::borrow(base ? base : block);  // held before anything can run Python code
    npy_intp dims[2] = {rows, cols};
    core::Ref out =
        core::Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), cols > 0 ? 2 : 1, dims,
                                              nullptr, data, NPY_ARRAY_CARRAY, nullptr));
    if (!out) return nullptr;
    if (PyArray_SetBaseObject(core::as_array(out.get()), owner.release()) < 0) return nullptr;
    return out.release();
}

// ---------------------------------------------------------------------------
// Array members. Each subclass lists its arrays once (the owned array and the
// cached pointer to its first element); traversal, clearing, installing,
// reading and the Python getters go through that list.

template <class T>
struct ArrayMember {
    PyObject* T::* block;
    double* T::* data;
};

template <class T, size_t N>
int visit_arrays(T* e, const ArrayMember<T> (&members)[N], visitproc visit, void* arg) {
    for (const ArrayMember<T>& m : members) Py_VISIT(e->*m.block);
    return 0;
}

// Drops the arrays (and the size that counts their rows).
template <class T, size_t N>
void clear_arrays(T* e, const ArrayMember<T> (&members)[N]) noexcept {
    e->base.size = 0;
    for (const ArrayMember<T>& m : members) {
        e->*m.data = nullptr;
        Py_CLEAR(e->*m.block);
    }
}

// Puts blocks made by new_block in place; the replaced arrays come back in
// `arrays`, to be dropped once the instance is whole again.
template <class T, size_t N>
void install_arrays(T* e, const ArrayMember<T> (&members)[N], core::Ref (&arrays)[N]) noexcept {
    for (size_t k = 0; k < N; ++k) {
        double* data = core::data_of(arrays[k].get());
        binding::swap_in(e->*members[k].block, arrays[k]);
        e->*members[k].data = data;
    }
}

// The data pointers of the arrays, read together with the size `n` and held
// in `held`; false when the instance has rows but not its arrays (it was
// never initialised).
template <class T, size_t N>
bool read_arrays(T* e, const ArrayMember<T> (&members)[N], core::Ref (&held)[N], const double* (&data)[N],
                 Py_ssize_t& n) {
    n = e->base.size;
    for (size_t k = 0; k < N; ++k) {
        held[k] = core::Ref::borrow(e->*members[k].block);
        data[k] = e->*members[k].data;
        if (n > 0 && !data[k]) return false;
    }
    return true;
}

// Getter of the array member that `closure` indexes in `Members`: a new array
// over its memory (see expose), `Cols` columns (0: one dimension).
template <class T, const ArrayMember<T>* Members, int Cols>
PyObject* get_array(PyObject* self, void* closure) {
    T* e = reinterpret_cast<T*>(self);
    const ArrayMember<T>& m = Members[reinterpret_cast<std::intptr_t>(closure)];
    return expose(e->*m.block, e->*m.data, e->base.size, Cols);
}

// ---------------------------------------------------------------------------
// Array intake: any float64 buffer (any strides) or a plain sequence of
// numbers, copied into a new C-contiguous array that the ephemeris owns.

template <class View>
bool take_view(PyObject* obj, View& view, core::Ref& keep) {
    if (!PyObject_CheckBuffer(obj) && PySequence_Check(obj) && !PyUnicode_Check(obj)) {
        keep = core::Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr));
        if (!keep) return false;
        obj = keep.get();
    }
    return view.acquire(obj, false);
}

// (N,) copy of a 1-D input; `n` is -1 for "any length" (then set).
inline core::Ref copy_1d(PyObject* obj, const char* name, Py_ssize_t& n) {
    core::View1D view;
    core::Ref keep;
    if (!take_view(obj, view, keep)) return {};
    const Py_ssize_t len = view.shape(0);
    if (n >= 0 && len != n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd entries, but %zd were expected (one per epoch)", name, len, n);
        return {};
    }
    n = len;
    core::Ref out = new_block(len, 0);
    if (!out) return {};
    double* p = core::data_of(out.get());
    const core::Strided1D<double> s = view.span1();
    for (Py_ssize_t i = 0; i < len; ++i) p[i] = s[i];
    return out;
}

// (N, 3) copy of a 2-D input of N rows of x, y, z.
inline core::Ref copy_rows3(PyObject* obj, const char* name, Py_ssize_t& n) {
    core::View2D view;
    core::Ref keep;
    if (!take_view(obj, view, keep)) return {};
    if (view.shape(1) != 3) {
        PyErr_Format(PyExc_ValueError, "%s must have shape (N, 3) (one row of x, y, z per epoch), got (%zd, %zd)", name,
                     view.shape(0), view.shape(1));
        return {};
    }
    const Py_ssize_t rows = view.shape(0);
    if (n >= 0 && rows != n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd rows, but %zd were expected (one per epoch)", name, rows, n);
        return {};
    }
    n = rows;
    core::Ref out = new_block(rows, 3);
    if (!out) return {};
    double* p = core::data_of(out.get());
    const core::Strided2D<double> s = view.span2();
    for (Py_ssize_t i = 0; i < rows; ++i) s.load3(i, p + 3 * i);
    return out;
}

}  // namespace velarion::state

#endif
