// Typed buffer views: 1-D and 2-D float64 arrays taken through the buffer
// protocol with any strides, writable or read-only, refused with the messages
// NumPy users know.
#ifndef VELARION_CORE_BUFFER_HPP
#define VELARION_CORE_BUFFER_HPP

#include "velarion/_core/ref.hpp"
#include "velarion/_core/strided.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace velarion::core {

namespace detail {

// The C name of a struct-module format code, as shown in dtype errors.
inline const char* format_c_name(const char* fmt) {
    if (!fmt) return "unsigned char";
    if (*fmt == '@' || *fmt == '=' || *fmt == '<' || *fmt == '>' || *fmt == '!') ++fmt;
    if (fmt[0] == 'Z') {
        switch (fmt[1]) {
            case 'f': return "complex float";
            case 'd': return "complex double";
            case 'g': return "complex long double";
            default: return "complex";
        }
    }
    if (fmt[0] != '\0' && fmt[1] != '\0') return fmt;  // a structured or unusual format: show it as is
    switch (fmt[0]) {
        case 'd': return "double";
        case 'f': return "float";
        case 'g': return "long double";
        case 'e': return "half";
        case 'b': return "signed char";
        case 'B': return "unsigned char";
        case 'c': return "char";
        case 'h': return "short";
        case 'H': return "unsigned short";
        case 'i': return "int";
        case 'I': return "unsigned int";
        case 'l': return "long";
        case 'L': return "unsigned long";
        case 'q': return "long long";
        case 'Q': return "unsigned long long";
        case '?': return "bool";
        case 'O': return "Python object";
        default: return fmt;
    }
}

// "big-endian " / "little-endian " where the format's byte order is not the
// machine's (a bare type name alone would read "expected 'double' but got
// 'double'"); empty for native and byte-order-free formats.
inline const char* byte_order_prefix(const char* fmt) {
    if (!fmt) return "";
#if PY_BIG_ENDIAN
    if (*fmt == '<') return "little-endian ";
#else
    if (*fmt == '>' || *fmt == '!') return "big-endian ";
#endif
    return "";
}

inline bool is_native_double(const char* fmt) {
    if (!fmt) return false;
#if PY_BIG_ENDIAN
    const char foreign = '<';
#else
    const char foreign = '>';
#endif
    if (*fmt == '@' || *fmt == '=')
        ++fmt;
    else if (*fmt == '<' || *fmt == '>' || *fmt == '!') {
        if (*fmt == foreign || *fmt == '!') return false;
        ++fmt;
    }
    return fmt[0] == 'd' && fmt[1] == '\0';
}

}  // namespace detail

// A held buffer of float64 elements with `Ndim` dimensions. Move-only; the
// buffer is released when the view dies.
template <int Ndim>
class DoubleView {
    static_assert(Ndim == 1 || Ndim == 2);

public:
    DoubleView() = default;
    DoubleView(const DoubleView&) = delete;
    DoubleView& operator=(const DoubleView&) = delete;
    DoubleView(DoubleView&& o) noexcept { take_from(o); }
    DoubleView& operator=(DoubleView&& o) noexcept {
        if (this != &o) {
            release();
            take_from(o);
        }
        return *this;
    }
    ~DoubleView() { release(); }

    // Takes `obj` as a view; returns false with ValueError/TypeError set.
    bool acquire(PyObject* obj, bool writable) {
        release();
        int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &buf_, flags) < 0) return false;
        held_ = true;
        if (buf_.ndim != Ndim) {
            PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", Ndim,
                         buf_.ndim);
            release();
            return false;
        }
        if (!detail::is_native_double(buf_.format)) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected 'double' but got '%s%s'",
                         detail::byte_order_prefix(buf_.format), detail::format_c_name(buf_.format));
            release();
            return false;
        }
        data_ = static_cast<char*>(buf_.buf);
        for (int d = 0; d < Ndim; ++d) strides_[d] = buf_.strides[d];
        if (!aligned() && !copy_to_aligned(writable)) {
            release();
            return false;
        }
        return true;
    }

    explicit operator bool() const noexcept { return held_; }
    PyObject* owner() const noexcept { return held_ ? buf_.obj : nullptr; }
    index_t shape(int d) const noexcept { return buf_.shape[d]; }
    bool readonly() const noexcept { return buf_.readonly; }
    // True when the buffer's memory was not aligned for doubles and the
    // kernels read (and write) an aligned private copy instead.
    bool copied() const noexcept { return !private_.empty(); }

    Strided1D<double> span1() const noexcept
        requires(Ndim == 1)
    {
        return {data_, buf_.shape[0], strides_[0]};
    }
    Strided2D<double> span2() const noexcept
        requires(Ndim == 2)
    {
        return {data_, buf_.shape[0], buf_.shape[1], strides_[0], strides_[1]};
    }

    // Writes a writable view's private copy back into the buffer, then
    // releases the buffer.
    void release() noexcept {
        if (held_) {
            if (write_back_)
                for_each_element([this](char* user, double* mine) { std::memcpy(user, mine, sizeof(double)); });
            PyBuffer_Release(&buf_);
            held_ = false;
        }
        private_.clear();
        private_.shrink_to_fit();
        write_back_ = false;
        data_ = nullptr;
    }

