// Physical and time constants shared by the modules: each value stands here
// once. velarion/constants.py mirrors them for the Python layer (the tests
// compare the two through velarion._core._shared.constants()).
#ifndef VELARION_CORE_CONSTANTS_HPP
#define VELARION_CORE_CONSTANTS_HPP

namespace velarion::constants {

inline constexpr double kSecondsPerDay = 86400.0;
inline constexpr double kJ2000 = 2451545.0;    // JD of J2000.0 (TT)
inline constexpr double kJd1950 = 2433281.5;   // JD of 1949-12-31 0h, the origin of SGP4's epochs
inline constexpr double kMjdZero = 2400000.5;  // JD of MJD 0

// The Earth: rotation rate of the Earth rotation angle [rad/s], and the
// gravitational parameter [m^3/s^2], equatorial radius [m] and second zonal
// harmonic of IERS 2010 / WGS84 (EGM2008).
inline constexpr double kEarthRotationRate = 7.292115146706798e-5;
inline constexpr double kEarthGm = 3.986004418e14;
inline constexpr double kEarthRadius = 6378137.0;
inline constexpr double kEarthJ2 = 1.08262668e-3;

// WGS72, what element sets are fitted with (SGP4's own Earth).
inline constexpr double kWgs72Gm = 3.986008e14;    // m^3/s^2
inline constexpr double kWgs72Radius = 6378135.0;  // m

// The Sun (IAU 2015 nominal radius) and the Moon.
inline constexpr double kSunGm = 1.32712440018e20;  // m^3/s^2
inline constexpr double kSunRadius = 6.957e8;       // m
inline constexpr double kMoonGm = 4.9028000661e12;  // m^3/s^2
inline constexpr double kMoonRadius = 1737400.0;    // m

}  // namespace velarion::constants

#endif
