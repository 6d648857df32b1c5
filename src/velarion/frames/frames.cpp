// velarion.frames.frames: the frame registry and transform graph, route
// search and multi-hop conversion, the standard frames GCRF, ITRF and TEME
// with their conversions, topocentric ENU frames, and the bare PIC and RPC
// frame classes. The numeric work lives in the kernels_*.hpp headers; this
// file holds the Python types, argument checks and module start-up.
#include "velarion/_core/core.hpp"
#include "velarion/_core/method.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/frames/frames.hpp"
#include "velarion/frames/kernels/cio.hpp"
#include "velarion/frames/kernels/enu.hpp"
#include "velarion/frames/kernels/teme.hpp"
#include "velarion/mathtools/ellipsoid/ellipsoid.hpp"
#include "velarion/mathtools/vectools/kernels/matrix.hpp"
#include "velarion/mathtools/vectools/vectools.hpp"
#include "velarion/time/time.hpp"

#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace core = velarion::core;
namespace fr = velarion::frames;
namespace kn = velarion::frames::kernels;
namespace ell = velarion::mathtools::ellipsoid;
namespace vt = velarion::mathtools::vectools;
using core::Ref;

namespace {

core::ModuleOnce g_once;

// The C-level variables: each holds None until its singleton exists.
PyObject* g_GCRF = nullptr;
PyObject* g_ITRF = nullptr;
PyObject* g_TEME = nullptr;

// Default ellipsoid of ENU frames, read once at start-up.
PyObject* g_default_ell = nullptr;

PyTypeObject* g_PIC_Type = nullptr;
PyTypeObject* g_RPC_Type = nullptr;

// Interned attribute names and small constants, made once at start-up.
struct Names {
    PyObject *transforms, *keys, *items, *get_route, *upper, *instances, *name, *pop, *register_transform;
    PyObject *tt, *ut1, *utc, *jd12, *mjd, *reshape, *EOP;
    PyObject *pm_x, *pm_y, *dX, *dY, *lod;
    PyObject *to_ITRF, *from_ITRF;
    PyObject *minus_one, *two, *unnamed;
} S;

int make_names() {
    struct Item {
        PyObject** slot;
        const char* text;
    } items[] = {{&S.transforms, "transforms"},
                 {&S.keys, "keys"},
                 {&S.items, "items"},
                 {&S.get_route, "get_route"},
                 {&S.upper, "upper"},
                 {&S.instances, "_instances"},
                 {&S.name, "name"},
                 {&S.pop, "pop"},
                 {&S.register_transform, "register_transform"},
                 {&S.tt, "tt"},
                 {&S.ut1, "ut1"},
                 {&S.utc, "utc"},
                 {&S.jd12, "jd12"},
                 {&S.mjd, "mjd"},
                 {&S.reshape, "reshape"},
                 {&S.EOP, "EOP"},
                 {&S.pm_x, "pm_x"},
                 {&S.pm_y, "pm_y"},
                 {&S.dX, "dX"},
                 {&S.dY, "dY"},
                 {&S.lod, "lod"},
                 {&S.to_ITRF, "to_ITRF"},
                 {&S.from_ITRF, "from_ITRF"},
                 {&S.unnamed, "Unnamed"}};
    for (auto& it : items) {
        if (!(*it.slot = PyUnicode_InternFromString(it.text))) return -1;
    }
    if (!(S.minus_one = PyLong_FromLong(-1)) || !(S.two = PyLong_FromLong(2))) return -1;
    return 0;
}

inline fr::FrameObject* as_frame(PyObject* o) noexcept { return reinterpret_cast<fr::FrameObject*>(o); }
inline fr::ENUObject* as_enu(PyObject* o) noexcept { return reinterpret_cast<fr::ENUObject*>(o); }

inline bool is_frame_or_none(PyObject* o) { return o == Py_None || PyObject_TypeCheck(o, fr::Frame_Type); }

bool refuse_not_frame(PyObject* o) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(o)->tp_name, fr::Frame_Type->tp_name);
    return false;
}

// Shape checks of the vectors handed to a conversion kernel: exactly `rows`
// rows (one per epoch, or per position for ENU) of x, y, z. A row or a column
// short would be read past; one over would be dropped with no error (a
// catalogue converted at one epoch came back as zeros after its first row).
// The checks may run without the interpreter lock, so they only describe a
// fault; `raise_shape_fault` reports it (with the lock held).
struct ShapeFault {
    const char* what = nullptr;  // "position array", ...
    const char* per = nullptr;   // "epoch" or "position"
    core::index_t got = 0, want = 0;
    bool columns = false;
};

bool fits(const fr::View& v, core::index_t rows, const char* what, const char* per, ShapeFault& fault) noexcept {
    if (v.rows == rows && v.cols == 3) return true;
    fault.what = what;
    fault.per = per;
    fault.columns = v.rows == rows;
    fault.got = fault.columns ? v.cols : v.rows;
    fault.want = fault.columns ? 3 : rows;
    return false;
}

void raise_shape_fault(const ShapeFault& f) {
    const char* side = f.got < f.want ? "fewer" : "more";
    if (f.columns) {
        PyErr_Format(PyExc_ValueError, "%s has %zd columns, %s than the 3 of x, y, z", f.what, f.got, side);
    } else {
        PyErr_Format(PyExc_ValueError, "%s has %zd row%s, %s than the %zd %s%s (one row of x, y, z per %s)",
                     f.what, f.got, f.got == 1 ? "" : "s", side, f.want, f.per, f.want == 1 ? "" : "s", f.per);
    }
}

// The four vectors of a conversion of `n` epochs (or positions).
bool check_vectors(core::index_t n, const char* per, const fr::View& r_in, const fr::View& v_in,
                   const fr::View& r_out, const fr::View& v_out, ShapeFault& fault) noexcept {
    return fits(r_in, n, "position array", per, fault) && fits(v_in, n, "velocity array", per, fault) &&
           fits(r_out, n, "position output", per, fault) && fits(v_out, n, "velocity output", per, fault);
}

// ===========================================================================
// Frame

PyObject* frame_alloc(PyTypeObject* type) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    PyObject* table = PyDict_New();
    if (!table) return nullptr;
    as_frame(self.get())->_transforms = table;
    return self.release();
}

PyObject* Frame_new(PyTypeObject* type, PyObject*, PyObject*) { return frame_alloc(type); }

int Frame_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_frame(self)->_transforms);
    return 0;
}

int Frame_clear(PyObject* self) {
    core::replace_slot(as_frame(self)->_transforms, Py_NewRef(Py_None));
    return 0;
}

void Frame_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_frame(self)->_transforms);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Identity hash, fixed for the frame's lifetime.
Py_hash_t Frame_hash(PyObject* self) {
    size_t y = reinterpret_cast<size_t>(self);
    y = (y >> 4) | (y << (8 * sizeof(void*) - 4));
    Py_hash_t h = static_cast<Py_hash_t>(y);
    return h == -1 ? -2 : h;
}

PyObject* Frame_hash_method(PyObject* self, PyObject*) { return PyLong_FromSsize_t(Frame_hash(self)); }

PyObject* Frame_get_transforms_attr(PyObject* self, void*) {
    PyObject* t = as_frame(self)->_transforms;
    return Py_NewRef(t ? t : Py_None);
}

int Frame_set_transforms_attr(PyObject* self, PyObject* value, void*) {
    core::replace_slot(as_frame(self)->_transforms, Py_NewRef(value ? value : Py_None));
    return 0;
}

// The key under which `self` is first found in the registry, or "Unnamed".
PyObject* Frame_get_name(PyObject* self, void*) {
    Ref registry = Ref::steal(PyObject_GetAttr(self, S.instances));
    if (!registry) return nullptr;
    if (PyDict_Check(registry.get())) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(registry.get(), &pos, &key, &value)) {
            if (value == self) return Py_NewRef(key);
        }
        return Py_NewRef(S.unnamed);
    }
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(registry.get(), S.items));
    if (!items) return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return nullptr;
    while (Ref pair = Ref::steal(PyIter_Next(it.get()))) {
        Ref seq = Ref::steal(PySequence_Tuple(pair.get()));
        if (!seq) return nullptr;
        if (PyTuple_GET_SIZE(seq.get()) != 2) {
            PyErr_SetString(PyExc_ValueError, "registry items must be (name, frame) pairs");
            return nullptr;
        }
        if (PyTuple_GET_ITEM(seq.get(), 1) == self) return Py_NewRef(PyTuple_GET_ITEM(seq.get(), 0));
    }
    if (PyErr_Occurred()) return nullptr;
    return Py_NewRef(S.unnamed);
}

// Frame[item]: the frame registered under item.upper() in Frame._instances.
PyObject* registry_lookup(PyObject* item) {
    if (!core::check_exact_str(item, "item")) return nullptr;
    Ref upper = Ref::steal(PyObject_CallMethodNoArgs(item, S.upper));
    if (!upper) return nullptr;
    Ref registry = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(fr::Frame_Type), S.instances));
    if (!registry) return nullptr;
    Ref value = Ref::steal(PyObject_GetItem(registry.get(), upper.get()));
    if (!value) return nullptr;
    if (!is_frame_or_none(value.get())) {
        refuse_not_frame(value.get());
        return nullptr;
    }
    return value.release();
}

constexpr const char* kItemNames[] = {"item"};
constexpr core::Signature kClassGetItemSig{"__class_getitem__", kItemNames, 1};
constexpr core::Signature kIsFrameSig{"is_frame", kItemNames, 1};

