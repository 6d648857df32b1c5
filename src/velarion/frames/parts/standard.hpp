// Part of velarion.frames.frames' translation unit (included by frames.cpp
// only, after its namespace aliases): the standard frames GCRF, ITRF and
// TEME: the glue between their conversion methods and the kernels (time
// scales and EOP values fetched, per-epoch arrays taken), their C-level
// method tables and their classes.
#ifndef VELARION_FRAMES_PARTS_STANDARD_HPP
#define VELARION_FRAMES_PARTS_STANDARD_HPP

namespace {

// Reading the time's scales and calling EOP runs Python code (properties of
// a Time subclass, a replaced EOP, ...), which may resize or free any array
// it can reach. So every object is fetched first, and only then are the
// buffers taken, with no Python code in between until the kernel is done:
// an exact ndarray (whose buffer request runs none) is read in place; any
// other object (whose exporter might run some) is copied out as soon as its
// buffer is taken, and those are taken first.

// time.<scale>.jd12.reshape(-1, 2).
Ref fetch_dates(PyObject* time, PyObject* scale) {
    Ref sc = Ref::steal(PyObject_GetAttr(time, scale));
    if (!sc) return {};
    Ref jd = Ref::steal(PyObject_GetAttr(sc.get(), g_names[kJd12]));
    if (!jd) return {};
    return Ref::steal(PyObject_CallMethodObjArgs(jd.get(), g_names[kReshape], g_minus_one, g_two, nullptr));
}

// EOP(time.utc.mjd.reshape(-1)), with EOP looked up in the module namespace
// (a missing one fails as Python's own lookup would, word for word).
Ref call_eop(PyObject* time) {
    Ref utc = Ref::steal(PyObject_GetAttr(time, g_names[kUtc]));
    if (!utc) return {};
    Ref mjd = Ref::steal(PyObject_GetAttr(utc.get(), g_names[kMjd]));
    if (!mjd) return {};
    Ref flat = Ref::steal(PyObject_CallMethodOneArg(mjd.get(), g_names[kReshape], g_minus_one));
    if (!flat) return {};
    PyObject* globals = PyModule_GetDict(g_once.module());  // borrowed
    PyObject* eop = PyDict_GetItemWithError(globals, g_names[kEop]);
    if (!eop) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_names[kEop]);
        return {};
    }
    Ref keep = Ref::borrow(eop);
    return Ref::steal(PyObject_CallOneArg(eop, flat.get()));
}

// The fields of the EOP result, read in this order.
bool fetch_eop_fields(PyObject* eop, std::span<PyObject* const> names, std::span<Ref> out) {
    for (size_t k = 0; k < names.size(); ++k) {
        if (!(out[k] = Ref::steal(PyObject_GetAttr(eop, names[k])))) return false;
    }
    return true;
}

// The number of epochs: the rows of the dates in `obj`, as a 2-D view.
bool count_epochs(PyObject* obj, core::index_t& n) {
    core::View2D view;
    if (!view.acquire(obj, true)) return false;
    n = view.shape(0);
    return true;
}

// The per-epoch arrays of one conversion of `n` epochs, each either a held
// view of an exact ndarray or a private copy: the (n, 2) dates of a scale,
// or the n values of an EOP field (as an (n, 1) view). Word for word, the
// shape faults here and in the conversions: tests compare these texts.
class EpochArrays {
public:
    static constexpr int kMax = 7;
    struct Source {
        PyObject* obj;     // as fetched
        const char* what;  // "TT" or "UT1" dates; nullptr for EOP values
        PyObject* field;   // the EOP field's name
    };

    // Takes the buffers of `sources` (at most kMax) and checks their shapes.
    bool take(std::span<const Source> sources, core::index_t n) {
        n_ = n;
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t k = 0; k < sources.size(); ++k) {
                const bool in_place = PyArray_CheckExact(sources[k].obj);
                if (in_place == (pass == 1) && !take_one(sources[k], in_place, taken_[k])) return false;
            }
        }
        return true;
    }
    kn::D2 dates(int k) const noexcept { return taken_[k].span; }
    kn::D1 values(int k) const noexcept {
        const kn::D2& s = taken_[k].span;
        return {s.base, s.rows, s.row_stride};
    }

