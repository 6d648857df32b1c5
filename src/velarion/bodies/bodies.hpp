// C-level interface of velarion.bodies.bodies: the celestial-body types.
// The bodies carry their constants as class attributes (name, GM, radius,
// and J2 for the Earth); instances hold nothing, so all four types share
// one layout. Importers bind the types by size.
#ifndef VELARION_BODIES_BODIES_HPP
#define VELARION_BODIES_BODIES_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::bodies {

struct CelestialBodyObject {
    PyObject_HEAD
};

inline PyTypeObject* CelestialBody_Type = nullptr;
inline PyTypeObject* Earth_Type = nullptr;
inline PyTypeObject* Sun_Type = nullptr;
inline PyTypeObject* Moon_Type = nullptr;

inline bool CelestialBody_Check(PyObject* obj) { return PyObject_TypeCheck(obj, CelestialBody_Type); }

inline int import_bodies() {
    if (CelestialBody_Type) return 0;
    static const core::BoundType types[] = {
        {"CelestialBody", sizeof(CelestialBodyObject), &CelestialBody_Type},
        {"Earth", sizeof(CelestialBodyObject), &Earth_Type},
        {"Sun", sizeof(CelestialBodyObject), &Sun_Type},
        {"Moon", sizeof(CelestialBodyObject), &Moon_Type},
    };
    return core::bind_module({"velarion.bodies.bodies", types});
}

}  // namespace velarion::bodies

#endif
