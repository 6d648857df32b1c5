// velarion.state.ephemeris: states at N epochs (Ephemeris,
// StateVectorEphemeris, COEEphemeris, GeoStateEphemeris) held as owned
// contiguous float64 arrays, with vectorized conversions.
//
// An ephemeris caches a pointer into each of its arrays and their row count
// (`size`); the two always agree. Whatever may run Python code (a property of
// a Time subclass, __index__, __float__, a finaliser run by a collection that
// an allocation starts) can re-initialise the instance, so a method reads the
// pointers, the size and the object members it needs in one go, holds
// references to what it read, and never reads the instance again afterwards.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/mathtools/ellipsoid/ellipsoid.hpp"
#include "velarion/state/binding.hpp"
#include "velarion/state/kernels/elements.hpp"
#include "velarion/state/ephemeris.hpp"
#include "velarion/state/state.hpp"
#include "velarion/time/time.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

namespace core = velarion::core;
namespace bd = velarion::state::binding;
namespace ell = velarion::mathtools::ellipsoid;
namespace st = velarion::state;
namespace kn = velarion::state::kernels;

using bd::swap_in;
using core::Ref;
using st::COEEphemerisObject;
using st::EphemerisObject;
using st::GeoStateEphemerisObject;
using st::StateVectorEphemerisObject;

namespace {

core::ModuleOnce g_once;
double g_default_GM = 0.0;          // Earth.GM, read at start-up
PyObject* g_default_ell = nullptr;  // WGS84 at start-up (owned)

EphemerisObject* as_eph(PyObject* o) { return reinterpret_cast<EphemerisObject*>(o); }
StateVectorEphemerisObject* as_sve(PyObject* o) { return reinterpret_cast<StateVectorEphemerisObject*>(o); }
COEEphemerisObject* as_coee(PyObject* o) { return reinterpret_cast<COEEphemerisObject*>(o); }
GeoStateEphemerisObject* as_geoe(PyObject* o) { return reinterpret_cast<GeoStateEphemerisObject*>(o); }

// ---------------------------------------------------------------------------
// Array memory. Nobody but the ephemeris may change the memory behind its
// cached pointers. An array that owns its memory can be resized
// (resize(refcheck=False)) by whoever holds it, so the memory is allocated
// by NumPy in an array that nobody can reach: a capsule holds it (as its
// context) and is the base of the arrays the ephemeris keeps. Those are not
// handed out either: Python users get new arrays over the same memory
// (expose), whose base is the same capsule.

constexpr const char* kBlockName = "velarion.state.ephemeris.block";

void release_block(PyObject* capsule) { Py_XDECREF(static_cast<PyObject*>(PyCapsule_GetContext(capsule))); }

// A new C-contiguous float64 array of `rows` x `cols` (`cols` 0: one
// dimension of `rows`) over memory owned as described above, not
// initialised.
Ref new_block(Py_ssize_t rows, int cols) {
    npy_intp dims[2] = {rows, cols};
    const int ndim = cols > 0 ? 2 : 1;
    Ref owner = core::empty(ndim, dims);
    if (!owner) return {};
    void* memory = PyArray_DATA(core::as_array(owner.get()));
    Ref capsule = Ref::steal(PyCapsule_New(memory, kBlockName, release_block));
    if (!capsule) return {};
    if (PyCapsule_SetContext(capsule.get(), owner.release()) < 0) return {};
    Ref arr = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), ndim, dims, nullptr,
                                              memory, NPY_ARRAY_CARRAY, nullptr));
    if (!arr) return {};
    if (PyArray_SetBaseObject(core::as_array(arr.get()), capsule.release()) < 0) return {};
    return arr;
}

// A new writable array of `rows` x `cols` over the memory of the array member
// `block` at `data`, for Python users: its base is the capsule that owns the
// memory, so it neither reaches nor can resize the member. The caller read
// `block`, `data` and `rows` together (they agree). None when the ephemeris
// holds no arrays.
PyObject* expose(PyObject* block, double* data, Py_ssize_t rows, int cols) {
    if (!block || !data) Py_RETURN_NONE;
    PyObject* base = PyArray_BASE(core::as_array(block));
    Ref owner = Ref::borrow(base ? base : block);  // held before anything can run Python code
    npy_intp dims[2] = {rows, cols};
    Ref out = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), cols > 0 ? 2 : 1,
                                              dims, nullptr, data, NPY_ARRAY_CARRAY, nullptr));
    if (!out) return nullptr;
    if (PyArray_SetBaseObject(core::as_array(out.get()), owner.release()) < 0) return nullptr;
    return out.release();
}

