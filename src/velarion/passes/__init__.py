"""Passes of satellites over ground stations, look angles and visibility.

The library behind ``velarion passes`` and ``velarion look``::

    >>> from velarion.passes import Station, find_passes, look_angles
    >>> from velarion.propagators.analytical.sgp4 import load_tles
    >>> stations = [Station(50.0006, 5.1453, 385.0, "Redu"), Station(-35.40, 148.98, 688.0, "Canberra")]
    >>> passes = find_passes(load_tles("catalogue.tle"), stations, "2024-03-20", 86400.0)
    >>> for p in passes: print(p.satellite, p.station.name, p.rise, p.max_elevation)
    >>> passes.failures          # satellites that could not be searched, with the epoch and the error

``find_passes`` searches every satellite over every station in one call
(each satellite propagated once for all stations); ``look_angles`` gives
azimuth, elevation, range and range rate for antenna pointing (and the
Doppler shift of a carrier, ``velarion.passes.doppler``);
``find_passes(..., visible=True)`` and ``sunlit`` tell when a satellite can
be seen (see ``velarion.bodies.shadow`` for the shadow model).
"""

from .doppler import LookAnglesDoppler, doppler_shift
from .passes import LookAngles, Pass, Passes, event_times, find_passes, look_angles
from .satellites import Failure, Source, propagator_source, sgp4_source
from .stations import Station
from .visibility import sun_elevation, sunlit

__all__ = [
    "Failure",
    "LookAngles",
    "LookAnglesDoppler",
    "Pass",
    "Passes",
    "Source",
    "Station",
    "doppler_shift",
    "event_times",
    "find_passes",
    "look_angles",
    "propagator_source",
    "sgp4_source",
    "sun_elevation",
    "sunlit",
]
