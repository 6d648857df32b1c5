// Part of velarion.time.time's translation unit (included by time.cpp only,
// after its namespace aliases): the operators of Time: t + seconds,
// t - seconds, t1 - t2 (SI seconds) and the comparisons, all on TAI.
#ifndef VELARION_TIME_PARTS_ARITHMETIC_HPP
#define VELARION_TIME_PARTS_ARITHMETIC_HPP

namespace {

// A float64 array from a number or an array of numbers; an empty Ref with
// no exception when `obj` is not numeric (the operator then gives
// NotImplemented).
core::Ref numeric_array(PyObject* obj) {
    if (PyBool_Check(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj) || vt::Time_Check(obj)) return {};
    if (!(PyFloat_Check(obj) || PyLong_Check(obj) || PyArray_Check(obj) || PyArray_IsScalar(obj, Number) ||
          PyList_Check(obj) || PyTuple_Check(obj)))
        return {};
    core::Ref a = core::Ref::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
    if (!a) {
        PyErr_Clear();
        return {};
    }
    if (!bd::is_number_kind(PyArray_DESCR(core::as_array(a.get()))->kind, false)) return {};
    return bd::as_float64(a.get());
}

// An operand of arithmetic or comparison: its arrays and scale, with UT1
// (which needs Earth orientation data) brought to TAI beforehand so that the
// loops convert the rest per element without temporaries.
struct Operand {
    Parts parts;
    Scale scale;

    // All the epochs, over the contiguous arrays.
    kn::Epochs epochs() const noexcept {
        return {scale, bd::elements<const double>(parts.a.get()), bd::elements<const double>(parts.b.get())};
    }
};

bool prepare(PyObject* o, Operand& op) {
    TimeObject* t = as_time(o);
    op.scale = scale_of(t) == Scale::UT1 ? Scale::TAI : scale_of(t);
    return convert_time(t, op.scale, op.parts);
}

// The epochs of operand k..k+1 of one inner loop of core::iterate.
kn::Epochs epochs_operand(Scale scale, char* const* data, const npy_intp* strides, npy_intp count, int k) noexcept {
    return {scale, bd::operand<const double>(data, strides, count, k),
            bd::operand<const double>(data, strides, count, k + 1)};
}

// Runs `loop(p's epochs, q's epochs, out)` over the broadcast epochs of p
// and q, out a new array of `type` (elements T) of the broadcast shape.
template <class T, class Loop>
core::Ref broadcast_operands(const Operand& p, const Operand& q, NPY_TYPES type, Loop&& loop) {
    PyArrayObject* ops[5] = {core::as_array(p.parts.a.get()), core::as_array(p.parts.b.get()),
                             core::as_array(q.parts.a.get()), core::as_array(q.parts.b.get()), nullptr};
    const NPY_TYPES types[1] = {type};
    core::Ref out;
    npy_intp stopped;
    const bool ok = core::iterate(
        bd::in_c_order(4, 1), ops, types, &out, &stopped, [&](char* const* d, const npy_intp* s, npy_intp n) {
            loop(epochs_operand(p.scale, d, s, n, 0), epochs_operand(q.scale, d, s, n, 2), bd::operand<T>(d, s, n, 4));
            return core::kIterationDone;
        });
    if (!ok) return {};
    return out;
}

inline bool same_shape(PyObject* x, PyObject* y) noexcept {
    PyArrayObject* A = core::as_array(x);
    PyArrayObject* B = core::as_array(y);
    return PyArray_NDIM(A) == PyArray_NDIM(B) &&
           PyArray_CompareLists(PyArray_DIMS(A), PyArray_DIMS(B), PyArray_NDIM(A));
}

PyObject* time_difference(PyObject* x, PyObject* y) {
    Operand p, q;
    if (!prepare(x, p) || !prepare(y, q)) return nullptr;
    kn::LeapCursor cp, cq;
    if (same_shape(p.parts.a.get(), q.parts.a.get())) {
        core::Ref out = empty_like_shape(p.parts.a.get());
        if (!out) return nullptr;
        kn::seconds_between_epochs(p.epochs(), q.epochs(), bd::elements<double>(out.get()), cp, cq);
        return out.release();
    }
    // One side a single epoch (t - t0, the common case): convert it once.
    PyArrayObject* A = core::as_array(p.parts.a.get());
    PyArrayObject* B = core::as_array(q.parts.a.get());
    const bool q_one = PyArray_SIZE(B) == 1 && PyArray_NDIM(B) <= PyArray_NDIM(A);
    const bool p_one = PyArray_SIZE(A) == 1 && PyArray_NDIM(A) <= PyArray_NDIM(B);
    if (q_one || p_one) {
        const Operand& many = q_one ? p : q;
        const Operand& one = q_one ? q : p;
        kn::LeapCursor c1;
        const kn::DayFrac ref = kn::to_tai(one.scale, dptr(one.parts.a)[0], dptr(one.parts.b)[0], c1);
        core::Ref out = empty_like_shape(many.parts.a.get());
        if (!out) return nullptr;
        kn::seconds_from_epoch(many.epochs(), ref, q_one ? 1.0 : -1.0, bd::elements<double>(out.get()), cp);
        return out.release();
    }
    return broadcast_operands<double>(p, q, NPY_DOUBLE,
                                      [&](const kn::Epochs& u, const kn::Epochs& v, kn::DoublesOut out) {
                                          kn::seconds_between_epochs(u, v, out, cp, cq);
                                      })
        .release();
}

// t + seconds: added on TAI (TT runs at the same rate) and brought back to
// t's scale.
PyObject* time_add_seconds(PyObject* self, PyObject* seconds, double sign) {
    TimeObject* t = as_time(self);
    Operand p;
    if (!prepare(self, p)) return nullptr;
    // Result scale of the loop: t's own, except UT1 (finished from TAI below).
    const Scale to = scale_of(t) == Scale::UT1 ? Scale::TAI : scale_of(t);
    PyArrayObject* ops[5] = {core::as_array(p.parts.a.get()), core::as_array(p.parts.b.get()), core::as_array(seconds),
                             nullptr, nullptr};
    core::Ref out[2];
    npy_intp stopped;
    kn::EpochFault fault = kn::EpochFault::kNone;
    kn::LeapCursor cur, back;
    const bool ok = core::iterate(
        bd::in_c_order(3, 2), ops, nullptr, out, &stopped, [&](char* const* d, const npy_intp* s, npy_intp n) {
            const kn::LoopEnd end = kn::add_seconds_to_epochs(
                epochs_operand(p.scale, d, s, n, 0), bd::operand<const double>(d, s, n, 2), sign, to,
                bd::operand<double>(d, s, n, 3), bd::operand<double>(d, s, n, 4), cur, back);
            fault = end.fault;
            return bd::stop_index(end);
        });
    if (!ok) return nullptr;
    // Word for word: tests compare these texts.
    if (fault == kn::EpochFault::kNotFinite) {
        PyErr_SetString(PyExc_ValueError, "cannot add a number of seconds that is not finite (NaN or infinity)");
        return nullptr;
    }
    if (fault == kn::EpochFault::kOutOfRange) {
        PyErr_SetString(PyExc_ValueError, "the sum lies outside the supported range of Julian Dates");
        return nullptr;
    }
    Parts r;
    if (!convert(out[0].get(), out[1].get(), to, scale_of(t), r)) return nullptr;
    return make_time(Py_TYPE(self), std::move(r.a), std::move(r.b), scale_of(t));
}

PyObject* Time_add(PyObject* x, PyObject* y) {
    PyObject* t = vt::Time_Check(x) ? x : y;
    PyObject* other = t == x ? y : x;
    if (!vt::Time_Check(t) || vt::Time_Check(other)) Py_RETURN_NOTIMPLEMENTED;
    core::Ref s = numeric_array(other);
    if (!s) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
    }
    return time_add_seconds(t, s.get(), 1.0);
}

