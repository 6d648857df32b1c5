// velarion.conjunctions._screen: the compiled parts of
// velarion.conjunctions.screen. The Python package proves the interpolation
// bounds, samples the SGP4 states (velarion.propagators.analytical.sgp4._compiled)
// and refines the candidates; this module runs the pair search over the
// samples and refines its candidate segments on the SGP4 records, on several
// threads with the interpreter lock released (interrupts polled).
#include "velarion/_core/core.hpp"
#include "velarion/_core/interrupt.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/_core/parallel.hpp"
#include "velarion/propagators/analytical/sgp4/records.hpp"
#include "velarion/conjunctions/kernels/refine.hpp"
#include "velarion/conjunctions/kernels/screen.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace core = velarion::core;
namespace kn = velarion::conjunctions::kernels;

namespace {

core::ModuleOnce g_once;

constexpr const char* kNames[] = {"r",         "v",       "step",    "substeps", "bound",        "r_min", "r_max",
                                  "threshold", "primary", "threads", "until",    "primary_grid", "limit"};
constexpr core::Signature kSig{"candidates", kNames, 10};

// Workers of the search over `intervals` intervals (at least 1).
std::size_t parts_of(core::index_t intervals, long threads) {
    return static_cast<std::size_t>(
        std::max<core::index_t>(1, core::worker_count(intervals, static_cast<int>(threads))));
}

// An int64 vector of n entries (a private copy), or None.
bool optional_counts(PyObject* obj, core::Ref& out, core::index_t n, const char* what) {
    if (obj == Py_None) return true;
    out = core::Ref::steal(
        PyArray_FROMANY(obj, NPY_INT64, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY));
    if (!out) return false;
    if (PyArray_DIM(core::as_array(out.get()), 0) != n) {
        PyErr_Format(PyExc_ValueError, "candidates: %s must hold one entry per object (%zd)", what, n);
        return false;
    }
    return true;
}

// candidates(r, v, step, substeps, bound, r_min, r_max, threshold, primary, threads, until, primary_grid)
//   -> (i, j, segment)
PyObject* py_candidates(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[13];
    if (!core::parse_args(kSig, args, nargs, kwnames, a)) return nullptr;
    // Numbers first: their conversions may run Python code; the buffers are
    // taken after them and held (read-only exports) until the search ends.
    double step, threshold;
    long substeps, threads;
    if (!core::to_double(a[2], step) || !core::to_double(a[7], threshold)) return nullptr;
    if (!core::to_count(a[3], "candidates: substeps", substeps) ||
        !core::to_count(a[9], "candidates: threads", threads))
        return nullptr;
    if (!(std::isfinite(step) && step > 0.0) || !(std::isfinite(threshold) && threshold >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "candidates: step must be positive and threshold non-negative (finite)");
        return nullptr;
    }
    core::Ref primary_bytes;
    if (a[8] != Py_None) {
        if (!PyBytes_CheckExact(a[8])) {
            PyErr_Format(PyExc_TypeError, "candidates: primary must be bytes or None, not %.200s",
                         Py_TYPE(a[8])->tp_name);
            return nullptr;
        }
        primary_bytes = core::Ref::borrow(a[8]);
    }
    if (!a[10]) a[10] = Py_None;
    if (!a[11]) a[11] = Py_False;
    if (!PyBool_Check(a[11])) {
        PyErr_Format(PyExc_TypeError, "candidates: primary_grid must be a bool, not %.200s", Py_TYPE(a[11])->tp_name);
        return nullptr;
    }
    const bool primary_grid = a[11] == Py_True;
    long long limit = -1;  // -1: none
    if (a[12] && a[12] != Py_None) {
        if (!PyLong_CheckExact(a[12])) {
            PyErr_Format(PyExc_TypeError, "candidates: limit must be an int or None, not %.200s",
                         Py_TYPE(a[12])->tp_name);
            return nullptr;
        }
        limit = PyLong_AsLongLong(a[12]);
        if (limit == -1 && PyErr_Occurred()) return nullptr;
        if (limit < 0) {
            PyErr_SetString(PyExc_ValueError, "candidates: limit must not be negative");
            return nullptr;
        }
    }
    core::View2D r, v;
    core::View1D bound, r_min, r_max;
    if (!r.acquire(a[0], false) || !v.acquire(a[1], false) || !bound.acquire(a[4], false) ||
        !r_min.acquire(a[5], false) || !r_max.acquire(a[6], false))
        return nullptr;
    const core::index_t n = bound.shape(0);
    const core::index_t rows = r.shape(0);
    if (n < 1 || rows % n != 0 || rows / n < 1) {
        PyErr_Format(PyExc_ValueError, "candidates: %zd state rows do not make whole series for %zd objects", rows, n);
        return nullptr;
    }
    if (!core::require_contiguous_rows3_finite(r, rows, "candidates: r") ||
        !core::require_contiguous_rows3_finite(v, rows, "candidates: v") ||
        !core::require_contiguous_finite(bound, n, "candidates: bound") ||
        !core::require_contiguous_finite(r_min, n, "candidates: r_min") ||
        !core::require_contiguous_finite(r_max, n, "candidates: r_max"))
        return nullptr;
    if (primary_bytes && PyBytes_GET_SIZE(primary_bytes.get()) != n) {
        PyErr_Format(PyExc_ValueError, "candidates: primary must hold one byte per object (%zd)", n);
        return nullptr;
    }
    // A copy: converting a list runs no code that could change it later.
    core::Ref until;
    if (!optional_counts(a[10], until, n, "until")) return nullptr;

    kn::Catalogue cat;
    cat.r = reinterpret_cast<const double*>(r.span2().base);
    cat.v = reinterpret_cast<const double*>(v.span2().base);
    cat.n = n;
    cat.m = rows / n;
    cat.bound = reinterpret_cast<const double*>(bound.span1().base);
    cat.r_min = reinterpret_cast<const double*>(r_min.span1().base);
    cat.r_max = reinterpret_cast<const double*>(r_max.span1().base);
    if (primary_bytes) cat.primary = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(primary_bytes.get()));
    if (until) cat.until = static_cast<const std::int64_t*>(PyArray_DATA(core::as_array(until.get())));
    kn::Settings set;
    set.step = step;
    set.substeps = static_cast<int>(substeps);
    set.threshold = threshold;
    set.primary_grid = primary_grid;
    if (limit >= 0) set.limit = static_cast<std::size_t>(limit) / parts_of(cat.m - 1, threads);

