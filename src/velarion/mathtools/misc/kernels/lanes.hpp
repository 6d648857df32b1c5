// Lane-parallel elementary functions for the loops over epochs: sin and cos,
// the two-argument arctangent on [0, 2*pi), the cube root and the square
// root, on GCC vector types of 1, 2 or 4 doubles; and the run-time choice of
// the lane count. Plain C++ on doubles, no Python.
//
// Why these and not a vector math library:
// - glibc's libmvec (through -fopenmp-simd) exists on x86-64 Linux only,
//   declares its vector forms to the compiler only under -ffast-math (which
//   would also rewrite the solver's carefully ordered arithmetic), is good
//   to about 4 ulp, and its SSE2, AVX2 and AVX-512 forms round differently
//   from each other and from the scalar libm.
// - SLEEF would add a system dependency for four functions, and its
//   dispatch picks FMA or non-FMA code by processor, which again changes
//   the last bit from machine to machine.
// - Here: fdlibm's kernels (FreeBSD k_sin.c, k_cos.c, s_atan.c: below one
//   ulp on their reduced ranges) behind a branch-free three-part Cody-Waite
//   reduction by pi/2, written once on vector types whose operations are
//   lane-wise IEEE additions, multiplications, divisions, square roots and
//   bit operations. Every lane therefore computes exactly what one lane
//   alone computes: the 1-lane form (the scalar functions), the 2-lane form
//   (SSE2, the x86-64 baseline; NEON elsewhere) and the 4-lane form (AVX2,
//   chosen at run time) give bit-identical results on every machine. That
//   needs no fused multiply-add contraction (the build passes
//   -ffp-contract=off), and any architecture compiles the same code (GCC and
//   Clang lower the vector types to what the target has, down to scalars).
//
// The fast paths cover |x| <= kSinCosFastLimit for sin and cos and finite,
// not both zero, arguments of the arctangent; a lane outside them (NaN,
// infinities, huge angles) takes the C library's function, so every input
// gets the libm answer or one within an ulp of it.
#ifndef VELARION_MATHTOOLS_MISC_KERNELS_LANES_HPP
#define VELARION_MATHTOOLS_MISC_KERNELS_LANES_HPP

#include "velarion/mathtools/misc/kernels/angles.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELARION_LANES_X86 1
#define VELARION_LANES_WIDE [[gnu::target("avx2")]]
#else
#define VELARION_LANES_X86 0
#define VELARION_LANES_WIDE
#endif

// Every helper is inlined into the loop of its caller, which is compiled
// once per lane count (and instruction set).
#define VELARION_LANES_INLINE [[gnu::always_inline]] inline

namespace velarion::mathtools::misc::kernels::lanes {

using D1 = double __attribute__((vector_size(8)));
using D2 = double __attribute__((vector_size(16)));
using D4 = double __attribute__((vector_size(32)));

// Two vectors as one of twice the lanes. The loops over epochs are bound
// by the latency of their long chains of divisions and polynomials, not by
// the arithmetic units: a pair gives the processor two independent chains
// to interleave (a vector type twice the machine's width would too, but GCC
// then splits its comparisons and integer operations lane by lane).
template <class V>
struct Pair {
    V lo, hi;

