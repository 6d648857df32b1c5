// Annotated methods: a method of an extension type that carries Python-level
// metadata a plain method descriptor cannot hold (`__annotations__`,
// `__signature__` with annotations), as a function written in Python would.
//
// The wrapper is a method descriptor: `obj.method(...)` calls the C function
// directly (no bound-method object on the fast path), `Class.method` is the
// wrapper itself, and `obj.method` is a bound method whose attributes
// (`__annotations__`, `__doc__`, `__name__`, ...) are the wrapper's, so that
// `inspect.signature` shows the annotations with or without `self`.
//
// Use from a module's exec slot:
//   PyTypeObject* mt = core::annotated_method_type(module);   // once per module
//   core::add_annotated_method(mt, owner_type, &def, params, "ReturnAnnotation");
// where `def` is a METH_FASTCALL | METH_KEYWORDS function, or a METH_NOARGS
// one, taking the instance as `self`. The wrapper replaces nothing else of
// the owner type.
//
// Class methods use the same wrapper type:
//   core::add_annotated_classmethod(mt, owner_type, &def, params, "ReturnAnnotation");
// with `def` a METH_FASTCALL | METH_KEYWORDS function taking the class as
// its first argument. The wrapper (first parameter `cls`) is stored in the
// class inside a `classmethod` object, so `Owner.name` and `obj.name` are
// methods bound to the class, and introspection (inspect, stub checkers)
// sees an ordinary class method.
//
// Module functions use a sibling wrapper type:
//   PyTypeObject* ft = core::annotated_function_type(module);  // once per module
//   core::add_annotated_function(ft, module, &def, params, "ReturnAnnotation");
// with `def` a METH_NOARGS or METH_FASTCALL | METH_KEYWORDS function that
// receives the module as `self`, as a builtin function does. The wrapper is
// not bound when read from a class (like a builtin function).
#ifndef VELARION_CORE_METHOD_HPP
#define VELARION_CORE_METHOD_HPP

#include "velarion/_core/module.hpp"
#include "velarion/_core/ref.hpp"

#include <structmember.h>

#include <array>
#include <cstddef>
#include <span>

namespace velarion::core {

// One parameter of a method's signature (after `self`). `kind` names an
// inspect.Parameter kind ("POSITIONAL_OR_KEYWORD", "KEYWORD_ONLY",
// "VAR_POSITIONAL", "VAR_KEYWORD"); `annotation` may be nullptr. The
// annotation is the text itself, or, with `builtin_annotation`, the builtin
// object of that name (e.g. the type `str` for "str").
struct MethodParam {
    const char* name;
    const char* kind;
    const char* annotation;
    bool builtin_annotation = false;
};

struct AnnotatedMethodObject {
    PyObject_HEAD
    PyMethodDef* def;       // the C function (METH_FASTCALL | METH_KEYWORDS, or METH_NOARGS)
    PyTypeObject* owner;    // the class the method belongs to (owned)
    PyObject* qualname;     // "Owner.name"
    PyObject* module;       // the owner's module name, or None
    PyObject* annotations;  // dict: parameter name -> annotation, "return" -> annotation
    PyObject* signature;    // inspect.Signature, including self
    vectorcallfunc vectorcall;
    PyObject* self_arg;  // module functions: the module, passed as `self` (owned); else nullptr
};

namespace detail {

using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline FastWithKeywords fast_call(const PyMethodDef* def) noexcept {
    return reinterpret_cast<FastWithKeywords>(reinterpret_cast<void (*)(void)>(def->ml_meth));
}

inline AnnotatedMethodObject* as_wrapper(PyObject* o) noexcept { return reinterpret_cast<AnnotatedMethodObject*>(o); }

// A new reference to `o`, or to None where the collector cleared it.
inline PyObject* new_ref_or_none(PyObject* o) noexcept { return Py_NewRef(o ? o : Py_None); }

// A method whose class the collector cleared (its owner is gone) refuses
// calls instead of reading a null class.
inline bool check_owner(const AnnotatedMethodObject* m) {
    if (m->owner) return true;
    PyErr_Format(PyExc_TypeError, "%U() cannot be called: its class was cleared by the garbage collector", m->qualname);
    return false;
}

// The instance a method is called on (args[0]): the checks of CPython's own
// method descriptors. Word for word, here and below, CPython's messages:
// callers and tests compare these texts.
inline bool check_self(const AnnotatedMethodObject* m, PyObject* const* args, Py_ssize_t nargs) {
    if (!check_owner(m)) return false;
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", m->qualname);
        return false;
    }
    if (!PyObject_TypeCheck(args[0], m->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%.100s' objects doesn't apply to a '%.100s' object",
                     m->def->ml_name, m->owner->tp_name, Py_TYPE(args[0])->tp_name);
        return false;
    }
    return true;
}

// A METH_NOARGS call given `given` arguments besides `self`.
inline bool check_no_args(const AnnotatedMethodObject* m, Py_ssize_t given, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%U() takes no keyword arguments", m->qualname);
        return false;
    }
    if (given != 0) {
        PyErr_Format(PyExc_TypeError, "%U() takes no arguments (%zd given)", m->qualname, given);
        return false;
    }
    return true;
}

