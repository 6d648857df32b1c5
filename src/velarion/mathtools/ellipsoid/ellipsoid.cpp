// velarion.mathtools.ellipsoid.ellipsoid: reference ellipsoids of
// revolution, the geodetic <-> Cartesian conversions (vectorized in Python,
// one point at C level through the method table) and the standard
// ellipsoids WGS84, GRS80 and WGS72, published as C-level variables.
#include "velarion/_core/core.hpp"
#include "velarion/_core/iterate.hpp"
#include "velarion/mathtools/ellipsoid/ellipsoid.hpp"
#include "velarion/mathtools/ellipsoid/kernels/geodetic.hpp"

#include <structmember.h>

#include <cmath>
#include <cstddef>

namespace core = velarion::core;
namespace ell = velarion::mathtools::ellipsoid;
using core::Ref;
using ell::EllipsoidObject;

namespace {

core::ModuleOnce g_once;
PyTypeObject* g_type = nullptr;  // Ellipsoid (owned)

// The published variables: capsules hold the addresses of these pointers.
PyObject* g_WGS84 = nullptr;
PyObject* g_GRS80 = nullptr;
PyObject* g_WGS72 = nullptr;

inline EllipsoidObject* as_ell(PyObject* o) noexcept { return reinterpret_cast<EllipsoidObject*>(o); }
inline ell::kernels::Shape shape_of(const EllipsoidObject* self) noexcept {
    return ell::kernels::Shape::make(self->a, self->f);
}

// --- C level -------------------------------------------------------------------

// Word for word, the exception texts of this module: tests compare them.

// The text of a loop's fault, completed by " (point %zd ...)".
const char* fault_text(ell::kernels::Fault f) noexcept {
    return f == ell::kernels::Fault::latitude_range ? "latitude must be within [-pi/2, pi/2] radians"
                                                    : "input must be finite";
}

int Ellipsoid_c_geodetic_to_cartesian(EllipsoidObject* self, double out[3], double lat, double lon, double alt) {
    const ell::kernels::Fault fault = ell::kernels::check_geodetic(lat, lon, alt);
    if (fault != ell::kernels::Fault::none) {
        Ref values = Ref::steal(Py_BuildValue("(ddd)", lat, lon, alt));
        if (!values) return -1;
        if (fault == ell::kernels::Fault::not_finite) {
            PyErr_Format(PyExc_ValueError, "geodetic coordinates must be finite; got (lat, lon, alt) = %R",
                         values.get());
        } else {
            PyErr_Format(PyExc_ValueError,
                         "geodetic latitude must be within [-pi/2, pi/2] radians (degrees given for radians?); "
                         "got (lat, lon, alt) = %R",
                         values.get());
        }
        return -1;
    }
    ell::kernels::geodetic_to_cartesian(shape_of(self), lat, lon, alt, out);
    return 0;
}

ell::EllipsoidVTable g_vtable = {Ellipsoid_c_geodetic_to_cartesian};

// --- construction ----------------------------------------------------------------

constexpr const char* kNewNames[] = {"a", "f", "name"};
constexpr core::Signature kNewSig{"Ellipsoid", kNewNames, 2};

PyObject* Ellipsoid_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    core::Args<3> v;
    if (!core::parse_args(kNewSig, args, kwargs, v)) return nullptr;
    double a, f;
    if (!core::to_double(v[0], a) || !core::to_double(v[1], f)) return nullptr;
    if (!(std::isfinite(a) && a > 0.0)) {
        PyErr_Format(PyExc_ValueError, "Ellipsoid: a (equatorial radius, m) must be finite and positive, got %R", v[0]);
        return nullptr;
    }
    if (!(std::isfinite(f) && f >= 0.0 && f < 1.0)) {
        PyErr_Format(PyExc_ValueError, "Ellipsoid: f (flattening) must be finite and in [0, 1), got %R", v[1]);
        return nullptr;
    }
    if (!(a / (1.0 - f) <= 1e300)) {
        // The conversions work with radii of curvature up to this one, added
        // to distances up to the largest double.
        PyErr_Format(PyExc_ValueError,
                     "Ellipsoid: a / (1 - f), the polar radius of curvature, must not exceed 1e300 m; got a=%R, f=%R",
                     v[0], v[1]);
        return nullptr;
    }
    PyObject* name = v[2];
    if (name) {
        if (!core::check_exact_str(name, "name")) return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    EllipsoidObject* e = as_ell(self.get());
    e->vtab = &g_vtable;
    e->a = a;
    e->f = f;
    e->b = a * (1.0 - f);
    e->e2 = f * (2.0 - f);
    e->name = name ? Py_NewRef(name) : PyUnicode_FromString("");
    if (!e->name) return nullptr;
    return self.release();
}

int Ellipsoid_release(PyObject* self) {
    Py_CLEAR(as_ell(self)->name);
    return 0;
}

PyObject* Ellipsoid_repr(PyObject* self) {
    EllipsoidObject* e = as_ell(self);
    Ref a = Ref::steal(PyFloat_FromDouble(e->a));
    Ref f = Ref::steal(PyFloat_FromDouble(e->f));
    if (!a || !f) return nullptr;
    Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
    if (!qualname) return nullptr;
    return PyUnicode_FromFormat("%U(a=%R, f=%R, name=%R)", qualname.get(), a.get(), f.get(), e->name);
}

// Equal when the shapes are (a and f); the name is a label.
PyObject* Ellipsoid_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, g_type)) Py_RETURN_NOTIMPLEMENTED;
    bool same = as_ell(self)->a == as_ell(other)->a && as_ell(self)->f == as_ell(other)->f;
    return PyBool_FromLong(op == Py_EQ ? same : !same);
}

