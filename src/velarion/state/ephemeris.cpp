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
#include "velarion/state/parts/arrays.hpp"
#include "velarion/state/binding.hpp"
#include "velarion/state/kernels/elements.hpp"
#include "velarion/state/ephemeris.hpp"
#include "velarion/state/state.hpp"
#include "velarion/time/time.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>
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

// The exception texts and documentation strings of this file are word for
// word: callers and tests compare them.

// The parts of this translation unit, in order.
#include "velarion/state/parts/base.hpp"

namespace {

core::ModuleOnce g_once;
double g_default_GM = 0.0;          // Earth.GM, read at start-up
PyObject* g_default_ell = nullptr;  // WGS84 at start-up (owned)

// ---------------------------------------------------------------------------
// StateVectorEphemeris

constexpr st::ArrayMember<StateVectorEphemerisObject> kSVEArrays[] = {
    {&StateVectorEphemerisObject::r, &StateVectorEphemerisObject::r_data},
    {&StateVectorEphemerisObject::v, &StateVectorEphemerisObject::v_data}};
constexpr auto SVE_get_array = st::get_array<StateVectorEphemerisObject, kSVEArrays, 3>;

int SVE_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (int r = Ephemeris_traverse_members(as_eph(self), visit, arg)) return r;
    return st::visit_arrays(as_sve(self), kSVEArrays, visit, arg);
}

int SVE_clear(PyObject* self) {
    st::clear_arrays(as_sve(self), kSVEArrays);
    return Ephemeris_clear(self);
}

// Installs (N, 3) blocks r, v together with the base members; the replaced
// objects come back in the arguments.
void SVE_commit(StateVectorEphemerisObject* e, BaseMembers& base, Ref (&rv)[2]) noexcept {
    base.commit(&e->base);
    st::install_arrays(e, kSVEArrays, rv);
}

constexpr const char* kSVENames[] = {"time", "r", "v", "frame"};
constexpr core::Signature kSVESig{"StateVectorEphemeris", kSVENames, 3};

int SVE_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<4> a;
    if (!core::parse_args(kSVESig, args, kwargs, a)) return -1;
    Py_ssize_t n = -1;
    Ref rv[2];
    if (!(rv[0] = st::copy_rows3(a[1], "r", n)) || !(rv[1] = st::copy_rows3(a[2], "v", n))) return -1;
    Ref frame = bd::frame_or_default(a[3], "GCRF");
    if (!frame) return -1;
    BaseMembers base;
    if (!base.prepare(a[0], frame.get(), n)) return -1;
    SVE_commit(as_sve(self), base, rv);
    return 0;
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
    Ref r = Ref::steal(st::expose(e->r, e->r_data, e->base.size, 3));
    if (!r) return nullptr;
    Ref v = Ref::steal(st::expose(e->v, e->v_data, e->base.size, 3));
    if (!v) return nullptr;
    return PyUnicode_FromFormat("%s(time=%R, r=%R, v=%R, frame=%R)", bd::short_name(Py_TYPE(self)), time.get(), r.get(),
                                v.get(), frame.get());
}

