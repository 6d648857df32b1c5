// C-level interface of velarion.state.state: the instance layouts of State
// and its subclasses, which importers check against their compiled sizeof,
// and the binder.
//
// A subclass layout embeds its base layout as its first member, so a
// pointer to any state is also a pointer to its StateObject. The states have
// no C-level method table: their conversions (to_sv, to_coe) are called
// through Python attributes, so that a Python subclass's override is used.
#ifndef VELARION_STATE_STATE_HPP
#define VELARION_STATE_STATE_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::state {

struct StateObject {
    PyObject_HEAD
    PyObject* time;   // velarion.time.time.Time (owned); never NULL once constructed
    PyObject* frame;  // the frame object (owned), or None
};

// One epoch of position and velocity.
struct StateVectorObject {
    StateObject base;
    double r[3];  // position, m
    double v[3];  // velocity, m/s
    double GM;    // gravitational parameter, m^3/s^2
};

// Classical orbital elements of one epoch. All members are plain doubles
// readable at C level; slr = sma * (1 - ecc * ecc).
struct COEObject {
    StateObject base;
    double GM;   // gravitational parameter, m^3/s^2
    double ecc;  // eccentricity
    double sma;  // semi-major axis, m (negative for hyperbolic orbits)
    double inc;  // inclination, rad
    double raa;  // right ascension of the ascending node, rad
    double arp;  // argument of periapsis, rad
    double tra;  // true anomaly, rad
    double slr;  // semi-latus rectum, m
};

// A point fixed to the Earth, in geodetic coordinates on an ellipsoid.
struct GeoStateObject {
    StateObject base;
    double lat;     // geodetic latitude, rad
    double lon;     // longitude, rad
    double alt;     // height above the ellipsoid, m
    PyObject* ell;  // velarion.mathtools.ellipsoid.ellipsoid.Ellipsoid (owned)
};

inline PyTypeObject* State_Type = nullptr;
inline PyTypeObject* StateVector_Type = nullptr;
inline PyTypeObject* COE_Type = nullptr;
inline PyTypeObject* GeoState_Type = nullptr;

inline bool State_Check(PyObject* obj) { return PyObject_TypeCheck(obj, State_Type); }
inline bool StateVector_Check(PyObject* obj) { return PyObject_TypeCheck(obj, StateVector_Type); }
inline bool COE_Check(PyObject* obj) { return PyObject_TypeCheck(obj, COE_Type); }
inline bool GeoState_Check(PyObject* obj) { return PyObject_TypeCheck(obj, GeoState_Type); }

// Binds the four types; 0, or -1 with an exception set (the import fails).
inline int import_state() {
    if (GeoState_Type) return 0;
    static const core::BoundType types[] = {
        {"State", sizeof(StateObject), &State_Type},
        {"StateVector", sizeof(StateVectorObject), &StateVector_Type},
        {"COE", sizeof(COEObject), &COE_Type},
        {"GeoState", sizeof(GeoStateObject), &GeoState_Type},
    };
    return core::bind_module({"velarion.state.state", types});
}

}  // namespace velarion::state

#endif
