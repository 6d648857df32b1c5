// Part of velarion.state.ephemeris' translation unit (included by
// ephemeris.cpp only, after its namespace aliases and using-declarations):
// the casts to the instance structs, the checks of epochs and indices the
// ephemerides share, and Ephemeris, the base type (its members, the base
// initialisation the subclasses reuse, and its class).
//
// Word for word: callers and tests compare the exception texts and
// documentation strings of this part.
#ifndef VELARION_STATE_PARTS_BASE_HPP
#define VELARION_STATE_PARTS_BASE_HPP

namespace {

EphemerisObject* as_eph(PyObject* o) { return reinterpret_cast<EphemerisObject*>(o); }
StateVectorEphemerisObject* as_sve(PyObject* o) { return reinterpret_cast<StateVectorEphemerisObject*>(o); }
COEEphemerisObject* as_coee(PyObject* o) { return reinterpret_cast<COEEphemerisObject*>(o); }
GeoStateEphemerisObject* as_geoe(PyObject* o) { return reinterpret_cast<GeoStateEphemerisObject*>(o); }

// ---------------------------------------------------------------------------
// Epochs and indices

// The epoch count of `time`, which must equal `n` when n >= 0; -1 with an
// exception set.
Py_ssize_t checked_time_size(PyObject* time, Py_ssize_t n) {
    if (!core::check_arg_type(time, velarion::time::Time_Type, "time", false)) return -1;
    const Py_ssize_t size = bd::time_size(time);
    if (size < 0) return -1;
    if (n >= 0 && size != n) {
        PyErr_Format(PyExc_ValueError, "time has %zd epochs, but the ephemeris has %zd", size, n);
        return -1;
    }
    return size;
}

// Epoch i of `time` (in row-major order of its shape) as a Time; a scalar
// Time stands for its one epoch.
PyObject* time_at(PyObject* time, Py_ssize_t i) {
    Ref shape = Ref::steal(PyObject_GetAttr(time, bd::g_names[bd::kShape]));
    if (!shape) return nullptr;
    if (!PyTuple_Check(shape.get())) {
        PyErr_SetString(PyExc_TypeError, "time.shape must be a tuple");
        return nullptr;
    }
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape.get());
    if (ndim == 0) return Py_NewRef(time);
    Ref index = Ref::steal(PyTuple_New(ndim));
    if (!index) return nullptr;
    for (Py_ssize_t d = ndim - 1; d >= 0; --d) {
        const Py_ssize_t extent = PyNumber_AsSsize_t(PyTuple_GET_ITEM(shape.get(), d), PyExc_OverflowError);
        if (extent == -1 && PyErr_Occurred()) return nullptr;
        PyObject* k = PyLong_FromSsize_t(extent > 0 ? i % extent : 0);
        if (!k) return nullptr;
        PyTuple_SET_ITEM(index.get(), d, k);
        if (extent > 0) i /= extent;
    }
    return PyObject_GetItem(time, ndim == 1 ? PyTuple_GET_ITEM(index.get(), 0) : index.get());
}

// The integer of an index (which may run __index__); false with
// IndexError or TypeError set.
bool index_value(PyObject* key, Py_ssize_t& i) {
    i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    return !(i == -1 && PyErr_Occurred());
}

// Normalises `i` against the size `n` read just now; false with IndexError.
bool normalise_index(Py_ssize_t& i, Py_ssize_t n) {
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_Format(PyExc_IndexError, "ephemeris index out of range (size %zd)", n);
        return false;
    }
    return true;
}

PyObject* not_initialised(const char* where) {
    PyErr_Format(PyExc_ValueError, "%s: the ephemeris is not initialised", where);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Ephemeris

PyObject* Ephemeris_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);  // zeroed: arrays NULL, size 0
    if (!self) return nullptr;
    as_eph(self)->time = Py_NewRef(Py_None);
    as_eph(self)->frame = Py_NewRef(Py_None);
    return self;
}

int Ephemeris_traverse_members(EphemerisObject* e, visitproc visit, void* arg) {
    Py_VISIT(e->time);
    Py_VISIT(e->frame);
    return 0;
}

int Ephemeris_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return Ephemeris_traverse_members(as_eph(self), visit, arg);
}

int Ephemeris_clear(PyObject* self) {
    Py_CLEAR(as_eph(self)->time);
    Py_CLEAR(as_eph(self)->frame);
    return 0;
}