    const core::index_t intervals = std::max<core::index_t>(cat.m - 1, 0);
    std::vector<std::vector<kn::Candidate>> parts(
        static_cast<std::size_t>(std::max<core::index_t>(1, core::worker_count(intervals, static_cast<int>(threads)))));
    const bool whole = core::run_interruptible(
        intervals, static_cast<int>(threads),
        [&](const core::StopFlag& stop, std::ptrdiff_t w, std::ptrdiff_t begin, std::ptrdiff_t end) {
            kn::screen_range(cat, set, begin, end, parts[static_cast<std::size_t>(w)], &stop);
        });
    if (!whole) return nullptr;
    for (const auto& part : parts)
        if (part.size() > set.limit) Py_RETURN_NONE;  // over the caller's limit: the search stopped
    std::vector<kn::Candidate> found = kn::merge_found(parts);
    npy_intp count = static_cast<npy_intp>(found.size());
    core::Ref i = core::Ref::steal(PyArray_EMPTY(1, &count, NPY_INT64, 0));
    core::Ref j = core::Ref::steal(PyArray_EMPTY(1, &count, NPY_INT64, 0));
    core::Ref segment = core::Ref::steal(PyArray_EMPTY(1, &count, NPY_INT64, 0));
    if (!i || !j || !segment) return nullptr;
    auto* pi = static_cast<std::int64_t*>(PyArray_DATA(core::as_array(i.get())));
    auto* pj = static_cast<std::int64_t*>(PyArray_DATA(core::as_array(j.get())));
    auto* ps = static_cast<std::int64_t*>(PyArray_DATA(core::as_array(segment.get())));
    for (npy_intp q = 0; q < count; ++q) {
        pi[q] = found[q].i;
        pj[q] = found[q].j;
        ps[q] = found[q].segment;
    }
    return PyTuple_Pack(3, i.get(), j.get(), segment.get());
}

namespace sgp4 = velarion::propagators::analytical::sgp4;
constexpr double kMaxMinutes = 100.0 * 366.0 * 1440.0;

constexpr const char* kRefineNames[] = {"records", "jd", "fr", "i", "j", "ta", "tb", "threshold", "threads", "slack"};
constexpr core::Signature kRefineSig{"refine", kRefineNames, 9};

// An int64 vector (a private copy).
core::Ref int64_vector(PyObject* obj) {
    return core::Ref::steal(
        PyArray_FROMANY(obj, NPY_INT64, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY));
}

