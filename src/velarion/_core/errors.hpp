// Error conventions: every C entry point returns nullptr / -1 with a Python
// exception set; C++ exceptions never cross into CPython.
#ifndef VELARION_CORE_ERRORS_HPP
#define VELARION_CORE_ERRORS_HPP

#include "velarion/_core/gil.hpp"
#include "velarion/_core/ref.hpp"

#include <frameobject.h>  // PyFrame_New

#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace velarion::core {

// MemoryError with a message (a bare PyErr_NoMemory() has none): `what` says
// what could not be allocated.
inline void set_no_memory(const char* what) noexcept {
    PyErr_Format(PyExc_MemoryError, "out of memory: %s could not be allocated (reduce the size of the request)", what);
}

// Sets the Python exception for the C++ exception being handled: MemoryError
// for a failed or impossible allocation (an array sized by user data), else
// RuntimeError with the exception's text. Call only inside a catch block.
inline void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        set_no_memory("the working memory of this call");
    } catch (const std::length_error&) {
        set_no_memory("an array of the requested size");
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
}

namespace detail {

// The failure return of a C entry point: nullptr for pointers, -1 for
// integers (CPython's convention for int, Py_ssize_t and Py_hash_t slots).
template <class R>
R entry_failure() noexcept {
    if constexpr (std::is_void_v<R>)
        return;
    else if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

template <auto Fn>
struct Entry;

template <class R, class... A, R (*Fn)(A...)>
struct Entry<Fn> {
    static R call(A... args) noexcept {
        try {
            return Fn(args...);
        } catch (...) {
            set_error_from_current_exception();
        }
        return entry_failure<R>();
    }
};

}  // namespace detail

// Every function that CPython calls (methods, getters and setters, type
// slots, module slots) is registered as `core::entry<Fn>`: the same
// signature, with any C++ exception turned into a Python one at the border.
// `Fn` itself must not be noexcept if anything in it can throw.
template <auto Fn>
inline constexpr auto entry = &detail::Entry<Fn>::call;

// The ml_meth of a METH_FASTCALL function behind core::entry: CPython calls
// it by the flags, so the method table stores it as a PyCFunction. The one
// cast of a method table.
#define VELARION_FASTCALL(fn) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(::velarion::core::entry<fn>))

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

}  // namespace velarion::core

#endif
