// velarion.propagators.numerical._forces: the force terms of the numerical
// propagator evaluated over many contexts at once, and the compiled
// ephemeris, for tests and for the Python-side set-up of the propagator.
// The terms themselves live in kernels/<term>.hpp; this file only unpacks
// arrays into ForceContext and parameter structs.
//
// A context row has kContextColumns values: tt, tdb, r[3], v[3],
// itrf_from_gcrf[9], earth_rate[3], sun[3], moon[3], has_sun, has_moon.
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/propagators/numerical/kernels/drag.hpp"
#include "velarion/propagators/numerical/kernels/ephemeris.hpp"
#include "velarion/propagators/numerical/kernels/force_context.hpp"
#include "velarion/propagators/numerical/kernels/relativity.hpp"
#include "velarion/propagators/numerical/kernels/srp.hpp"
#include "velarion/propagators/numerical/kernels/thirdbody.hpp"
#include "velarion/propagators/numerical/kernels/tides.hpp"

#include <cstring>
#include <vector>

namespace core = velarion::core;
namespace nm = velarion::numerical;

namespace {

core::ModuleOnce g_once;

constexpr core::index_t kContextColumns = 28;

bool load_context(const core::Strided2D<double>& c, core::index_t i, nm::ForceContext& ctx) noexcept {
    double row[kContextColumns];
    for (core::index_t j = 0; j < kContextColumns; ++j) row[j] = c(i, j);
    ctx.tt = row[0];
    ctx.tdb = row[1];
    std::memcpy(ctx.r, row + 2, sizeof ctx.r);
    std::memcpy(ctx.v, row + 5, sizeof ctx.v);
    std::memcpy(ctx.itrf_from_gcrf, row + 8, sizeof ctx.itrf_from_gcrf);
    std::memcpy(ctx.earth_rate, row + 17, sizeof ctx.earth_rate);
    std::memcpy(ctx.sun, row + 20, sizeof ctx.sun);
    std::memcpy(ctx.moon, row + 23, sizeof ctx.moon);
    ctx.has_sun = row[26] != 0.0;
    ctx.has_moon = row[27] != 0.0;
    for (double x : row)
        if (!std::isfinite(x)) return false;
    return true;
}

bool take_contexts(PyObject* obj, core::View2D& view, core::Strided2D<double>& span) {
    if (!view.acquire(obj, false)) return false;
    span = view.span2();
    if (span.cols != kContextColumns) {
        PyErr_Format(PyExc_ValueError, "contexts must have %d columns, got %zd", static_cast<int>(kContextColumns),
                     span.cols);
        return false;
    }
    return true;
}

bool take_params(PyObject* obj, std::vector<double>& out, std::size_t n, const char* term) {
    if (!core::copy_finite(obj, out, "params")) return false;
    if (out.size() != n) {
        PyErr_Format(PyExc_ValueError, "%s takes %zu parameters, got %zu", term, n, out.size());
        return false;
    }
    return true;
}

// Ephemeris from a packed array; the array must stay alive (its view held).
bool take_ephemeris(PyObject* obj, core::View1D& view, nm::Ephemeris& e) {
    if (!view.acquire(obj, false)) return false;
    auto s = view.span1();
    if (s.size > 0 && s.stride != sizeof(double)) {
        PyErr_SetString(PyExc_ValueError, "the packed ephemeris must be contiguous");
        return false;
    }
    if (!nm::load_ephemeris(reinterpret_cast<const double*>(s.base), static_cast<std::size_t>(s.size), e)) {
        PyErr_SetString(PyExc_ValueError, "malformed packed ephemeris");
        return false;
    }
    return true;
}

void raise_outside(const nm::Ephemeris& e, double t) {
    PyErr_Format(PyExc_ValueError,
                 "TDB %.3f s since J2000 lies outside the packed ephemeris, which covers [%.3f, %.3f] s", t, e.first,
                 e.last);
}

bool non_finite_context(core::index_t i) {
    PyErr_Format(PyExc_ValueError, "context row %zd is not finite", i);
    return false;
}

// A result that is not finite comes from a context at a singular point
// (the Earth's centre, a body's centre): refused, never returned.
bool all_finite(const double* x, int n) noexcept {
    for (int k = 0; k < n; ++k)
        if (!std::isfinite(x[k])) return false;
    return true;
}

bool non_finite_result(core::index_t i) {
    PyErr_Format(PyExc_ValueError, "the result at context row %zd is not finite (a position at a singular point)", i);
    return false;
}

constexpr const char* kGeoNames[] = {"packed", "series", "tdb"};
constexpr core::Signature kGeoSig{"ephemeris_geocentric", kGeoNames, 3};

// ephemeris_geocentric(packed, series, tdb) -> (n, 3) metres; series -1 is
// the Sun's velocity (m/s), for the de Sitter term's check.
PyObject* py_ephemeris_geocentric(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kGeoSig, args, nargs, kwnames, a)) return nullptr;
    core::View1D packed;
    nm::Ephemeris e;
    if (!take_ephemeris(a[0], packed, e)) return nullptr;
    const long series = PyLong_AsLong(a[1]);
    if (series == -1 && PyErr_Occurred()) return nullptr;
    if (series != -1 && (series < nm::kEmbToMoon || series >= e.count)) {
        PyErr_Format(PyExc_ValueError, "no series %ld in the packed ephemeris", series);
        return nullptr;
    }
    std::vector<double> t;
    if (!core::copy_finite(a[2], t, "tdb")) return nullptr;
    npy_intp shape[2] = {static_cast<npy_intp>(t.size()), 3};
    core::Ref out = core::zeros(2, shape);
    if (!out) return nullptr;
    double* o = core::data_of(out.get());
    for (std::size_t i = 0; i < t.size(); ++i) {
        const bool ok = series == -1 ? nm::geocentric_sun_velocity(e, t[i], o + 3 * i)
                                     : nm::geocentric_position(e, static_cast<int>(series), t[i], o + 3 * i);
        if (!ok) {
            raise_outside(e, t[i]);
            return nullptr;
        }
    }
    return out.release();
}

