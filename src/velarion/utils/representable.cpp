// velarion.utils.representable: Representable, a small base type that gives
// its subclasses a readable repr: "ClassName(field=value, ...)" built from
// the attribute names that the subclass lists in _repr_fields().
#include "velarion/_core/core.hpp"
#include "velarion/utils/representable.hpp"

namespace core = velarion::core;
namespace rep = velarion::utils;
using core::Ref;

namespace {

core::ModuleOnce g_once;
core::InternedNames g_names{"_repr_fields", "__name__"};
enum Name { kReprFields, kName };

// The class name, as the repr shows it.
Ref class_name(PyObject* self) {
    return Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), g_names[kName]));
}

// The names listed by self._repr_fields (a method or a sequence), as a list.
Ref repr_fields(PyObject* self) {
    Ref fields = Ref::steal(PyObject_GetAttr(self, g_names[kReprFields]));
    if (!fields) return {};
    if (PyCallable_Check(fields.get())) {
        fields = Ref::steal(PyObject_CallNoArgs(fields.get()));
        if (!fields) return {};
    }
    if (PyUnicode_Check(fields.get())) {
        PyErr_SetString(PyExc_TypeError, "_repr_fields() must give a sequence of attribute names, not a str");
        return {};
    }
    return Ref::steal(PySequence_List(fields.get()));
}

PyObject* build_repr(PyObject* self) {
    Ref qualname = class_name(self);
    if (!qualname) return nullptr;
    Ref fields = repr_fields(self);
    if (!fields) return nullptr;
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(fields.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(fields.get(), i);  // borrowed; the list keeps it
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "_repr_fields() must give attribute names (str), got %.200s",
                         Py_TYPE(name)->tp_name);
            return nullptr;
        }
        Ref value = Ref::steal(PyObject_GetAttr(self, name));
        if (!value) return nullptr;
        Ref part = Ref::steal(PyUnicode_FromFormat("%U=%R", name, value.get()));
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
    }
    Ref sep = Ref::steal(PyUnicode_FromString(", "));
    if (!sep) return nullptr;
    Ref body = Ref::steal(PyUnicode_Join(sep.get(), parts.get()));
    if (!body) return nullptr;
    return PyUnicode_FromFormat("%U(%U)", qualname.get(), body.get());
}

PyObject* Representable_repr(PyObject* self) {
    // A field that refers back to the object shows as "ClassName(...)".
    int entered = Py_ReprEnter(self);
    if (entered < 0) return nullptr;
    if (entered > 0) {
        Ref qualname = class_name(self);
        return qualname ? PyUnicode_FromFormat("%U(...)", qualname.get()) : nullptr;
    }
    PyObject* result = build_repr(self);
    Py_ReprLeave(self);
    return result;
}

PyObject* Representable_repr_fields(PyObject*, PyObject*) { return PyTuple_New(0); }

PyMethodDef Representable_methods[] = {
    {"_repr_fields", core::entry<Representable_repr_fields>, METH_NOARGS,
     "_repr_fields()\n--\n\nNames of the attributes shown by repr(); subclasses override it (the base shows none)."},
    {nullptr, nullptr, 0, nullptr}};

constexpr const char kRepresentableDoc[] =
    "Representable()\n--\n\n"
    "Base class for readable reprs.\n\n"
    "repr(obj) is \"ClassName(a=..., b=...)\" for the attribute names that\n"
    "obj._repr_fields() returns (a method, or a sequence given as a class\n"
    "attribute); each value is shown with its own repr.";

PyType_Slot Representable_slots[] = {
    {Py_tp_doc, (void*)kRepresentableDoc},  {Py_tp_repr, (void*)core::entry<Representable_repr>},
    {Py_tp_new, (void*)PyType_GenericNew},  {Py_tp_dealloc, (void*)core::entry<core::heap_dealloc<>>},
    {Py_tp_methods, Representable_methods}, {0, nullptr}};

PyType_Spec Representable_spec = {"velarion.utils.representable.Representable", sizeof(rep::RepresentableObject), 0,
                                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
                                  Representable_slots};

PyObject* representable_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int representable_exec(PyObject* module) {
    if (int r = g_once.enter(module, "representable"); r <= 0) return r;
    PyTypeObject* type = nullptr;
    VELARION_CHECK(g_names.init());
    VELARION_CHECK(type = core::add_type(module, &Representable_spec));
    Py_DECREF(type);
    return 0;
error:
    return -1;
}

PyModuleDef_Slot representable_slots[] = {{Py_mod_create, (void*)core::entry<representable_create>},
                                          {Py_mod_exec, (void*)core::entry<representable_exec>},
                                          {0, nullptr}};

PyModuleDef representable_def = {PyModuleDef_HEAD_INIT,
                                 "velarion.utils.representable",
                                 "Representable: a base class for readable reprs.",
                                 0,
                                 nullptr,
                                 representable_slots,
                                 nullptr,
                                 nullptr,
                                 nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_representable() { return PyModuleDef_Init(&representable_def); }
