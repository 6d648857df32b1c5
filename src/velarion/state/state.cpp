// velarion.state.state: single-epoch states (State, StateVector, COE,
// GeoState) and their conversions.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/mathtools/ellipsoid/ellipsoid.hpp"
#include "velarion/state/binding.hpp"
#include "velarion/state/kernels/elements.hpp"
#include "velarion/state/state.hpp"
#include "velarion/time/time.hpp"

#include <cmath>
#include <numbers>
#include <span>

namespace core = velarion::core;
namespace st = velarion::state;
namespace kn = velarion::state::kernels;
namespace bd = velarion::state::binding;
namespace ell = velarion::mathtools::ellipsoid;

using st::COEObject;
using st::GeoStateObject;
using st::StateObject;
using st::StateVectorObject;

namespace {

core::ModuleOnce g_once;
double g_default_GM = 0.0;          // Earth.GM, read at start-up
PyObject* g_default_ell = nullptr;  // WGS84 at start-up (owned)

StateObject* as_state(PyObject* o) { return reinterpret_cast<StateObject*>(o); }
StateVectorObject* as_sv(PyObject* o) { return reinterpret_cast<StateVectorObject*>(o); }
COEObject* as_coe(PyObject* o) { return reinterpret_cast<COEObject*>(o); }
GeoStateObject* as_geo(PyObject* o) { return reinterpret_cast<GeoStateObject*>(o); }

// The exception texts and documentation strings of this file are word for
// word: callers and tests compare them.

// ---------------------------------------------------------------------------
// State

PyObject* State_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    // Never NULL, so that C-level readers can rely on the members even when
    // a subclass's __init__ does not chain to ours.
    as_state(self)->time = Py_NewRef(Py_None);
    as_state(self)->frame = Py_NewRef(Py_None);
    return self;
}

int State_traverse_members(StateObject* s, visitproc visit, void* arg) {
    Py_VISIT(s->time);
    Py_VISIT(s->frame);
    return 0;
}

int State_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return State_traverse_members(as_state(self), visit, arg);
}

int State_clear(PyObject* self) {
    Py_CLEAR(as_state(self)->time);
    Py_CLEAR(as_state(self)->frame);
    return 0;
}

// The base members of an initialisation, checked and resolved (which may run
// Python code); nothing of the instance changes before commit(), and commit
// runs none: the replaced members stay here until the caller's instance is
// whole again.
struct BaseMembers {
    core::Ref time, frame;

    bool prepare(PyObject* time_arg, PyObject* frame_arg) {
        if (!core::check_arg_type(time_arg, velarion::time::Time_Type, "time", false)) return false;
        time = core::Ref::borrow(time_arg);
        Py_ssize_t n = bd::time_size(time_arg);
        if (n < 0) return false;
        if (n != 1) {
            PyErr_Format(PyExc_ValueError, "a state holds one epoch, but time has %zd", n);
            return false;
        }
        frame = bd::resolve_frame(frame_arg);
        return static_cast<bool>(frame);
    }

    void commit(StateObject* s) noexcept {
        bd::swap_in(s->time, time);
        bd::swap_in(s->frame, frame);
    }
};

constexpr const char* kStateNames[] = {"time", "frame"};
constexpr core::Signature kStateSig{"State", kStateNames, 2};

int State_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<2> a;
    if (!core::parse_args(kStateSig, args, kwargs, a)) return -1;
    BaseMembers base;
    if (!base.prepare(a[0], a[1])) return -1;
    base.commit(as_state(self));
    return 0;
}

PyObject* State_get_time(PyObject* self, void*) { return Py_NewRef(as_state(self)->time); }
PyObject* State_get_frame(PyObject* self, void*) { return Py_NewRef(as_state(self)->frame); }

PyObject* State_to_sv(PyObject* self, PyObject*) {
    PyErr_Format(PyExc_NotImplementedError, "%.200s does not define to_sv()", bd::short_name(Py_TYPE(self)));
    return nullptr;
}

