// C-level interface of velarion.frames.frames: the instance layouts of the
// frame classes, their method tables (slot order is fixed: append only), the
// singleton variables GCRF, ITRF and TEME, and the binder import_frames().
//
// Conversion slots take (self, time, r_in, v_in, r_out, v_out): `time` is a
// Time (or None), the four views are 2-D float64 strided views of exactly N
// rows (N the epochs of `time`; for ENU, the rows of r_in) and 3 columns,
// anything else being refused with ValueError; the slot writes the outputs
// and returns 0, or -1 with a Python exception set (nothing written then).
// The output views may be the input views (in-place conversion). The
// standard frames' slots run Python code (the time's scales, EOP) before
// they touch the views: the caller passes views of arrays that such code
// cannot reach (arrays it made itself, or private copies).
#ifndef VELARION_FRAMES_FRAMES_HPP
#define VELARION_FRAMES_FRAMES_HPP

#include "velarion/_core/capi.hpp"
#include "velarion/_core/strided.hpp"

namespace velarion::frames {

using View = core::Strided2D<double>;

struct FrameObject {
    PyObject_HEAD
    PyObject* _transforms;  // the transform table (a dict), or any object a user stored
};

struct GCRFObject;
struct ITRFObject;
struct TEMEObject;
struct ENUObject;

// _GCRF: GCRF -> ITRF (IAU 2000A, CIO based). Needs the interpreter lock.
struct GCRFVTable {
    int (*c_to_ITRF)(GCRFObject* self, PyObject* time, const View& r_in, const View& v_in, const View& r_out,
                     const View& v_out);
};

// _ITRF: ITRF -> GCRF, then ITRF -> TEME. Need the interpreter lock.
struct ITRFVTable {
    int (*c_to_GCRF)(ITRFObject* self, PyObject* time, const View& r_in, const View& v_in, const View& r_out,
                     const View& v_out);
    int (*c_to_TEME)(ITRFObject* self, PyObject* time, const View& r_in, const View& v_in, const View& r_out,
                     const View& v_out);
};

// _TEME: TEME -> ITRF (GMST82 and polar motion). Needs the interpreter lock.
struct TEMEVTable {
    int (*c_to_ITRF)(TEMEObject* self, PyObject* time, const View& r_in, const View& v_in, const View& r_out,
                     const View& v_out);
};

// ENU: the rotations fill a row-major 3x3 matrix and cannot fail. The
// conversions do not read `time`, touch no Python object in their loop and
// may be called without the interpreter lock (they take it only to report a
// shape error, or to test for an exception left by a mat_x_vec bound in
// place of vectools' own). Output views may be the input views (in-place
// conversion).
struct ENUVTable {
    void (*c_rot_to_ITRF)(ENUObject* self, double rot[3][3]);
    void (*c_rot_from_ITRF)(ENUObject* self, double rot[3][3]);
    int (*c_to_ITRF)(ENUObject* self, PyObject* time, const View& r_ENU, const View& v_ENU, const View& r_ITRF,
                     const View& v_ITRF);
    int (*c_from_ITRF)(ENUObject* self, PyObject* time, const View& r_ITRF, const View& v_ITRF, const View& r_ENU,
                       const View& v_ENU);
};

struct GCRFObject {
    FrameObject base;
    GCRFVTable* vtab;
};

struct ITRFObject {
    FrameObject base;
    ITRFVTable* vtab;
};

struct TEMEObject {
    FrameObject base;
    TEMEVTable* vtab;
};

struct ENUObject {
    FrameObject base;
    ENUVTable* vtab;
    PyObject* ell;             // the Ellipsoid (owned)
    double r_station_ITRF[3];  // station position in ITRF, m
    double lat;                // geodetic latitude, rad
    double lon;                // geodetic longitude, rad
    double alt;                // altitude above the ellipsoid, m
};

inline constexpr const char* kModule = "velarion.frames.frames";
inline constexpr const char* kGCRFVTableType = "struct velarion::frames::GCRFVTable";
inline constexpr const char* kITRFVTableType = "struct velarion::frames::ITRFVTable";
inline constexpr const char* kTEMEVTableType = "struct velarion::frames::TEMEVTable";
inline constexpr const char* kENUVTableType = "struct velarion::frames::ENUVTable";

// The singleton variables are published as the address of a module-level
// `PyObject*`; the reader dereferences it at the time of use.
inline constexpr const char* kGCRFVarType = "velarion.frames.frames._GCRF *";
inline constexpr const char* kITRFVarType = "velarion.frames.frames._ITRF *";
inline constexpr const char* kTEMEVarType = "velarion.frames.frames._TEME *";

inline PyTypeObject* Frame_Type = nullptr;
inline PyTypeObject* GCRF_Type = nullptr;
inline PyTypeObject* ITRF_Type = nullptr;
inline PyTypeObject* TEME_Type = nullptr;
inline PyTypeObject* ENU_Type = nullptr;

inline PyObject** GCRF = nullptr;
inline PyObject** ITRF = nullptr;
inline PyObject** TEME = nullptr;

inline bool Frame_Check(PyObject* obj) { return PyObject_TypeCheck(obj, Frame_Type); }
inline bool GCRF_Check(PyObject* obj) { return PyObject_TypeCheck(obj, GCRF_Type); }
inline bool ITRF_Check(PyObject* obj) { return PyObject_TypeCheck(obj, ITRF_Type); }
inline bool TEME_Check(PyObject* obj) { return PyObject_TypeCheck(obj, TEME_Type); }
inline bool ENU_Check(PyObject* obj) { return PyObject_TypeCheck(obj, ENU_Type); }

// Binds the frame types (layout sizes checked, method tables fetched) and
// the three singleton variables. Returns 0, or -1 with an exception set.
inline int import_frames() {
    if (Frame_Type) return 0;
    static const core::BoundType types[] = {
        {"Frame", sizeof(FrameObject), &Frame_Type},
        {"_GCRF", sizeof(GCRFObject), &GCRF_Type, kGCRFVTableType, sizeof(GCRFVTable)},
        {"_ITRF", sizeof(ITRFObject), &ITRF_Type, kITRFVTableType, sizeof(ITRFVTable)},
        {"_TEME", sizeof(TEMEObject), &TEME_Type, kTEMEVTableType, sizeof(TEMEVTable)},
        {"ENU", sizeof(ENUObject), &ENU_Type, kENUVTableType, sizeof(ENUVTable)},
    };
    static const core::BoundVariable variables[] = {
        {"GCRF", kGCRFVarType, &GCRF},
        {"ITRF", kITRFVarType, &ITRF},
        {"TEME", kTEMEVarType, &TEME},
    };
    return core::bind_module({kModule, types, variables});
}

}  // namespace velarion::frames

#endif
