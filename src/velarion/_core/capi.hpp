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
// A method table's capsule also carries the table's size (its context), so
// an importer compiled with slots the publisher lacks is refused: tables are
// append-only, never reordered.
//
// Binding: by module and name, through one table-driven call
// (`bind_module`) that binds everything an importer needs from a module or
// nothing: the capsule name must equal the expected text, a bound type's
// tp_basicsize must equal the sizeof of the layout the importer was compiled
// with, a method table must be at least as large as the importer's, and a
// mismatch of any kind fails the import with a message naming module, item,
// expected and found. Errors other than a missing name (an attribute lookup
// that raises something else) pass through unchanged.
#ifndef VELARION_CORE_CAPI_HPP
#define VELARION_CORE_CAPI_HPP

#include "velarion/_core/ref.hpp"

#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

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

// Stores the method table of `type` in its dict as __vtable__, with the
// table's size.
template <class Table>
int vtable_publish(PyTypeObject* type, Table* table, const char* c_type) {
    Ref capsule = Ref::steal(PyCapsule_New(table, c_type, nullptr));
    if (!capsule) return -1;
    if (PyCapsule_SetContext(capsule.get(), reinterpret_cast<void*>(static_cast<uintptr_t>(sizeof(Table)))) < 0)
        return -1;
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

namespace detail {

// The __capi__ dict of an imported module (a new reference).
inline Ref capi_table(PyObject* mod, const char* module) {
    Ref table = Ref::steal(PyObject_GetAttrString(mod, kCapiAttr));
    if (table && PyDict_Check(table.get())) return table;
    if (!table && !PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "%s does not export a C-level interface (no __capi__ dict)", module);
    return {};
}

inline void* capi_lookup(PyObject* table, const char* module, const char* name, const char* c_type) {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return nullptr;
    Ref capsule = Ref::borrow(PyDict_GetItemWithError(table, key.get()));
    if (!capsule) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "%s does not export C-level '%s'", module, name);
        return nullptr;
    }
    return capsule_pointer(capsule.get(), c_type, module, name);
}

// The type `module.name`, its layout size checked (a new reference).
inline Ref type_lookup(PyObject* mod, const char* module, const char* name, size_t expected_size) {
    Ref obj = Ref::steal(PyObject_GetAttrString(mod, name));
    if (!obj) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot bind %s.%s: the module has no such attribute", module, name);
        }
        return {};
    }
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%s.%s is not a type object", module, name);
        return {};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(obj.get());
    if (static_cast<size_t>(type->tp_basicsize) != expected_size) {
        PyErr_Format(PyExc_ValueError,
                     "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd "
                     "from PyObject; rebuild the package",
                     module, name, static_cast<Py_ssize_t>(expected_size), type->tp_basicsize);
        return {};
    }
    return obj;
}

}  // namespace detail

// Fetches the method table of a bound type and checks its C type text and
// that it has at least the `expected_size` bytes of slots the importer was
// compiled with.
inline void* vtable_bind(PyTypeObject* type, const char* c_type, size_t expected_size) {
    Ref key = Ref::steal(PyUnicode_FromString(kVtableAttr));
    if (!key) return nullptr;
    Ref capsule = Ref::borrow(type->tp_dict ? PyDict_GetItemWithError(type->tp_dict, key.get()) : nullptr);
    if (!capsule) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ImportError, "%s has no C-level method table (__vtable__)", type->tp_name);
        return nullptr;
    }
    void* table = detail::capsule_pointer(capsule.get(), c_type, type->tp_name, "method table");
    if (!table) return nullptr;
    const auto published = reinterpret_cast<uintptr_t>(PyCapsule_GetContext(capsule.get()));
    if (published < expected_size) {
        PyErr_Format(PyExc_ImportError,
                     "%s: C-level method table has %zu bytes of slots, but %zu were expected (the importer was "
                     "compiled with slots this module lacks); rebuild the package",
                     type->tp_name, static_cast<size_t>(published), expected_size);
        return nullptr;
    }
    return table;
}

