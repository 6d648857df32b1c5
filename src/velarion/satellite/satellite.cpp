// velarion.satellite.satellite: the Satellite object (a time, a name, a
// description, and the state, propagator and ephemeris it was given).
#include "velarion/_core/core.hpp"
#include "velarion/propagators/propagators.hpp"
#include "velarion/state/ephemeris.hpp"
#include "velarion/state/state.hpp"
#include "velarion/time/time.hpp"

namespace core = velarion::core;

using core::Ref;

namespace {

core::ModuleOnce g_once;
core::InternedNames g_names{"strip"};

struct SatelliteObject {
    PyObject_HEAD
    PyObject* _time;        // the Time made by the constructor
    PyObject* name;         // str or None
    PyObject* description;  // str or None
    PyObject* state;        // as given to the constructor
    PyObject* propagator;   // Propagator or None
    PyObject* ephemeris;    // StateVectorEphemeris or None
};

SatelliteObject* as_sat(PyObject* o) noexcept { return reinterpret_cast<SatelliteObject*>(o); }

// Every object slot of a satellite.
constexpr Py_ssize_t kSlotOffsets[] = {offsetof(SatelliteObject, _time),       offsetof(SatelliteObject, name),
                                       offsetof(SatelliteObject, description), offsetof(SatelliteObject, state),
                                       offsetof(SatelliteObject, propagator),  offsetof(SatelliteObject, ephemeris)};

PyObject*& slot_at(PyObject* self, Py_ssize_t offset) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

PyObject* Satellite_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    for (Py_ssize_t off : kSlotOffsets) slot_at(self, off) = Py_NewRef(Py_None);
    return self;
}

int Satellite_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (Py_ssize_t off : kSlotOffsets) Py_VISIT(slot_at(self, off));
    return 0;
}

// Clearing drops the references and leaves None in their place.
int Satellite_clear(PyObject* self) {
    for (Py_ssize_t off : kSlotOffsets) core::replace_slot(slot_at(self, off), Py_NewRef(Py_None));
    return 0;
}

// Dropping them all, for the dealloc.
int Satellite_release(PyObject* self) {
    for (Py_ssize_t off : kSlotOffsets) Py_CLEAR(slot_at(self, off));
    return 0;
}

// The text stored for a name or description: the string itself, or "None"
// for None, stripped of leading and trailing whitespace.
PyObject* stored_text(PyObject* value) {
    Ref text = value == Py_None ? Ref::steal(PyUnicode_FromString("None")) : Ref::borrow(value);
    if (!text) return nullptr;
    PyObject* args[1] = {text.get()};
    return PyObject_VectorcallMethod(g_names[0], args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

constexpr const char* kInitNames[] = {"time", "state", "propagator", "ephemeris", "name", "description"};
constexpr core::Signature kInitSig{"Satellite", kInitNames, 2};

int Satellite_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    core::Args<6> a;
    if (!core::parse_args(kInitSig, args, kwargs, a)) return -1;
    PyObject* time = a[0];
    // Held: Time() below may run Python code.
    Ref state = Ref::borrow(a[1]), propagator = Ref::borrow(a.or_none(2)), ephemeris = Ref::borrow(a.or_none(3));
    Ref name = Ref::borrow(a.or_none(4)), description = Ref::borrow(a.or_none(5));
    if (!core::check_arg_type(propagator.get(), velarion::propagators::Propagator_Type, "propagator")) return -1;
    if (!core::check_arg_type(ephemeris.get(), velarion::state::StateVectorEphemeris_Type, "ephemeris")) return -1;
    if (!core::check_exact_str(name.get(), "name", /*none_ok=*/true)) return -1;
    if (!core::check_exact_str(description.get(), "description", /*none_ok=*/true)) return -1;

    Ref t = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(velarion::time::Time_Type), time));
    if (!t) return -1;
    // A name or description given as None stays None; a text is stripped.
    Ref name_value = name.get() == Py_None ? Ref::borrow(Py_None) : Ref::steal(stored_text(name.get()));
    if (!name_value) return -1;
    Ref description_value =
        description.get() == Py_None ? Ref::borrow(Py_None) : Ref::steal(stored_text(description.get()));
    if (!description_value) return -1;

    SatelliteObject* s = as_sat(self);
    core::replace_slot(s->_time, t.release());
    core::replace_slot(s->name, name_value.release());
    core::replace_slot(s->description, description_value.release());
    core::replace_slot(s->state, state.release());
    core::replace_slot(s->propagator, propagator.release());
    core::replace_slot(s->ephemeris, ephemeris.release());
    return 0;
}