Py_hash_t Ellipsoid_hash(PyObject* self) {
    Ref key = Ref::steal(Py_BuildValue("(dd)", as_ell(self)->a, as_ell(self)->f));
    return key ? PyObject_Hash(key.get()) : -1;
}

PyObject* Ellipsoid_reduce(PyObject* self, PyObject*) {
    EllipsoidObject* e = as_ell(self);
    return Py_BuildValue("O(ddO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), e->a, e->f, e->name);
}

// --- vectorized conversions ------------------------------------------------------

// An argument as an aligned float64 array (scalars become 0-d arrays);
// complex or text input is refused by NumPy's safe casting.
Ref as_double_array(PyObject* obj, const char* name) {
    if (obj == Py_None) {
        PyErr_Format(PyExc_TypeError, "%s must be a number or an array of numbers, not None", name);
        return {};
    }
    return Ref::steal(PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, NPY_ARRAY_ALIGNED, nullptr));
}

// A view of component k of the last axis of `arr` (shape (..., 3)), or a view
// of `arr` with the given `nd` leading axes at byte offset `offset`.
Ref component_view(PyObject* arr, int nd, npy_intp offset) {
    PyArrayObject* a = core::as_array(arr);
    Ref view = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_DOUBLE), nd, PyArray_DIMS(a),
                                               PyArray_STRIDES(a), PyArray_BYTES(a) + offset,
                                               PyArray_FLAGS(a) & NPY_ARRAY_WRITEABLE, nullptr));
    if (!view || PyArray_SetBaseObject(core::as_array(view.get()), Py_NewRef(arr)) < 0) return {};
    return view;
}

using Loop = std::ptrdiff_t (*)(const ell::kernels::Shape&, std::ptrdiff_t, char* const*, const std::ptrdiff_t*,
                                ell::kernels::Fault&) noexcept;

// Runs `loop` over six operands (three inputs, three outputs; outputs given
// as nullptr are allocated). Returns the outputs (new references) through
// `result`, or false with an exception set.
bool run_loop(const ell::kernels::Shape& s, Loop loop, PyArrayObject* ops[6], Ref result[3], const char* what) {
    ell::kernels::Fault fault = ell::kernels::Fault::none;
    npy_intp bad;
    if (!core::iterate(
            {.nin = 3, .nout = 3}, ops, nullptr, result, &bad,
            [&](char* const* data, const npy_intp* strides, npy_intp n) { return loop(s, n, data, strides, fault); }))
        return false;
    if (bad != core::kIterationDone) {
        PyErr_Format(PyExc_ValueError, "%s: %s (point %zd in iteration order is not)", what, fault_text(fault), bad);
        return false;
    }
    return true;
}

constexpr const char* kG2CNames[] = {"lat", "lon", "alt"};
constexpr core::Signature kG2CSig{"geodetic_to_cartesian", kG2CNames, 3};

