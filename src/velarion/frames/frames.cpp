// velarion.frames.frames: the frame registry and transform graph, route
// search and multi-hop conversion, the standard frames GCRF, ITRF and TEME
// with their conversions, topocentric ENU frames, and the bare PIC and RPC
// frame classes. The numeric work lives in kernels/; the Python types live
// in the parts of this translation unit, included below; this file holds
// what they share and the module start-up.
#include "velarion/_core/core.hpp"
#include "velarion/_core/method.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/_core/parallel.hpp"  // IWYU pragma: keep (the parts below use it)
#include "velarion/frames/frames.hpp"
#include "velarion/frames/kernels/cio.hpp"   // IWYU pragma: keep (the parts below use it)
#include "velarion/frames/kernels/cip.hpp"   // IWYU pragma: keep (the parts below use it)
#include "velarion/frames/kernels/enu.hpp"   // IWYU pragma: keep (the parts below use it)
#include "velarion/frames/kernels/teme.hpp"  // IWYU pragma: keep (the parts below use it)
#include "velarion/mathtools/ellipsoid/ellipsoid.hpp"
#include "velarion/mathtools/vectools/kernels/matrix.hpp"  // IWYU pragma: keep (the parts below use it)
#include "velarion/mathtools/vectools/vectools.hpp"
#include "velarion/time/time.hpp"

#include <cstring>
#include <memory>  // IWYU pragma: keep (the parts below use it)
#include <new>     // IWYU pragma: keep (the parts below use it)
#include <span>
#include <type_traits>
#include <utility>  // IWYU pragma: keep (the parts below use it)
#include <vector>   // IWYU pragma: keep (the parts below use it)

namespace core = velarion::core;
namespace fr = velarion::frames;
namespace kn = velarion::frames::kernels;
namespace ell = velarion::mathtools::ellipsoid;
namespace vt = velarion::mathtools::vectools;
using core::Ref;

namespace {

core::ModuleOnce g_once;

// The C-level variables: each holds None until its singleton exists.
PyObject* g_GCRF = nullptr;
PyObject* g_ITRF = nullptr;
PyObject* g_TEME = nullptr;

// Default ellipsoid of ENU frames, read once at start-up.
PyObject* g_default_ell = nullptr;

// The setting of velarion.frames.interpolated_cip() (a contextvars.ContextVar),
// bound at start-up.
PyObject* g_interpolated_cip = nullptr;

PyTypeObject* g_PIC_Type = nullptr;
PyTypeObject* g_RPC_Type = nullptr;

// Names looked up on every call, and the small constants of the calls made
// on every conversion, made once at start-up.
// clang-format off: the texts and their enumerators side by side, row by row.
core::InternedNames g_names{"transforms", "keys", "items", "get_route", "upper", "_instances", "name", "pop",
                            "register_transform", "tt", "ut1", "utc", "jd12", "mjd", "reshape", "EOP",
                            "pm_x", "pm_y", "dX", "dY", "lod", "to_ITRF", "from_ITRF", "Unnamed"};
enum Name { kTransforms, kKeys, kItems, kGetRoute, kUpper, kInstances, kName, kPop,
            kRegisterTransform, kTt, kUt1, kUtc, kJd12, kMjd, kReshape, kEop,
            kPmX, kPmY, kDX, kDY, kLod, kToItrf, kFromItrf, kUnnamed,
            kNameCount };
// clang-format on
static_assert(std::is_same_v<decltype(g_names), core::InternedNames<kNameCount>>, "one Name per interned text");
PyObject* g_minus_one = nullptr;
PyObject* g_two = nullptr;

inline fr::FrameObject* as_frame(PyObject* o) noexcept { return reinterpret_cast<fr::FrameObject*>(o); }
inline fr::ENUObject* as_enu(PyObject* o) noexcept { return reinterpret_cast<fr::ENUObject*>(o); }

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

// Python-visible methods that carry annotations and a signature: set on
// their class at start-up through core::add_annotated_method (or its class
// method form) rather than through the type's method table. The return
// annotation is word for word what the stubs say (tests compare them).
struct AnnotatedDef {
    PyMethodDef def;
    std::span<const core::MethodParam> params = {};
    const char* returns = nullptr;
    bool class_method = false;
};

}  // namespace