PyObject* Frame_class_getitem(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!core::parse_args(kClassGetItemSig, args, nargs, kwnames, a)) return nullptr;
    return registry_lookup(a[0]);
}

PyObject* Frame_is_frame(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!core::parse_args(kIsFrameSig, args, nargs, kwnames, a)) return nullptr;
    if (!core::check_exact_str(a[0], "item")) return nullptr;
    Ref upper = Ref::steal(PyObject_CallMethodNoArgs(a[0], S.upper));
    if (!upper) return nullptr;
    Ref registry = Ref::steal(PyObject_GetAttr(cls, S.instances));
    if (!registry) return nullptr;
    int found = PySequence_Contains(registry.get(), upper.get());
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

PyObject* Frame_transforms(PyObject* self, PyObject*) {
    PyObject* t = as_frame(self)->_transforms;
    if (!t) t = Py_None;
    if (t != Py_None && !PyDict_CheckExact(t)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(t)->tp_name);
        return nullptr;
    }
    return Py_NewRef(t);
}

constexpr const char* kRegisterNames[] = {"target_frame", "transform"};
constexpr core::Signature kRegisterSig{"register_transform", kRegisterNames, 2};

PyObject* Frame_register_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kRegisterSig, args, nargs, kwnames, a)) return nullptr;
    if (!core::check_arg_type(a[0], fr::Frame_Type, "target_frame", false)) return nullptr;
    PyObject* table = as_frame(self)->_transforms ? as_frame(self)->_transforms : Py_None;
    Ref keep = Ref::borrow(table);
    if (PyObject_SetItem(table, a[0], a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr const char* kRemoveNames[] = {"target_frame"};
constexpr core::Signature kRemoveSig{"remove_transform", kRemoveNames, 1};

PyObject* Frame_remove_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!core::parse_args(kRemoveSig, args, nargs, kwnames, a)) return nullptr;
    if (!core::check_arg_type(a[0], fr::Frame_Type, "target_frame", false)) return nullptr;
    PyObject* table = as_frame(self)->_transforms ? as_frame(self)->_transforms : Py_None;
    Ref keep = Ref::borrow(table);
    Ref removed = Ref::steal(PyObject_CallMethodOneArg(table, S.pop, a[0]));
    if (!removed) return nullptr;
    Py_RETURN_NONE;
}

// Resolves a route end: a str is looked up in the registry, anything else
// is used as it is.
Ref resolve_end(PyObject* end) {
    if (PyUnicode_Check(end)) return Ref::steal(registry_lookup(end));
    return Ref::borrow(end);
}

// A new list: `path` followed by `item`.
Ref extend_path(PyObject* path, PyObject* item) {
    Py_ssize_t n = PyList_GET_SIZE(path);
    Ref out = Ref::steal(PyList_New(n + 1));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(out.get(), i, Py_NewRef(PyList_GET_ITEM(path, i)));
    PyList_SET_ITEM(out.get(), n, Py_NewRef(item));
    return out;
}

// Breadth-first search over the transform tables.
PyObject* find_route(PyObject* source, PyObject* target) {
    Ref src = resolve_end(source);
    if (!src) return nullptr;
    Ref dst = resolve_end(target);
    if (!dst) return nullptr;
    Ref start = Ref::steal(PyList_New(1));
    if (!start) return nullptr;
    PyList_SET_ITEM(start.get(), 0, Py_NewRef(src.get()));
    Ref visited = Ref::steal(PySet_New(nullptr));
    if (!visited) return nullptr;

    std::vector<std::pair<Ref, Ref>> queue;  // FIFO: taken from `head`, appended at the end
    queue.emplace_back(Ref::borrow(src.get()), std::move(start));
    for (size_t head = 0; head < queue.size(); ++head) {
        Ref current = std::move(queue[head].first);
        Ref path = std::move(queue[head].second);
        if (current.get() == dst.get()) return path.release();
        Ref table = Ref::steal(PyObject_CallMethodNoArgs(current.get(), S.transforms));
        if (!table) return nullptr;
        Ref keys;
        if (PyDict_CheckExact(table.get())) {
            keys = Ref::steal(PyDict_Keys(table.get()));
        } else {
            Ref view = Ref::steal(PyObject_CallMethodNoArgs(table.get(), S.keys));
            if (!view) return nullptr;
            keys = Ref::steal(PySequence_List(view.get()));
        }
        if (!keys) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
            PyObject* key = PyList_GET_ITEM(keys.get(), i);
            int seen = PySet_Contains(visited.get(), key);
            if (seen < 0) return nullptr;
            if (seen) continue;
            if (PySet_Add(visited.get(), key) < 0) return nullptr;
            Ref next_path = extend_path(path.get(), key);
            if (!next_path) return nullptr;
            queue.emplace_back(Ref::borrow(key), std::move(next_path));
        }
    }
    Ref sname = Ref::steal(PyObject_GetAttr(src.get(), S.name));
    if (!sname) return nullptr;
    Ref tname = Ref::steal(PyObject_GetAttr(dst.get(), S.name));
    if (!tname) return nullptr;
    PyErr_Format(PyExc_ValueError, "No route found from routh from %S to %S", sname.get(), tname.get());
    return nullptr;
}

constexpr const char* kRouteNames[] = {"source", "target"};
constexpr core::Signature kRouteSig{"get_route", kRouteNames, 2};

PyObject* Frame_get_route(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kRouteSig, args, nargs, kwnames, a)) return nullptr;
    return core::guard([&]() -> PyObject* { return find_route(a[0], a[1]); }, nullptr);
}

// Unpacks exactly two items out of a conversion's result.
bool unpack_pair(PyObject* result, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(result) || PyList_CheckExact(result)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(result);
        if (n != 2) {
            if (n > 2) {
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
            } else {
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", n, n == 1 ? "" : "s");
            }
            return false;
        }
        first = Ref::borrow(PySequence_Fast_GET_ITEM(result, 0));
        second = Ref::borrow(PySequence_Fast_GET_ITEM(result, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(result));
    if (!it) return false;
    Ref got[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
        got[k] = Ref::steal(PyIter_Next(it.get()));
        if (!got[k]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", k, k == 1 ? "" : "s");
            }
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
        return false;
    }
    if (PyErr_Occurred()) return false;
    first = std::move(got[0]);
    second = std::move(got[1]);
    return true;
}

// Checks that `obj` can be taken as a writable 2-D float64 view.
bool check_writable_2d(PyObject* obj) {
    core::View2D view;
    return view.acquire(obj, true);
}

// `obj` as the memoryview that a hop receives and transform_to returns: the
// object is checked first (its own refusal messages), then the memoryview
// itself, so that what is passed on is the view that was checked even if
// the object would export something else on a second request.
Ref rows_view(PyObject* obj) {
    if (!check_writable_2d(obj)) return {};
    Ref view = Ref::steal(PyMemoryView_FromObject(obj));
    if (!view || !check_writable_2d(view.get())) return {};
    return view;
}

// The conversion callable of the edge current -> next (identity of the
// key), read from current's table as it is now; nullptr without an
// exception when the table has no such edge.
Ref find_edge(PyObject* current, PyObject* next) {
    Ref table = Ref::steal(PyObject_CallMethodNoArgs(current, S.transforms));
    if (!table) return {};
    if (PyDict_CheckExact(table.get())) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(table.get(), &pos, &key, &value)) {
            if (key == next) return Ref::borrow(value);
        }
        return {};
    }
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(table.get(), S.items));
    if (!items) return {};
    Ref it = Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return {};
    while (Ref entry = Ref::steal(PyIter_Next(it.get()))) {
        Ref key, value;
        if (!unpack_pair(entry.get(), key, value)) return {};
        if (key.get() == next) return value;
    }
    return {};
}

constexpr const char* kTransformToNames[] = {"frame", "time", "r", "v"};
constexpr core::Signature kTransformToSig{"transform_to", kTransformToNames, 4};

PyObject* Frame_transform_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!core::parse_args(kTransformToSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* time = a[1];
    Ref cur_r = rows_view(a[2]);
    if (!cur_r) return nullptr;
    Ref cur_v = rows_view(a[3]);
    if (!cur_v) return nullptr;

    Ref found = Ref::steal(PyObject_CallMethodObjArgs(self, S.get_route, self, a[0], nullptr));
    if (!found) return nullptr;
    // A snapshot: the callables may change whatever list get_route returned.
    Ref route = Ref::steal(PySequence_Tuple(found.get()));
    if (!route) return nullptr;
    for (Py_ssize_t i = 0; i + 1 < PyTuple_GET_SIZE(route.get()); ++i) {
        PyObject* current = PyTuple_GET_ITEM(route.get(), i);
        PyObject* next = PyTuple_GET_ITEM(route.get(), i + 1);
        if (!is_frame_or_none(current)) return refuse_not_frame(current), nullptr;
        if (!is_frame_or_none(next)) return refuse_not_frame(next), nullptr;
        Ref convert = find_edge(current, next);
        if (!convert) {
            // The edge went away after the search (a callable or another
            // thread removed it): the arrays in hand are not the target's.
            if (!PyErr_Occurred()) {
                Ref key = Ref::steal(PyTuple_Pack(1, next));  // KeyError(next), whatever next is
                if (key) PyErr_SetObject(PyExc_KeyError, key.get());
            }
            return nullptr;
        }
        Ref result =
            Ref::steal(PyObject_CallFunctionObjArgs(convert.get(), time, cur_r.get(), cur_v.get(), nullptr));
        if (!result) return nullptr;
        Ref out_r, out_v;
        if (!unpack_pair(result.get(), out_r, out_v)) return nullptr;
        Ref next_r = rows_view(out_r.get());
        if (!next_r) return nullptr;
        Ref next_v = rows_view(out_v.get());
        if (!next_v) return nullptr;
        cur_r = std::move(next_r);
        cur_v = std::move(next_v);
    }
    return PyTuple_Pack(2, cur_r.get(), cur_v.get());
}

