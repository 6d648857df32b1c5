// Part of velarion.frames.frames' translation unit (included by frames.cpp
// only, after its namespace aliases): the Frame class, with the frame
// registry, each frame's table of direct transforms, the route search over
// the transform graph and the multi-hop conversion transform_to.
#ifndef VELARION_FRAMES_PARTS_GRAPH_HPP
#define VELARION_FRAMES_PARTS_GRAPH_HPP

namespace {

inline bool is_frame_or_none(PyObject* o) { return o == Py_None || PyObject_TypeCheck(o, fr::Frame_Type); }

// Word for word, this and the other exception texts of the graph (those
// of unpacking and name lookup are Python's own): callers and tests compare
// them.
bool refuse_not_frame(PyObject* o) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(o)->tp_name, fr::Frame_Type->tp_name);
    return false;
}

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

// A cleared frame reads as one whose table is None.
int Frame_clear(PyObject* self) {
    Py_CLEAR(as_frame(self)->_transforms);
    return 0;
}

// Identity hash, fixed for the frame's lifetime.
Py_hash_t Frame_hash(PyObject* self) {
    size_t y = reinterpret_cast<size_t>(self);
    y = (y >> 4) | (y << (8 * sizeof(void*) - 4));
    Py_hash_t h = static_cast<Py_hash_t>(y);
    return h == -1 ? -2 : h;
}

PyObject* Frame_hash_method(PyObject* self, PyObject*) { return PyLong_FromSsize_t(Frame_hash(self)); }

// The object in the frame's table slot (None where the collector cleared
// it), held: a call that uses it may run code that replaces the slot.
Ref table_of(PyObject* self) {
    PyObject* t = as_frame(self)->_transforms;
    return Ref::borrow(t ? t : Py_None);
}

PyObject* Frame_get_transforms_attr(PyObject* self, void*) { return table_of(self).release(); }

int Frame_set_transforms_attr(PyObject* self, PyObject* value, void*) {
    core::replace_slot(as_frame(self)->_transforms, Py_NewRef(value ? value : Py_None));
    return 0;
}

// The key under which `self` is first found in the registry, or "Unnamed".
PyObject* Frame_get_name(PyObject* self, void*) {
    Ref registry = Ref::steal(PyObject_GetAttr(self, g_names[kInstances]));
    if (!registry) return nullptr;
    if (PyDict_Check(registry.get())) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(registry.get(), &pos, &key, &value)) {
            if (value == self) return Py_NewRef(key);
        }
        return Py_NewRef(g_names[kUnnamed]);
    }
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(registry.get(), g_names[kItems]));
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
    return Py_NewRef(g_names[kUnnamed]);
}

// Frame[item]: the frame registered under item.upper() in Frame._instances.
PyObject* registry_lookup(PyObject* item) {
    if (!core::check_exact_str(item, "item")) return nullptr;
    Ref upper = Ref::steal(PyObject_CallMethodNoArgs(item, g_names[kUpper]));
    if (!upper) return nullptr;
    Ref registry = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(fr::Frame_Type), g_names[kInstances]));
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
    Ref upper = Ref::steal(PyObject_CallMethodNoArgs(a[0], g_names[kUpper]));
    if (!upper) return nullptr;
    Ref registry = Ref::steal(PyObject_GetAttr(cls, g_names[kInstances]));
    if (!registry) return nullptr;
    int found = PySequence_Contains(registry.get(), upper.get());
    if (found < 0) return nullptr;
    return PyBool_FromLong(found);
}

PyObject* Frame_transforms(PyObject* self, PyObject*) {
    Ref table = table_of(self);
    if (table.get() != Py_None && !PyDict_CheckExact(table.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(table.get())->tp_name);
        return nullptr;
    }
    return table.release();
}

constexpr const char* kRegisterNames[] = {"target_frame", "transform"};
constexpr core::Signature kRegisterSig{"register_transform", kRegisterNames, 2};