// The parts of this translation unit, each with its types' tables.
#include "velarion/frames/parts/docs.hpp"
#include "velarion/frames/parts/graph.hpp"
#include "velarion/frames/parts/conversion.hpp"  // IWYU pragma: keep (the parts below use it)
#include "velarion/frames/parts/standard.hpp"
#include "velarion/frames/parts/enu.hpp"
#include "velarion/frames/parts/orbital.hpp"

namespace {

PyObject* get_GCRF(PyObject*, PyObject*) { return Py_NewRef(g_GCRF); }
PyObject* get_TEME(PyObject*, PyObject*) { return Py_NewRef(g_TEME); }
PyObject* get_ITRF(PyObject*, PyObject*) { return Py_NewRef(g_ITRF); }

// The accessors of the singletons, annotated to return "Frame": added at
// start-up through core::add_annotated_function, each after its singleton.
PyMethodDef get_GCRF_def = {"get_GCRF", core::entry<get_GCRF>, METH_NOARGS, kGetGCRFDoc};
PyMethodDef get_TEME_def = {"get_TEME", core::entry<get_TEME>, METH_NOARGS, kGetTEMEDoc};
PyMethodDef get_ITRF_def = {"get_ITRF", core::entry<get_ITRF>, METH_NOARGS, kGetITRFDoc};

// Sets the annotated methods of `owner`.
int add_annotated(PyTypeObject* method_type, PyTypeObject* owner, std::span<AnnotatedDef> defs) {
    for (AnnotatedDef& d : defs) {
        int r = d.class_method ? core::add_annotated_classmethod(method_type, owner, &d.def, d.params, d.returns)
                               : core::add_annotated_method(method_type, owner, &d.def, d.params, d.returns);
        if (r < 0) return -1;
    }
    return 0;
}

PyTypeObject* add_subtype(PyObject* module, PyType_Spec* spec) {
    return core::add_type(module, spec, reinterpret_cast<PyObject*>(fr::Frame_Type));
}

// Binds the setting of velarion.frames.interpolated_cip(), a ContextVar that
// the package defines before any of its modules is imported.
bool bind_cip_setting() {
    Ref var = core::import_value("velarion.frames", "_INTERPOLATED_CIP");
    if (!var) return false;
    if (!PyContextVar_CheckExact(var.get())) {
        PyErr_SetString(PyExc_ImportError, "velarion.frames._INTERPOLATED_CIP is not a contextvars.ContextVar");
        return false;
    }
    core::replace_slot(g_interpolated_cip, var.release());
    return true;
}

// Creates a singleton, stores it in its variable, defines its accessor and
// enters it in the registry.
int make_singleton(PyTypeObject* type, PyObject*& variable, PyObject* module, PyTypeObject* function_type,
                   PyMethodDef* accessor, PyObject* registry, const char* key) {
    PyObject* obj = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type));
    if (!obj) return -1;
    core::replace_slot(variable, obj);
    if (core::add_annotated_function(function_type, module, accessor, {}, "Frame") < 0) return -1;
    return PyDict_SetItemString(registry, key, obj);
}

