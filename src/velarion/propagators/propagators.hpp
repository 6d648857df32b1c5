// C-level interface of velarion.propagators.propagators: the Propagator base
// layout and its three-slot method table, which subclasses (in other
// modules) extend by appending slots.
#ifndef VELARION_PROPAGATORS_PROPAGATORS_HPP
#define VELARION_PROPAGATORS_PROPAGATORS_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::propagators {

struct PropagatorObject;

// Each slot returns 0, or -1 with an exception set. The base versions raise
// NotImplementedError.
struct PropagatorVTable {
    // Gravity-gradient block d(acceleration)/d(position), 9 values row-major.
    int (*c_jac_r)(PropagatorObject* self, double t, const double* r, const double* v, double* out9);
    // d(acceleration)/d(velocity), 9 values row-major.
    int (*c_jac_v)(PropagatorObject* self, double t, const double* r, const double* v, double* out9);
    // Acceleration, 3 values.
    int (*c_accel)(PropagatorObject* self, double t, const double* r, const double* v, double* out3);
};
inline constexpr const char* kPropagatorVTableType = "struct velarion::propagators::PropagatorVTable";

struct PropagatorObject {
    PyObject_HEAD
    PropagatorVTable* vtab;
};

inline PyTypeObject* Propagator_Type = nullptr;

inline bool Propagator_Check(PyObject* obj) { return PyObject_TypeCheck(obj, Propagator_Type); }

inline int import_propagators() {
    if (Propagator_Type) return 0;
    static const core::BoundType types[] = {
        {"Propagator", sizeof(PropagatorObject), &Propagator_Type, kPropagatorVTableType, sizeof(PropagatorVTable)}};
    return core::bind_module({"velarion.propagators.propagators", types});
}

}  // namespace velarion::propagators

#endif
