// velarion.propagators.numerical._numerical: the compiled core of the
// numerical propagator. _Numerical extends Propagator with a force model
// (the gravity field and the terms switched on) and the integrator
// settings; its methods take what the Python layer prepared once per call
// (epochs as TT seconds, Earth orientation sampled at nodes) and run the
// kernels (kernels/) without the interpreter lock, many satellites on
// threads.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/_core/parallel.hpp"
#include "velarion/propagators/numerical/kernels/propagate.hpp"
#include "velarion/propagators/propagators.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <vector>

namespace core = velarion::core;
namespace num = velarion::numerical;
namespace prop = velarion::propagators;

using core::Ref;

namespace {

core::ModuleOnce g_once;
prop::PropagatorVTable g_vtable;

struct NumericalObject {
    prop::PropagatorObject base;
    num::ForceModel* model;
    num::Settings settings;
};

NumericalObject* as_num(PyObject* o) noexcept { return reinterpret_cast<NumericalObject*>(o); }

// A 1-D or 2-D float64 argument copied into `out` (row-major), with its
// shape checked against `rows` x `cols` (-1: any).
bool take_rows(PyObject* obj, const char* what, core::index_t rows, core::index_t cols, std::vector<double>& out,
               core::index_t* rows_found = nullptr) {
    if (cols < 0) {
        core::View1D v;
        if (!v.acquire(obj, false)) return false;
        if (rows >= 0 && v.shape(0) != rows) {
            PyErr_Format(PyExc_ValueError, "%s has %zd values, expected %zd", what, v.shape(0), rows);
            return false;
        }
        const auto s = v.span1();
        out.resize(static_cast<size_t>(s.size));
        for (core::index_t i = 0; i < s.size; ++i) out[static_cast<size_t>(i)] = s[i];
        if (rows_found) *rows_found = s.size;
        return true;
    }
    core::View2D v;
    if (!v.acquire(obj, false)) return false;
    if ((rows >= 0 && v.shape(0) != rows) || v.shape(1) != cols) {
        PyErr_Format(PyExc_ValueError, "%s has shape (%zd, %zd), expected (%zd, %zd)", what, v.shape(0), v.shape(1),
                     rows, cols);
        return false;
    }
    const auto s = v.span2();
    out.resize(static_cast<size_t>(s.rows * s.cols));
    for (core::index_t i = 0; i < s.rows; ++i)
        for (core::index_t j = 0; j < s.cols; ++j) out[static_cast<size_t>(i * s.cols + j)] = s(i, j);
    if (rows_found) *rows_found = s.rows;
    return true;
}

bool take_table(PyObject* first_obj, PyObject* values_obj, num::EarthOrientationTable& table) {
    const long long first = PyLong_AsLongLong(first_obj);
    if (first == -1 && PyErr_Occurred()) return false;
    core::index_t rows = 0;
    if (!take_rows(values_obj, "the Earth orientation table", -1, num::EarthOrientationTable::kFields, table.values,
                   &rows))
        return false;
    table.first = first;
    table.count = rows;
    if (rows > 0 && rows < velarion::frames::kernels::CipGrid::kPoints + 1) {
        PyErr_Format(PyExc_ValueError, "the Earth orientation table has %zd nodes, fewer than %d", rows,
                     velarion::frames::kernels::CipGrid::kPoints + 1);
        return false;
    }
    table.fill_cip();
    return true;
}

bool take_integer(PyObject* obj, const char* what, long lo, long hi, long& out) {
    out = PyLong_AsLong(obj);
    if (out == -1 && PyErr_Occurred()) return false;
    if (out < lo || out > hi) {
        PyErr_Format(PyExc_ValueError, "%s must lie in [%ld, %ld], got %ld", what, lo, hi, out);
        return false;
    }
    return true;
}

// --- construction --------------------------------------------------------------

constexpr const char* kNewNames[] = {"C",          "S",         "GM",   "radius",   "degree",    "order",
                                     "integrator", "tolerance", "step", "max_step", "max_steps", "terms"};
constexpr core::Signature kNewSig{"_Numerical", kNewNames, 12};

// The force terms besides gravity, from the flat `terms` array the Python
// layer builds (numerical.py, _terms_array: the same layout, by name).
enum TermField {
    kThirdBody,
    kGmSun,
    kGmMoon,
    kDrag,
    kDensityModel,
    kCd,
    kDragArea,
    kDragMass,
    kHpExponent,
    kSrp,
    kCr,
    kSrpArea,
    kSrpMass,
    kEarthShadow,
    kMoonShadow,
    kRelativity,
    kSchwarzschild,
    kLenseThirring,
    kDeSitter,
    kRelativityGm,
    kTides,
    kTideStep2,
    kZeroTideField,
    kF107,
    kF107Mean,
    kAp,
    kPlanetCount,
    kTermFields
};

bool set_terms(const std::vector<double>& t, num::ForceModel& m) {
    if (t.size() < kTermFields) {
        PyErr_Format(PyExc_ValueError, "terms has %zd values, fewer than %d", t.size(), static_cast<int>(kTermFields));
        return false;
    }
    const int bodies = static_cast<int>(t[kThirdBody]);
    m.third_body = bodies != 0;
    m.third_body_params.sun = (bodies & 1) != 0;
    m.third_body_params.moon = (bodies & 2) != 0;
    m.third_body_params.gm_sun = t[kGmSun];
    m.third_body_params.gm_moon = t[kGmMoon];
    m.drag = t[kDrag] != 0.0;
    m.drag_params.model = t[kDensityModel] == 1.0 ? num::DensityModel::nrlmsise00 : num::DensityModel::harris_priester;
    m.drag_params.cd = t[kCd], m.drag_params.area = t[kDragArea], m.drag_params.mass = t[kDragMass];
    m.drag_params.hp_exponent = t[kHpExponent];
    m.drag_params.f107 = t[kF107], m.drag_params.f107a = t[kF107Mean], m.drag_params.ap = t[kAp];
    m.srp = t[kSrp] != 0.0;
    m.srp_params.cr = t[kCr], m.srp_params.area = t[kSrpArea], m.srp_params.mass = t[kSrpMass];
    m.srp_params.earth_shadow = t[kEarthShadow] != 0.0, m.srp_params.moon_shadow = t[kMoonShadow] != 0.0;
    m.relativity = t[kRelativity] != 0.0;
    m.relativity_params.schwarzschild = t[kSchwarzschild] != 0.0;
    m.relativity_params.lense_thirring = t[kLenseThirring] != 0.0;
    m.relativity_params.de_sitter = t[kDeSitter] != 0.0;
    m.relativity_params.gm = t[kRelativityGm];
    m.relativity_params.gm_sun = t[kGmSun];
    m.tides = t[kTides] != 0.0;
    m.tide_params.gm = m.field.GM, m.tide_params.radius = m.field.radius;
    m.tide_params.gm_sun = t[kGmSun], m.tide_params.gm_moon = t[kGmMoon];
    m.tide_params.step2 = t[kTideStep2] != 0.0, m.tide_params.zero_tide_field = t[kZeroTideField] != 0.0;
    const double planets = t[kPlanetCount];
    if (!(planets >= 0.0 && planets <= num::ForceModel::kMaxPlanets) ||
        t.size() != kTermFields + 2 * static_cast<size_t>(planets)) {
        PyErr_SetString(PyExc_ValueError, "terms: the planet count does not match the array");
        return false;
    }
    m.planet_count = static_cast<int>(planets);
    for (int k = 0; k < m.planet_count; ++k) {
        m.planets[k].series = static_cast<int>(t[kTermFields + 2 * k]);
        m.planets[k].gm = t[kTermFields + 2 * k + 1];
        if (m.planets[k].series < num::kFirstPlanet || m.planets[k].series >= num::kMaxSeries) {
            PyErr_SetString(PyExc_ValueError, "terms: a planet's series is out of range");
            return false;
        }
    }
    for (double x : t) {
        if (!std::isfinite(x)) {
            PyErr_SetString(PyExc_ValueError, "terms: a parameter is not finite");
            return false;
        }
    }
    if (m.drag && !(m.drag_params.mass > 0.0 && m.drag_params.area >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "drag: the mass must be positive and the area non-negative");
        return false;
    }
    if (m.srp && !(m.srp_params.mass > 0.0 && m.srp_params.area >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "radiation pressure: the mass must be positive and the area non-negative");
        return false;
    }
    if (m.tides) {
        num::GravityField unit;
        unit.GM = m.field.GM, unit.radius = m.field.radius, unit.max_degree = 4;
        unit.C.assign(num::GravityField::index(5, 0), 1.0);
        unit.S.assign(num::GravityField::index(5, 0), 1.0);
        m.tide_unit.build(unit, 4);
    }
    return true;
}

PyObject* Numerical_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    core::Args<12> a;
    if (!core::parse_args(kNewSig, args, kwargs, a)) return nullptr;
    auto model = std::make_unique<num::ForceModel>();
    long degree = 0, order = 0, max_steps = 0, method = 0;
    if (!core::to_double(a[2], model->field.GM) || !core::to_double(a[3], model->field.radius)) return nullptr;
    if (!take_integer(a[4], "degree", 0, 2000, degree) || !take_integer(a[5], "order", 0, 2000, order)) return nullptr;
    if (!take_integer(a[6], "integrator", 0, 1, method) || !take_integer(a[10], "max_steps", 1, 2000000000L, max_steps))
        return nullptr;
    num::Settings settings;
    if (!core::to_double(a[7], settings.tolerance) || !core::to_double(a[8], settings.step) ||
        !core::to_double(a[9], settings.max_step))
        return nullptr;
    if (order > degree) {
        PyErr_Format(PyExc_ValueError, "the gravity order (%ld) exceeds its degree (%ld)", order, degree);
        return nullptr;
    }
    const core::index_t count = static_cast<core::index_t>(num::GravityField::index(static_cast<int>(degree) + 1, 0));
    if (!take_rows(a[0], "C", count, -1, model->field.C) || !take_rows(a[1], "S", count, -1, model->field.S))
        return nullptr;
    if (!(model->field.GM > 0.0) || !(model->field.radius > 0.0) || !std::isfinite(model->field.GM) ||
        !std::isfinite(model->field.radius)) {
        PyErr_SetString(PyExc_ValueError, "GM and the reference radius must be finite and positive");
        return nullptr;
    }
    if (!(settings.tolerance > 0.0) || !(settings.step > 0.0) || !(settings.max_step >= 0.0) ||
        !std::isfinite(settings.tolerance) || !std::isfinite(settings.step) || max_steps <= 0) {
        PyErr_SetString(PyExc_ValueError, "tolerance and step must be finite and positive");
        return nullptr;
    }
    settings.method = method == 1 ? num::Method::rk4 : num::Method::dop853;
    settings.max_steps = max_steps;
    std::vector<double> terms;
    if (!take_rows(a[11], "terms", -1, -1, terms) || !set_terms(terms, *model)) return nullptr;
    model->degree = static_cast<int>(degree);
    model->order = static_cast<int>(order);
    model->factors.build(model->field, model->degree);
    model->gradient.build(model->field, model->degree, model->order);
    model->recursion.build(std::max(model->degree, 4) + 2);

    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return nullptr;
    Ref self = Ref::steal(prop::Propagator_Type->tp_new(type, empty.get(), nullptr));
    if (!self) return nullptr;
    NumericalObject* n = as_num(self.get());
    n->base.vtab = &g_vtable;
    n->model = model.release();
    n->settings = settings;
    return self.release();
}