// --- properties ----------------------------------------------------------------

PyObject* get_slot(PyObject* self, void* closure) {
    PyObject* value = slot_at(self, reinterpret_cast<Py_ssize_t>(closure));
    return Py_NewRef(value ? value : Py_None);
}

int set_text_slot(PyObject* self, PyObject* value, void* closure) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    if (!core::check_exact_str(value, "value", /*none_ok=*/true)) return -1;
    PyObject* text = stored_text(value);
    if (!text) return -1;
    core::replace_slot(slot_at(self, reinterpret_cast<Py_ssize_t>(closure)), text);
    return 0;
}

void* offset_of(Py_ssize_t offset) { return reinterpret_cast<void*>(offset); }

// The documentation strings below and the "__del__" message above are word
// for word: callers and tests compare these texts.
PyGetSetDef Satellite_getset[] = {
    {"time", core::entry<get_slot>, nullptr, "Satellite.time: Time", offset_of(offsetof(SatelliteObject, _time))},
    {"name", core::entry<get_slot>, core::entry<set_text_slot>, "Satellite.name: str | None",
     offset_of(offsetof(SatelliteObject, name))},
    {"description", core::entry<get_slot>, core::entry<set_text_slot>, "Satellite.description: str | None",
     offset_of(offsetof(SatelliteObject, description))},
    {"state", core::entry<get_slot>, nullptr, "Satellite.state: the state given to the constructor (any object)",
     offset_of(offsetof(SatelliteObject, state))},
    {"propagator", core::entry<get_slot>, nullptr, "Satellite.propagator: Propagator | None",
     offset_of(offsetof(SatelliteObject, propagator))},
    {"ephemeris", core::entry<get_slot>, nullptr, "Satellite.ephemeris: StateVectorEphemeris | None",
     offset_of(offsetof(SatelliteObject, ephemeris))},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef Satellite_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyType_Slot Satellite_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(core::entry<Satellite_new>)},
    {Py_tp_init, reinterpret_cast<void*>(core::entry<Satellite_init>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(core::entry<core::gc_dealloc<Satellite_release>>)},
    {Py_tp_traverse, reinterpret_cast<void*>(core::entry<Satellite_traverse>)},
    {Py_tp_clear, reinterpret_cast<void*>(core::entry<Satellite_clear>)},
    {Py_tp_methods, Satellite_methods},
    {Py_tp_getset, Satellite_getset},
    {0, nullptr}};

PyType_Spec Satellite_spec = {"velarion.satellite.satellite.Satellite", sizeof(SatelliteObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, Satellite_slots};

// --- module ----------------------------------------------------------------

PyObject* satellite_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int satellite_exec(PyObject* module) {
    if (int r = g_once.enter(module, "satellite"); r <= 0) return r;
    PyTypeObject* type = nullptr;
    VELARION_CHECK(velarion::time::import_time());
    VELARION_CHECK(velarion::propagators::import_propagators());
    VELARION_CHECK(velarion::state::import_state());
    VELARION_CHECK(velarion::state::import_ephemeris());
    VELARION_CHECK(g_names.init());
    VELARION_CHECK(core::import_into(module, "typing", "Iterable"));
    VELARION_CHECK(core::import_into(module, "velarion.typing", "DatetimeLike"));
    VELARION_CHECK(type = core::add_type(module, &Satellite_spec));
    Py_DECREF(type);
    return 0;
error:
    return -1;
}

PyModuleDef_Slot satellite_slots[] = {{Py_mod_create, reinterpret_cast<void*>(core::entry<satellite_create>)},
                                      {Py_mod_exec, reinterpret_cast<void*>(core::entry<satellite_exec>)},
                                      {0, nullptr}};

PyModuleDef satellite_def = {PyModuleDef_HEAD_INIT,
                             "velarion.satellite.satellite",
                             "The Satellite object.",
                             0,
                             nullptr,
                             satellite_slots,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_satellite() { return PyModuleDef_Init(&satellite_def); }