private:
    struct Taken {
        core::View2D view2;
        core::View1D view1;
        std::unique_ptr<double[]> copy;
        kn::D2 span;
    };

    bool take_one(const Source& src, bool in_place, Taken& t) {
        const core::index_t cols = src.what ? 2 : 1;
        kn::D2 from;
        if (src.what) {
            if (!t.view2.acquire(src.obj, true)) return false;
            if (t.view2.shape(0) != n_ || t.view2.shape(1) != 2) {
                PyErr_Format(PyExc_ValueError,
                             "%s dates have shape (%zd, %zd), not (%zd, 2) (a two-part Julian Date per epoch)",
                             src.what, t.view2.shape(0), t.view2.shape(1), n_);
                return false;
            }
            from = t.view2.span2();
        } else {
            if (!t.view1.acquire(src.obj, true)) return false;
            if (t.view1.shape(0) != n_) {
                PyErr_Format(PyExc_ValueError, "EOP %U has %zd entries, %s than the %zd epochs", src.field,
                             t.view1.shape(0), t.view1.shape(0) < n_ ? "fewer" : "more", n_);
                return false;
            }
            const auto s1 = t.view1.span1();
            from = {s1.base, s1.size, 1, s1.stride, static_cast<core::index_t>(sizeof(double))};
        }
        if (in_place) {
            t.span = from;
            return true;
        }
        if (n_ > PY_SSIZE_T_MAX / static_cast<core::index_t>(cols * sizeof(double))) {
            core::set_no_memory("a copy of the per-epoch arrays");
            return false;
        }
        t.copy.reset(new (std::nothrow) double[static_cast<size_t>(n_ * cols) + 1]);
        if (!t.copy) {
            core::set_no_memory("a copy of the per-epoch arrays");
            return false;
        }
        t.span = {reinterpret_cast<char*>(t.copy.get()), n_, cols, static_cast<core::index_t>(cols * sizeof(double)),
                  static_cast<core::index_t>(sizeof(double))};
        for (core::index_t i = 0; i < n_; ++i) {
            for (core::index_t j = 0; j < cols; ++j) t.span(i, j) = from(i, j);
        }
        t.view2.release();
        t.view1.release();
        return true;
    }

    core::index_t n_ = 0;
    Taken taken_[kMax];
};

bool vectors_fit(core::index_t n, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
                 const fr::View& v_out) {
    ShapeFault fault;
    if (check_vectors(n, "epoch", r_in, v_in, r_out, v_out, fault)) return true;
    raise_shape_fault(fault);
    return false;
}

// Whether the caller's context (thread or asyncio task) is inside
// velarion.frames.interpolated_cip(): 1 or 0, -1 with an exception set.
// The variable holds True, False or the innermost block entered in this
// context (velarion.frames._CipBlock): a block that is no longer active
// (ended from another context) gives way to the setting it was entered in.
int cip_interpolated() {
    PyObject* value;
    if (PyContextVar_Get(g_interpolated_cip, Py_False, &value) < 0) return -1;
    Ref block = Ref::steal(value);
    // Bounded: the chain is as long as the nesting of blocks, unless a
    // caller tied it into a cycle.
    for (int depth = 0; depth < 100000; ++depth) {
        if (block.get() == Py_True) return 1;
        if (block.get() == Py_False || block.get() == Py_None) return 0;
        Ref active = Ref::steal(PyObject_GetAttrString(block.get(), "active"));
        if (!active) return -1;
        const int in_force = PyObject_IsTrue(active.get());
        if (in_force < 0) return -1;
        Ref next = Ref::steal(PyObject_GetAttrString(block.get(), in_force ? "enabled" : "outer"));
        if (!next) return -1;
        if (in_force) return PyObject_IsTrue(next.get());
        block = std::move(next);
    }
    PyErr_SetString(PyExc_RuntimeError, "velarion.frames._INTERPOLATED_CIP holds a cycle of blocks");
    return -1;
}

// The conversion with X, Y and s interpolated between nodes of the series
// (kernels/cip.hpp): the nodes the call's TT dates need, evaluated first.
void cio_convert_on_nodes(kn::CioDirection dir, const kn::D2& tt, const kn::D2& ut1, const kn::EopViews& eop,
                          const fr::View& r_in, const fr::View& v_in, const fr::View& r_out, const fr::View& v_out,
                          uint64_t* scratch) {
    kn::CipNodes nodes;
    const auto keys = std::make_unique_for_overwrite<int64_t[]>(static_cast<size_t>(tt.rows) + 1);
    const core::index_t intervals = nodes.intervals(tt, keys.get());
    const auto first = std::make_unique_for_overwrite<core::index_t[]>(static_cast<size_t>(intervals) + 1);
    const auto xys = std::make_unique_for_overwrite<double[]>(3 * static_cast<size_t>(nodes.node_count()) + 1);
    nodes.evaluate(first.get(), xys.get());
    kn::cio_convert(dir, tt, ut1, eop, r_in, v_in, r_out, v_out, scratch, nodes);
}