enum class Term { thirdbody, srp, drag, relativity };

bool term_from(PyObject* name, Term& term) {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "term must be a str");
        return false;
    }
    const char* s = PyUnicode_AsUTF8(name);
    if (!s) return false;
    if (!std::strcmp(s, "thirdbody"))
        term = Term::thirdbody;
    else if (!std::strcmp(s, "srp"))
        term = Term::srp;
    else if (!std::strcmp(s, "drag"))
        term = Term::drag;
    else if (!std::strcmp(s, "relativity"))
        term = Term::relativity;
    else {
        PyErr_Format(PyExc_ValueError, "unknown force term %R (thirdbody, srp, drag, relativity)", name);
        return false;
    }
    return true;
}

struct AllParams {
    nm::ThirdBodyParams thirdbody;
    nm::SrpParams srp;
    nm::DragParams drag;
    nm::RelativityParams relativity;
};

// Parameter vectors, by term:
//   thirdbody: gm_sun, gm_moon, sun (0/1), moon (0/1)
//   srp: cr, area, mass, p0, au, sun_radius, earth_radius, moon_radius, earth_shadow, moon_shadow
//   drag: cd, area, mass, model (0 Harris-Priester, 1 NRLMSISE-00), hp_exponent,
//         f107, f107a, ap, ut_minus_tt (the constants when no weather table is given)
//   relativity: gm, gm_sun, c, angular_momentum, schwarzschild, lense_thirring, de_sitter
bool unpack_params(Term term, PyObject* obj, AllParams& p) {
    std::vector<double> v;
    switch (term) {
        case Term::thirdbody:
            if (!take_params(obj, v, 4, "thirdbody")) return false;
            p.thirdbody = {v[0], v[1], v[2] != 0.0, v[3] != 0.0};
            return true;
        case Term::srp:
            if (!take_params(obj, v, 10, "srp")) return false;
            p.srp = {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8] != 0.0, v[9] != 0.0};
            if (!(p.srp.mass > 0.0)) break;
            return true;
        case Term::drag:
            if (!take_params(obj, v, 9, "drag")) return false;
            if (v[3] != 0.0 && v[3] != 1.0) {
                PyErr_SetString(PyExc_ValueError, "drag: model must be 0 (Harris-Priester) or 1 (NRLMSISE-00)");
                return false;
            }
            p.drag.cd = v[0];
            p.drag.area = v[1];
            p.drag.mass = v[2];
            p.drag.model = static_cast<nm::DensityModel>(static_cast<int>(v[3]));
            p.drag.hp_exponent = v[4];
            p.drag.f107 = v[5];
            p.drag.f107a = v[6];
            p.drag.ap = v[7];
            p.drag.ut_minus_tt = v[8];
            if (!(p.drag.mass > 0.0)) break;
            return true;
        case Term::relativity:
            if (!take_params(obj, v, 7, "relativity")) return false;
            p.relativity.gm = v[0];
            p.relativity.gm_sun = v[1];
            p.relativity.c = v[2];
            p.relativity.angular_momentum = v[3];
            p.relativity.schwarzschild = v[4] != 0.0;
            p.relativity.lense_thirring = v[5] != 0.0;
            p.relativity.de_sitter = v[6] != 0.0;
            if (!(p.relativity.c > 0.0)) {
                PyErr_SetString(PyExc_ValueError, "relativity: c must be positive");
                return false;
            }
            return true;
    }
    PyErr_SetString(PyExc_ValueError, "the mass must be positive");
    return false;
}