// ===========================================================================
// Standard frames: shared preparation of the time scales and EOP values.
//
// Reading the time's scales and calling EOP runs Python code (properties of
// a Time subclass, a replaced EOP, ...), which may resize or free any array
// it can reach. So every object is fetched first, and only then are the
// buffers taken, with no Python code in between until the kernel is done:
// an exact ndarray (whose buffer request runs none) is read in place; any
// other object (whose exporter might run some) is copied out as soon as its
// buffer is taken, and those are taken first.

// time.<scale>.jd12.reshape(-1, 2).
Ref fetch_dates(PyObject* time, PyObject* scale) {
    Ref sc = Ref::steal(PyObject_GetAttr(time, scale));
    if (!sc) return {};
    Ref jd = Ref::steal(PyObject_GetAttr(sc.get(), S.jd12));
    if (!jd) return {};
    return Ref::steal(PyObject_CallMethodObjArgs(jd.get(), S.reshape, S.minus_one, S.two, nullptr));
}

// EOP(time.utc.mjd.reshape(-1)), with EOP looked up in the module namespace.
Ref call_eop(PyObject* time) {
    Ref utc = Ref::steal(PyObject_GetAttr(time, S.utc));
    if (!utc) return {};
    Ref mjd = Ref::steal(PyObject_GetAttr(utc.get(), S.mjd));
    if (!mjd) return {};
    Ref flat = Ref::steal(PyObject_CallMethodOneArg(mjd.get(), S.reshape, S.minus_one));
    if (!flat) return {};
    PyObject* globals = PyModule_GetDict(g_once.module());  // borrowed
    PyObject* eop = PyDict_GetItemWithError(globals, S.EOP);
    if (!eop) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", S.EOP);
        return {};
    }
    Ref keep = Ref::borrow(eop);
    return Ref::steal(PyObject_CallOneArg(eop, flat.get()));
}

// The fields of the EOP result, read in this order.
bool fetch_eop_fields(PyObject* eop, std::span<PyObject* const> names, std::span<Ref> out) {
    for (size_t k = 0; k < names.size(); ++k) {
        if (!(out[k] = Ref::steal(PyObject_GetAttr(eop, names[k])))) return false;
    }
    return true;
}

// The number of epochs: the rows of the dates in `obj`, as a 2-D view.
bool count_epochs(PyObject* obj, core::index_t& n) {
    core::View2D view;
    if (!view.acquire(obj, true)) return false;
    n = view.shape(0);
    return true;
}

// The per-epoch arrays of one conversion of `n` epochs, each either a held
// view of an exact ndarray or a private copy: the (n, 2) dates of a scale,
// or the n values of an EOP field (as an (n, 1) view).
class EpochArrays {
public:
    static constexpr int kMax = 7;
    struct Source {
        PyObject* obj;     // as fetched
        const char* what;  // "TT" or "UT1" dates; nullptr for EOP values
        PyObject* field;   // the EOP field's name
    };

    // Takes the buffers of `sources` (at most kMax) and checks their shapes.
    bool take(std::span<const Source> sources, core::index_t n) {
        n_ = n;
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t k = 0; k < sources.size(); ++k) {
                const bool in_place = PyArray_CheckExact(sources[k].obj);
                if (in_place == (pass == 1) && !take_one(sources[k], in_place, taken_[k])) return false;
            }
        }
        return true;
    }
    kn::D2 dates(int k) const noexcept { return taken_[k].span; }
    kn::D1 values(int k) const noexcept {
        const kn::D2& s = taken_[k].span;
        return {s.base, s.rows, s.row_stride};
    }

private:
    struct Taken {
        core::View2D view2;
        core::View1D view1;
        std::unique_ptr<double[]> copy;
        kn::D2 span;
    };

    bool take_one(const Source& src, bool in_place, Taken& t) {
        const core::index_t cols = src.what ? 2 : 1;
        kn::D2 from;
        if (src.what) {
            if (!t.view2.acquire(src.obj, true)) return false;
            if (t.view2.shape(0) != n_ || t.view2.shape(1) != 2) {
                PyErr_Format(PyExc_ValueError,
                             "%s dates have shape (%zd, %zd), not (%zd, 2) (a two-part Julian Date per epoch)",
                             src.what, t.view2.shape(0), t.view2.shape(1), n_);
                return false;
            }
            from = t.view2.span2();
        } else {
            if (!t.view1.acquire(src.obj, true)) return false;
            if (t.view1.shape(0) != n_) {
                PyErr_Format(PyExc_ValueError, "EOP %U has %zd entries, %s than the %zd epochs", src.field,
                             t.view1.shape(0), t.view1.shape(0) < n_ ? "fewer" : "more", n_);
                return false;
            }
            const auto s1 = t.view1.span1();
            from = {s1.base, s1.size, 1, s1.stride, static_cast<core::index_t>(sizeof(double))};
        }
        if (in_place) {
            t.span = from;
            return true;
        }
        if (n_ > PY_SSIZE_T_MAX / static_cast<core::index_t>(cols * sizeof(double))) {
            PyErr_NoMemory();
            return false;
        }
        t.copy.reset(new (std::nothrow) double[static_cast<size_t>(n_ * cols) + 1]);
        if (!t.copy) {
            PyErr_NoMemory();
            return false;
        }
        t.span = {reinterpret_cast<char*>(t.copy.get()), n_, cols, static_cast<core::index_t>(cols * sizeof(double)),
                  static_cast<core::index_t>(sizeof(double))};
        for (core::index_t i = 0; i < n_; ++i) {
            for (core::index_t j = 0; j < cols; ++j) t.span(i, j) = from(i, j);
        }
        t.view2.release();
        t.view1.release();
        return true;
    }

    core::index_t n_ = 0;
    Taken taken_[kMax];
};

bool vectors_fit(core::index_t n, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
                 const fr::View& v_out) {
    ShapeFault fault;
    if (check_vectors(n, "epoch", r_in, v_in, r_out, v_out, fault)) return true;
    raise_shape_fault(fault);
    return false;
}

int cio_call(kn::CioDirection dir, PyObject* time, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
             const fr::View& v_out) {
    Ref tt = fetch_dates(time, S.tt);
    if (!tt) return -1;
    Ref ut1 = fetch_dates(time, S.ut1);
    if (!ut1) return -1;
    Ref eop = call_eop(time);
    if (!eop) return -1;
    PyObject* const names[] = {S.pm_x, S.pm_y, S.dX, S.dY, S.lod};
    Ref fields[5];
    if (!fetch_eop_fields(eop.get(), names, fields)) return -1;
    // No Python code runs from here on.
    core::index_t n;
    if (!count_epochs(tt.get(), n) || !vectors_fit(n, r_in, v_in, r_out, v_out)) return -1;
    if (n > kn::CioScratch::kMaxEpochs) {
        PyErr_Format(PyExc_ValueError, "too many epochs in one call (%zd)", n);
        return -1;
    }
    const EpochArrays::Source sources[] = {{tt.get(), "TT", nullptr},          {ut1.get(), "UT1", nullptr},
                                           {fields[0].get(), nullptr, names[0]}, {fields[1].get(), nullptr, names[1]},
                                           {fields[2].get(), nullptr, names[2]}, {fields[3].get(), nullptr, names[3]},
                                           {fields[4].get(), nullptr, names[4]}};
    EpochArrays arrays;
    if (!arrays.take(sources, n)) return -1;
    std::unique_ptr<uint64_t[]> scratch(new (std::nothrow) uint64_t[kn::CioScratch::words(n)]);
    if (!scratch) {
        PyErr_NoMemory();
        return -1;
    }
    const kn::EopViews views{arrays.values(2), arrays.values(3), arrays.values(4), arrays.values(5), arrays.values(6)};
    kn::cio_convert(dir, arrays.dates(0), arrays.dates(1), views, r_in, v_in, r_out, v_out, scratch.get());
    return 0;
}

int teme_call(kn::TemeDirection dir, PyObject* time, const fr::View& r_in, const fr::View& v_in,
              const fr::View& r_out, const fr::View& v_out) {
    Ref ut1 = fetch_dates(time, S.ut1);
    if (!ut1) return -1;
    Ref eop = call_eop(time);
    if (!eop) return -1;
    PyObject* const names[] = {S.pm_x, S.pm_y, S.lod};
    Ref fields[3];
    if (!fetch_eop_fields(eop.get(), names, fields)) return -1;
    // No Python code runs from here on.
    core::index_t n;
    if (!count_epochs(ut1.get(), n) || !vectors_fit(n, r_in, v_in, r_out, v_out)) return -1;
    const EpochArrays::Source sources[] = {{ut1.get(), "UT1", nullptr},
                                           {fields[0].get(), nullptr, names[0]},
                                           {fields[1].get(), nullptr, names[1]},
                                           {fields[2].get(), nullptr, names[2]}};
    EpochArrays arrays;
    if (!arrays.take(sources, n)) return -1;
    const kn::TemeEop views{arrays.values(1), arrays.values(2), arrays.values(3)};
    kn::teme_convert(dir, arrays.dates(0), views, r_in, v_in, r_out, v_out);
    return 0;
}