PyObject* Ellipsoid_geodetic_to_cartesian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[3];
    if (!core::parse_args(kG2CSig, args, nargs, kwnames, v)) return nullptr;
    const ell::kernels::Shape s = shape_of(as_ell(self));
    if (PyFloat_CheckExact(v[0]) && PyFloat_CheckExact(v[1]) && PyFloat_CheckExact(v[2])) {
        double out[3];
        if (Ellipsoid_c_geodetic_to_cartesian(as_ell(self), out, PyFloat_AS_DOUBLE(v[0]), PyFloat_AS_DOUBLE(v[1]),
                                              PyFloat_AS_DOUBLE(v[2])) < 0)
            return nullptr;
        npy_intp three = 3;
        Ref res = core::empty(1, &three);
        if (!res) return nullptr;
        double* p = core::data_of(res.get());
        p[0] = out[0], p[1] = out[1], p[2] = out[2];
        return res.release();
    }
    Ref in[3];
    for (int k = 0; k < 3; ++k) {
        if (!(in[k] = as_double_array(v[k], kG2CNames[k]))) return nullptr;
    }
    Ref multi = Ref::steal(PyArray_MultiIterNew(3, in[0].get(), in[1].get(), in[2].get()));
    if (!multi) return nullptr;
    auto* mit = reinterpret_cast<PyArrayMultiIterObject*>(multi.get());
    const int nd = mit->nd;
    npy_intp dims[NPY_MAXDIMS + 1];
    for (int d = 0; d < nd; ++d) dims[d] = mit->dimensions[d];
    if (nd + 1 > NPY_MAXDIMS) {
        PyErr_SetString(PyExc_ValueError, "geodetic_to_cartesian: too many dimensions");
        return nullptr;
    }
    dims[nd] = 3;
    Ref out = core::empty(nd + 1, dims);
    if (!out) return nullptr;
    Ref comp[3];
    for (int k = 0; k < 3; ++k) {
        if (!(comp[k] = component_view(out.get(), nd, k * static_cast<npy_intp>(sizeof(double))))) return nullptr;
    }
    PyArrayObject* ops[6] = {core::as_array(in[0].get()),   core::as_array(in[1].get()),
                             core::as_array(in[2].get()),   core::as_array(comp[0].get()),
                             core::as_array(comp[1].get()), core::as_array(comp[2].get())};
    Ref unused[3];
    if (!run_loop(s, ell::kernels::geodetic_to_cartesian_loop, ops, unused, "geodetic_to_cartesian")) return nullptr;
    return out.release();
}

constexpr const char* kC2GNames[] = {"r"};
constexpr core::Signature kC2GSig{"cartesian_to_geodetic", kC2GNames, 1};

PyObject* Ellipsoid_cartesian_to_geodetic(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* v[1];
    if (!core::parse_args(kC2GSig, args, nargs, kwnames, v)) return nullptr;
    Ref r = as_double_array(v[0], "r");
    if (!r) return nullptr;
    PyArrayObject* ra = core::as_array(r.get());
    const int nd = PyArray_NDIM(ra);
    if (nd < 1 || PyArray_DIM(ra, nd - 1) != 3) {
        Ref shape = Ref::steal(PyObject_GetAttrString(r.get(), "shape"));
        if (!shape) return nullptr;
        PyErr_Format(PyExc_ValueError,
                     "cartesian_to_geodetic: r must have shape (..., 3) (x, y, z in the last axis); got shape %R",
                     shape.get());
        return nullptr;
    }
    Ref comp[3];
    for (int k = 0; k < 3; ++k) {
        if (!(comp[k] = component_view(r.get(), nd - 1, k * PyArray_STRIDE(ra, nd - 1)))) return nullptr;
    }
    PyArrayObject* ops[6] = {core::as_array(comp[0].get()),
                             core::as_array(comp[1].get()),
                             core::as_array(comp[2].get()),
                             nullptr,
                             nullptr,
                             nullptr};
    Ref res[3];
    if (!run_loop(shape_of(as_ell(self)), ell::kernels::cartesian_to_geodetic_loop, ops, res, "cartesian_to_geodetic"))
        return nullptr;
    Ref tuple = Ref::steal(PyTuple_New(3));
    if (!tuple) return nullptr;
    for (int k = 0; k < 3; ++k) {
        // 0-d results (one point) come back as NumPy scalars.
        PyObject* item = PyArray_Return(core::as_array(res[k].release()));
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), k, item);
    }
    return tuple.release();
}

// --- type ----------------------------------------------------------------------

