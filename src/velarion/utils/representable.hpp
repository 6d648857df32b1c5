// C-level interface of velarion.utils.representable: the Representable base
// type (no data; subclasses extend its layout) and its binder.
#ifndef VELARION_UTILS_REPRESENTABLE_HPP
#define VELARION_UTILS_REPRESENTABLE_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::representable {

struct RepresentableObject {
    PyObject_HEAD
};

inline PyTypeObject* Representable_Type = nullptr;

inline int import_representable() {
    if (Representable_Type) return 0;
    Representable_Type =
        core::type_bind("velarion.utils.representable", "Representable", sizeof(RepresentableObject));
    return Representable_Type ? 0 : -1;
}

}  // namespace velarion::representable

#endif