// A packed weather table: first_mjd, days, ap_history (0/1), then days rows
// of kWeatherColumns; the array must stay alive (its view held).
bool take_weather(PyObject* obj, core::View1D& view, nm::SpaceWeather& w, nm::DragParams& p) {
    if (!view.acquire(obj, false)) return false;
    auto s = view.span1();
    const double* d = reinterpret_cast<const double*>(s.base);
    if (s.size < 3 + nm::kWeatherColumns || s.stride != sizeof(double) || !std::isfinite(d[0]) || !(d[1] >= 1.0) ||
        d[1] != std::floor(d[1]) || static_cast<double>(s.size) != 3.0 + d[1] * nm::kWeatherColumns) {
        PyErr_SetString(PyExc_ValueError, "malformed packed space-weather table");
        return false;
    }
    for (core::index_t i = 3; i < s.size; ++i) {
        if (!std::isfinite(d[i])) {
            PyErr_SetString(PyExc_ValueError, "the space-weather table holds a non-finite value");
            return false;
        }
    }
    w.first_mjd = d[0];
    w.days = static_cast<long>(d[1]);
    w.rows = d + 3;
    p.ap_history = d[2] != 0.0;
    p.weather = &w;
    return true;
}

constexpr const char* kAccNames[] = {"term", "contexts", "params", "ephemeris", "weather"};
constexpr core::Signature kAccSig{"accelerations", kAccNames, 3};

