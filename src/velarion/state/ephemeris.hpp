// C-level interface of velarion.state.ephemeris: the instance layouts of
// Ephemeris and its subclasses, which importers check against their
// compiled sizeof, and the binder.
//
// Every array member is an owned, C-contiguous, aligned float64 NumPy array
// that the ephemeris made itself (inputs are copied), together with a
// pointer to its first element, so compiled readers index rows directly
// without taking a buffer. Array members are NULL (and their data pointers
// NULL, size 0) until the instance is initialised; a reader must test the
// pointer before the first access. `size` always equals the row count of
// the arrays: only a new call of the subclass's __init__ replaces them
// (pointers and size together), and the base __init__ refuses to change the
// size of an ephemeris that holds arrays. The memory behind the pointers
// belongs to the arrays' base (a capsule), the arrays are never handed out
// (Python users get other arrays over the same memory), so nothing resizes
// or moves it while the array lives.
//
// Whatever runs Python code (a call into Python, an allocation that starts
// a collection) may re-initialise the instance: a reader reads the size and
// the pointers together, holds references to the arrays it reads, and does
// not read the instance again after such a call.
#ifndef VELARION_STATE_EPHEMERIS_HPP
#define VELARION_STATE_EPHEMERIS_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::state {

struct EphemerisObject {
    PyObject_HEAD
    PyObject* time;   // velarion.time.time.Time of `size` epochs (owned)
    PyObject* frame;  // the frame object (owned), or None
    Py_ssize_t size;  // number of epochs N
};

// Positions and velocities: r and v are (N, 3) arrays, row i at epoch i.
// Element (i, j) is r_data[3 * i + j] (row stride 3 doubles).
struct StateVectorEphemerisObject {
    EphemerisObject base;
    PyObject* r;     // (N, 3) float64, m
    PyObject* v;     // (N, 3) float64, m/s
    double* r_data;  // first element of r
    double* v_data;  // first element of v
};

// Classical elements of N epochs under one gravitational parameter: seven
// (N,) arrays, entry i at epoch i.
struct COEEphemerisObject {
    EphemerisObject base;
    double GM;  // m^3/s^2
    PyObject* ecc;
    PyObject* sma;  // m
    PyObject* inc;  // rad
    PyObject* raa;  // rad
    PyObject* arp;  // rad
    PyObject* tra;  // rad
    PyObject* slr;  // m
    double* ecc_data;
    double* sma_data;
    double* inc_data;
    double* raa_data;
    double* arp_data;
    double* tra_data;
    double* slr_data;
};

// Earth-fixed points of N epochs: three (N,) arrays and the ellipsoid.
struct GeoStateEphemerisObject {
    EphemerisObject base;
    PyObject* lat;  // rad
    PyObject* lon;  // rad
    PyObject* alt;  // m
    double* lat_data;
    double* lon_data;
    double* alt_data;
    PyObject* ell;  // velarion.mathtools.ellipsoid.ellipsoid.Ellipsoid (owned)
};

inline PyTypeObject* Ephemeris_Type = nullptr;
inline PyTypeObject* StateVectorEphemeris_Type = nullptr;
inline PyTypeObject* COEEphemeris_Type = nullptr;
inline PyTypeObject* GeoStateEphemeris_Type = nullptr;

inline bool Ephemeris_Check(PyObject* obj) { return PyObject_TypeCheck(obj, Ephemeris_Type); }
inline bool StateVectorEphemeris_Check(PyObject* obj) { return PyObject_TypeCheck(obj, StateVectorEphemeris_Type); }
inline bool COEEphemeris_Check(PyObject* obj) { return PyObject_TypeCheck(obj, COEEphemeris_Type); }
inline bool GeoStateEphemeris_Check(PyObject* obj) { return PyObject_TypeCheck(obj, GeoStateEphemeris_Type); }

// Writes the positions [m] and velocities [m/s] of n epochs into r and v
// ((n, 3) row-major, not initialised): 0 once every row is written, 1 to
// decline (an epoch has no finite state, say). It raises nothing and may
// release the interpreter lock while it computes.
using StateRowsFill = int (*)(void* context, double* r, double* v);

// c_states_from_rows(time, frame, n, fill, context): the result of
// COEEphemeris(time, frame=frame, GM=..., <n element rows>).to_sv() for
// element rows whose states fill(context, r, v) computes (bit for bit what
// to_sv computes of them), without making the element arrays: the epochs
// and the frame are checked and resolved as the constructor does, after
// fill has run. A new StateVectorEphemeris; nullptr with an exception set
// on failure; Py_None (a new reference) when fill declines or when the
// class's construction or to_sv has been replaced since the module was
// imported. On Py_None the caller takes the long way, which runs those
// replacements or raises the error that the declining fill avoided.
using c_states_from_rows_t = PyObject* (*)(PyObject* time, PyObject* frame, Py_ssize_t n, StateRowsFill fill,
                                           void* context);
inline constexpr const char* kStatesFromRowsType =
    "PyObject *(PyObject *, PyObject *, Py_ssize_t, int (*)(void *, double *, double *), void *)";

inline c_states_from_rows_t c_states_from_rows = nullptr;

// Binds the four types and c_states_from_rows; 0, or -1 with an exception
// set (the import fails).
inline int import_ephemeris() {
    if (GeoStateEphemeris_Type) return 0;
    static const core::BoundType types[] = {
        {"Ephemeris", sizeof(EphemerisObject), &Ephemeris_Type},
        {"StateVectorEphemeris", sizeof(StateVectorEphemerisObject), &StateVectorEphemeris_Type},
        {"COEEphemeris", sizeof(COEEphemerisObject), &COEEphemeris_Type},
        {"GeoStateEphemeris", sizeof(GeoStateEphemerisObject), &GeoStateEphemeris_Type},
    };
    static const core::BoundFunction functions[] = {
        {"c_states_from_rows", kStatesFromRowsType, core::function_slot(&c_states_from_rows)}};
    return core::bind_module({.module = "velarion.state.ephemeris", .types = types, .functions = functions});
}

}  // namespace velarion::state

#endif
