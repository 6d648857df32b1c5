// The C-level interface between modules.
//
// Publishing: a module keeps a dict `__capi__` from name to a PyCapsule whose
// capsule name is the C type text of the item ("void (double (*)[3], double *,
// double *)" for a function; a variable's capsule holds the variable's
// address, typed "T *" of its type T, so a reader sees its current value).
// A type with C-level methods keeps its method table in a `__vtable__`
// capsule in its dict, named by the table's C type text; every instance
// holds a pointer to its type's table right behind its base's fields.
//
// Binding: by module and name; the capsule name must equal the expected
// text, a bound type's tp_basicsize must equal the sizeof of the layout the
// importer was compiled with, and a mismatch of any kind fails the import
// with a message naming module, item, expected and found.
#ifndef VELARION_CORE_CAPI_HPP
#define VELARION_CORE_CAPI_HPP

#include "velarion/_core/ref.hpp"

#include <cstring>

namespace velarion::core {

inline constexpr const char* kCapiAttr = "__capi__";
inline constexpr const char* kVtableAttr = "__vtable__";

// Adds `ptr` under `name` to the module's __capi__ dict (created on first use).
inline int capi_publish(PyObject* module, const char* name, void* ptr, const char* c_type) {
    Ref table = Ref::steal(PyObject_GetAttrString(module, kCapiAttr));
    if (!table) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        table = Ref::steal(PyDict_New());
        if (!table || PyObject_SetAttrString(module, kCapiAttr, table.get()) < 0) return -1;
    }
    Ref capsule = Ref::steal(PyCapsule_New(ptr, c_type, nullptr));
    if (!capsule) return -1;
    return PyDict_SetItemString(table.get(), name, capsule.get());
}

// Stores the method table of `type` in its dict as __vtable__.
inline int vtable_publish(PyTypeObject* type, void* table, const char* c_type) {
    Ref capsule = Ref::steal(PyCapsule_New(table, c_type, nullptr));
    if (!capsule) return -1;
    if (PyDict_SetItemString(type->tp_dict, kVtableAttr, capsule.get()) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

namespace detail {

inline Ref import_named(const char* module) { return Ref::steal(PyImport_ImportModule(module)); }

inline void* capsule_pointer(PyObject* capsule, const char* expected, const char* module, const char* what) {
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_TypeError, "%s: C-level %s is not a capsule (got %.200s)", module, what,
                     Py_TYPE(capsule)->tp_name);
        return nullptr;
    }
    const char* found = PyCapsule_GetName(capsule);
    if (!found || std::strcmp(found, expected) != 0) {
        PyErr_Format(PyExc_TypeError, "%s: C-level %s has type '%s', but '%s' was expected", module, what,
                     found ? found : "(unnamed)", expected);
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, expected);
}

}  // namespace detail

// Returns the pointer published under `name` by `module`, or nullptr with an
// exception (ImportError when absent, TypeError when its C type differs).
inline void* capi_bind(const char* module, const char* name, const char* c_type) {
    Ref mod = detail::import_named(module);
    if (!mod) return nullptr;
    Ref table = Ref::steal(PyObject_GetAttrString(mod.get(), kCapiAttr));
    if (!table || !PyDict_Check(table.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "%s does not export a C-level interface (no __capi__ dict)", module);
        return nullptr;
    }
    PyObject* capsule = PyDict_GetItemString(table.get(), name);  // borrowed
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%s does not export C-level '%s'", module, name);
        return nullptr;
    }
    Ref keep = Ref::borrow(capsule);
    return detail::capsule_pointer(capsule, c_type, module, name);
}

// Binds an extension type by module and name. The returned reference is
// owned by the caller (normally kept for the life of the process).
inline PyTypeObject* type_bind(const char* module, const char* name, size_t expected_size) {
    Ref mod = detail::import_named(module);
    if (!mod) return nullptr;
    Ref obj = Ref::steal(PyObject_GetAttrString(mod.get(), name));
    if (!obj) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot bind %s.%s: the module has no such attribute", module, name);
        return nullptr;
    }
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%s.%s is not a type object", module, name);
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    if (static_cast<size_t>(type->tp_basicsize) != expected_size) {
        PyErr_Format(PyExc_ValueError,
                     "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd "
                     "from PyObject; rebuild the package",
                     module, name, static_cast<Py_ssize_t>(expected_size), type->tp_basicsize);
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(obj.release());
}

// Fetches the method table of a bound type.
inline void* vtable_bind(PyTypeObject* type, const char* c_type) {
    PyObject* capsule = type->tp_dict ? PyDict_GetItemString(type->tp_dict, kVtableAttr) : nullptr;
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%s has no C-level method table (__vtable__)", type->tp_name);
        return nullptr;
    }
    return detail::capsule_pointer(capsule, c_type, type->tp_name, "method table");
}

// Reads the value of a published object variable (a `PyObject**` in a
// capsule typed `var_c_type`) and checks that it is an instance of `type`.
inline PyObject** variable_bind(const char* module, const char* name, const char* var_c_type) {
    return static_cast<PyObject**>(capi_bind(module, name, var_c_type));
}

}  // namespace velarion::core

#endif