inline PyObject* am_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    AnnotatedMethodObject* m = as_wrapper(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!check_self(m, args, nargs)) return nullptr;
    return fast_call(m->def)(args[0], args + 1, nargs - 1, kwnames);
}

inline PyObject* am_vectorcall_noargs(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    AnnotatedMethodObject* m = as_wrapper(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!check_self(m, args, nargs) || !check_no_args(m, nargs - 1, kwnames)) return nullptr;
    return m->def->ml_meth(args[0], nullptr);
}

// A class method: the first argument is the class (a subclass of the owner),
// checked as CPython checks the class argument of its class-method
// descriptors.
inline PyObject* am_vectorcall_class(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    AnnotatedMethodObject* m = as_wrapper(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (!check_owner(m)) return nullptr;
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' of '%.100s' object needs an argument", m->def->ml_name,
                     m->owner->tp_name);
        return nullptr;
    }
    PyObject* cls = args[0];
    if (!PyType_Check(cls)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for type '%.100s' needs a type, not a '%.100s' as arg 2",
                     m->def->ml_name, m->owner->tp_name, Py_TYPE(cls)->tp_name);
        return nullptr;
    }
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(cls), m->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' requires a subtype of '%.100s' but received '%.100s'",
                     m->def->ml_name, m->owner->tp_name, reinterpret_cast<PyTypeObject*>(cls)->tp_name);
        return nullptr;
    }
    return fast_call(m->def)(cls, args + 1, nargs - 1, kwnames);
}

