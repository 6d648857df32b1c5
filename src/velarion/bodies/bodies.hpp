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

inline int import_bodies() {
    if (CelestialBody_Type) return 0;
    constexpr const char* mod = "velarion.bodies.bodies";
    PyTypeObject* types[4] = {};
    const char* names[4] = {"CelestialBody", "Earth", "Sun", "Moon"};
    for (int i = 0; i < 4; ++i) {
        types[i] = core::type_bind(mod, names[i], sizeof(CelestialBodyObject));
        if (!types[i]) {
            for (int j = 0; j < i; ++j) Py_DECREF(types[j]);
            return -1;
        }
    }
    CelestialBody_Type = types[0];
    Earth_Type = types[1];
    Sun_Type = types[2];
    Moon_Type = types[3];
    return 0;
}

}  // namespace velarion::bodies

#endif
