// velarion.propagators.analytical.sgp4.tle: mean-element sets. ELSET holds
// the mean elements at an epoch; TLE parses them from a two-line element
// set (every field, checksums verified) and keeps the catalogue fields and
// the lines.
#include "velarion/_core/core.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/tle_parse.hpp"
#include "velarion/propagators/analytical/sgp4/tle.hpp"
#include "velarion/propagators/analytical/sgp4/tle_lines.hpp"

#include <structmember.h>

#include <cmath>
#include <cstddef>
#include <cstdio>

namespace core = velarion::core;
namespace tle = velarion::propagators::analytical::sgp4;
using core::Ref;
using tle::ELSETObject;
using tle::TLEObject;

namespace {

core::ModuleOnce g_once;
core::InternedNames g_names{"size", "from_jd", "__name__"};
enum Name { kSize, kFromJd, kName };
PyTypeObject* g_elset = nullptr;  // owned
PyTypeObject* g_tle = nullptr;    // owned (kept for the module's life)

inline ELSETObject* as_elset(PyObject* o) noexcept { return reinterpret_cast<ELSETObject*>(o); }
inline TLEObject* as_tle(PyObject* o) noexcept { return reinterpret_cast<TLEObject*>(o); }

// velarion.time.time.Time, looked up when first needed (the time module is
// imported on first use, not when this module is).
PyObject* time_type() {
    static PyObject* type = nullptr;  // owned for the life of the process
    if (!type) {
        Ref mod = Ref::steal(PyImport_ImportModule("velarion.time.time"));
        if (!mod) return nullptr;
        type = PyObject_GetAttrString(mod.get(), "Time");
    }
    return type;
}

// A UTC Time of the two-part Julian Date.
Ref utc_time(double jd1, double jd2) {
    PyObject* type = time_type();
    if (!type) return {};
    Ref from_jd = Ref::steal(PyObject_GetAttr(type, g_names[kFromJd]));
    if (!from_jd) return {};
    Ref args = Ref::steal(Py_BuildValue("(dd)", jd1, jd2));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s}", "scale", "utc"));
    if (!args || !kwargs) return {};
    return Ref::steal(PyObject_Call(from_jd.get(), args.get(), kwargs.get()));
}

// The exception texts and documentation strings of this file are word for
// word: callers and tests compare them.

// --- ELSET -----------------------------------------------------------------------

int ELSET_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_elset(self)->name);
    Py_VISIT(as_elset(self)->epoch);
    return 0;
}

int ELSET_clear(PyObject* self) {
    Py_CLEAR(as_elset(self)->name);
    Py_CLEAR(as_elset(self)->epoch);
    return 0;
}

constexpr const char* kElsetNames[] = {"epoch", "inc",  "raa",   "ecc",   "arp", "mea",
                                       "mnm",   "ndot", "nddot", "bstar", "name"};
constexpr core::Signature kElsetSig{"ELSET", kElsetNames, 7};

// The epoch of an element set: one date.
bool check_single_epoch(PyObject* epoch) {
    Ref size = Ref::steal(PyObject_GetAttr(epoch, g_names[kSize]));
    if (!size) return false;
    Py_ssize_t n = PyLong_AsSsize_t(size.get());
    if (n == -1 && PyErr_Occurred()) return false;
    if (n != 1) {
        PyErr_Format(PyExc_ValueError, "ELSET: the epoch must be one date, not %zd", n);
        return false;
    }
    return true;
}