// ---------------------------------------------------------------------------
// Array intake: any float64 buffer (any strides) or a plain sequence of
// numbers, copied into a new C-contiguous array that the ephemeris owns.

template <class View>
bool take_view(PyObject* obj, View& view, Ref& keep) {
    if (!PyObject_CheckBuffer(obj) && PySequence_Check(obj) && !PyUnicode_Check(obj)) {
        keep = Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr));
        if (!keep) return false;
        obj = keep.get();
    }
    return view.acquire(obj, false);
}

// (N,) copy of a 1-D input; `n` is -1 for "any length" (then set).
Ref copy_1d(PyObject* obj, const char* name, Py_ssize_t& n) {
    core::View1D view;
    Ref keep;
    if (!take_view(obj, view, keep)) return {};
    const Py_ssize_t len = view.shape(0);
    if (n >= 0 && len != n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd entries, but %zd were expected (one per epoch)", name, len, n);
        return {};
    }
    n = len;
    Ref out = new_block(len, 0);
    if (!out) return {};
    double* p = core::data_of(out.get());
    const core::Strided1D<double> s = view.span1();
    for (Py_ssize_t i = 0; i < len; ++i) p[i] = s[i];
    return out;
}

// (N, 3) copy of a 2-D input of N rows of x, y, z.
Ref copy_rows3(PyObject* obj, const char* name, Py_ssize_t& n) {
    core::View2D view;
    Ref keep;
    if (!take_view(obj, view, keep)) return {};
    if (view.shape(1) != 3) {
        PyErr_Format(PyExc_ValueError, "%s must have shape (N, 3) (one row of x, y, z per epoch), got (%zd, %zd)",
                     name, view.shape(0), view.shape(1));
        return {};
    }
    const Py_ssize_t rows = view.shape(0);
    if (n >= 0 && rows != n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd rows, but %zd were expected (one per epoch)", name, rows, n);
        return {};
    }
    n = rows;
    Ref out = new_block(rows, 3);
    if (!out) return {};
    double* p = core::data_of(out.get());
    const core::Strided2D<double> s = view.span2();
    for (Py_ssize_t i = 0; i < rows; ++i) s.load3(i, p + 3 * i);
    return out;
}

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
    Ref shape = Ref::steal(PyObject_GetAttrString(time, "shape"));
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

Ref default_frame_name(PyObject* given, const char* name) {
    if (given) return Ref::borrow(given);
    return Ref::steal(PyUnicode_FromString(name));
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

template <int (*Clear)(PyObject*)>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
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
    return PyObject_TypeCheck(self, st::StateVectorEphemeris_Type) ||
           PyObject_TypeCheck(self, st::COEEphemeris_Type) || PyObject_TypeCheck(self, st::GeoStateEphemeris_Type);
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
    {Py_tp_dealloc, (void*)core::entry<dealloc<Ephemeris_clear>>},
    {Py_tp_traverse, (void*)core::entry<Ephemeris_traverse>},
    {Py_tp_clear, (void*)core::entry<Ephemeris_clear>},
    {Py_tp_repr, (void*)core::entry<Ephemeris_repr>},
    {Py_sq_length, (void*)core::entry<Ephemeris_len>},
    {Py_mp_length, (void*)core::entry<Ephemeris_len>},
    {Py_tp_getset, Ephemeris_getset},
    {Py_tp_methods, Ephemeris_methods},
    {0, nullptr}};

PyType_Spec Ephemeris_spec = {"velarion.state.ephemeris.Ephemeris", sizeof(EphemerisObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, Ephemeris_slots};

// ---------------------------------------------------------------------------
// StateVectorEphemeris

int SVE_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (int r = Ephemeris_traverse_members(as_eph(self), visit, arg)) return r;
    Py_VISIT(as_sve(self)->r);
    Py_VISIT(as_sve(self)->v);
    return 0;
}

int SVE_clear(PyObject* self) {
    StateVectorEphemerisObject* e = as_sve(self);
    e->base.size = 0;
    e->r_data = e->v_data = nullptr;
    Py_CLEAR(e->r);
    Py_CLEAR(e->v);
    return Ephemeris_clear(self);
}

// Installs (N, 3) blocks together with the base members; the replaced
// objects come back in the arguments.
void SVE_commit(StateVectorEphemerisObject* e, BaseMembers& base, Ref& r, Ref& v) noexcept {
    double* rp = core::data_of(r.get());
    double* vp = core::data_of(v.get());
    base.commit(&e->base);
    swap_in(e->r, r);
    swap_in(e->v, v);
    e->r_data = rp;
    e->v_data = vp;
}

