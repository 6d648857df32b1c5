// velarion.propagators.analytical.sgp4._compiled: Records, a read-only
// catalogue of SGP4/SDP4 records built once from element sets (TLE, OMM or
// any ELSET), and their TEME states at many epochs, in compiled code with
// the interpreter lock released. It is the one SGP4 engine: the SGP4
// propagator runs one record of it, the pass search and the conjunction
// screening whole catalogues (the screening's kernels read the records
// through records.hpp).
#include "velarion/propagators/analytical/sgp4/records.hpp"

#include "velarion/_core/core.hpp"
#include "velarion/_core/interrupt.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/sample.hpp"
#include "velarion/propagators/analytical/sgp4/records_build.hpp"
#include "velarion/propagators/analytical/sgp4/tle.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace core = velarion::core;
namespace sgp4 = velarion::propagators::analytical::sgp4;
namespace sgp4k = velarion::propagators::analytical::sgp4::kernels;
using core::Ref;
using sgp4::RecordsObject;

namespace {

core::ModuleOnce g_once;
PyTypeObject* g_records = nullptr;  // owned (kept for the module's life)

// Resonant deep-space orbits integrate in 12-hour steps: the span of the
// epochs from each element set's is bounded.
constexpr double kMaxMinutes = 100.0 * 366.0 * 1440.0;

using namespace sgp4::records_build;

constexpr const char* kNewNames[] = {"elsets", "gravity"};
constexpr core::Signature kNewSig{"Records", kNewNames, 1};

// Records(elsets, gravity="wgs72")
PyObject* Records_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    core::Args<2> a;
    if (!core::parse_args(kNewSig, args, kwargs, a)) return nullptr;
    PyObject* gravity = a[1] ? a[1] : nullptr;
    Ref elsets;
    if (sgp4::ELSET_Check(a[0])) {
        elsets = Ref::steal(PyTuple_Pack(1, a[0]));
    } else if (PyUnicode_Check(a[0]) || PyBytes_Check(a[0])) {
        PyErr_Format(PyExc_TypeError, "Records takes a sequence of element sets, not %.200s", Py_TYPE(a[0])->tp_name);
        return nullptr;
    } else {
        // A private tuple: what the sequence holds cannot change while the
        // rows are built (the epochs' conversion runs Python code).
        elsets = Ref::steal(PySequence_Tuple(a[0]));
    }
    if (!elsets) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(elsets.get());
    std::vector<int> models;
    Ref wgs72;
    if (!gravity) {
        wgs72 = Ref::steal(PyUnicode_FromString("wgs72"));
        if (!wgs72) return nullptr;
        gravity = wgs72.get();
    }
    if (!gravity_indices(gravity, n, models)) return nullptr;
    std::vector<double> rows;
    Ref satnums;
    if (!elset_rows(elsets.get(), rows, satnums)) return nullptr;
    return build(type, rows, models, std::move(satnums));
}

constexpr const char* kFromNames[] = {"elements", "gravity"};
constexpr core::Signature kFromSig{"from_elements", kFromNames, 1};

// Records.from_elements(elements, gravity="wgs72"): records of raw sgp4init rows.
PyObject* Records_from_elements(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kFromSig, args, nargs, kwnames, a)) return nullptr;
    core::View2D elements;
    if (!elements.acquire(a[0], false)) return nullptr;
    auto e = elements.span2();
    if (e.cols != kElementColumns) {
        PyErr_Format(PyExc_ValueError, "from_elements: elements must have %d columns, got %zd", kElementColumns,
                     e.cols);
        return nullptr;
    }
    std::vector<double> rows(static_cast<std::size_t>(e.rows) * kElementColumns);
    for (core::index_t i = 0; i < e.rows; ++i)
        for (int x = 0; x < kElementColumns; ++x) rows[static_cast<std::size_t>(i * kElementColumns + x)] = e(i, x);
    elements.release();
    std::vector<int> models;
    Ref wgs72;
    PyObject* gravity = a[1];
    if (!gravity) {
        wgs72 = Ref::steal(PyUnicode_FromString("wgs72"));
        if (!wgs72) return nullptr;
        gravity = wgs72.get();
    }
    if (!gravity_indices(gravity, e.rows, models)) return nullptr;
    Ref satnums = Ref::steal(PyTuple_New(e.rows));
    if (!satnums) return nullptr;
    for (core::index_t i = 0; i < e.rows; ++i) {
        Py_INCREF(Py_None);
        PyTuple_SET_ITEM(satnums.get(), i, Py_None);
    }
    return build(reinterpret_cast<PyTypeObject*>(cls), rows, models, std::move(satnums));
}

