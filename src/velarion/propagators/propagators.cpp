// velarion.propagators.propagators: the Propagator base type. It has no
// data of its own beyond the pointer to its C-level method table; each
// instance gets its type's table in tp_new, and a subclass (in another
// module) replaces it with its own table after calling this tp_new.
#include "velarion/_core/core.hpp"
#include "velarion/propagators/propagators.hpp"

namespace core = velarion::core;
namespace prop = velarion::propagators;
using core::Ref;

namespace {

core::ModuleOnce g_once;
core::InternedNames g_names{"propagate_state"};
PyTypeObject* g_type = nullptr;  // the Propagator type (owned by the module)

// The exception texts and documentation strings of this file are word for
// word: callers and tests compare them.

int not_implemented(prop::PropagatorObject* self, const char* slot) {
    PyErr_Format(PyExc_NotImplementedError, "%s.%s is not implemented; a propagator subclass provides it",
                 Py_TYPE(self)->tp_name, slot);
    return -1;
}

int Propagator_c_jac_r(prop::PropagatorObject* self, double, const double*, const double*, double*) {
    return not_implemented(self, "c_jac_r");
}
int Propagator_c_jac_v(prop::PropagatorObject* self, double, const double*, const double*, double*) {
    return not_implemented(self, "c_jac_v");
}
int Propagator_c_accel(prop::PropagatorObject* self, double, const double*, const double*, double*) {
    return not_implemented(self, "c_accel");
}

prop::PropagatorVTable g_vtable = {Propagator_c_jac_r, Propagator_c_jac_v, Propagator_c_accel};

PyObject* Propagator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // Propagator itself takes no arguments; a subclass's arguments are its own business.
    if (type == g_type && (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0))) {
        PyErr_SetString(PyExc_TypeError, "Propagator() takes no arguments");
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<prop::PropagatorObject*>(self)->vtab = &g_vtable;
    return self;
}

constexpr const char* kPropagateNames[] = {"time", "state"};
constexpr core::Signature kPropagateSig{"propagate", kPropagateNames, 2, true};

PyObject* Propagator_propagate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    Ref extra;
    if (!core::parse_args(kPropagateSig, args, nargs, kwnames, a, &extra)) return nullptr;
    Ref method = Ref::steal(PyObject_GetAttr(self, g_names[0]));
    if (!method) return nullptr;
    Ref call_args = Ref::steal(PyTuple_Pack(2, a[0], a[1]));
    if (!call_args) return nullptr;
    return PyObject_Call(method.get(), call_args.get(), extra.get());
}

PyObject* Propagator_propagate_state(PyObject* self, PyObject*, PyObject*) {
    PyErr_Format(PyExc_NotImplementedError, "%s.propagate_state is not implemented; a propagator subclass provides it",
                 Py_TYPE(self)->tp_name);
    return nullptr;
}

PyMethodDef Propagator_methods[] = {
    {"propagate", VELARION_FASTCALL(Propagator_propagate), METH_FASTCALL | METH_KEYWORDS,
     "propagate(time, state, **kwargs)\n--\n\n"
     "Propagate `state` to the epochs of `time`.\n\n"
     "Calls self.propagate_state(time, state, **kwargs), so the subclass's\n"
     "propagate_state decides what is accepted and what is returned."},
    {"propagate_state", VELARION_FASTCALL(Propagator_propagate_state), METH_VARARGS | METH_KEYWORDS,
     "propagate_state(time, state, **kwargs)\n--\n\n"
     "Propagate `state` to the epochs of `time`; provided by subclasses (the base raises NotImplementedError)."},
    VELARION_NO_PICKLE_METHODS,
    {nullptr, nullptr, 0, nullptr}};

constexpr const char kPropagatorDoc[] =
    "Propagator()\n--\n\n"
    "Base class of the orbit propagators.\n\n"
    "It holds no data. Subclasses provide propagate_state() and the C-level\n"
    "methods c_jac_r, c_jac_v and c_accel of the method table; the base\n"
    "versions raise NotImplementedError.";

PyType_Slot Propagator_slots[] = {{Py_tp_doc, (void*)kPropagatorDoc},
                                  {Py_tp_new, (void*)core::entry<Propagator_new>},
                                  {Py_tp_dealloc, (void*)core::entry<core::heap_dealloc<>>},
                                  {Py_tp_methods, Propagator_methods},
                                  {0, nullptr}};

PyType_Spec Propagator_spec = {"velarion.propagators.propagators.Propagator", sizeof(prop::PropagatorObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, Propagator_slots};

PyObject* propagators_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int propagators_exec(PyObject* module) {
    if (int r = g_once.enter(module, "propagators"); r <= 0) return r;
    VELARION_CHECK(g_names.init());
    VELARION_CHECK(g_type = core::add_type(module, &Propagator_spec));
    VELARION_CHECK(core::vtable_publish(g_type, &g_vtable, prop::kPropagatorVTableType));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot propagators_slots[] = {{Py_mod_create, (void*)core::entry<propagators_create>},
                                        {Py_mod_exec, (void*)core::entry<propagators_exec>},
                                        {0, nullptr}};

PyModuleDef propagators_def = {PyModuleDef_HEAD_INIT,
                               "velarion.propagators.propagators",
                               "The Propagator base class of the orbit propagators.",
                               0,
                               nullptr,
                               propagators_slots,
                               nullptr,
                               nullptr,
                               nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_propagators() { return PyModuleDef_Init(&propagators_def); }
