// velarion.state.ephemeris: states at N epochs (Ephemeris,
// StateVectorEphemeris, COEEphemeris, GeoStateEphemeris) held as owned
// contiguous float64 arrays, with vectorized conversions.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/mathtools/ellipsoid/ellipsoid.hpp"
#include "velarion/state/binding.hpp"
#include "velarion/state/elements.hpp"
#include "velarion/state/ephemeris.hpp"
#include "velarion/state/state.hpp"
#include "velarion/time/time.hpp"

#include <cmath>
#include <cstdint>
#include <numbers>

namespace core = velarion::core;
namespace eph = velarion::ephemeris;
namespace el = velarion::state::elements;
namespace bd = velarion::state::binding;
namespace ell = velarion::ellipsoid;
namespace st = velarion::state;

using eph::COEEphemerisObject;
using eph::EphemerisObject;
using eph::GeoStateEphemerisObject;
using eph::StateVectorEphemerisObject;

namespace {

core::ModuleOnce g_once;
double g_default_GM = 0.0;          // Earth.GM, read at start-up
PyObject* g_default_ell = nullptr;  // WGS84 at start-up (owned)

EphemerisObject* as_eph(PyObject* o) { return reinterpret_cast<EphemerisObject*>(o); }
StateVectorEphemerisObject* as_sve(PyObject* o) { return reinterpret_cast<StateVectorEphemerisObject*>(o); }
COEEphemerisObject* as_coee(PyObject* o) { return reinterpret_cast<COEEphemerisObject*>(o); }
GeoStateEphemerisObject* as_geoe(PyObject* o) { return reinterpret_cast<GeoStateEphemerisObject*>(o); }

// ---------------------------------------------------------------------------
// Array intake: any float64 buffer (any strides) or a plain sequence of
// numbers, copied into a new C-contiguous array that the ephemeris owns.

bool take_view(PyObject* obj, core::View1D& view, core::Ref& keep) {
    if (!PyObject_CheckBuffer(obj) && PySequence_Check(obj) && !PyUnicode_Check(obj)) {
        keep = core::Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr));
        if (!keep) return false;
        obj = keep.get();
    }
    return view.acquire(obj, false);
}

bool take_view(PyObject* obj, core::View2D& view, core::Ref& keep) {
    if (!PyObject_CheckBuffer(obj) && PySequence_Check(obj) && !PyUnicode_Check(obj)) {
        keep = core::Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, 0, nullptr));
        if (!keep) return false;
        obj = keep.get();
    }
    return view.acquire(obj, false);
}

// (N,) copy of a 1-D input; `n` is -1 for "any length" (then set).
core::Ref copy_1d(PyObject* obj, const char* name, Py_ssize_t& n) {
    core::View1D view;
    core::Ref keep;
    if (!take_view(obj, view, keep)) return {};
    const Py_ssize_t len = view.shape(0);
    if (n >= 0 && len != n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd entries, but %zd were expected (one per epoch)", name, len, n);
        return {};
    }
    n = len;
    npy_intp dim = len;
    core::Ref out = core::empty(1, &dim);
    if (!out) return {};
    double* p = core::data_of(out.get());
    const core::Strided1D<double> s = view.span1();
    for (Py_ssize_t i = 0; i < len; ++i) p[i] = s[i];
    return out;
}

// (N, 3) copy of a 2-D input of N rows of x, y, z.
core::Ref copy_rows3(PyObject* obj, const char* name, Py_ssize_t& n) {
    core::View2D view;
    core::Ref keep;
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
    npy_intp dims[2] = {rows, 3};
    core::Ref out = core::empty(2, dims);
    if (!out) return {};
    double* p = core::data_of(out.get());
    const core::Strided2D<double> s = view.span2();
    for (Py_ssize_t i = 0; i < rows; ++i) s.load3(i, p + 3 * i);
    return out;
}

// A writable view of an owned array (its shape cannot be changed through
// the view), or None when the ephemeris is not initialised.
PyObject* array_view(PyObject* arr) {
    if (!arr) Py_RETURN_NONE;
    return PyArray_View(core::as_array(arr), nullptr, nullptr);
}

