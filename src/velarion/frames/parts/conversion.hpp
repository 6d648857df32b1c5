// Part of velarion.frames.frames' translation unit (included by frames.cpp
// only, after its namespace aliases): what the conversion methods of the
// standard frames and of ENU share: the shape checks of the vectors handed
// to a conversion slot, and the Python side of a conversion method.
#ifndef VELARION_FRAMES_PARTS_CONVERSION_HPP
#define VELARION_FRAMES_PARTS_CONVERSION_HPP

namespace {

// Shape checks of the vectors handed to a conversion kernel: exactly `rows`
// rows (one per epoch, or per position for ENU) of x, y, z. A row or a column
// short would be read past; one over would be dropped with no error (a
// catalogue converted at one epoch came back as zeros after its first row).
// The checks may run without the interpreter lock, so they only describe a
// fault; `raise_shape_fault` reports it (with the lock held). Word for word:
// tests compare these texts.
struct ShapeFault {
    const char* what = nullptr;  // "position array", ...
    const char* per = nullptr;   // "epoch" or "position"
    core::index_t got = 0, want = 0;
    bool columns = false;
};

bool fits(const fr::View& v, core::index_t rows, const char* what, const char* per, ShapeFault& fault) noexcept {
    if (v.rows == rows && v.cols == 3) return true;
    fault.what = what;
    fault.per = per;
    fault.columns = v.rows == rows;
    fault.got = fault.columns ? v.cols : v.rows;
    fault.want = fault.columns ? 3 : rows;
    return false;
}

void raise_shape_fault(const ShapeFault& f) {
    const char* side = f.got < f.want ? "fewer" : "more";
    if (f.columns) {
        PyErr_Format(PyExc_ValueError, "%s has %zd columns, %s than the 3 of x, y, z", f.what, f.got, side);
    } else {
        PyErr_Format(PyExc_ValueError, "%s has %zd row%s, %s than the %zd %s%s (one row of x, y, z per %s)", f.what,
                     f.got, f.got == 1 ? "" : "s", side, f.want, f.per, f.want == 1 ? "" : "s", f.per);
    }
}

// The four vectors of a conversion of `n` epochs (or positions).
bool check_vectors(core::index_t n, const char* per, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
                   const fr::View& v_out, ShapeFault& fault) noexcept {
    return fits(r_in, n, "position array", per, fault) && fits(v_in, n, "velocity array", per, fault) &&
           fits(r_out, n, "position output", per, fault) && fits(v_out, n, "velocity output", per, fault);
}

// Takes `obj` as a 2-D float64 view (writable if asked) and copies it into
// `to`, a new array of the same shape that no Python code can reach; the
// view is released before anything else runs.
bool copy_into(PyObject* obj, bool writable, const fr::View& to) {
    core::View2D view;
    if (!view.acquire(obj, writable)) return false;
    const auto from = view.span2();
    if (from.rows != to.rows || from.cols != to.cols) {
        // An object whose array form and buffer disagree.
        PyErr_Format(PyExc_ValueError, "array of shape (%zd, %zd) exports a buffer of shape (%zd, %zd)", to.rows,
                     to.cols, from.rows, from.cols);
        return false;
    }
    for (core::index_t i = 0; i < from.rows; ++i) {
        for (core::index_t j = 0; j < from.cols; ++j) to(i, j) = from(i, j);
    }
    return true;
}

// The parameter names of a conversion from frame X: (time, r_X, v_X).
constexpr const char* kFromGcrfNames[] = {"time", "r_GCRF", "v_GCRF"};
constexpr const char* kFromItrfNames[] = {"time", "r_ITRF", "v_ITRF"};
constexpr const char* kFromTemeNames[] = {"time", "r_TEME", "v_TEME"};
constexpr const char* kFromEnuNames[] = {"time", "r_ENU", "v_ENU"};

// The Python side of conversion method `Slot` of `Object`'s C-level table:
// allocate outputs like the inputs, check the time, take the inputs, call
// the slot, return the pair. The outputs are new arrays that only this call
// holds. The standard conversions run Python code (the time's scales, EOP)
// while they use their inputs, so the inputs are first copied into the
// outputs, which the slot then converts in place; ENU runs none (unless a
// mat_x_vec other than vectools' own is bound: it may be a Python callback)
// and reads the caller's arrays where they are.
template <class Object, auto Slot, const core::Signature& Sig>
PyObject* conversion_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr bool enu = std::is_same_v<Object, fr::ENUObject>;
    PyObject* a[3];
    if (!core::parse_args(Sig, args, nargs, kwnames, a)) return nullptr;
    PyObject *time = a[0], *r = a[1], *v = a[2];
    Ref r_out = core::empty_like(r);
    if (!r_out) return nullptr;
    core::View2D r_out_view;
    if (!r_out_view.acquire(r_out.get(), true)) return nullptr;
    Ref v_out = core::empty_like(v);
    if (!v_out) return nullptr;
    core::View2D v_out_view;
    if (!v_out_view.acquire(v_out.get(), true)) return nullptr;
    if (!core::check_arg_type(time, velarion::time::Time_Type, "time")) return nullptr;
    auto* obj = reinterpret_cast<Object*>(self);
    const fr::View ro = r_out_view.span2(), vo = v_out_view.span2();
    int done;
    if (enu && vt::mat_x_vec == vt::mat_x_vec_own) {
        core::View2D r_in, v_in;
        if (!r_in.acquire(r, false) || !v_in.acquire(v, false)) return nullptr;
        done = (obj->vtab->*Slot)(obj, time, r_in.span2(), v_in.span2(), ro, vo);
    } else {
        // The standard frames request writable inputs; ENU reads them only.
        if (!copy_into(r, !enu, ro) || !copy_into(v, !enu, vo)) return nullptr;
        done = (obj->vtab->*Slot)(obj, time, ro, vo, ro, vo);
    }
    if (done < 0) return nullptr;
    r_out_view.release();
    v_out_view.release();
    return PyTuple_Pack(2, r_out.get(), v_out.get());
}

}  // namespace

#endif