constexpr const char* kSVENames[] = {"time", "r", "v", "frame"};
constexpr core::Signature kSVESig{"StateVectorEphemeris", kSVENames, 3};

int SVE_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<4> a;
    if (!core::parse_args(kSVESig, args, kwargs, a)) return -1;
    Py_ssize_t n = -1;
    Ref r = copy_rows3(a[1], "r", n);
    if (!r) return -1;
    Ref v = copy_rows3(a[2], "v", n);
    if (!v) return -1;
    Ref frame = default_frame_name(a[3], "GCRF");
    if (!frame) return -1;
    BaseMembers base;
    if (!base.prepare(a[0], frame.get(), n)) return -1;
    SVE_commit(as_sve(self), base, r, v);
    return 0;
}

PyObject* SVE_get_r(PyObject* self, void*) {
    StateVectorEphemerisObject* e = as_sve(self);
    return expose(e->r, e->r_data, e->base.size, 3);
}
PyObject* SVE_get_v(PyObject* self, void*) {
    StateVectorEphemerisObject* e = as_sve(self);
    return expose(e->v, e->v_data, e->base.size, 3);
}

// Epoch i as a StateVector (under the default GM: the ephemeris holds none).
PyObject* SVE_subscript(PyObject* self, PyObject* key) {
    Py_ssize_t i;
    if (!index_value(key, i)) return nullptr;
    // The row, the epochs and the frame, read together.
    StateVectorEphemerisObject* e = as_sve(self);
    if (!normalise_index(i, e->base.size)) return nullptr;
    if (!e->r_data || !e->v_data) return not_initialised("StateVectorEphemeris");
    const double* rp = e->r_data + 3 * i;
    const double* vp = e->v_data + 3 * i;
    const double r[3] = {rp[0], rp[1], rp[2]}, v[3] = {vp[0], vp[1], vp[2]};
    Ref time = Ref::borrow(e->base.time);
    Ref frame = Ref::borrow(e->base.frame);

    Ref t = Ref::steal(time_at(time.get(), i));
    if (!t) return nullptr;
    Ref call_args = Ref::steal(Py_BuildValue("(O(ddd)(ddd))", t.get(), r[0], r[1], r[2], v[0], v[1], v[2]));
    Ref call_kwargs = Ref::steal(Py_BuildValue("{sOsd}", "frame", frame.get(), "GM", g_default_GM));
    if (!call_args || !call_kwargs) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(st::StateVector_Type), call_args.get(), call_kwargs.get());
}

PyObject* SVE_repr(PyObject* self) {
    StateVectorEphemerisObject* e = as_sve(self);
    Ref time = Ref::borrow(e->base.time);
    Ref frame = Ref::borrow(e->base.frame);
    Ref r = Ref::steal(expose(e->r, e->r_data, e->base.size, 3));
    if (!r) return nullptr;
    Ref v = Ref::steal(expose(e->v, e->v_data, e->base.size, 3));
    if (!v) return nullptr;
    return PyUnicode_FromFormat("%s(time=%R, r=%R, v=%R, frame=%R)", bd::short_name(Py_TYPE(self)), time.get(),
                                r.get(), v.get(), frame.get());
}

