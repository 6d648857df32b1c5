// velarion.propagators.analytical.sgp4._compiled: SGP4/SDP4 records of
// many element sets, built once, and their TEME states at many epochs, in
// compiled code with the interpreter lock released (the catalogue searches:
// conjunction screening, passes). The records are opaque capsules.
#include "velarion/_core/core.hpp"
#include "velarion/_core/interrupt.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/sample.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace core = velarion::core;
namespace sgp4k = velarion::propagators::analytical::sgp4::kernels;

namespace {

core::ModuleOnce g_once;

constexpr const char* kRecordsCapsule = "velarion.propagators.analytical.sgp4._compiled.sgp4_records";
using Records = std::vector<sgp4k::Sgp4Object>;

void records_destructor(PyObject* capsule) {
    delete static_cast<Records*>(PyCapsule_GetPointer(capsule, kRecordsCapsule));
}

const Records* records_of(PyObject* obj) {
    if (!PyCapsule_IsValid(obj, kRecordsCapsule)) {
        PyErr_Format(PyExc_TypeError, "sgp4_states: records must come from sgp4_records, not %.200s",
                     Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return static_cast<const Records*>(PyCapsule_GetPointer(obj, kRecordsCapsule));
}

constexpr int kElementColumns = 12;
constexpr double kMaxMinutes = 100.0 * 366.0 * 1440.0;
constexpr const char* kRecordNames[] = {"elements", "gravity"};
constexpr core::Signature kRecordSig{"sgp4_records", kRecordNames, 2};

// sgp4_records(elements, gravity) -> (records, codes)
PyObject* py_sgp4_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kRecordSig, args, nargs, kwnames, a)) return nullptr;
    // gravity: one model for all (an int) or one per element set (bytes).
    long which = 0;
    if (!PyBytes_CheckExact(a[1])) {
        which = PyLong_AsLong(a[1]);
        if (which == -1 && PyErr_Occurred()) return nullptr;
    }
    core::View2D elements;
    if (!elements.acquire(a[0], false)) return nullptr;
    auto e = elements.span2();
    if (e.cols != kElementColumns) {
        PyErr_Format(PyExc_ValueError, "sgp4_records: elements must have %d columns, got %zd", kElementColumns, e.cols);
        return nullptr;
    }
    const char* per_row = nullptr;
    if (PyBytes_CheckExact(a[1])) {
        if (PyBytes_GET_SIZE(a[1]) != e.rows) {
            PyErr_Format(PyExc_ValueError, "sgp4_records: gravity must hold one byte per element set (%zd)", e.rows);
            return nullptr;
        }
        per_row = PyBytes_AS_STRING(a[1]);
    }
    for (core::index_t i = 0; i < (per_row ? e.rows : 1); ++i) {
        const long code = per_row ? per_row[i] : which;
        if (code < 0 || code > 2) {
            PyErr_Format(PyExc_ValueError,
                         "sgp4_records: gravity must be 0 (WGS72OLD), 1 (WGS72) or 2 (WGS84), got %ld", code);
            return nullptr;
        }
    }
    const sgp4k::Gravity models[3] = {sgp4k::gravity(sgp4k::GravityModel::wgs72old),
                                      sgp4k::gravity(sgp4k::GravityModel::wgs72),
                                      sgp4k::gravity(sgp4k::GravityModel::wgs84)};
    auto records = std::make_unique<Records>(static_cast<std::size_t>(e.rows));
    npy_intp n = e.rows;
    core::Ref codes = core::Ref::steal(PyArray_EMPTY(1, &n, NPY_INT64, 0));
    if (!codes) return nullptr;
    auto* pc = static_cast<std::int64_t*>(PyArray_DATA(core::as_array(codes.get())));
    for (core::index_t i = 0; i < e.rows; ++i) {
        double c[kElementColumns];
        for (int x = 0; x < kElementColumns; ++x) c[x] = e(i, x);
        sgp4k::Elements el;
        el.epoch = c[2];
        el.bstar = c[3];
        el.ndot = c[4];
        el.nddot = c[5];
        el.ecco = c[6];
        el.argpo = c[7];
        el.inclo = c[8];
        el.mo = c[9];
        el.no_kozai = c[10];
        el.nodeo = c[11];
        sgp4k::Sgp4Object& obj = (*records)[static_cast<std::size_t>(i)];
        obj.record = sgp4k::init(models[per_row ? per_row[i] : which], el);
        obj.jd = c[0];
        obj.fr = c[1];
        pc[i] = obj.record.init_error;
    }
    core::Ref capsule = core::Ref::steal(PyCapsule_New(records.get(), kRecordsCapsule, records_destructor));
    if (!capsule) return nullptr;
    records.release();  // owned by the capsule now
    return PyTuple_Pack(2, capsule.get(), codes.get());
}

constexpr const char* kStateNames[] = {"records", "ids", "jd", "fr", "threads"};
constexpr core::Signature kStateSig{"sgp4_states", kStateNames, 5};

