// velarion.passes._search: the pass search over interpolated trajectories
// (kernels/search.hpp), for velarion.passes. Private: its callers build the
// tables it reads.
#include "velarion/_core/core.hpp"
#include "velarion/_core/interrupt.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/_core/parallel.hpp"
#include "velarion/passes/kernels/search.hpp"

#include <cmath>
#include <numbers>
#include <vector>

namespace core = velarion::core;
namespace kn = velarion::passes::kernels;
using core::Ref;

namespace {

core::ModuleOnce g_once;

// Word for word: tests compare the exception texts of this module.

// An index held in a float64 table: integral, within [0, limit).
bool table_index(double x, core::index_t limit, const char* what, core::index_t row, core::index_t& out) {
    if (!(x >= 0.0 && x < static_cast<double>(limit) && x == std::floor(x))) {
        PyErr_Format(PyExc_ValueError, "%s of row %zd must be an index below %zd", what, row, limit);
        return false;
    }
    out = static_cast<core::index_t>(x);
    return true;
}

bool take(PyObject* obj, core::View2D& view, core::index_t cols, const char* what) {
    return view.acquire(obj, false) && (cols == 0 || core::require_columns(view, cols, what));
}

constexpr const char* kFindNames[] = {"table", "satellites",    "stations", "tracks", "duration",
                                      "step",  "min_elevation", "coarse",   "margin", "threads"};
constexpr core::Signature kFindSig{"find_events", kFindNames, 10};

PyObject* py_find_events(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[10];
    if (!core::parse_args(kFindSig, args, nargs, kwnames, a)) return nullptr;
    // The numbers first: converting them may run Python code, after which
    // no buffer taken before could be trusted.
    double duration, step, min_elevation, coarse_value, margin;
    long threads;
    if (!core::to_double(a[4], duration) || !core::to_double(a[5], step) || !core::to_double(a[6], min_elevation) ||
        !core::to_double(a[7], coarse_value) || !core::to_double(a[8], margin) ||
        !core::to_count(a[9], "threads", threads)) {
        return nullptr;
    }
    if (!(std::isfinite(duration) && duration > 0.0 && std::isfinite(step) && step > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "duration and step must be positive and finite");
        return nullptr;
    }
    if (!(duration / step <= 5e7)) {
        PyErr_SetString(PyExc_ValueError, "more than 5e7 grid points (duration / step)");
        return nullptr;
    }
    if (!(std::abs(min_elevation) < std::numbers::pi / 2.0)) {
        PyErr_SetString(PyExc_ValueError, "min_elevation must lie in (-pi/2, pi/2)");
        return nullptr;
    }
    if (!(coarse_value >= 1.0 && coarse_value <= 1e9 && coarse_value == std::floor(coarse_value))) {
        PyErr_SetString(PyExc_ValueError, "coarse must be a whole number of grid steps, at least 1");
        return nullptr;
    }
    if (!(std::isfinite(margin) && margin >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "margin must be a finite distance, at least 0");
        return nullptr;
    }
    core::View2D table, sats, stations, tracks;
    if (!take(a[0], table, 0, "table") || !take(a[1], sats, 3, "satellites") || !take(a[2], stations, 12, "stations") ||
        !take(a[3], tracks, 2, "tracks")) {
        return nullptr;
    }
    if (table.shape(0) != 8 || table.shape(1) % 3 != 0) {
        PyErr_Format(PyExc_ValueError, "table must have 8 rows and three columns per window, not shape (%zd, %zd)",
                     table.shape(0), table.shape(1));
        return nullptr;
    }
    const core::index_t windows = table.shape(1) / 3;
    std::vector<kn::Trajectory> trajectories(static_cast<size_t>(sats.shape(0)));
    const auto sv = sats.span2();
    for (core::index_t i = 0; i < sv.rows; ++i) {
        kn::Trajectory& t = trajectories[static_cast<size_t>(i)];
        core::index_t intervals;
        if (!table_index(sv(i, 0), windows, "the first window", i, t.window0) ||
            !table_index(sv(i, 1), windows + 3, "the interval count", i, intervals)) {
            return nullptr;
        }
        if (intervals < 3 || t.window0 + intervals - 2 > windows) {
            PyErr_Format(PyExc_ValueError, "satellite row %zd: %zd intervals from window %zd do not fit the table", i,
                         intervals, t.window0);
            return nullptr;
        }
        t.intervals = intervals;
        t.spacing = sv(i, 2);
        if (!(std::isfinite(t.spacing) && t.spacing > 0.0)) {
            PyErr_Format(PyExc_ValueError, "satellite row %zd: the node spacing must be positive", i);
            return nullptr;
        }
    }
    std::vector<kn::StationGeometry> geometry(static_cast<size_t>(stations.shape(0)));
    const auto gv = stations.span2();
    for (core::index_t i = 0; i < gv.rows; ++i) {
        kn::StationGeometry& g = geometry[static_cast<size_t>(i)];
        for (int k = 0; k < 3; ++k) g.offset[k] = gv(i, k);
        for (int k = 0; k < 9; ++k) g.rotation[k / 3][k % 3] = gv(i, 3 + k);
    }
    const auto tv = tracks.span2();
    std::vector<core::index_t> pairs(static_cast<size_t>(2 * tv.rows));
    for (core::index_t i = 0; i < tv.rows; ++i) {
        if (!table_index(tv(i, 0), sv.rows, "the satellite", i, pairs[static_cast<size_t>(2 * i)]) ||
            !table_index(tv(i, 1), gv.rows, "the station", i, pairs[static_cast<size_t>(2 * i + 1)])) {
            return nullptr;
        }
    }
    // Tracks in contiguous ranges, one per thread, each with its own search;
    // the ranges' events in turn keep the order of the tracks.
    std::vector<std::vector<kn::Event>> found(
        static_cast<size_t>(core::worker_count(tv.rows, static_cast<int>(threads))));
    // The interrupt is looked at between tracks.
    const bool whole = core::run_interruptible(
        tv.rows, static_cast<int>(threads),
        [&](const core::StopFlag& stop, core::index_t w, core::index_t begin, core::index_t end) {
            kn::Search search(table.span2(), trajectories, geometry, duration, step, min_elevation,
                              static_cast<core::index_t>(coarse_value), margin);
            std::vector<kn::Event>& events = found[static_cast<size_t>(w)];
            for (core::index_t i = begin; i < end && !stop.raised(); ++i) {
                search.track(i, pairs[static_cast<size_t>(2 * i)], pairs[static_cast<size_t>(2 * i + 1)], events);
            }
        });
    if (!whole) return nullptr;
    size_t total = 0;
    for (const auto& f : found) total += f.size();
    const npy_intp shape[2] = {static_cast<npy_intp>(total), 7};
    Ref out = core::empty(2, shape);
    if (!out) return nullptr;
    double* o = core::data_of(out.get());
    for (const auto& events : found) {
        for (const kn::Event& e : events) {
            *o++ = static_cast<double>(e.track);
            *o++ = e.rise;
            *o++ = e.set;
            *o++ = e.culmination;
            *o++ = e.max_elevation;
            *o++ = e.edge ? 1.0 : 0.0;
            *o++ = e.curvature;
        }
    }
    return out.release();
}

constexpr const char* kTableNames[] = {"nodes", "satellites"};
constexpr core::Signature kTableSig{"hermite_table", kTableNames, 2};

PyObject* py_hermite_table(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kTableSig, args, nargs, kwnames, a)) return nullptr;
    core::View2D nodes, sats;
    if (!take(a[0], nodes, 6, "nodes") || !take(a[1], sats, 3, "satellites")) return nullptr;
    const auto nv = nodes.span2();
    const auto sv = sats.span2();
    std::vector<core::index_t> first(static_cast<size_t>(sv.rows)), intervals(static_cast<size_t>(sv.rows));
    core::index_t windows = 0;
    for (core::index_t i = 0; i < sv.rows; ++i) {
        const size_t k = static_cast<size_t>(i);
        if (!table_index(sv(i, 0), nv.rows, "the first node", i, first[k]) ||
            !table_index(sv(i, 1), nv.rows, "the interval count", i, intervals[k])) {
            return nullptr;
        }
        if (intervals[k] < 3 || first[k] + intervals[k] >= nv.rows) {
            PyErr_Format(PyExc_ValueError, "satellite row %zd: %zd intervals from node %zd do not fit the nodes", i,
                         intervals[k], first[k]);
            return nullptr;
        }
        if (!(std::isfinite(sv(i, 2)) && sv(i, 2) > 0.0)) {
            PyErr_Format(PyExc_ValueError, "satellite row %zd: the node spacing must be positive", i);
            return nullptr;
        }
        windows += intervals[k] - 2;
    }
    const npy_intp shape[2] = {8, static_cast<npy_intp>(3 * windows)};
    Ref out = core::empty(2, shape);
    if (!out) return nullptr;
    const core::Strided2D<double> ov{reinterpret_cast<char*>(core::data_of(out.get())), 8, 3 * windows,
                                     static_cast<core::index_t>(3 * windows * sizeof(double)),
                                     static_cast<core::index_t>(sizeof(double))};
    {
        core::ReleaseGil nogil;
        core::index_t col = 0;
        for (core::index_t i = 0; i < sv.rows; ++i) {
            const size_t k = static_cast<size_t>(i);
            for (core::index_t w = 0; w < intervals[k] - 2; ++w, col += 3) {
                kn::window_coefficients(nv, first[k] + w, sv(i, 2), ov, col);
            }
        }
    }
    return out.release();
}