private:
    // Reading a misaligned double through a double& is undefined behaviour
    // (and traps on some machines): such buffers are copied, byte-wise.
    bool aligned() const noexcept {
        constexpr auto align = static_cast<std::uintptr_t>(alignof(double));
        if (reinterpret_cast<std::uintptr_t>(buf_.buf) % align != 0) return false;
        for (int d = 0; d < Ndim; ++d)
            if (static_cast<std::uintptr_t>(buf_.strides[d]) % align != 0) return false;
        return true;
    }

    // Calls f(element address in the buffer, element in the private copy)
    // in C order.
    template <class F>
    void for_each_element(F&& f) noexcept {
        char* user = static_cast<char*>(buf_.buf);
        double* mine = private_.data();
        if constexpr (Ndim == 1) {
            for (index_t i = 0; i < buf_.shape[0]; ++i) f(user + i * buf_.strides[0], mine++);
        } else {
            for (index_t i = 0; i < buf_.shape[0]; ++i)
                for (index_t j = 0; j < buf_.shape[1]; ++j) f(user + i * buf_.strides[0] + j * buf_.strides[1], mine++);
        }
    }

    bool copy_to_aligned(bool writable) {
        index_t count = 1;
        for (int d = 0; d < Ndim; ++d) count *= buf_.shape[d];
        if (count == 0) return true;  // nothing is read
        try {
            private_.resize(static_cast<std::size_t>(count));
        } catch (const std::bad_alloc&) {
            PyErr_Format(PyExc_MemoryError, "cannot copy a misaligned array of %zd float64 values (%zd bytes)", count,
                         count * static_cast<index_t>(sizeof(double)));
            return false;
        }
        for_each_element([](char* user, double* mine) { std::memcpy(mine, user, sizeof(double)); });
        data_ = reinterpret_cast<char*>(private_.data());
        strides_[Ndim - 1] = sizeof(double);
        if constexpr (Ndim == 2) strides_[0] = buf_.shape[1] * static_cast<index_t>(sizeof(double));
        write_back_ = writable;
        return true;
    }

    void take_from(DoubleView& o) noexcept {
        buf_ = o.buf_;
        held_ = o.held_;
        private_ = std::move(o.private_);
        write_back_ = o.write_back_;
        data_ = o.data_;
        for (int d = 0; d < Ndim; ++d) strides_[d] = o.strides_[d];
        o.held_ = false;
        o.write_back_ = false;
        o.private_.clear();
    }

    Py_buffer buf_{};
    bool held_ = false;
    bool write_back_ = false;
    std::vector<double> private_;
    char* data_ = nullptr;
    index_t strides_[Ndim] = {};
};

using View1D = DoubleView<1>;
using View2D = DoubleView<2>;

// Shape checks made before a kernel reads `rows` rows and three columns.
inline bool require_rows3(const View2D& v, index_t rows, const char* what) {
    if (v.shape(0) < rows || v.shape(1) < 3) {
        PyErr_Format(PyExc_ValueError,
                     "%s has shape (%zd, %zd); at least (%zd, 3) is needed (one row of x, y, z per epoch)", what,
                     v.shape(0), v.shape(1), rows);
        return false;
    }
    return true;
}

inline bool require_length(const View1D& v, index_t n, const char* what) {
    if (v.shape(0) < n) {
        PyErr_Format(PyExc_ValueError, "%s has %zd entries, fewer than the %zd epochs", what, v.shape(0), n);
        return false;
    }
    return true;
}

inline bool require_columns(const View2D& v, index_t cols, const char* what) {
    if (v.shape(1) != cols) {
        PyErr_Format(PyExc_ValueError, "%s must have %zd columns, not %zd", what, cols, v.shape(1));
        return false;
    }
    return true;
}

// For kernels that read raw pointers: exactly n C-contiguous entries, all finite.
inline bool require_contiguous_finite(const View1D& v, index_t n, const char* what) {
    auto s = v.span1();
    if (s.size != n || (n > 1 && s.stride != sizeof(double))) {
        PyErr_Format(PyExc_ValueError, "%s must be a contiguous float64 vector of %zd entries", what, n);
        return false;
    }
    for (index_t i = 0; i < n; ++i) {
        if (!std::isfinite(s[i])) {
            PyErr_Format(PyExc_ValueError, "%s must be finite", what);
            return false;
        }
    }
    return true;
}

// For kernels that read raw pointers: exactly (rows, 3), C-contiguous, all finite.
inline bool require_contiguous_rows3_finite(const View2D& v, index_t rows, const char* what) {
    auto s = v.span2();
    if (s.rows != rows || s.cols != 3 ||
        (rows > 0 && (s.col_stride != sizeof(double) || (rows > 1 && s.row_stride != 3 * sizeof(double))))) {
        PyErr_Format(PyExc_ValueError, "%s must be a C-contiguous (%zd, 3) float64 array", what, rows);
        return false;
    }
    for (index_t i = 0; i < rows; ++i) {
        if (!std::isfinite(s(i, 0)) || !std::isfinite(s(i, 1)) || !std::isfinite(s(i, 2))) {
            PyErr_Format(PyExc_ValueError, "%s must be finite", what);
            return false;
        }
    }
    return true;
}

// A float64 vector copied out of any 1-d buffer of finite values: the
// kernels then read memory that no Python code can change or free.
inline bool copy_finite(PyObject* obj, std::vector<double>& out, const char* what) {
    View1D view;
    if (!view.acquire(obj, false)) return false;
    auto s = view.span1();
    out.resize(static_cast<std::size_t>(s.size));
    for (index_t i = 0; i < s.size; ++i) {
        if (!std::isfinite(s[i])) {
            PyErr_Format(PyExc_ValueError, "%s must be finite", what);
            return false;
        }
        out[static_cast<std::size_t>(i)] = s[i];
    }
    return true;
}

}  // namespace velarion::core

#endif
