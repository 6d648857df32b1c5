// Binding-layer helpers shared by the state and ephemeris modules: frame
// arguments, epoch counts and the defaults read from other modules. Each
// module compiles its own copy (one translation unit per module).
#ifndef VELARION_STATE_BINDING_HPP
#define VELARION_STATE_BINDING_HPP

#include "velarion/_core/core.hpp"
#include "velarion/state/kernels/elements.hpp"

#include <cstring>

namespace velarion::state::binding {

// Attribute names read on every call, interned by each module at start-up
// (VELARION_CHECK(binding::g_names.init())).
inline core::InternedNames g_names{"size", "shape", "to_sv", "to_coe"};
enum Name : size_t { kSize, kShape, kToSv, kToCoe };

// The Frame class of velarion.frames.frames, imported on first use: the
// frames module imports after the state modules, so it cannot be bound at
// start-up. Borrowed (kept for the life of the process), or nullptr with an
// exception set.
inline PyObject* frame_class() {
    static PyObject* cls = nullptr;
    if (!cls) {
        core::Ref mod = core::Ref::steal(PyImport_ImportModule("velarion.frames.frames"));
        if (!mod) return nullptr;
        cls = PyObject_GetAttrString(mod.get(), "Frame");
    }
    return cls;
}

// A frame argument: a text names a registered frame (Frame[name], so an
// unknown name is a KeyError); a Frame instance or None is kept as is.
// Returns a new reference, or an empty Ref with an exception set.
inline core::Ref resolve_frame(PyObject* frame) {
    if (frame == Py_None) return core::Ref::borrow(frame);
    PyObject* cls = frame_class();
    if (!cls) return {};
    if (PyUnicode_Check(frame)) return core::Ref::steal(PyObject_GetItem(cls, frame));
    int ok = PyObject_IsInstance(frame, cls);
    if (ok < 0) return {};
    if (!ok) {
        PyErr_Format(PyExc_TypeError,
                     "Argument 'frame' has incorrect type (expected a Frame, a frame name or None, got %.200s)",
                     Py_TYPE(frame)->tp_name);
        return {};
    }
    return core::Ref::borrow(frame);
}

// The frame argument as given, or the name of the default frame where the
// caller gave none (None is a frame argument of its own).
inline core::Ref frame_or_default(PyObject* given, const char* default_name) {
    if (given) return core::Ref::borrow(given);
    return core::Ref::steal(PyUnicode_FromString(default_name));
}

// The number of epochs of a Time, read through its `size` attribute (so a
// subclass's override is what counts); -1 with an exception set.
inline Py_ssize_t time_size(PyObject* time) {
    core::Ref size = core::Ref::steal(PyObject_GetAttr(time, g_names[kSize]));
    if (!size) return -1;
    const Py_ssize_t n = PyNumber_AsSsize_t(size.get(), PyExc_OverflowError);
    if (n < 0 && !PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "time.size must not be negative (got %zd)", n);
    }
    return n < 0 ? -1 : n;
}

// Earth's GM from velarion.bodies.bodies.Earth.GM, read once at start-up.
inline bool read_earth_gm(double& out) {
    core::Ref mod = core::Ref::steal(PyImport_ImportModule("velarion.bodies.bodies"));
    if (!mod) return false;
    core::Ref earth = core::Ref::steal(PyObject_GetAttrString(mod.get(), "Earth"));
    if (!earth) return false;
    core::Ref gm = core::Ref::steal(PyObject_GetAttrString(earth.get(), "GM"));
    if (!gm) return false;
    return core::to_double(gm.get(), out);
}

// Puts `value` into an object slot and leaves the slot's previous object in
// `value`, to be dropped (which may run Python code) only once the instance
// is whole again.
inline void swap_in(PyObject*& slot, core::Ref& value) noexcept {
    PyObject* old = slot;
    slot = value.release();
    value = core::Ref::steal(old);
}

// The class name without its module, as reprs show it.
inline const char* short_name(PyTypeObject* type) {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

// A float argument (the __float__/__index__ protocol); `finite` refuses
// NaN and infinities with ValueError naming the argument.
inline bool float_arg(PyObject* obj, const char* name, double& out, bool finite = true) {
    if (!core::to_double(obj, out)) return false;
    if (finite && !std::isfinite(out)) {
        PyErr_Format(PyExc_ValueError, "%s must be finite (got %R)", name, obj);
        return false;
    }
    return true;
}

// Raises the exception that describes a failed element conversion. The
// texts are word for word: callers and tests compare them.
inline void raise_status(kernels::Status s, const char* where) {
    using kernels::Status;
    const char* what = "unknown failure";
    switch (s) {
        case Status::Ok: return;
        case Status::NonFinite: what = "the input is not finite (NaN or infinity)"; break;
        case Status::ZeroPosition: what = "the position is the zero vector"; break;
        case Status::Rectilinear:
            what = "position and velocity are parallel (zero angular momentum): the orbit has no plane";
            break;
        case Status::BadGM: what = "GM must be positive"; break;
        case Status::BadSlr:
            what =
                "the semi-latus rectum must be positive (sma and ecc describe no conic: an ellipse needs "
                "sma > 0 and ecc < 1, a hyperbola sma < 0 and ecc > 1)";
            break;
        case Status::BadEcc: what = "the eccentricity must not be negative"; break;
        case Status::OutOfRange: what = "the values overflow or underflow double precision"; break;
        case Status::BeyondAsymptote:
            what = "the true anomaly lies beyond the asymptotes of the hyperbolic orbit (1 + ecc*cos(tra) <= 0)";
            break;
    }
    PyErr_Format(PyExc_ValueError, "%s: %s", where, what);
}

}  // namespace velarion::state::binding

#endif
