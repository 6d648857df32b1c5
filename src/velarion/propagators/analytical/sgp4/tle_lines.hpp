// A binding helper shared by the tle and _compiled modules (included by
// their .cpp): the fields of a TLE's two lines, parsed from str objects
// with the parser's message on a fault.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_TLE_LINES_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_TLE_LINES_HPP

#include "velarion/propagators/analytical/sgp4/kernels/tle_parse.hpp"

#include <Python.h>

#include <cstddef>
#include <string_view>

namespace velarion::propagators::analytical::sgp4 {

// The fields of two lines (str objects); false with ValueError naming the
// line and column of the first fault.
inline bool parse_lines(PyObject* line1, PyObject* line2, kernels::TleFields& f) {
    Py_ssize_t n1, n2;
    const char* l1 = PyUnicode_AsUTF8AndSize(line1, &n1);
    if (!l1) return false;
    const char* l2 = PyUnicode_AsUTF8AndSize(line2, &n2);
    if (!l2) return false;
    kernels::TleError err;
    if (!kernels::parse_tle(std::string_view(l1, static_cast<std::size_t>(n1)),
                            std::string_view(l2, static_cast<std::size_t>(n2)), f, err)) {
        PyErr_Format(PyExc_ValueError, "TLE line %d, column %d: %s", err.line, err.column, err.message);
        return false;
    }
    return true;
}

}  // namespace velarion::propagators::analytical::sgp4

#endif