// C-level methods of the standard frames.
int GCRF_c_to_ITRF(fr::GCRFObject*, PyObject* time, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
                   const fr::View& v_out) {
    return core::guard([&] { return cio_call(kn::CioDirection::to_terrestrial, time, r_in, v_in, r_out, v_out); },
                       -1);
}

int ITRF_c_to_GCRF(fr::ITRFObject*, PyObject* time, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
                   const fr::View& v_out) {
    return core::guard([&] { return cio_call(kn::CioDirection::to_celestial, time, r_in, v_in, r_out, v_out); }, -1);
}

int ITRF_c_to_TEME(fr::ITRFObject*, PyObject* time, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
                   const fr::View& v_out) {
    return core::guard([&] { return teme_call(kn::TemeDirection::itrf_to_teme, time, r_in, v_in, r_out, v_out); },
                       -1);
}

int TEME_c_to_ITRF(fr::TEMEObject*, PyObject* time, const fr::View& r_in, const fr::View& v_in, const fr::View& r_out,
                   const fr::View& v_out) {
    return core::guard([&] { return teme_call(kn::TemeDirection::teme_to_itrf, time, r_in, v_in, r_out, v_out); },
                       -1);
}

fr::GCRFVTable g_gcrf_vtable = {&GCRF_c_to_ITRF};
fr::ITRFVTable g_itrf_vtable = {&ITRF_c_to_GCRF, &ITRF_c_to_TEME};
fr::TEMEVTable g_teme_vtable = {&TEME_c_to_ITRF};

// numpy.empty_like(obj) as a base-class array: no subclass's
// __array_finalize__ runs and keeps it (the result goes through
// numpy.asarray anyway). The kernels write every element.
Ref new_like(PyObject* obj) {
    Ref arr;
    if (PyArray_Check(obj)) {
        arr = Ref::borrow(obj);
    } else {
        arr = Ref::steal(PyArray_FROM_O(obj));
        if (!arr) return {};
    }
    return Ref::steal(PyArray_NewLikeArray(core::as_array(arr.get()), NPY_KEEPORDER, nullptr, 0));
}

// Takes `obj` as a 2-D float64 view (writable if asked) and copies it into
// `to`, a new array of the same shape that no Python code can reach; the
// view is released before anything else runs.
bool copy_into(PyObject* obj, bool writable, const fr::View& to) {
    core::View2D view;
    if (!view.acquire(obj, writable)) return false;
    const auto from = view.span2();
    if (from.rows != to.rows || from.cols != to.cols) {
        // An object whose array form and buffer disagree.
        PyErr_Format(PyExc_ValueError, "array of shape (%zd, %zd) exports a buffer of shape (%zd, %zd)", to.rows,
                     to.cols, from.rows, from.cols);
        return false;
    }
    for (core::index_t i = 0; i < from.rows; ++i) {
        for (core::index_t j = 0; j < from.cols; ++j) to(i, j) = from(i, j);
    }
    return true;
}

// The Python side of a conversion method: allocate outputs like the inputs,
// check the time, take the inputs, call the C-level slot, return the pair.
// The outputs are new arrays that only this call holds. The standard
// conversions run Python code (the time's scales, EOP) while they use their
// inputs, so the inputs are first copied into the outputs, which the slot
// then converts in place; ENU runs none (unless a mat_x_vec other than
// vectools' own is bound: it may be a Python callback) and reads the
// caller's arrays where they are.
template <class Call>
PyObject* convert_method(PyObject* time, PyObject* r, PyObject* v, bool enu, Call&& call) {
    Ref r_out = new_like(r);
    if (!r_out) return nullptr;
    core::View2D r_out_view;
    if (!r_out_view.acquire(r_out.get(), true)) return nullptr;
    Ref v_out = new_like(v);
    if (!v_out) return nullptr;
    core::View2D v_out_view;
    if (!v_out_view.acquire(v_out.get(), true)) return nullptr;
    if (!core::check_arg_type(time, velarion::time::Time_Type, "time")) return nullptr;
    const fr::View ro = r_out_view.span2(), vo = v_out_view.span2();
    int done;
    if (enu && vt::mat_x_vec == vt::mat_x_vec_own) {
        core::View2D r_in, v_in;
        if (!r_in.acquire(r, false) || !v_in.acquire(v, false)) return nullptr;
        done = call(r_in.span2(), v_in.span2(), ro, vo);
    } else {
        // The standard frames request writable inputs; ENU reads them only.
        if (!copy_into(r, !enu, ro) || !copy_into(v, !enu, vo)) return nullptr;
        done = call(ro, vo, ro, vo);
    }
    if (done < 0) return nullptr;
    r_out_view.release();
    v_out_view.release();
    return PyTuple_Pack(2, r_out.get(), v_out.get());
}

constexpr const char* kGcrfToItrfNames[] = {"time", "r_GCRF", "v_GCRF"};
constexpr core::Signature kGcrfToItrfSig{"to_ITRF", kGcrfToItrfNames, 3};
constexpr const char* kItrfToGcrfNames[] = {"time", "r_ITRF", "v_ITRF"};
constexpr core::Signature kItrfToGcrfSig{"to_GCRF", kItrfToGcrfNames, 3};
constexpr core::Signature kItrfToTemeSig{"to_TEME", kItrfToGcrfNames, 3};
constexpr const char* kTemeToItrfNames[] = {"time", "r_TEME", "v_TEME"};
constexpr core::Signature kTemeToItrfSig{"to_ITRF", kTemeToItrfNames, 3};

PyObject* GCRF_to_ITRF(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kGcrfToItrfSig, args, nargs, kwnames, a)) return nullptr;
    auto* obj = reinterpret_cast<fr::GCRFObject*>(self);
    return convert_method(a[0], a[1], a[2], false, [&](const fr::View& ri, const fr::View& vi, const fr::View& ro, const fr::View& vo) {
        return obj->vtab->c_to_ITRF(obj, a[0], ri, vi, ro, vo);
    });
}

PyObject* ITRF_to_GCRF(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kItrfToGcrfSig, args, nargs, kwnames, a)) return nullptr;
    auto* obj = reinterpret_cast<fr::ITRFObject*>(self);
    return convert_method(a[0], a[1], a[2], false, [&](const fr::View& ri, const fr::View& vi, const fr::View& ro, const fr::View& vo) {
        return obj->vtab->c_to_GCRF(obj, a[0], ri, vi, ro, vo);
    });
}

PyObject* ITRF_to_TEME(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kItrfToTemeSig, args, nargs, kwnames, a)) return nullptr;
    auto* obj = reinterpret_cast<fr::ITRFObject*>(self);
    return convert_method(a[0], a[1], a[2], false, [&](const fr::View& ri, const fr::View& vi, const fr::View& ro, const fr::View& vo) {
        return obj->vtab->c_to_TEME(obj, a[0], ri, vi, ro, vo);
    });
}

PyObject* TEME_to_ITRF(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kTemeToItrfSig, args, nargs, kwnames, a)) return nullptr;
    auto* obj = reinterpret_cast<fr::TEMEObject*>(self);
    return convert_method(a[0], a[1], a[2], false, [&](const fr::View& ri, const fr::View& vi, const fr::View& ro, const fr::View& vo) {
        return obj->vtab->c_to_ITRF(obj, a[0], ri, vi, ro, vo);
    });
}

PyObject* GCRF_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = frame_alloc(type);
    if (self) reinterpret_cast<fr::GCRFObject*>(self)->vtab = &g_gcrf_vtable;
    return self;
}

PyObject* ITRF_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = frame_alloc(type);
    if (self) reinterpret_cast<fr::ITRFObject*>(self)->vtab = &g_itrf_vtable;
    return self;
}

PyObject* TEME_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = frame_alloc(type);
    if (self) reinterpret_cast<fr::TEMEObject*>(self)->vtab = &g_teme_vtable;
    return self;
}

// ===========================================================================
// ENU

void ENU_c_rot_to_ITRF(fr::ENUObject* self, double rot[3][3]) { kn::enu_rot_to_itrf(self->lat, self->lon, rot); }
void ENU_c_rot_from_ITRF(fr::ENUObject* self, double rot[3][3]) { kn::enu_rot_from_itrf(self->lat, self->lon, rot); }

// Shape checks of the ENU conversions: any number of positions, a velocity
// per position, x, y, z only. They may run without the interpreter lock, so
// the lock is taken to report a failure.
bool enu_shapes_ok(const fr::View& r_in, const fr::View& v_in, const fr::View& r_out, const fr::View& v_out) {
    ShapeFault fault;
    if (check_vectors(r_in.rows, "position", r_in, v_in, r_out, v_out, fault)) return true;
    PyGILState_STATE st = PyGILState_Ensure();
    raise_shape_fault(fault);
    PyGILState_Release(st);
    return false;
}

// The 3x3 products of the ENU loops. When the bound mat_x_vec is vectools'
// own, its kernel is compiled in (two indirect calls per row would cost more
// than the row's own work); otherwise the bound function is what the
// binding says: it is called through its pointer, and a Python exception
// that it leaves pending stops the loop.
struct CompiledProduct {
    bool operator()(double (*m)[3], double* v, double* out) const noexcept {
        vt::kernels::mat_x_vec_kernel(m, v, out);
        return true;
    }
};

