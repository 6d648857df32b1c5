// velarion._core._probe: test support. Exposes the C-level binding mechanism
// to Python so that tests can check how a missing module, name, method table
// or a size mismatch is reported, exactly as an importing module sees it.
#include "velarion/_core/core.hpp"

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

PyMethodDef probe_methods[] = {
    {"bind_capi", probe_bind_capi, METH_VARARGS, "bind_capi(module, name, c_type) -> address"},
    {"bind_type", probe_bind_type, METH_VARARGS, "bind_type(module, name, size) -> type"},
    {"bind_vtable", probe_bind_vtable, METH_VARARGS, "bind_vtable(type, c_type) -> address"},
    {"basicsize", probe_basicsize, METH_O, "basicsize(type) -> tp_basicsize"},
    {nullptr, nullptr, 0, nullptr}};

PyObject* probe_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }
int probe_exec(PyObject* module) { return g_once.enter(module, "_probe") < 0 ? -1 : 0; }

PyModuleDef_Slot probe_slots[] = {{Py_mod_create, (void*)probe_create}, {Py_mod_exec, (void*)probe_exec}, {0, nullptr}};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "velarion._core._probe", "Test support for the C-level interface.",
                         0, probe_methods, probe_slots, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__probe() { return PyModuleDef_Init(&probe_def); }
