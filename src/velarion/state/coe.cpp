// velarion.state.coe: the Kepler-equation solver, published at C level, and
// vectorized Python forms of the anomaly conversions for users.
#include "velarion/_core/core.hpp"
#include "velarion/_core/ufunc.hpp"
#include "velarion/mathtools/misc/misc.hpp"
#include "velarion/state/coe.hpp"
#include "velarion/state/kernels/anomalies.hpp"
#include "velarion/state/kernels/kepler.hpp"

#include <cmath>

namespace core = velarion::core;
namespace st = velarion::state;
namespace kn = velarion::state::kernels;
namespace lanes = velarion::mathtools::misc::kernels::lanes;

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

// The scalar form of a conversion and its block form over broadcast operands.
using Scalar = double (*)(double, double);
using Block = void (*)(lanes::Operand, lanes::Operand, double*, core::index_t);

struct Binary {
    const char* name;
    const char* first;
    const char* second;
    Domain first_domain;
    Domain second_domain;
    Scalar scalar;
    Block block;
};

// The index of the first value of `x` (n values, or one for all) outside
// `d`, or n.
core::index_t first_outside(const core::BlockOperand& x, core::index_t n, Domain d) noexcept {
    if (d == Domain::Any) return n;
    if (x.broadcast) return in_domain(x.data[0], d) ? n : 0;
    for (core::index_t i = 0; i < n; ++i) {
        if (!in_domain(x.data[i], d)) return i;
    }
    return n;
}

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
        return PyFloat_FromDouble(f.scalar(x, y));
    }

    // The operands are checked a block at a time, in the order of the
    // values (the first operand before the second at each), then converted.
    int status;  // 1, 2: the first or second operand is out of its domain
    core::Ref out = core::broadcast_binary_blocks(
        a[0], a[1],
        [&f](core::BlockOperand x, core::BlockOperand y, double* r, core::index_t n) {
            const core::index_t bad_x = first_outside(x, n, f.first_domain);
            const core::index_t bad_y = first_outside(y, n, f.second_domain);
            if (bad_x < n && bad_x <= bad_y) return 1;
            if (bad_y < n) return 2;
            f.block({x.data, x.broadcast}, {y.data, y.broadcast}, r, n);
            return 0;
        },
        status, core::Gil::release);
    if (status == 1) return raise_domain(f.first, f.first_domain), nullptr;
    if (status == 2) return raise_domain(f.second, f.second_domain), nullptr;
    if (!out) return nullptr;
    return PyArray_Return(core::as_array(out.release()));
}

// The solver: published at C level (c_eca_from_mea) and the scalar form of
// eca_from_mea, one lane of the block form.
double k_eca_from_mea(double mea, double ecc) { return kn::eca_from_mea(mea, ecc); }
double k_mnm_from_sma(double sma, double GM) { return st::c_mnm_from_sma(sma, GM); }

template <class Lane>
void block_of(lanes::Operand x, lanes::Operand y, double* out, core::index_t n) {
    lanes::run<kn::Map2<Lane>>(x, y, out, n);
}

void mnm_from_sma_block(lanes::Operand sma, lanes::Operand GM, double* out, core::index_t n) {
    for (core::index_t i = 0; i < n; ++i) out[i] = st::c_mnm_from_sma(sma[i], GM[i]);
}

#define VELARION_BINARY(fname, Lane, first, second)                                                                 \
    PyObject* py_##fname(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {                   \
        static const Binary f{                                                                                      \
            #fname, first, second, Domain::Any, Domain::Eccentricity, kn::apply_one<kn::Lane>, block_of<kn::Lane>}; \
        return apply(f, args, nargs, kwnames);                                                                      \
    }

VELARION_BINARY(eca_from_mea, EcaFromMea, "mea", "ecc")
VELARION_BINARY(tra_from_mea, TraFromMea, "mea", "ecc")
VELARION_BINARY(mea_from_tra, MeaFromTra, "tra", "ecc")
VELARION_BINARY(eca_from_tra, EcaFromTra, "tra", "ecc")
VELARION_BINARY(tra_from_eca, TraFromEca, "eca", "ecc")
VELARION_BINARY(mea_from_eca, MeaFromEca, "eca", "ecc")

#undef VELARION_BINARY

PyObject* py_mnm_from_sma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Binary f{"mnm_from_sma",    "sma", "GM", Domain::Positive, Domain::Positive, k_mnm_from_sma,
                          mnm_from_sma_block};
    return apply(f, args, nargs, kwnames);
}

#define VELARION_DOC(fname, args, text) #fname "(" args ")\n--\n\n" text

PyMethodDef coe_methods[] = {
    {"eca_from_mea", VELARION_FASTCALL(py_eca_from_mea), METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(eca_from_mea, "mea, ecc",
                  "Eccentric anomaly [rad] solving Kepler's equation E - ecc*sin(E) = mea.\n\n"
                  "mea may be any real (it is not reduced: E lies within pi of mea's nearest\n"
                  "multiple of 2*pi); 0 <= ecc < 1. Scalars give a float, arrays broadcast\n"
                  "NumPy-style into a new float64 array. A NaN mea gives NaN.")},
    {"tra_from_mea", VELARION_FASTCALL(py_tra_from_mea), METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(tra_from_mea, "mea, ecc",
                  "True anomaly [rad, in [0, 2*pi)] from mean anomaly, 0 <= ecc < 1.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {"mea_from_tra", VELARION_FASTCALL(py_mea_from_tra), METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(mea_from_tra, "tra, ecc",
                  "Mean anomaly [rad, in [0, 2*pi)] from true anomaly, 0 <= ecc < 1.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {"eca_from_tra", VELARION_FASTCALL(py_eca_from_tra), METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(eca_from_tra, "tra, ecc",
                  "Eccentric anomaly [rad, in [0, 2*pi)] from true anomaly, 0 <= ecc < 1.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {"tra_from_eca", VELARION_FASTCALL(py_tra_from_eca), METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(tra_from_eca, "eca, ecc",
                  "True anomaly [rad, in [0, 2*pi)] from eccentric anomaly, 0 <= ecc < 1.\n\n"
                  "Scalars give a float, arrays broadcast into a new float64 array.")},
    {"mea_from_eca", VELARION_FASTCALL(py_mea_from_eca), METH_FASTCALL | METH_KEYWORDS,
     VELARION_DOC(mea_from_eca, "eca, ecc",
                  "Mean anomaly [rad] from eccentric anomaly: eca - ecc*sin(eca) (not reduced),\n"
                  "0 <= ecc < 1. Scalars give a float, arrays broadcast into a new float64 array.")},
    {"mnm_from_sma", VELARION_FASTCALL(py_mnm_from_sma), METH_FASTCALL | METH_KEYWORDS,
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
