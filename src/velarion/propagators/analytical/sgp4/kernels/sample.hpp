// SGP4 states of many element sets (no Python): at common epochs, objects
// split across threads, or one epoch per state.
#ifndef VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_SAMPLE_HPP
#define VELARION_PROPAGATORS_ANALYTICAL_SGP4_KERNELS_SAMPLE_HPP

#include "velarion/_core/parallel.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/sgp4.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velarion::propagators::analytical::sgp4::kernels {

// An element set's record and its epoch as a two-part UTC Julian Date (the
// model counts minutes from it, as the `sgp4` package's arrays do).
struct Sgp4Object {
    Record record;
    double jd = 0.0, fr = 0.0;
};

// The code of a state the model gives as NaN or infinite without an error
// of its own (elements outside its domain).
inline constexpr std::uint8_t kNonFinite = 255;

inline std::uint8_t state_code(int model_code, const State& s) noexcept {
    if (model_code != 0) return static_cast<std::uint8_t>(model_code);
    for (int x = 0; x < 3; ++x)
        if (!std::isfinite(s.r[x]) || !std::isfinite(s.v[x])) return kNonFinite;
    return 0;
}

// States [m, m/s] of object `obj` at the epochs (jd[k], fr[k]), k < m: r and
// v (m, 3), the model's code per state (or kNonFinite). One resonance state
// runs through the epochs, so a sorted grid integrates each step once.
// Returns the resonance steps taken.
inline long long run(const Sgp4Object& obj, const double* jd, const double* fr, std::ptrdiff_t m, double* r, double* v,
                     std::uint8_t* code) noexcept {
    Resonance res;
    for (std::ptrdiff_t k = 0; k < m; ++k) {
        const double tsince = (jd[k] - obj.jd) * 1440.0 + (fr[k] - obj.fr) * 1440.0;
        State s;
        code[k] = state_code(propagate(obj.record, tsince, s, res), s);
        for (int x = 0; x < 3; ++x) {
            r[3 * k + x] = s.r[x] * 1000.0;
            v[3 * k + x] = s.v[x] * 1000.0;
        }
    }
    return res.steps;
}

// States [m, m/s] of objects[ids[i]] at the epochs (jd[k], fr[k]): r and v
// (n, m, 3) in C order, the model's code per state in code (n, m), or
// kNonFinite. A state the model refuses is NaN; a decayed one (code 6) is
// kept, as the `sgp4` package's arrays keep it.
inline void sample(const Sgp4Object* objects, const std::int64_t* ids, std::ptrdiff_t n, const double* jd,
                   const double* fr, std::ptrdiff_t m, double* r, double* v, std::uint8_t* code, int threads) {
    core::parallel_ranges(n, threads, [&](std::ptrdiff_t, std::ptrdiff_t begin, std::ptrdiff_t end) {
        for (std::ptrdiff_t i = begin; i < end; ++i)
            run(objects[ids[i]], jd, fr, m, r + 3 * i * m, v + 3 * i * m, code + i * m);
    });
}

// States [m, m/s] of objects[ids[q]] at (jd[q], fr[q]): r and v (n, 3). A run
// of points of one object carries its resonance state along.
inline void points(const Sgp4Object* objects, const std::int64_t* ids, std::ptrdiff_t n, const double* jd,
                   const double* fr, double* r, double* v, std::uint8_t* code) noexcept {
    Resonance res;
    for (std::ptrdiff_t q = 0; q < n; ++q) {
        if (q > 0 && ids[q] != ids[q - 1]) res = Resonance{};
        const Sgp4Object& obj = objects[ids[q]];
        const double tsince = (jd[q] - obj.jd) * 1440.0 + (fr[q] - obj.fr) * 1440.0;
        State s;
        code[q] = state_code(propagate(obj.record, tsince, s, res), s);
        for (int x = 0; x < 3; ++x) {
            r[3 * q + x] = s.r[x] * 1000.0;
            v[3 * q + x] = s.v[x] * 1000.0;
        }
    }
}

}  // namespace velarion::propagators::analytical::sgp4::kernels

#endif