PyGetSetDef SVE_getset[] = {
    {"r", core::entry<SVE_get_r>, nullptr,
     "Positions [m]: a view of the (N, 3) float64 array, row i at epoch i.", nullptr},
    {"v", core::entry<SVE_get_v>, nullptr,
     "Velocities [m/s]: a view of the (N, 3) float64 array, row i at epoch i.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot SVE_slots[] = {
    {Py_tp_doc, (void*)"StateVectorEphemeris(time, r, v, frame='GCRF')\n--\n\n"
                       "Positions r [m] and velocities v [m/s] at the N epochs of `time`: (N, 3)\n"
                       "float64 arrays, copied; len() is N and eph[i] is the StateVector of epoch i."},
    {Py_tp_init, (void*)core::entry<SVE_init>},
    {Py_tp_dealloc, (void*)core::entry<dealloc<SVE_clear>>},
    {Py_tp_traverse, (void*)core::entry<SVE_traverse>},
    {Py_tp_clear, (void*)core::entry<SVE_clear>},
    {Py_tp_repr, (void*)core::entry<SVE_repr>},
    {Py_mp_subscript, (void*)core::entry<SVE_subscript>},
    {Py_tp_getset, SVE_getset},
    {0, nullptr}};

PyType_Spec SVE_spec = {"velarion.state.ephemeris.StateVectorEphemeris", sizeof(StateVectorEphemerisObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, SVE_slots};

// A new StateVectorEphemeris over (n, 3) blocks made by new_block (no copy,
// no checks). The caller holds `time` and `frame`.
PyObject* new_sve(PyObject* time, PyObject* frame, Py_ssize_t n, Ref r, Ref v) {
    Ref obj = Ref::steal(Ephemeris_new(st::StateVectorEphemeris_Type, nullptr, nullptr));
    if (!obj) return nullptr;
    BaseMembers base;
    base.time = Ref::borrow(time);
    base.frame = Ref::borrow(frame);
    base.size = n;
    SVE_commit(as_sve(obj.get()), base, r, v);
    return obj.release();
}

// ---------------------------------------------------------------------------
// COEEphemeris

constexpr int kNumElements = 7;
constexpr const char* kElementNames[kNumElements] = {"ecc", "sma", "inc", "raa", "arp", "tra", "slr"};

constexpr PyObject* COEEphemerisObject::*kArrayMembers[kNumElements] = {
    &COEEphemerisObject::ecc, &COEEphemerisObject::sma, &COEEphemerisObject::inc, &COEEphemerisObject::raa,
    &COEEphemerisObject::arp, &COEEphemerisObject::tra, &COEEphemerisObject::slr};
constexpr double* COEEphemerisObject::*kDataMembers[kNumElements] = {
    &COEEphemerisObject::ecc_data, &COEEphemerisObject::sma_data, &COEEphemerisObject::inc_data,
    &COEEphemerisObject::raa_data, &COEEphemerisObject::arp_data, &COEEphemerisObject::tra_data,
    &COEEphemerisObject::slr_data};

int COEE_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (int r = Ephemeris_traverse_members(as_eph(self), visit, arg)) return r;
    COEEphemerisObject* e = as_coee(self);
    for (int k = 0; k < kNumElements; ++k) Py_VISIT(e->*kArrayMembers[k]);
    return 0;
}

int COEE_clear(PyObject* self) {
    COEEphemerisObject* e = as_coee(self);
    e->base.size = 0;
    for (int k = 0; k < kNumElements; ++k) {
        e->*kDataMembers[k] = nullptr;
        Py_CLEAR(e->*kArrayMembers[k]);
    }
    return Ephemeris_clear(self);
}

constexpr const char* kCOEENames[] = {"time", "frame", "GM", "ecc", "sma", "inc", "raa", "arp", "tra", "slr"};
constexpr core::Signature kCOEESig{"COEEphemeris", kCOEENames, 1};

int COEE_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "COEEphemeris() takes 1 positional argument but %zd were given", nargs);
        return -1;
    }
    core::Args<10> a;
    if (!core::parse_args(kCOEESig, args, kwargs, a)) return -1;
    Ref frame = default_frame_name(a[1], "GCRF");  // held: the conversions below may run Python code
    if (!frame) return -1;
    double GM = g_default_GM;
    if (a[2] && a[2] != Py_None && !bd::float_arg(a[2], "GM", GM)) return -1;
    Py_ssize_t n = -1;
    Ref arrays[kNumElements];
    for (int k = 0; k < kNumElements; ++k) {
        PyObject* given = a[3 + k];
        if (!given || (k == 6 && given == Py_None)) {
            if (k == 6) continue;  // slr: computed below
            PyErr_Format(PyExc_TypeError, "COEEphemeris() missing required keyword-only argument: '%s'",
                         kElementNames[k]);
            return -1;
        }
        if (!(arrays[k] = copy_1d(given, kElementNames[k], n))) return -1;
    }
    if (!arrays[6]) {
        // slr = sma * (1 - ecc^2), as for a single COE.
        if (!(arrays[6] = new_block(n, 0))) return -1;
        const double* ecc = core::data_of(arrays[0].get());
        const double* sma = core::data_of(arrays[1].get());
        double* slr = core::data_of(arrays[6].get());
        for (Py_ssize_t i = 0; i < n; ++i) slr[i] = sma[i] * (1.0 - ecc[i] * ecc[i]);
    }
    BaseMembers base;
    if (!base.prepare(a[0], frame.get(), n)) return -1;
    COEEphemerisObject* e = as_coee(self);
    base.commit(&e->base);
    e->GM = GM;
    for (int k = 0; k < kNumElements; ++k) {
        double* data = core::data_of(arrays[k].get());
        swap_in(e->*kArrayMembers[k], arrays[k]);
        e->*kDataMembers[k] = data;
    }
    return 0;
}

