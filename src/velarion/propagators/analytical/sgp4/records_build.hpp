// Part of velarion.propagators.analytical.sgp4._compiled (included by
// _compiled.cpp alone): building the records of a Records catalogue, from
// element sets (a TLE's row from its text, any other ELSET's from its
// fields) or from raw sgp4init rows, and the gravity models' names.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_RECORDS_BUILD_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_RECORDS_BUILD_HPP

#include "velarion/_core/core.hpp"
#include "velarion/_core/numpy.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/sample.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/tle_parse.hpp"
#include "velarion/propagators/analytical/sgp4/records.hpp"
#include "velarion/propagators/analytical/sgp4/tle.hpp"
#include "velarion/propagators/analytical/sgp4/tle_lines.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace velarion::propagators::analytical::sgp4::records_build {

namespace core = velarion::core;
namespace sgp4k = velarion::propagators::analytical::sgp4::kernels;
using core::Ref;

inline constexpr int kElementColumns = 12;
inline constexpr const char* kGravityNames[] = {"wgs72old", "wgs72", "wgs84"};
inline constexpr sgp4k::GravityModel kGravityModels[] = {sgp4k::GravityModel::wgs72old, sgp4k::GravityModel::wgs72,
                                                         sgp4k::GravityModel::wgs84};
// The Python function that puts the epochs of element sets other than TLEs
// on the model's scale (a TLE's comes from its text, here).
inline constexpr const char* kEpochsModule = "velarion.propagators.analytical.sgp4.records";
inline constexpr const char* kEpochsFunction = "elset_epochs";

inline RecordsObject* as_records(PyObject* o) noexcept { return reinterpret_cast<RecordsObject*>(o); }

// --- gravity models -------------------------------------------------------------

// The index of a gravity model's name (kGravityNames), or -1 with ValueError.
inline int gravity_index(PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "Records: a gravity model is a str, not %.200s", Py_TYPE(name)->tp_name);
        return -1;
    }
    for (int g = 0; g < 3; ++g)
        if (PyUnicode_CompareWithASCIIString(name, kGravityNames[g]) == 0) return g;
    PyErr_Format(PyExc_ValueError, "unknown gravity model %R; expected one of wgs72, wgs72old, wgs84", name);
    return -1;
}

// One model index per record: `gravity` a name for all, or a sequence of
// names (one per record).
inline bool gravity_indices(PyObject* gravity, Py_ssize_t n, std::vector<int>& out) {
    out.assign(static_cast<std::size_t>(n), 1);
    if (PyUnicode_Check(gravity)) {
        const int g = gravity_index(gravity);
        if (g < 0) return false;
        std::fill(out.begin(), out.end(), g);
        return true;
    }
    Ref items = Ref::steal(PySequence_Tuple(gravity));
    if (!items) return false;
    if (PyTuple_GET_SIZE(items.get()) != n) {
        PyErr_Format(PyExc_ValueError, "Records: gravity must be one model or one per element set (%zd), got %zd", n,
                     PyTuple_GET_SIZE(items.get()));
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int g = gravity_index(PyTuple_GET_ITEM(items.get(), i));
        if (g < 0) return false;
        out[static_cast<std::size_t>(i)] = g;
    }
    return true;
}

// --- building -------------------------------------------------------------------