// accelerations(term, contexts, params, ephemeris=None, weather=None) -> (a, dadr, dadv)
PyObject* py_accelerations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!core::parse_args(kAccSig, args, nargs, kwnames, a)) return nullptr;
    Term term;
    if (!term_from(a[0], term)) return nullptr;
    core::View2D cview;
    core::Strided2D<double> c;
    if (!take_contexts(a[1], cview, c)) return nullptr;
    AllParams p;
    if (!unpack_params(term, a[2], p)) return nullptr;
    core::View1D eview;
    nm::Ephemeris e;
    if (a[3] && a[3] != Py_None) {
        if (!take_ephemeris(a[3], eview, e)) return nullptr;
        p.relativity.ephemeris = &e;
    }
    core::View1D wview;
    nm::SpaceWeather w;
    if (a[4] && a[4] != Py_None && !take_weather(a[4], wview, w, p.drag)) return nullptr;
    const npy_intp n = c.rows;
    npy_intp s3[2] = {n, 3}, s33[3] = {n, 3, 3};
    core::Ref acc = core::zeros(2, s3), dadr = core::zeros(3, s33), dadv = core::zeros(3, s33);
    if (!acc || !dadr || !dadv) return nullptr;
    double *pa = core::data_of(acc.get()), *pr = core::data_of(dadr.get()), *pv = core::data_of(dadv.get());
    for (npy_intp i = 0; i < n; ++i) {
        nm::ForceContext ctx;
        if (!load_context(c, i, ctx)) return non_finite_context(i), nullptr;
        double *ai = pa + 3 * i, *ri = pr + 9 * i, *vi = pv + 9 * i;
        switch (term) {
            case Term::thirdbody: nm::add_thirdbody(ctx, p.thirdbody, ai, ri, vi); break;
            case Term::srp: nm::add_srp(ctx, p.srp, ai, ri, vi); break;
            case Term::drag: nm::add_drag(ctx, p.drag, ai, ri, vi); break;
            case Term::relativity:
                if (!nm::add_relativity(ctx, p.relativity, ai, ri, vi)) {
                    raise_outside(e, ctx.tdb);
                    return nullptr;
                }
                break;
        }
        if (!all_finite(ai, 3) || !all_finite(ri, 9) || !all_finite(vi, 9)) return non_finite_result(i), nullptr;
    }
    return PyTuple_Pack(3, acc.get(), dadr.get(), dadv.get());
}

constexpr const char* kScalarNames[] = {"contexts", "params", "weather"};
constexpr core::Signature kShadowSig{"sunlight_fraction", kScalarNames, 2};
constexpr core::Signature kDensitySig{"density", kScalarNames, 2};

// sunlight_fraction(contexts, srp params) -> (n,): 1 sunlit, 0 umbra.
PyObject* py_sunlight_fraction(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kShadowSig, args, nargs, kwnames, a)) return nullptr;
    core::View2D cview;
    core::Strided2D<double> c;
    if (!take_contexts(a[0], cview, c)) return nullptr;
    AllParams p;
    if (!unpack_params(Term::srp, a[1], p)) return nullptr;
    npy_intp n = c.rows;
    core::Ref out = core::zeros(1, &n);
    if (!out) return nullptr;
    double* o = core::data_of(out.get());
    for (npy_intp i = 0; i < n; ++i) {
        nm::ForceContext ctx;
        if (!load_context(c, i, ctx)) return non_finite_context(i), nullptr;
        o[i] = nm::sunlight_fraction(ctx, p.srp);
        if (!std::isfinite(o[i])) return non_finite_result(i), nullptr;
    }
    return out.release();
}

// density(contexts, drag params, weather=None) -> (n,) kg/m^3 at each
// context's position.
PyObject* py_density(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kDensitySig, args, nargs, kwnames, a)) return nullptr;
    core::View2D cview;
    core::Strided2D<double> c;
    if (!take_contexts(a[0], cview, c)) return nullptr;
    AllParams p;
    if (!unpack_params(Term::drag, a[1], p)) return nullptr;
    core::View1D wview;
    nm::SpaceWeather w;
    if (a[2] && a[2] != Py_None && !take_weather(a[2], wview, w, p.drag)) return nullptr;
    npy_intp n = c.rows;
    core::Ref out = core::zeros(1, &n);
    if (!out) return nullptr;
    double* o = core::data_of(out.get());
    for (npy_intp i = 0; i < n; ++i) {
        nm::ForceContext ctx;
        if (!load_context(c, i, ctx)) return non_finite_context(i), nullptr;
        o[i] = nm::drag_density(ctx, p.drag, ctx.r);
        if (!std::isfinite(o[i])) return non_finite_result(i), nullptr;
    }
    return out.release();
}

constexpr const char* kTideNames[] = {"contexts", "gmst", "params"};
constexpr core::Signature kTideSig{"solid_tide", kTideNames, 3};