// The epoch count of `time`, which must equal `n` when n >= 0.
bool check_time(PyObject* time, Py_ssize_t n) {
    if (!core::check_arg_type(time, velarion::time::Time_Type, "time", false)) return false;
    const Py_ssize_t size = bd::time_size(time);
    if (size < 0) return false;
    if (n >= 0 && size != n) {
        PyErr_Format(PyExc_ValueError, "time has %zd epochs, but the ephemeris has %zd", size, n);
        return false;
    }
    return true;
}

// Epoch i of `time` (in row-major order of its shape) as a Time; a scalar
// Time stands for its one epoch.
PyObject* time_at(PyObject* time, Py_ssize_t i) {
    core::Ref shape = core::Ref::steal(PyObject_GetAttrString(time, "shape"));
    if (!shape) return nullptr;
    if (!PyTuple_Check(shape.get())) {
        PyErr_SetString(PyExc_TypeError, "time.shape must be a tuple");
        return nullptr;
    }
    const Py_ssize_t ndim = PyTuple_GET_SIZE(shape.get());
    if (ndim == 0) return Py_NewRef(time);
    core::Ref index = core::Ref::steal(PyTuple_New(ndim));
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

// Normalises an index against `size`; -1 with IndexError.
Py_ssize_t normalise_index(PyObject* self, PyObject* key) {
    Py_ssize_t i = PyNumber_AsSsize_t(key, PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) return -1;
    const Py_ssize_t n = as_eph(self)->size;
    if (i < 0) i += n;
    if (i < 0 || i >= n) {
        PyErr_Format(PyExc_IndexError, "ephemeris index out of range (size %zd)", n);
        return -1;
    }
    return i;
}

core::Ref default_frame_name(PyObject* given, const char* name) {
    if (given) return core::Ref::borrow(given);
    return core::Ref::steal(PyUnicode_FromString(name));
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

// Stores time, frame and size after the checks; 0, or -1 with an exception.
int Ephemeris_set_base(PyObject* self, PyObject* time, PyObject* frame, Py_ssize_t n) {
    if (!check_time(time, n)) return -1;
    if (n < 0 && (n = bd::time_size(time)) < 0) return -1;
    core::Ref fr = bd::resolve_frame(frame);
    if (!fr) return -1;
    EphemerisObject* e = as_eph(self);
    core::replace_slot(e->time, Py_NewRef(time));
    core::replace_slot(e->frame, fr.release());
    e->size = n;
    return 0;
}

constexpr const char* kEphNames[] = {"time", "frame"};
constexpr core::Signature kEphSig{"Ephemeris", kEphNames, 2};

int Ephemeris_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[2];
    if (!core::parse_args(kEphSig, args, kwargs, a)) return -1;
    return Ephemeris_set_base(self, a[0], a[1], -1);
}

PyObject* Ephemeris_get_time(PyObject* self, void*) { return Py_NewRef(as_eph(self)->time); }
PyObject* Ephemeris_get_frame(PyObject* self, void*) { return Py_NewRef(as_eph(self)->frame); }
PyObject* Ephemeris_get_size(PyObject* self, void*) { return PyLong_FromSsize_t(as_eph(self)->size); }
Py_ssize_t Ephemeris_len(PyObject* self) { return as_eph(self)->size; }

PyObject* Ephemeris_repr(PyObject* self) {
    return PyUnicode_FromFormat("<%s of %zd epochs, frame=%R>", bd::short_name(Py_TYPE(self)), as_eph(self)->size,
                                as_eph(self)->frame);
}

PyGetSetDef Ephemeris_getset[] = {
    {"time", Ephemeris_get_time, nullptr, "The epochs (a Time of `size` epochs).", nullptr},
    {"frame", Ephemeris_get_frame, nullptr, "The reference frame (a Frame, or None).", nullptr},
    {"size", Ephemeris_get_size, nullptr, "The number of epochs N.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef Ephemeris_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyType_Slot Ephemeris_slots[] = {
    {Py_tp_doc, (void*)"Ephemeris(time, frame)\n--\n\n"
                       "Base of the ephemerides: states at the N epochs of `time` in `frame`."},
    {Py_tp_new, (void*)Ephemeris_new},
    {Py_tp_init, (void*)Ephemeris_init},
    {Py_tp_dealloc, (void*)dealloc<Ephemeris_clear>},
    {Py_tp_traverse, (void*)Ephemeris_traverse},
    {Py_tp_clear, (void*)Ephemeris_clear},
    {Py_tp_repr, (void*)Ephemeris_repr},
    {Py_sq_length, (void*)Ephemeris_len},
    {Py_mp_length, (void*)Ephemeris_len},
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
    e->r_data = e->v_data = nullptr;
    Py_CLEAR(e->r);
    Py_CLEAR(e->v);
    return Ephemeris_clear(self);
}

// Installs owned (N, 3) arrays.
void SVE_set_arrays(StateVectorEphemerisObject* e, core::Ref r, core::Ref v) {
    e->r_data = core::data_of(r.get());
    e->v_data = core::data_of(v.get());
    core::replace_slot(e->r, r.release());
    core::replace_slot(e->v, v.release());
}

constexpr const char* kSVENames[] = {"time", "r", "v", "frame"};
constexpr core::Signature kSVESig{"StateVectorEphemeris", kSVENames, 3};

int SVE_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    if (!core::parse_args(kSVESig, args, kwargs, a)) return -1;
    Py_ssize_t n = -1;
    core::Ref r = copy_rows3(a[1], "r", n);
    if (!r) return -1;
    core::Ref v = copy_rows3(a[2], "v", n);
    if (!v) return -1;
    core::Ref frame = default_frame_name(a[3], "GCRF");
    if (!frame || Ephemeris_set_base(self, a[0], frame.get(), n) < 0) return -1;
    SVE_set_arrays(as_sve(self), std::move(r), std::move(v));
    return 0;
}

PyObject* SVE_get_r(PyObject* self, void*) { return array_view(as_sve(self)->r); }
PyObject* SVE_get_v(PyObject* self, void*) { return array_view(as_sve(self)->v); }

// Epoch i as a StateVector (under the default GM: the ephemeris holds none).
PyObject* SVE_item(PyObject* self, Py_ssize_t i) {
    StateVectorEphemerisObject* e = as_sve(self);
    if (!e->r_data) {
        PyErr_SetString(PyExc_ValueError, "the ephemeris is not initialised");
        return nullptr;
    }
    core::Ref t = core::Ref::steal(time_at(e->base.time, i));
    if (!t) return nullptr;
    const double* r = e->r_data + 3 * i;
    const double* v = e->v_data + 3 * i;
    core::Ref args = core::Ref::steal(Py_BuildValue("(O(ddd)(ddd))", t.get(), r[0], r[1], r[2], v[0], v[1], v[2]));
    core::Ref kwargs = core::Ref::steal(Py_BuildValue("{sOsd}", "frame", e->base.frame, "GM", g_default_GM));
    if (!args || !kwargs) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(st::StateVector_Type), args.get(), kwargs.get());
}

