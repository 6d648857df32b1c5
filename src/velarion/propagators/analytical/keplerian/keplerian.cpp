// velarion.propagators.analytical.keplerian.keplerian: the two-body
// propagator. Keplerian extends Propagator (bound from another module) with
// the gravitational parameter; its method table appends propagate_tra,
// c_propagate_state and c_jacobian to the three Propagator slots.
#include "velarion/_core/core.hpp"
#include "velarion/_core/method.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/bodies/bodies.hpp"
#include "velarion/propagators/analytical/keplerian/kernels/twobody.hpp"
#include "velarion/propagators/analytical/keplerian/keplerian.hpp"
#include "velarion/propagators/propagators.hpp"
#include "velarion/state/coe.hpp"
#include "velarion/state/ephemeris.hpp"
#include "velarion/state/state.hpp"
#include "velarion/time/time.hpp"

#include <cmath>

namespace core = velarion::core;
namespace kep = velarion::propagators::analytical::keplerian;
namespace st = velarion::state;
namespace prop = velarion::propagators;
namespace lanes = velarion::mathtools::misc::kernels::lanes;

using core::Ref;
using kep::KeplerianObject;

namespace {

core::ModuleOnce g_once;
kep::KeplerianVTable g_vtable;
double g_default_GM = 0.0;

// Names looked up on every call, and the constant arguments of the calls
// made on every propagation, made once at start-up.
core::InternedNames g_names{"to_coe", "to_sv", "reshape"};
enum Name { kToCoe, kToSv, kReshape };
PyObject* g_minus_one = nullptr;
PyObject* g_coe_kwnames = nullptr;  // ("frame", "GM", "ecc", "sma", "inc", "raa", "arp", "tra", "slr")

// Epoch counts below this run the anomaly loop without giving up the
// interpreter lock: releasing and retaking it costs more than the loop.
constexpr core::index_t kReleaseLockAbove = 2048;

KeplerianObject* as_kep(PyObject* o) noexcept { return reinterpret_cast<KeplerianObject*>(o); }

// Exception texts in this file are word for word: callers and tests compare
// them.

// --- C-level methods ---------------------------------------------------------

// Slot 1: the gravity gradient. `t` and `v` are not read.
int Keplerian_c_jac_r(prop::PropagatorObject* self, double, const double* r, const double*, double* out9) {
    kep::kernels::jac_r_kernel(reinterpret_cast<KeplerianObject*>(self)->GM, r, out9);
    return 0;
}

int Keplerian_c_jacobian(KeplerianObject* self, const double* r, double* out36) {
    kep::kernels::jacobian_kernel(self->GM, r, out36);
    return 0;
}

// The message of a mean anomaly that is not a finite number (at epoch `i`).
void raise_non_finite_mean_anomaly(core::index_t i, double dt_i, double mea0, double mnm) {
    // A NaN state never comes back: the caller asked for a motion that has no anomaly.
    Ref dt_value = Ref::steal(PyFloat_FromDouble(dt_i));
    Ref mnm_value = dt_value ? Ref::steal(PyFloat_FromDouble(mnm)) : Ref();
    Ref mea0_value = mnm_value ? Ref::steal(PyFloat_FromDouble(mea0)) : Ref();
    if (mea0_value) {
        PyErr_Format(PyExc_ValueError,
                     "the mean anomaly at epoch %zd is not a finite number (initial mean anomaly %R rad, mean "
                     "motion %R rad/s, %R s from the initial epoch)",
                     static_cast<Py_ssize_t>(i), mea0_value.get(), mnm_value.get(), dt_value.get());
    }
}

PyObject* Keplerian_propagate_tra(KeplerianObject*, PyObject* dt, double tra0, double ecc, double mnm) {
    core::View1D view;
    if (!view.acquire(dt, /*writable=*/false)) return nullptr;
    npy_intp n = view.shape(0);
    Ref tra = core::zeros(1, &n);
    if (!tra) return nullptr;
    const double mea0 = st::c_mea_from_tra(tra0, ecc);
    if (mea0 == -1.0 && PyErr_Occurred()) return nullptr;

    const core::Strided1D<double> s = view.span1();
    const core::Strided1D<const double> d{s.base, s.size, s.stride};
    double* out = core::data_of(tra.get());
    core::ReleaseGil nogil(n > kReleaseLockAbove);
    const kep::kernels::Advance done = lanes::run<kep::kernels::AdvanceTrueAnomaly>(d, out, mea0, mnm, ecc);
    nogil.restore();
    if (done.non_finite) return raise_non_finite_mean_anomaly(done.done, d[done.done], mea0, mnm), nullptr;
    return tra.release();
}

// What a propagation reads of its initial state (before anything can run
// Python code, which could re-initialise that COE), and its epochs.
struct Start {
    double ecc, sma, inc, raa, arp, tra0, slr, GM, mnm;
    Ref frame;
    Ref dt;  // seconds from the initial epoch, one dimension
    npy_intp n;
};

// Reads `coe0` (a COE) into `s`, checks the mean motion and takes the
// elapsed seconds (time - coe0.time).reshape(-1); false with an exception set.
bool start_propagation(KeplerianObject* self, PyObject* time, PyObject* coe0_obj, Start& s) {
    const auto* coe0 = reinterpret_cast<st::COEObject*>(coe0_obj);
    s.ecc = coe0->ecc, s.sma = coe0->sma, s.inc = coe0->inc, s.raa = coe0->raa, s.arp = coe0->arp;
    s.tra0 = coe0->tra, s.slr = coe0->slr;
    Ref epoch0 = Ref::borrow(coe0->base.time ? coe0->base.time : Py_None);
    s.frame = Ref::borrow(coe0->base.frame ? coe0->base.frame : Py_None);
    s.GM = self->GM;
    s.mnm = st::c_mnm_from_sma(s.sma, s.GM);
    if (!std::isfinite(s.mnm)) {
        Ref sma_value = Ref::steal(PyFloat_FromDouble(s.sma));
        Ref gm_value = sma_value ? Ref::steal(PyFloat_FromDouble(s.GM)) : Ref();
        if (gm_value) {
            PyErr_Format(PyExc_ValueError,
                         "the orbit has no mean motion: sqrt(GM / sma) / sma is not a finite number (sma=%R m, "
                         "GM=%R m^3/s^2)",
                         sma_value.get(), gm_value.get());
        }
        return false;
    }
    Ref diff = Ref::steal(PyNumber_Subtract(time, epoch0.get()));
    if (!diff) return false;
    PyObject* reshape_args[2] = {diff.get(), g_minus_one};
    s.dt = Ref::steal(
        PyObject_VectorcallMethod(g_names[kReshape], reshape_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!s.dt) return false;
    core::View1D view;
    if (!view.acquire(s.dt.get(), /*writable=*/false)) return false;
    s.n = view.shape(0);
    return true;
}

// The element ephemeris of a started propagation: constant columns, the
// true anomalies through the method table, COEEphemeris(...).
PyObject* element_ephemeris(KeplerianObject* self, PyObject* time, const Start& s) {
    // The five constant elements, then slr (the order of the call below).
    const double constants[6] = {s.ecc, s.sma, s.inc, s.raa, s.arp, s.slr};
    Ref columns[6];
    for (int k = 0; k < 6; ++k) {
        if (!(columns[k] = core::full(s.n, constants[k]))) return nullptr;
    }
    Ref tra = Ref::steal(kep::vtable_of(self)->propagate_tra(self, s.dt.get(), s.tra0, s.ecc, s.mnm));
    if (!tra) return nullptr;
    Ref gm = Ref::steal(PyFloat_FromDouble(s.GM));
    if (!gm) return nullptr;
    PyObject* argv[11] = {nullptr,          time,
                          s.frame.get(),    gm.get(),
                          columns[0].get(), columns[1].get(),
                          columns[2].get(), columns[3].get(),
                          columns[4].get(), tra.get(),
                          columns[5].get()};
    return PyObject_Vectorcall(reinterpret_cast<PyObject*>(st::COEEphemeris_Type), argv + 1,
                               1 | PY_VECTORCALL_ARGUMENTS_OFFSET, g_coe_kwnames);
}

PyObject* Keplerian_c_propagate_state(KeplerianObject* self, PyObject* time, PyObject* coe0_obj) {
    if (!st::COE_Check(coe0_obj)) {
        PyErr_Format(PyExc_TypeError, "c_propagate_state: coe0 must be a COE (got %.200s)", Py_TYPE(coe0_obj)->tp_name);
        return nullptr;
    }
    Start s;
    if (!start_propagation(self, time, coe0_obj, s)) return nullptr;
    return element_ephemeris(self, time, s);
}

// The short way of propagate_state: positions and velocities straight from
// the elapsed seconds (kernels::PropagateStates), which is what the element
// ephemeris and its to_sv give, bit for bit, without the element arrays.
struct StatesFill {
    core::Strided1D<const double> dt;
    kep::kernels::Orbit orbit;
};

int fill_states(void* context, double* r, double* v) {
    const StatesFill& f = *static_cast<const StatesFill*>(context);
    core::ReleaseGil nogil(f.dt.size > kReleaseLockAbove);
    const kep::kernels::Advance done = lanes::run<kep::kernels::PropagateStates>(f.dt, f.orbit, r, v);
    return done.done == f.dt.size ? 0 : 1;
}

// The states of a started propagation the short way: a new
// StateVectorEphemeris, nullptr with an exception set, or Py_None where the
// long way must run (see c_states_from_rows).
PyObject* states_directly(PyObject* time, const Start& s) {
    StatesFill f;
    f.orbit.mea0 = st::c_mea_from_tra(s.tra0, s.ecc);
    if (f.orbit.mea0 == -1.0 && PyErr_Occurred()) return nullptr;
    f.orbit.mnm = s.mnm, f.orbit.ecc = s.ecc, f.orbit.slr = s.slr;
    f.orbit.vf = std::sqrt(s.GM / s.slr);
    f.orbit.axes.set(s.inc, s.raa, s.arp);
    core::View1D view;
    if (!view.acquire(s.dt.get(), /*writable=*/false)) return nullptr;
    const core::Strided1D<double> d = view.span1();
    // The elapsed seconds read again: an object that changes its length
    // between reads (its conversion can run Python code) takes the long way.
    if (d.size != s.n) Py_RETURN_NONE;
    f.dt = {d.base, d.size, d.stride};
    return st::c_states_from_rows(time, s.frame.get(), s.n, fill_states, &f);
}

// --- Python-visible methods ----------------------------------------------------

bool check_result_type(PyObject* obj, PyTypeObject* type) {
    if (obj == Py_None || PyObject_TypeCheck(obj, type)) return true;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(obj)->tp_name, type->tp_name);
    return false;
}

PyObject* call_method0(PyObject* obj, PyObject* name) {
    PyObject* args[1] = {obj};
    return PyObject_VectorcallMethod(name, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

constexpr const char* kPropagateNames[] = {"time", "state"};
constexpr core::Signature kPropagateSig{"propagate_state", kPropagateNames, 2, /*extra_keywords=*/true};

PyObject* Keplerian_propagate_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kPropagateSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* state = a[1];
    if (!core::check_arg_type(state, st::State_Type, "state", /*none_ok=*/false)) return nullptr;
    Ref time = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(velarion::time::Time_Type), a[0]));
    if (!time) return nullptr;

