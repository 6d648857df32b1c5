// Part of velarion.frames.frames' translation unit (included by frames.cpp
// only, after its namespace aliases): ENU, the topocentric frame of a ground
// station: its rotations, its C-level conversions (which may run without
// the interpreter lock), its construction and its class.
#ifndef VELARION_FRAMES_PARTS_ENU_HPP
#define VELARION_FRAMES_PARTS_ENU_HPP

namespace {

void ENU_c_rot_to_ITRF(fr::ENUObject* self, double rot[3][3]) { kn::enu_rot_to_itrf(self->lat, self->lon, rot); }
void ENU_c_rot_from_ITRF(fr::ENUObject* self, double rot[3][3]) { kn::enu_rot_from_itrf(self->lat, self->lon, rot); }

// Shape checks of the ENU conversions: any number of positions, a velocity
// per position, x, y, z only. They may run without the interpreter lock, so
// the lock is taken to report a failure.
bool enu_shapes_ok(const fr::View& r_in, const fr::View& v_in, const fr::View& r_out, const fr::View& v_out) {
    ShapeFault fault;
    if (check_vectors(r_in.rows, "position", r_in, v_in, r_out, v_out, fault)) return true;
    core::EnsureGil gil;
    raise_shape_fault(fault);
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

// From this many rows on, the compiled product runs on every core.
// On the calling thread at any size: the product is bound by memory, and
// the fresh result arrays' first-touch page faults, taken by several
// threads at once, contend in the kernel (two threads doubled the system
// time of 10^6 rows and made a call's time vary severalfold) for a small
// gain at best.
bool enu_apply(double R[3][3], const double pre[3], const double post[3], const fr::View& r_in, const fr::View& v_in,
               const fr::View& r_out, const fr::View& v_out) {
    if (vt::mat_x_vec == vt::mat_x_vec_own)
        return kn::enu_apply(CompiledProduct{}, R, pre, post, r_in, v_in, r_out, v_out);
    return kn::enu_apply(BoundProduct{vt::mat_x_vec}, R, pre, post, r_in, v_in, r_out, v_out);
}

int ENU_c_to_ITRF(fr::ENUObject* self, PyObject*, const fr::View& r_ENU, const fr::View& v_ENU, const fr::View& r_ITRF,
                  const fr::View& v_ITRF) {
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
    Ref to_itrf = Ref::steal(PyObject_GetAttr(self.get(), g_names[kToItrf]));
    if (!to_itrf) return nullptr;
    Ref table = Ref::steal(PyDict_New());
    if (!table || PyDict_SetItem(table.get(), g_ITRF, to_itrf.get()) < 0) return nullptr;
    core::replace_slot(e->base._transforms, table.release());
    Ref from_itrf = Ref::steal(PyObject_GetAttr(self.get(), g_names[kFromItrf]));
    if (!from_itrf) return nullptr;
    Ref itrf = Ref::borrow(g_ITRF);
    Ref done = Ref::steal(
        PyObject_CallMethodObjArgs(itrf.get(), g_names[kRegisterTransform], self.get(), from_itrf.get(), nullptr));
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

// A cleared ENU reads as one whose table and ellipsoid are None.
int ENU_clear(PyObject* self) {
    Py_CLEAR(as_enu(self)->ell);
    return Frame_clear(self);
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

PyObject* ENU_rot_to_ITRF(PyObject* self, PyObject*) { return rotation_array(self, as_enu(self)->vtab->c_rot_to_ITRF); }

PyObject* ENU_rot_from_ITRF(PyObject* self, PyObject*) {
    return rotation_array(self, as_enu(self)->vtab->c_rot_from_ITRF);
}

constexpr core::Signature kEnuToItrfSig{"to_ITRF", kFromEnuNames, 3};
constexpr core::Signature kEnuFromItrfSig{"from_ITRF", kFromItrfNames, 3};

constexpr auto ENU_to_ITRF = conversion_method<fr::ENUObject, &fr::ENUVTable::c_to_ITRF, kEnuToItrfSig>;
constexpr auto ENU_from_ITRF = conversion_method<fr::ENUObject, &fr::ENUVTable::c_from_ITRF, kEnuFromItrfSig>;

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

// --- type --------------------------------------------------------------------

AnnotatedDef ENU_annotated[] = {
    {.def = {"rot_to_ITRF", core::entry<ENU_rot_to_ITRF>, METH_NOARGS, kEnuRotToItrfDoc}, .returns = kArray},
    {.def = {"rot_from_ITRF", core::entry<ENU_rot_from_ITRF>, METH_NOARGS, kEnuRotFromItrfDoc}, .returns = kArray},
    {.def = {"to_ITRF", VELARION_FASTCALL(ENU_to_ITRF), METH_FASTCALL | METH_KEYWORDS, kEnuToItrfDoc},
     .params = kFromENUParams,
     .returns = kPair},
    {.def = {"from_ITRF", VELARION_FASTCALL(ENU_from_ITRF), METH_FASTCALL | METH_KEYWORDS, kEnuFromItrfDoc},
     .params = kFromITRFParams,
     .returns = kPair},
};

PyMethodDef ENU_methods[] = {VELARION_NO_PICKLE_METHODS, {nullptr, nullptr, 0, nullptr}};

PyGetSetDef ENU_getset[] = {{"r_station_ITRF", core::entry<ENU_get_r_station>, nullptr, kEnuStationDoc, nullptr},
                            {"ell", core::entry<ENU_get_ell>, nullptr, nullptr, nullptr},
                            {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot ENU_slots[] = {{Py_tp_doc, (void*)kENUDoc},
                           {Py_tp_new, (void*)core::entry<ENU_new>},
                           {Py_tp_init, (void*)core::entry<ENU_init>},
                           {Py_tp_dealloc, (void*)core::entry<core::gc_dealloc<ENU_clear>>},
                           {Py_tp_traverse, (void*)core::entry<ENU_traverse>},
                           {Py_tp_clear, (void*)core::entry<ENU_clear>},
                           {Py_tp_methods, ENU_methods},
                           {Py_tp_getset, ENU_getset},
                           {0, nullptr}};

PyType_Spec ENU_spec = {"velarion.frames.frames.ENU", sizeof(fr::ENUObject), 0, kFlags, ENU_slots};

}  // namespace

#endif