int cio_call(kn::CioDirection dir, PyObject* time, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
             const fr::View& v_out) {
    // Read once, before any Python code of the call runs.
    const int interpolated = cip_interpolated();
    if (interpolated < 0) return -1;
    Ref tt = fetch_dates(time, g_names[kTt]);
    if (!tt) return -1;
    Ref ut1 = fetch_dates(time, g_names[kUt1]);
    if (!ut1) return -1;
    Ref eop = call_eop(time);
    if (!eop) return -1;
    PyObject* const names[] = {g_names[kPmX], g_names[kPmY], g_names[kDX], g_names[kDY], g_names[kLod]};
    Ref fields[5];
    if (!fetch_eop_fields(eop.get(), names, fields)) return -1;
    // No Python code runs from here on.
    core::index_t n;
    if (!count_epochs(tt.get(), n) || !vectors_fit(n, r_in, v_in, r_out, v_out)) return -1;
    if (n > kn::CioScratch::kMaxEpochs) {
        PyErr_Format(PyExc_ValueError, "too many epochs in one call (%zd)", n);
        return -1;
    }
    const EpochArrays::Source sources[] = {{tt.get(), "TT", nullptr},
                                           {ut1.get(), "UT1", nullptr},
                                           {fields[0].get(), nullptr, names[0]},
                                           {fields[1].get(), nullptr, names[1]},
                                           {fields[2].get(), nullptr, names[2]},
                                           {fields[3].get(), nullptr, names[3]},
                                           {fields[4].get(), nullptr, names[4]}};
    EpochArrays arrays;
    if (!arrays.take(sources, n)) return -1;
    std::unique_ptr<uint64_t[]> scratch(new (std::nothrow) uint64_t[kn::CioScratch::words(n)]);
    if (!scratch) {
        core::set_no_memory("a copy of the per-epoch arrays");
        return -1;
    }
    const kn::EopViews views{arrays.values(2), arrays.values(3), arrays.values(4), arrays.values(5), arrays.values(6)};
    if (interpolated)
        cio_convert_on_nodes(dir, arrays.dates(0), arrays.dates(1), views, r_in, v_in, r_out, v_out, scratch.get());
    else
        kn::cio_convert(dir, arrays.dates(0), arrays.dates(1), views, r_in, v_in, r_out, v_out, scratch.get(),
                        kn::ExactCip{});
    return 0;
}

int teme_call(kn::TemeDirection dir, PyObject* time, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
              const fr::View& v_out) {
    Ref ut1 = fetch_dates(time, g_names[kUt1]);
    if (!ut1) return -1;
    Ref eop = call_eop(time);
    if (!eop) return -1;
    PyObject* const names[] = {g_names[kPmX], g_names[kPmY], g_names[kLod]};
    Ref fields[3];
    if (!fetch_eop_fields(eop.get(), names, fields)) return -1;
    // No Python code runs from here on.
    core::index_t n;
    if (!count_epochs(ut1.get(), n) || !vectors_fit(n, r_in, v_in, r_out, v_out)) return -1;
    const EpochArrays::Source sources[] = {{ut1.get(), "UT1", nullptr},
                                           {fields[0].get(), nullptr, names[0]},
                                           {fields[1].get(), nullptr, names[1]},
                                           {fields[2].get(), nullptr, names[2]}};
    EpochArrays arrays;
    if (!arrays.take(sources, n)) return -1;
    const kn::TemeEop views{arrays.values(1), arrays.values(2), arrays.values(3)};
    kn::teme_convert(dir, arrays.dates(0), views, r_in, v_in, r_out, v_out);
    return 0;
}

// The C-level conversion slots of the standard frames: one kernel call in
// one direction, behind the C++-exception border of core::entry (C callers
// included).
template <class Object, class Direction,
          int (*Call)(Direction, PyObject*, const fr::View&, const fr::View&, const fr::View&, const fr::View&),
          Direction dir>
int standard_call(Object*, PyObject* time, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
                  const fr::View& v_out) {
    return Call(dir, time, r_in, v_in, r_out, v_out);
}

template <class Object, class Direction,
          int (*Call)(Direction, PyObject*, const fr::View&, const fr::View&, const fr::View&, const fr::View&),
          Direction dir>
inline constexpr auto standard_slot = core::entry<standard_call<Object, Direction, Call, dir>>;

fr::GCRFVTable g_gcrf_vtable = {
    standard_slot<fr::GCRFObject, kn::CioDirection, cio_call, kn::CioDirection::to_terrestrial>};
fr::ITRFVTable g_itrf_vtable = {
    standard_slot<fr::ITRFObject, kn::CioDirection, cio_call, kn::CioDirection::to_celestial>,
    standard_slot<fr::ITRFObject, kn::TemeDirection, teme_call, kn::TemeDirection::itrf_to_teme>};
