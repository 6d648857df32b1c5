// Strided array views for numeric kernels: plain C++ on doubles, no Python.
// Strides are in bytes, so any NumPy layout (transposed, sliced) is served.
#ifndef VELARION_CORE_STRIDED_HPP
#define VELARION_CORE_STRIDED_HPP

#include <cstddef>

namespace velarion::core {

using index_t = std::ptrdiff_t;

template <class T>
struct Strided1D {
    char* base = nullptr;
    index_t size = 0;
    index_t stride = sizeof(T);
    T& operator[](index_t i) const noexcept { return *reinterpret_cast<T*>(base + i * stride); }
};

template <class T>
struct Strided2D {
    char* base = nullptr;
    index_t rows = 0;
    index_t cols = 0;
    index_t row_stride = 0;
    index_t col_stride = sizeof(T);
    T& operator()(index_t i, index_t j) const noexcept {
        return *reinterpret_cast<T*>(base + i * row_stride + j * col_stride);
    }
    // Copies columns 0..2 of row i into v.
    void load3(index_t i, T v[3]) const noexcept {
        const char* p = base + i * row_stride;
        v[0] = *reinterpret_cast<const T*>(p);
        v[1] = *reinterpret_cast<const T*>(p + col_stride);
        v[2] = *reinterpret_cast<const T*>(p + 2 * col_stride);
    }
    void store3(index_t i, const T v[3]) const noexcept {
        char* p = base + i * row_stride;
        *reinterpret_cast<T*>(p) = v[0];
        *reinterpret_cast<T*>(p + col_stride) = v[1];
        *reinterpret_cast<T*>(p + 2 * col_stride) = v[2];
    }
    // Rows begin..end-1 (a range of a split over threads).
    Strided2D row_range(index_t begin, index_t end) const noexcept {
        return {base + begin * row_stride, end - begin, cols, row_stride, col_stride};
    }
};

}  // namespace velarion::core

#endif