PyGetSetDef SVE_getset[] = {{"r", core::entry<SVE_get_array>, nullptr,
                             "Positions [m]: a view of the (N, 3) float64 array, row i at epoch i.", (void*)0},
                            {"v", core::entry<SVE_get_array>, nullptr,
                             "Velocities [m/s]: a view of the (N, 3) float64 array, row i at epoch i.", (void*)1},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot SVE_slots[] = {
    {Py_tp_doc, (void*)"StateVectorEphemeris(time, r, v, frame='GCRF')\n--\n\n"
                       "Positions r [m] and velocities v [m/s] at the N epochs of `time`: (N, 3)\n"
                       "float64 arrays, copied; len() is N and eph[i] is the StateVector of epoch i."},
    {Py_tp_init, (void*)core::entry<SVE_init>},
    VELARION_GC_SLOTS(SVE_traverse, SVE_clear),
    {Py_tp_repr, (void*)core::entry<SVE_repr>},
    {Py_mp_subscript, (void*)core::entry<SVE_subscript>},
    {Py_tp_getset, SVE_getset},
    {0, nullptr}};

PyType_Spec SVE_spec = {"velarion.state.ephemeris.StateVectorEphemeris", sizeof(StateVectorEphemerisObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, SVE_slots};

// A new StateVectorEphemeris over (n, 3) blocks r, v made by new_block (no
// copy, no checks). The caller holds `time` and `frame`.
PyObject* new_sve(PyObject* time, PyObject* frame, Py_ssize_t n, Ref (&rv)[2]) {
    Ref obj = Ref::steal(Ephemeris_new(st::StateVectorEphemeris_Type, nullptr, nullptr));
    if (!obj) return nullptr;
    BaseMembers base;
    base.time = Ref::borrow(time);
    base.frame = Ref::borrow(frame);
    base.size = n;
    SVE_commit(as_sve(obj.get()), base, rv);
    return obj.release();
}

// ---------------------------------------------------------------------------
// COEEphemeris

constexpr int kNumElements = 7;
constexpr st::ArrayMember<COEEphemerisObject> kCOEEArrays[kNumElements] = {
    {&COEEphemerisObject::ecc, &COEEphemerisObject::ecc_data},
    {&COEEphemerisObject::sma, &COEEphemerisObject::sma_data},
    {&COEEphemerisObject::inc, &COEEphemerisObject::inc_data},
    {&COEEphemerisObject::raa, &COEEphemerisObject::raa_data},
    {&COEEphemerisObject::arp, &COEEphemerisObject::arp_data},
    {&COEEphemerisObject::tra, &COEEphemerisObject::tra_data},
    {&COEEphemerisObject::slr, &COEEphemerisObject::slr_data}};
constexpr auto COEE_get_array = st::get_array<COEEphemerisObject, kCOEEArrays, 0>;

int COEE_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (int r = Ephemeris_traverse_members(as_eph(self), visit, arg)) return r;
    return st::visit_arrays(as_coee(self), kCOEEArrays, visit, arg);
}

int COEE_clear(PyObject* self) {
    st::clear_arrays(as_coee(self), kCOEEArrays);
    return Ephemeris_clear(self);
}

// Only the epochs are positional; the elements follow frame and GM, in the
// order of kCOEEArrays, and all but slr are required keywords.
constexpr const char* kCOEENames[] = {"time", "frame", "GM", "ecc", "sma", "inc", "raa", "arp", "tra", "slr"};
constexpr int kFirstElement = 3;
constexpr int kSlr = 6;  // index in kCOEEArrays
constexpr core::Signature kCOEESig{.function = "COEEphemeris",
                                   .names = kCOEENames,
                                   .required = 1,
                                   .positional = 1,
                                   .required_keywords = std::span(kCOEENames + kFirstElement, kSlr)};

int COEE_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<10> a;
    if (!core::parse_args(kCOEESig, args, kwargs, a)) return -1;
    Ref frame = bd::frame_or_default(a[1], "GCRF");  // held: the conversions below may run Python code
    if (!frame) return -1;
    double GM = g_default_GM;
    if (a[2] && a[2] != Py_None && !bd::float_arg(a[2], "GM", GM)) return -1;
    Py_ssize_t n = -1;
    Ref arrays[kNumElements];
    for (int k = 0; k < kNumElements; ++k) {
        PyObject* given = a[kFirstElement + k];
        if (k == kSlr && (!given || given == Py_None)) continue;  // computed below
        if (!(arrays[k] = st::copy_1d(given, kCOEENames[kFirstElement + k], n))) return -1;
    }
    if (!arrays[kSlr]) {
        // slr = sma * (1 - ecc^2), as for a single COE.
        if (!(arrays[kSlr] = st::new_block(n, 0))) return -1;
        const double* ecc = core::data_of(arrays[0].get());
        const double* sma = core::data_of(arrays[1].get());
        double* slr = core::data_of(arrays[kSlr].get());
        for (Py_ssize_t i = 0; i < n; ++i) slr[i] = sma[i] * (1.0 - ecc[i] * ecc[i]);
    }
    BaseMembers base;
    if (!base.prepare(a[0], frame.get(), n)) return -1;
    COEEphemerisObject* e = as_coee(self);
    base.commit(&e->base);
    e->GM = GM;
    st::install_arrays(e, kCOEEArrays, arrays);
    return 0;
}