// What an instance owns (no cycles: arrays and tuples of ints and strs).
int Records_release(PyObject* self) {
    RecordsObject* rec = as_records(self);
    delete[] rec->objects;
    rec->objects = nullptr;
    Py_CLEAR(rec->elements);
    Py_CLEAR(rec->codes);
    Py_CLEAR(rec->satnums);
    Py_CLEAR(rec->gravity);
    return 0;
}

Py_ssize_t Records_len(PyObject* self) { return as_records(self)->size; }

PyObject* Records_repr(PyObject* self) {
    return PyUnicode_FromFormat("<Records of %zd element sets>", Records_len(self));
}

// --- states ---------------------------------------------------------------------

// The ids as a private int64 copy, checked against the records.
Ref checked_ids(const RecordsObject* rec, PyObject* obj, const char* caller) {
    Ref ids = Ref::steal(
        PyArray_FROMANY(obj, NPY_INT64, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY));
    if (!ids) return {};
    const npy_intp n = PyArray_DIM(core::as_array(ids.get()), 0);
    const auto* p = static_cast<const std::int64_t*>(PyArray_DATA(core::as_array(ids.get())));
    for (npy_intp i = 0; i < n; ++i) {
        if (p[i] < 0 || p[i] >= rec->size) {
            PyErr_Format(PyExc_IndexError, "%s: id %lld is not a record (0 to %lld)", caller,
                         static_cast<long long>(p[i]), static_cast<long long>(rec->size - 1));
            return {};
        }
    }
    return ids;
}

bool within_reach(double minutes) { return std::fabs(minutes) <= kMaxMinutes; }

// The common part of states and steps: records, ids, epochs, checked.
struct Grid {
    const RecordsObject* rec = nullptr;
    Ref ids;
    const std::int64_t* id = nullptr;
    npy_intp n = 0;
    std::vector<double> jd, fr;
};

bool parse_grid(PyObject* self, PyObject* ids, PyObject* jd, PyObject* fr, const char* caller, Grid& g) {
    g.rec = as_records(self);
    if (!(g.ids = checked_ids(g.rec, ids, caller))) return false;
    g.n = PyArray_DIM(core::as_array(g.ids.get()), 0);
    g.id = static_cast<const std::int64_t*>(PyArray_DATA(core::as_array(g.ids.get())));
    char what_jd[64], what_fr[64];
    std::snprintf(what_jd, sizeof what_jd, "%s: jd", caller);
    std::snprintf(what_fr, sizeof what_fr, "%s: fr", caller);
    if (!core::copy_finite(jd, g.jd, what_jd) || !core::copy_finite(fr, g.fr, what_fr)) return false;
    if (g.jd.size() != g.fr.size()) {
        PyErr_Format(PyExc_ValueError, "%s: jd and fr must have the same length", caller);
        return false;
    }
    if (g.jd.empty()) return true;
    const auto [jd_lo, jd_hi] = std::minmax_element(g.jd.begin(), g.jd.end());
    const auto [fr_lo, fr_hi] = std::minmax_element(g.fr.begin(), g.fr.end());
    for (npy_intp i = 0; i < g.n; ++i) {
        const sgp4k::Sgp4Object& obj = g.rec->objects[g.id[i]];
        const double lo = (*jd_lo - obj.jd) * 1440.0 + (*fr_lo - obj.fr) * 1440.0;
        const double hi = (*jd_hi - obj.jd) * 1440.0 + (*fr_hi - obj.fr) * 1440.0;
        if (!(within_reach(lo) && within_reach(hi))) {
            PyErr_Format(PyExc_ValueError, "%s: the epochs must lie within 100 years of each element set's epoch",
                         caller);
            return false;
        }
    }
    return true;
}