    Ref coe0;
    if (st::COE_Check(state)) {
        coe0 = Ref::borrow(state);
    } else if (st::StateVector_Check(state)) {
        coe0 = Ref::steal(call_method0(state, g_names[kToCoe]));
    } else {
        Ref sv = Ref::steal(call_method0(state, g_names[kToSv]));
        if (!sv) return nullptr;
        coe0 = Ref::steal(call_method0(sv.get(), g_names[kToCoe]));
    }
    if (!coe0) return nullptr;
    if (!check_result_type(coe0.get(), st::COE_Type)) return nullptr;
    if (coe0.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "to_coe() returned None instead of a COE: there are no elements to propagate");
        return nullptr;
    }
    if (reinterpret_cast<st::COEObject*>(coe0.get())->ecc >= 1.0) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    KeplerianObject* kself = as_kep(self);
    const kep::KeplerianVTable* table = kep::vtable_of(kself);
    Ref coe;
    if (table->c_propagate_state == core::entry<Keplerian_c_propagate_state> &&
        table->propagate_tra == core::entry<Keplerian_propagate_tra>) {
        // The table's own slots: the element ephemeris need not be made
        // (the long way only where the short one declines).
        Start s;
        if (!start_propagation(kself, time.get(), coe0.get(), s)) return nullptr;
        Ref sv = Ref::steal(states_directly(time.get(), s));
        if (!sv || sv.get() != Py_None) return sv.release();
        coe = Ref::steal(element_ephemeris(kself, time.get(), s));
    } else {
        coe = Ref::steal(table->c_propagate_state(kself, time.get(), coe0.get()));
    }
    if (!coe) return nullptr;
    Ref sv = Ref::steal(call_method0(coe.get(), g_names[kToSv]));
    if (!sv) return nullptr;
    if (!check_result_type(sv.get(), st::StateVectorEphemeris_Type)) return nullptr;
    return sv.release();
}