PyObject* COEE_get_GM(PyObject* self, void*) { return PyFloat_FromDouble(as_coee(self)->GM); }

// Elements -> positions and velocities in one pass (kn::coe_rows_to_rv).
PyObject* COEE_to_sv(PyObject* self, PyObject*) {
    // Everything read at once, the arrays held (the allocations below may run
    // Python code, which may re-initialise the ephemeris).
    COEEphemerisObject* e = as_coee(self);
    Py_ssize_t n;
    Ref held[kNumElements];
    const double* x[kNumElements];
    if (!st::read_arrays(e, kCOEEArrays, held, x, n)) return not_initialised("COEEphemeris.to_sv");
    const double GM = e->GM;
    Ref time = Ref::borrow(e->base.time);
    Ref frame = Ref::borrow(e->base.frame);

    if (!(GM >= 0.0) || !std::isfinite(GM)) {
        Ref value = Ref::steal(PyFloat_FromDouble(GM));
        if (value)
            PyErr_Format(PyExc_ValueError, "COEEphemeris.to_sv: GM must be finite and not negative (got %R)",
                         value.get());
        return nullptr;
    }
    Ref rv[2];
    if (!(rv[0] = st::new_block(n, 3)) || !(rv[1] = st::new_block(n, 3))) return nullptr;
    const kn::ElementColumns columns{x[0], x[2], x[3], x[4], x[5], x[6]};
    const kn::RowsResult done =
        kn::coe_rows_to_rv(GM, columns, n, core::data_of(rv[0].get()), core::data_of(rv[1].get()));
    if (done.status != kn::Status::Ok) {
        char where[64];
        std::snprintf(where, sizeof where, "COEEphemeris.to_sv (epoch %zd)", static_cast<Py_ssize_t>(done.row));
        bd::raise_status(done.status, where);
        return nullptr;
    }
    return new_sve(time.get(), frame.get(), n, rv);
}

// COEEphemeris's construction and to_sv as this module made them, read at
// start-up; c_states_from_rows stands for them only while the class still
// has them.
PyObject* g_coee_to_sv = nullptr;  // the method descriptor (owned)
void* g_coee_new = nullptr;
void* g_coee_init = nullptr;

bool coee_as_built() {
    PyTypeObject* type = st::COEEphemeris_Type;
    if (PyType_GetSlot(type, Py_tp_new) != g_coee_new || PyType_GetSlot(type, Py_tp_init) != g_coee_init) return false;
    PyObject* to_sv = PyDict_GetItemWithError(type->tp_dict, bd::g_names[bd::kToSv]);
    if (!to_sv) PyErr_Clear();  // only a hostile key could raise: take the long way
    return to_sv == g_coee_to_sv;
}

// The C-level shortcut (see ephemeris.hpp): COEE_init's checks of the epochs
// and the frame, then what COEE_to_sv does with the rows fill wrote.
PyObject* c_states_from_rows(PyObject* time, PyObject* frame, Py_ssize_t n, st::StateRowsFill fill, void* context) {
    if (!coee_as_built()) Py_RETURN_NONE;
    Ref rv[2];
    if (!(rv[0] = st::new_block(n, 3)) || !(rv[1] = st::new_block(n, 3))) return nullptr;
    if (fill(context, core::data_of(rv[0].get()), core::data_of(rv[1].get())) != 0) Py_RETURN_NONE;
    BaseMembers base;
    if (!base.prepare(time, frame, n)) return nullptr;
    return new_sve(base.time.get(), base.frame.get(), n, rv);
}

// Epoch i as a COE (with this ephemeris's GM).
PyObject* COEE_subscript(PyObject* self, PyObject* key) {
    Py_ssize_t i;
    if (!index_value(key, i)) return nullptr;
    COEEphemerisObject* e = as_coee(self);
    if (!normalise_index(i, e->base.size)) return nullptr;
    double x[kNumElements];
    for (int k = 0; k < kNumElements; ++k) {
        const double* data = e->*kCOEEArrays[k].data;
        if (!data) return not_initialised("COEEphemeris");
        x[k] = data[i];
    }
    const double GM = e->GM;
    Ref time = Ref::borrow(e->base.time);
    Ref frame = Ref::borrow(e->base.frame);

    Ref t = Ref::steal(time_at(time.get(), i));
    if (!t) return nullptr;
    Ref call_args = Ref::steal(PyTuple_Pack(1, t.get()));
    Ref call_kwargs = Ref::steal(Py_BuildValue("{sdsdsdsdsdsdsOsd}", "ecc", x[0], "sma", x[1], "inc", x[2], "raa", x[3],
                                               "arp", x[4], "tra", x[5], "frame", frame.get(), "GM", GM));
    if (!call_args || !call_kwargs) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(st::COE_Type), call_args.get(), call_kwargs.get());
}