PyObject* ELSET_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    core::Args<11> v;
    if (!core::parse_args(kElsetSig, args, kwargs, v)) return nullptr;
    double x[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int k = 0; k < 9; ++k) {
        if (v[k + 1] && !core::to_double(v[k + 1], x[k])) return nullptr;
        if (!std::isfinite(x[k])) {
            PyErr_Format(PyExc_ValueError, "ELSET: %s must be finite, got %R", kElsetNames[k + 1], v[k + 1]);
            return nullptr;
        }
    }
    if (!(x[2] >= 0.0 && x[2] < 1.0)) {
        PyErr_Format(PyExc_ValueError, "ELSET: ecc must be in [0, 1), got %R", v[3]);
        return nullptr;
    }
    if (!(x[5] > 0.0)) {
        PyErr_Format(PyExc_ValueError, "ELSET: mnm (mean motion, rad/s) must be positive, got %R", v[6]);
        return nullptr;
    }
    PyObject* name = v[10] ? v[10] : Py_None;
    if (!core::check_exact_str(name, "name", true)) return nullptr;
    PyObject* ttype = time_type();
    if (!ttype) return nullptr;
    Ref epoch;
    int is_time = PyObject_IsInstance(v[0], ttype);
    if (is_time < 0) return nullptr;
    epoch = is_time ? Ref::borrow(v[0]) : Ref::steal(PyObject_CallOneArg(ttype, v[0]));
    if (!epoch || !check_single_epoch(epoch.get())) return nullptr;

    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ELSETObject* e = as_elset(self.get());
    e->name = Py_NewRef(name);
    e->epoch = epoch.release();
    e->inc = x[0], e->raa = x[1], e->ecc = x[2], e->arp = x[3], e->mea = x[4], e->mnm = x[5];
    e->ndot = x[6], e->nddot = x[7], e->bstar = x[8];
    return self.release();
}

PyObject* ELSET_reduce(PyObject* self, PyObject*) {
    ELSETObject* e = as_elset(self);
    return Py_BuildValue("O(OdddddddddO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), e->epoch, e->inc, e->raa, e->ecc,
                         e->arp, e->mea, e->mnm, e->ndot, e->nddot, e->bstar, e->name);
}

PyObject* ELSET_repr(PyObject* self) {
    ELSETObject* e = as_elset(self);
    Ref tname = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), g_names[kName]));
    Ref vals = Ref::steal(
        Py_BuildValue("(ddddddddd)", e->inc, e->raa, e->ecc, e->arp, e->mea, e->mnm, e->ndot, e->nddot, e->bstar));
    if (!tname || !vals) return nullptr;
    return PyUnicode_FromFormat(
        "%U(%R, inc=%R, raa=%R, ecc=%R, arp=%R, mea=%R, mnm=%R, ndot=%R, nddot=%R, bstar=%R, "
        "name=%R)",
        tname.get(), e->epoch, PyTuple_GET_ITEM(vals.get(), 0), PyTuple_GET_ITEM(vals.get(), 1),
        PyTuple_GET_ITEM(vals.get(), 2), PyTuple_GET_ITEM(vals.get(), 3), PyTuple_GET_ITEM(vals.get(), 4),
        PyTuple_GET_ITEM(vals.get(), 5), PyTuple_GET_ITEM(vals.get(), 6), PyTuple_GET_ITEM(vals.get(), 7),
        PyTuple_GET_ITEM(vals.get(), 8), e->name);
}

PyMemberDef ELSET_members[] = {
    {"name", T_OBJECT, offsetof(ELSETObject, name), READONLY, "Name of the object (str or None)."},
    {"epoch", T_OBJECT, offsetof(ELSETObject, epoch), READONLY, "Epoch of the elements (a UTC Time)."},
    {"ndot", T_DOUBLE, offsetof(ELSETObject, ndot), READONLY,
     "Half the first time derivative of the mean motion [rad/s^2]."},
    {"nddot", T_DOUBLE, offsetof(ELSETObject, nddot), READONLY,
     "A sixth of the second time derivative of the mean motion [rad/s^3]."},
    {"bstar", T_DOUBLE, offsetof(ELSETObject, bstar), READONLY, "Drag term B* [1/Earth radii]."},
    {"inc", T_DOUBLE, offsetof(ELSETObject, inc), READONLY, "Inclination [rad]."},
    {"raa", T_DOUBLE, offsetof(ELSETObject, raa), READONLY, "Right ascension of the ascending node [rad]."},
    {"ecc", T_DOUBLE, offsetof(ELSETObject, ecc), READONLY, "Eccentricity."},
    {"arp", T_DOUBLE, offsetof(ELSETObject, arp), READONLY, "Argument of periapsis [rad]."},
    {"mea", T_DOUBLE, offsetof(ELSETObject, mea), READONLY, "Mean anomaly [rad]."},
    {"mnm", T_DOUBLE, offsetof(ELSETObject, mnm), READONLY, "Mean motion [rad/s]."},
    {nullptr, 0, 0, 0, nullptr}};

