// velarion._core._shared: what _core holds for the Python layer too, so that
// it stands once: the thread policy of parallel.hpp and the constants of
// constants.hpp (velarion.utils.threads and velarion.constants use them).
#include "velarion/_core/constants.hpp"
#include "velarion/_core/core.hpp"
#include "velarion/_core/parallel.hpp"

namespace core = velarion::core;
namespace constants = velarion::constants;

namespace {

core::ModuleOnce g_once;

PyObject* shared_default_threads(PyObject*, PyObject*) { return PyLong_FromLong(core::default_threads()); }

constexpr const char* kThreadsForNames[] = {"count", "threads", "threaded_from"};
constexpr core::Signature kThreadsForSig{"threads_for", kThreadsForNames, 3};

PyObject* shared_threads_for(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kThreadsForSig, args, nargs, kwnames, a)) return nullptr;
    const Py_ssize_t count = PyNumber_AsSsize_t(a[0], PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    long threads, threaded_from;
    if (!core::to_count(a[1], "threads", threads) || !core::to_count(a[2], "threaded_from", threaded_from))
        return nullptr;
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must not be negative");
        return nullptr;
    }
    return PyLong_FromLong(core::threads_for(count, static_cast<int>(threads), threaded_from));
}

struct Named {
    const char* name;
    double value;
};

// The Python names of constants.hpp, as velarion.constants spells them.
constexpr Named kConstants[] = {
    {"SECONDS_PER_DAY", constants::kSecondsPerDay},
    {"J2000", constants::kJ2000},
    {"JD_1950", constants::kJd1950},
    {"MJD_ZERO", constants::kMjdZero},
    {"EARTH_ROTATION_RATE", constants::kEarthRotationRate},
    {"EARTH_GM", constants::kEarthGm},
    {"EARTH_RADIUS", constants::kEarthRadius},
    {"EARTH_J2", constants::kEarthJ2},
    {"WGS72_GM", constants::kWgs72Gm},
    {"WGS72_RADIUS", constants::kWgs72Radius},
    {"SUN_GM", constants::kSunGm},
    {"SUN_RADIUS", constants::kSunRadius},
    {"MOON_GM", constants::kMoonGm},
    {"MOON_RADIUS", constants::kMoonRadius},
};

PyObject* shared_constants(PyObject*, PyObject*) {
    core::Ref out = core::Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const Named& c : kConstants) {
        core::Ref value = core::Ref::steal(PyFloat_FromDouble(c.value));
        if (!value || PyDict_SetItemString(out.get(), c.name, value.get()) < 0) return nullptr;
    }
    return out.release();
}

PyMethodDef shared_methods[] = {
    {"default_threads", core::entry<shared_default_threads>, METH_NOARGS,
     "default_threads()\n--\n\nThe threads of a call given no threads= (every hardware thread, at most 256)."},
    {"threads_for", VELARION_FASTCALL(shared_threads_for), METH_FASTCALL | METH_KEYWORDS,
     "threads_for(count, threads, threaded_from)\n--\n\n"
     "The threads of count items: 1 below threaded_from items, else threads (at most one an item)."},
    {"constants", core::entry<shared_constants>, METH_NOARGS,
     "constants()\n--\n\nThe shared constants (velarion.constants) as the compiled modules hold them, by name."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* shared_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }
int shared_exec(PyObject* module) {
    if (int r = g_once.enter(module, "_shared"); r <= 0) return r;
    // More threads than the workers a kernel starts run no faster.
    return PyModule_AddIntConstant(module, "MAX_THREADS", static_cast<long>(core::kMaxWorkers));
}

PyModuleDef_Slot shared_slots[] = {
    {Py_mod_create, (void*)core::entry<shared_create>}, {Py_mod_exec, (void*)core::entry<shared_exec>}, {0, nullptr}};

PyModuleDef shared_def = {PyModuleDef_HEAD_INIT,
                          "velarion._core._shared",
                          "The thread policy and the constants of _core, for the Python layer.",
                          0,
                          shared_methods,
                          shared_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__shared() { return PyModuleDef_Init(&shared_def); }