struct BoundProduct {
    vt::mat_x_vec_t fn;
    bool operator()(double (*m)[3], double* v, double* out) const {
        fn(m, v, out);
        return !core::error_pending_nogil();
    }
};

bool enu_apply(double R[3][3], const double pre[3], const double post[3], const fr::View& r_in,
               const fr::View& v_in, const fr::View& r_out, const fr::View& v_out) {
    if (vt::mat_x_vec == vt::mat_x_vec_own) {
        return kn::enu_apply(CompiledProduct{}, R, pre, post, r_in, v_in, r_out, v_out);
    }
    return kn::enu_apply(BoundProduct{vt::mat_x_vec}, R, pre, post, r_in, v_in, r_out, v_out);
}

int ENU_c_to_ITRF(fr::ENUObject* self, PyObject*, const fr::View& r_ENU, const fr::View& v_ENU,
                  const fr::View& r_ITRF, const fr::View& v_ITRF) {
    if (!enu_shapes_ok(r_ENU, v_ENU, r_ITRF, v_ITRF)) return -1;
    double R[3][3];
    kn::enu_rot_to_itrf(self->lat, self->lon, R);
    const double zero[3] = {0.0, 0.0, 0.0};
    return enu_apply(R, zero, self->r_station_ITRF, r_ENU, v_ENU, r_ITRF, v_ITRF) ? 0 : -1;
}

int ENU_c_from_ITRF(fr::ENUObject* self, PyObject*, const fr::View& r_ITRF, const fr::View& v_ITRF,
                    const fr::View& r_ENU, const fr::View& v_ENU) {
    if (!enu_shapes_ok(r_ITRF, v_ITRF, r_ENU, v_ENU)) return -1;
    double Q[3][3];
    kn::enu_rot_from_itrf(self->lat, self->lon, Q);
    const double zero[3] = {0.0, 0.0, 0.0};
    return enu_apply(Q, self->r_station_ITRF, zero, r_ITRF, v_ITRF, r_ENU, v_ENU) ? 0 : -1;
}

fr::ENUVTable g_enu_vtable = {&ENU_c_rot_to_ITRF, &ENU_c_rot_from_ITRF, &ENU_c_to_ITRF, &ENU_c_from_ITRF};

constexpr const char* kEnuNames[] = {"lon", "lat", "alt", "ell"};
constexpr core::Signature kEnuSig{"ENU", kEnuNames, 3};

struct EnuArgs {
    double lon, lat, alt;
    Ref ell;
};

bool parse_enu_args(PyObject* args, PyObject* kwds, EnuArgs& out) {
    core::Args<4> a;
    if (!core::parse_args(kEnuSig, args, kwds, a)) return false;
    if (!core::to_double(a[0], out.lon) || !core::to_double(a[1], out.lat) || !core::to_double(a[2], out.alt))
        return false;
    out.ell = Ref::borrow(a[3] ? a[3] : g_default_ell);
    return core::check_arg_type(out.ell.get(), ell::Ellipsoid_Type, "ell", false);
}

// All the work of construction happens here, before __init__.
PyObject* ENU_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    EnuArgs p;
    if (!parse_enu_args(args, kwds, p)) return nullptr;
    Ref self = Ref::steal(frame_alloc(type));
    if (!self) return nullptr;
    fr::ENUObject* e = as_enu(self.get());
    e->vtab = &g_enu_vtable;
    e->ell = p.ell.new_ref();
    e->lon = p.lon;
    e->lat = p.lat;
    e->alt = p.alt;
    // The geodetic-to-Cartesian step refuses non-finite values and latitudes
    // outside [-pi/2, pi/2] (degrees given for radians).
    auto* ellipsoid = reinterpret_cast<ell::EllipsoidObject*>(p.ell.get());
    if (ellipsoid->vtab->c_geodetic_to_cartesian(ellipsoid, e->r_station_ITRF, e->lat, e->lon, e->alt) < 0)
        return nullptr;
    Ref to_itrf = Ref::steal(PyObject_GetAttr(self.get(), S.to_ITRF));
    if (!to_itrf) return nullptr;
    Ref table = Ref::steal(PyDict_New());
    if (!table || PyDict_SetItem(table.get(), g_ITRF, to_itrf.get()) < 0) return nullptr;
    core::replace_slot(e->base._transforms, table.release());
    Ref from_itrf = Ref::steal(PyObject_GetAttr(self.get(), S.from_ITRF));
    if (!from_itrf) return nullptr;
    Ref itrf = Ref::borrow(g_ITRF);
    Ref done = Ref::steal(
        PyObject_CallMethodObjArgs(itrf.get(), S.register_transform, self.get(), from_itrf.get(), nullptr));
    if (!done) return nullptr;
    return self.release();
}

int ENU_init(PyObject*, PyObject* args, PyObject* kwds) {
    EnuArgs p;
    return parse_enu_args(args, kwds, p) ? 0 : -1;
}

int ENU_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(as_frame(self)->_transforms);
    Py_VISIT(as_enu(self)->ell);
    return 0;
}

int ENU_clear(PyObject* self) {
    core::replace_slot(as_frame(self)->_transforms, Py_NewRef(Py_None));
    core::replace_slot(as_enu(self)->ell, Py_NewRef(Py_None));
    return 0;
}

void ENU_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_frame(self)->_transforms);
    Py_CLEAR(as_enu(self)->ell);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* rotation_array(PyObject* self, void (*fill)(fr::ENUObject*, double[3][3])) {
    const npy_intp shape[2] = {3, 3};
    Ref out = core::empty(2, shape);
    if (!out) return nullptr;
    double R[3][3];
    fill(as_enu(self), R);
    std::memcpy(core::data_of(out.get()), R, sizeof R);
    return out.release();
}

PyObject* ENU_rot_to_ITRF(PyObject* self, PyObject*) {
    return rotation_array(self, as_enu(self)->vtab->c_rot_to_ITRF);
}

PyObject* ENU_rot_from_ITRF(PyObject* self, PyObject*) {
    return rotation_array(self, as_enu(self)->vtab->c_rot_from_ITRF);
}

constexpr const char* kEnuToItrfNames[] = {"time", "r_ENU", "v_ENU"};
constexpr core::Signature kEnuToItrfSig{"to_ITRF", kEnuToItrfNames, 3};
constexpr const char* kEnuFromItrfNames[] = {"time", "r_ITRF", "v_ITRF"};
constexpr core::Signature kEnuFromItrfSig{"from_ITRF", kEnuFromItrfNames, 3};

PyObject* ENU_to_ITRF(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kEnuToItrfSig, args, nargs, kwnames, a)) return nullptr;
    fr::ENUObject* e = as_enu(self);
    return convert_method(a[0], a[1], a[2], true, [&](const fr::View& ri, const fr::View& vi, const fr::View& ro, const fr::View& vo) {
        return e->vtab->c_to_ITRF(e, a[0], ri, vi, ro, vo);
    });
}

PyObject* ENU_from_ITRF(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    if (!core::parse_args(kEnuFromItrfSig, args, nargs, kwnames, a)) return nullptr;
    fr::ENUObject* e = as_enu(self);
    return convert_method(a[0], a[1], a[2], true, [&](const fr::View& ri, const fr::View& vi, const fr::View& ro, const fr::View& vo) {
        return e->vtab->c_from_ITRF(e, a[0], ri, vi, ro, vo);
    });
}

PyObject* ENU_get_r_station(PyObject* self, void*) {
    const npy_intp n = 3;
    Ref out = core::empty(1, &n);
    if (!out) return nullptr;
    std::memcpy(core::data_of(out.get()), as_enu(self)->r_station_ITRF, 3 * sizeof(double));
    return out.release();
}

PyObject* ENU_get_ell(PyObject* self, void*) {
    PyObject* e = as_enu(self)->ell;
    return Py_NewRef(e ? e : Py_None);
}

// ===========================================================================
// RPC

constexpr const char* kRpcNames[] = {"time", "r", "v", "frame"};
constexpr core::Signature kRpcSig{"RPC", kRpcNames, 4};

PyObject* RPC_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    core::Args<4> a;
    if (!core::parse_args(kRpcSig, args, kwds, a)) return nullptr;
    if (!check_writable_2d(a[1]) || !check_writable_2d(a[2])) return nullptr;
    if (!core::check_arg_type(a[0], velarion::time::Time_Type, "time")) return nullptr;
    if (!core::check_arg_type(a[3], fr::Frame_Type, "frame")) return nullptr;
    return frame_alloc(type);
}

// ===========================================================================
// Type specs and docstrings.

// Every function that CPython calls is registered through core::entry.
#define VELARION_FASTCALL(fn) (PyCFunction)(void (*)(void))(core::entry<fn>)

constexpr const char kFrameDoc[] =
    "Abstract base class for reference frames and coordinate systems.\n\n"
    "Frame manages the registration of frames (the registry Frame._instances,\n"
    "from upper-case name to frame), provides the utilities of the\n"
    "transformation graph (each frame's table of direct transforms, route\n"
    "search) and transforms position and velocity vectors between frames.\n"
    "Frame() makes a usable frame with an empty transform table.";

