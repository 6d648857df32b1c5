// C-level interface of velarion.utils.representable: the Representable base
// type (no data; subclasses extend its layout) and its binder.
#ifndef VELARION_UTILS_REPRESENTABLE_HPP
#define VELARION_UTILS_REPRESENTABLE_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::utils {

struct RepresentableObject {
    PyObject_HEAD
};

inline PyTypeObject* Representable_Type = nullptr;

inline bool Representable_Check(PyObject* obj) { return PyObject_TypeCheck(obj, Representable_Type); }

inline int import_representable() {
    if (Representable_Type) return 0;
    static const core::BoundType types[] = {{"Representable", sizeof(RepresentableObject), &Representable_Type}};
    return core::bind_module({"velarion.utils.representable", types});
}

}  // namespace velarion::utils

#endif
