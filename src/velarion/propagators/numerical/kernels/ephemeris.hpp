// Positions of the Sun, the Moon and the planets from the Chebyshev records
// of a JPL development ephemeris (SPK type 2 segments), evaluated without
// Python. The Python side (velarion.propagators.numerical.ephemeris) slices
// the kernel's segments to a time span and packs them into one float64
// array, validated here once (load_ephemeris); evaluation reads it only.
//
// Packed layout: [n_series, then per series (start, intlen, ncoef, nrec,
// offset), then the coefficients]. Series k covers
// [start, start + nrec * intlen) in TDB seconds since J2000.0; record j of it
// holds 3 * ncoef values at packed[offset + j * 3 * ncoef], x then y then z,
// coefficient 0 first, in kilometres (the kernel's own unit).
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_EPHEMERIS_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_EPHEMERIS_HPP

#include <cmath>
#include <cstddef>

namespace velarion::numerical {

// The series every packed ephemeris starts with, in this order; planets
// (solar-system-barycentre to planet barycentre) follow from index 4 on.
enum EphemerisSeries : int { kSsbToEmb = 0, kEmbToEarth = 1, kEmbToMoon = 2, kSsbToSun = 3, kFirstPlanet = 4 };

inline constexpr int kMaxSeries = 16;
inline constexpr int kMaxCoefficients = 64;

struct ChebyshevSeries {
    double start = 0.0;   // TDB s since J2000.0
    double intlen = 0.0;  // s per record
    int ncoef = 0;
    long nrec = 0;
    const double* coef = nullptr;
};

struct Ephemeris {
    int count = 0;
    ChebyshevSeries series[kMaxSeries];
    // The span every series covers (their intersection).
    double first = 0.0, last = 0.0;
};

// Reads the packed layout; false when it is malformed (counts, offsets or
// spans that do not fit the array), so no later evaluation can read past it.
inline bool load_ephemeris(const double* packed, std::size_t size, Ephemeris& out) noexcept {
    if (size < 1 || !(packed[0] >= static_cast<double>(kFirstPlanet)) || packed[0] > kMaxSeries) return false;
    const int n = static_cast<int>(packed[0]);
    if (static_cast<double>(n) != packed[0] || size < 1 + 5 * static_cast<std::size_t>(n)) return false;
    out.count = n;
    out.first = -INFINITY;
    out.last = INFINITY;
    for (int k = 0; k < n; ++k) {
        const double* h = packed + 1 + 5 * k;
        const double start = h[0], intlen = h[1], ncoef = h[2], nrec = h[3], offset = h[4];
        if (!std::isfinite(start) || !(intlen > 0.0) || !std::isfinite(intlen) || !(ncoef >= 1.0) ||
            ncoef > kMaxCoefficients || !(nrec >= 1.0) || nrec > 1e12 || !(offset >= 0.0) ||
            ncoef != std::floor(ncoef) || nrec != std::floor(nrec) || offset != std::floor(offset))
            return false;
        const double end = offset + nrec * 3.0 * ncoef;
        if (end > static_cast<double>(size)) return false;
        ChebyshevSeries& s = out.series[k];
        s.start = start;
        s.intlen = intlen;
        s.ncoef = static_cast<int>(ncoef);
        s.nrec = static_cast<long>(nrec);
        s.coef = packed + static_cast<std::size_t>(offset);
        if (start > out.first) out.first = start;
        const double stop = start + nrec * intlen;
        if (stop < out.last) out.last = stop;
    }
    return out.first < out.last;
}

// Position of one series at `tdb`, metres; false outside the series' span.
// The record is found as jplephem finds it (the end of the span belongs to
// the last record) and summed by Clenshaw's recurrence.
inline bool chebyshev_position(const ChebyshevSeries& s, double tdb, double out[3]) noexcept {
    const double from_start = tdb - s.start;
    if (!(from_start >= 0.0) || from_start > static_cast<double>(s.nrec) * s.intlen) return false;
    long index = static_cast<long>(std::floor(from_start / s.intlen));
    double offset = from_start - static_cast<double>(index) * s.intlen;
    if (index >= s.nrec) {
        index = s.nrec - 1;
        offset += s.intlen;
    }
    const double x = 2.0 * offset / s.intlen - 1.0, x2 = 2.0 * x;
    const double* c = s.coef + static_cast<std::size_t>(index) * 3 * static_cast<std::size_t>(s.ncoef);
    for (int axis = 0; axis < 3; ++axis) {
        const double* ca = c + axis * s.ncoef;
        double b0 = 0.0, b1 = 0.0;
        for (int j = s.ncoef - 1; j >= 1; --j) {
            const double b2 = b1;
            b1 = b0;
            b0 = ca[j] + (x2 * b1 - b2);
        }
        out[axis] = (ca[0] + (x * b0 - b1)) * 1000.0;
    }
    return true;
}

// Velocity of one series at `tdb`, m/s (the derivative of the Chebyshev
// sum: T'_{k+1} = 2 T_k + 2 x T'_k - T'_{k-1}); false outside its span.
inline bool chebyshev_velocity(const ChebyshevSeries& s, double tdb, double out[3]) noexcept {
    const double from_start = tdb - s.start;
    if (!(from_start >= 0.0) || from_start > static_cast<double>(s.nrec) * s.intlen) return false;
    long index = static_cast<long>(std::floor(from_start / s.intlen));
    double offset = from_start - static_cast<double>(index) * s.intlen;
    if (index >= s.nrec) {
        index = s.nrec - 1;
        offset += s.intlen;
    }
    const double x = 2.0 * offset / s.intlen - 1.0;
    const double* c = s.coef + static_cast<std::size_t>(index) * 3 * static_cast<std::size_t>(s.ncoef);
    double t[kMaxCoefficients], dt[kMaxCoefficients];
    t[0] = 1.0;
    dt[0] = 0.0;
    if (s.ncoef > 1) {
        t[1] = x;
        dt[1] = 1.0;
    }
    for (int k = 2; k < s.ncoef; ++k) {
        t[k] = 2.0 * x * t[k - 1] - t[k - 2];
        dt[k] = 2.0 * t[k - 1] + 2.0 * x * dt[k - 1] - dt[k - 2];
    }
    const double scale = 2.0 / s.intlen * 1000.0;
    for (int axis = 0; axis < 3; ++axis) {
        const double* ca = c + axis * s.ncoef;
        double sum = 0.0;
        for (int k = s.ncoef - 1; k >= 1; --k) sum += ca[k] * dt[k];
        out[axis] = sum * scale;
    }
    return true;
}

// Geocentric velocity (m/s) of the Sun, for the de Sitter term.
inline bool geocentric_sun_velocity(const Ephemeris& e, double tdb, double out[3]) noexcept {
    double sun[3], emb[3], earth[3];
    if (!chebyshev_velocity(e.series[kSsbToSun], tdb, sun) || !chebyshev_velocity(e.series[kSsbToEmb], tdb, emb) ||
        !chebyshev_velocity(e.series[kEmbToEarth], tdb, earth))
        return false;
    for (int i = 0; i < 3; ++i) out[i] = sun[i] - (emb[i] + earth[i]);
    return true;
}

// Geocentric position (m, GCRF axes: the ephemeris' ICRF) of the body whose
// series is `body` (kSsbToSun, kEmbToMoon or a planet's index); false
// outside the span or for an unknown series.
inline bool geocentric_position(const Ephemeris& e, int body, double tdb, double out[3]) noexcept {
    if (body < kEmbToMoon || body >= e.count) return false;
    double earth[3], b[3];
    if (!chebyshev_position(e.series[kEmbToEarth], tdb, earth)) return false;
    if (body == kEmbToMoon) {
        if (!chebyshev_position(e.series[kEmbToMoon], tdb, b)) return false;
        for (int i = 0; i < 3; ++i) out[i] = b[i] - earth[i];
        return true;
    }
    double emb[3];
    if (!chebyshev_position(e.series[kSsbToEmb], tdb, emb) || !chebyshev_position(e.series[body], tdb, b)) return false;
    for (int i = 0; i < 3; ++i) out[i] = b[i] - (emb[i] + earth[i]);
    return true;
}

// The Sun and the Moon at once, as the propagator fills its ForceContext.
inline bool geocentric_sun_moon(const Ephemeris& e, double tdb, double sun[3], double moon[3]) noexcept {
    return geocentric_position(e, kSsbToSun, tdb, sun) && geocentric_position(e, kEmbToMoon, tdb, moon);
}

}  // namespace velarion::numerical

#endif