constexpr const char kClassGetItemDoc[] =
    "Frame.__class_getitem__(cls, str item) -> Frame\n"
    "Get a registered Frame instance by name.\n\n"
    "Parameters\n----------\nitem : str\n    Name of the frame (case-insensitive).\n\n"
    "Returns\n-------\nFrame\n    The registered frame.\n\n"
    "Raises\n------\nKeyError\n    If no frame is registered under that name.";

constexpr const char kIsFrameDoc[] =
    "Frame.is_frame(cls, str item) -> bool\n"
    "Check if a frame with the given name is registered.\n\n"
    "Parameters\n----------\nitem : str\n    Name of the frame (case-insensitive).\n\n"
    "Returns\n-------\nbool\n    True if a frame is registered under that name.";

constexpr const char kGetRouteDoc[] =
    "Frame.get_route(cls, source: Frame | str, target: Frame | str) -> list[Frame]\n"
    "Find a sequence of frames (route) from source to target frame.\n\n"
    "Parameters\n----------\nsource : Frame | str\n    The starting frame or its name.\n"
    "target : Frame | str\n    The target frame or its name.\n\n"
    "Returns\n-------\nlist[Frame]\n    The list of frames forming the transformation path.\n\n"
    "Raises\n------\nValueError\n    If no route is found between source and target frames.";

constexpr const char kTransformsDoc[] =
    "Frame.transforms(self) -> dict[Frame, Callable]\n"
    "Return the dictionary of direct transforms from this frame.\n\n"
    "The dictionary itself is returned, not a copy: changing it changes the\n"
    "frame's edges.";

constexpr const char kRegisterDoc[] =
    "Frame.register_transform(self, target_frame: Frame, transform: Callable) -> None\n"
    "Register a direct transformation from this frame to a target frame.\n\n"
    "Overwrites any existing transformation to the same target frame.\n\n"
    "Parameters\n----------\ntarget_frame : Frame\n    The frame the transformation converts to.\n"
    "transform : Callable\n    Function with signature (time: Time, position: ndarray[(N, 3)], "
    "velocity: ndarray[(N, 3)])\n    returning the pair (position, velocity) in the target frame.";

constexpr const char kRemoveDoc[] =
    "Frame.remove_transform(self, target_frame: Frame) -> None\n"
    "Remove the direct transformation from this frame to a target frame.\n\n"
    "A removed transformation must be registered again to be available.\n\n"
    "Parameters\n----------\ntarget_frame : Frame\n    The target frame of the transformation.\n\n"
    "Raises\n------\nKeyError\n    If no transformation to the target frame exists.";

constexpr const char kTransformToDoc[] =
    "Frame.transform_to(self, frame: Frame | str, time: DatetimeLike, r: ndarray[double], "
    "v: ndarray[double]) -> tuple[ndarray, 2]\n"
    "Transform position and velocity vectors to another frame.\n\n"
    "Parameters\n----------\nframe : Frame | str\n    Target frame or its name.\n"
    "time : DatetimeLike\n    Time of the transformation.\n"
    "r : ndarray[double]\n    Position vector(s) in this frame.\n"
    "v : ndarray[double]\n    Velocity vector(s) in this frame.\n\n"
    "Returns\n-------\ntuple[ndarray, 2]\n    Transformed position and velocity vectors in the target frame.\n\n"
    "Raises\n------\nValueError\n    If no route is found between the frames.";

constexpr const char kHashDoc[] = "Frame.__hash__(self) -> int\nReturn a hash for the Frame instance.";

constexpr const char kNameDoc[] =
    "Get the registered name of this frame.\n\n"
    "Returns\n-------\nstr\n    The name of the frame, or 'Unnamed' if not registered.";

// Python-visible methods that carry annotations and a signature: set on
// their class at start-up through core::add_annotated_method (or its class
// method form) rather than through the type's method table.
struct AnnotatedDef {
    PyMethodDef def;
    std::span<const core::MethodParam> params;
    const char* returns;
    bool class_method;
};

constexpr const char kPoK[] = "POSITIONAL_OR_KEYWORD";
constexpr const char kArray[] = "ndarray[double]";
constexpr const char kPair[] = "tuple[ndarray, 2]";
constexpr const char kFrameOrName[] = "Frame | str";

constexpr core::MethodParam kItemParams[] = {{"item", kPoK, "str", true}};
constexpr core::MethodParam kRouteParams[] = {{"source", kPoK, kFrameOrName}, {"target", kPoK, kFrameOrName}};
constexpr core::MethodParam kRegisterParams[] = {{"target_frame", kPoK, "Frame"}, {"transform", kPoK, "Callable"}};
constexpr core::MethodParam kRemoveParams[] = {{"target_frame", kPoK, "Frame"}};
constexpr core::MethodParam kTransformToParams[] = {
    {"frame", kPoK, kFrameOrName}, {"time", kPoK, "DatetimeLike"}, {"r", kPoK, kArray}, {"v", kPoK, kArray}};

AnnotatedDef Frame_annotated[] = {
    {{"__class_getitem__", VELARION_FASTCALL(Frame_class_getitem), METH_FASTCALL | METH_KEYWORDS, kClassGetItemDoc},
     kItemParams, "Frame", true},
    {{"is_frame", VELARION_FASTCALL(Frame_is_frame), METH_FASTCALL | METH_KEYWORDS, kIsFrameDoc},
     kItemParams, "bool", true},
    {{"get_route", VELARION_FASTCALL(Frame_get_route), METH_FASTCALL | METH_KEYWORDS, kGetRouteDoc},
     kRouteParams, "list[Frame]", true},
    {{"transforms", core::entry<Frame_transforms>, METH_NOARGS, kTransformsDoc}, {}, "dict[Frame, Callable]", false},
    {{"register_transform", VELARION_FASTCALL(Frame_register_transform), METH_FASTCALL | METH_KEYWORDS,
      kRegisterDoc},
     kRegisterParams, "None", false},
    {{"remove_transform", VELARION_FASTCALL(Frame_remove_transform), METH_FASTCALL | METH_KEYWORDS, kRemoveDoc},
     kRemoveParams, "None", false},
    {{"transform_to", VELARION_FASTCALL(Frame_transform_to), METH_FASTCALL | METH_KEYWORDS, kTransformToDoc},
     kTransformToParams, kPair, false},
};

