// C-level interface of velarion.propagators.analytical.sgp4._compiled: the
// layout of Records, a read-only catalogue of SGP4 records, and the binder.
// Other modules read the records directly (no call back into Python), from
// any thread: nothing in a Records object changes after it is built.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_RECORDS_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_RECORDS_HPP

#include "velarion/_core/capi.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/sample.hpp"

namespace velarion::propagators::analytical::sgp4 {

struct RecordsObject {
    PyObject_HEAD
    kernels::Sgp4Object* objects;  // `size` records (owned)
    Py_ssize_t size;
    PyObject* elements;  // (size, 12) float64, read-only: what each record was started from
    PyObject* codes;     // (size,) int64, read-only: the model's code at each epoch
    PyObject* satnums;   // tuple: the catalogue number of each element set, or None
    PyObject* gravity;   // tuple: the gravity model's name of each record
};

inline PyTypeObject* Records_Type = nullptr;

inline bool Records_Check(PyObject* obj) { return PyObject_TypeCheck(obj, Records_Type); }

inline int import_records() {
    if (Records_Type) return 0;
    static const core::BoundType types[] = {{"Records", sizeof(RecordsObject), &Records_Type}};
    return core::bind_module({"velarion.propagators.analytical.sgp4._compiled", types});
}

}  // namespace velarion::propagators::analytical::sgp4

#endif
