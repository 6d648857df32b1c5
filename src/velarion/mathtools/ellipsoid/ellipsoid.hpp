// C-level interface of velarion.mathtools.ellipsoid.ellipsoid.
#ifndef VELARION_MATHTOOLS_ELLIPSOID_ELLIPSOID_HPP
#define VELARION_MATHTOOLS_ELLIPSOID_ELLIPSOID_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::mathtools::ellipsoid {

struct EllipsoidObject;

struct EllipsoidVTable {
    // Writes the Earth-fixed Cartesian position (m) of (lat rad, lon rad,
    // alt m) into out; returns 0, or -1 with an exception set.
    int (*c_geodetic_to_cartesian)(EllipsoidObject* self, double out[3], double lat, double lon, double alt);
};
inline constexpr const char* kEllipsoidVTableType = "struct velarion::mathtools::ellipsoid::EllipsoidVTable";

struct EllipsoidObject {
    PyObject_HEAD
    EllipsoidVTable* vtab;
    double a;        // equatorial radius, m
    double f;        // flattening
    double b;        // polar radius, m
    double e2;       // first eccentricity squared
    PyObject* name;  // str
};

// Variables are published as the address of a module-level `PyObject*`
// holding the Ellipsoid object.
inline constexpr const char* kEllipsoidVarType = "velarion.mathtools.ellipsoid.ellipsoid.Ellipsoid *";

inline PyTypeObject* Ellipsoid_Type = nullptr;
inline PyObject** WGS84 = nullptr;
inline PyObject** GRS80 = nullptr;
inline PyObject** WGS72 = nullptr;

inline bool Ellipsoid_Check(PyObject* obj) { return PyObject_TypeCheck(obj, Ellipsoid_Type); }

inline int import_ellipsoid() {
    if (Ellipsoid_Type) return 0;
    static const core::BoundType types[] = {
        {"Ellipsoid", sizeof(EllipsoidObject), &Ellipsoid_Type, kEllipsoidVTableType, sizeof(EllipsoidVTable)}};
    static const core::BoundVariable variables[] = {
        {"GRS80", kEllipsoidVarType, &GRS80},
        {"WGS72", kEllipsoidVarType, &WGS72},
        {"WGS84", kEllipsoidVarType, &WGS84},
    };
    return core::bind_module({"velarion.mathtools.ellipsoid.ellipsoid", types, variables});
}

}  // namespace velarion::mathtools::ellipsoid

#endif