// A module function: the module is `self`; the checks and messages of
// CPython's builtin functions.
inline PyObject* af_vectorcall_noargs(PyObject* callable, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    AnnotatedMethodObject* m = as_wrapper(callable);
    if (!check_no_args(m, PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
    return m->def->ml_meth(m->self_arg, nullptr);
}

inline PyObject* af_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    AnnotatedMethodObject* m = as_wrapper(callable);
    return fast_call(m->def)(m->self_arg, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// Read from an instance, a method binds to it; read from a class, it is the
// wrapper itself.
inline PyObject* am_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// Read from a class or an instance, a module function stays what it is.
inline PyObject* af_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

inline PyObject* am_repr(PyObject* self) {
    AnnotatedMethodObject* m = as_wrapper(self);
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>", m->def->ml_name,
                                m->owner ? m->owner->tp_name : "(cleared)");
}

inline PyObject* af_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %s>", as_wrapper(self)->def->ml_name);
}

inline int am_traverse(PyObject* self, visitproc visit, void* arg) {
    AnnotatedMethodObject* m = as_wrapper(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(m->owner);
    Py_VISIT(m->annotations);
    Py_VISIT(m->signature);
    Py_VISIT(m->self_arg);
    return 0;
}

// The collector drops what may take part in a cycle; the names (strings)
// stay for the messages of a wrapper reached after that, until dealloc.
inline int am_clear(PyObject* self) {
    AnnotatedMethodObject* m = as_wrapper(self);
    Py_CLEAR(m->owner);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->signature);
    Py_CLEAR(m->self_arg);
    return 0;
}

inline int am_release(PyObject* self) {
    am_clear(self);
    Py_CLEAR(as_wrapper(self)->qualname);
    Py_CLEAR(as_wrapper(self)->module);
    return 0;
}

inline PyObject* am_get_name(PyObject* self, void*) { return PyUnicode_FromString(as_wrapper(self)->def->ml_name); }
inline PyObject* am_get_qualname(PyObject* self, void*) { return Py_NewRef(as_wrapper(self)->qualname); }
inline PyObject* am_get_module(PyObject* self, void*) { return Py_NewRef(as_wrapper(self)->module); }
inline PyObject* am_get_doc(PyObject* self, void*) {
    const char* doc = as_wrapper(self)->def->ml_doc;
    if (!doc) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}
inline PyObject* am_get_annotations(PyObject* self, void*) { return new_ref_or_none(as_wrapper(self)->annotations); }
inline PyObject* am_get_signature(PyObject* self, void*) { return new_ref_or_none(as_wrapper(self)->signature); }
inline PyObject* am_get_objclass(PyObject* self, void*) {
    return new_ref_or_none(reinterpret_cast<PyObject*>(as_wrapper(self)->owner));
}
inline PyObject* af_get_self(PyObject* self, void*) { return new_ref_or_none(as_wrapper(self)->self_arg); }

// The attributes of both wrappers, then the one of each kind: a method's
// class (`__objclass__`), a function's module (`__self__`).
constexpr size_t kWrapperGetters = 8;
constexpr std::array<PyGetSetDef, kWrapperGetters> wrapper_getset(PyGetSetDef own) {
    return {{{"__name__", am_get_name, nullptr, nullptr, nullptr},
             {"__qualname__", am_get_qualname, nullptr, nullptr, nullptr},
             {"__module__", am_get_module, nullptr, nullptr, nullptr},
             {"__doc__", am_get_doc, nullptr, nullptr, nullptr},
             {"__annotations__", am_get_annotations, nullptr, nullptr, nullptr},
             {"__signature__", am_get_signature, nullptr, nullptr, nullptr},
             own,
             {nullptr, nullptr, nullptr, nullptr, nullptr}}};
}

inline std::array<PyGetSetDef, kWrapperGetters> am_getset =
    wrapper_getset({"__objclass__", am_get_objclass, nullptr, nullptr, nullptr});
inline std::array<PyGetSetDef, kWrapperGetters> af_getset =
    wrapper_getset({"__self__", af_get_self, nullptr, nullptr, nullptr});

inline PyMemberDef am_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(AnnotatedMethodObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// What tells the two wrapper types apart.
struct WrapperKind {
    const char* name;
    unsigned long flags;
    reprfunc repr;
    descrgetfunc descr_get;
    PyGetSetDef* getset;
    vectorcallfunc fastcall;  // the call entry of a METH_FASTCALL | METH_KEYWORDS function
    vectorcallfunc noargs;    // and of a METH_NOARGS one
    const char* what;         // "method" or "function", for messages
};

// Py_TPFLAGS_METHOD_DESCRIPTOR: `obj.name(...)` calls the method wrapper
// with obj first instead of building a bound method.
inline const WrapperKind kMethodKind = {.name = "velarion._core.annotated_method",
                                        .flags = Py_TPFLAGS_METHOD_DESCRIPTOR,
                                        .repr = am_repr,
                                        .descr_get = am_descr_get,
                                        .getset = am_getset.data(),
                                        .fastcall = am_vectorcall,
                                        .noargs = am_vectorcall_noargs,
                                        .what = "method"};
inline const WrapperKind kFunctionKind = {.name = "velarion._core.annotated_function",
                                          .flags = 0,
                                          .repr = af_repr,
                                          .descr_get = af_descr_get,
                                          .getset = af_getset.data(),
                                          .fastcall = af_vectorcall,
                                          .noargs = af_vectorcall_noargs,
                                          .what = "function"};

// The call entry of the wrapper of `def`, or nullptr with SystemError for a
// calling convention it does not serve.
inline vectorcallfunc call_entry(const WrapperKind& kind, const PyMethodDef* def) {
    if (def->ml_flags == (METH_FASTCALL | METH_KEYWORDS)) return kind.fastcall;
    if (def->ml_flags == METH_NOARGS) return kind.noargs;
    PyErr_Format(PyExc_SystemError, "annotated %s %s: unsupported calling convention", kind.what, def->ml_name);
    return nullptr;
}

// The wrapper type of one kind for `module` (a new reference). The type
// keeps pointers to the name, getters and members (static), not to the
// PyType_Spec built here.
inline PyTypeObject* wrapper_type(PyObject* module, const WrapperKind& kind) {
    PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(gc_dealloc<am_release>)},
                           {Py_tp_traverse, reinterpret_cast<void*>(am_traverse)},
                           {Py_tp_clear, reinterpret_cast<void*>(am_clear)},
                           {Py_tp_repr, reinterpret_cast<void*>(kind.repr)},
                           {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                           {Py_tp_descr_get, reinterpret_cast<void*>(kind.descr_get)},
                           {Py_tp_getset, kind.getset},
                           {Py_tp_members, am_members},
                           {0, nullptr}};
    constexpr unsigned long kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                     Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Spec spec = {kind.name, sizeof(AnnotatedMethodObject), 0, static_cast<unsigned>(kFlags | kind.flags), slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

// The annotation object of a parameter: its text, or the builtin it names.
inline Ref annotation_value(const MethodParam& p) {
    if (!p.builtin_annotation) return Ref::steal(PyUnicode_FromString(p.annotation));
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return {};
    return Ref::steal(PyObject_GetAttrString(builtins.get(), p.annotation));
}

// inspect.Signature(<first>, *params) -> return_annotation, with annotations
// (`first` is the unannotated "self" or "cls", or nullptr for none).
inline Ref build_signature(std::span<const MethodParam> params, const char* return_annotation, const char* first) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return {};
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = parameter ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    if (!signature) return {};
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return {};
    auto add = [&](const MethodParam& param) -> bool {
        Ref kind_value = Ref::steal(PyObject_GetAttrString(parameter.get(), param.kind));
        if (!kind_value) return false;
        Ref args = Ref::steal(Py_BuildValue("(sO)", param.name, kind_value.get()));
        Ref kwargs = Ref::steal(PyDict_New());
        if (!args || !kwargs) return false;
        if (param.annotation) {
            Ref value = annotation_value(param);
            if (!value || PyDict_SetItemString(kwargs.get(), "annotation", value.get()) < 0) return false;
        }
        Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        return p && PyList_Append(list.get(), p.get()) == 0;
    };
    if (first && !add(MethodParam{first, "POSITIONAL_OR_KEYWORD", nullptr})) return {};
    for (const MethodParam& p : params) {
        if (!add(p)) return {};
    }
    Ref args = Ref::steal(PyTuple_Pack(1, list.get()));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs) return {};
    if (return_annotation) {
        Ref text = Ref::steal(PyUnicode_FromString(return_annotation));
        if (!text || PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()) < 0) return {};
    }
    return Ref::steal(PyObject_Call(signature.get(), args.get(), kwargs.get()));
}

}  // namespace detail