// The states of records `ids` at the epochs jd + fr, for `caller` (its
// name in messages): (code, r, v).
PyObject* states_of(PyObject* self, PyObject* ids, PyObject* jd, PyObject* fr, PyObject* threads_obj,
                    const char* caller) {
    long threads = 1;
    char what[64];
    std::snprintf(what, sizeof what, "%s: threads", caller);
    if (threads_obj && !core::to_count(threads_obj, what, threads)) return nullptr;
    Grid g;
    if (!parse_grid(self, ids, jd, fr, caller, g)) return nullptr;
    const npy_intp m = static_cast<npy_intp>(g.jd.size());
    npy_intp shape[3] = {g.n, m, 3};
    Ref code = Ref::steal(PyArray_EMPTY(2, shape, NPY_UINT8, 0));
    Ref r = core::empty(3, shape);
    Ref v = core::empty(3, shape);
    if (!code || !r || !v) return nullptr;
    auto* pc = static_cast<std::uint8_t*>(PyArray_DATA(core::as_array(code.get())));
    double* pr = core::data_of(r.get());
    double* pv = core::data_of(v.get());
    // One record at a time, the interrupt looked at between them.
    const bool whole = core::run_interruptible(
        g.n, static_cast<int>(threads),
        [&](const core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t i = begin; i < end && !stop.raised(); ++i)
                sgp4k::run(g.rec->objects[g.id[i]], g.jd.data(), g.fr.data(), m, pr + 3 * i * m, pv + 3 * i * m,
                           pc + i * m);
        });
    if (!whole) return nullptr;
    return PyTuple_Pack(3, code.get(), r.get(), v.get());
}

constexpr const char* kStateNames[] = {"ids", "jd", "fr", "threads"};
constexpr core::Signature kStateSig{"states", kStateNames, 3};

// Records.states(ids, jd, fr, threads=1) -> (code, r, v)
PyObject* Records_states(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!core::parse_args(kStateSig, args, nargs, kwnames, a)) return nullptr;
    return states_of(self, a[0], a[1], a[2], a[3], "states");
}

constexpr const char* kStepNames[] = {"ids", "jd", "fr"};
constexpr core::Signature kStepSig{"resonance_steps", kStepNames, 3};

// Records.resonance_steps(ids, jd, fr) -> int64 (n,): the 720-minute steps
// of the resonance integrator that states() takes for each record.
PyObject* Records_resonance_steps(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kStepSig, args, nargs, kwnames, a)) return nullptr;
    Grid g;
    if (!parse_grid(self, a[0], a[1], a[2], "resonance_steps", g)) return nullptr;
    const npy_intp m = static_cast<npy_intp>(g.jd.size());
    npy_intp n = g.n;
    Ref steps = Ref::steal(PyArray_EMPTY(1, &n, NPY_INT64, 0));
    if (!steps) return nullptr;
    auto* ps = static_cast<std::int64_t*>(PyArray_DATA(core::as_array(steps.get())));
    std::vector<double> r(static_cast<std::size_t>(3 * m)), v(static_cast<std::size_t>(3 * m));
    std::vector<std::uint8_t> code(static_cast<std::size_t>(m));
    {
        core::ReleaseGil unlocked;
        for (npy_intp i = 0; i < g.n; ++i)
            ps[i] = sgp4k::run(g.rec->objects[g.id[i]], g.jd.data(), g.fr.data(), m, r.data(), v.data(), code.data());
    }
    return steps.release();
}