PyMethodDef ELSET_methods[] = {{"__reduce__", core::entry<ELSET_reduce>, METH_NOARGS, nullptr},
                               {nullptr, nullptr, 0, nullptr}};

constexpr const char kElsetDoc[] =
    "ELSET(epoch, inc, raa, ecc, arp, mea, mnm, ndot=0.0, nddot=0.0, bstar=0.0, name=None)\n--\n\n"
    "Mean element set: mean orbital elements at an epoch (base of TLE).\n\n"
    "epoch: a Time (anything Time() accepts is converted); inc, raa, arp, mea\n"
    "[radians]; ecc in [0, 1); mnm, the mean motion [rad/s], positive; ndot,\n"
    "half the first derivative of the mean motion [rad/s^2]; nddot, a sixth of\n"
    "the second [rad/s^3]; bstar, the drag term [1/Earth radii]; name: str or None.";

PyType_Slot ELSET_slots[] = {{Py_tp_doc, (void*)kElsetDoc},
                             {Py_tp_new, (void*)core::entry<ELSET_new>},
                             VELARION_GC_SLOTS(ELSET_traverse, ELSET_clear),
                             {Py_tp_repr, (void*)core::entry<ELSET_repr>},
                             {Py_tp_members, ELSET_members},
                             {Py_tp_methods, ELSET_methods},
                             {0, nullptr}};

PyType_Spec ELSET_spec = {"velarion.propagators.analytical.sgp4.tle.ELSET", sizeof(ELSETObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                          ELSET_slots};

// --- TLE -------------------------------------------------------------------------

constexpr const char* kTleNames[] = {"line1", "line2", "name"};
constexpr core::Signature kTleSig{"TLE", kTleNames, 2};

PyObject* TLE_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    core::Args<3> v;
    if (!core::parse_args(kTleSig, args, kwargs, v)) return nullptr;
    if (!core::check_exact_str(v[0], "line1") || !core::check_exact_str(v[1], "line2")) return nullptr;
    PyObject* name = v[2] ? v[2] : Py_None;
    if (!core::check_exact_str(name, "name", true)) return nullptr;
    // A TLE line is ASCII: any other character is refused here, by its
    // column, before the text is encoded (a lone surrogate cannot be).
    for (int k = 0; k < 2; ++k) {
        if (PyUnicode_IS_ASCII(v[k])) continue;
        const Py_ssize_t len = PyUnicode_GET_LENGTH(v[k]);
        for (Py_ssize_t i = 0; i < len; ++i) {
            Py_UCS4 ch = PyUnicode_READ_CHAR(v[k], i);
            if (ch > 0x7f) {
                char code[16];
                std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(ch));
                PyErr_Format(PyExc_ValueError, "TLE line %d, column %zd: character %s is not printable ASCII", k + 1,
                             i + 1, code);
                return nullptr;
            }
        }
    }
    tle::kernels::TleFields f;
    if (!tle::parse_lines(v[0], v[1], f)) return nullptr;
    const tle::kernels::TleSI si = tle::kernels::to_si(f);
    Ref epoch = utc_time(si.jd1, si.jd2);
    if (!epoch) return nullptr;

    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    TLEObject* t = as_tle(self.get());
    ELSETObject* e = &t->base;
    e->name = Py_NewRef(name);
    e->epoch = epoch.release();
    e->ndot = si.ndot, e->nddot = si.nddot, e->bstar = si.bstar;
    e->inc = si.inc, e->raa = si.raa, e->ecc = si.ecc, e->arp = si.arp, e->mea = si.mea, e->mnm = si.mnm;
    t->satnum = f.satnum;
    t->elnum = f.elnum;
    t->revnum = f.revnum;
    t->classification = f.classification;
    t->ephtype = f.ephtype;
    // The lines as given, without trailing blanks or line ends (their UTF-8
    // is cached in the strs since parse_lines).
    Py_ssize_t n1, n2;
    const char* l1 = PyUnicode_AsUTF8AndSize(v[0], &n1);
    const char* l2 = PyUnicode_AsUTF8AndSize(v[1], &n2);
    if (!l1 || !l2) return nullptr;
    auto stripped = [](const char* s, Py_ssize_t n) {
        while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\n' || s[n - 1] == '\r' || s[n - 1] == '\t')) --n;
        return PyUnicode_FromStringAndSize(s, n);
    };
    if (!(t->intldesg = PyUnicode_FromString(f.intldesg)) || !(t->line1 = stripped(l1, n1)) ||
        !(t->line2 = stripped(l2, n2)))
        return nullptr;
    return self.release();
}