constexpr const char* kJacobianNames[] = {"eph"};
constexpr core::Signature kJacobianSig{"jacobian", kJacobianNames, 1};

PyObject* Keplerian_jacobian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!core::parse_args(kJacobianSig, args, nargs, kwnames, a)) return nullptr;
    if (!core::check_arg_type(a[0], st::StateVectorEphemeris_Type, "eph", /*none_ok=*/false)) return nullptr;
    // The size and the rows, read together and held: the allocation below
    // may run Python code, which may re-initialise the ephemeris. The
    // ephemeris keeps its size equal to its arrays' row count.
    auto* e = reinterpret_cast<st::StateVectorEphemerisObject*>(a[0]);
    const npy_intp n = e->base.size;
    Ref r_block = Ref::borrow(e->r);
    Ref v_block = Ref::borrow(e->v);
    const double* r = e->r_data;
    const double* v = e->v_data;
    if (n < 0) {
        PyErr_Format(PyExc_ValueError, "ephemeris size is negative (%zd)", static_cast<Py_ssize_t>(n));
        return nullptr;
    }
    npy_intp shape[3] = {n, 6, 6};
    Ref jac = core::zeros(3, shape);
    if (!jac || n == 0) return jac.release();
    if (!r_block || !v_block || !r || !v) {
        PyErr_SetString(PyExc_AttributeError, "Memoryview is not initialized");
        return nullptr;
    }
    KeplerianObject* kself = as_kep(self);
    auto c_jacobian = kep::vtable_of(kself)->c_jacobian;
    double* out = core::data_of(jac.get());
    if (c_jacobian == core::entry<Keplerian_c_jacobian>) {
        const double GM = kself->GM;
        // The output is zeroed: only its twelve other entries are written.
        for (npy_intp i = 0; i < n; ++i) kep::kernels::jacobian_nonzero_kernel(GM, r + 3 * i, out + 36 * i);
    } else {
        for (npy_intp i = 0; i < n; ++i) {
            double pos[3] = {r[3 * i], r[3 * i + 1], r[3 * i + 2]};
            if (c_jacobian(kself, pos, out + 36 * i) < 0) return nullptr;
        }
    }
    return jac.release();
}