// solid_tide(contexts, gmst, params) -> (dC, dS), each (n, 5, 5). params:
// gm, radius, gm_sun, gm_moon, k2_re[3], k2_im[3], k2_plus[3], k3[4],
// step2, zero_tide_field.
PyObject* py_solid_tide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kTideSig, args, nargs, kwnames, a)) return nullptr;
    core::View2D cview;
    core::Strided2D<double> c;
    if (!take_contexts(a[0], cview, c)) return nullptr;
    std::vector<double> gmst, v;
    if (!core::copy_finite(a[1], gmst, "gmst")) return nullptr;
    if (static_cast<core::index_t>(gmst.size()) != c.rows) {
        PyErr_SetString(PyExc_ValueError, "gmst must have one angle per context");
        return nullptr;
    }
    if (!take_params(a[2], v, 19, "solid_tide")) return nullptr;
    nm::SolidTideParams p;
    p.gm = v[0];
    p.radius = v[1];
    p.gm_sun = v[2];
    p.gm_moon = v[3];
    for (int m = 0; m < 3; ++m) {
        p.k2_re[m] = v[4 + m];
        p.k2_im[m] = v[7 + m];
        p.k2_plus[m] = v[10 + m];
    }
    for (int m = 0; m < 4; ++m) p.k3[m] = v[13 + m];
    p.step2 = v[17] != 0.0;
    p.zero_tide_field = v[18] != 0.0;
    if (!(p.gm > 0.0) || !(p.radius > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "solid_tide: gm and radius must be positive");
        return nullptr;
    }
    npy_intp shape[3] = {c.rows, 5, 5};
    core::Ref dc = core::zeros(3, shape), ds = core::zeros(3, shape);
    if (!dc || !ds) return nullptr;
    auto* pc = reinterpret_cast<double(*)[5][5]>(core::data_of(dc.get()));
    auto* ps = reinterpret_cast<double(*)[5][5]>(core::data_of(ds.get()));
    for (core::index_t i = 0; i < c.rows; ++i) {
        nm::ForceContext ctx;
        if (!load_context(c, i, ctx)) return non_finite_context(i), nullptr;
        nm::solid_tide_corrections(ctx, gmst[static_cast<std::size_t>(i)], pc[i], ps[i], p);
        if (!all_finite(&pc[i][0][0], 25) || !all_finite(&ps[i][0][0], 25)) return non_finite_result(i), nullptr;
    }
    return PyTuple_Pack(2, dc.get(), ds.get());
}

constexpr const char* kMsisNames[] = {"inputs"};
constexpr core::Signature kMsisSig{"nrlmsise00", kMsisNames, 1};

// nrlmsise00(inputs) -> (n, 11): the model itself, one row of inputs per
// evaluation: doy, sec, alt (km), lat, lon (deg), lst (h), f107a, f107,
// ap, ap_a[7], ap_history (0/1), gtd7d (0/1); out d[9] (cgs) and t[2].
PyObject* py_nrlmsise00(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!core::parse_args(kMsisSig, args, nargs, kwnames, a)) return nullptr;
    core::View2D view;
    if (!view.acquire(a[0], false)) return nullptr;
    auto in = view.span2();
    if (in.cols != 18) {
        PyErr_Format(PyExc_ValueError, "nrlmsise00 inputs must have 18 columns, got %zd", in.cols);
        return nullptr;
    }
    npy_intp shape[2] = {in.rows, 11};
    core::Ref out = core::zeros(2, shape);
    if (!out) return nullptr;
    double* o = core::data_of(out.get());
    for (core::index_t i = 0; i < in.rows; ++i) {
        double row[18];
        for (int j = 0; j < 18; ++j) {
            row[j] = in(i, j);
            if (!std::isfinite(row[j])) {
                PyErr_Format(PyExc_ValueError, "nrlmsise00 input row %zd is not finite", i);
                return nullptr;
            }
        }
        if (!(row[0] >= 1.0 && row[0] <= 366.0)) {
            PyErr_Format(PyExc_ValueError, "nrlmsise00 input row %zd: day of year outside 1..366", i);
            return nullptr;
        }
        nm::nrlmsise00::nrlmsise_input x{};
        nm::nrlmsise00::ap_array history{};
        nm::nrlmsise00::nrlmsise_flags flags{};
        for (int& s : flags.switches) s = 1;
        flags.switches[0] = 0;
        x.doy = static_cast<int>(row[0]);
        x.sec = row[1];
        x.alt = row[2];
        x.g_lat = row[3];
        x.g_long = row[4];
        x.lst = row[5];
        x.f107A = row[6];
        x.f107 = row[7];
        x.ap = row[8];
        for (int j = 0; j < 7; ++j) history.a[j] = row[9 + j];
        if (row[16] != 0.0) {
            flags.switches[9] = -1;
            x.ap_a = &history;
        }
        nm::nrlmsise00::Model model{};
        nm::nrlmsise00::nrlmsise_output r{};
        if (row[17] != 0.0)
            model.gtd7d(&x, &flags, &r);
        else
            model.gtd7(&x, &flags, &r);
        for (int j = 0; j < 9; ++j) o[11 * i + j] = r.d[j];
        o[11 * i + 9] = r.t[0];
        o[11 * i + 10] = r.t[1];
    }
    return out.release();
}

