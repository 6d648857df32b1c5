// C-level interface of velarion.time.time: the Time layout that importers
// check (their compiled sizeof must match) and the binder.
//
// Other modules read Time through its Python attributes (tt, ut1, utc, jd12,
// mjd) so that a Python subclass's overrides are what they see; the layout
// is published for the size check and for fast paths inside the time module.
#ifndef VELARION_TIME_TIME_HPP
#define VELARION_TIME_TIME_HPP

#include "velarion/_core/capi.hpp"

namespace velarion::time {

// The date element type of velarion.time.format (numpy.float64): two-part
// Julian Date arrays are arrays of it.
using jd_t = double;

struct TimeObject {
    PyObject_HEAD
    PyObject* jd1;  // float64 ndarray of the epochs' shape: first part of the two-part JD
    PyObject* jd2;  // float64 ndarray, same shape: second part
    int scale;      // 0 UTC, 1 TAI, 2 TT, 3 UT1 (kernels::Scale in time/kernels/scales.hpp)
};

inline PyTypeObject* Time_Type = nullptr;

inline bool Time_Check(PyObject* obj) { return PyObject_TypeCheck(obj, Time_Type); }

inline int import_time() {
    if (Time_Type) return 0;
    static const core::BoundType types[] = {{"Time", sizeof(TimeObject), &Time_Type}};
    return core::bind_module({"velarion.time.time", types});
}

}  // namespace velarion::time

#endif
