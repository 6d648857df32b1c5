"""Celestial bodies (Earth, Sun, Moon), their constants, and the Sun's position."""

from typing import ClassVar

import numpy as np
from numpy.typing import NDArray

from velarion.time.time import Time

class CelestialBody:
    """Base class of the celestial bodies; constants are class attributes."""

class Earth(CelestialBody):
    name: ClassVar[str]
    GM: ClassVar[float]
    radius: ClassVar[float]
    J2: ClassVar[float]

class Sun(CelestialBody):
    name: ClassVar[str]
    GM: ClassVar[float]
    radius: ClassVar[float]

class Moon(CelestialBody):
    name: ClassVar[str]
    GM: ClassVar[float]
    radius: ClassVar[float]

def sun_position_gcrf(time: Time) -> NDArray[np.float64]:
    """The Sun's geocentric position [m] in GCRF, shape time.shape + (3,)."""
