// velarion._core._probe: test support. Exposes the C-level binding mechanism
// to Python so that tests can check how a missing module, name, method table
// or a size mismatch is reported, exactly as an importing module sees it.
#include "velarion/_core/core.hpp"

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>

namespace core = velarion::core;

namespace {

core::ModuleOnce g_once;

PyObject* probe_bind_capi(PyObject*, PyObject* args) {
    const char *module, *name, *c_type;
    if (!PyArg_ParseTuple(args, "sss", &module, &name, &c_type)) return nullptr;
    void* p = core::capi_bind(module, name, c_type);
    if (!p) return nullptr;
    return PyLong_FromVoidPtr(p);
}

PyObject* probe_bind_type(PyObject*, PyObject* args) {
    const char *module, *name;
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "ssn", &module, &name, &size)) return nullptr;
    return reinterpret_cast<PyObject*>(core::type_bind(module, name, static_cast<size_t>(size)));
}

PyObject* probe_bind_vtable(PyObject*, PyObject* args) {
    PyObject* type;
    const char* c_type;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "O!s|n", &PyType_Type, &type, &c_type, &size)) return nullptr;
    void* p = core::vtable_bind(reinterpret_cast<PyTypeObject*>(type), c_type, static_cast<size_t>(size));
    if (!p) return nullptr;
    return PyLong_FromVoidPtr(p);
}

// bind_module(module, types, variables, functions): types is a list of
// (name, basicsize, vtable C type or None, vtable size), the others lists of
// (name, C type). Returns (types, variable addresses, function addresses), or
// raises; on failure it also checks that no slot was written.
PyObject* probe_bind_module(PyObject*, PyObject* args) {
    const char* module;
    PyObject *types, *variables, *functions;
    if (!PyArg_ParseTuple(args, "sO!O!O!", &module, &PyList_Type, &types, &PyList_Type, &variables, &PyList_Type,
                          &functions))
        return nullptr;
    constexpr Py_ssize_t kMax = 8;
    if (PyList_GET_SIZE(types) > kMax || PyList_GET_SIZE(variables) > kMax || PyList_GET_SIZE(functions) > kMax) {
        PyErr_SetString(PyExc_ValueError, "at most 8 items of each kind");
        return nullptr;
    }
    // The items are read into owned copies first: the lists may change under us.
    core::Ref lists[3] = {core::Ref::steal(PySequence_Tuple(types)), core::Ref::steal(PySequence_Tuple(variables)),
                          core::Ref::steal(PySequence_Tuple(functions))};
    for (auto& l : lists)
        if (!l) return nullptr;
    core::BoundType bt[kMax];
    core::BoundVariable bv[kMax];
    core::BoundFunction bf[kMax];
    PyTypeObject* type_slots[kMax] = {};
    PyObject** var_slots[kMax] = {};
    void* fn_slots[kMax] = {};
    const Py_ssize_t nt = PyTuple_GET_SIZE(lists[0].get()), nv = PyTuple_GET_SIZE(lists[1].get()),
                     nf = PyTuple_GET_SIZE(lists[2].get());
    for (Py_ssize_t i = 0; i < nt; ++i) {
        const char *name, *vt = nullptr;
        Py_ssize_t size, vsize;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(lists[0].get(), i), "snzn", &name, &size, &vt, &vsize)) return nullptr;
        bt[i] = {name, static_cast<size_t>(size), &type_slots[i], vt, static_cast<size_t>(vsize)};
    }
    for (Py_ssize_t i = 0; i < nv; ++i) {
        const char *name, *c_type;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(lists[1].get(), i), "ss", &name, &c_type)) return nullptr;
        bv[i] = {name, c_type, &var_slots[i]};
    }
    for (Py_ssize_t i = 0; i < nf; ++i) {
        const char *name, *c_type;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(lists[2].get(), i), "ss", &name, &c_type)) return nullptr;
        bf[i] = {name, c_type, &fn_slots[i]};
    }
    const core::ModuleBinding what{
        module, {bt, static_cast<size_t>(nt)}, {bv, static_cast<size_t>(nv)}, {bf, static_cast<size_t>(nf)}};
    if (core::bind_module(what) < 0) {
        for (Py_ssize_t i = 0; i < kMax; ++i) {
            if (type_slots[i] || var_slots[i] || fn_slots[i]) {
                PyErr_SetString(PyExc_AssertionError, "bind_module wrote a slot and then failed");
                return nullptr;
            }
        }
        return nullptr;
    }
    core::Ref out[3] = {core::Ref::steal(PyTuple_New(nt)), core::Ref::steal(PyTuple_New(nv)),
                        core::Ref::steal(PyTuple_New(nf))};
    for (auto& o : out)
        if (!o) return nullptr;
    for (Py_ssize_t i = 0; i < nt; ++i) PyTuple_SET_ITEM(out[0].get(), i, reinterpret_cast<PyObject*>(type_slots[i]));
    for (Py_ssize_t i = 0; i < nv; ++i) {
        PyObject* a = PyLong_FromVoidPtr(var_slots[i]);
        if (!a) return nullptr;
        PyTuple_SET_ITEM(out[1].get(), i, a);
    }
    for (Py_ssize_t i = 0; i < nf; ++i) {
        PyObject* a = PyLong_FromVoidPtr(fn_slots[i]);
        if (!a) return nullptr;
        PyTuple_SET_ITEM(out[2].get(), i, a);
    }
    return PyTuple_Pack(3, out[0].get(), out[1].get(), out[2].get());
}