PyObject* Keplerian_get_GM(PyObject* self, void*) { return PyFloat_FromDouble(as_kep(self)->GM); }

// --- construction --------------------------------------------------------------

constexpr const char* kNewNames[] = {"GM"};
constexpr core::Signature kNewSig{"Keplerian", kNewNames, 0};

// GM is fixed here, at creation, so that nothing can change it afterwards
// (the inherited __init__ accepts and ignores the same arguments).
PyObject* Keplerian_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    core::Args<1> a;
    if (!core::parse_args(kNewSig, args, kwargs, a)) return nullptr;
    double GM = g_default_GM;
    if (a[0] && !core::to_double(a[0], GM)) return nullptr;
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref self = Ref::steal(prop::Propagator_Type->tp_new(type, empty.get(), nullptr));
    if (!self) return nullptr;
    KeplerianObject* k = as_kep(self.get());
    k->base.vtab = &g_vtable.base;
    k->GM = GM;
    return self.release();
}

// The documentation strings and annotations below are word for word:
// callers and tests compare these texts.
constexpr const char kKeplerianDoc[] =
    "Keplerian (two-body) orbit propagator.\n"
    "\n"
    "Propagates an orbital state under unperturbed two-body motion: the mean\n"
    "anomaly advances linearly with time and the other elements stay fixed.\n"
    "The result carries the frame of the initial state.\n"
    "\n"
    "High-performance Jacobian routines for use in estimation and STM computation.\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "GM : float, optional\n"
    "    Gravitational parameter used for propagation [m^3/s^2]. Defaults to Earth's GM.\n"
    "\n"
    "Notes\n"
    "-----\n"
    "This propagator ignores all perturbations (e.g., J2, drag, lunisolar).\n"
    "Not valid for parabolic or hyperbolic orbits (ecc >= 1.0).\n"
    "\n"
    "Examples\n"
    "--------\n"
    ">>> prop = Keplerian(GM=398600.4418e9)\n"
    ">>> eph = prop.propagate(times, state)\n";