    [[gnu::always_inline]] friend Pair operator-(const Pair& a) noexcept { return {-a.lo, -a.hi}; }
    [[gnu::always_inline]] friend Pair operator~(const Pair& a) noexcept { return {~a.lo, ~a.hi}; }
#define VELARION_PAIR_OPERATOR(op)                                                          \
    [[gnu::always_inline]] friend auto operator op(const Pair& a, const Pair& b) noexcept { \
        return Pair<decltype(a.lo op b.lo)>{a.lo op b.lo, a.hi op b.hi};                    \
    }                                                                                       \
    template <class S>                                                                      \
        requires std::is_arithmetic_v<S>                                                    \
    [[gnu::always_inline]] friend auto operator op(const Pair& a, S b) noexcept {           \
        return Pair<decltype(a.lo op b)>{a.lo op b, a.hi op b};                             \
    }                                                                                       \
    template <class S>                                                                      \
        requires std::is_arithmetic_v<S>                                                    \
    [[gnu::always_inline]] friend auto operator op(S a, const Pair& b) noexcept {           \
        return Pair<decltype(a op b.lo)>{a op b.lo, a op b.hi};                             \
    }
    VELARION_PAIR_OPERATOR(+)
    VELARION_PAIR_OPERATOR(-)
    VELARION_PAIR_OPERATOR(*)
    VELARION_PAIR_OPERATOR(/)
    VELARION_PAIR_OPERATOR(&)
    VELARION_PAIR_OPERATOR(|)
    VELARION_PAIR_OPERATOR(^)
    VELARION_PAIR_OPERATOR(<)
    VELARION_PAIR_OPERATOR(<=)
    VELARION_PAIR_OPERATOR(>)
    VELARION_PAIR_OPERATOR(>=)
    VELARION_PAIR_OPERATOR(==)
#undef VELARION_PAIR_OPERATOR
    [[gnu::always_inline]] friend Pair operator<<(const Pair& a, int n) noexcept { return {a.lo << n, a.hi << n}; }
    [[gnu::always_inline]] friend Pair operator>>(const Pair& a, int n) noexcept { return {a.lo >> n, a.hi >> n}; }
    template <class T>
    [[gnu::always_inline]] Pair& operator+=(const T& b) noexcept {
        return *this = *this + b;
    }
    template <class T>
    [[gnu::always_inline]] Pair& operator*=(const T& b) noexcept {
        return *this = *this * b;
    }
};

template <class T>
inline constexpr bool kIsPair = false;
template <class V>
inline constexpr bool kIsPair<Pair<V>> = true;

// What the block kernels run on: four independent vectors of the machine's
// width (four chains in flight measured best: two leave the units idle,
// eight spill registers).
template <class V>
using Quad = Pair<Pair<V>>;

// The lane-wise comparison result of D: signed 64-bit lanes, all ones or zero.
template <class D>
using Mask = decltype(D{} < D{});

template <class D>
inline constexpr int kLanes = static_cast<int>(sizeof(D) / sizeof(double));

// Lane i of x (a vector, a mask or a pair), and its replacement.
template <class V>
VELARION_LANES_INLINE auto get(const V& x, int i) noexcept {
    if constexpr (kIsPair<V>) {
        constexpr int half = static_cast<int>(sizeof(x.lo) / 8);
        return i < half ? get(x.lo, i) : get(x.hi, i - half);
    } else {
        return x[i];
    }
}

template <class V, class T>
VELARION_LANES_INLINE void put(V& x, int i, T value) noexcept {
    if constexpr (kIsPair<V>) {
        constexpr int half = static_cast<int>(sizeof(x.lo) / 8);
        if (i < half)
            put(x.lo, i, value);
        else
            put(x.hi, i - half, value);
    } else {
        x[i] = value;
    }
}

inline constexpr std::int64_t kSignBit = INT64_MIN;
inline constexpr std::int64_t kAbsBits = INT64_MAX;

// ---------------------------------------------------------------------------
// Lane plumbing

template <class D>
VELARION_LANES_INLINE D splat(double x) noexcept {
    if constexpr (kIsPair<D>) {
        return {splat<decltype(D::lo)>(x), splat<decltype(D::lo)>(x)};
    } else {
        D v;
        for (int i = 0; i < kLanes<D>; ++i) v[i] = x;
        return v;
    }
}

template <class D>
VELARION_LANES_INLINE D load(const double* p) noexcept {
    if constexpr (kIsPair<D>) {
        using V = decltype(D::lo);
        return {load<V>(p), load<V>(p + kLanes<V>)};
    } else {
        D v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
}

template <class D>
VELARION_LANES_INLINE void store(double* p, D v) noexcept {
    if constexpr (kIsPair<D>) {
        store(p, v.lo);
        store(p + kLanes<decltype(D::lo)>, v.hi);
    } else {
        std::memcpy(p, &v, sizeof v);
    }
}

// The first `count` values at p, the other lanes `pad` (a block's last step).
template <class D>
VELARION_LANES_INLINE D load_n(const double* p, int count, double pad = 0.0) noexcept {
    if (count == kLanes<D>) return load<D>(p);
    D v = splat<D>(pad);
    for (int i = 0; i < count; ++i) put(v, i, p[i]);
    return v;
}

template <class D>
VELARION_LANES_INLINE void store_n(double* p, D v, int count) noexcept {
    if (count == kLanes<D>) return store(p, v);
    for (int i = 0; i < count; ++i) p[i] = get(v, i);
}

template <class D>
VELARION_LANES_INLINE Mask<D> bits(D x) noexcept {
    if constexpr (kIsPair<D>) {
        return {bits(x.lo), bits(x.hi)};
    } else {
        return __builtin_bit_cast(Mask<D>, x);
    }
}

template <class D>
VELARION_LANES_INLINE D from_bits(Mask<D> m) noexcept {
    if constexpr (kIsPair<D>) {
        using V = decltype(D::lo);
        return {from_bits<V>(m.lo), from_bits<V>(m.hi)};
    } else {
        return __builtin_bit_cast(D, m);
    }
}

// a where m is set, else b.
template <class D>
VELARION_LANES_INLINE D select(Mask<D> m, D a, D b) noexcept {
    return from_bits<D>((m & bits(a)) | (~m & bits(b)));
}

template <class M>
VELARION_LANES_INLINE bool any(M m) noexcept {
    if constexpr (kIsPair<M>) {
        return any(m.lo | m.hi);
    } else {
        std::int64_t acc = 0;
        for (int i = 0; i < static_cast<int>(sizeof(M) / sizeof(std::int64_t)); ++i) acc |= m[i];
        return acc != 0;
    }
}

template <class D>
VELARION_LANES_INLINE D abs(D x) noexcept {
    return from_bits<D>(bits(x) & kAbsBits);
}

// x with its sign flipped where s has its sign bit set.
template <class D>
VELARION_LANES_INLINE D flip_sign(D x, Mask<D> s) noexcept {
    return from_bits<D>(bits(x) ^ (s & kSignBit));
}

template <class D>
VELARION_LANES_INLINE D sqrt(D x) noexcept {
    if constexpr (kIsPair<D>) {
        return {sqrt(x.lo), sqrt(x.hi)};
    } else {
        D r;
        for (int i = 0; i < kLanes<D>; ++i) r[i] = __builtin_sqrt(x[i]);
        return r;
    }
}

// 1.5 * 2^52: x + kRoundMagic - kRoundMagic is x rounded to the nearest
// integer (ties to even, as nearbyint) for |x| < 2^51, and the low bits of
// x + kRoundMagic are that integer in two's complement.
inline constexpr double kRoundMagic = 6755399441055744.0;

// ---------------------------------------------------------------------------
// sin and cos

// |x| up to which the three-part reduction by pi/2 is exact (fdlibm's
// medium range, 2^19 * pi/2): the quotient has at most 20 bits, so its
// products with the 33-bit parts of pi/2 are exact.
inline constexpr double kSinCosFastLimit = 823549.6;

template <class D>
struct SinCos {
    D sin, cos;
};

namespace detail {

inline constexpr double kInvPio2 = 6.36619772367581382433e-01;
inline constexpr double kPio2_1 = 1.57079632673412561417e+00;   // the first 33 bits of pi/2
inline constexpr double kPio2_2 = 6.07710050630396597660e-11;   // the next 33 bits
inline constexpr double kPio2_3 = 2.02226624871116645580e-21;   // the next 33 bits
inline constexpr double kPio2_3t = 8.47842766036889956997e-32;  // pi/2 - (the three above)

// sin(x + y) and cos(x + y) for |x + y| <= pi/4, |y| tiny against x (FreeBSD
// k_sin.c and k_cos.c; errors below one ulp).
template <class D>
VELARION_LANES_INLINE D kernel_sin(D x, D y) noexcept {
    constexpr double S1 = -1.66666666666666324348e-01, S2 = 8.33333333332248946124e-03,
                     S3 = -1.98412698298579493134e-04, S4 = 2.75573137070700676789e-06,
                     S5 = -2.50507602534068634195e-08, S6 = 1.58969099521155010221e-10;
    const D z = x * x;
    const D w = z * z;
    const D r = S2 + z * (S3 + z * S4) + z * w * (S5 + z * S6);
    const D v = z * x;
    return x - ((z * (0.5 * y - v * r) - y) - v * S1);
}

template <class D>
VELARION_LANES_INLINE D kernel_cos(D x, D y) noexcept {
    constexpr double C1 = 4.16666666666666019037e-02, C2 = -1.38888888888741095749e-03, C3 = 2.48015872894767294178e-05,
                     C4 = -2.75573143513906633035e-07, C5 = 2.08757232129817482790e-09,
                     C6 = -1.13596475577881948265e-11;
    const D z = x * x;
    const D w = z * z;
    const D r = z * (C1 + z * (C2 + z * C3)) + w * w * (C4 + z * (C5 + z * C6));
    const D hz = 0.5 * z;
    const D one_minus_hz = 1.0 - hz;
    return one_minus_hz + (((1.0 - one_minus_hz) - hz) + (z * r - x * y));
}

}  // namespace detail

// sin x and cos x, to within an ulp, for every x.
template <class D>
VELARION_LANES_INLINE SinCos<D> sincos(D x) noexcept {
    using namespace detail;
    // x = n pi/2 + (y0 + y1), n to the nearest integer: the reduction of
    // fdlibm's __ieee754_rem_pio2 for medium arguments, with all three
    // steps always taken (each subtracts the next 33 bits of pi/2 and keeps
    // the rounding error of the previous subtraction).
    const D shifted = x * kInvPio2 + kRoundMagic;
    const D n = shifted - kRoundMagic;
    const Mask<D> quadrant = bits(shifted);  // n modulo 4 in its low two bits
    const D r1 = x - n * kPio2_1;
    const D w2 = n * kPio2_2;
    const D r2 = r1 - w2;
    const D e2 = (r1 - r2) - w2;
    const D w3 = n * kPio2_3;
    const D r3 = r2 - w3;
    const D e3 = (r2 - r3) - w3;
    const D w = n * kPio2_3t - (e3 + e2);
    const D y0 = r3 - w;
    const D y1 = (r3 - y0) - w;
    const D s = kernel_sin(y0, y1);
    const D c = kernel_cos(y0, y1);
    // Quadrant n: (sin, cos) = (s, c), (c, -s), (-s, -c), (-c, s).
    const Mask<D> odd = Mask<D>{} - (quadrant & 1);
    SinCos<D> out{select(odd, c, s), select(odd, s, c)};
    out.sin = flip_sign(out.sin, quadrant << 62);
    out.cos = flip_sign(out.cos, (quadrant + 1) << 62);
    const Mask<D> outside = ~(abs(x) <= kSinCosFastLimit);  // also NaN and infinities
    if (any(outside)) [[unlikely]] {
        for (int i = 0; i < kLanes<D>; ++i) {
            if (get(outside, i)) put(out.sin, i, std::sin(get(x, i))), put(out.cos, i, std::cos(get(x, i)));
        }
    }
    return out;
}

// ---------------------------------------------------------------------------
// Arctangent

namespace detail {

// atan t for t in [0, 1] (fdlibm s_atan.c on its first three intervals).
template <class D>
VELARION_LANES_INLINE D atan_unit(D t) noexcept {
    constexpr double kAtanHalfHi = 4.63647609000806093515e-01, kAtanHalfLo = 2.26987774529616870924e-17;
    constexpr double kAtanOneHi = 7.85398163397448278999e-01, kAtanOneLo = 3.06161699786838301793e-17;
    constexpr double aT[] = {3.33333333333329318027e-01,  -1.99999999998764832476e-01, 1.42857142725034663711e-01,
                             -1.11111104054623557880e-01, 9.09088713343650656196e-02,  -7.69187620504482999495e-02,
                             6.66107313738753120669e-02,  -5.83357013379057348645e-02, 4.97687799461593236017e-02,
                             -3.65315727442169155270e-02, 1.62858201153657823623e-02};
    // t < 7/16: atan t itself; t < 11/16: atan(1/2) + atan((2t - 1) / (2 + t));
    // else atan 1 + atan((t - 1) / (t + 1)).
    const Mask<D> mid = t >= 0.4375;
    const Mask<D> high = t >= 0.6875;
    const D num = select(high, t - 1.0, select(mid, 2.0 * t - 1.0, t));
    const D den = select(high, t + 1.0, select(mid, 2.0 + t, splat<D>(1.0)));
    const D hi = select(high, splat<D>(kAtanOneHi), select(mid, splat<D>(kAtanHalfHi), D{}));
    const D lo = select(high, splat<D>(kAtanOneLo), select(mid, splat<D>(kAtanHalfLo), D{}));
    const D u = num / den;
    const D z = u * u;
    const D w = z * z;
    const D s1 = z * (aT[0] + w * (aT[2] + w * (aT[4] + w * (aT[6] + w * (aT[8] + w * aT[10])))));
    const D s2 = w * (aT[1] + w * (aT[3] + w * (aT[5] + w * (aT[7] + w * aT[9]))));
    return hi - ((u * (s1 + s2) - lo) - u);
}

}  // namespace detail

// The angle of (x, y) in [0, 2*pi), as atan2_asymmetric_kernel gives it (a
// negative angle is shifted by 2*pi; one whose shift rounds to 2*pi is 0).
template <class D>
VELARION_LANES_INLINE D atan2_asymmetric(D y, D x) noexcept {
    constexpr double kPio2Hi = 1.57079632679489655800e+00, kPio2Lo = 6.12323399573676603587e-17;
    constexpr double kPiHi = 3.14159265358979311600e+00, kPiLo = 1.22464679914735317720e-16;
    const D ax = abs(x), ay = abs(y);
    const Mask<D> steep = ay > ax;
    const D a0 = detail::atan_unit(select(steep, ax, ay) / select(steep, ay, ax));
    const D a1 = select(steep, kPio2Hi - (a0 - kPio2Lo), a0);
    const D a2 = select(x < 0.0, kPiHi - (a1 - kPiLo), a1);
    D a = flip_sign(a2, bits(y));
    const D shifted = a + kTwoPi;
    a = select(a < 0.0, select(shifted >= kTwoPi, D{}, shifted), a);
    // Zeros, infinities and NaN: the C library's atan2.
    const D sum = ax + ay;
    const Mask<D> special = ~(sum <= 1.7976931348623157e308) | (sum == 0.0);
    if (any(special)) [[unlikely]] {
        for (int i = 0; i < kLanes<D>; ++i) {
            if (get(special, i)) put(a, i, atan2_asymmetric_kernel(get(y, i), get(x, i)));
        }
    }
    return a;
}

// ---------------------------------------------------------------------------
// Cube root

// t^(1/3) for t >= 0 (NaN for NaN), to about 1e-15 relatively: fdlibm's
// first guess (a third of the high word's exponent and mantissa bits, within
// 1/32) and two Halley steps. Tiny and subnormal t are scaled by 2^300 first.
template <class D>
VELARION_LANES_INLINE D cbrt_positive(D t) noexcept {
    const Mask<D> tiny = ~(t > 1e-290);
    const D ts = select(tiny, t * 0x1p300, t);
    const Mask<D> high_word = bits(ts) >> 32;
    const D hw = from_bits<D>(high_word | 0x4330000000000000) - 0x1p52;  // exact: high_word < 2^31
    const D guess_word = hw * (1.0 / 3.0) + 715094163.0;                 // fdlibm's B1
    D y = from_bits<D>((bits(guess_word + 0x1p52) & 0xFFFFFFFF) << 32);
    for (int i = 0; i < 2; ++i) {
        const D y3 = y * y * y;
        y *= (y3 + 2.0 * ts) / (2.0 * y3 + ts);
    }
    y = select(tiny, y * 0x1p-100, y);
    return select(t == 0.0, D{}, y);
}

// ---------------------------------------------------------------------------
// Blocks and the lane count

// A read-only operand of a block kernel: n values, or one value for all.
struct Operand {
    const double* data;
    bool broadcast = false;

    // Values i to i + count - 1 (the other lanes zero).
    template <class D>
    VELARION_LANES_INLINE D at(std::ptrdiff_t i, int count) const noexcept {
        return broadcast ? splat<D>(*data) : load_n<D>(data + i, count);
    }
    double operator[](std::ptrdiff_t i) const noexcept { return broadcast ? *data : data[i]; }
};

// The vector width the loops run with: 4 doubles where the processor has
// AVX2, else 2 (SSE2 on x86-64; NEON elsewhere; GCC lowers the type to
// scalars on a target with no vector unit). The environment variable
// VELARION_LANES (1, 2 or 4) lowers it, to compare the forms: their results
// are identical. The block kernels run four vectors of that width at a
// time; width 1 runs one lane at a time.
inline int width() noexcept {
    static const int chosen = [] {
        int w = 2;
#if VELARION_LANES_X86
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2")) w = 4;
#endif
        if (const char* cap = std::getenv("VELARION_LANES")) {
            const int c = std::atoi(cap);
            if (c == 1 || c == 2 || (c == 4 && w == 4)) w = c;
        }
        return w;
    }();
    return chosen;
}

// Runs Kernel::run<D>(args...) with the lane type of width() (D1, Quad<D2>
// or Quad<D4>), compiled for the instruction set that width needs.
// Kernel::run must be VELARION_LANES_INLINE.
template <class Kernel, class... Args>
inline auto run_1(Args... args) noexcept {
    return Kernel::template run<D1>(args...);
}
template <class Kernel, class... Args>
inline auto run_2(Args... args) noexcept {
    return Kernel::template run<Quad<D2>>(args...);
}
template <class Kernel, class... Args>
VELARION_LANES_WIDE inline auto run_4(Args... args) noexcept {
    return Kernel::template run<Quad<D4>>(args...);
}

template <class Kernel, class... Args>
inline auto run(Args... args) noexcept {
    switch (width()) {
        case 4: return run_4<Kernel>(args...);
        case 1: return run_1<Kernel>(args...);
        default: return run_2<Kernel>(args...);
    }
}

}  // namespace velarion::mathtools::misc::kernels::lanes

#endif