PyObject* SVE_subscript(PyObject* self, PyObject* key) {
    Py_ssize_t i = normalise_index(self, key);
    if (i < 0) return nullptr;
    return SVE_item(self, i);
}

PyObject* SVE_repr(PyObject* self) {
    StateVectorEphemerisObject* e = as_sve(self);
    core::Ref r = core::Ref::steal(array_view(e->r));
    core::Ref v = r ? core::Ref::steal(array_view(e->v)) : core::Ref();
    if (!v) return nullptr;
    return PyUnicode_FromFormat("%s(time=%R, r=%R, v=%R, frame=%R)", bd::short_name(Py_TYPE(self)), e->base.time, r.get(),
                                v.get(), e->base.frame);
}

PyGetSetDef SVE_getset[] = {
    {"r", SVE_get_r, nullptr, "Positions [m]: a view of the (N, 3) float64 array, row i at epoch i.", nullptr},
    {"v", SVE_get_v, nullptr, "Velocities [m/s]: a view of the (N, 3) float64 array, row i at epoch i.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot SVE_slots[] = {
    {Py_tp_doc, (void*)"StateVectorEphemeris(time, r, v, frame='GCRF')\n--\n\n"
                       "Positions r [m] and velocities v [m/s] at the N epochs of `time`: (N, 3)\n"
                       "float64 arrays, copied; len() is N and eph[i] is the StateVector of epoch i."},
    {Py_tp_init, (void*)SVE_init},
    {Py_tp_dealloc, (void*)dealloc<SVE_clear>},
    {Py_tp_traverse, (void*)SVE_traverse},
    {Py_tp_clear, (void*)SVE_clear},
    {Py_tp_repr, (void*)SVE_repr},
    {Py_mp_subscript, (void*)SVE_subscript},
    {Py_tp_getset, SVE_getset},
    {0, nullptr}};

PyType_Spec SVE_spec = {"velarion.state.ephemeris.StateVectorEphemeris", sizeof(StateVectorEphemerisObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, SVE_slots};

// A new StateVectorEphemeris over owned arrays (no copy, no checks).
PyObject* new_sve(PyObject* time, PyObject* frame, Py_ssize_t n, core::Ref r, core::Ref v) {
    PyTypeObject* type = eph::StateVectorEphemeris_Type;
    PyObject* obj = Ephemeris_new(type, nullptr, nullptr);
    if (!obj) return nullptr;
    EphemerisObject* e = as_eph(obj);
    core::replace_slot(e->time, Py_NewRef(time));
    core::replace_slot(e->frame, Py_NewRef(frame));
    e->size = n;
    SVE_set_arrays(as_sve(obj), std::move(r), std::move(v));
    return obj;
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
    PyObject* a[10];
    if (!core::parse_args(kCOEESig, args, kwargs, a)) return -1;
    double GM = g_default_GM;
    if (a[2] && a[2] != Py_None && !bd::float_arg(a[2], "GM", GM)) return -1;
    Py_ssize_t n = -1;
    core::Ref arrays[kNumElements];
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
        npy_intp dim = n;
        if (!(arrays[6] = core::empty(1, &dim))) return -1;
        const double* ecc = core::data_of(arrays[0].get());
        const double* sma = core::data_of(arrays[1].get());
        double* slr = core::data_of(arrays[6].get());
        for (Py_ssize_t i = 0; i < n; ++i) slr[i] = sma[i] * (1.0 - ecc[i] * ecc[i]);
    }
    core::Ref frame = default_frame_name(a[1], "GCRF");
    if (!frame || Ephemeris_set_base(self, a[0], frame.get(), n) < 0) return -1;
    COEEphemerisObject* e = as_coee(self);
    e->GM = GM;
    for (int k = 0; k < kNumElements; ++k) {
        e->*kDataMembers[k] = core::data_of(arrays[k].get());
        core::replace_slot(e->*kArrayMembers[k], arrays[k].release());
    }
    return 0;
}

PyObject* COEE_get_GM(PyObject* self, void*) { return PyFloat_FromDouble(as_coee(self)->GM); }

PyObject* COEE_get_element(PyObject* self, void* closure) {
    return array_view(as_coee(self)->*kArrayMembers[reinterpret_cast<std::intptr_t>(closure)]);
}

// Elements -> positions and velocities in one pass. The orientation (three
// sine-cosine pairs) and the velocity scale are recomputed only when a row's
// inc, raa, arp or slr differs from the previous row's, which is the common
// case of a propagated orbit where only the anomaly moves.
PyObject* COEE_to_sv(PyObject* self, PyObject*) {
    COEEphemerisObject* e = as_coee(self);
    const Py_ssize_t n = e->base.size;
    if (n > 0 && !e->tra_data) {
        PyErr_SetString(PyExc_ValueError, "COEEphemeris.to_sv: the ephemeris is not initialised");
        return nullptr;
    }
    const double GM = e->GM;
    if (!(GM >= 0.0) || !std::isfinite(GM)) {
        core::Ref value = core::Ref::steal(PyFloat_FromDouble(GM));
        if (value) PyErr_Format(PyExc_ValueError, "COEEphemeris.to_sv: GM must be finite and not negative (got %R)",
                                value.get());
        return nullptr;
    }
    npy_intp dims[2] = {n, 3};
    core::Ref r = core::empty(2, dims);
    if (!r) return nullptr;
    core::Ref v = core::empty(2, dims);
    if (!v) return nullptr;
    double* rp = core::data_of(r.get());
    double* vp = core::data_of(v.get());

    el::Orientation o;
    double inc0 = std::nan(""), raa0 = inc0, arp0 = inc0, slr0 = inc0, vf = inc0;
    el::Status status = el::Status::Ok;
    Py_ssize_t i = 0;
    for (; i < n; ++i) {
        const double ecc = e->ecc_data[i], slr = e->slr_data[i];
        if (ecc < 0.0) {
            status = el::Status::BadEcc;
            break;
        }
        if (slr <= 0.0) {
            status = el::Status::BadSlr;
            break;
        }
        const double inc = e->inc_data[i], raa = e->raa_data[i], arp = e->arp_data[i];
        if (inc != inc0 || raa != raa0 || arp != arp0) {
            o.set(inc, raa, arp);
            inc0 = inc, raa0 = raa, arp0 = arp;
        }
        if (slr != slr0) {
            vf = std::sqrt(GM / slr);
            slr0 = slr;
        }
        const double tra = e->tra_data[i];
        status = el::conic_to_rv(o, vf, ecc, slr, tra, rp + 3 * i, vp + 3 * i);
        if (status != el::Status::Ok) break;
        // A NaN element gives its NaN row; finite elements must give a finite one.
        if (!el::finite_rv(rp + 3 * i, vp + 3 * i) &&
            std::isfinite(ecc + slr + inc + raa + arp + tra)) {
            status = el::Status::OutOfRange;
            break;
        }
    }
    if (status != el::Status::Ok) {
        core::Ref where = core::Ref::steal(PyUnicode_FromFormat("COEEphemeris.to_sv (epoch %zd)", i));
        if (where) bd::raise_status(status, PyUnicode_AsUTF8(where.get()));
        return nullptr;
    }
    return new_sve(e->base.time, e->base.frame, n, std::move(r), std::move(v));
}

// Epoch i as a COE (with this ephemeris's GM).
PyObject* COEE_subscript(PyObject* self, PyObject* key) {
    Py_ssize_t i = normalise_index(self, key);
    if (i < 0) return nullptr;
    COEEphemerisObject* e = as_coee(self);
    core::Ref t = core::Ref::steal(time_at(e->base.time, i));
    if (!t) return nullptr;
    core::Ref args = core::Ref::steal(PyTuple_Pack(1, t.get()));
    core::Ref kwargs = core::Ref::steal(Py_BuildValue(
        "{sdsdsdsdsdsdsOsd}", "ecc", e->ecc_data[i], "sma", e->sma_data[i], "inc", e->inc_data[i], "raa",
        e->raa_data[i], "arp", e->arp_data[i], "tra", e->tra_data[i], "frame", e->base.frame, "GM", e->GM));
    if (!args || !kwargs) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(st::COE_Type), args.get(), kwargs.get());
}