void Numerical_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete as_num(self)->model;
    as_num(self)->model = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

// --- propagation ---------------------------------------------------------------

constexpr const char* kRunNames[] = {"tt0",       "y0",  "dt",      "eop_first", "eop_values",
                                     "ephemeris", "stm", "threads", "events",    "weather"};
constexpr core::Signature kRunSig{"_propagate", kRunNames, 10};

// The packed space-weather table (None: the model's constants): first_mjd,
// days, ap_history (0/1), then the days' rows (kernels/drag.hpp).
bool take_weather(PyObject* obj, std::vector<double>& packed, num::SpaceWeather& w, bool& ap_history, bool& present) {
    present = obj != Py_None;
    if (!present) return true;
    if (!take_rows(obj, "weather", -1, -1, packed)) return false;
    const size_t n = packed.size();
    if (n < 3 + num::kWeatherColumns || !std::isfinite(packed[0]) || !(packed[1] >= 1.0) ||
        packed[1] != std::floor(packed[1]) || static_cast<double>(n) != 3.0 + packed[1] * num::kWeatherColumns) {
        PyErr_SetString(PyExc_ValueError, "malformed packed space-weather table");
        return false;
    }
    for (double x : packed) {
        if (!std::isfinite(x)) {
            PyErr_SetString(PyExc_ValueError, "the space-weather table holds a non-finite value");
            return false;
        }
    }
    w.first_mjd = packed[0];
    w.days = static_cast<long>(packed[1]);
    w.rows = packed.data() + 3;
    ap_history = packed[2] != 0.0;
    return true;
}

