// velarion.conjunctions._pc: the compiled kernels of
// velarion.conjunctions.pc over arrays of conjunctions, on several threads
// with the interpreter lock released (interrupts polled). The Python module
// combines, rotates and checks the inputs; these functions take C-contiguous
// float64 arrays and return per-conjunction values with a status code each.
#include "velarion/_core/core.hpp"
#include "velarion/_core/interrupt.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/conjunctions/kernels/pc.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

namespace core = velarion::core;
namespace pk = velarion::conjunctions::kernels::pc;

namespace {

core::ModuleOnce g_once;

// A C-contiguous (rows, cols) float64 array of finite values, read-only.
bool table(core::View2D& view, PyObject* obj, core::index_t rows, core::index_t cols, const char* fn,
           const char* what) {
    if (!view.acquire(obj, false)) return false;
    auto s = view.span2();
    if ((rows >= 0 && s.rows != rows) || s.cols != cols ||
        (s.rows > 0 && (s.col_stride != sizeof(double) ||
                        (s.rows > 1 && s.row_stride != cols * static_cast<core::index_t>(sizeof(double)))))) {
        PyErr_Format(PyExc_ValueError, "%s: %s must be a C-contiguous (%zd, %zd) float64 array", fn, what,
                     rows >= 0 ? rows : s.rows, cols);
        return false;
    }
    for (core::index_t i = 0; i < s.rows; ++i)
        for (core::index_t j = 0; j < cols; ++j)
            if (!std::isfinite(s(i, j))) {
                PyErr_Format(PyExc_ValueError, "%s: %s must be finite", fn, what);
                return false;
            }
    return true;
}

const double* base_of(const core::View2D& v) { return reinterpret_cast<const double*>(v.span2().base); }

pk::Vec3 row3(const double* p, core::index_t i) { return {p[3 * i], p[3 * i + 1], p[3 * i + 2]}; }

// Runs body(i) for every conjunction i in blocks, interrupts polled.
template <class Body>
bool each_conjunction(core::index_t n, long threads, Body&& body) {
    constexpr std::ptrdiff_t kBlock = 64;
    return core::run_interruptible(
        n, static_cast<int>(threads),
        [&](const core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t q = begin; q < end && !stop.raised(); q += kBlock)
                for (std::ptrdiff_t i = q; i < std::min(end, q + kBlock); ++i) body(i);
        });
}

struct Outputs {
    core::Ref status, first, second;
    std::uint8_t* st = nullptr;
    double* a = nullptr;
    double* b = nullptr;
    bool make(npy_intp n, bool two) {
        status = core::Ref::steal(PyArray_ZEROS(1, &n, NPY_UINT8, 0));
        first = core::zeros(1, &n);
        if (two) second = core::zeros(1, &n);
        if (!status || !first || (two && !second)) return false;
        st = static_cast<std::uint8_t*>(PyArray_DATA(core::as_array(status.get())));
        a = core::data_of(first.get());
        if (two) b = core::data_of(second.get());
        return true;
    }
};

// The planar methods: (r, v, cov, hbr, option, threads), relative state,
// combined 3x3 position covariance as (n, 9).
constexpr const char* kPlaneNames[] = {"r", "v", "cov", "hbr", "option", "threads"};

enum class Plane { kFoster, kChan, kAlfano };

template <Plane kind>
PyObject* plane_method(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const core::Signature sig{fn, kPlaneNames, 6};
    PyObject* a[6];
    if (!core::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    long option = PyLong_AsLong(a[4]);
    if (option == -1 && PyErr_Occurred()) return nullptr;
    long threads;
    if (!core::to_count(a[5], "threads", threads)) return nullptr;
    if (option < 0 || option > 1000000) {
        PyErr_Format(PyExc_ValueError, "%s: option out of range", fn);
        return nullptr;
    }
    core::View2D r, v, cov, hbr;
    if (!table(r, a[0], -1, 3, fn, "r")) return nullptr;
    const core::index_t n = r.shape(0);
    if (!table(v, a[1], n, 3, fn, "v") || !table(cov, a[2], n, 9, fn, "cov") || !table(hbr, a[3], n, 1, fn, "hbr"))
        return nullptr;
    Outputs out;
    if (!out.make(n, kind == Plane::kAlfano)) return nullptr;
    const double *pr = base_of(r), *pv = base_of(v), *pc = base_of(cov), *ph = base_of(hbr);
    const bool whole = each_conjunction(n, threads, [&](core::index_t i) {
        const pk::Vec3 ri = row3(pr, i), vi = row3(pv, i);
        const double* ci = pc + 9 * i;
        pk::Status s;
        if constexpr (kind == Plane::kFoster)
            s = pk::foster(ri, vi, ci, 3, ph[i], static_cast<pk::Shape>(option), out.a[i]);
        else if constexpr (kind == Plane::kChan)
            s = pk::chan(ri, vi, ci, 3, ph[i], static_cast<int>(option), out.a[i]);
        else
            s = pk::alfano_max(ri, vi, ci, 3, ph[i], out.a[i], out.b[i]);
        out.st[i] = s;
    });
    if (!whole) return nullptr;
    if (kind == Plane::kAlfano) return PyTuple_Pack(3, out.status.get(), out.first.get(), out.second.get());
    return PyTuple_Pack(2, out.status.get(), out.first.get());
}

PyObject* py_foster(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return plane_method<Plane::kFoster>("foster", args, nargs, kwnames);
}
PyObject* py_chan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return plane_method<Plane::kChan>("chan", args, nargs, kwnames);
}
PyObject* py_alfano(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return plane_method<Plane::kAlfano>("alfano", args, nargs, kwnames);
}