// The generic route: the elements of this state's position-velocity form.
PyObject* State_to_coe(PyObject* self, PyObject*) {
    core::Ref sv = core::Ref::steal(PyObject_CallMethodNoArgs(self, bd::g_names[bd::kToSv]));
    if (!sv) return nullptr;
    return PyObject_CallMethodNoArgs(sv.get(), bd::g_names[bd::kToCoe]);
}

// The reprs hold what they show: the repr of one member may run Python code
// that re-initialises the state and drops the others.
PyObject* State_repr(PyObject* self) {
    core::Ref time = core::Ref::borrow(as_state(self)->time);
    core::Ref frame = core::Ref::borrow(as_state(self)->frame);
    return PyUnicode_FromFormat("%s(time=%R, frame=%R)", bd::short_name(Py_TYPE(self)), time.get(), frame.get());
}

PyGetSetDef State_getset[] = {
    {"time", core::entry<State_get_time>, nullptr, "The epoch (a Time of one epoch).", nullptr},
    {"frame", core::entry<State_get_frame>, nullptr, "The reference frame (a Frame, or None).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef State_methods[] = {{"to_sv", core::entry<State_to_sv>, METH_NOARGS,
                                "to_sv()\n--\n\nThe position-velocity form of this state (a StateVector)."},
                               {"to_coe", core::entry<State_to_coe>, METH_NOARGS,
                                "to_coe()\n--\n\nThe classical elements of this state (a COE): to_sv().to_coe()."},
                               VELARION_NO_PICKLE_METHODS,
                               {nullptr, nullptr, 0, nullptr}};

PyType_Slot State_slots[] = {
    {Py_tp_doc, (void*)"State(time, frame)\n--\n\n"
                       "Base of the single-epoch states: an epoch `time` (a Time of one epoch) and a\n"
                       "reference `frame` (a Frame, a registered frame name, or None)."},
    {Py_tp_new, (void*)core::entry<State_new>},
    {Py_tp_init, (void*)core::entry<State_init>},
    VELARION_GC_SLOTS(State_traverse, State_clear),
    {Py_tp_repr, (void*)core::entry<State_repr>},
    {Py_tp_getset, State_getset},
    {Py_tp_methods, State_methods},
    {0, nullptr}};

PyType_Spec State_spec = {"velarion.state.state.State", sizeof(StateObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, State_slots};

// ---------------------------------------------------------------------------
// Small helpers

// Reads three finite floats from a sequence or array of length 3.
bool read_vec3(PyObject* obj, const char* name, double out[3]) {
    core::Ref arr = core::Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                                     NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
    if (!arr) return false;
    PyArrayObject* a = core::as_array(arr.get());
    if (PyArray_NDIM(a) != 1) {
        PyErr_Format(PyExc_ValueError, "%s must hold three floats (x, y, z), got an array of %d dimensions", name,
                     PyArray_NDIM(a));
        return false;
    }
    if (PyArray_DIM(a, 0) != 3) {
        PyErr_Format(PyExc_ValueError, "%s must hold three floats (x, y, z), got %zd", name,
                     static_cast<Py_ssize_t>(PyArray_DIM(a, 0)));
        return false;
    }
    const double* p = static_cast<const double*>(PyArray_DATA(a));
    for (int i = 0; i < 3; ++i) {
        if (!std::isfinite(p[i])) {
            PyErr_Format(PyExc_ValueError, "%s must be finite", name);
            return false;
        }
        out[i] = p[i];
    }
    return true;
}

PyObject* vec3_array(const double v[3]) {
    npy_intp n = 3;
    core::Ref arr = core::empty(1, &n);
    if (!arr) return nullptr;
    double* p = core::data_of(arr.get());
    p[0] = v[0], p[1] = v[1], p[2] = v[2];
    return arr.release();
}

PyObject* vec3_list(const double v[3]) { return Py_BuildValue("[ddd]", v[0], v[1], v[2]); }

// New instance of `type` with the base members set (no argument checks:
// the values come from an existing state).
PyObject* new_state(PyTypeObject* type, PyObject* time, PyObject* frame) {
    PyObject* obj = State_new(type, nullptr, nullptr);
    if (!obj) return nullptr;
    core::replace_slot(as_state(obj)->time, Py_NewRef(time));
    core::replace_slot(as_state(obj)->frame, Py_NewRef(frame));
    return obj;
}

// ---------------------------------------------------------------------------
// StateVector

constexpr const char* kSVNames[] = {"time", "r", "v", "frame", "GM"};
constexpr core::Signature kSVSig{"StateVector", kSVNames, 3};

int StateVector_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<5> a;
    if (!core::parse_args(kSVSig, args, kwargs, a)) return -1;
    double r[3], v[3], GM = g_default_GM;
    if (!read_vec3(a[1], "r", r) || !read_vec3(a[2], "v", v)) return -1;
    if (a[4] && a[4] != Py_None && !bd::float_arg(a[4], "GM", GM)) return -1;
    core::Ref frame = bd::frame_or_default(a[3], "GCRF");
    if (!frame) return -1;
    BaseMembers base;
    if (!base.prepare(a[0], frame.get())) return -1;
    StateVectorObject* s = as_sv(self);
    base.commit(&s->base);
    for (int i = 0; i < 3; ++i) s->r[i] = r[i], s->v[i] = v[i];
    s->GM = GM;
    return 0;
}

