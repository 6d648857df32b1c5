"""Physical and time constants shared by the modules, each standing once.

The Python mirror of the compiled modules' constants (``_core/constants.hpp``);
the tests check that the two agree to the last bit. SI units: seconds,
metres, m^3/s^2, rad/s; dates as Julian Dates.
"""

from __future__ import annotations

__all__ = [
    "EARTH_GM",
    "EARTH_J2",
    "EARTH_RADIUS",
    "EARTH_ROTATION_RATE",
    "J2000",
    "JD_1950",
    "MJD_ZERO",
    "MOON_GM",
    "MOON_RADIUS",
    "SECONDS_PER_DAY",
    "SUN_GM",
    "SUN_RADIUS",
    "WGS72_GM",
    "WGS72_RADIUS",
]

SECONDS_PER_DAY = 86400.0
J2000 = 2451545.0  # JD of J2000.0 (TT)
JD_1950 = 2433281.5  # JD of 1949-12-31 0h, the origin of SGP4's epochs
MJD_ZERO = 2400000.5  # JD of MJD 0

# The Earth: rotation rate of the Earth rotation angle, and the gravitational
# parameter, equatorial radius and second zonal harmonic of IERS 2010 / WGS84
# (EGM2008).
EARTH_ROTATION_RATE = 7.292115146706798e-5
EARTH_GM = 3.986004418e14
EARTH_RADIUS = 6378137.0
EARTH_J2 = 1.08262668e-3

# WGS72, what element sets are fitted with (SGP4's own Earth).
WGS72_GM = 3.986008e14
WGS72_RADIUS = 6378135.0

# The Sun (IAU 2015 nominal radius) and the Moon.
SUN_GM = 1.32712440018e20
SUN_RADIUS = 6.957e8
MOON_GM = 4.9028000661e12
MOON_RADIUS = 1737400.0