// The two-object inputs of hall and monte_carlo.
struct Pair {
    core::View2D r1, v1, c1, r2, v2, c2, hbr;
    core::index_t n = 0;
    bool take(PyObject** a, const char* fn) {
        if (!table(r1, a[0], -1, 3, fn, "r1")) return false;
        n = r1.shape(0);
        return table(v1, a[1], n, 3, fn, "v1") && table(c1, a[2], n, 36, fn, "cov1") &&
               table(r2, a[3], n, 3, fn, "r2") && table(v2, a[4], n, 3, fn, "v2") &&
               table(c2, a[5], n, 36, fn, "cov2") && table(hbr, a[6], n, 1, fn, "hbr");
    }
    pk::Object first(core::index_t i) const {
        return {row3(base_of(r1), i), row3(base_of(v1), i), base_of(c1) + 36 * i};
    }
    pk::Object second(core::index_t i) const {
        return {row3(base_of(r2), i), row3(base_of(v2), i), base_of(c2) + 36 * i};
    }
    double radius(core::index_t i) const { return base_of(hbr)[i]; }
};

bool positive_mu(PyObject* obj, double& mu) {
    if (!core::to_double(obj, mu)) return false;
    if (!(std::isfinite(mu) && mu > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "mu must be positive and finite");
        return false;
    }
    return true;
}

constexpr const char* kHallNames[] = {"r1", "v1", "cov1", "r2", "v2", "cov2", "hbr", "mu", "threads"};
constexpr core::Signature kHallSig{"hall", kHallNames, 9};

// hall(r1, v1, cov1, r2, v2, cov2, hbr, mu, threads) -> (status, expected collisions)
PyObject* py_hall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[9];
    if (!core::parse_args(kHallSig, args, nargs, kwnames, a)) return nullptr;
    double mu;
    long threads;
    if (!positive_mu(a[7], mu) || !core::to_count(a[8], "threads", threads)) return nullptr;
    Pair in;
    if (!in.take(a, "hall")) return nullptr;
    Outputs out;
    if (!out.make(in.n, false)) return nullptr;
    const bool whole = each_conjunction(in.n, threads, [&](core::index_t i) {
        out.st[i] = pk::hall(in.first(i), in.second(i), mu, in.radius(i), out.a[i]);
    });
    if (!whole) return nullptr;
    return PyTuple_Pack(2, out.status.get(), out.first.get());
}

constexpr const char* kMcNames[] = {"r1", "v1", "cov1", "r2", "v2", "cov2", "hbr", "mu", "samples", "seed", "threads"};
constexpr core::Signature kMcSig{"monte_carlo", kMcNames, 11};