PyMethodDef Frame_methods[] = {
    {"__hash__", core::entry<Frame_hash_method>, METH_NOARGS | METH_COEXIST, kHashDoc},
    VELARION_NO_PICKLE_METHODS,
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef Frame_getset[] = {
    {"name", core::entry<Frame_get_name>, nullptr, kNameDoc, nullptr},
    {"_transforms", core::entry<Frame_get_transforms_attr>, core::entry<Frame_set_transforms_attr>, "_transforms: object", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot Frame_slots[] = {{Py_tp_doc, (void*)kFrameDoc},
                             {Py_tp_new, (void*)core::entry<Frame_new>},
                             {Py_tp_dealloc, (void*)core::entry<Frame_dealloc>},
                             {Py_tp_traverse, (void*)core::entry<Frame_traverse>},
                             {Py_tp_clear, (void*)core::entry<Frame_clear>},
                             {Py_tp_hash, (void*)core::entry<Frame_hash>},
                             {Py_tp_methods, Frame_methods},
                             {Py_tp_getset, Frame_getset},
                             {0, nullptr}};

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

PyType_Spec Frame_spec = {"velarion.frames.frames.Frame", sizeof(fr::FrameObject), 0, kFlags, Frame_slots};

#define VELARION_CONVERSION_DOC(cls, method, from, to)                                                           \
    cls "." method "(self, time: DatetimeLike, r_" from ": ndarray[double], v_" from                             \
        ": ndarray[double]) -> tuple[ndarray, 2]\n"                                                              \
        "Transform position and velocity from " from " to " to ".\n\n"                                           \
        "Parameters\n----------\ntime : DatetimeLike\n    Time(s) for which the transformation is computed.\n"   \
        "r_" from " : ndarray of shape (N, 3)\n    Position vectors in " from ".\n"                              \
        "v_" from " : ndarray of shape (N, 3)\n    Velocity vectors in " from                                    \
        " (position unit per second).\n\n"                                                                       \
        "Returns\n-------\nr_" to " : ndarray of shape (N, 3)\n    Position vectors in " to ".\n"                \
        "v_" to " : ndarray of shape (N, 3)\n    Velocity vectors in " to ".\n"

constexpr const char kGCRFDoc[] =
    "Geocentric Celestial Reference Frame (GCRF).\n\n"
    "A quasi-inertial frame centred at the Earth's centre of mass, with its\n"
    "axes aligned with those of the ICRF. It is converted to ITRF by the\n"
    "IAU 2000A CIO-based algorithms under the IERS 2003 conventions (SOFA\n"
    "Cookbook, section 5), and is typically used internally as part of the\n"
    "frame transformation graph.";

constexpr const char kITRFDoc[] =
    "International Terrestrial Reference Frame (ITRF).\n\n"
    "The Earth-centred, Earth-fixed frame. It is converted to GCRF by the\n"
    "IAU 2000A CIO-based algorithms (IERS 2003 conventions, SOFA Cookbook,\n"
    "section 5) and to TEME by the GMST82 rotation with polar motion.";

constexpr const char kTEMEDoc[] =
    "True Equator Mean Equinox Frame (TEME).\n\n"
    "The frame of SGP4/SDP4 orbit propagation and two-line element sets,\n"
    "following the conventions of AIAA-2006-6753 \"Revisiting Spacetrack\n"
    "Report #3\" (Appendix C). The transformation to ITRF applies polar\n"
    "motion and the GMST82 rotation.";

// Parameters of a conversion from frame X: (time, r_X, v_X).
#define VELARION_CONVERSION_PARAMS(from) \
    {{"time", kPoK, "DatetimeLike"}, {"r_" from, kPoK, kArray}, {"v_" from, kPoK, kArray}}

constexpr core::MethodParam kFromGCRFParams[] = VELARION_CONVERSION_PARAMS("GCRF");
constexpr core::MethodParam kFromITRFParams[] = VELARION_CONVERSION_PARAMS("ITRF");
constexpr core::MethodParam kFromTEMEParams[] = VELARION_CONVERSION_PARAMS("TEME");
constexpr core::MethodParam kFromENUParams[] = VELARION_CONVERSION_PARAMS("ENU");

AnnotatedDef GCRF_annotated[] = {
    {{"to_ITRF", VELARION_FASTCALL(GCRF_to_ITRF), METH_FASTCALL | METH_KEYWORDS,
      VELARION_CONVERSION_DOC("_GCRF", "to_ITRF", "GCRF", "ITRF")},
     kFromGCRFParams, kPair, false},
};

AnnotatedDef ITRF_annotated[] = {
    {{"to_GCRF", VELARION_FASTCALL(ITRF_to_GCRF), METH_FASTCALL | METH_KEYWORDS,
      VELARION_CONVERSION_DOC("_ITRF", "to_GCRF", "ITRF", "GCRF")},
     kFromITRFParams, kPair, false},
    {{"to_TEME", VELARION_FASTCALL(ITRF_to_TEME), METH_FASTCALL | METH_KEYWORDS,
      VELARION_CONVERSION_DOC("_ITRF", "to_TEME", "ITRF", "TEME")},
     kFromITRFParams, kPair, false},
};

AnnotatedDef TEME_annotated[] = {
    {{"to_ITRF", VELARION_FASTCALL(TEME_to_ITRF), METH_FASTCALL | METH_KEYWORDS,
      VELARION_CONVERSION_DOC("_TEME", "to_ITRF", "TEME", "ITRF")},
     kFromTEMEParams, kPair, false},
};

PyMethodDef GCRF_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};
PyMethodDef ITRF_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};
PyMethodDef TEME_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyType_Slot GCRF_slots[] = {{Py_tp_doc, (void*)kGCRFDoc},
                            {Py_tp_new, (void*)core::entry<GCRF_new>},
                            {Py_tp_dealloc, (void*)core::entry<Frame_dealloc>},
                            {Py_tp_traverse, (void*)core::entry<Frame_traverse>},
                            {Py_tp_clear, (void*)core::entry<Frame_clear>},
                            {Py_tp_methods, GCRF_methods},
                            {0, nullptr}};
PyType_Slot ITRF_slots[] = {{Py_tp_doc, (void*)kITRFDoc},
                            {Py_tp_new, (void*)core::entry<ITRF_new>},
                            {Py_tp_dealloc, (void*)core::entry<Frame_dealloc>},
                            {Py_tp_traverse, (void*)core::entry<Frame_traverse>},
                            {Py_tp_clear, (void*)core::entry<Frame_clear>},
                            {Py_tp_methods, ITRF_methods},
                            {0, nullptr}};
PyType_Slot TEME_slots[] = {{Py_tp_doc, (void*)kTEMEDoc},
                            {Py_tp_new, (void*)core::entry<TEME_new>},
                            {Py_tp_dealloc, (void*)core::entry<Frame_dealloc>},
                            {Py_tp_traverse, (void*)core::entry<Frame_traverse>},
                            {Py_tp_clear, (void*)core::entry<Frame_clear>},
                            {Py_tp_methods, TEME_methods},
                            {0, nullptr}};

PyType_Spec GCRF_spec = {"velarion.frames.frames._GCRF", sizeof(fr::GCRFObject), 0, kFlags, GCRF_slots};
PyType_Spec ITRF_spec = {"velarion.frames.frames._ITRF", sizeof(fr::ITRFObject), 0, kFlags, ITRF_slots};
PyType_Spec TEME_spec = {"velarion.frames.frames._TEME", sizeof(fr::TEMEObject), 0, kFlags, TEME_slots};

constexpr const char kENUDoc[] =
    "ENU(double lon: float, double lat: float, double alt: float, Ellipsoid ell: Ellipsoid = WGS84) -> None\n"
    "East-North-Up (ENU) Local Tangent Reference Frame.\n\n"
    "The local Cartesian frame of a ground station: origin at the station,\n"
    "X East, Y North, Z Up (normal to the ellipsoid surface). Creating one\n"
    "links it to ITRF in both directions.\n\n"
    "Parameters\n----------\nlon : float\n    Geodetic longitude of the station [radians].\n"
    "lat : float\n    Geodetic latitude of the station [radians].\n"
    "alt : float\n    Altitude above the ellipsoid [meters].\n"
    "ell : Ellipsoid, optional\n    Reference ellipsoid (default WGS84).";

constexpr const char kEnuToItrfDoc[] =
    "ENU.to_ITRF(self, time: DatetimeLike, r_ENU: ndarray[double], v_ENU: ndarray[double]) -> tuple[ndarray, 2]\n"
    "Transform position and velocity from ENU to ITRF.\n\n"
    "Parameters\n----------\ntime : DatetimeLike\n    Time(s) for which the transformation is computed.\n"
    "r_ENU : ndarray of shape (N, 3)\n    Position vectors in ENU [meters].\n"
    "v_ENU : ndarray of shape (N, 3)\n    Velocity vectors in ENU [meters/second].\n\n"
    "Returns\n-------\nr_ITRF : ndarray of shape (N, 3)\n    Position vectors in ITRF.\n"
    "v_ITRF : ndarray of shape (N, 3)\n    Velocity vectors in ITRF.";

constexpr const char kEnuFromItrfDoc[] =
    "ENU.from_ITRF(self, time: DatetimeLike, r_ITRF: ndarray[double], v_ITRF: ndarray[double]) -> "
    "tuple[ndarray, 2]\n"
    "Transform position and velocity from ITRF to ENU.\n\n"
    "Parameters\n----------\ntime : DatetimeLike\n    Time(s) for which the transformation is computed.\n"
    "r_ITRF : ndarray of shape (N, 3)\n    Position vectors in ITRF [meters].\n"
    "v_ITRF : ndarray of shape (N, 3)\n    Velocity vectors in ITRF [meters/second].\n\n"
    "Returns\n-------\nr_ENU : ndarray of shape (N, 3)\n    Position vectors in ENU.\n"
    "v_ENU : ndarray of shape (N, 3)\n    Velocity vectors in ENU.";

AnnotatedDef ENU_annotated[] = {
    {{"rot_to_ITRF", core::entry<ENU_rot_to_ITRF>, METH_NOARGS,
      "ENU.rot_to_ITRF(self) -> ndarray[double]\nCompute the rotation matrix from ENU to ITRF.\n\n"
      "Returns\n-------\nndarray of shape (3, 3)\n    R with r_ITRF = R @ r_ENU for vectors relative to the station."},
     {}, kArray, false},
    {{"rot_from_ITRF", core::entry<ENU_rot_from_ITRF>, METH_NOARGS,
      "ENU.rot_from_ITRF(self) -> ndarray[double]\nCompute the rotation matrix from ITRF to ENU.\n\n"
      "Returns\n-------\nndarray of shape (3, 3)\n    The transpose of rot_to_ITRF()."},
     {}, kArray, false},
    {{"to_ITRF", VELARION_FASTCALL(ENU_to_ITRF), METH_FASTCALL | METH_KEYWORDS, kEnuToItrfDoc},
     kFromENUParams, kPair, false},
    {{"from_ITRF", VELARION_FASTCALL(ENU_from_ITRF), METH_FASTCALL | METH_KEYWORDS, kEnuFromItrfDoc},
     kFromITRFParams, kPair, false},
};

PyMethodDef ENU_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyGetSetDef ENU_getset[] = {
    {"r_station_ITRF", core::entry<ENU_get_r_station>, nullptr,
     "Get the ITRF coordinates of the ground station.\n\n"
     "Returns\n-------\nndarray of shape (3,)\n    Station position in ITRF [meters] (a new array on every read).",
     nullptr},
    {"ell", core::entry<ENU_get_ell>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot ENU_slots[] = {{Py_tp_doc, (void*)kENUDoc},
                           {Py_tp_new, (void*)core::entry<ENU_new>},
                           {Py_tp_init, (void*)core::entry<ENU_init>},
                           {Py_tp_dealloc, (void*)core::entry<ENU_dealloc>},
                           {Py_tp_traverse, (void*)core::entry<ENU_traverse>},
                           {Py_tp_clear, (void*)core::entry<ENU_clear>},
                           {Py_tp_methods, ENU_methods},
                           {Py_tp_getset, ENU_getset},
                           {0, nullptr}};

PyType_Spec ENU_spec = {"velarion.frames.frames.ENU", sizeof(fr::ENUObject), 0, kFlags, ENU_slots};

PyMethodDef PIC_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};
PyMethodDef RPC_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyType_Slot PIC_slots[] = {{Py_tp_doc, (void*)"Pseudo-Radial, in-track, cross-track"},
                           {Py_tp_new, (void*)core::entry<Frame_new>},
                           {Py_tp_dealloc, (void*)core::entry<Frame_dealloc>},
                           {Py_tp_traverse, (void*)core::entry<Frame_traverse>},
                           {Py_tp_clear, (void*)core::entry<Frame_clear>},
                           {Py_tp_methods, PIC_methods},
                           {0, nullptr}};
PyType_Slot RPC_slots[] = {{Py_tp_doc, (void*)"Radial, Pseudo-in-track, Cross-track"},
                           {Py_tp_new, (void*)core::entry<RPC_new>},
                           {Py_tp_dealloc, (void*)core::entry<Frame_dealloc>},
                           {Py_tp_traverse, (void*)core::entry<Frame_traverse>},
                           {Py_tp_clear, (void*)core::entry<Frame_clear>},
                           {Py_tp_methods, RPC_methods},
                           {0, nullptr}};

PyType_Spec PIC_spec = {"velarion.frames.frames.PIC", sizeof(fr::FrameObject), 0, kFlags, PIC_slots};
PyType_Spec RPC_spec = {"velarion.frames.frames.RPC", sizeof(fr::FrameObject), 0, kFlags, RPC_slots};

// ===========================================================================
// Module

PyObject* get_GCRF(PyObject*, PyObject*) { return Py_NewRef(g_GCRF); }
PyObject* get_TEME(PyObject*, PyObject*) { return Py_NewRef(g_TEME); }
PyObject* get_ITRF(PyObject*, PyObject*) { return Py_NewRef(g_ITRF); }

// The accessors of the singletons, annotated to return "Frame": added at
// start-up through core::add_annotated_function, each after its singleton.
PyMethodDef get_GCRF_def = {"get_GCRF", core::entry<get_GCRF>, METH_NOARGS, "get_GCRF() -> Frame"};
PyMethodDef get_TEME_def = {"get_TEME", core::entry<get_TEME>, METH_NOARGS, "get_TEME() -> Frame"};
PyMethodDef get_ITRF_def = {"get_ITRF", core::entry<get_ITRF>, METH_NOARGS, "get_ITRF() -> Frame"};

// `from <module> import <name>` into the module namespace under `as`.
int import_name(PyObject* module, const char* from, const char* name, const char* as) {
    Ref mod = Ref::steal(PyImport_ImportModule(from));
    if (!mod) return -1;
    Ref obj = Ref::steal(PyObject_GetAttrString(mod.get(), name));
    if (!obj) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, from);
        }
        return -1;
    }
    return PyModule_AddObjectRef(module, as, obj.get());
}