// A new Records of `rows` (n x 12: jd, fr, epoch, bstar, ndot, nddot, ecco,
// argpo, inclo, mo, no_kozai, nodeo, sgp4init's arguments) with the given
// models and catalogue numbers (a tuple, stolen).
inline PyObject* build(PyTypeObject* type, const std::vector<double>& rows, const std::vector<int>& models,
                       Ref satnums) {
    const auto n = static_cast<npy_intp>(models.size());
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    RecordsObject* rec = as_records(self.get());
    rec->size = 0;
    rec->objects = new (std::nothrow) sgp4k::Sgp4Object[n > 0 ? n : 1];
    if (!rec->objects) return PyErr_NoMemory();
    npy_intp shape[2] = {n, kElementColumns};
    Ref elements = core::empty(2, shape);
    Ref codes = Ref::steal(PyArray_EMPTY(1, shape, NPY_INT64, 0));
    Ref names = Ref::steal(PyTuple_New(n));
    if (!elements || !codes || !names) return nullptr;
    double* pe = core::data_of(elements.get());
    auto* pc = static_cast<std::int64_t*>(PyArray_DATA(core::as_array(codes.get())));
    const sgp4k::Gravity constants[3] = {sgp4k::gravity(kGravityModels[0]), sgp4k::gravity(kGravityModels[1]),
                                         sgp4k::gravity(kGravityModels[2])};
    for (npy_intp i = 0; i < n; ++i) {
        const double* c = rows.data() + kElementColumns * i;
        std::memcpy(pe + kElementColumns * i, c, sizeof(double) * kElementColumns);
        sgp4k::Elements el;
        el.epoch = c[2];
        el.bstar = c[3];
        el.ndot = c[4];
        el.nddot = c[5];
        el.ecco = c[6];
        el.argpo = c[7];
        el.inclo = c[8];
        el.mo = c[9];
        el.no_kozai = c[10];
        el.nodeo = c[11];
        const int g = models[static_cast<std::size_t>(i)];
        sgp4k::Sgp4Object& obj = rec->objects[i];
        obj.record = sgp4k::init(constants[g], el);
        obj.jd = c[0];
        obj.fr = c[1];
        pc[i] = obj.record.init_error;
        PyObject* name = PyUnicode_FromString(kGravityNames[g]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    rec->size = n;
    PyArray_CLEARFLAGS(core::as_array(elements.get()), NPY_ARRAY_WRITEABLE);
    PyArray_CLEARFLAGS(core::as_array(codes.get()), NPY_ARRAY_WRITEABLE);
    rec->elements = elements.release();
    rec->codes = codes.release();
    rec->satnums = satnums.release();
    rec->gravity = names.release();
    return self.release();
}

// The catalogue number of an element set other than a TLE (an OMM record
// carries one): an int attribute `satnum`, else None.
inline Ref satnum_of(PyObject* elset) {
    Ref value = Ref::steal(PyObject_GetAttrString(elset, "satnum"));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        return Ref::borrow(Py_None);
    }
    if (!PyLong_CheckExact(value.get())) return Ref::borrow(Py_None);
    return value;
}

// The sgp4init row of a TLE, from its text as the reference's twoline2rv
// reads it (the lines parsed when the TLE was made, so they parse again).
inline bool tle_row(PyObject* tle, double row[kElementColumns]) {
    const auto* t = reinterpret_cast<const TLEObject*>(tle);
    if (!t->line1 || !t->line2) {
        PyErr_SetString(PyExc_ValueError, "the TLE has no lines");
        return false;
    }
    sgp4k::TleFields f;
    if (!parse_lines(t->line1, t->line2, f)) return false;
    sgp4k::sgp4init_row(f, row);
    return true;
}

// The rows of element sets (a tuple of ELSETs): a TLE's from its text, any
// other's from its fields, with its epoch put on the model's scale by
// `elset_epochs` (all of them in one call).
inline bool elset_rows(PyObject* elsets, std::vector<double>& rows, Ref& satnums) {
    const Py_ssize_t n = PyTuple_GET_SIZE(elsets);
    rows.assign(static_cast<std::size_t>(n) * kElementColumns, 0.0);
    satnums = Ref::steal(PyTuple_New(n));
    if (!satnums) return false;
    std::vector<Py_ssize_t> others;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* obj = PyTuple_GET_ITEM(elsets, i);
        double* row = rows.data() + kElementColumns * i;
        Ref satnum;
        if (TLE_Check(obj)) {
            if (!tle_row(obj, row)) return false;
            satnum = Ref::steal(PyLong_FromLong(reinterpret_cast<const TLEObject*>(obj)->satnum));
        } else if (ELSET_Check(obj)) {
            const auto* e = reinterpret_cast<const ELSETObject*>(obj);
            // Units of the model: minutes, radians, Earth radii.
            const double values[] = {e->bstar, e->ndot * 3600.0, e->nddot * 216000.0, e->ecc, e->arp,
                                     e->inc,   e->mea,           e->mnm * 60.0,       e->raa};
            std::copy(std::begin(values), std::end(values), row + 3);
            others.push_back(i);
            satnum = satnum_of(obj);
        } else {
            PyErr_Format(PyExc_TypeError, "element set %zd must be a TLE or another ELSET, not %.200s", i,
                         Py_TYPE(obj)->tp_name);
            return false;
        }
        if (!satnum) return false;
        PyTuple_SET_ITEM(satnums.get(), i, satnum.release());
    }
    if (others.empty()) return true;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(others.size())));
    if (!list) return false;
    for (std::size_t k = 0; k < others.size(); ++k) {
        PyObject* obj = PyTuple_GET_ITEM(elsets, others[k]);
        Py_INCREF(obj);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), obj);
    }
    Ref module = Ref::steal(PyImport_ImportModule(kEpochsModule));
    if (!module) return false;
    Ref function = Ref::steal(PyObject_GetAttrString(module.get(), kEpochsFunction));
    if (!function) return false;
    Ref epochs = Ref::steal(PyObject_CallOneArg(function.get(), list.get()));
    if (!epochs) return false;
    core::View2D view;
    if (!view.acquire(epochs.get(), false)) return false;
    auto e = view.span2();
    if (e.rows != static_cast<core::index_t>(others.size()) || e.cols != 2) {
        PyErr_SetString(PyExc_SystemError, "elset_epochs gave the wrong shape");
        return false;
    }
    for (std::size_t k = 0; k < others.size(); ++k) {
        double* row = rows.data() + kElementColumns * others[k];
        row[0] = e(static_cast<core::index_t>(k), 0);
        row[1] = e(static_cast<core::index_t>(k), 1);
        row[2] = (row[0] - 2433281.5) + row[1];
    }
    return true;
}

}  // namespace velarion::propagators::analytical::sgp4::records_build

#endif