// Everything a TLE owns. Its own members are strs (no cycles run through
// them), so the collector's clear (ELSET_clear) leaves them: only the
// dealloc drops them.
int TLE_release(PyObject* self) {
    TLEObject* t = as_tle(self);
    Py_CLEAR(t->intldesg);
    Py_CLEAR(t->line1);
    Py_CLEAR(t->line2);
    return ELSET_clear(self);
}

PyObject* TLE_get_classification(PyObject* self, void*) {
    char c = static_cast<char>(as_tle(self)->classification);
    return PyUnicode_FromStringAndSize(&c, 1);
}

PyObject* TLE_get_lines(PyObject* self, void*) { return PyTuple_Pack(2, as_tle(self)->line1, as_tle(self)->line2); }

PyObject* TLE_reduce(PyObject* self, PyObject*) {
    TLEObject* t = as_tle(self);
    return Py_BuildValue("O(OOO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), t->line1, t->line2, t->base.name);
}

PyObject* TLE_repr(PyObject* self) {
    TLEObject* t = as_tle(self);
    Ref tname = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self)), g_names[kName]));
    if (!tname) return nullptr;
    return PyUnicode_FromFormat("%U(%R, %R, name=%R)", tname.get(), t->line1, t->line2, t->base.name);
}

PyObject* TLE_str(PyObject* self) {
    TLEObject* t = as_tle(self);
    if (t->base.name == Py_None) return PyUnicode_FromFormat("%U\n%U", t->line1, t->line2);
    return PyUnicode_FromFormat("%U\n%U\n%U", t->base.name, t->line1, t->line2);
}