PyMethodDef g_propagate_state_def = {"propagate_state", VELARION_FASTCALL(Keplerian_propagate_state),
                                     METH_FASTCALL | METH_KEYWORDS,
                                     "Propagate a single initial state to one or more epochs (public API).\n"
                                     "\n"
                                     "Parameters\n"
                                     "----------\n"
                                     "time : DatetimeLike\n"
                                     "    Target epoch(s): anything the Time constructor accepts.\n"
                                     "state : State\n"
                                     "    Initial state. A COE is used as it is, a StateVector through its\n"
                                     "    to_coe(), any other state through to_sv().to_coe().\n"
                                     "**kwargs\n"
                                     "    Ignored.\n"
                                     "\n"
                                     "Returns\n"
                                     "-------\n"
                                     "StateVectorEphemeris\n"
                                     "    Positions and velocities at the target epochs, in the frame of the\n"
                                     "    initial state.\n"
                                     "\n"
                                     "Raises\n"
                                     "------\n"
                                     "NotImplementedError\n"
                                     "    If the orbit's eccentricity >= 1.0 (parabolic or hyperbolic).\n"
                                     "ValueError\n"
                                     "    If the mean motion sqrt(GM / sma) / sma, or the mean anomaly at an\n"
                                     "    epoch, is not a finite number (no state would be).\n"};

PyMethodDef g_jacobian_def = {"jacobian", VELARION_FASTCALL(Keplerian_jacobian), METH_FASTCALL | METH_KEYWORDS,
                              "Compute the Jacobian matrices (∂f/∂x) along an ephemeris trajectory.\n"
                              "\n"
                              "The state is x = (r, v) and f(x) = (v, -GM r / |r|^3), so each matrix has\n"
                              "zero diagonal blocks, the identity top right and the gravity gradient\n"
                              "GM (3 r r^T - |r|^2 I) / |r|^5 bottom left.\n"
                              "\n"
                              "Parameters\n"
                              "----------\n"
                              "eph : StateVectorEphemeris\n"
                              "    Positions [m] (and velocities, which do not enter) of N epochs.\n"
                              "\n"
                              "Returns\n"
                              "-------\n"
                              "jac : ndarray, shape (N, 6, 6)\n"
                              "    jac[i] is the Jacobian at epoch i, rows and columns ordered\n"
                              "    x, y, z of position then x, y, z of velocity.\n"};

constexpr core::MethodParam kPropagateParams[] = {
    {"time", "POSITIONAL_OR_KEYWORD", "DatetimeLike"},
    {"state", "POSITIONAL_OR_KEYWORD", "State"},
    {"kwargs", "VAR_KEYWORD", nullptr},
};
constexpr core::MethodParam kJacobianParams[] = {
    {"eph", "POSITIONAL_OR_KEYWORD", "StateVectorEphemeris"},
};

