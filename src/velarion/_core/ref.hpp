// Owned references: one move-only RAII type, ownership stated where a
// reference arrives (steal a new reference, borrow one we do not own).
#ifndef VELARION_CORE_REF_HPP
#define VELARION_CORE_REF_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velarion::core {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (e.g. as a return value).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    // A new reference for a slot that steals, leaving this one intact.
    PyObject* new_ref() const noexcept {
        Py_XINCREF(p_);
        return p_;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Replaces an owned object slot (a struct member) with a new owned value,
// dropping the old one only after the slot is updated (safe against re-entry).
inline void replace_slot(PyObject*& slot, PyObject* new_owned) noexcept {
    PyObject* old = slot;
    slot = new_owned;
    Py_XDECREF(old);
}

}  // namespace velarion::core

#endif