// The packed JPL ephemeris (None: none), validated once (kernels/ephemeris.hpp).
bool take_ephemeris(PyObject* obj, std::vector<double>& packed, num::Ephemeris& e, bool& present) {
    present = obj != Py_None;
    if (!present) return true;
    if (!take_rows(obj, "ephemeris", -1, -1, packed)) return false;
    if (!num::load_ephemeris(packed.data(), packed.size(), e)) {
        PyErr_SetString(PyExc_ValueError, "the packed ephemeris is malformed");
        return false;
    }
    return true;
}

// _propagate(tt0 (K,), y0 (K, 6), dt (K, N), eop_first, eop_values (M, 9),
// stm, threads) -> (states (K, N, 6), stm (K, N, 6, 6) or None, status (K,),
// refusal (K,), t_failed (K,), steps (K,), evaluations (K,)).
PyObject* Numerical_propagate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[10];
    if (!core::parse_args(kRunSig, args, nargs, kwnames, a)) return nullptr;
    NumericalObject* n = as_num(self);
    if (!n->model) {
        PyErr_SetString(PyExc_ValueError, "the propagator has no force model");
        return nullptr;
    }
    std::vector<double> tt0, y0, dt;
    core::index_t K = 0, N = 0, rows = 0;
    if (!take_rows(a[0], "tt0", -1, -1, tt0, &K)) return nullptr;
    if (!take_rows(a[1], "y0", K, 6, y0)) return nullptr;
    {
        core::View2D v;
        if (!v.acquire(a[2], false)) return nullptr;
        N = v.shape(1);
    }
    if (!take_rows(a[2], "dt", K, N, dt, &rows)) return nullptr;
    num::EarthOrientationTable table;
    if (!take_table(a[3], a[4], table)) return nullptr;
    std::vector<double> packed;
    num::Ephemeris ephemeris;
    bool has_ephemeris = false;
    if (!take_ephemeris(a[5], packed, ephemeris, has_ephemeris)) return nullptr;
    // stm: False, True, or 2 (the transition matrix and the Cd/Cr sensitivity)
    const int with_stm = PyObject_IsTrue(a[6]);
    if (with_stm < 0) return nullptr;
    const bool with_sensitivity = PyLong_Check(a[6]) && PyLong_AsLong(a[6]) == 2;
    long threads = 1;
    if (!core::to_count(a[7], "threads", threads)) return nullptr;
    // Events: rows of (kind, value); at most 16.
    std::vector<num::EventSpec> specs;
    if (a[8] != Py_None) {
        std::vector<double> event_rows;
        core::index_t count = 0;
        if (!take_rows(a[8], "events", -1, 2, event_rows, &count)) return nullptr;
        if (count > 16) {
            PyErr_Format(PyExc_ValueError, "at most 16 events are watched, not %zd", count);
            return nullptr;
        }
        for (core::index_t e = 0; e < count; ++e) {
            const double kind = event_rows[static_cast<size_t>(2 * e)];
            const double value = event_rows[static_cast<size_t>(2 * e + 1)];
            if (!(kind >= 0.0 && kind <= 4.0 && kind == std::floor(kind)) || !std::isfinite(value)) {
                PyErr_Format(PyExc_ValueError, "event %zd: unknown kind or value", e);
                return nullptr;
            }
            specs.push_back({static_cast<num::EventKind>(static_cast<int>(kind)), value});
        }
    }
    std::vector<double> weather_rows;
    num::SpaceWeather weather;
    bool ap_history = false, has_weather = false;
    if (!take_weather(a[9], weather_rows, weather, ap_history, has_weather)) return nullptr;
    const num::Weather per_call{has_weather ? &weather : nullptr, ap_history};
    std::vector<std::vector<num::FoundEvent>> found(static_cast<size_t>(K));
    for (double x : dt) {
        if (!std::isfinite(x)) {
            PyErr_SetString(PyExc_ValueError, "an output epoch is not a finite time from the initial epoch");
            return nullptr;
        }
    }
    for (core::index_t k = 0; k < K; ++k) {
        for (int j = 0; j < 6; ++j) {
            if (!std::isfinite(y0[static_cast<size_t>(6 * k + j)]) || !std::isfinite(tt0[static_cast<size_t>(k)])) {
                PyErr_Format(PyExc_ValueError, "initial state %zd is not finite", k);
                return nullptr;
            }
        }
    }
    const npy_intp shape_states[3] = {K, N, 6}, shape_stm[4] = {K, N, 6, 6}, shape_k[1] = {K};
    Ref states = core::zeros(3, shape_states);
    if (!states) return nullptr;
    Ref stm = with_stm ? core::zeros(4, shape_stm) : Ref::borrow(Py_None);
    if (!stm) return nullptr;
    const npy_intp shape_sens[4] = {K, N, 6, 2};
    Ref sens = with_sensitivity ? core::zeros(4, shape_sens) : Ref::borrow(Py_None);
    if (!sens) return nullptr;
    double* out_sens = with_sensitivity ? core::data_of(sens.get()) : nullptr;
    Ref columns[5];
    for (auto& c : columns) {
        if (!(c = core::zeros(1, shape_k))) return nullptr;
    }
    double* out_states = core::data_of(states.get());
    double* out_stm = with_stm ? core::data_of(stm.get()) : nullptr;
    double* status = core::data_of(columns[0].get());
    double* refusal = core::data_of(columns[1].get());
    double* t_failed = core::data_of(columns[2].get());
    double* steps = core::data_of(columns[3].get());
    double* evaluations = core::data_of(columns[4].get());
    const num::ForceModel& model = *n->model;
    const num::Settings settings = n->settings;
    const num::EarthOrientationTable* table_ptr = table.count > 0 ? &table : nullptr;
    // Without the interpreter lock, on threads; Ctrl-C stops the work
    // between satellites (and raises here).
    bool failed = false, finished = true;
    {
        try {
            finished = core::run_interruptible(
                K, static_cast<int>(threads),
                [&](core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
                    num::Settings run = settings;
                    run.stop = &stop;
                    for (std::ptrdiff_t k = begin; k < end && !stop.raised(); ++k) {
                        const size_t i = static_cast<size_t>(k);
                        const num::Result r = num::propagate_one(
                            model, table_ptr, has_ephemeris ? &ephemeris : nullptr, run, tt0[i], &y0[6 * i],
                            &dt[i * static_cast<size_t>(N)], N, out_states + 6 * N * k,
                            out_stm ? out_stm + 36 * N * k : nullptr, specs.data(), static_cast<int>(specs.size()),
                            &found[i], out_sens ? out_sens + 12 * N * k : nullptr, per_call);
                        status[k] = static_cast<double>(r.status);
                        refusal[k] = static_cast<double>(r.refusal);
                        t_failed[k] = r.t_failed;
                        steps[k] = static_cast<double>(r.steps);
                        evaluations[k] = static_cast<double>(r.evaluations);
                    }
                });
        } catch (const std::bad_alloc&) {
            failed = true;
        }
    }
    if (failed) return PyErr_NoMemory();
    if (!finished) return nullptr;  // a signal handler raised
    // The events of each satellite: (E, 3) rows of (index, t, direction).
    Ref event_list = Ref::steal(PyList_New(K));
    if (!event_list) return nullptr;
    for (core::index_t k = 0; k < K; ++k) {
        const auto& f = found[static_cast<size_t>(k)];
        const npy_intp shape_e[2] = {static_cast<npy_intp>(f.size()), 3};
        Ref found_rows = core::zeros(2, shape_e);
        if (!found_rows) return nullptr;
        double* p = core::data_of(found_rows.get());
        for (size_t e = 0; e < f.size(); ++e) {
            p[3 * e] = f[e].index, p[3 * e + 1] = f[e].t, p[3 * e + 2] = f[e].direction;
        }
        PyList_SET_ITEM(event_list.get(), k, found_rows.release());
    }
    return PyTuple_Pack(9, states.get(), stm.get(), columns[0].get(), columns[1].get(), columns[2].get(),
                        columns[3].get(), columns[4].get(), event_list.get(), sens.get());
}