// What an importer binds from one module. A type with C-level methods names
// its table's C type text and size.
struct BoundType {
    const char* name;
    size_t basicsize;
    PyTypeObject** slot;
    const char* vtable_c_type = nullptr;
    size_t vtable_size = 0;
};

// A published variable: the capsule holds its address (`T **` for an object
// variable), read at the time of use.
struct BoundVariable {
    const char* name;
    const char* c_type;
    PyObject*** slot;
};

struct BoundFunction {
    const char* name;
    const char* c_type;
    void** slot;
};

// The slot of a typed function pointer, as BoundFunction stores it.
template <class Fn>
    requires std::is_function_v<Fn>
void** function_slot(Fn** slot) noexcept {
    return reinterpret_cast<void**>(slot);
}

struct ModuleBinding {
    const char* module;
    std::span<const BoundType> types = {};
    std::span<const BoundVariable> variables = {};
    std::span<const BoundFunction> functions = {};
};

inline constexpr size_t kMaxBoundTypes = 16;

// Binds every item of `what`, or none: the slots are written only once all
// succeeded (types as references owned for the life of the process);
// returns 0, or -1 with an exception set and every slot untouched.
inline int bind_module(const ModuleBinding& what) {
    if (what.types.size() > kMaxBoundTypes) {
        PyErr_SetString(PyExc_SystemError, "velarion: too many types bound from one module");
        return -1;
    }
    Ref mod = detail::import_named(what.module);
    if (!mod) return -1;
    Ref types[kMaxBoundTypes];
    for (size_t i = 0; i < what.types.size(); ++i) {
        const BoundType& t = what.types[i];
        types[i] = detail::type_lookup(mod.get(), what.module, t.name, t.basicsize);
        if (!types[i]) return -1;
        if (t.vtable_c_type &&
            !vtable_bind(reinterpret_cast<PyTypeObject*>(types[i].get()), t.vtable_c_type, t.vtable_size))
            return -1;
    }
    Ref table;
    if (!what.variables.empty() || !what.functions.empty()) {
        if (!(table = detail::capi_table(mod.get(), what.module))) return -1;
    }
    constexpr size_t kMaxPointers = 32;
    void* pointers[kMaxPointers];
    const size_t npointers = what.variables.size() + what.functions.size();
    if (npointers > kMaxPointers) {
        PyErr_SetString(PyExc_SystemError, "velarion: too many C-level items bound from one module");
        return -1;
    }
    size_t k = 0;
    for (const BoundVariable& v : what.variables) {
        if (!(pointers[k++] = detail::capi_lookup(table.get(), what.module, v.name, v.c_type))) return -1;
    }
    for (const BoundFunction& f : what.functions) {
        if (!(pointers[k++] = detail::capi_lookup(table.get(), what.module, f.name, f.c_type))) return -1;
    }
    k = 0;
    for (const BoundVariable& v : what.variables) *v.slot = static_cast<PyObject**>(pointers[k++]);
    for (const BoundFunction& f : what.functions) *f.slot = pointers[k++];
    for (size_t i = 0; i < what.types.size(); ++i) {
        replace_slot(reinterpret_cast<PyObject*&>(*what.types[i].slot), types[i].release());
    }
    return 0;
}

// One C-level item, for tests and one-off lookups (bind_module otherwise).
inline void* capi_bind(const char* module, const char* name, const char* c_type) {
    Ref mod = detail::import_named(module);
    if (!mod) return nullptr;
    Ref table = detail::capi_table(mod.get(), module);
    if (!table) return nullptr;
    return detail::capi_lookup(table.get(), module, name, c_type);
}

// One type, for tests and one-off lookups (a new reference).
inline PyTypeObject* type_bind(const char* module, const char* name, size_t expected_size) {
    Ref mod = detail::import_named(module);
    if (!mod) return nullptr;
    return reinterpret_cast<PyTypeObject*>(detail::type_lookup(mod.get(), module, name, expected_size).release());
}

}  // namespace velarion::core

#endif
