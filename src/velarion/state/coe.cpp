// velarion.state.coe: the Kepler-equation solver, published at C level, and
// vectorized Python forms of the anomaly conversions for users.
#include "velarion/_core/core.hpp"
#include "velarion/_core/ufunc.hpp"
#include "velarion/mathtools/misc/misc.hpp"
#include "velarion/state/coe.hpp"
#include "velarion/state/kernels/kepler.hpp"

#include <cmath>

namespace core = velarion::core;
namespace st = velarion::state;
namespace kn = velarion::state::kernels;

namespace {

core::ModuleOnce g_once;

// ---------------------------------------------------------------------------
// Vectorized forms: two broadcast operands, a float64 result.

// What an operand must satisfy.
enum class Domain { Any, Eccentricity, Positive };

bool in_domain(double x, Domain d) noexcept {
    switch (d) {
        case Domain::Eccentricity: return x >= 0.0 && x < 1.0;
        case Domain::Positive: return x > 0.0 && std::isfinite(x);
        default: return true;
    }
}

// Word for word: callers and tests compare these texts.
int raise_domain(const char* name, Domain d) {
    if (d == Domain::Eccentricity) {
        PyErr_Format(PyExc_ValueError, "%s must be in [0, 1) (elliptic orbits)", name);
    } else {
        PyErr_Format(PyExc_ValueError, "%s must be positive and finite", name);
    }
    return -1;
}

// A kernel returns its result; -1.0 with a pending exception is a failure.
using Kernel = double (*)(double, double);

struct Binary {
    const char* name;
    const char* first;
    const char* second;
    Domain first_domain;
    Domain second_domain;
    Kernel kernel;
};

PyObject* apply(const Binary& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const char* const names[2] = {f.first, f.second};
    const core::Signature sig{f.name, names, 2};
    PyObject* a[2];
    if (!core::parse_args(sig, args, nargs, kwnames, a)) return nullptr;

    if (!core::is_array_like(a[0]) && !core::is_array_like(a[1])) {
        double x, y;
        if (!core::to_double(a[0], x) || !core::to_double(a[1], y)) return nullptr;
        if (!in_domain(x, f.first_domain)) return raise_domain(f.first, f.first_domain), nullptr;
        if (!in_domain(y, f.second_domain)) return raise_domain(f.second, f.second_domain), nullptr;
        const double out = f.kernel(x, y);
        if (out == -1.0 && PyErr_Occurred()) return nullptr;
        return PyFloat_FromDouble(out);
    }

    // The kernels need no interpreter; they take it themselves to report
    // a failure, which the loop then sees as -1.0 plus a pending error.
    int status;  // 1, 2: the first or second operand is out of its domain; -1: a kernel failed
    core::Ref out = core::broadcast_binary(
        a[0], a[1],
        [&f](double x, double y, double& r) {
            if (!in_domain(x, f.first_domain)) return 1;
            if (!in_domain(y, f.second_domain)) return 2;
            r = f.kernel(x, y);
            return (r == -1.0 && core::error_pending_nogil()) ? -1 : 0;
        },
        status, core::Gil::release);
    if (status == 1) return raise_domain(f.first, f.first_domain), nullptr;
    if (status == 2) return raise_domain(f.second, f.second_domain), nullptr;
    if (!out) return nullptr;
    return PyArray_Return(core::as_array(out.release()));
}

// The solver: published at C level (c_eca_from_mea) and the kernel of its
// vectorized form.
double k_eca_from_mea(double mea, double ecc) { return kn::eca_from_mea(mea, ecc); }
double k_tra_from_mea(double mea, double ecc) { return st::c_tra_from_mea(mea, ecc); }
double k_mea_from_tra(double tra, double ecc) { return st::c_mea_from_tra(tra, ecc); }
double k_eca_from_tra(double tra, double ecc) { return st::c_eca_from_tra(tra, ecc); }
double k_tra_from_eca(double eca, double ecc) { return st::c_tra_from_eca(eca, ecc); }
double k_mea_from_eca(double eca, double ecc) { return st::c_mea_from_eca(eca, ecc); }
double k_mnm_from_sma(double sma, double GM) { return st::c_mnm_from_sma(sma, GM); }

#define VELARION_BINARY(fname, first, second, domain)                                             \
    PyObject* py_##fname(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        static const Binary f{#fname, first, second, Domain::Any, domain, k_##fname};             \
        return apply(f, args, nargs, kwnames);                                                    \
    }