constexpr const char* kAccelNames[] = {"tt", "r", "v", "eop_first", "eop_values", "ephemeris", "partials", "weather"};
constexpr core::Signature kAccelSig{"_acceleration", kAccelNames, 8};

// _acceleration(tt (N,), r (N, 3), v (N, 3), eop_first, eop_values,
// partials) -> (a (N, 3), dadr (N, 3, 3) or None, dadv or None, refused (N,)).
PyObject* Numerical_acceleration(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[8];
    if (!core::parse_args(kAccelSig, args, nargs, kwnames, a)) return nullptr;
    NumericalObject* n = as_num(self);
    std::vector<double> tt, r, v;
    core::index_t N = 0;
    if (!take_rows(a[0], "tt", -1, -1, tt, &N) || !take_rows(a[1], "r", N, 3, r) || !take_rows(a[2], "v", N, 3, v))
        return nullptr;
    num::EarthOrientationTable table;
    if (!take_table(a[3], a[4], table)) return nullptr;
    std::vector<double> packed;
    num::Ephemeris ephemeris;
    bool has_ephemeris = false;
    if (!take_ephemeris(a[5], packed, ephemeris, has_ephemeris)) return nullptr;
    const int partials = PyObject_IsTrue(a[6]);
    if (partials < 0) return nullptr;
    std::vector<double> weather_rows;
    num::SpaceWeather weather;
    bool ap_history = false, has_weather = false;
    if (!take_weather(a[7], weather_rows, weather, ap_history, has_weather)) return nullptr;
    const npy_intp shape_a[2] = {N, 3}, shape_p[3] = {N, 3, 3}, shape_n[1] = {N};
    Ref acc = core::zeros(2, shape_a);
    Ref dadr = partials ? core::zeros(3, shape_p) : Ref::borrow(Py_None);
    Ref dadv = partials ? core::zeros(3, shape_p) : Ref::borrow(Py_None);
    Ref refused = core::zeros(1, shape_n);
    if (!acc || !dadr || !dadv || !refused) return nullptr;
    {
        core::ReleaseGil nogil;
        num::Dynamics dynamics(*n->model, table.count > 0 ? &table : nullptr, has_ephemeris ? &ephemeris : nullptr, 0.0,
                               partials != 0);
        double* pa = core::data_of(acc.get());
        double* pr = partials ? core::data_of(dadr.get()) : nullptr;
        double* pv = partials ? core::data_of(dadv.get()) : nullptr;
        double* pf = core::data_of(refused.get());
        for (core::index_t i = 0; i < N; ++i) {
            const size_t k = static_cast<size_t>(i);
            if (!dynamics.acceleration(tt[k], &r[3 * k], &v[3 * k], pa + 3 * i, pr ? pr + 9 * i : nullptr,
                                       pv ? pv + 9 * i : nullptr))
                pf[i] = static_cast<double>(dynamics.refusal());
        }
    }
    return PyTuple_Pack(4, acc.get(), dadr.get(), dadv.get(), refused.get());
}