// The base members of an initialisation, checked and resolved (which may run
// Python code); nothing of the instance changes before commit(), and commit
// runs none: the replaced members stay here until the caller's instance is
// whole again.
struct BaseMembers {
    Ref time, frame;
    Py_ssize_t size = 0;

    bool prepare(PyObject* time_arg, PyObject* frame_arg, Py_ssize_t n) {
        if ((size = checked_time_size(time_arg, n)) < 0) return false;
        time = Ref::borrow(time_arg);
        frame = bd::resolve_frame(frame_arg);
        return static_cast<bool>(frame);
    }

    void commit(EphemerisObject* e) noexcept {
        swap_in(e->time, time);
        swap_in(e->frame, frame);
        e->size = size;
    }
};

// Whether instances of the type of `self` hold arrays whose row count is
// `size` (the subclasses below; a bare Ephemeris holds none).
bool holds_arrays(PyObject* self) {
    return st::StateVectorEphemeris_Check(self) || st::COEEphemeris_Check(self) || st::GeoStateEphemeris_Check(self);
}

constexpr const char* kEphNames[] = {"time", "frame"};
constexpr core::Signature kEphSig{"Ephemeris", kEphNames, 2};

// The base initialiser sets the epochs and the frame. On an ephemeris that
// holds arrays it may not change the number of epochs: the arrays would no
// longer have a row for each.
int Ephemeris_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<2> a;
    if (!core::parse_args(kEphSig, args, kwargs, a)) return -1;
    BaseMembers base;
    if (!base.prepare(a[0], a[1], -1)) return -1;
    EphemerisObject* e = as_eph(self);
    if (holds_arrays(self) && base.size != e->size) {
        PyErr_Format(PyExc_ValueError,
                     "time has %zd epochs, but this %.200s holds %zd rows: Ephemeris.__init__ cannot change the "
                     "number of epochs of an ephemeris that holds arrays (initialise it through its own __init__)",
                     base.size, bd::short_name(Py_TYPE(self)), e->size);
        return -1;
    }
    base.commit(e);
    return 0;
}

PyObject* Ephemeris_get_time(PyObject* self, void*) { return Py_NewRef(as_eph(self)->time); }
PyObject* Ephemeris_get_frame(PyObject* self, void*) { return Py_NewRef(as_eph(self)->frame); }
PyObject* Ephemeris_get_size(PyObject* self, void*) { return PyLong_FromSsize_t(as_eph(self)->size); }
Py_ssize_t Ephemeris_len(PyObject* self) { return as_eph(self)->size; }

PyObject* Ephemeris_repr(PyObject* self) {
    const Py_ssize_t n = as_eph(self)->size;
    Ref frame = Ref::borrow(as_eph(self)->frame);
    return PyUnicode_FromFormat("<%s of %zd epochs, frame=%R>", bd::short_name(Py_TYPE(self)), n, frame.get());
}

PyGetSetDef Ephemeris_getset[] = {
    {"time", core::entry<Ephemeris_get_time>, nullptr, "The epochs (a Time of `size` epochs).", nullptr},
    {"frame", core::entry<Ephemeris_get_frame>, nullptr, "The reference frame (a Frame, or None).", nullptr},
    {"size", core::entry<Ephemeris_get_size>, nullptr, "The number of epochs N.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef Ephemeris_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyType_Slot Ephemeris_slots[] = {
    {Py_tp_doc, (void*)"Ephemeris(time, frame)\n--\n\n"
                       "Base of the ephemerides: states at the N epochs of `time` in `frame`."},
    {Py_tp_new, (void*)core::entry<Ephemeris_new>},
    {Py_tp_init, (void*)core::entry<Ephemeris_init>},
    VELARION_GC_SLOTS(Ephemeris_traverse, Ephemeris_clear),
    {Py_tp_repr, (void*)core::entry<Ephemeris_repr>},
    {Py_sq_length, (void*)core::entry<Ephemeris_len>},
    {Py_mp_length, (void*)core::entry<Ephemeris_len>},
    {Py_tp_getset, Ephemeris_getset},
    {Py_tp_methods, Ephemeris_methods},
    {0, nullptr}};

PyType_Spec Ephemeris_spec = {"velarion.state.ephemeris.Ephemeris", sizeof(EphemerisObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, Ephemeris_slots};

}  // namespace

#endif