PyObject* frames_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int frames_exec(PyObject* module) {
    if (int r = g_once.enter(module, "frames"); r <= 0) return r;
    Ref registry;
    Ref method_type;    // the wrappers of the annotated methods keep their type alive
    Ref function_type;  // likewise for the module functions
    PyTypeObject* mt = nullptr;
    PyTypeObject* ft = nullptr;
    VELARION_CHECK(g_names.init());
    VELARION_CHECK(g_minus_one = PyLong_FromLong(-1));
    VELARION_CHECK(g_two = PyLong_FromLong(2));

    // 1. The C-level variables, None until the singletons exist.
    g_GCRF = Py_NewRef(Py_None);
    g_ITRF = Py_NewRef(Py_None);
    g_TEME = Py_NewRef(Py_None);
    fr::GCRF = &g_GCRF;
    fr::ITRF = &g_ITRF;
    fr::TEME = &g_TEME;
    VELARION_CHECK(core::capi_publish(module, "GCRF", &g_GCRF, fr::kGCRFVarType));
    VELARION_CHECK(core::capi_publish(module, "ITRF", &g_ITRF, fr::kITRFVarType));
    VELARION_CHECK(core::capi_publish(module, "TEME", &g_TEME, fr::kTEMEVarType));

    // 2. The classes and their method tables.
    VELARION_CHECK(fr::Frame_Type = core::add_type(module, &Frame_spec));
    VELARION_CHECK(fr::GCRF_Type = add_subtype(module, &GCRF_spec));
    VELARION_CHECK(core::vtable_publish(fr::GCRF_Type, &g_gcrf_vtable, fr::kGCRFVTableType));
    VELARION_CHECK(fr::ITRF_Type = add_subtype(module, &ITRF_spec));
    VELARION_CHECK(core::vtable_publish(fr::ITRF_Type, &g_itrf_vtable, fr::kITRFVTableType));
    VELARION_CHECK(fr::TEME_Type = add_subtype(module, &TEME_spec));
    VELARION_CHECK(core::vtable_publish(fr::TEME_Type, &g_teme_vtable, fr::kTEMEVTableType));
    VELARION_CHECK(fr::ENU_Type = add_subtype(module, &ENU_spec));
    VELARION_CHECK(core::vtable_publish(fr::ENU_Type, &g_enu_vtable, fr::kENUVTableType));
    VELARION_CHECK(g_PIC_Type = add_subtype(module, &PIC_spec));
    VELARION_CHECK(g_RPC_Type = add_subtype(module, &RPC_spec));

    // 3. Outside C-level interfaces.
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(velarion::time::import_time());
    VELARION_CHECK(ell::import_ellipsoid());
    VELARION_CHECK(vt::import_vectools());

    // 4. Python-level names, in this order; EOP is looked up in the module
    // namespace at each call (so it may be replaced), the last two serve as
    // annotation text only.
    VELARION_CHECK(core::import_module_into(module, "numpy"));
    VELARION_CHECK(core::import_into(module, "collections", "deque"));
    VELARION_CHECK(core::import_into(module, "velarion.iers", "EOP"));
    VELARION_CHECK(core::import_into(module, "typing", "Callable"));
    VELARION_CHECK(core::import_into(module, "velarion.typing", "DatetimeLike"));
    VELARION_CHECK(bind_cip_setting());

    // 5. The frame registry.
    registry = Ref::steal(PyDict_New());
    VELARION_CHECK(registry.get());
    VELARION_CHECK(PyObject_SetAttr(reinterpret_cast<PyObject*>(fr::Frame_Type), g_names[kInstances], registry.get()));
    method_type = Ref::steal(reinterpret_cast<PyObject*>(core::annotated_method_type(module)));
    VELARION_CHECK(method_type.get());
    mt = reinterpret_cast<PyTypeObject*>(method_type.get());
    VELARION_CHECK(add_annotated(mt, fr::Frame_Type, Frame_annotated));

    // 6. The conversion methods of the standard frames.
    VELARION_CHECK(add_annotated(mt, fr::GCRF_Type, GCRF_annotated));
    VELARION_CHECK(add_annotated(mt, fr::ITRF_Type, ITRF_annotated));
    VELARION_CHECK(add_annotated(mt, fr::TEME_Type, TEME_annotated));

    // 7-9. The singletons and their accessors, in registry order.
    function_type = Ref::steal(reinterpret_cast<PyObject*>(core::annotated_function_type(module)));
    VELARION_CHECK(function_type.get());
    ft = reinterpret_cast<PyTypeObject*>(function_type.get());
    VELARION_CHECK(make_singleton(fr::GCRF_Type, g_GCRF, module, ft, &get_GCRF_def, registry.get(), "GCRF"));
    VELARION_CHECK(make_singleton(fr::TEME_Type, g_TEME, module, ft, &get_TEME_def, registry.get(), "TEME"));
    VELARION_CHECK(make_singleton(fr::ITRF_Type, g_ITRF, module, ft, &get_ITRF_def, registry.get(), "ITRF"));

    // 10. ENU's default ellipsoid and methods.
    g_default_ell = Py_NewRef(*ell::WGS84);
    VELARION_CHECK(add_annotated(mt, fr::ENU_Type, ENU_annotated));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot frames_slots[] = {
    {Py_mod_create, (void*)core::entry<frames_create>}, {Py_mod_exec, (void*)core::entry<frames_exec>}, {0, nullptr}};

PyModuleDef frames_def = {
    PyModuleDef_HEAD_INIT, "velarion.frames.frames", kModuleDoc, 0, nullptr, frames_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_frames() { return PyModuleDef_Init(&frames_def); }