// sgp4_states(records, ids, jd, fr, threads) -> (code, r, v)
PyObject* py_sgp4_states(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!core::parse_args(kStateSig, args, nargs, kwnames, a)) return nullptr;
    // A capsule's pointer and contents never change: checked first.
    const Records* records = records_of(a[0]);
    if (!records) return nullptr;
    long threads;
    if (!core::to_count(a[4], "sgp4_states: threads", threads)) return nullptr;
    // The ids as a private int64 copy, checked against the records.
    core::Ref id_array = core::Ref::steal(
        PyArray_FROMANY(a[1], NPY_INT64, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY));
    if (!id_array) return nullptr;
    std::vector<double> jd, fr;
    if (!core::copy_finite(a[2], jd, "sgp4_states: jd") || !core::copy_finite(a[3], fr, "sgp4_states: fr"))
        return nullptr;
    if (jd.size() != fr.size()) {
        PyErr_SetString(PyExc_ValueError, "sgp4_states: jd and fr must have the same length");
        return nullptr;
    }
    const npy_intp n = PyArray_DIM(core::as_array(id_array.get()), 0);
    const auto* ids = static_cast<const std::int64_t*>(PyArray_DATA(core::as_array(id_array.get())));
    const auto size = static_cast<std::int64_t>(records->size());
    for (npy_intp i = 0; i < n; ++i) {
        if (ids[i] < 0 || ids[i] >= size) {
            PyErr_Format(PyExc_IndexError, "sgp4_states: id %lld is not a record (0 to %lld)",
                         static_cast<long long>(ids[i]), static_cast<long long>(size - 1));
            return nullptr;
        }
    }
    const npy_intp m = static_cast<npy_intp>(jd.size());
    if (m > 0) {
        // Resonant deep-space orbits integrate from their epoch in 12-hour
        // steps: the span of the epochs from each element set is bounded.
        const auto [jd_lo, jd_hi] = std::minmax_element(jd.begin(), jd.end());
        const auto [fr_lo, fr_hi] = std::minmax_element(fr.begin(), fr.end());
        for (npy_intp i = 0; i < n; ++i) {
            const sgp4k::Sgp4Object& obj = (*records)[static_cast<std::size_t>(ids[i])];
            const double lo = (*jd_lo - obj.jd) * 1440.0 + (*fr_lo - obj.fr) * 1440.0;
            const double hi = (*jd_hi - obj.jd) * 1440.0 + (*fr_hi - obj.fr) * 1440.0;
            if (!(std::fabs(lo) <= kMaxMinutes && std::fabs(hi) <= kMaxMinutes)) {
                PyErr_SetString(PyExc_ValueError,
                                "sgp4_states: the epochs must lie within 100 years of each element set's epoch");
                return nullptr;
            }
        }
    }
    npy_intp shape[3] = {n, m, 3};
    core::Ref code = core::Ref::steal(PyArray_EMPTY(2, shape, NPY_UINT8, 0));
    core::Ref r = core::empty(3, shape);
    core::Ref v = core::empty(3, shape);
    if (!code || !r || !v) return nullptr;
    {
        // One object at a time, the interrupt looked at between them.
        std::uint8_t* pc = static_cast<std::uint8_t*>(PyArray_DATA(core::as_array(code.get())));
        double* pr = core::data_of(r.get());
        double* pv = core::data_of(v.get());
        const bool whole = core::run_interruptible(
            n, static_cast<int>(threads),
            [&](const core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
                for (std::ptrdiff_t i = begin; i < end && !stop.raised(); ++i) {
                    sgp4k::sample(records->data(), ids + i, 1, jd.data(), fr.data(), m, pr + 3 * i * m, pv + 3 * i * m,
                                  pc + i * m, 1);
                }
            });
        if (!whole) return nullptr;
    }
    return PyTuple_Pack(3, code.get(), r.get(), v.get());
}

constexpr const char* kPointNames[] = {"records", "ids", "jd", "fr", "threads"};
constexpr core::Signature kPointSig{"sgp4_points", kPointNames, 5};