// _gravity_itrf(r (N, 3), partials) -> (a (N, 3), gradient (N, 3, 3) or
// None): the field alone, in ITRF (the kernel without the rotation).
PyObject* Numerical_gravity_itrf(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"r", "partials"};
    static constexpr core::Signature sig{"_gravity_itrf", names, 2};
    PyObject* a[2];
    if (!core::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    const num::ForceModel& model = *as_num(self)->model;
    std::vector<double> r;
    core::index_t N = 0;
    if (!take_rows(a[0], "r", -1, 3, r, &N)) return nullptr;
    const int partials = PyObject_IsTrue(a[1]);
    if (partials < 0) return nullptr;
    const npy_intp shape_a[2] = {N, 3}, shape_p[3] = {N, 3, 3};
    Ref acc = core::zeros(2, shape_a);
    Ref grad = partials ? core::zeros(3, shape_p) : Ref::borrow(Py_None);
    if (!acc || !grad) return nullptr;
    for (double x : r) {
        if (!std::isfinite(x)) {
            PyErr_SetString(PyExc_ValueError, "a position is not finite");
            return nullptr;
        }
    }
    {
        // A few evaluations cost less than giving the lock up and taking it back.
        core::ReleaseGil nogil(N > 16);
        // The functions' storage kept per thread across calls.
        thread_local std::vector<double> storage;
        num::GravityWork work(model.recursion, storage);
        for (core::index_t i = 0; i < N; ++i) {
            const double* p = &r[3 * static_cast<size_t>(i)];
            if (p[0] == 0.0 && p[1] == 0.0 && p[2] == 0.0) continue;
            num::gravity_acceleration(model.field, model.factors, work, model.degree, model.order, p,
                                      core::data_of(acc.get()) + 3 * i,
                                      partials ? core::data_of(grad.get()) + 9 * i : nullptr, &model.gradient);
        }
    }
    return PyTuple_Pack(2, acc.get(), grad.get());
}

