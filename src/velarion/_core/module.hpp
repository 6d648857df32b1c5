// Module start-up: multi-phase init with one module object per process (the
// modules keep process-wide C-level state, so a second initialisation is
// refused), type creation from specs, and the pickling refusal shared by the
// classes whose state cannot be rebuilt from Python.
#ifndef VELARION_CORE_MODULE_HPP
#define VELARION_CORE_MODULE_HPP

#include "velarion/_core/errors.hpp"
#include "velarion/_core/ref.hpp"

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
#define VELARION_NO_PICKLE_METHODS                                                                        \
    {"__reduce__", ::velarion::core::entry<::velarion::core::refuse_reduce>, METH_NOARGS, nullptr},        \
    {"__setstate__", ::velarion::core::entry<::velarion::core::refuse_setstate>, METH_O, nullptr}

// Start-up steps: `CHECK(expr)` jumps to the exec function's `error:` label
// when a fallible call fails (nullptr or negative result).
#define VELARION_CHECK(expr)                                 \
    do {                                                     \
        if (!velarion::core::detail_ok((expr))) goto error;  \
    } while (0)

namespace velarion::core {
template <class T>
inline bool detail_ok(T* p) noexcept { return p != nullptr; }
inline bool detail_ok(int r) noexcept { return r >= 0; }
}  // namespace velarion::core

#endif