// The wrapper type of a module (create once, in the exec slot; new reference).
inline PyTypeObject* annotated_method_type(PyObject* module) {
    return detail::wrapper_type(module, detail::kMethodKind);
}

// The wrapper type of a module's functions (likewise).
inline PyTypeObject* annotated_function_type(PyObject* module) {
    return detail::wrapper_type(module, detail::kFunctionKind);
}

namespace detail {

// The wrapper of `def`, with its annotations and signature (first
// parameter `first`) and the given call entry. A method has its `owner`
// class; a module function has none and is called with `self_arg` (the
// module) as `self`.
inline Ref make_annotated(PyTypeObject* method_type, PyTypeObject* owner, PyMethodDef* def,
                          std::span<const MethodParam> params, const char* return_annotation, const char* first,
                          vectorcallfunc vectorcall, PyObject* self_arg = nullptr) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return {};
    for (const MethodParam& p : params) {
        if (!p.annotation) continue;
        Ref value = annotation_value(p);
        if (!value || PyDict_SetItemString(annotations.get(), p.name, value.get()) < 0) return {};
    }
    if (return_annotation) {
        Ref text = Ref::steal(PyUnicode_FromString(return_annotation));
        if (!text || PyDict_SetItemString(annotations.get(), "return", text.get()) < 0) return {};
    }
    Ref signature = build_signature(params, return_annotation, first);
    if (!signature) return {};
    Ref qualname, module;
    if (owner) {
        Ref owner_qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(owner), "__qualname__"));
        if (!owner_qualname) return {};
        qualname = Ref::steal(PyUnicode_FromFormat("%U.%s", owner_qualname.get(), def->ml_name));
        module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(owner), "__module__"));
    } else {
        qualname = Ref::steal(PyUnicode_FromString(def->ml_name));
        module = Ref::steal(PyObject_GetAttrString(self_arg, "__name__"));
    }
    if (!qualname || !module) return {};

    auto* m = PyObject_GC_New(AnnotatedMethodObject, method_type);
    if (!m) return {};
    m->def = def;
    m->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(owner)));
    m->self_arg = Py_XNewRef(self_arg);
    m->qualname = qualname.release();
    m->module = module.release();
    m->annotations = annotations.release();
    m->signature = signature.release();
    m->vectorcall = vectorcall;
    PyObject_GC_Track(m);
    return Ref::steal(reinterpret_cast<PyObject*>(m));
}

}  // namespace detail