// monte_carlo(r1, v1, cov1, r2, v2, cov2, hbr, mu, samples, seed, threads) -> (status, hits)
// Samples come in blocks of a fixed size, each from its own stream of the
// seed: the counts do not depend on the number of threads.
PyObject* py_monte_carlo(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[11];
    if (!core::parse_args(kMcSig, args, nargs, kwnames, a)) return nullptr;
    double mu;
    long threads;
    if (!positive_mu(a[7], mu) || !core::to_count(a[10], "threads", threads)) return nullptr;
    const long long samples = PyLong_AsLongLong(a[8]);
    if (samples == -1 && PyErr_Occurred()) return nullptr;
    if (samples < 1 || samples > (1LL << 40)) {
        PyErr_SetString(PyExc_ValueError, "monte_carlo: samples must lie in [1, 2**40]");
        return nullptr;
    }
    const unsigned long long seed = PyLong_AsUnsignedLongLongMask(a[9]);
    if (seed == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
    Pair in;
    if (!in.take(a, "monte_carlo")) return nullptr;
    const npy_intp n = in.n;
    core::Ref status = core::Ref::steal(PyArray_ZEROS(1, &n, NPY_UINT8, 0));
    core::Ref hits = core::Ref::steal(PyArray_ZEROS(1, &n, NPY_INT64, 0));
    if (!status || !hits) return nullptr;
    auto* st = static_cast<std::uint8_t*>(PyArray_DATA(core::as_array(status.get())));
    auto* ph = static_cast<std::int64_t*>(PyArray_DATA(core::as_array(hits.get())));
    std::vector<pk::MonteCarloCase> cases(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i)
        st[i] = pk::monte_carlo_case(in.first(i), in.second(i), mu, in.radius(i), cases[i]);
    constexpr std::uint64_t kBlock = 4096;
    const auto per_case = static_cast<std::uint64_t>((samples + kBlock - 1) / kBlock);
    const auto blocks = static_cast<std::ptrdiff_t>(per_case * static_cast<std::uint64_t>(n));
    // One counter per conjunction, added to once per block.
    std::vector<std::atomic<std::uint64_t>> counts(static_cast<std::size_t>(n));
    const bool whole = core::run_interruptible(
        blocks, static_cast<int>(threads),
        [&](const core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t q = begin; q < end && !stop.raised(); ++q) {
                const auto uq = static_cast<std::uint64_t>(q);
                const std::uint64_t i = uq / per_case, block = uq % per_case;
                if (st[i] != pk::kOk) continue;
                const std::uint64_t count =
                    std::min<std::uint64_t>(kBlock, static_cast<std::uint64_t>(samples) - block * kBlock);
                counts[static_cast<std::size_t>(i)].fetch_add(
                    pk::monte_carlo_block(cases[static_cast<std::size_t>(i)], seed + i * 0x9E3779B97F4A7C15ull, block,
                                          count),
                    std::memory_order_relaxed);
            }
        });
    if (!whole) return nullptr;
    for (npy_intp i = 0; i < n; ++i) ph[i] = static_cast<std::int64_t>(counts[static_cast<std::size_t>(i)].load());
    return PyTuple_Pack(2, status.get(), hits.get());
}

PyMethodDef pc_methods[] = {
    {"foster", VELARION_FASTCALL(py_foster), METH_FASTCALL | METH_KEYWORDS,
     "foster(r, v, cov, hbr, option, threads)\n--\n\n"
     "Foster's 2-D Pc of n conjunctions: relative position and velocity r, v (n, 3) [m, m/s], combined\n"
     "position covariance cov (n, 9) [m^2], hbr (n, 1) [m]; option 0 disc, 1 square of half side hbr,\n"
     "2 square of the disc's area. Returns (status uint8, pc)."},
    {"chan", VELARION_FASTCALL(py_chan), METH_FASTCALL | METH_KEYWORDS,
     "chan(r, v, cov, hbr, option, threads)\n--\n\n"
     "Chan's series with `option` terms (0: converged); inputs as foster. Returns (status, pc)."},
    {"alfano", VELARION_FASTCALL(py_alfano), METH_FASTCALL | METH_KEYWORDS,
     "alfano(r, v, cov, hbr, option, threads)\n--\n\n"
     "Largest Foster Pc over scalings k of the covariance's standard deviations; inputs as foster\n"
     "(option unused). Returns (status, pc, k)."},
    {"hall", VELARION_FASTCALL(py_hall), METH_FASTCALL | METH_KEYWORDS,
     "hall(r1, v1, cov1, r2, v2, cov2, hbr, mu, threads)\n--\n\n"
     "Expected number of entries into the hard-body sphere over the encounter under two-body motion;\n"
     "states (n, 3) at TCA, covariances (n, 36). Returns (status, expected)."},
    {"monte_carlo", VELARION_FASTCALL(py_monte_carlo), METH_FASTCALL | METH_KEYWORDS,
     "monte_carlo(r1, v1, cov1, r2, v2, cov2, hbr, mu, samples, seed, threads)\n--\n\n"
     "Samples of both states at TCA whose two-body closest approach is within hbr; inputs as hall.\n"
     "Returns (status, hits int64)."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* pc_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int pc_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_pc"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    return 0;
error:
    return -1;
}

PyModuleDef_Slot pc_slots[] = {
    {Py_mod_create, (void*)core::entry<pc_create>}, {Py_mod_exec, (void*)core::entry<pc_exec>}, {0, nullptr}};

PyModuleDef pc_def = {PyModuleDef_HEAD_INIT,
                      "velarion.conjunctions._pc",
                      "Collision probability kernels of velarion.conjunctions.pc.",
                      0,
                      pc_methods,
                      pc_slots,
                      nullptr,
                      nullptr,
                      nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__pc() { return PyModuleDef_Init(&pc_def); }