fr::TEMEVTable g_teme_vtable = {
    standard_slot<fr::TEMEObject, kn::TemeDirection, teme_call, kn::TemeDirection::teme_to_itrf>};

// A standard frame: a Frame with its C-level method table.
template <class Object, auto* VTable>
PyObject* standard_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = frame_alloc(type);
    if (self) reinterpret_cast<Object*>(self)->vtab = VTable;
    return self;
}

// --- conversion methods ------------------------------------------------------

constexpr core::Signature kGcrfToItrfSig{"to_ITRF", kFromGcrfNames, 3};
constexpr core::Signature kItrfToGcrfSig{"to_GCRF", kFromItrfNames, 3};
constexpr core::Signature kItrfToTemeSig{"to_TEME", kFromItrfNames, 3};
constexpr core::Signature kTemeToItrfSig{"to_ITRF", kFromTemeNames, 3};

constexpr auto GCRF_to_ITRF = conversion_method<fr::GCRFObject, &fr::GCRFVTable::c_to_ITRF, kGcrfToItrfSig>;
constexpr auto ITRF_to_GCRF = conversion_method<fr::ITRFObject, &fr::ITRFVTable::c_to_GCRF, kItrfToGcrfSig>;
constexpr auto ITRF_to_TEME = conversion_method<fr::ITRFObject, &fr::ITRFVTable::c_to_TEME, kItrfToTemeSig>;
constexpr auto TEME_to_ITRF = conversion_method<fr::TEMEObject, &fr::TEMEVTable::c_to_ITRF, kTemeToItrfSig>;

// --- types -------------------------------------------------------------------

AnnotatedDef GCRF_annotated[] = {
    {.def = {"to_ITRF", VELARION_FASTCALL(GCRF_to_ITRF), METH_FASTCALL | METH_KEYWORDS, kGcrfToItrfDoc},
     .params = kFromGCRFParams,
     .returns = kPair},
};

AnnotatedDef ITRF_annotated[] = {
    {.def = {"to_GCRF", VELARION_FASTCALL(ITRF_to_GCRF), METH_FASTCALL | METH_KEYWORDS, kItrfToGcrfDoc},
     .params = kFromITRFParams,
     .returns = kPair},
    {.def = {"to_TEME", VELARION_FASTCALL(ITRF_to_TEME), METH_FASTCALL | METH_KEYWORDS, kItrfToTemeDoc},
     .params = kFromITRFParams,
     .returns = kPair},
};

AnnotatedDef TEME_annotated[] = {
    {.def = {"to_ITRF", VELARION_FASTCALL(TEME_to_ITRF), METH_FASTCALL | METH_KEYWORDS, kTemeToItrfDoc},
     .params = kFromTEMEParams,
     .returns = kPair},
};

PyMethodDef GCRF_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};
PyMethodDef ITRF_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};
PyMethodDef TEME_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyType_Slot GCRF_slots[] = {{Py_tp_doc, (void*)kGCRFDoc},
                            {Py_tp_new, (void*)core::entry<standard_new<fr::GCRFObject, &g_gcrf_vtable>>},
                            VELARION_GC_SLOTS(Frame_traverse, Frame_clear),
                            {Py_tp_methods, GCRF_methods},
                            {0, nullptr}};
PyType_Slot ITRF_slots[] = {{Py_tp_doc, (void*)kITRFDoc},
                            {Py_tp_new, (void*)core::entry<standard_new<fr::ITRFObject, &g_itrf_vtable>>},
                            VELARION_GC_SLOTS(Frame_traverse, Frame_clear),
                            {Py_tp_methods, ITRF_methods},
                            {0, nullptr}};
PyType_Slot TEME_slots[] = {{Py_tp_doc, (void*)kTEMEDoc},
                            {Py_tp_new, (void*)core::entry<standard_new<fr::TEMEObject, &g_teme_vtable>>},
                            VELARION_GC_SLOTS(Frame_traverse, Frame_clear),
                            {Py_tp_methods, TEME_methods},
                            {0, nullptr}};

PyType_Spec GCRF_spec = {"velarion.frames.frames._GCRF", sizeof(fr::GCRFObject), 0, kFlags, GCRF_slots};
PyType_Spec ITRF_spec = {"velarion.frames.frames._ITRF", sizeof(fr::ITRFObject), 0, kFlags, ITRF_slots};
PyType_Spec TEME_spec = {"velarion.frames.frames._TEME", sizeof(fr::TEMEObject), 0, kFlags, TEME_slots};

}  // namespace

#endif