// Creates the wrapper of `def` (whose lifetime must be the process's, e.g. a
// static) and sets it as attribute `def->ml_name` of `owner`. `def` is
// METH_FASTCALL | METH_KEYWORDS or METH_NOARGS. Returns 0, or -1 with an
// exception set.
inline int add_annotated_method(PyTypeObject* method_type, PyTypeObject* owner, PyMethodDef* def,
                                std::span<const MethodParam> params, const char* return_annotation) {
    vectorcallfunc call = detail::call_entry(detail::kMethodKind, def);
    if (!call) return -1;
    Ref wrapper = detail::make_annotated(method_type, owner, def, params, return_annotation, "self", call);
    if (!wrapper) return -1;
    return PyObject_SetAttrString(reinterpret_cast<PyObject*>(owner), def->ml_name, wrapper.get());
}

// The class-method form: `def` (METH_FASTCALL | METH_KEYWORDS) receives the
// class first; the wrapper is set on `owner` inside a `classmethod`.
// Returns 0, or -1 with an exception set.
inline int add_annotated_classmethod(PyTypeObject* method_type, PyTypeObject* owner, PyMethodDef* def,
                                     std::span<const MethodParam> params, const char* return_annotation) {
    if (def->ml_flags != (METH_FASTCALL | METH_KEYWORDS)) {
        PyErr_Format(PyExc_SystemError, "annotated class method %s: unsupported calling convention", def->ml_name);
        return -1;
    }
    Ref wrapper =
        detail::make_annotated(method_type, owner, def, params, return_annotation, "cls", detail::am_vectorcall_class);
    if (!wrapper) return -1;
    Ref descriptor = Ref::steal(PyClassMethod_New(wrapper.get()));
    if (!descriptor) return -1;
    return PyObject_SetAttrString(reinterpret_cast<PyObject*>(owner), def->ml_name, descriptor.get());
}

// Creates the wrapper of a module function `def` (METH_NOARGS or
// METH_FASTCALL | METH_KEYWORDS; lifetime of the process) and adds it to
// `module` under `def->ml_name`. Returns 0, or -1 with an exception set.
inline int add_annotated_function(PyTypeObject* function_type, PyObject* module, PyMethodDef* def,
                                  std::span<const MethodParam> params, const char* return_annotation) {
    vectorcallfunc call = detail::call_entry(detail::kFunctionKind, def);
    if (!call) return -1;
    Ref wrapper = detail::make_annotated(function_type, nullptr, def, params, return_annotation, nullptr, call, module);
    if (!wrapper) return -1;
    return PyModule_AddObjectRef(module, def->ml_name, wrapper.get());
}

}  // namespace velarion::core

#endif