PyObject* Frame_register_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kRegisterSig, args, nargs, kwnames, a)) return nullptr;
    if (!core::check_arg_type(a[0], fr::Frame_Type, "target_frame", false)) return nullptr;
    if (PyObject_SetItem(table_of(self).get(), a[0], a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr const char* kRemoveNames[] = {"target_frame"};
constexpr core::Signature kRemoveSig{"remove_transform", kRemoveNames, 1};

PyObject* Frame_remove_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!core::parse_args(kRemoveSig, args, nargs, kwnames, a)) return nullptr;
    if (!core::check_arg_type(a[0], fr::Frame_Type, "target_frame", false)) return nullptr;
    Ref removed = Ref::steal(PyObject_CallMethodOneArg(table_of(self).get(), g_names[kPop], a[0]));
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
        Ref table = Ref::steal(PyObject_CallMethodNoArgs(current.get(), g_names[kTransforms]));
        if (!table) return nullptr;
        Ref keys;
        if (PyDict_CheckExact(table.get())) {
            keys = Ref::steal(PyDict_Keys(table.get()));
        } else {
            Ref view = Ref::steal(PyObject_CallMethodNoArgs(table.get(), g_names[kKeys]));
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
    Ref sname = Ref::steal(PyObject_GetAttr(src.get(), g_names[kName]));
    if (!sname) return nullptr;
    Ref tname = Ref::steal(PyObject_GetAttr(dst.get(), g_names[kName]));
    if (!tname) return nullptr;
    // Word for word (the repeated "from" included): callers match this text.
    PyErr_Format(PyExc_ValueError, "No route found from routh from %S to %S", sname.get(), tname.get());
    return nullptr;
}

constexpr const char* kRouteNames[] = {"source", "target"};
constexpr core::Signature kRouteSig{"get_route", kRouteNames, 2};

PyObject* Frame_get_route(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!core::parse_args(kRouteSig, args, nargs, kwnames, a)) return nullptr;
    return find_route(a[0], a[1]);
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

// A writable C-contiguous copy of a read-only (or broadcast) 2-D float64
// buffer: the hops receive writable views, yet the caller's arrays are only
// read, so read-only input is served like any other.
Ref writable_copy(PyObject* obj) {
    core::View2D from;
    if (!from.acquire(obj, false)) return {};
    if (!from.readonly()) return Ref::borrow(obj);
    const npy_intp shape[2] = {from.shape(0), from.shape(1)};
    Ref copy = core::empty(2, shape);
    if (!copy) return {};
    const auto src = from.span2();
    double* to = core::data_of(copy.get());
    for (core::index_t i = 0; i < src.rows; ++i) {
        for (core::index_t j = 0; j < src.cols; ++j) *to++ = src(i, j);
    }
    return copy;
}

// `obj` as the memoryview that a hop receives and transform_to returns: the
// object is checked first (its own refusal messages), then the memoryview
// itself, so that what is passed on is the view that was checked even if
// the object would export something else on a second request.
Ref rows_view(PyObject* given) {
    Ref owned = writable_copy(given);
    if (!owned) return {};
    PyObject* obj = owned.get();
    if (!check_writable_2d(obj)) return {};
    Ref view = Ref::steal(PyMemoryView_FromObject(obj));
    if (!view || !check_writable_2d(view.get())) return {};
    return view;
}

// The conversion callable of the edge current -> next (identity of the
// key), read from current's table as it is now; nullptr without an
// exception when the table has no such edge.
Ref find_edge(PyObject* current, PyObject* next) {
    Ref table = Ref::steal(PyObject_CallMethodNoArgs(current, g_names[kTransforms]));
    if (!table) return {};
    if (PyDict_CheckExact(table.get())) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(table.get(), &pos, &key, &value)) {
            if (key == next) return Ref::borrow(value);
        }
        return {};
    }
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(table.get(), g_names[kItems]));
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

    Ref found = Ref::steal(PyObject_CallMethodObjArgs(self, g_names[kGetRoute], self, a[0], nullptr));
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
        Ref result = Ref::steal(PyObject_CallFunctionObjArgs(convert.get(), time, cur_r.get(), cur_v.get(), nullptr));
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

// --- type --------------------------------------------------------------------

AnnotatedDef Frame_annotated[] = {
    {.def = {"__class_getitem__", VELARION_FASTCALL(Frame_class_getitem), METH_FASTCALL | METH_KEYWORDS,
             kClassGetItemDoc},
     .params = kItemParams,
     .returns = "Frame",
     .class_method = true},
    {.def = {"is_frame", VELARION_FASTCALL(Frame_is_frame), METH_FASTCALL | METH_KEYWORDS, kIsFrameDoc},
     .params = kItemParams,
     .returns = "bool",
     .class_method = true},
    {.def = {"get_route", VELARION_FASTCALL(Frame_get_route), METH_FASTCALL | METH_KEYWORDS, kGetRouteDoc},
     .params = kRouteParams,
     .returns = "list[Frame]",
     .class_method = true},
    {.def = {"transforms", core::entry<Frame_transforms>, METH_NOARGS, kTransformsDoc},
     .returns = "dict[Frame, Callable]"},
    {.def = {"register_transform", VELARION_FASTCALL(Frame_register_transform), METH_FASTCALL | METH_KEYWORDS,
             kRegisterDoc},
     .params = kRegisterParams,
     .returns = "None"},
    {.def = {"remove_transform", VELARION_FASTCALL(Frame_remove_transform), METH_FASTCALL | METH_KEYWORDS, kRemoveDoc},
     .params = kRemoveParams,
     .returns = "None"},
    {.def = {"transform_to", VELARION_FASTCALL(Frame_transform_to), METH_FASTCALL | METH_KEYWORDS, kTransformToDoc},
     .params = kTransformToParams,
     .returns = kPair},
};

PyMethodDef Frame_methods[] = {{"__hash__", core::entry<Frame_hash_method>, METH_NOARGS | METH_COEXIST, kHashDoc},
                               VELARION_NO_PICKLE_METHODS,
                               {nullptr, nullptr, 0, nullptr}};

PyGetSetDef Frame_getset[] = {{"name", core::entry<Frame_get_name>, nullptr, kNameDoc, nullptr},
                              {"_transforms", core::entry<Frame_get_transforms_attr>,
                               core::entry<Frame_set_transforms_attr>, "_transforms: object", nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot Frame_slots[] = {{Py_tp_doc, (void*)kFrameDoc},
                             {Py_tp_new, (void*)core::entry<Frame_new>},
                             VELARION_GC_SLOTS(Frame_traverse, Frame_clear),
                             {Py_tp_hash, (void*)core::entry<Frame_hash>},
                             {Py_tp_methods, Frame_methods},
                             {Py_tp_getset, Frame_getset},
                             {0, nullptr}};

PyType_Spec Frame_spec = {"velarion.frames.frames.Frame", sizeof(fr::FrameObject), 0, kFlags, Frame_slots};

}  // namespace

#endif