// refine(records, jd, fr, i, j, ta, tb, threshold, threads, slack=None) -> (status, tca, states, ends)
PyObject* py_refine(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[10];
    if (!core::parse_args(kRefineSig, args, nargs, kwnames, a)) return nullptr;
    // The records of a Records catalogue never change once built.
    if (!sgp4::Records_Check(a[0])) {
        PyErr_Format(PyExc_TypeError, "refine: records must be a Records catalogue, not %.200s",
                     Py_TYPE(a[0])->tp_name);
        return nullptr;
    }
    const auto* records = reinterpret_cast<const sgp4::RecordsObject*>(a[0]);
    double jd, fr, threshold;
    long threads;
    if (!core::to_double(a[1], jd) || !core::to_double(a[2], fr) || !core::to_double(a[7], threshold) ||
        !core::to_count(a[8], "refine: threads", threads))
        return nullptr;
    if (!std::isfinite(jd) || !std::isfinite(fr) || !(threshold >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "refine: jd and fr must be finite, threshold non-negative");
        return nullptr;
    }
    core::Ref ri = int64_vector(a[3]), rj;
    if (!ri) return nullptr;
    rj = int64_vector(a[4]);
    if (!rj) return nullptr;
    std::vector<double> ta, tb;
    if (!core::copy_finite(a[5], ta, "refine: ta") || !core::copy_finite(a[6], tb, "refine: tb")) return nullptr;
    std::vector<double> slack;
    const bool with_slack = a[9] && a[9] != Py_None;
    if (with_slack && !core::copy_finite(a[9], slack, "refine: slack")) return nullptr;
    const npy_intp n = PyArray_DIM(core::as_array(ri.get()), 0);
    if (PyArray_DIM(core::as_array(rj.get()), 0) != n || static_cast<npy_intp>(ta.size()) != n ||
        static_cast<npy_intp>(tb.size()) != n || (with_slack && static_cast<npy_intp>(slack.size()) != n)) {
        PyErr_SetString(PyExc_ValueError, "refine: i, j, ta, tb (and slack) must have the same length");
        return nullptr;
    }
    for (const double e : slack) {
        if (!(e >= 0.0)) {
            PyErr_SetString(PyExc_ValueError, "refine: slack must not be negative");
            return nullptr;
        }
    }
    const auto* pi = static_cast<const std::int64_t*>(PyArray_DATA(core::as_array(ri.get())));
    const auto* pj = static_cast<const std::int64_t*>(PyArray_DATA(core::as_array(rj.get())));
    const auto size = static_cast<std::int64_t>(records->size);
    std::vector<double> base(static_cast<std::size_t>(records->size));
    for (std::size_t k = 0; k < base.size(); ++k)
        base[k] = ((jd - records->objects[k].jd) + (fr - records->objects[k].fr)) * 1440.0;
    for (npy_intp q = 0; q < n; ++q) {
        if (pi[q] < 0 || pi[q] >= size || pj[q] < 0 || pj[q] >= size) {
            PyErr_Format(PyExc_IndexError, "refine: candidate %zd names no record (0 to %lld)",
                         static_cast<Py_ssize_t>(q), static_cast<long long>(size - 1));
            return nullptr;
        }
        if (!(ta[q] <= tb[q])) {
            PyErr_SetString(PyExc_ValueError, "refine: each segment must have ta <= tb");
            return nullptr;
        }
        for (const std::int64_t k : {pi[q], pj[q]}) {
            const double b = base[static_cast<std::size_t>(k)];
            if (!(std::fabs(b + ta[q] / 60.0) <= kMaxMinutes && std::fabs(b + tb[q] / 60.0) <= kMaxMinutes)) {
                PyErr_SetString(PyExc_ValueError,
                                "refine: the segments must lie within 100 years of each element set's epoch");
                return nullptr;
            }
        }
    }
    npy_intp shape_states[2] = {n, 12}, shape_ends[2] = {n, 2};
    core::Ref status = core::Ref::steal(PyArray_EMPTY(1, &n, NPY_UINT8, 0));
    core::Ref tca = core::empty(1, &n);
    core::Ref states = core::empty(2, shape_states);
    core::Ref ends = core::empty(2, shape_ends);
    if (!status || !tca || !states || !ends) return nullptr;
    kn::RefineInput in;
    in.objects = records->objects;
    in.base_minutes = base.data();
    in.rec_i = pi;
    in.rec_j = pj;
    in.ta = ta.data();
    in.tb = tb.data();
    in.threshold = threshold;
    if (with_slack) in.slack = slack.data();
    kn::RefineOutput out;
    out.status = static_cast<std::uint8_t*>(PyArray_DATA(core::as_array(status.get())));
    out.tca = core::data_of(tca.get());
    out.states = core::data_of(states.get());
    out.ends = core::data_of(ends.get());
    // In blocks of candidates taken by whichever worker is free (their cost
    // varies: a slow encounter takes more steps), the interrupt looked at
    // between them.
    constexpr std::ptrdiff_t kBlock = 128;
    core::BlockQueue blocks(n, kBlock);
    const bool whole = core::run_interruptible(
        n, static_cast<int>(threads), [&](const core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t, std::ptrdiff_t) {
            std::ptrdiff_t begin, end;
            while (!stop.raised() && blocks.next(begin, end)) kn::refine(in, out, begin, end);
        });
    if (!whole) return nullptr;
    return PyTuple_Pack(4, status.get(), tca.get(), states.get(), ends.get());
}