PyMemberDef Ellipsoid_members[] = {
    {"a", T_DOUBLE, offsetof(EllipsoidObject, a), READONLY, "Equatorial radius (semi-major axis) [m]."},
    {"f", T_DOUBLE, offsetof(EllipsoidObject, f), READONLY, "Flattening (a - b) / a."},
    {"b", T_DOUBLE, offsetof(EllipsoidObject, b), READONLY, "Polar radius (semi-minor axis) [m]."},
    {"e2", T_DOUBLE, offsetof(EllipsoidObject, e2), READONLY, "First eccentricity squared, f (2 - f)."},
    {"name", T_OBJECT_EX, offsetof(EllipsoidObject, name), READONLY, "Name of the ellipsoid (may be empty)."},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef Ellipsoid_methods[] = {
    {"geodetic_to_cartesian", VELARION_FASTCALL(Ellipsoid_geodetic_to_cartesian), METH_FASTCALL | METH_KEYWORDS,
     "geodetic_to_cartesian(lat, lon, alt)\n--\n\n"
     "Earth-fixed Cartesian position of geodetic coordinates.\n\n"
     "lat, lon [radians] and alt [meters] above the ellipsoid: numbers or arrays,\n"
     "broadcast together. Returns a new float64 array of shape broadcast + (3,)\n"
     "holding x, y, z [meters]. Non-finite input, or a latitude outside\n"
     "[-pi/2, pi/2], raises ValueError."},
    {"cartesian_to_geodetic", VELARION_FASTCALL(Ellipsoid_cartesian_to_geodetic), METH_FASTCALL | METH_KEYWORDS,
     "cartesian_to_geodetic(r)\n--\n\n"
     "Geodetic coordinates of Earth-fixed Cartesian positions.\n\n"
     "r: array of shape (..., 3), x, y, z [meters]. Returns (lat, lon, alt):\n"
     "latitude in [-pi/2, pi/2] and longitude in (-pi, pi] [radians], altitude\n"
     "above the ellipsoid along its normal [meters], each of shape r.shape[:-1]\n"
     "(NumPy scalars for a single point). Exact to the precision of doubles\n"
     "everywhere, the poles, the inside of the ellipsoid and its centre included;\n"
     "on the axis the longitude is 0 and at the centre the latitude is pi/2."},
    {"__reduce__", core::entry<Ellipsoid_reduce>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

constexpr const char kEllipsoidDoc[] =
    "Ellipsoid(a, f, name='')\n--\n\n"
    "Reference ellipsoid of revolution.\n\n"
    "a: equatorial radius [meters], finite and positive; f: flattening,\n"
    "finite and in [0, 1) (0 is a sphere), with a / (1 - f) at most 1e300;\n"
    "name: a label (str).\n"
    "Derived attributes: b = a (1 - f), the polar radius, and e2 = f (2 - f),\n"
    "the first eccentricity squared. Ellipsoids compare equal when a and f do.";

PyType_Slot Ellipsoid_slots[] = {{Py_tp_doc, (void*)kEllipsoidDoc},
                                 {Py_tp_new, (void*)core::entry<Ellipsoid_new>},
                                 {Py_tp_dealloc, (void*)core::entry<core::heap_dealloc<Ellipsoid_release>>},
                                 {Py_tp_repr, (void*)core::entry<Ellipsoid_repr>},
                                 {Py_tp_richcompare, (void*)core::entry<Ellipsoid_richcompare>},
                                 {Py_tp_hash, (void*)core::entry<Ellipsoid_hash>},
                                 {Py_tp_members, Ellipsoid_members},
                                 {Py_tp_methods, Ellipsoid_methods},
                                 {0, nullptr}};

PyType_Spec Ellipsoid_spec = {"velarion.mathtools.ellipsoid.ellipsoid.Ellipsoid", sizeof(EllipsoidObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, Ellipsoid_slots};

// --- module ----------------------------------------------------------------------

struct StandardEllipsoid {
    const char* name;
    double a;
    double inv_f;
    PyObject** slot;
};

const StandardEllipsoid kStandard[] = {
    {"WGS84", 6378137.0, 298.257223563, &g_WGS84},
    {"GRS80", 6378137.0, 298.257222101, &g_GRS80},
    {"WGS72", 6378135.0, 298.26, &g_WGS72},
};

PyObject* ellipsoid_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int ellipsoid_exec(PyObject* module) {
    if (int r = g_once.enter(module, "ellipsoid"); r <= 0) return r;
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(g_type = core::add_type(module, &Ellipsoid_spec));
    VELARION_CHECK(core::vtable_publish(g_type, &g_vtable, ell::kEllipsoidVTableType));
    for (const StandardEllipsoid& s : kStandard) {
        PyObject* obj = PyObject_CallFunction(reinterpret_cast<PyObject*>(g_type), "dds", s.a, 1.0 / s.inv_f, s.name);
        VELARION_CHECK(obj);
        *s.slot = obj;  // owned by the module for the life of the process
        VELARION_CHECK(PyModule_AddObjectRef(module, s.name, obj));
        VELARION_CHECK(core::capi_publish(module, s.name, s.slot, ell::kEllipsoidVarType));
    }
    return 0;
error:
    return -1;
}

PyModuleDef_Slot ellipsoid_slots[] = {{Py_mod_create, (void*)core::entry<ellipsoid_create>},
                                      {Py_mod_exec, (void*)core::entry<ellipsoid_exec>},
                                      {0, nullptr}};

PyModuleDef ellipsoid_def = {PyModuleDef_HEAD_INIT,
                             "velarion.mathtools.ellipsoid.ellipsoid",
                             "Reference ellipsoids (WGS84, GRS80, WGS72) and geodetic <-> Cartesian conversions.",
                             0,
                             nullptr,
                             ellipsoid_slots,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_ellipsoid() { return PyModuleDef_Init(&ellipsoid_def); }