PyObject* COEE_get_GM(PyObject* self, void*) { return PyFloat_FromDouble(as_coee(self)->GM); }

PyObject* COEE_get_element(PyObject* self, void* closure) {
    COEEphemerisObject* e = as_coee(self);
    const auto k = reinterpret_cast<std::intptr_t>(closure);
    return expose(e->*kArrayMembers[k], e->*kDataMembers[k], e->base.size, 0);
}

// Elements -> positions and velocities in one pass. The orientation (three
// sine-cosine pairs) and the velocity scale are recomputed only when a row's
// inc, raa, arp or slr differs from the previous row's, which is the common
// case of a propagated orbit where only the anomaly moves.
PyObject* COEE_to_sv(PyObject* self, PyObject*) {
    // Everything read at once, the arrays held (the allocations below may run
    // Python code, which may re-initialise the ephemeris).
    COEEphemerisObject* e = as_coee(self);
    const Py_ssize_t n = e->base.size;
    const double GM = e->GM;
    Ref held[kNumElements];
    const double* x[kNumElements];
    for (int k = 0; k < kNumElements; ++k) {
        held[k] = Ref::borrow(e->*kArrayMembers[k]);
        x[k] = e->*kDataMembers[k];
        if (n > 0 && !x[k]) return not_initialised("COEEphemeris.to_sv");
    }
    Ref time = Ref::borrow(e->base.time);
    Ref frame = Ref::borrow(e->base.frame);
    const double *ecc_p = x[0], *inc_p = x[2], *raa_p = x[3], *arp_p = x[4], *tra_p = x[5], *slr_p = x[6];

    if (!(GM >= 0.0) || !std::isfinite(GM)) {
        Ref value = Ref::steal(PyFloat_FromDouble(GM));
        if (value) PyErr_Format(PyExc_ValueError, "COEEphemeris.to_sv: GM must be finite and not negative (got %R)",
                                value.get());
        return nullptr;
    }
    Ref r = new_block(n, 3);
    if (!r) return nullptr;
    Ref v = new_block(n, 3);
    if (!v) return nullptr;
    double* rp = core::data_of(r.get());
    double* vp = core::data_of(v.get());

    kn::Orientation o;
    double inc0 = std::nan(""), raa0 = inc0, arp0 = inc0, slr0 = inc0, vf = inc0;
    kn::Status status = kn::Status::Ok;
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
        const double ecc = ecc_p[i], slr = slr_p[i];
        if (ecc < 0.0) {
            status = kn::Status::BadEcc;
            break;
        }
        if (slr <= 0.0) {
            status = kn::Status::BadSlr;
            break;
        }
        const double inc = inc_p[i], raa = raa_p[i], arp = arp_p[i];
        if (inc != inc0 || raa != raa0 || arp != arp0) {
            o.set(inc, raa, arp);
            inc0 = inc, raa0 = raa, arp0 = arp;
        }
        if (slr != slr0) {
            vf = std::sqrt(GM / slr);
            slr0 = slr;
        }
        const double tra = tra_p[i];
        status = kn::conic_to_rv(o, vf, ecc, slr, tra, rp + 3 * i, vp + 3 * i);
        if (status != kn::Status::Ok) break;
        // A NaN element gives its NaN row (no value in, no value out); other
        // elements must give a finite one.
        if (!kn::finite_rv(rp + 3 * i, vp + 3 * i) &&
            !(std::isnan(ecc) || std::isnan(slr) || std::isnan(inc) || std::isnan(raa) || std::isnan(arp) ||
              std::isnan(tra))) {
            status = std::isfinite(ecc + slr + inc + raa + arp + tra) ? kn::Status::OutOfRange : kn::Status::NonFinite;
            break;
        }
    }
    if (status != kn::Status::Ok) {
        Ref where = Ref::steal(PyUnicode_FromFormat("COEEphemeris.to_sv (epoch %zd)", i));
        if (where) bd::raise_status(status, PyUnicode_AsUTF8(where.get()));
        return nullptr;
    }
    return new_sve(time.get(), frame.get(), n, std::move(r), std::move(v));
}