PyGetSetDef COEE_getset[] = {
    {"GM", core::entry<COEE_get_GM>, nullptr, "Gravitational parameter [m^3/s^2].", nullptr},
    {"ecc", core::entry<COEE_get_array>, nullptr, "Eccentricities: a view of the (N,) float64 array.", (void*)0},
    {"sma", core::entry<COEE_get_array>, nullptr, "Semi-major axes [m]: a view of the (N,) float64 array.", (void*)1},
    {"inc", core::entry<COEE_get_array>, nullptr, "Inclinations [rad]: a view of the (N,) float64 array.", (void*)2},
    {"raa", core::entry<COEE_get_array>, nullptr, "Right ascensions of the node [rad]: a view of the (N,) array.",
     (void*)3},
    {"arp", core::entry<COEE_get_array>, nullptr, "Arguments of periapsis [rad]: a view of the (N,) array.", (void*)4},
    {"tra", core::entry<COEE_get_array>, nullptr, "True anomalies [rad]: a view of the (N,) float64 array.", (void*)5},
    {"slr", core::entry<COEE_get_array>, nullptr, "Semi-latus recta [m]: a view of the (N,) float64 array.", (void*)6},
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
    VELARION_GC_SLOTS(COEE_traverse, COEE_clear),
    {Py_mp_subscript, (void*)core::entry<COEE_subscript>},
    {Py_tp_getset, COEE_getset},
    {Py_tp_methods, COEE_methods},
    {0, nullptr}};

PyType_Spec COEE_spec = {"velarion.state.ephemeris.COEEphemeris", sizeof(COEEphemerisObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, COEE_slots};

// ---------------------------------------------------------------------------
// GeoStateEphemeris

constexpr st::ArrayMember<GeoStateEphemerisObject> kGeoEArrays[] = {
    {&GeoStateEphemerisObject::lat, &GeoStateEphemerisObject::lat_data},
    {&GeoStateEphemerisObject::lon, &GeoStateEphemerisObject::lon_data},
    {&GeoStateEphemerisObject::alt, &GeoStateEphemerisObject::alt_data}};
constexpr auto GeoE_get_array = st::get_array<GeoStateEphemerisObject, kGeoEArrays, 0>;

int GeoE_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (int r = Ephemeris_traverse_members(as_eph(self), visit, arg)) return r;
    if (int r = st::visit_arrays(as_geoe(self), kGeoEArrays, visit, arg)) return r;
    Py_VISIT(as_geoe(self)->ell);
    return 0;
}

int GeoE_clear(PyObject* self) {
    st::clear_arrays(as_geoe(self), kGeoEArrays);
    Py_CLEAR(as_geoe(self)->ell);
    return Ephemeris_clear(self);
}

constexpr const char* kGeoENames[] = {"time", "lat", "lon", "alt", "ell"};
constexpr core::Signature kGeoESig{"GeoStateEphemeris", kGeoENames, 4};

int GeoE_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<5> a;
    if (!core::parse_args(kGeoESig, args, kwargs, a)) return -1;
    Ref ell_arg = Ref::borrow(a[4] && a[4] != Py_None ? a[4] : g_default_ell);
    Py_ssize_t n = -1;
    Ref arrays[3];
    for (int k = 0; k < 3; ++k) {
        if (!(arrays[k] = st::copy_1d(a[1 + k], kGeoENames[1 + k], n))) return -1;
    }
    const double* la = core::data_of(arrays[0].get());
    const double* lo = core::data_of(arrays[1].get());
    const double* al = core::data_of(arrays[2].get());
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
    base.commit(&g->base);
    st::install_arrays(g, kGeoEArrays, arrays);
    swap_in(g->ell, ell_arg);
    return 0;
}
PyObject* GeoE_get_ell(PyObject* self, void*) {
    PyObject* e = as_geoe(self)->ell;
    return Py_NewRef(e ? e : Py_None);
}