VELARION_BINARY(eca_from_mea, "mea", "ecc", Domain::Eccentricity)
VELARION_BINARY(tra_from_mea, "mea", "ecc", Domain::Eccentricity)
VELARION_BINARY(mea_from_tra, "tra", "ecc", Domain::Eccentricity)
VELARION_BINARY(eca_from_tra, "tra", "ecc", Domain::Eccentricity)
VELARION_BINARY(tra_from_eca, "eca", "ecc", Domain::Eccentricity)
VELARION_BINARY(mea_from_eca, "eca", "ecc", Domain::Eccentricity)

#undef VELARION_BINARY

PyObject* py_mnm_from_sma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Binary f{"mnm_from_sma", "sma", "GM", Domain::Positive, Domain::Positive, k_mnm_from_sma};
    return apply(f, args, nargs, kwnames);
}

#define VELARION_DOC(fname, args, text) #fname "(" args ")\n--\n\n" text

PyMethodDef coe_methods[] = {
    {"eca_from_mea", (PyCFunction)(void (*)(void))core::entry<py_eca_from_mea>, METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(eca_from_mea, "mea, ecc",
                  "Eccentric anomaly [rad] solving Kepler's equation E - ecc*sin(E) = mea.\n\n"
                  "mea may be any real (it is not reduced: E lies within pi of mea's nearest\n"
                  "multiple of 2*pi); 0 <= ecc < 1. Scalars give a float, arrays broadcast\n"
                  "NumPy-style into a new float64 array. A NaN mea gives NaN.")},
    {"tra_from_mea", (PyCFunction)(void (*)(void))core::entry<py_tra_from_mea>, METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(tra_from_mea, "mea, ecc",
                  "True anomaly [rad, in [0, 2*pi)] from mean anomaly, 0 <= ecc < 1.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {"mea_from_tra", (PyCFunction)(void (*)(void))core::entry<py_mea_from_tra>, METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(mea_from_tra, "tra, ecc",
                  "Mean anomaly [rad, in [0, 2*pi)] from true anomaly, 0 <= ecc < 1.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {"eca_from_tra", (PyCFunction)(void (*)(void))core::entry<py_eca_from_tra>, METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(eca_from_tra, "tra, ecc",
                  "Eccentric anomaly [rad, in [0, 2*pi)] from true anomaly, 0 <= ecc < 1.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {"tra_from_eca", (PyCFunction)(void (*)(void))core::entry<py_tra_from_eca>, METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(tra_from_eca, "eca, ecc",
                  "True anomaly [rad, in [0, 2*pi)] from eccentric anomaly, 0 <= ecc < 1.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {"mea_from_eca", (PyCFunction)(void (*)(void))core::entry<py_mea_from_eca>, METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(mea_from_eca, "eca, ecc",
                  "Mean anomaly [rad] from eccentric anomaly: eca - ecc*sin(eca) (not reduced),\n"
                  "0 <= ecc < 1. Scalars give a float, arrays broadcast into a new float64 array.")},
    {"mnm_from_sma", (PyCFunction)(void (*)(void))core::entry<py_mnm_from_sma>, METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(mnm_from_sma, "sma, GM",
                  "Mean motion [rad/s] sqrt(GM/sma)/sma of a semi-major axis [m] under the\n"
                  "gravitational parameter GM [m^3/s^2]; both must be positive.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {nullptr, nullptr, 0, nullptr}};

#undef VELARION_DOC

PyObject* coe_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int coe_exec(PyObject* module) {
    if (int r = g_once.enter(module, "coe"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(velarion::mathtools::misc::import_misc());
    // This module is the solver's home: the inline conversions compiled in
    // here call it directly rather than binding it through the import.
    st::c_eca_from_mea = &k_eca_from_mea;
    VELARION_CHECK(
        core::capi_publish(module, "c_eca_from_mea", reinterpret_cast<void*>(&k_eca_from_mea), st::kEcaFromMeaType));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot coe_slots[] = {
    {Py_mod_create, (void*)core::entry<coe_create>}, {Py_mod_exec, (void*)core::entry<coe_exec>}, {0, nullptr}};

PyModuleDef coe_def = {PyModuleDef_HEAD_INIT,
                       "velarion.state.coe",
                       "Anomaly conversions of elliptic orbits and the Kepler-equation solver.",
                       0,
                       coe_methods,
                       coe_slots,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_coe() { return PyModuleDef_Init(&coe_def); }