// Epoch i as a COE (with this ephemeris's GM).
PyObject* COEE_subscript(PyObject* self, PyObject* key) {
    Py_ssize_t i;
    if (!index_value(key, i)) return nullptr;
    COEEphemerisObject* e = as_coee(self);
    if (!normalise_index(i, e->base.size)) return nullptr;
    double x[kNumElements];
    for (int k = 0; k < kNumElements; ++k) {
        const double* data = e->*kDataMembers[k];
        if (!data) return not_initialised("COEEphemeris");
        x[k] = data[i];
    }
    const double GM = e->GM;
    Ref time = Ref::borrow(e->base.time);
    Ref frame = Ref::borrow(e->base.frame);

    Ref t = Ref::steal(time_at(time.get(), i));
    if (!t) return nullptr;
    Ref call_args = Ref::steal(PyTuple_Pack(1, t.get()));
    Ref call_kwargs = Ref::steal(Py_BuildValue("{sdsdsdsdsdsdsOsd}", "ecc", x[0], "sma", x[1], "inc", x[2], "raa",
                                               x[3], "arp", x[4], "tra", x[5], "frame", frame.get(), "GM", GM));
    if (!call_args || !call_kwargs) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(st::COE_Type), call_args.get(), call_kwargs.get());
}

PyGetSetDef COEE_getset[] = {
    {"GM", core::entry<COEE_get_GM>, nullptr, "Gravitational parameter [m^3/s^2].", nullptr},
    {"ecc", core::entry<COEE_get_element>, nullptr, "Eccentricities: a view of the (N,) float64 array.", (void*)0},
    {"sma", core::entry<COEE_get_element>, nullptr, "Semi-major axes [m]: a view of the (N,) float64 array.",
     (void*)1},
    {"inc", core::entry<COEE_get_element>, nullptr, "Inclinations [rad]: a view of the (N,) float64 array.",
     (void*)2},
    {"raa", core::entry<COEE_get_element>, nullptr, "Right ascensions of the node [rad]: a view of the (N,) array.",
     (void*)3},
    {"arp", core::entry<COEE_get_element>, nullptr, "Arguments of periapsis [rad]: a view of the (N,) array.",
     (void*)4},
    {"tra", core::entry<COEE_get_element>, nullptr, "True anomalies [rad]: a view of the (N,) float64 array.",
     (void*)5},
    {"slr", core::entry<COEE_get_element>, nullptr, "Semi-latus recta [m]: a view of the (N,) float64 array.",
     (void*)6},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef COEE_methods[] = {
    {"to_sv", core::entry<COEE_to_sv>, METH_NOARGS,
     "to_sv()\n--\n\nPositions and velocities of the elements under GM (a StateVectorEphemeris of the\n"
     "same epochs and frame), computed from ecc, slr, inc, raa, arp and tra.\n\n"
     "A NaN element gives a NaN row; an infinite element, a negative ecc, a non-positive\n"
     "slr or a hyperbolic true anomaly beyond the asymptotes raises ValueError naming the epoch."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot COEE_slots[] = {
    {Py_tp_doc, (void*)"COEEphemeris(time, *, frame='GCRF', GM=None, ecc, sma, inc, raa, arp, tra, slr=None)\n"
                       "--\n\n"
                       "Classical elements at the N epochs of `time`: equal-length 1-D float64 arrays\n"
                       "(copied); slr defaults to sma * (1 - ecc**2), GM to Earth.GM. len() is N and\n"
                       "eph[i] is the COE of epoch i."},
    {Py_tp_init, (void*)core::entry<COEE_init>},
    {Py_tp_dealloc, (void*)core::entry<dealloc<COEE_clear>>},
    {Py_tp_traverse, (void*)core::entry<COEE_traverse>},
    {Py_tp_clear, (void*)core::entry<COEE_clear>},
    {Py_mp_subscript, (void*)core::entry<COEE_subscript>},
    {Py_tp_getset, COEE_getset},
    {Py_tp_methods, COEE_methods},
    {0, nullptr}};

PyType_Spec COEE_spec = {"velarion.state.ephemeris.COEEphemeris", sizeof(COEEphemerisObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, COEE_slots};

// ---------------------------------------------------------------------------
// GeoStateEphemeris

int GeoE_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (int r = Ephemeris_traverse_members(as_eph(self), visit, arg)) return r;
    GeoStateEphemerisObject* e = as_geoe(self);
    Py_VISIT(e->lat);
    Py_VISIT(e->lon);
    Py_VISIT(e->alt);
    Py_VISIT(e->ell);
    return 0;
}

int GeoE_clear(PyObject* self) {
    GeoStateEphemerisObject* e = as_geoe(self);
    e->base.size = 0;
    e->lat_data = e->lon_data = e->alt_data = nullptr;
    Py_CLEAR(e->lat);
    Py_CLEAR(e->lon);
    Py_CLEAR(e->alt);
    Py_CLEAR(e->ell);
    return Ephemeris_clear(self);
}

constexpr const char* kGeoENames[] = {"time", "lat", "lon", "alt", "ell"};
constexpr core::Signature kGeoESig{"GeoStateEphemeris", kGeoENames, 4};

int GeoE_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<5> a;
    if (!core::parse_args(kGeoESig, args, kwargs, a)) return -1;
    Ref ell_arg = Ref::borrow(a[4] && a[4] != Py_None ? a[4] : g_default_ell);
    Py_ssize_t n = -1;
    Ref lat = copy_1d(a[1], "lat", n);
    if (!lat) return -1;
    Ref lon = copy_1d(a[2], "lon", n);
    if (!lon) return -1;
    Ref alt = copy_1d(a[3], "alt", n);
    if (!alt) return -1;
    const double* la = core::data_of(lat.get());
    const double* lo = core::data_of(lon.get());
    const double* al = core::data_of(alt.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!std::isfinite(la[i]) || !std::isfinite(lo[i]) || !std::isfinite(al[i])) {
            PyErr_Format(PyExc_ValueError, "lat, lon and alt must be finite (epoch %zd is not)", i);
            return -1;
        }
        if (std::fabs(la[i]) > 0.5 * std::numbers::pi) {
            PyErr_Format(PyExc_ValueError, "lat must be in [-pi/2, pi/2] rad (epoch %zd is not)", i);
            return -1;
        }
    }
    if (!core::check_arg_type(ell_arg.get(), ell::Ellipsoid_Type, "ell", false)) return -1;
    Ref itrf = Ref::steal(PyUnicode_FromString("ITRF"));
    if (!itrf) return -1;
    BaseMembers base;
    if (!base.prepare(a[0], itrf.get(), n)) return -1;
    GeoStateEphemerisObject* g = as_geoe(self);
    double* lat_data = core::data_of(lat.get());
    double* lon_data = core::data_of(lon.get());
    double* alt_data = core::data_of(alt.get());
    base.commit(&g->base);
    swap_in(g->lat, lat);
    swap_in(g->lon, lon);
    swap_in(g->alt, alt);
    g->lat_data = lat_data;
    g->lon_data = lon_data;
    g->alt_data = alt_data;
    swap_in(g->ell, ell_arg);
    return 0;
}

PyObject* GeoE_get_lat(PyObject* self, void*) {
    GeoStateEphemerisObject* g = as_geoe(self);
    return expose(g->lat, g->lat_data, g->base.size, 0);
}
PyObject* GeoE_get_lon(PyObject* self, void*) {
    GeoStateEphemerisObject* g = as_geoe(self);
    return expose(g->lon, g->lon_data, g->base.size, 0);
}
PyObject* GeoE_get_alt(PyObject* self, void*) {
    GeoStateEphemerisObject* g = as_geoe(self);
    return expose(g->alt, g->alt_data, g->base.size, 0);
}
PyObject* GeoE_get_ell(PyObject* self, void*) {
    PyObject* e = as_geoe(self)->ell;
    return Py_NewRef(e ? e : Py_None);
}

// ITRF positions of the points, zero velocities.
PyObject* GeoE_to_sv(PyObject* self, PyObject*) {
    GeoStateEphemerisObject* g = as_geoe(self);
    const Py_ssize_t n = g->base.size;
    if (!g->ell || !PyObject_TypeCheck(g->ell, ell::Ellipsoid_Type)) return not_initialised("GeoStateEphemeris.to_sv");
    if (n > 0 && !(g->lat_data && g->lon_data && g->alt_data)) return not_initialised("GeoStateEphemeris.to_sv");
    Ref held[3] = {Ref::borrow(g->lat), Ref::borrow(g->lon), Ref::borrow(g->alt)};
    const double *lat = g->lat_data, *lon = g->lon_data, *alt = g->alt_data;
    Ref ellipsoid = Ref::borrow(g->ell);
    Ref time = Ref::borrow(g->base.time);
    Ref frame = Ref::borrow(g->base.frame);

    Ref r = new_block(n, 3);
    if (!r) return nullptr;
    Ref v = new_block(n, 3);
    if (!v) return nullptr;
    double* rp = core::data_of(r.get());
    std::memset(core::data_of(v.get()), 0, static_cast<size_t>(n) * 3 * sizeof(double));
    auto* e = reinterpret_cast<ell::EllipsoidObject*>(ellipsoid.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (e->vtab->c_geodetic_to_cartesian(e, rp + 3 * i, lat[i], lon[i], alt[i]) < 0) return nullptr;
    }
    return new_sve(time.get(), frame.get(), n, std::move(r), std::move(v));
}

PyObject* GeoE_subscript(PyObject* self, PyObject* key) {
    Py_ssize_t i;
    if (!index_value(key, i)) return nullptr;
    GeoStateEphemerisObject* g = as_geoe(self);
    if (!normalise_index(i, g->base.size)) return nullptr;
    if (!g->lat_data || !g->lon_data || !g->alt_data || !g->ell) return not_initialised("GeoStateEphemeris");
    const double lat = g->lat_data[i], lon = g->lon_data[i], alt = g->alt_data[i];
    Ref ellipsoid = Ref::borrow(g->ell);
    Ref time = Ref::borrow(g->base.time);

    Ref t = Ref::steal(time_at(time.get(), i));
    if (!t) return nullptr;
    Ref call_args = Ref::steal(Py_BuildValue("(OdddO)", t.get(), lat, lon, alt, ellipsoid.get()));
    if (!call_args) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(st::GeoState_Type), call_args.get(), nullptr);
}