PyGetSetDef COEE_getset[] = {
    {"GM", COEE_get_GM, nullptr, "Gravitational parameter [m^3/s^2].", nullptr},
    {"ecc", COEE_get_element, nullptr, "Eccentricities: a view of the (N,) float64 array.", (void*)0},
    {"sma", COEE_get_element, nullptr, "Semi-major axes [m]: a view of the (N,) float64 array.", (void*)1},
    {"inc", COEE_get_element, nullptr, "Inclinations [rad]: a view of the (N,) float64 array.", (void*)2},
    {"raa", COEE_get_element, nullptr, "Right ascensions of the node [rad]: a view of the (N,) array.", (void*)3},
    {"arp", COEE_get_element, nullptr, "Arguments of periapsis [rad]: a view of the (N,) array.", (void*)4},
    {"tra", COEE_get_element, nullptr, "True anomalies [rad]: a view of the (N,) float64 array.", (void*)5},
    {"slr", COEE_get_element, nullptr, "Semi-latus recta [m]: a view of the (N,) float64 array.", (void*)6},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef COEE_methods[] = {
    {"to_sv", COEE_to_sv, METH_NOARGS,
     "to_sv()\n--\n\nPositions and velocities of the elements under GM (a StateVectorEphemeris of the\n"
     "same epochs and frame), computed from ecc, slr, inc, raa, arp and tra.\n\n"
     "A NaN element gives a NaN row; a negative ecc, a non-positive slr or a hyperbolic\n"
     "true anomaly beyond the asymptotes raises ValueError naming the epoch."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot COEE_slots[] = {
    {Py_tp_doc, (void*)"COEEphemeris(time, *, frame='GCRF', GM=None, ecc, sma, inc, raa, arp, tra, slr=None)\n"
                       "--\n\n"
                       "Classical elements at the N epochs of `time`: equal-length 1-D float64 arrays\n"
                       "(copied); slr defaults to sma * (1 - ecc**2), GM to Earth.GM. len() is N and\n"
                       "eph[i] is the COE of epoch i."},
    {Py_tp_init, (void*)COEE_init},
    {Py_tp_dealloc, (void*)dealloc<COEE_clear>},
    {Py_tp_traverse, (void*)COEE_traverse},
    {Py_tp_clear, (void*)COEE_clear},
    {Py_mp_subscript, (void*)COEE_subscript},
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
    PyObject* a[5];
    if (!core::parse_args(kGeoESig, args, kwargs, a)) return -1;
    Py_ssize_t n = -1;
    core::Ref lat = copy_1d(a[1], "lat", n);
    if (!lat) return -1;
    core::Ref lon = copy_1d(a[2], "lon", n);
    if (!lon) return -1;
    core::Ref alt = copy_1d(a[3], "alt", n);
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
    PyObject* e = a[4] && a[4] != Py_None ? a[4] : g_default_ell;
    if (!core::check_arg_type(e, ell::Ellipsoid_Type, "ell", false)) return -1;
    core::Ref itrf = core::Ref::steal(PyUnicode_FromString("ITRF"));
    if (!itrf || Ephemeris_set_base(self, a[0], itrf.get(), n) < 0) return -1;
    GeoStateEphemerisObject* g = as_geoe(self);
    g->lat_data = core::data_of(lat.get());
    g->lon_data = core::data_of(lon.get());
    g->alt_data = core::data_of(alt.get());
    core::replace_slot(g->lat, lat.release());
    core::replace_slot(g->lon, lon.release());
    core::replace_slot(g->alt, alt.release());
    core::replace_slot(g->ell, Py_NewRef(e));
    return 0;
}

PyObject* GeoE_get_lat(PyObject* self, void*) { return array_view(as_geoe(self)->lat); }
PyObject* GeoE_get_lon(PyObject* self, void*) { return array_view(as_geoe(self)->lon); }
PyObject* GeoE_get_alt(PyObject* self, void*) { return array_view(as_geoe(self)->alt); }
PyObject* GeoE_get_ell(PyObject* self, void*) {
    PyObject* e = as_geoe(self)->ell;
    return Py_NewRef(e ? e : Py_None);
}

// ITRF positions of the points, zero velocities.
PyObject* GeoE_to_sv(PyObject* self, PyObject*) {
    GeoStateEphemerisObject* g = as_geoe(self);
    const Py_ssize_t n = g->base.size;
    if (!g->ell || !PyObject_TypeCheck(g->ell, ell::Ellipsoid_Type)) {
        PyErr_SetString(PyExc_ValueError, "GeoStateEphemeris.to_sv: the ephemeris is not initialised");
        return nullptr;
    }
    npy_intp dims[2] = {n, 3};
    core::Ref r = core::empty(2, dims);
    if (!r) return nullptr;
    core::Ref v = core::zeros(2, dims);
    if (!v) return nullptr;
    double* rp = core::data_of(r.get());
    auto* e = reinterpret_cast<ell::EllipsoidObject*>(g->ell);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (e->vtab->c_geodetic_to_cartesian(e, rp + 3 * i, g->lat_data[i], g->lon_data[i], g->alt_data[i]) < 0) {
            return nullptr;
        }
    }
    return new_sve(g->base.time, g->base.frame, n, std::move(r), std::move(v));
}

PyObject* GeoE_subscript(PyObject* self, PyObject* key) {
    Py_ssize_t i = normalise_index(self, key);
    if (i < 0) return nullptr;
    GeoStateEphemerisObject* g = as_geoe(self);
    core::Ref t = core::Ref::steal(time_at(g->base.time, i));
    if (!t) return nullptr;
    core::Ref args = core::Ref::steal(
        Py_BuildValue("(OdddO)", t.get(), g->lat_data[i], g->lon_data[i], g->alt_data[i], g->ell));
    if (!args) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(st::GeoState_Type), args.get(), nullptr);
}

PyGetSetDef GeoE_getset[] = {
    {"lat", GeoE_get_lat, nullptr, "Geodetic latitudes [rad]: a view of the (N,) float64 array.", nullptr},
    {"lon", GeoE_get_lon, nullptr, "Longitudes [rad]: a view of the (N,) float64 array.", nullptr},
    {"alt", GeoE_get_alt, nullptr, "Heights above the ellipsoid [m]: a view of the (N,) float64 array.", nullptr},
    {"ell", GeoE_get_ell, nullptr, "The ellipsoid of the geodetic coordinates.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef GeoE_methods[] = {
    {"to_sv", GeoE_to_sv, METH_NOARGS,
     "to_sv()\n--\n\nITRF positions of the points with zero velocities (a StateVectorEphemeris)."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot GeoE_slots[] = {
    {Py_tp_doc, (void*)"GeoStateEphemeris(time, lat, lon, alt, ell=None)\n--\n\n"
                       "Earth-fixed points at the N epochs of `time`: geodetic latitudes and longitudes\n"
                       "[rad] and heights [m] (equal-length 1-D float64 arrays, copied) on `ell`\n"
                       "(None: WGS84); the "
                       "frame is ITRF. eph[i] is the GeoState of epoch i."},
    {Py_tp_init, (void*)GeoE_init},
    {Py_tp_dealloc, (void*)dealloc<GeoE_clear>},
    {Py_tp_traverse, (void*)GeoE_traverse},
    {Py_tp_clear, (void*)GeoE_clear},
    {Py_mp_subscript, (void*)GeoE_subscript},
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
    eph::Ephemeris_Type = base;
    VELARION_CHECK(eph::StateVectorEphemeris_Type = core::add_type(module, &SVE_spec, reinterpret_cast<PyObject*>(base)));
    VELARION_CHECK(eph::COEEphemeris_Type = core::add_type(module, &COEE_spec, reinterpret_cast<PyObject*>(base)));
    VELARION_CHECK(eph::GeoStateEphemeris_Type = core::add_type(module, &GeoE_spec, reinterpret_cast<PyObject*>(base)));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot ephemeris_slots[] = {
    {Py_mod_create, (void*)ephemeris_create}, {Py_mod_exec, (void*)ephemeris_exec}, {0, nullptr}};

PyModuleDef ephemeris_def = {PyModuleDef_HEAD_INIT, "velarion.state.ephemeris",
                             "Ephemerides: states at many epochs, held as float64 arrays.", 0, nullptr,
                             ephemeris_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_ephemeris() { return PyModuleDef_Init(&ephemeris_def); }