PyMethodDef Keplerian_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyGetSetDef Keplerian_getset[] = {
    {"GM", core::entry<Keplerian_get_GM>, nullptr,
     "Gravitational parameter used for propagation [m^3/s^2]. Defaults to Earth's GM.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot Keplerian_slots[] = {{Py_tp_new, reinterpret_cast<void*>(core::entry<Keplerian_new>)},
                                 {Py_tp_doc, const_cast<char*>(kKeplerianDoc)},
                                 {Py_tp_methods, Keplerian_methods},
                                 {Py_tp_getset, Keplerian_getset},
                                 {0, nullptr}};

PyType_Spec Keplerian_spec = {"velarion.propagators.analytical.keplerian.keplerian.Keplerian", sizeof(KeplerianObject),
                              0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Keplerian_slots};

// --- module ----------------------------------------------------------------

PyObject* keplerian_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int keplerian_exec(PyObject* module) {
    if (int r = g_once.enter(module, "keplerian"); r <= 0) return r;
    PyTypeObject* method_type = nullptr;
    PyTypeObject* type = nullptr;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(g_names.init());
    VELARION_CHECK(g_minus_one = PyLong_FromLong(-1));
    VELARION_CHECK(g_coe_kwnames =
                       Py_BuildValue("(sssssssss)", "frame", "GM", "ecc", "sma", "inc", "raa", "arp", "tra", "slr"));

    // The base type first, and the class on it.
    VELARION_CHECK(prop::import_propagators());
    {
        auto* base = static_cast<prop::PropagatorVTable*>(
            core::vtable_bind(prop::Propagator_Type, prop::kPropagatorVTableType, sizeof(prop::PropagatorVTable)));
        VELARION_CHECK(base);
        g_vtable.base = *base;
        g_vtable.base.c_jac_r = core::entry<Keplerian_c_jac_r>;
        g_vtable.propagate_tra = core::entry<Keplerian_propagate_tra>;
        g_vtable.c_propagate_state = core::entry<Keplerian_c_propagate_state>;
        g_vtable.c_jacobian = core::entry<Keplerian_c_jacobian>;
    }
    VELARION_CHECK(type = core::add_type(module, &Keplerian_spec, reinterpret_cast<PyObject*>(prop::Propagator_Type)));
    VELARION_CHECK(core::vtable_publish(type, &g_vtable, kep::kKeplerianVTableType));
    kep::Keplerian_Type = type;  // the module keeps it for the life of the process

    // Types, variables and functions of the other modules.
    VELARION_CHECK(velarion::time::import_time());
    VELARION_CHECK(velarion::bodies::import_bodies());
    VELARION_CHECK(st::import_state());
    VELARION_CHECK(st::import_ephemeris());
    VELARION_CHECK(st::import_coe());

    // Python-level names, the default GM, and the annotated methods.
    VELARION_CHECK(core::import_module_into(module, "numpy"));
    VELARION_CHECK(core::import_into(module, "velarion.typing", "DatetimeLike"));
    {
        Ref gm = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(velarion::bodies::Earth_Type), "GM"));
        VELARION_CHECK(gm.get());
        VELARION_CHECK(core::to_double(gm.get(), g_default_GM));
    }
    VELARION_CHECK(method_type = core::annotated_method_type(module));
    VELARION_CHECK(core::add_annotated_method(method_type, type, &g_propagate_state_def, kPropagateParams,
                                              "StateVectorEphemeris"));
    VELARION_CHECK(core::add_annotated_method(method_type, type, &g_jacobian_def, kJacobianParams, "numpy.ndarray"));
    Py_DECREF(method_type);
    return 0;
error:
    Py_XDECREF(method_type);
    return -1;
}

PyModuleDef_Slot keplerian_slots[] = {{Py_mod_create, reinterpret_cast<void*>(core::entry<keplerian_create>)},
                                      {Py_mod_exec, reinterpret_cast<void*>(core::entry<keplerian_exec>)},
                                      {0, nullptr}};

PyModuleDef keplerian_def = {PyModuleDef_HEAD_INIT,
                             "velarion.propagators.analytical.keplerian.keplerian",
                             "Two-body (Keplerian) propagation and the two-body Jacobian.",
                             0,
                             nullptr,
                             keplerian_slots,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_keplerian() { return PyModuleDef_Init(&keplerian_def); }