PyGetSetDef GeoE_getset[] = {
    {"lat", core::entry<GeoE_get_lat>, nullptr, "Geodetic latitudes [rad]: a view of the (N,) float64 array.",
     nullptr},
    {"lon", core::entry<GeoE_get_lon>, nullptr, "Longitudes [rad]: a view of the (N,) float64 array.", nullptr},
    {"alt", core::entry<GeoE_get_alt>, nullptr, "Heights above the ellipsoid [m]: a view of the (N,) float64 array.",
     nullptr},
    {"ell", core::entry<GeoE_get_ell>, nullptr, "The ellipsoid of the geodetic coordinates.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef GeoE_methods[] = {
    {"to_sv", core::entry<GeoE_to_sv>, METH_NOARGS,
     "to_sv()\n--\n\nITRF positions of the points with zero velocities (a StateVectorEphemeris)."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot GeoE_slots[] = {
    {Py_tp_doc, (void*)"GeoStateEphemeris(time, lat, lon, alt, ell=None)\n--\n\n"
                       "Earth-fixed points at the N epochs of `time`: geodetic latitudes and longitudes\n"
                       "[rad] and heights [m] (equal-length 1-D float64 arrays, copied) on `ell`\n"
                       "(None: WGS84); the "
                       "frame is ITRF. eph[i] is the GeoState of epoch i."},
    {Py_tp_init, (void*)core::entry<GeoE_init>},
    {Py_tp_dealloc, (void*)core::entry<dealloc<GeoE_clear>>},
    {Py_tp_traverse, (void*)core::entry<GeoE_traverse>},
    {Py_tp_clear, (void*)core::entry<GeoE_clear>},
    {Py_mp_subscript, (void*)core::entry<GeoE_subscript>},
    {Py_tp_getset, GeoE_getset},
    {Py_tp_methods, GeoE_methods},
    {0, nullptr}};

PyType_Spec GeoE_spec = {"velarion.state.ephemeris.GeoStateEphemeris", sizeof(GeoStateEphemerisObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, GeoE_slots};

// ---------------------------------------------------------------------------
// Module

PyObject* ephemeris_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int ephemeris_exec(PyObject* module) {
    if (int r = g_once.enter(module, "ephemeris"); r <= 0) return r;
    PyTypeObject* base = nullptr;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(velarion::time::import_time());
    VELARION_CHECK(ell::import_ellipsoid());
    VELARION_CHECK(st::import_state());
    g_default_ell = Py_NewRef(*ell::WGS84);
    if (!bd::read_earth_gm(g_default_GM)) goto error;
    VELARION_CHECK(base = core::add_type(module, &Ephemeris_spec));
    st::Ephemeris_Type = base;
    {
        PyObject* bases = reinterpret_cast<PyObject*>(base);
        VELARION_CHECK(st::StateVectorEphemeris_Type = core::add_type(module, &SVE_spec, bases));
        VELARION_CHECK(st::COEEphemeris_Type = core::add_type(module, &COEE_spec, bases));
        VELARION_CHECK(st::GeoStateEphemeris_Type = core::add_type(module, &GeoE_spec, bases));
    }
    return 0;
error:
    return -1;
}

PyModuleDef_Slot ephemeris_slots[] = {{Py_mod_create, (void*)core::entry<ephemeris_create>},
                                      {Py_mod_exec, (void*)core::entry<ephemeris_exec>},
                                      {0, nullptr}};

PyModuleDef ephemeris_def = {PyModuleDef_HEAD_INIT, "velarion.state.ephemeris",
                             "Ephemerides: states at many epochs, held as float64 arrays.", 0, nullptr,
                             ephemeris_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_ephemeris() { return PyModuleDef_Init(&ephemeris_def); }
