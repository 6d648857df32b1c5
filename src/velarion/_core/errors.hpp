// Error conventions: every C entry point returns nullptr / -1 with a Python
// exception set; C++ exceptions never cross into CPython.
#ifndef VELARION_CORE_ERRORS_HPP
#define VELARION_CORE_ERRORS_HPP

#include "velarion/_core/ref.hpp"

#include <frameobject.h>  // PyFrame_New

#include <exception>
#include <new>

namespace velarion::core {

// Converts a C++ exception escaping `body` into a Python exception.
template <class Fn>
auto guard(Fn&& body, decltype(body()) on_error) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
    return on_error;
}

// Adds a traceback entry naming the C-level function that a failure passed
// through (as a compiled function would show in the traceback).
inline void add_traceback(const char* qualified_name, const char* filename, int line) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(filename, qualified_name, line);
    if (!code) {
        PyErr_Restore(type, value, tb);
        return;
    }
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Restore(type, value, tb);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
    Py_XDECREF(globals);
    Py_DECREF(code);
}

// Whether a Python exception is pending; takes the interpreter lock only for
// the test, so it may be called from code that runs without it.
inline bool error_pending_nogil() noexcept {
    PyGILState_STATE st = PyGILState_Ensure();
    bool pending = PyErr_Occurred() != nullptr;
    PyGILState_Release(st);
    return pending;
}

}  // namespace velarion::core

#endif