PyObject* Time_subtract(PyObject* x, PyObject* y) {
    if (!vt::Time_Check(x)) Py_RETURN_NOTIMPLEMENTED;
    if (vt::Time_Check(y)) return time_difference(x, y);
    core::Ref s = numeric_array(y);
    if (!s) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
    }
    return time_add_seconds(x, s.get(), -1.0);
}

// Python's comparison operators map onto the kernels' in order.
static_assert(Py_LT == static_cast<int>(kn::Comparison::kLt) && Py_LE == static_cast<int>(kn::Comparison::kLe) &&
              Py_EQ == static_cast<int>(kn::Comparison::kEq) && Py_NE == static_cast<int>(kn::Comparison::kNe) &&
              Py_GT == static_cast<int>(kn::Comparison::kGt) && Py_GE == static_cast<int>(kn::Comparison::kGe));

PyObject* Time_richcompare(PyObject* x, PyObject* y, int op) {
    if (!vt::Time_Check(x) || !vt::Time_Check(y)) Py_RETURN_NOTIMPLEMENTED;
    Operand p, q;
    if (!prepare(x, p) || !prepare(y, q)) return nullptr;
    kn::LeapCursor cp, cq;
    core::Ref out = broadcast_operands<unsigned char>(
        p, q, NPY_BOOL, [&](const kn::Epochs& u, const kn::Epochs& v, core::Strided1D<unsigned char> r) {
            kn::compare_epochs(u, v, static_cast<kn::Comparison>(op), r, cp, cq);
        });
    if (!out) return nullptr;
    return PyArray_Return(core::as_array(out.release()));
}

}  // namespace

#endif
