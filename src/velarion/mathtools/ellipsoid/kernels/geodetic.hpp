// Geodetic <-> Cartesian conversions on an oblate ellipsoid of revolution
// (no Python).
//
// The inverse is the closed-form solution of Vermeille (2004) in the form
// given by Karney's GeographicLib (Geocentric::IntReverse), which stays
// accurate everywhere: on the axis, in the equatorial plane, inside the
// evolute near the centre and at the centre itself. A final Newton step on
// the latitude takes the result to within an ulp or two of the exact foot
// point.
#ifndef VELARION_MATHTOOLS_ELLIPSOID_KERNELS_GEODETIC_HPP
#define VELARION_MATHTOOLS_ELLIPSOID_KERNELS_GEODETIC_HPP

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>

namespace velarion::mathtools::ellipsoid::kernels {

struct Shape {
    double a = 0.0;    // equatorial radius
    double f = 0.0;    // flattening, 0 <= f < 1
    double e2 = 0.0;   // first eccentricity squared, f (2 - f)
    double e2m = 1.0;  // 1 - e2 = (1 - f)^2, computed without cancellation
    double e4 = 0.0;   // e2^2

    static Shape make(double a, double f) noexcept {
        Shape s;
        s.a = a;
        s.f = f;
        s.e2 = f * (2.0 - f);
        s.e2m = (1.0 - f) * (1.0 - f);
        s.e4 = s.e2 * s.e2;
        return s;
    }
};

// 1 - e2 sin^2(phi), as cos^2 + (1 - e2) sin^2: never 0 at a pole, even
// when f is so close to 1 that e2 rounds to 1 (then 1 - e2 sin^2 is 0 and
// the radii of curvature come out infinite).
inline double one_minus_e2_sin2(const Shape& s, double sphi, double cphi) noexcept {
    return cphi * cphi + s.e2m * sphi * sphi;
}

// Earth-fixed position (m) of geodetic latitude `lat`, longitude `lon` (rad)
// and height `alt` (m) above the ellipsoid.
inline void geodetic_to_cartesian(const Shape& s, double lat, double lon, double alt, double out[3]) noexcept {
    const double sphi = std::sin(lat), cphi = std::cos(lat);
    const double slam = std::sin(lon), clam = std::cos(lon);
    const double n = s.a / std::sqrt(one_minus_e2_sin2(s, sphi, cphi));  // prime vertical radius
    const double rxy = (n + alt) * cphi;
    out[0] = rxy * clam;
    out[1] = rxy * slam;
    out[2] = (s.e2m * n + alt) * sphi;
}

// Geodetic latitude, longitude (rad) and height (m) of the Earth-fixed
// position r. On the axis the longitude is 0; at the centre the latitude is
// +pi/2 (the centre is the same distance b below both poles).
inline void cartesian_to_geodetic(const Shape& s, const double r[3], double& lat, double& lon, double& alt) noexcept {
    const double x = r[0], y = r[1], z = r[2];
    const double rxy = std::hypot(x, y);
    lon = rxy != 0.0 ? std::atan2(y, x) : 0.0;
    const double dist = std::hypot(rxy, z);
    const double a = s.a;
    double sphi, cphi;
    if (dist * (0.5 * std::numeric_limits<double>::epsilon()) > a) {
        // So far away that the ellipsoid is a point (dist > 2 a / eps, written
        // so that neither side overflows for the largest a, and an
        // overflowed dist still lands here); halving keeps the horizontal
        // distance finite for any finite input.
        lat = std::atan2(z / 2.0, std::hypot(x / 2.0, y / 2.0));
        alt = dist;
        return;
    }
    if (s.e4 == 0.0) {
        // Sphere.
        const double zz = dist == 0.0 ? 1.0 : z;
        const double h = std::hypot(zz, rxy);
        lat = std::atan2(zz / h, rxy / h);
        alt = dist - a;
        return;
    }
    const double p = (rxy / a) * (rxy / a);
    const double q = s.e2m * (z / a) * (z / a);
    const double rr = (p + q - s.e4) / 6.0;
    if (!(s.e4 * q == 0.0 && rr <= 0.0)) {
        const double S = s.e4 * p * q / 4.0;  // r^3 s
        const double r2 = rr * rr, r3 = rr * r2;
        const double disc = S * (2.0 * r3 + S);
        double u = rr;
        if (disc >= 0.0) {
            double t3 = S + r3;
            t3 += t3 < 0.0 ? -std::sqrt(disc) : std::sqrt(disc);  // (r t)^3, the larger root
            const double t = std::cbrt(t3);
            u += t + (t != 0.0 ? r2 / t : 0.0);
        } else {
            // Inside the evolute: three real roots, take the one free of cancellation.
            const double ang = std::atan2(std::sqrt(-disc), -(S + r3));
            u += 2.0 * rr * std::cos(ang / 3.0);
        }
        const double v = std::sqrt(u * u + s.e4 * q);
        const double uv = u < 0.0 ? s.e4 * q / (v - u) : u + v;
        const double w = std::max(0.0, s.e2 * (uv - q) / (2.0 * v));
        const double k = uv / (std::sqrt(uv + w * w) + w);
        const double k2 = k + s.e2;
        const double h = std::hypot(z / k, rxy / k2);
        sphi = (z / k) / h;
        cphi = (rxy / k2) / h;
    } else {
        // In the equatorial plane inside the evolute (|x| < a e^2): the
        // general formulas give 0/0; these are their limits.
        const double zz = std::sqrt((s.e4 - p) / s.e2m);
        const double xx = std::sqrt(p);
        const double h = std::hypot(zz, xx);
        sphi = zz / h;
        cphi = xx / h;
        if (z < 0.0) sphi = -sphi;
    }
    lat = std::atan2(sphi, cphi);
    // One Newton step on the latitude. With the foot point F(phi) on the
    // meridian ellipse, g(phi) = rxy sin(phi) - z cos(phi) - e2 N sin(phi) cos(phi)
    // is minus the component of r - F along the meridian tangent, zero at the
    // solution, and dg/dphi = M + h (M the meridian radius of curvature).
    // Inside the evolute, where M + h <= 0, the closed form is kept as is.
    {
        const double sp = std::sin(lat), cp = std::cos(lat);
        const double w2 = one_minus_e2_sin2(s, sp, cp);
        const double n = a / std::sqrt(w2);
        const double m = n * s.e2m / w2;
        const double h = rxy * cp + z * sp - a * std::sqrt(w2);
        const double g = rxy * sp - z * cp - s.e2 * n * sp * cp;
        if (m + h > 0.0) lat -= g / (m + h);
    }
    const double sp = std::sin(lat), cp = std::cos(lat);
    // h = rxy cos(phi) + z sin(phi) - a sqrt(1 - e2 sin^2 phi): exact
    // distance along the normal, free of the 1/cos(phi) of the usual forms.
    alt = rxy * cp + z * sp - a * std::sqrt(one_minus_e2_sin2(s, sp, cp));
}

// What a loop found wrong with a point.
enum class Fault { none, not_finite, latitude_range };

// Whether a geodetic latitude, longitude and height can be converted: all
// finite, the latitude within [-pi/2, pi/2] (a latitude past a pole is a
// mistake, such as degrees given for radians, not another point).
inline Fault check_geodetic(double lat, double lon, double alt) noexcept {
    if (!(std::isfinite(lat) && std::isfinite(lon) && std::isfinite(alt))) return Fault::not_finite;
    if (!(std::fabs(lat) <= std::numbers::pi / 2)) return Fault::latitude_range;
    return Fault::none;
}

// Strided loops over n points (pointers and strides in bytes). Each returns
// the index of the first point it cannot convert (the reason in `fault`),
// after which nothing more is written, or -1 when all were converted.
inline std::ptrdiff_t geodetic_to_cartesian_loop(const Shape& s, std::ptrdiff_t n, char* const* p,
                                                 const std::ptrdiff_t* stride, Fault& fault) noexcept {
    const char *plat = p[0], *plon = p[1], *palt = p[2];
    char *px = p[3], *py = p[4], *pz = p[5];
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double lat = *reinterpret_cast<const double*>(plat);
        const double lon = *reinterpret_cast<const double*>(plon);
        const double alt = *reinterpret_cast<const double*>(palt);
        if ((fault = check_geodetic(lat, lon, alt)) != Fault::none) return i;
        double out[3];
        geodetic_to_cartesian(s, lat, lon, alt, out);
        *reinterpret_cast<double*>(px) = out[0];
        *reinterpret_cast<double*>(py) = out[1];
        *reinterpret_cast<double*>(pz) = out[2];
        plat += stride[0], plon += stride[1], palt += stride[2];
        px += stride[3], py += stride[4], pz += stride[5];
    }
    return -1;
}

inline std::ptrdiff_t cartesian_to_geodetic_loop(const Shape& s, std::ptrdiff_t n, char* const* p,
                                                 const std::ptrdiff_t* stride, Fault& fault) noexcept {
    const char *px = p[0], *py = p[1], *pz = p[2];
    char *plat = p[3], *plon = p[4], *palt = p[5];
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        const double r[3] = {*reinterpret_cast<const double*>(px), *reinterpret_cast<const double*>(py),
                             *reinterpret_cast<const double*>(pz)};
        if (!(std::isfinite(r[0]) && std::isfinite(r[1]) && std::isfinite(r[2]))) {
            fault = Fault::not_finite;
            return i;
        }
        cartesian_to_geodetic(s, r, *reinterpret_cast<double*>(plat), *reinterpret_cast<double*>(plon),
                              *reinterpret_cast<double*>(palt));
        px += stride[0], py += stride[1], pz += stride[2];
        plat += stride[3], plon += stride[4], palt += stride[5];
    }
    return -1;
}

}  // namespace velarion::mathtools::ellipsoid::kernels

#endif