// The states of records ids[q] at jd[q] + fr[q], for `caller`: (code, r, v).
PyObject* points_of(PyObject* self, PyObject* ids_obj, PyObject* jd_obj, PyObject* fr_obj, PyObject* threads_obj,
                    const char* caller) {
    const RecordsObject* rec = as_records(self);
    long threads = 1;
    char what[64];
    std::snprintf(what, sizeof what, "%s: threads", caller);
    if (threads_obj && !core::to_count(threads_obj, what, threads)) return nullptr;
    Ref id_array = checked_ids(rec, ids_obj, caller);
    if (!id_array) return nullptr;
    std::vector<double> jd, fr;
    char what_jd[64], what_fr[64];
    std::snprintf(what_jd, sizeof what_jd, "%s: jd", caller);
    std::snprintf(what_fr, sizeof what_fr, "%s: fr", caller);
    if (!core::copy_finite(jd_obj, jd, what_jd) || !core::copy_finite(fr_obj, fr, what_fr)) return nullptr;
    const npy_intp n = PyArray_DIM(core::as_array(id_array.get()), 0);
    if (static_cast<npy_intp>(jd.size()) != n || static_cast<npy_intp>(fr.size()) != n) {
        PyErr_Format(PyExc_ValueError, "%s: ids, jd and fr must have the same length", caller);
        return nullptr;
    }
    const auto* ids = static_cast<const std::int64_t*>(PyArray_DATA(core::as_array(id_array.get())));
    for (npy_intp q = 0; q < n; ++q) {
        const sgp4k::Sgp4Object& obj = rec->objects[ids[q]];
        if (!within_reach((jd[q] - obj.jd) * 1440.0 + (fr[q] - obj.fr) * 1440.0)) {
            PyErr_Format(PyExc_ValueError, "%s: the epochs must lie within 100 years of each element set's epoch",
                         caller);
            return nullptr;
        }
    }
    npy_intp shape[2] = {n, 3};
    Ref code = Ref::steal(PyArray_EMPTY(1, shape, NPY_UINT8, 0));
    Ref r = core::empty(2, shape);
    Ref v = core::empty(2, shape);
    if (!code || !r || !v) return nullptr;
    auto* pc = static_cast<std::uint8_t*>(PyArray_DATA(core::as_array(code.get())));
    double* pr = core::data_of(r.get());
    double* pv = core::data_of(v.get());
    // In blocks of points, the interrupt looked at between them.
    constexpr std::ptrdiff_t kBlock = 256;
    const bool whole = core::run_interruptible(
        n, static_cast<int>(threads),
        [&](const core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t q = begin; q < end && !stop.raised(); q += kBlock) {
                const std::ptrdiff_t count = std::min(kBlock, end - q);
                sgp4k::points(rec->objects, ids + q, count, jd.data() + q, fr.data() + q, pr + 3 * q, pv + 3 * q,
                              pc + q);
            }
        });
    if (!whole) return nullptr;
    return PyTuple_Pack(3, code.get(), r.get(), v.get());
}

constexpr const char* kPointNames[] = {"ids", "jd", "fr", "threads"};
constexpr core::Signature kPointSig{"points", kPointNames, 3};

// Records.points(ids, jd, fr, threads=1) -> (code, r, v): record ids[q] at jd[q] + fr[q].
PyObject* Records_points(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!core::parse_args(kPointSig, args, nargs, kwnames, a)) return nullptr;
    return points_of(self, a[0], a[1], a[2], a[3], "points");
}

// --- the module's functions (the records of raw rows) ---------------------------

constexpr const char* kRecordNames[] = {"elements", "gravity"};
constexpr core::Signature kRecordSig{"sgp4_records", kRecordNames, 2};

// sgp4_records(elements, gravity) -> (records, codes): gravity 0 (WGS72OLD),
// 1 (WGS72) or 2 (WGS84) for all, or bytes of these, one per row.
PyObject* py_sgp4_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kRecordSig, args, nargs, kwnames, a)) return nullptr;
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
    // The codes of the rows number the models as the reference's constants
    // do (WGS72OLD, WGS72, WGS84), which is the order of kGravityNames.
    std::vector<int> models(static_cast<std::size_t>(e.rows));
    for (core::index_t i = 0; i < e.rows; ++i) {
        const long code = per_row ? per_row[i] : which;
        if (code < 0 || code > 2) {
            PyErr_Format(PyExc_ValueError,
                         "sgp4_records: gravity must be 0 (WGS72OLD), 1 (WGS72) or 2 (WGS84), got %ld", code);
            return nullptr;
        }
        models[static_cast<std::size_t>(i)] = static_cast<int>(code);
    }
    std::vector<double> rows(static_cast<std::size_t>(e.rows) * kElementColumns);
    for (core::index_t i = 0; i < e.rows; ++i)
        for (int x = 0; x < kElementColumns; ++x) rows[static_cast<std::size_t>(i * kElementColumns + x)] = e(i, x);
    Ref satnums = Ref::steal(PyTuple_New(e.rows));
    if (!satnums) return nullptr;
    for (core::index_t i = 0; i < e.rows; ++i) PyTuple_SET_ITEM(satnums.get(), i, Py_NewRef(Py_None));
    Ref records = Ref::steal(build(g_records, rows, models, std::move(satnums)));
    if (!records) return nullptr;
    return PyTuple_Pack(2, records.get(), as_records(records.get())->codes);
}