// kwonly(a, b=None, *, c, d=None): the parsed values as a dict (absent
// arguments left out), through a Signature with keyword-only parameters.
PyObject* probe_kwonly(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* kNames[] = {"a", "b", "c", "d"};
    static constexpr const char* kRequiredKeywords[] = {"c"};
    static constexpr core::Signature kSig{"kwonly", kNames, 1, false, 2, kRequiredKeywords};
    PyObject* v[4];
    if (!core::parse_args(kSig, args, nargs, kwnames, v)) return nullptr;
    core::Ref out = core::Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (int i = 0; i < 4; ++i) {
        if (v[i] && PyDict_SetItemString(out.get(), kNames[i], v[i]) < 0) return nullptr;
    }
    return out.release();
}

// import_into(module_object, source, name): `from source import name` into
// the given module's namespace.
PyObject* probe_import_into(PyObject*, PyObject* args) {
    PyObject* module;
    const char *source, *name;
    if (!PyArg_ParseTuple(args, "O!ss", &PyModule_Type, &module, &source, &name)) return nullptr;
    if (core::import_into(module, source, name) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* probe_basicsize(PyObject*, PyObject* type) {
    if (!PyType_Check(type)) {
        PyErr_SetString(PyExc_TypeError, "expected a type");
        return nullptr;
    }
    return PyLong_FromSsize_t(reinterpret_cast<PyTypeObject*>(type)->tp_basicsize);
}

// Throws the C++ exception named by `kind` from inside an entry point, so
// tests see what the border turns it into.
PyObject* probe_throw(PyObject*, PyObject* kind) {
    if (!PyUnicode_Check(kind)) {
        PyErr_SetString(PyExc_TypeError, "expected a str");
        return nullptr;
    }
    if (PyUnicode_CompareWithASCIIString(kind, "bad_alloc") == 0) throw std::bad_alloc();
    if (PyUnicode_CompareWithASCIIString(kind, "length_error") == 0) throw std::length_error("vector::reserve");
    if (PyUnicode_CompareWithASCIIString(kind, "runtime_error") == 0) throw std::runtime_error("from C++");
    if (PyUnicode_CompareWithASCIIString(kind, "int") == 0) throw 1;
    Py_RETURN_NONE;
}

// spin(seconds, threads): busy work in 1 ms chunks on `threads` threads for
// `seconds`, through run_interruptible; returns the chunks done, or raises
// what a signal handler raised meanwhile.
PyObject* probe_spin(PyObject*, PyObject* args) {
    double seconds;
    int threads;
    if (!PyArg_ParseTuple(args, "di", &seconds, &threads)) return nullptr;
    if (!(seconds >= 0.0 && seconds <= 600.0) || threads < 1) {
        PyErr_SetString(PyExc_ValueError, "spin: seconds in [0, 600], threads >= 1");
        return nullptr;
    }
    const auto chunks = static_cast<std::ptrdiff_t>(seconds * 1000.0) * threads;
    std::atomic<long long> done{0};
    const bool finished = core::run_interruptible(
        chunks, threads, [&](const core::StopFlag& stop, std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
            for (std::ptrdiff_t k = begin; k < end && !stop.raised(); ++k) {
                const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
                while (std::chrono::steady_clock::now() < until) {
                }
                done.fetch_add(1, std::memory_order_relaxed);
            }
        });
    if (!finished) return nullptr;
    return PyLong_FromLongLong(done.load());
}

PyMethodDef probe_methods[] = {
    {"bind_capi", core::entry<probe_bind_capi>, METH_VARARGS, "bind_capi(module, name, c_type) -> address"},
    {"bind_type", core::entry<probe_bind_type>, METH_VARARGS, "bind_type(module, name, size) -> type"},
    {"bind_vtable", core::entry<probe_bind_vtable>, METH_VARARGS, "bind_vtable(type, c_type, size=0) -> address"},
    {"bind_module", core::entry<probe_bind_module>, METH_VARARGS,
     "bind_module(module, types, variables, functions) -> (types, variable addresses, function addresses)"},
    {"kwonly", VELARION_FASTCALL(probe_kwonly), METH_FASTCALL | METH_KEYWORDS,
     "kwonly(a, b=None, *, c, d=None) -> dict of the given arguments"},
    {"import_into", core::entry<probe_import_into>, METH_VARARGS, "import_into(module, source, name)"},
    {"basicsize", core::entry<probe_basicsize>, METH_O, "basicsize(type) -> tp_basicsize"},
    {"spin", core::entry<probe_spin>, METH_VARARGS,
     "spin(seconds, threads) -> chunks: 1 ms chunks of busy work, interruptible by signal handlers"},
    {"throw", core::entry<probe_throw>, METH_O, "throw(kind): raises the C++ exception `kind` inside an entry point"},
    {nullptr, nullptr, 0, nullptr}};

PyObject* probe_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }
int probe_exec(PyObject* module) { return g_once.enter(module, "_probe") < 0 ? -1 : 0; }

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_create, (void*)core::entry<probe_create>}, {Py_mod_exec, (void*)core::entry<probe_exec>}, {0, nullptr}};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT,
                         "velarion._core._probe",
                         "Test support for the C-level interface.",
                         0,
                         probe_methods,
                         probe_slots,
                         nullptr,
                         nullptr,
                         nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__probe() { return PyModuleDef_Init(&probe_def); }
