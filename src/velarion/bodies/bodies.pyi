"""Celestial bodies (Earth, Sun, Moon) and their constants."""

from typing import ClassVar

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