PyObject* Numerical_tableau(PyObject*, PyObject*) {
    namespace t = num::dop853;
    const npy_intp sa[2] = {16, 16}, s16[1] = {16}, s12[1] = {12}, sd[2] = {4, 16};
    Ref A = core::zeros(2, sa), C = core::zeros(1, s16), B = core::zeros(1, s12), E3 = core::zeros(1, s12),
        E5 = core::zeros(1, s12), D = core::zeros(2, sd);
    if (!A || !C || !B || !E3 || !E5 || !D) return nullptr;
    for (int i = 0; i < 16; ++i) {
        core::data_of(C.get())[i] = t::kC[i];
        for (int j = 0; j < 16; ++j) core::data_of(A.get())[16 * i + j] = t::kA[i][j];
    }
    for (int i = 0; i < 12; ++i) {
        core::data_of(B.get())[i] = t::kB[i];
        core::data_of(E3.get())[i] = t::kE3[i];
        core::data_of(E5.get())[i] = t::kE5[i];
    }
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 16; ++j) core::data_of(D.get())[16 * i + j] = t::kD[i][j];
    return PyTuple_Pack(6, A.get(), B.get(), C.get(), E3.get(), E5.get(), D.get());
}

PyObject* Numerical_get_degree(PyObject* self, void*) { return PyLong_FromLong(as_num(self)->model->degree); }
PyObject* Numerical_get_order(PyObject* self, void*) { return PyLong_FromLong(as_num(self)->model->order); }
PyObject* Numerical_get_tolerance(PyObject* self, void*) {
    return PyFloat_FromDouble(as_num(self)->settings.tolerance);
}
PyObject* Numerical_get_step(PyObject* self, void*) { return PyFloat_FromDouble(as_num(self)->settings.step); }