#define FASTCALL(fn) VELARION_FASTCALL(fn), METH_FASTCALL | METH_KEYWORDS

PyMethodDef forces_methods[] = {
    {"ephemeris_geocentric", FASTCALL(py_ephemeris_geocentric),
     "ephemeris_geocentric(packed, series, tdb)\n--\n\n"
     "Geocentric positions (n, 3), m, of one series of a packed ephemeris at TDB seconds since J2000.0\n"
     "(series -1: the Sun's geocentric velocity, m/s)."},
    {"accelerations", FASTCALL(py_accelerations),
     "accelerations(term, contexts, params, ephemeris=None, weather=None)\n--\n\n"
     "A force term's accelerations (n, 3) and partials (n, 3, 3) by position and velocity at each\n"
     "context row."},
    {"sunlight_fraction", FASTCALL(py_sunlight_fraction),
     "sunlight_fraction(contexts, params)\n--\n\n"
     "The fraction of the solar disc seen at each context (SRP parameters)."},
    {"density", FASTCALL(py_density),
     "density(contexts, params, weather=None)\n--\n\n"
     "The drag term's atmospheric density (kg/m^3) at each context (drag parameters)."},
    {"nrlmsise00", FASTCALL(py_nrlmsise00),
     "nrlmsise00(inputs)\n--\n\n"
     "The NRLMSISE-00 model at rows of (doy, sec, alt, lat, lon, lst, f107a, f107, ap, ap_a[7],\n"
     "ap_history, gtd7d): rows of the nine densities (cm^-3, g/cm^3) and two temperatures (K)."},
    {"solid_tide", FASTCALL(py_solid_tide),
     "solid_tide(contexts, gmst, params)\n--\n\n"
     "Solid Earth tide corrections (dC, dS), (n, 5, 5), to the normalised gravity coefficients at each\n"
     "context; gmst is the Greenwich mean sidereal time (rad) of each."},
    {nullptr, nullptr, 0, nullptr}};

#undef FASTCALL

PyObject* forces_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int forces_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_forces"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(PyModule_AddIntConstant(module, "CONTEXT_COLUMNS", static_cast<long>(kContextColumns)));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot forces_slots[] = {
    {Py_mod_create, (void*)core::entry<forces_create>}, {Py_mod_exec, (void*)core::entry<forces_exec>}, {0, nullptr}};

PyModuleDef forces_def = {PyModuleDef_HEAD_INIT,
                          "velarion.propagators.numerical._forces",
                          "Force terms of the numerical propagator, evaluated over many contexts.",
                          0,
                          forces_methods,
                          forces_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__forces() { return PyModuleDef_Init(&forces_def); }
