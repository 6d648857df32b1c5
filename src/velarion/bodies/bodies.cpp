// velarion.bodies.bodies: celestial bodies and their constants, held as
// class attributes of immutable extension types (CelestialBody and its
// subclasses Earth, Sun, Moon), and the Sun's position (sun_position_gcrf).
#include "velarion/_core/constants.hpp"
#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/bodies/bodies.hpp"
#include "velarion/bodies/kernels/sun.hpp"
#include "velarion/time/time.hpp"

namespace core = velarion::core;
namespace bodies = velarion::bodies;
namespace constants = velarion::constants;
using core::Ref;

namespace {

core::ModuleOnce g_once;
core::InternedNames g_names{"tt", "jd12"};
enum Name { kTt, kJd12 };

struct Constant {
    const char* name;
    double value;
};

struct BodySpec {
    const char* name;
    const char* doc;
    Constant constants[3];
};

constexpr const char kCelestialBodyDoc[] =
    "Base class of the celestial bodies.\n\n"
    "A body's constants are class attributes: name, GM (gravitational\n"
    "parameter, m^3/s^2) and radius (equatorial radius, m). Subclass it to\n"
    "describe another body.";

constexpr BodySpec kBodies[] = {
    {"Earth",
     "The Earth.\n\nGM = 3.986004418e14 m^3/s^2 (IERS 2010 / WGS84), radius = 6378137.0 m,\n"
     "J2 = 1.08262668e-3 (second zonal harmonic).",
     {{"GM", constants::kEarthGm}, {"radius", constants::kEarthRadius}, {"J2", constants::kEarthJ2}}},
    {"Sun",
     "The Sun.\n\nGM = 1.32712440018e20 m^3/s^2, radius = 6.957e8 m (IAU 2015 nominal).",
     {{"GM", constants::kSunGm}, {"radius", constants::kSunRadius}, {nullptr, 0.0}}},
    {"Moon",
     "The Moon.\n\nGM = 4.9028000661e12 m^3/s^2, radius = 1737400.0 m.",
     {{"GM", constants::kMoonGm}, {"radius", constants::kMoonRadius}, {nullptr, 0.0}}},
};

// Class attributes go straight into the type's dict: the types are immutable
// to setattr, as constants should be.
int set_class_attr(PyTypeObject* type, const char* name, PyObject* value) {
    if (!value) return -1;
    Ref keep = Ref::steal(value);
    if (PyDict_SetItemString(type->tp_dict, name, value) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

PyType_Slot CelestialBody_slots[] = {{Py_tp_doc, (void*)kCelestialBodyDoc}, {0, nullptr}};
PyType_Spec CelestialBody_spec = {"velarion.bodies.bodies.CelestialBody", sizeof(bodies::CelestialBodyObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                                  CelestialBody_slots};

PyType_Slot Earth_slots[] = {{Py_tp_doc, (void*)kBodies[0].doc}, {0, nullptr}};
PyType_Slot Sun_slots[] = {{Py_tp_doc, (void*)kBodies[1].doc}, {0, nullptr}};
PyType_Slot Moon_slots[] = {{Py_tp_doc, (void*)kBodies[2].doc}, {0, nullptr}};
constexpr unsigned kBodyFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE;
PyType_Spec body_specs[] = {
    {"velarion.bodies.bodies.Earth", sizeof(bodies::CelestialBodyObject), 0, kBodyFlags, Earth_slots},
    {"velarion.bodies.bodies.Sun", sizeof(bodies::CelestialBodyObject), 0, kBodyFlags, Sun_slots},
    {"velarion.bodies.bodies.Moon", sizeof(bodies::CelestialBodyObject), 0, kBodyFlags, Moon_slots},
};

// Epochs above which the Sun's positions are computed without the interpreter lock.
constexpr npy_intp kReleaseLockAbove = 256;

constexpr const char* kSunNames[] = {"time"};
constexpr core::Signature kSunSig{"sun_position_gcrf", kSunNames, 1};

PyObject* py_sun_position_gcrf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!core::parse_args(kSunSig, args, nargs, kwnames, a)) return nullptr;
    if (!core::check_arg_type(a[0], velarion::time::Time_Type, "time", false)) return nullptr;
    // time.tt.jd12 by attribute (a subclass's override is what is read),
    // then a private float64 copy: nothing read below can change under the loop.
    Ref tt = Ref::steal(PyObject_GetAttr(a[0], g_names[kTt]));
    if (!tt) return nullptr;
    Ref jd = Ref::steal(PyObject_GetAttr(tt.get(), g_names[kJd12]));
    if (!jd) return nullptr;
    Ref dates = Ref::steal(
        PyArray_FROM_OTF(jd.get(), NPY_DOUBLE, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY));
    if (!dates) return nullptr;
    PyArrayObject* d = core::as_array(dates.get());
    const int ndim = PyArray_NDIM(d);
    if (ndim < 1 || PyArray_DIM(d, ndim - 1) != 2) {
        PyErr_SetString(PyExc_ValueError, "time.tt.jd12 must end in an axis of the two parts of each date");
        return nullptr;
    }
    npy_intp shape[NPY_MAXDIMS];
    for (int k = 0; k < ndim - 1; ++k) shape[k] = PyArray_DIM(d, k);
    shape[ndim - 1] = 3;
    Ref out = core::empty(ndim, shape);
    if (!out) return nullptr;
    const npy_intp n = PyArray_SIZE(d) / 2;
    const double* jd12 = core::data_of(dates.get());
    double* r = core::data_of(out.get());
    {
        core::ReleaseGil nogil(n > kReleaseLockAbove);
        for (npy_intp i = 0; i < n; ++i) bodies::kernels::sun_gcrf(jd12[2 * i], jd12[2 * i + 1], r + 3 * i);
    }
    return out.release();
}

// Word for word: the docstring is the function's documentation.
PyMethodDef bodies_methods[] = {
    {"sun_position_gcrf", VELARION_FASTCALL(py_sun_position_gcrf), METH_FASTCALL | METH_KEYWORDS,
     "sun_position_gcrf(time)\n--\n\n"
     "The Sun's geocentric position [m] in GCRF at every epoch of a Time: an\n"
     "array of shape time.shape + (3,).\n\n"
     "From ERFA's Earth ephemeris (eraEpv00: about 5 km in the Earth-Sun\n"
     "vector between 1900 and 2100, degrading outside), at TT taken as TDB.\n"
     "Geometric: the Sun's centre where it is at that instant, without light\n"
     "time or aberration (the Sun as seen is about 20 arcseconds away)."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* bodies_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int bodies_exec(PyObject* module) {
    if (int r = g_once.enter(module, "bodies"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(velarion::time::import_time());
    VELARION_CHECK(g_names.init());
    {
        Ref base = Ref::steal(reinterpret_cast<PyObject*>(core::add_type(module, &CelestialBody_spec)));
        VELARION_CHECK(base.get());
        for (int i = 0; i < 3; ++i) {
            Ref type = Ref::steal(reinterpret_cast<PyObject*>(core::add_type(module, &body_specs[i], base.get())));
            VELARION_CHECK(type.get());
            auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
            VELARION_CHECK(set_class_attr(tp, "name", PyUnicode_FromString(kBodies[i].name)));
            for (const Constant& c : kBodies[i].constants) {
                if (c.name) VELARION_CHECK(set_class_attr(tp, c.name, PyFloat_FromDouble(c.value)));
            }
        }
    }
    return 0;
error:
    return -1;
}

PyModuleDef_Slot bodies_slots[] = {
    {Py_mod_create, (void*)core::entry<bodies_create>}, {Py_mod_exec, (void*)core::entry<bodies_exec>}, {0, nullptr}};

PyModuleDef bodies_def = {PyModuleDef_HEAD_INIT,
                          "velarion.bodies.bodies",
                          "Celestial bodies (Earth, Sun, Moon), their constants, and the Sun's position.",
                          0,
                          bodies_methods,
                          bodies_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_bodies() { return PyModuleDef_Init(&bodies_def); }