// Sets the annotated methods of `owner`.
int add_annotated(PyTypeObject* method_type, PyTypeObject* owner, std::span<AnnotatedDef> defs) {
    for (AnnotatedDef& d : defs) {
        int r = d.class_method ? core::add_annotated_classmethod(method_type, owner, &d.def, d.params, d.returns)
                               : core::add_annotated_method(method_type, owner, &d.def, d.params, d.returns);
        if (r < 0) return -1;
    }
    return 0;
}

PyTypeObject* add_subtype(PyObject* module, PyType_Spec* spec) {
    return core::add_type(module, spec, reinterpret_cast<PyObject*>(fr::Frame_Type));
}

// Creates a singleton, stores it in its variable, defines its accessor and
// enters it in the registry.
int make_singleton(PyTypeObject* type, PyObject*& variable, PyObject* module, PyTypeObject* function_type,
                   PyMethodDef* accessor, PyObject* registry, const char* key) {
    PyObject* obj = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type));
    if (!obj) return -1;
    core::replace_slot(variable, obj);
    if (core::add_annotated_function(function_type, module, accessor, {}, "Frame") < 0) return -1;
    return PyDict_SetItemString(registry, key, obj);
}

PyObject* frames_create(PyObject* spec, PyModuleDef*) { return g_once.create(spec); }

int frames_exec(PyObject* module) {
    if (int r = g_once.enter(module, "frames"); r <= 0) return r;
    Ref registry;
    Ref method_type;    // the wrappers of the annotated methods keep their type alive
    Ref function_type;  // likewise for the module functions
    PyTypeObject* mt = nullptr;
    PyTypeObject* ft = nullptr;
    VELARION_CHECK(make_names());

    // 1. The C-level variables, None until the singletons exist.
    g_GCRF = Py_NewRef(Py_None);
    g_ITRF = Py_NewRef(Py_None);
    g_TEME = Py_NewRef(Py_None);
    fr::GCRF = &g_GCRF;
    fr::ITRF = &g_ITRF;
    fr::TEME = &g_TEME;
    VELARION_CHECK(core::capi_publish(module, "GCRF", &g_GCRF, fr::kGCRFVarType));
    VELARION_CHECK(core::capi_publish(module, "ITRF", &g_ITRF, fr::kITRFVarType));
    VELARION_CHECK(core::capi_publish(module, "TEME", &g_TEME, fr::kTEMEVarType));

    // 2. The classes and their method tables.
    VELARION_CHECK(fr::Frame_Type = core::add_type(module, &Frame_spec));
    VELARION_CHECK(fr::GCRF_Type = add_subtype(module, &GCRF_spec));
    VELARION_CHECK(core::vtable_publish(fr::GCRF_Type, &g_gcrf_vtable, fr::kGCRFVTableType));
    VELARION_CHECK(fr::ITRF_Type = add_subtype(module, &ITRF_spec));
    VELARION_CHECK(core::vtable_publish(fr::ITRF_Type, &g_itrf_vtable, fr::kITRFVTableType));
    VELARION_CHECK(fr::TEME_Type = add_subtype(module, &TEME_spec));
    VELARION_CHECK(core::vtable_publish(fr::TEME_Type, &g_teme_vtable, fr::kTEMEVTableType));
    VELARION_CHECK(fr::ENU_Type = add_subtype(module, &ENU_spec));
    VELARION_CHECK(core::vtable_publish(fr::ENU_Type, &g_enu_vtable, fr::kENUVTableType));
    VELARION_CHECK(g_PIC_Type = add_subtype(module, &PIC_spec));
    VELARION_CHECK(g_RPC_Type = add_subtype(module, &RPC_spec));

    // 3. Outside C-level interfaces.
    VELARION_CHECK(core::import_numpy());
    VELARION_CHECK(velarion::time::import_time());
    VELARION_CHECK(ell::import_ellipsoid());
    VELARION_CHECK(vt::import_vectools());

    // 4. Python-level names.
    {
        Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
        VELARION_CHECK(numpy.get());
        VELARION_CHECK(PyModule_AddObjectRef(module, "numpy", numpy.get()));
    }
    VELARION_CHECK(import_name(module, "collections", "deque", "deque"));
    VELARION_CHECK(import_name(module, "velarion.iers", "EOP", "EOP"));
    VELARION_CHECK(import_name(module, "typing", "Callable", "Callable"));
    VELARION_CHECK(import_name(module, "velarion.typing", "DatetimeLike", "DatetimeLike"));

    // 5. The frame registry.
    registry = Ref::steal(PyDict_New());
    VELARION_CHECK(registry.get());
    VELARION_CHECK(PyObject_SetAttr(reinterpret_cast<PyObject*>(fr::Frame_Type), S.instances, registry.get()));
    method_type = Ref::steal(reinterpret_cast<PyObject*>(core::annotated_method_type(module)));
    VELARION_CHECK(method_type.get());
    mt = reinterpret_cast<PyTypeObject*>(method_type.get());
    VELARION_CHECK(add_annotated(mt, fr::Frame_Type, Frame_annotated));

    // 6. The conversion methods of the standard frames.
    VELARION_CHECK(add_annotated(mt, fr::GCRF_Type, GCRF_annotated));
    VELARION_CHECK(add_annotated(mt, fr::ITRF_Type, ITRF_annotated));
    VELARION_CHECK(add_annotated(mt, fr::TEME_Type, TEME_annotated));

    // 7-9. The singletons and their accessors, in registry order.
    function_type = Ref::steal(reinterpret_cast<PyObject*>(core::annotated_function_type(module)));
    VELARION_CHECK(function_type.get());
    ft = reinterpret_cast<PyTypeObject*>(function_type.get());
    VELARION_CHECK(make_singleton(fr::GCRF_Type, g_GCRF, module, ft, &get_GCRF_def, registry.get(), "GCRF"));
    VELARION_CHECK(make_singleton(fr::TEME_Type, g_TEME, module, ft, &get_TEME_def, registry.get(), "TEME"));
    VELARION_CHECK(make_singleton(fr::ITRF_Type, g_ITRF, module, ft, &get_ITRF_def, registry.get(), "ITRF"));

    // 10. ENU's default ellipsoid and methods.
    g_default_ell = Py_NewRef(*ell::WGS84);
    VELARION_CHECK(add_annotated(mt, fr::ENU_Type, ENU_annotated));
    return 0;
error:
    return -1;
}

PyModuleDef_Slot frames_slots[] = {
    {Py_mod_create, (void*)core::entry<frames_create>}, {Py_mod_exec, (void*)core::entry<frames_exec>}, {0, nullptr}};

PyModuleDef frames_def = {PyModuleDef_HEAD_INIT,
                          "velarion.frames.frames",
                          "Reference frames: the frame registry and transform graph, the standard frames GCRF,\n"
                          "ITRF and TEME with their conversions, topocentric ENU frames, PIC and RPC.",
                          0,
                          nullptr,
                          frames_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_frames() { return PyModuleDef_Init(&frames_def); }
