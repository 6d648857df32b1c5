// velarion._core._probe: test support. Exposes the C-level binding mechanism
// to Python so that tests can check how a missing module, name, method table
// or a size mismatch is reported, exactly as an importing module sees it.
#include "velarion/_core/core.hpp"

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
    if (!PyArg_ParseTuple(args, "O!s", &PyType_Type, &type, &c_type)) return nullptr;
    void* p = core::vtable_bind(reinterpret_cast<PyTypeObject*>(type), c_type);
    if (!p) return nullptr;
    return PyLong_FromVoidPtr(p);
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

PyMethodDef probe_methods[] = {
    {"bind_capi", core::entry<probe_bind_capi>, METH_VARARGS, "bind_capi(module, name, c_type) -> address"},
    {"bind_type", core::entry<probe_bind_type>, METH_VARARGS, "bind_type(module, name, size) -> type"},
    {"bind_vtable", core::entry<probe_bind_vtable>, METH_VARARGS, "bind_vtable(type, c_type) -> address"},
    {"basicsize", core::entry<probe_basicsize>, METH_O, "basicsize(type) -> tp_basicsize"},
    {"throw", core::entry<probe_throw>, METH_O, "throw(kind): raises the C++ exception `kind` inside an entry point"},
    {nullptr, nullptr, 0, nullptr}};

PyObject* probe_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }
int probe_exec(PyObject* module) { return g_once.enter(module, "_probe") < 0 ? -1 : 0; }

PyModuleDef_Slot probe_slots[] = {{Py_mod_create, (void*)core::entry<probe_create>}, {Py_mod_exec, (void*)core::entry<probe_exec>}, {0, nullptr}};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "velarion._core._probe", "Test support for the C-level interface.",
                         0, probe_methods, probe_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__probe() { return PyModuleDef_Init(&probe_def); }