PyObject* StateVector_get_r(PyObject* self, void*) { return vec3_array(as_sv(self)->r); }
PyObject* StateVector_get_v(PyObject* self, void*) { return vec3_array(as_sv(self)->v); }
PyObject* StateVector_get_GM(PyObject* self, void*) { return PyFloat_FromDouble(as_sv(self)->GM); }

PyObject* StateVector_to_sv(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* StateVector_to_coe(PyObject* self, PyObject*) {
    StateVectorObject* s = as_sv(self);
    kn::Elements e;
    if (kn::Status status = kn::rv_to_coe(s->r, s->v, s->GM, e); status != kn::Status::Ok) {
        bd::raise_status(status, "StateVector.to_coe");
        return nullptr;
    }
    const double GM = s->GM;
    core::Ref time = core::Ref::borrow(s->base.time);  // held: the allocation may run Python code
    core::Ref frame = core::Ref::borrow(s->base.frame);
    PyObject* out = new_state(st::COE_Type, time.get(), frame.get());
    if (!out) return nullptr;
    COEObject* c = as_coe(out);
    c->GM = GM;
    c->ecc = e.ecc, c->sma = e.sma, c->inc = e.inc, c->raa = e.raa, c->arp = e.arp, c->tra = e.tra;
    c->slr = e.slr;
    return out;
}

PyObject* StateVector_repr(PyObject* self) {
    StateVectorObject* s = as_sv(self);
    core::Ref time = core::Ref::borrow(s->base.time);
    core::Ref frame = core::Ref::borrow(s->base.frame);
    const double r_value[3] = {s->r[0], s->r[1], s->r[2]}, v_value[3] = {s->v[0], s->v[1], s->v[2]};
    const double GM = s->GM;
    core::Ref r = core::Ref::steal(vec3_list(r_value));
    core::Ref v = r ? core::Ref::steal(vec3_list(v_value)) : core::Ref();
    core::Ref gm = v ? core::Ref::steal(PyFloat_FromDouble(GM)) : core::Ref();
    if (!gm) return nullptr;
    return PyUnicode_FromFormat("%s(time=%R, r=%R, v=%R, frame=%R, GM=%R)", bd::short_name(Py_TYPE(self)), time.get(),
                                r.get(), v.get(), frame.get(), gm.get());
}

PyGetSetDef StateVector_getset[] = {
    {"r", core::entry<StateVector_get_r>, nullptr, "Position [m], a new float64 array of shape (3,).", nullptr},
    {"v", core::entry<StateVector_get_v>, nullptr, "Velocity [m/s], a new float64 array of shape (3,).", nullptr},
    {"GM", core::entry<StateVector_get_GM>, nullptr, "Gravitational parameter [m^3/s^2].", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef StateVector_methods[] = {
    {"to_sv", core::entry<StateVector_to_sv>, METH_NOARGS, "to_sv()\n--\n\nThis state itself."},
    {"to_coe", core::entry<StateVector_to_coe>, METH_NOARGS,
     "to_coe()\n--\n\nThe classical elements of this state (a COE of the same epoch, frame and GM).\n\n"
     "Circular orbits take arp = 0 and measure tra from the node; equatorial orbits take\n"
     "raa = 0 and measure from the x axis. Hyperbolic states give ecc > 1 and sma < 0.\n"
     "A zero position or parallel position and velocity raise ValueError."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot StateVector_slots[] = {
    {Py_tp_doc, (void*)"StateVector(time, r, v, frame='GCRF', GM=None)\n--\n\n"
                       "Position r [m] and velocity v [m/s] (three floats each) at one epoch, in\n"
                       "`frame`, under the gravitational parameter GM [m^3/s^2] (None: Earth.GM)."},
    {Py_tp_init, (void*)core::entry<StateVector_init>},
    VELARION_GC_SLOTS(State_traverse, State_clear),
    {Py_tp_repr, (void*)core::entry<StateVector_repr>},
    {Py_tp_getset, StateVector_getset},
    {Py_tp_methods, StateVector_methods},
    {0, nullptr}};

PyType_Spec StateVector_spec = {"velarion.state.state.StateVector", sizeof(StateVectorObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, StateVector_slots};

// ---------------------------------------------------------------------------
// COE

// Only the epoch is positional; the six elements that follow it are
// required keywords.
constexpr const char* kCOENames[] = {"time", "ecc", "sma", "inc", "raa", "arp", "tra", "frame", "GM"};
constexpr core::Signature kCOESig{.function = "COE",
                                  .names = kCOENames,
                                  .required = 1,
                                  .positional = 1,
                                  .required_keywords = std::span(kCOENames + 1, 6)};

int COE_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<9> a;
    if (!core::parse_args(kCOESig, args, kwargs, a)) return -1;
    double x[6];
    for (int i = 0; i < 6; ++i) {
        if (!bd::float_arg(a[1 + i], kCOENames[1 + i], x[i])) return -1;
    }
    double GM = g_default_GM;
    if (a[8] && a[8] != Py_None && !bd::float_arg(a[8], "GM", GM)) return -1;
    if (x[0] < 0.0) {
        PyErr_SetString(PyExc_ValueError, "ecc must not be negative");
        return -1;
    }
    core::Ref frame = bd::frame_or_default(a[7], "GCRF");
    if (!frame) return -1;
    BaseMembers base;
    if (!base.prepare(a[0], frame.get())) return -1;
    COEObject* c = as_coe(self);
    base.commit(&c->base);
    c->GM = GM;
    c->ecc = x[0], c->sma = x[1], c->inc = x[2], c->raa = x[3], c->arp = x[4], c->tra = x[5];
    c->slr = c->sma * (1.0 - c->ecc * c->ecc);
    return 0;
}

#define VELARION_COE_GETTER(member) \
    PyObject* COE_get_##member(PyObject* self, void*) { return PyFloat_FromDouble(as_coe(self)->member); }
VELARION_COE_GETTER(GM)
VELARION_COE_GETTER(ecc)
VELARION_COE_GETTER(sma)
VELARION_COE_GETTER(inc)
VELARION_COE_GETTER(raa)
VELARION_COE_GETTER(arp)
VELARION_COE_GETTER(tra)
VELARION_COE_GETTER(slr)
#undef VELARION_COE_GETTER

PyObject* COE_to_coe(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* COE_to_sv(PyObject* self, PyObject*) {
    COEObject* c = as_coe(self);
    double r[3], v[3];
    if (kn::Status s = kn::coe_to_rv(c->GM, c->ecc, c->inc, c->raa, c->arp, c->tra, c->slr, r, v);
        s != kn::Status::Ok) {
        bd::raise_status(s, "COE.to_sv");
        return nullptr;
    }
    const double GM = c->GM;
    core::Ref time = core::Ref::borrow(c->base.time);  // held: the allocation may run Python code
    core::Ref frame = core::Ref::borrow(c->base.frame);
    PyObject* out = new_state(st::StateVector_Type, time.get(), frame.get());
    if (!out) return nullptr;
    StateVectorObject* sv = as_sv(out);
    for (int i = 0; i < 3; ++i) sv->r[i] = r[i], sv->v[i] = v[i];
    sv->GM = GM;
    return out;
}

PyObject* COE_repr(PyObject* self) {
    COEObject* c = as_coe(self);
    core::Ref time = core::Ref::borrow(c->base.time);
    core::Ref frame = core::Ref::borrow(c->base.frame);
    const double vals[8] = {c->ecc, c->sma, c->inc, c->raa, c->arp, c->tra, c->slr, c->GM};
    core::Ref f[8];
    for (int i = 0; i < 8; ++i) {
        f[i] = core::Ref::steal(PyFloat_FromDouble(vals[i]));
        if (!f[i]) return nullptr;
    }
    return PyUnicode_FromFormat("%s(time=%R, ecc=%R, sma=%R, inc=%R, raa=%R, arp=%R, tra=%R, slr=%R, frame=%R, GM=%R)",
                                bd::short_name(Py_TYPE(self)), time.get(), f[0].get(), f[1].get(), f[2].get(),
                                f[3].get(), f[4].get(), f[5].get(), f[6].get(), frame.get(), f[7].get());
}

PyGetSetDef COE_getset[] = {
    {"GM", core::entry<COE_get_GM>, nullptr, "Gravitational parameter [m^3/s^2].", nullptr},
    {"ecc", core::entry<COE_get_ecc>, nullptr, "Eccentricity.", nullptr},
    {"sma", core::entry<COE_get_sma>, nullptr, "Semi-major axis [m] (negative for hyperbolic orbits).", nullptr},
    {"inc", core::entry<COE_get_inc>, nullptr, "Inclination [rad].", nullptr},
    {"raa", core::entry<COE_get_raa>, nullptr, "Right ascension of the ascending node [rad].", nullptr},
    {"arp", core::entry<COE_get_arp>, nullptr, "Argument of periapsis [rad].", nullptr},
    {"tra", core::entry<COE_get_tra>, nullptr, "True anomaly [rad].", nullptr},
    {"slr", core::entry<COE_get_slr>, nullptr, "Semi-latus rectum [m]: sma * (1 - ecc**2).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef COE_methods[] = {
    {"to_coe", core::entry<COE_to_coe>, METH_NOARGS, "to_coe()\n--\n\nThis state itself."},
    {"to_sv", core::entry<COE_to_sv>, METH_NOARGS,
     "to_sv()\n--\n\nPosition and velocity of these elements (a StateVector of the same epoch, frame and GM).\n\n"
     "Raises ValueError when the elements describe no point of a conic (slr <= 0, or a\n"
     "hyperbolic true anomaly beyond the asymptotes)."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot COE_slots[] = {
    {Py_tp_doc, (void*)"COE(time, *, ecc, sma, inc, raa, arp, tra, frame='GCRF', GM=None)\n--\n\n"
                       "Classical orbital elements at one epoch: eccentricity, semi-major axis [m],\n"
                       "inclination, right ascension of the ascending node, argument of periapsis\n"
                       "and true anomaly [rad]; slr = sma * (1 - ecc**2). Any finite elements are\n"
                       "accepted, parabolic and hyperbolic ones included. GM defaults to Earth.GM."},
    {Py_tp_init, (void*)core::entry<COE_init>},
    VELARION_GC_SLOTS(State_traverse, State_clear),
    {Py_tp_repr, (void*)core::entry<COE_repr>},
    {Py_tp_getset, COE_getset},
    {Py_tp_methods, COE_methods},
    {0, nullptr}};

PyType_Spec COE_spec = {"velarion.state.state.COE", sizeof(COEObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, COE_slots};

// ---------------------------------------------------------------------------
// GeoState

PyObject* GeoState_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* self = State_new(type, args, kwargs);
    if (!self) return nullptr;
    as_geo(self)->ell = Py_NewRef(Py_None);
    return self;
}

int GeoState_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (int r = State_traverse_members(as_state(self), visit, arg)) return r;
    Py_VISIT(as_geo(self)->ell);
    return 0;
}

int GeoState_clear(PyObject* self) {
    Py_CLEAR(as_geo(self)->ell);
    return State_clear(self);
}

constexpr const char* kGeoNames[] = {"time", "lat", "lon", "alt", "ell"};
constexpr core::Signature kGeoSig{"GeoState", kGeoNames, 4};

int GeoState_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<5> a;
    if (!core::parse_args(kGeoSig, args, kwargs, a)) return -1;
    double lat, lon, alt;
    if (!bd::float_arg(a[1], "lat", lat) || !bd::float_arg(a[2], "lon", lon) || !bd::float_arg(a[3], "alt", alt)) {
        return -1;
    }
    if (std::fabs(lat) > 0.5 * std::numbers::pi) {
        PyErr_Format(PyExc_ValueError, "lat must be in [-pi/2, pi/2] rad (got %R)", a[1]);
        return -1;
    }
    core::Ref e = core::Ref::borrow(a[4] && a[4] != Py_None ? a[4] : g_default_ell);
    if (!core::check_arg_type(e.get(), ell::Ellipsoid_Type, "ell", false)) return -1;
    core::Ref itrf = core::Ref::steal(PyUnicode_FromString("ITRF"));
    if (!itrf) return -1;
    BaseMembers base;
    if (!base.prepare(a[0], itrf.get())) return -1;
    GeoStateObject* g = as_geo(self);
    base.commit(&g->base);
    g->lat = lat, g->lon = lon, g->alt = alt;
    bd::swap_in(g->ell, e);
    return 0;
}

PyObject* GeoState_get_lat(PyObject* self, void*) { return PyFloat_FromDouble(as_geo(self)->lat); }
PyObject* GeoState_get_lon(PyObject* self, void*) { return PyFloat_FromDouble(as_geo(self)->lon); }
PyObject* GeoState_get_alt(PyObject* self, void*) { return PyFloat_FromDouble(as_geo(self)->alt); }
PyObject* GeoState_get_ell(PyObject* self, void*) { return Py_NewRef(as_geo(self)->ell); }

PyObject* GeoState_to_sv(PyObject* self, PyObject*) {
    GeoStateObject* g = as_geo(self);
    if (!ell::Ellipsoid_Check(g->ell)) {
        PyErr_SetString(PyExc_ValueError, "GeoState.to_sv: the state has no ellipsoid (not initialised)");
        return nullptr;
    }
    core::Ref ellipsoid = core::Ref::borrow(g->ell);
    core::Ref time = core::Ref::borrow(g->base.time);
    core::Ref frame = core::Ref::borrow(g->base.frame);
    auto* e = reinterpret_cast<ell::EllipsoidObject*>(ellipsoid.get());
    double r[3];
    if (e->vtab->c_geodetic_to_cartesian(e, r, g->lat, g->lon, g->alt) < 0) return nullptr;
    PyObject* out = new_state(st::StateVector_Type, time.get(), frame.get());
    if (!out) return nullptr;
    StateVectorObject* sv = as_sv(out);
    for (int i = 0; i < 3; ++i) sv->r[i] = r[i], sv->v[i] = 0.0;
    sv->GM = g_default_GM;
    return out;
}

PyObject* GeoState_repr(PyObject* self) {
    GeoStateObject* g = as_geo(self);
    core::Ref time = core::Ref::borrow(g->base.time);
    core::Ref ellipsoid = core::Ref::borrow(g->ell);
    core::Ref lat = core::Ref::steal(PyFloat_FromDouble(g->lat));
    core::Ref lon = lat ? core::Ref::steal(PyFloat_FromDouble(g->lon)) : core::Ref();
    core::Ref alt = lon ? core::Ref::steal(PyFloat_FromDouble(g->alt)) : core::Ref();
    if (!alt) return nullptr;
    return PyUnicode_FromFormat("%s(time=%R, lat=%R, lon=%R, alt=%R, ell=%R)", bd::short_name(Py_TYPE(self)),
                                time.get(), lat.get(), lon.get(), alt.get(), ellipsoid.get());
}

PyGetSetDef GeoState_getset[] = {
    {"lat", core::entry<GeoState_get_lat>, nullptr, "Geodetic latitude [rad].", nullptr},
    {"lon", core::entry<GeoState_get_lon>, nullptr, "Longitude [rad].", nullptr},
    {"alt", core::entry<GeoState_get_alt>, nullptr, "Height above the ellipsoid [m].", nullptr},
    {"ell", core::entry<GeoState_get_ell>, nullptr, "The ellipsoid of the geodetic coordinates.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef GeoState_methods[] = {
    {"to_sv", core::entry<GeoState_to_sv>, METH_NOARGS,
     "to_sv()\n--\n\nThe ITRF position of the point with zero velocity (a StateVector under Earth's GM)."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot GeoState_slots[] = {
    {Py_tp_doc, (void*)"GeoState(time, lat, lon, alt, ell=None)\n--\n\n"
                       "A point fixed to the Earth at one epoch: geodetic latitude and longitude\n"
                       "[rad] and height [m] on the ellipsoid `ell` (None: WGS84); its frame is ITRF."},
    {Py_tp_new, (void*)core::entry<GeoState_new>},
    {Py_tp_init, (void*)core::entry<GeoState_init>},
    VELARION_GC_SLOTS(GeoState_traverse, GeoState_clear),
    {Py_tp_repr, (void*)core::entry<GeoState_repr>},
    {Py_tp_getset, GeoState_getset},
    {Py_tp_methods, GeoState_methods},
    {0, nullptr}};

PyType_Spec GeoState_spec = {"velarion.state.state.GeoState", sizeof(GeoStateObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, GeoState_slots};

// ---------------------------------------------------------------------------
// Module

PyObject* state_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int state_exec(PyObject* module) {
    if (int r = g_once.enter(module, "state"); r <= 0) return r;
    PyTypeObject* base = nullptr;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(bd::g_names.init());
    VELARION_CHECK(velarion::time::import_time());
    VELARION_CHECK(ell::import_ellipsoid());
    g_default_ell = Py_NewRef(*ell::WGS84);
    VELARION_CHECK(bd::read_earth_gm(g_default_GM));
    VELARION_CHECK(base = core::add_type(module, &State_spec));
    st::State_Type = base;
    VELARION_CHECK(st::StateVector_Type = core::add_type(module, &StateVector_spec, reinterpret_cast<PyObject*>(base)));
    VELARION_CHECK(st::COE_Type = core::add_type(module, &COE_spec, reinterpret_cast<PyObject*>(base)));
    VELARION_CHECK(st::GeoState_Type = core::add_type(module, &GeoState_spec, reinterpret_cast<PyObject*>(base)));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot state_slots[] = {
    {Py_mod_create, (void*)core::entry<state_create>}, {Py_mod_exec, (void*)core::entry<state_exec>}, {0, nullptr}};

PyModuleDef state_def = {PyModuleDef_HEAD_INIT,
                         "velarion.state.state",
                         "Single-epoch orbital states: position-velocity, classical elements, geodetic points.",
                         0,
                         nullptr,
                         state_slots,
                         nullptr,
                         nullptr,
                         nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_state() { return PyModuleDef_Init(&state_def); }
