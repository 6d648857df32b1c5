// C-level interface of velarion.propagators.analytical.sgp4.tle: the layouts
// of the mean-element-set base ELSET and of TLE, and the binder.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_TLE_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_TLE_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::propagators::analytical::sgp4 {

// Mean elements at an epoch. Angles in rad, mean motion in rad/s; ndot is
// half the first time derivative of the mean motion (rad/s^2) and nddot a
// sixth of the second (rad/s^3), as the element sets state them; bstar is
// the drag term in 1/Earth radii.
struct ELSETObject {
    PyObject_HEAD
    PyObject* name;   // str or None
    PyObject* epoch;  // velarion.time.time.Time, UTC
    double ndot;
    double nddot;
    double bstar;
    double inc;
    double raa;
    double ecc;
    double arp;
    double mea;
    double mnm;
};

// A two-line element set: the elements plus the catalogue fields and the
// two lines as given.
struct TLEObject {
    ELSETObject base;
    long satnum;         // catalogue number (Alpha-5 numbers decoded)
    long elnum;          // element set number
    long revnum;         // revolution number at epoch
    int classification;  // 'U', 'C', 'S' (the character code)
    int ephtype;         // ephemeris type digit (0 for SGP4 sets)
    PyObject* intldesg;  // international designator, str (may be empty)
    PyObject* line1;     // str
    PyObject* line2;     // str
};

inline PyTypeObject* ELSET_Type = nullptr;
inline PyTypeObject* TLE_Type = nullptr;

inline bool ELSET_Check(PyObject* obj) { return PyObject_TypeCheck(obj, ELSET_Type); }
inline bool TLE_Check(PyObject* obj) { return PyObject_TypeCheck(obj, TLE_Type); }

inline int import_tle() {
    if (TLE_Type) return 0;
    static const core::BoundType types[] = {
        {"ELSET", sizeof(ELSETObject), &ELSET_Type},
        {"TLE", sizeof(TLEObject), &TLE_Type},
    };
    return core::bind_module({"velarion.propagators.analytical.sgp4.tle", types});
}

}  // namespace velarion::propagators::analytical::sgp4

#endif