bool is_records(PyObject* obj, const char* caller) {
    if (sgp4::Records_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "%s: records must come from sgp4_records or Records, not %.200s", caller,
                 Py_TYPE(obj)->tp_name);
    return false;
}

constexpr const char* kFnStateNames[] = {"records", "ids", "jd", "fr", "threads"};
constexpr core::Signature kFnStateSig{"sgp4_states", kFnStateNames, 5};

// sgp4_states(records, ids, jd, fr, threads) -> (code, r, v): records.states.
PyObject* py_sgp4_states(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!core::parse_args(kFnStateSig, args, nargs, kwnames, a)) return nullptr;
    if (!is_records(a[0], "sgp4_states")) return nullptr;
    return states_of(a[0], a[1], a[2], a[3], a[4], "sgp4_states");
}

constexpr core::Signature kFnPointSig{"sgp4_points", kFnStateNames, 5};

// sgp4_points(records, ids, jd, fr, threads) -> (code, r, v): records.points.
PyObject* py_sgp4_points(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!core::parse_args(kFnPointSig, args, nargs, kwnames, a)) return nullptr;
    if (!is_records(a[0], "sgp4_points")) return nullptr;
    return points_of(a[0], a[1], a[2], a[3], a[4], "sgp4_points");
}

// Records.secular_rates() -> (n, 3): mdot, argpdot, nodedot [rad/min].
PyObject* Records_secular_rates(PyObject* self, PyObject*) {
    const RecordsObject* rec = as_records(self);
    npy_intp shape[2] = {rec->size, 3};
    Ref out = core::empty(2, shape);
    if (!out) return nullptr;
    double* p = core::data_of(out.get());
    for (Py_ssize_t i = 0; i < rec->size; ++i) {
        const sgp4k::Record& r = rec->objects[i].record;
        p[3 * i] = r.mdot;
        p[3 * i + 1] = r.argpdot;
        p[3 * i + 2] = r.nodedot;
    }
    return out.release();
}

PyObject* Records_get_elements(PyObject* self, void*) { return Py_NewRef(as_records(self)->elements); }
PyObject* Records_get_codes(PyObject* self, void*) { return Py_NewRef(as_records(self)->codes); }
PyObject* Records_get_satnums(PyObject* self, void*) { return Py_NewRef(as_records(self)->satnums); }
PyObject* Records_get_gravity(PyObject* self, void*) { return Py_NewRef(as_records(self)->gravity); }

