// C-level interface of velarion.propagators.analytical.keplerian.keplerian:
// the Keplerian layout (a Propagator plus the gravitational parameter), its
// method table (the three Propagator slots, then its own three) and the
// binder that importing modules call.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_KEPLERIAN_KEPLERIAN_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_KEPLERIAN_KEPLERIAN_HPP

#include "velarion/_core/capi.hpp"
#include "velarion/propagators/propagators.hpp"

namespace velarion::propagators::analytical::keplerian {

struct KeplerianObject;

// Slots 1-3 are the Propagator table (slot 1, c_jac_r, is overridden), so a
// caller holding the base table reaches the override. Every slot reports
// failure with an exception set: nullptr for the object results, -1 for the
// int results.
struct KeplerianVTable {
    propagators::PropagatorVTable base;
    // True anomaly at each entry of `dt` (a 1-D float64 buffer of seconds from
    // the initial epoch, any stride): a new 1-D float64 array of its length.
    PyObject* (*propagate_tra)(KeplerianObject* self, PyObject* dt, double tra0, double ecc, double mnm);
    // Element ephemeris (a COEEphemeris) of `coe0` (a COE) at the epochs of
    // `time` (a Time). New reference.
    PyObject* (*c_propagate_state)(KeplerianObject* self, PyObject* time, PyObject* coe0);
    // Full 6x6 two-body Jacobian at position r (3 values), 36 values row-major.
    int (*c_jacobian)(KeplerianObject* self, const double* r, double* out36);
};
inline constexpr const char* kKeplerianVTableType =
    "struct velarion::propagators::analytical::keplerian::KeplerianVTable";

struct KeplerianObject {
    propagators::PropagatorObject base;  // base.vtab points at a KeplerianVTable
    double GM;                           // m^3/s^2, fixed at construction
};

inline KeplerianVTable* vtable_of(KeplerianObject* self) noexcept {
    return reinterpret_cast<KeplerianVTable*>(self->base.vtab);
}

inline PyTypeObject* Keplerian_Type = nullptr;

inline bool Keplerian_Check(PyObject* obj) { return PyObject_TypeCheck(obj, Keplerian_Type); }

inline int import_keplerian() {
    if (Keplerian_Type) return 0;
    if (propagators::import_propagators() < 0) return -1;
    static const core::BoundType types[] = {
        {"Keplerian", sizeof(KeplerianObject), &Keplerian_Type, kKeplerianVTableType, sizeof(KeplerianVTable)}};
    return core::bind_module({"velarion.propagators.analytical.keplerian.keplerian", types});
}

}  // namespace velarion::propagators::analytical::keplerian

#endif