// ITRF positions of the points, zero velocities.
PyObject* GeoE_to_sv(PyObject* self, PyObject*) {
    GeoStateEphemerisObject* g = as_geoe(self);
    Py_ssize_t n;
    Ref held[3];
    const double* x[3];
    if (!g->ell || !ell::Ellipsoid_Check(g->ell) || !st::read_arrays(g, kGeoEArrays, held, x, n)) {
        return not_initialised("GeoStateEphemeris.to_sv");
    }
    const double *lat = x[0], *lon = x[1], *alt = x[2];
    Ref ellipsoid = Ref::borrow(g->ell);
    Ref time = Ref::borrow(g->base.time);
    Ref frame = Ref::borrow(g->base.frame);

    Ref rv[2];
    if (!(rv[0] = st::new_block(n, 3)) || !(rv[1] = st::new_block(n, 3))) return nullptr;
    double* rp = core::data_of(rv[0].get());
    std::memset(core::data_of(rv[1].get()), 0, static_cast<size_t>(n) * 3 * sizeof(double));
    auto* e = reinterpret_cast<ell::EllipsoidObject*>(ellipsoid.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (e->vtab->c_geodetic_to_cartesian(e, rp + 3 * i, lat[i], lon[i], alt[i]) < 0) return nullptr;
    }
    return new_sve(time.get(), frame.get(), n, rv);
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
    {"lat", core::entry<GeoE_get_array>, nullptr, "Geodetic latitudes [rad]: a view of the (N,) float64 array.",
     (void*)0},
    {"lon", core::entry<GeoE_get_array>, nullptr, "Longitudes [rad]: a view of the (N,) float64 array.", (void*)1},
    {"alt", core::entry<GeoE_get_array>, nullptr, "Heights above the ellipsoid [m]: a view of the (N,) float64 array.",
     (void*)2},
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
    VELARION_GC_SLOTS(GeoE_traverse, GeoE_clear),
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
    VELARION_CHECK(bd::g_names.init());
    VELARION_CHECK(velarion::time::import_time());
    VELARION_CHECK(ell::import_ellipsoid());
    VELARION_CHECK(st::import_state());
    g_default_ell = Py_NewRef(*ell::WGS84);
    VELARION_CHECK(bd::read_earth_gm(g_default_GM));
    VELARION_CHECK(base = core::add_type(module, &Ephemeris_spec));
    st::Ephemeris_Type = base;
    {
        PyObject* bases = reinterpret_cast<PyObject*>(base);
        VELARION_CHECK(st::StateVectorEphemeris_Type = core::add_type(module, &SVE_spec, bases));
        VELARION_CHECK(st::COEEphemeris_Type = core::add_type(module, &COEE_spec, bases));
        VELARION_CHECK(st::GeoStateEphemeris_Type = core::add_type(module, &GeoE_spec, bases));
    }
    g_coee_new = PyType_GetSlot(st::COEEphemeris_Type, Py_tp_new);
    g_coee_init = PyType_GetSlot(st::COEEphemeris_Type, Py_tp_init);
    VELARION_CHECK(g_coee_to_sv = PyDict_GetItemWithError(st::COEEphemeris_Type->tp_dict, bd::g_names[bd::kToSv]));
    Py_INCREF(g_coee_to_sv);
    VELARION_CHECK(core::capi_publish(module, "c_states_from_rows",
                                      reinterpret_cast<void*>(core::entry<c_states_from_rows>),
                                      st::kStatesFromRowsType));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot ephemeris_slots[] = {{Py_mod_create, (void*)core::entry<ephemeris_create>},
                                      {Py_mod_exec, (void*)core::entry<ephemeris_exec>},
                                      {0, nullptr}};

PyModuleDef ephemeris_def = {PyModuleDef_HEAD_INIT,
                             "velarion.state.ephemeris",
                             "Ephemerides: states at many epochs, held as float64 arrays.",
                             0,
                             nullptr,
                             ephemeris_slots,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_ephemeris() { return PyModuleDef_Init(&ephemeris_def); }