PyGetSetDef Records_getset[] = {
    {"elements", core::entry<Records_get_elements>, nullptr,
     "(n, 12) float64, read-only: what each record started from (jd, fr, epoch, bstar, ndot, nddot, ecco, argpo, "
     "inclo, mo, no_kozai, nodeo: sgp4init's arguments, the epoch as a two-part UTC Julian Date on the model's scale "
     "and in days from 1949 December 31 0h).",
     nullptr},
    {"codes", core::entry<Records_get_codes>, nullptr,
     "(n,) int64, read-only: the model's error code of each element set at its epoch (0: it starts).", nullptr},
    {"satnums", core::entry<Records_get_satnums>, nullptr,
     "The catalogue number of each element set (None for one without).", nullptr},
    {"gravity", core::entry<Records_get_gravity>, nullptr, "The gravity model of each record.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef Records_methods[] = {
    {"from_elements", VELARION_FASTCALL(Records_from_elements), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_elements($type, elements, gravity='wgs72')\n--\n\n"
     "Records of raw sgp4init rows: elements (n, 12) float64 with the columns of `elements`."},
    {"states", VELARION_FASTCALL(Records_states), METH_FASTCALL | METH_KEYWORDS,
     "states($self, ids, jd, fr, threads=1)\n--\n\n"
     "TEME states of records[ids] at the UTC Julian Dates jd + fr (the model's scale): (code, r, v), code\n"
     "(n, m) uint8 (the model's error code per state; 255 for a non-finite state without one), r [m] and\n"
     "v [m/s] (n, m, 3) float64, NaN where the model gives no state. The resonance integrator of a\n"
     "deep-space record carries its state from one epoch to the next (sorted epochs integrate each step\n"
     "once). The epochs must lie within 100 years of each element set's epoch."},
    {"points", VELARION_FASTCALL(Records_points), METH_FASTCALL | METH_KEYWORDS,
     "points($self, ids, jd, fr, threads=1)\n--\n\n"
     "TEME states of records[ids[q]] at jd[q] + fr[q]: (code, r, v), code (n,) uint8 (as states), r [m] and\n"
     "v [m/s] (n, 3) float64, NaN where the model gives no state."},
    {"resonance_steps", VELARION_FASTCALL(Records_resonance_steps), METH_FASTCALL | METH_KEYWORDS,
     "resonance_steps($self, ids, jd, fr)\n--\n\n"
     "The 720-minute steps of the resonance integrator that states(ids, jd, fr) takes for each record\n"
     "(int64, 0 for a record without a resonance)."},
    {"secular_rates", core::entry<Records_secular_rates>, METH_NOARGS,
     "secular_rates($self)\n--\n\n"
     "The model's secular rates of each record: (n, 3) float64, mdot, argpdot, nodedot [rad/min]."},
    VELARION_NO_PICKLE_METHODS,
    {nullptr, nullptr, 0, nullptr}};

constexpr const char kRecordsDoc[] =
    "Records(elsets, gravity='wgs72')\n--\n\n"
    "A read-only catalogue of SGP4/SDP4 records, one per element set (a TLE starts the model from its text\n"
    "as the reference's twoline2rv does; an OMM record or another ELSET from its fields). gravity: the\n"
    "model's Earth constants, 'wgs72', 'wgs72old' or 'wgs84', for all or one per element set. Nothing in\n"
    "it changes once built: one catalogue may serve many threads.";

PyType_Slot Records_slots[] = {{Py_tp_doc, (void*)kRecordsDoc},
                               {Py_tp_new, (void*)core::entry<Records_new>},
                               {Py_tp_dealloc, (void*)core::entry<core::heap_dealloc<Records_release>>},
                               {Py_tp_repr, (void*)core::entry<Records_repr>},
                               {Py_sq_length, (void*)core::entry<Records_len>},
                               {Py_mp_length, (void*)core::entry<Records_len>},
                               {Py_tp_getset, Records_getset},
                               {Py_tp_methods, Records_methods},
                               {0, nullptr}};

PyType_Spec Records_spec = {"velarion.propagators.analytical.sgp4._compiled.Records", sizeof(RecordsObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, Records_slots};

// --- module ---------------------------------------------------------------------

PyObject* compiled_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int compiled_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_compiled"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(sgp4::import_tle());
    VELARION_CHECK(g_records = core::add_type(module, &Records_spec));
    sgp4::Records_Type = g_records;
    VELARION_CHECK(PyModule_AddIntConstant(module, "NON_FINITE_CODE", sgp4k::kNonFinite));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot compiled_slots[] = {{Py_mod_create, (void*)core::entry<compiled_create>},
                                     {Py_mod_exec, (void*)core::entry<compiled_exec>},
                                     {0, nullptr}};

PyMethodDef compiled_methods[] = {
    {"sgp4_records", VELARION_FASTCALL(py_sgp4_records), METH_FASTCALL | METH_KEYWORDS,
     "sgp4_records(elements, gravity)\n--\n\n"
     "Records of raw sgp4init rows: elements (n, 12) float64 (the columns of Records.elements); gravity\n"
     "0 (WGS72OLD), 1 (WGS72) or 2 (WGS84), or bytes with one of these per row. Returns (records, codes):\n"
     "the Records and the model's int64 error code per row at its epoch."},
    {"sgp4_states", VELARION_FASTCALL(py_sgp4_states), METH_FASTCALL | METH_KEYWORDS,
     "sgp4_states(records, ids, jd, fr, threads)\n--\n\nrecords.states(ids, jd, fr, threads)."},
    {"sgp4_points", VELARION_FASTCALL(py_sgp4_points), METH_FASTCALL | METH_KEYWORDS,
     "sgp4_points(records, ids, jd, fr, threads)\n--\n\nrecords.points(ids, jd, fr, threads)."},
    {nullptr, nullptr, 0, nullptr}};

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