PyMemberDef TLE_members[] = {
    {"satnum", T_LONG, offsetof(TLEObject, satnum), READONLY, "Catalogue number (Alpha-5 numbers decoded)."},
    {"elnum", T_LONG, offsetof(TLEObject, elnum), READONLY, "Element set number."},
    {"revnum", T_LONG, offsetof(TLEObject, revnum), READONLY, "Revolution number at epoch."},
    {"ephtype", T_INT, offsetof(TLEObject, ephtype), READONLY, "Ephemeris type (0 for SGP4 element sets)."},
    {"intldesg", T_OBJECT, offsetof(TLEObject, intldesg), READONLY,
     "International designator (launch year, number and piece), e.g. '98067A'."},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef TLE_getset[] = {
    {"classification", core::entry<TLE_get_classification>, nullptr, "Classification: 'U', 'C' or 'S'.", nullptr},
    {"lines", core::entry<TLE_get_lines>, nullptr, "The two lines (line1, line2), as given without trailing blanks.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// The row sgp4init starts from, as the reference implementation computes
// it from this element set's text (the lines are parsed again: they parsed
// when the TLE was made, and a TLE's fields cannot change).
PyObject* TLE_sgp4init_row(PyObject* self, PyObject*) {
    TLEObject* t = as_tle(self);
    if (!t->line1 || !t->line2) {
        PyErr_SetString(PyExc_ValueError, "the TLE has no lines");
        return nullptr;
    }
    tle::kernels::TleFields f;
    if (!tle::parse_lines(t->line1, t->line2, f)) return nullptr;
    double row[12];
    tle::kernels::sgp4init_row(f, row);
    return Py_BuildValue("(dddddddddddd)", row[0], row[1], row[2], row[3], row[4], row[5], row[6], row[7], row[8],
                         row[9], row[10], row[11]);
}

PyMethodDef TLE_methods[] = {{"__reduce__", core::entry<TLE_reduce>, METH_NOARGS, nullptr},
                             {"_sgp4init_row", core::entry<TLE_sgp4init_row>, METH_NOARGS,
                              "The row sgp4init starts from (jd, fr, epoch, bstar, ndot, nddot, ecco, argpo, inclo, "
                              "mo, no_kozai, nodeo), computed from the lines as the reference twoline2rv does."},
                             {nullptr, nullptr, 0, nullptr}};

constexpr const char kTleDoc[] =
    "TLE(line1, line2, name=None)\n--\n\n"
    "Two-line element set.\n\n"
    "Parses every field of the two lines and verifies both checksums, the line\n"
    "numbers and that the catalogue numbers agree; a malformed line raises\n"
    "ValueError naming the line and the column. Two-digit epoch years 57-99\n"
    "are 19xx, 00-56 are 20xx. The elements are converted to the package's\n"
    "units: angles in radians, the mean motion mnm in rad/s, ndot (half the\n"
    "first derivative of the mean motion) in rad/s^2, nddot (a sixth of the\n"
    "second) in rad/s^3; bstar stays in 1/Earth radii. epoch is a UTC Time.";

PyType_Slot TLE_slots[] = {{Py_tp_doc, (void*)kTleDoc},
                           {Py_tp_new, (void*)core::entry<TLE_new>},
                           {Py_tp_dealloc, (void*)core::entry<core::gc_dealloc<TLE_release>>},
                           {Py_tp_traverse, (void*)core::entry<ELSET_traverse>},
                           {Py_tp_clear, (void*)core::entry<ELSET_clear>},
                           {Py_tp_repr, (void*)core::entry<TLE_repr>},
                           {Py_tp_str, (void*)core::entry<TLE_str>},
                           {Py_tp_members, TLE_members},
                           {Py_tp_getset, TLE_getset},
                           {Py_tp_methods, TLE_methods},
                           {0, nullptr}};

PyType_Spec TLE_spec = {"velarion.propagators.analytical.sgp4.tle.TLE", sizeof(TLEObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
                        TLE_slots};

// --- module ----------------------------------------------------------------------

PyObject* tle_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int tle_exec(PyObject* module) {
    if (int r = g_once.enter(module, "tle"); r <= 0) return r;
    VELARION_CHECK(g_names.init());
    VELARION_CHECK(g_elset = core::add_type(module, &ELSET_spec));
    VELARION_CHECK(g_tle = core::add_type(module, &TLE_spec, reinterpret_cast<PyObject*>(g_elset)));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot tle_slots[] = {
    {Py_mod_create, (void*)core::entry<tle_create>}, {Py_mod_exec, (void*)core::entry<tle_exec>}, {0, nullptr}};

PyModuleDef tle_def = {PyModuleDef_HEAD_INIT,
                       "velarion.propagators.analytical.sgp4.tle",
                       "Mean element sets: ELSET and the two-line element set TLE.",
                       0,
                       nullptr,
                       tle_slots,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tle() { return PyModuleDef_Init(&tle_def); }