// Word for word: the docstrings are the functions' documentation.
PyMethodDef search_methods[] = {
    {"hermite_table", VELARION_FASTCALL(py_hermite_table), METH_FASTCALL | METH_KEYWORDS,
     "hermite_table(nodes, satellites)\n--\n\n"
     "The interpolation table of trajectories: nodes (N, 6) ITRF positions [m]\n"
     "and velocities [m/s]; satellites (S, 3) the first node row, the interval\n"
     "count (nodes - 1, at least 3) and the node spacing [s] of each. Returns\n"
     "(8, 3 W): row k the coefficients of x^k of every window of four nodes\n"
     "(the satellites' windows in turn, x, y, z per window), x the time from\n"
     "the window's centre in node spacings."},
    {"find_events", VELARION_FASTCALL(py_find_events), METH_FASTCALL | METH_KEYWORDS,
     "find_events(table, satellites, stations, tracks, duration, step, min_elevation, coarse, margin, threads)\n--\n\n"
     "The passes of every track over the span [0, duration] seconds, as rows\n"
     "(track, rise, set, highest point, its elevation [rad], 1.0 when that point\n"
     "is the span's edge, the elevation rate's slope there [rad/s^2], NaN at\n"
     "the edge); NaN rise or set where the edge cuts the pass.\n\n"
     "table: (8, 3 W) float64, row k the coefficients of x^k of each window's\n"
     "ITRF position (x, y, z per window); satellites: (S, 3) first window,\n"
     "interval count and node spacing [s]; stations: (N, 12) ITRF position [m]\n"
     "and the ITRF-to-ENU rotation (row-major); tracks: (T, 2) satellite and\n"
     "station of each track; min_elevation [rad]; coarse: grid steps between\n"
     "the first samples; margin: the interpolation tolerance [m]; threads: how\n"
     "many threads share the tracks (contiguous ranges of them)."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* search_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int search_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_search"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    return 0;
error:
    return -1;
}

PyModuleDef_Slot search_slots[] = {
    {Py_mod_create, (void*)core::entry<search_create>}, {Py_mod_exec, (void*)core::entry<search_exec>}, {0, nullptr}};

PyModuleDef search_def = {PyModuleDef_HEAD_INIT,
                          "velarion.passes._search",
                          "The pass search over interpolated trajectories (private to velarion.passes).",
                          0,
                          search_methods,
                          search_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__search() { return PyModuleDef_Init(&search_def); }
