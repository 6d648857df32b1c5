// The interpreter lock: one RAII guard for releasing it around code that
// touches no Python object, one for taking it back from such code.
#ifndef VELARION_CORE_GIL_HPP
#define VELARION_CORE_GIL_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velarion::core {

// Releases the lock for the guard's scope (when `release` is true; a guard
// that releases nothing keeps one code path for both policies).
class ReleaseGil {
public:
    explicit ReleaseGil(bool release = true) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;
    ~ReleaseGil() { restore(); }

    // Takes the lock back before the scope ends (e.g. to raise).
    void restore() noexcept {
        if (saved_) PyEval_RestoreThread(saved_);
        saved_ = nullptr;
    }

private:
    PyThreadState* saved_;
};

// Holds the lock for the guard's scope, from code that may run with or
// without it (PyGILState_Ensure nests).
class EnsureGil {
public:
    EnsureGil() noexcept : state_(PyGILState_Ensure()) {}
    EnsureGil(const EnsureGil&) = delete;
    EnsureGil& operator=(const EnsureGil&) = delete;
    ~EnsureGil() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

// Whether a Python exception is pending; takes the lock only for the test,
// so it may be called from code that runs without it.
inline bool error_pending_nogil() noexcept {
    EnsureGil gil;
    return PyErr_Occurred() != nullptr;
}

}  // namespace velarion::core

#endif