// sgp4_points(records, ids, jd, fr, threads) -> (code, r, v): record ids[q] at jd[q] + fr[q].
PyObject* py_sgp4_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!core::parse_args(kPointSig, args, nargs, kwnames, a)) return nullptr;
    const Records* records = records_of(a[0]);
    if (!records) return nullptr;
    long threads;
    if (!core::to_count(a[4], "sgp4_points: threads", threads)) return nullptr;
    core::Ref id_array = core::Ref::steal(
        PyArray_FROMANY(a[1], NPY_INT64, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY));
    if (!id_array) return nullptr;
    std::vector<double> jd, fr;
    if (!core::copy_finite(a[2], jd, "sgp4_points: jd") || !core::copy_finite(a[3], fr, "sgp4_points: fr"))
        return nullptr;
    const npy_intp n = PyArray_DIM(core::as_array(id_array.get()), 0);
    if (static_cast<npy_intp>(jd.size()) != n || static_cast<npy_intp>(fr.size()) != n) {
        PyErr_SetString(PyExc_ValueError, "sgp4_points: ids, jd and fr must have the same length");
        return nullptr;
    }
    const auto* ids = static_cast<const std::int64_t*>(PyArray_DATA(core::as_array(id_array.get())));
    const auto size = static_cast<std::int64_t>(records->size());
    for (npy_intp q = 0; q < n; ++q) {
        if (ids[q] < 0 || ids[q] >= size) {
            PyErr_Format(PyExc_IndexError, "sgp4_points: id %lld is not a record (0 to %lld)",
                         static_cast<long long>(ids[q]), static_cast<long long>(size - 1));
            return nullptr;
        }
        const sgp4k::Sgp4Object& obj = (*records)[static_cast<std::size_t>(ids[q])];
        const double t = (jd[q] - obj.jd) * 1440.0 + (fr[q] - obj.fr) * 1440.0;
        if (!(std::fabs(t) <= kMaxMinutes)) {
            PyErr_SetString(PyExc_ValueError,
                            "sgp4_points: the epochs must lie within 100 years of each element set's epoch");
            return nullptr;
        }
    }
    npy_intp shape[2] = {n, 3};
    core::Ref code = core::Ref::steal(PyArray_EMPTY(1, shape, NPY_UINT8, 0));
    core::Ref r = core::empty(2, shape);
    core::Ref v = core::empty(2, shape);
    if (!code || !r || !v) return nullptr;
    {
        std::uint8_t* pc = static_cast<std::uint8_t*>(PyArray_DATA(core::as_array(code.get())));
        double* pr = core::data_of(r.get());
        double* pv = core::data_of(v.get());
        // In blocks of points, the interrupt looked at between them.
        constexpr std::ptrdiff_t kBlock = 256;
        const bool whole = core::run_interruptible(
            n, static_cast<int>(threads),
            [&](const core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
                for (std::ptrdiff_t q = begin; q < end && !stop.raised(); q += kBlock) {
                    const std::ptrdiff_t count = std::min(kBlock, end - q);
                    sgp4k::points(records->data(), ids + q, count, jd.data() + q, fr.data() + q, pr + 3 * q, pv + 3 * q,
                                  pc + q);
                }
            });
        if (!whole) return nullptr;
    }
    return PyTuple_Pack(3, code.get(), r.get(), v.get());
}

PyMethodDef compiled_methods[] = {
    {"sgp4_records", (PyCFunction)(void (*)(void))core::entry<py_sgp4_records>, METH_FASTCALL | METH_KEYWORDS,
     "sgp4_records(elements, gravity)\n--\n\n"
     "SGP4 records of n element sets, built once: elements (n, 12) float64 with columns jd, fr (the epoch\n"
     "as a two-part UTC Julian Date), epoch (days from 1949 December 31 0h), bstar, ndot, nddot, ecco,\n"
     "argpo, inclo, mo, no_kozai, nodeo (sgp4init's arguments); gravity 0 (WGS72OLD), 1 (WGS72) or\n"
     "2 (WGS84), or bytes with one of these per set. Returns (records, codes): an opaque capsule and the model's int64 "
     "error code per set at\n"
     "its epoch."},
    {"sgp4_states", (PyCFunction)(void (*)(void))core::entry<py_sgp4_states>, METH_FASTCALL | METH_KEYWORDS,
     "sgp4_states(records, ids, jd, fr, threads)\n--\n\n"
     "TEME states of records[ids] at the UTC Julian Dates jd + fr: (code, r, v), code (n, m) uint8 (the\n"
     "model's error code per state; 255 for a non-finite state without one), r [m] and v [m/s]\n"
     "(n, m, 3) float64, NaN where the model gives no state. The epochs must lie within 100 years of each element "
     "set's epoch."},
    {"sgp4_points", (PyCFunction)(void (*)(void))core::entry<py_sgp4_points>, METH_FASTCALL | METH_KEYWORDS,
     "sgp4_points(records, ids, jd, fr, threads)\n--\n\n"
     "TEME states of records[ids[q]] at jd[q] + fr[q]: (code, r, v), code (n,) uint8 (as sgp4_states),\n"
     "r [m] and v [m/s]\n"
     "(n, 3) float64, NaN where the model gives no state."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* compiled_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int compiled_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_compiled"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    return 0;
error:
    return -1;
}

PyModuleDef_Slot compiled_slots[] = {{Py_mod_create, (void*)core::entry<compiled_create>},
                                     {Py_mod_exec, (void*)core::entry<compiled_exec>},
                                     {0, nullptr}};

PyModuleDef compiled_def = {PyModuleDef_HEAD_INIT,
                            "velarion.propagators.analytical.sgp4._compiled",
                            "SGP4 records of many element sets and their states, compiled.",
                            0,
                            compiled_methods,
                            compiled_slots,
                            nullptr,
                            nullptr,
                            nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__compiled() { return PyModuleDef_Init(&compiled_def); }