PyMethodDef Numerical_methods[] = {
    {"_propagate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(core::entry<Numerical_propagate>)),
     METH_FASTCALL | METH_KEYWORDS, "The compiled propagation (see velarion.propagators.numerical)."},
    {"_acceleration",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(core::entry<Numerical_acceleration>)),
     METH_FASTCALL | METH_KEYWORDS, "The force model's acceleration and partials (GCRF)."},
    {"_gravity_itrf",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(core::entry<Numerical_gravity_itrf>)),
     METH_FASTCALL | METH_KEYWORDS, "The gravity field's acceleration and gradient in ITRF."},
    VELARION_NO_PICKLE_METHODS,
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef Numerical_getset[] = {
    {"degree", core::entry<Numerical_get_degree>, nullptr, "Degree of the gravity field.", nullptr},
    {"order", core::entry<Numerical_get_order>, nullptr, "Order of the gravity field.", nullptr},
    {"tolerance", core::entry<Numerical_get_tolerance>, nullptr, "Position tolerance of the adaptive integrator [m].",
     nullptr},
    {"step", core::entry<Numerical_get_step>, nullptr, "Step of the fixed-step integrator [s].", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot Numerical_slots[] = {{Py_tp_new, reinterpret_cast<void*>(core::entry<Numerical_new>)},
                                 {Py_tp_dealloc, reinterpret_cast<void*>(Numerical_dealloc)},
                                 {Py_tp_doc, const_cast<char*>("The compiled numerical propagator.")},
                                 {Py_tp_methods, Numerical_methods},
                                 {Py_tp_getset, Numerical_getset},
                                 {0, nullptr}};

PyType_Spec Numerical_spec = {"velarion.propagators.numerical._numerical._Numerical", sizeof(NumericalObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, Numerical_slots};

PyMethodDef module_methods[] = {{"dop853_tableau", reinterpret_cast<PyCFunction>(core::entry<Numerical_tableau>),
                                 METH_NOARGS, "The DOP853 tableau as compiled: (A, B, C, E3, E5, D)."},
                                {nullptr, nullptr, 0, nullptr}};

PyObject* numerical_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int numerical_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_numerical"); r <= 0) return r;
    PyTypeObject* type = nullptr;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(prop::import_propagators());
    {
        auto* base = static_cast<prop::PropagatorVTable*>(
            core::vtable_bind(prop::Propagator_Type, prop::kPropagatorVTableType, sizeof(prop::PropagatorVTable)));
        VELARION_CHECK(base);
        g_vtable = *base;
    }
    VELARION_CHECK(type = core::add_type(module, &Numerical_spec, reinterpret_cast<PyObject*>(prop::Propagator_Type)));
    VELARION_CHECK(core::vtable_publish(type, &g_vtable, prop::kPropagatorVTableType));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot numerical_slots[] = {{Py_mod_create, reinterpret_cast<void*>(core::entry<numerical_create>)},
                                      {Py_mod_exec, reinterpret_cast<void*>(core::entry<numerical_exec>)},
                                      {0, nullptr}};

PyModuleDef numerical_def = {PyModuleDef_HEAD_INIT,
                             "velarion.propagators.numerical._numerical",
                             "The compiled core of the numerical propagator.",
                             0,
                             module_methods,
                             numerical_slots,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__numerical() { return PyModuleDef_Init(&numerical_def); }
