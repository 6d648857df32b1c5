// Module start-up: multi-phase init with one module object per process (the
// modules keep process-wide C-level state, so a second initialisation is
// refused), type creation from specs, and the pickling refusal shared by the
// classes whose state cannot be rebuilt from Python.
#ifndef VELARION_CORE_MODULE_HPP
#define VELARION_CORE_MODULE_HPP

#include "velarion/_core/errors.hpp"
#include "velarion/_core/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velarion::core {

// One per extension module (a static). Use from the Py_mod_create and
// Py_mod_exec slots:
//   create: return once.create(spec);
//   exec:   if (int r = once.enter(module, "frames"); r <= 0) return r;  ... start-up ...
class ModuleOnce {
public:
    PyObject* create(PyObject* spec) {
        int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) return nullptr;
        if (interpreter_ == -1) {
            interpreter_ = id;
        } else if (interpreter_ != id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one interpreter per "
                            "process.");
            return nullptr;
        }
        Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
        if (!name) return nullptr;
        return PyModule_NewObject(name.get());
    }

    // 1: start-up should run; 0: this very module object was initialised
    // already; -1: another module object was (RuntimeError set).
    int enter(PyObject* module, const char* short_name) {
        if (module_) {
            if (module_ == module) return 0;
            PyErr_Format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
            return -1;
        }
        module_ = module;  // borrowed: the interpreter keeps the module alive
        return 1;
    }

    PyObject* module() const noexcept { return module_; }

private:
    PyObject* module_ = nullptr;
    int64_t interpreter_ = -1;
};

// Creates a heap type from `spec` (with optional base tuple/type), binds it
// as a module attribute and returns a new reference.
inline PyTypeObject* add_type(PyObject* module, PyType_Spec* spec, PyObject* bases = nullptr) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, spec, bases));
    if (!type) return nullptr;
    const char* dot = std::strrchr(spec->name, '.');
    const char* attr = dot ? dot + 1 : spec->name;
    if (PyModule_AddObjectRef(module, attr, type.get()) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

inline constexpr const char* kNoPickleMessage = "no default __reduce__ due to non-trivial __cinit__";

inline PyObject* refuse_reduce(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoPickleMessage);
    return nullptr;
}
inline PyObject* refuse_setstate(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, kNoPickleMessage);
    return nullptr;
}

}  // namespace velarion::core

// Method-table entries that refuse pickling and copying.
#define VELARION_NO_PICKLE_METHODS                                                                    \
    {"__reduce__", ::velarion::core::entry<::velarion::core::refuse_reduce>, METH_NOARGS, nullptr}, { \
        "__setstate__", ::velarion::core::entry<::velarion::core::refuse_setstate>, METH_O, nullptr   \
    }

// The life-cycle slots of a garbage-collected heap type: its traverse and
// clear, and the dealloc that goes with them (gc_dealloc<Clear>), each behind
// the C++-exception border. `Clear` drops everything the instance owns.
#define VELARION_GC_SLOTS(Traverse, Clear)                                                \
    {Py_tp_dealloc, (void*)::velarion::core::entry<::velarion::core::gc_dealloc<Clear>>}, \
        {Py_tp_traverse, (void*)::velarion::core::entry<Traverse>}, {                     \
        Py_tp_clear, (void*)::velarion::core::entry<Clear>                                \
    }

// Start-up steps: `CHECK(expr)` jumps to the exec function's `error:` label
// when a fallible call fails (nullptr, a negative int, or false).
#define VELARION_CHECK(expr)                                \
    do {                                                    \
        if (!velarion::core::detail_ok((expr))) goto error; \
    } while (0)

namespace velarion::core {
template <class T>
inline bool detail_ok(T* p) noexcept {
    return p != nullptr;
}
inline bool detail_ok(int r) noexcept { return r >= 0; }
// The toolkit's own fallible steps that answer true / false.
inline bool detail_ok(bool ok) noexcept { return ok; }

// Dealloc of a garbage-collected heap type: untrack, clear the owned fields
// through the type's `Clear`, free, and drop the instance's reference to its
// type.
template <int (*Clear)(PyObject*)>
void gc_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// `from <source> import <name>`: the object, held by the caller.
inline Ref import_value(const char* source, const char* name) {
    Ref from = Ref::steal(PyImport_ImportModule(source));
    if (!from) return {};
    Ref value = Ref::steal(PyObject_GetAttrString(from.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, source);
    }
    return value;
}

// `from <source> import <name>` into the module's namespace.
inline int import_into(PyObject* module, const char* source, const char* name) {
    Ref value = import_value(source, name);
    if (!value) return -1;
    return PyModule_AddObjectRef(module, name, value.get());
}

// Dealloc of a heap type outside the collector (no Py_TPFLAGS_HAVE_GC): drop
// what the instance owns through `Release`, free, and drop the instance's
// reference to its type.
inline int release_nothing(PyObject*) noexcept { return 0; }

template <int (*Release)(PyObject*) = release_nothing>
void heap_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    Release(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// `import <name>` (a top-level module) into the module's namespace.
inline int import_module_into(PyObject* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    if (!imported) return -1;
    return PyModule_AddObjectRef(module, name, imported.get());
}

// Interned names created once, at module start-up, for attribute lookups and
// keys on hot paths: `InternedNames g_names{"a", "b"};`, then
// `VELARION_CHECK(g_names.init())` in the exec slot and `g_names[0]`.
template <size_t N>
class InternedNames {
public:
    template <class... S>
    constexpr explicit InternedNames(S... texts) noexcept : texts_{texts...} {}
    bool init() noexcept {
        for (size_t i = 0; i < N; ++i) {
            if (!objects_[i] && !(objects_[i] = PyUnicode_InternFromString(texts_[i]))) return false;
        }
        return true;
    }
    PyObject* operator[](size_t i) const noexcept { return objects_[i]; }

private:
    const char* texts_[N];
    PyObject* objects_[N] = {};  // owned for the life of the process
};

template <class... S>
InternedNames(S...) -> InternedNames<sizeof...(S)>;
}  // namespace velarion::core

#endif