constexpr const char* kSnapNames[] = {"a", "e", "mu"};
constexpr core::Signature kSnapSig{"snap_bounds", kSnapNames, 3};

// snap_bounds(a, e, mu) -> largest |d^4 r/dt^4| of two-body motion on each ellipse.
PyObject* py_snap_bounds(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kSnapSig, args, nargs, kwnames, a)) return nullptr;
    double mu;
    if (!core::to_double(a[2], mu)) return nullptr;
    std::vector<double> axis, ecc;
    if (!core::copy_finite(a[0], axis, "snap_bounds: a") || !core::copy_finite(a[1], ecc, "snap_bounds: e"))
        return nullptr;
    if (axis.size() != ecc.size() || !(std::isfinite(mu) && mu > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "snap_bounds: a and e must have the same length, mu be positive");
        return nullptr;
    }
    for (std::size_t i = 0; i < axis.size(); ++i) {
        if (!(axis[i] > 0.0 && ecc[i] >= 0.0 && ecc[i] < 1.0)) {
            PyErr_SetString(PyExc_ValueError, "snap_bounds: each orbit must be an ellipse (a > 0, 0 <= e < 1)");
            return nullptr;
        }
    }
    npy_intp n = static_cast<npy_intp>(axis.size());
    core::Ref out = core::empty(1, &n);
    if (!out) return nullptr;
    double* po = core::data_of(out.get());
    {
        core::ReleaseGil nogil;
        const kn::SnapTable table;
        core::parallel_ranges(n, core::default_threads(),
                              [&](std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
                                  for (std::ptrdiff_t i = begin; i < end; ++i)
                                      po[i] = kn::two_body_snap(table, axis[i], ecc[i], mu);
                              });
    }
    return out.release();
}

PyMethodDef screen_methods[] = {
    {"candidates", VELARION_FASTCALL(py_candidates), METH_FASTCALL | METH_KEYWORDS,
     "candidates(r, v, step, substeps, bound, r_min, r_max, threshold, primary, threads, until=None, "
     "primary_grid=False,\n"
     "limit=None)\n--\n\n"
     "Candidate segments of close approaches between n objects sampled at m epochs step seconds apart.\n"
     "r, v: (n * m, 3) float64, object-major; bound, r_min, r_max: (n,) float64 (interpolation bound,\n"
     "lowest and highest radius [m]); primary: None (all-vs-all) or bytes with one flag per object;\n"
     "until: None or (n,) int64, the samples valid from the first per object; primary_grid: with\n"
     "primaries, search with the all-vs-all grid and keep the pairs with a primary; limit: None or the\n"
     "most candidates to return (the search stops past it and returns None).\n"
     "Returns int64 arrays (i, j, segment): object pairs i < j and segment k * substeps + l."},
    {"refine", VELARION_FASTCALL(py_refine), METH_FASTCALL | METH_KEYWORDS,
     "refine(records, jd, fr, i, j, ta, tb, threshold, threads, slack=None)\n--\n\n"
     "Local minima of the distance between records i[q] and j[q] (a Records catalogue) over segments [ta, tb]\n"
     "[s from the UTC Julian Date jd + fr]. Returns (status, tca, states, ends): uint8 (n,) with 0 (no\n"
     "minimum), 1 (a minimum), 2 (the model failed at an end) or 3 (a minimum above threshold [m]), the\n"
     "tca [s], (n, 12) r_i, v_i, r_j, v_j at tca [m, m/s] and (n, 2) distances at ta and tb [m].\n"
     "slack: None or (n,) float64, how far [m] the pair's paths may lie from the cubic Hermite\n"
     "interpolants of their end states: a segment whose distance provably stays above threshold is then\n"
     "status 3 without a search."},
    {"snap_bounds", VELARION_FASTCALL(py_snap_bounds), METH_FASTCALL | METH_KEYWORDS,
     "snap_bounds(a, e, mu)\n--\n\n"
     "Largest |d^4 r / dt^4| of two-body motion on each ellipse (a [m], e), gravitational parameter mu\n"
     "[m^3/s^2], from 256 points of eccentric anomaly."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* screen_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int screen_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_screen"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(sgp4::import_records());
    return 0;
error:
    return -1;
}

PyModuleDef_Slot screen_slots[] = {
    {Py_mod_create, (void*)core::entry<screen_create>}, {Py_mod_exec, (void*)core::entry<screen_exec>}, {0, nullptr}};

PyModuleDef screen_def = {PyModuleDef_HEAD_INIT,
                          "velarion.conjunctions._screen",
                          "Candidate search of velarion.conjunctions.screen.",
                          0,
                          screen_methods,
                          screen_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__screen() { return PyModuleDef_Init(&screen_def); }
