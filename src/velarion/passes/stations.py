"""Topocentric geometry: ground stations (``Station``, geodetic coordinates
in degrees), the geometry the search needs of a network of them (each
station's ITRF position and ITRF-to-ENU rotation, so that one ITRF state of
a satellite serves every station), and the look of ENU states (``look``:
elevation, its rate, azimuth)."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.frames.frames import ENU, get_ITRF

__all__ = ["Network", "Station", "look", "station_list"]

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]

_LOWEST_ALTITUDE = -1.0e5  # m below the WGS84 ellipsoid


@dataclass(frozen=True)
class Station:
    """A ground station: geodetic latitude and longitude [deg], altitude [m] above the WGS84 ellipsoid."""

    lat: float
    lon: float
    alt: float = 0.0
    name: str = ""

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"station name must be a str, not {type(self.name).__name__}")
        for field in ("lat", "lon", "alt"):
            value = getattr(self, field)
            if isinstance(value, (str, bytes)) or not isinstance(value, (int, float, np.integer, np.floating)):
                raise TypeError(f"station {field} must be a number, not {type(value).__name__}")
            # Plain floats from here on (a NumPy scalar or an int would print and compare differently).
            object.__setattr__(self, field, float(value))
            if not math.isfinite(getattr(self, field)):
                raise ValueError(f"station {field} must be finite, got {value!r}")
        if not -90.0 <= self.lat <= 90.0:
            raise ValueError(f"station latitude must lie in [-90, 90] degrees, got {self.lat!r}")
        if not -360.0 <= self.lon <= 360.0:
            raise ValueError(f"station longitude must lie in [-360, 360] degrees, got {self.lon!r}")
        if self.alt < _LOWEST_ALTITUDE:
            # Deeper than any place on Earth by far; near the centre its "up" turns over.
            raise ValueError(f"station altitude must be above {_LOWEST_ALTITUDE:g} m, got {self.alt!r}")

    def frame(self) -> ENU:
        """A new ENU frame of the station (linked to ITRF until ``release``)."""
        return ENU(math.radians(self.lon), math.radians(self.lat), float(self.alt))

    @staticmethod
    def release(frame: ENU) -> None:
        """Unlinks an ENU frame from ITRF (each ENU frame stays linked, and alive, until then)."""
        get_ITRF().remove_transform(frame)

    def __str__(self) -> str:
        ns = "N" if self.lat >= 0 else "S"
        ew = "E" if self.lon >= 0 else "W"
        label = f"{self.name}: " if self.name else ""
        return f"{label}{abs(self.lat):.4f} {ns}, {abs(self.lon):.4f} {ew}, {self.alt:g} m"


def station_list(stations: Any) -> list[Station | ENU]:
    """One station or a sequence of them, as a list (TypeError for anything else)."""
    if isinstance(stations, (Station, ENU)):
        return [stations]
    if isinstance(stations, (str, bytes)) or not isinstance(stations, Sequence):
        raise TypeError(
            f"stations must be a Station, an ENU frame or a sequence of them, not {type(stations).__name__}"
        )
    out = list(stations)
    for k, s in enumerate(out):
        if not isinstance(s, (Station, ENU)):
            raise TypeError(f"station {k} must be a Station or an ENU frame, not {type(s).__name__}")
    if not out:
        raise ValueError("no station given")
    return out


class Network:
    """The ITRF geometry of stations: positions ``offset`` (n, 3) [m] and
    rotations ``rotation`` (n, 3, 3) from ITRF to each station's ENU axes."""

    def __init__(self, stations: Sequence[Station | ENU]):
        self.stations = list(stations)
        n = len(self.stations)
        self.offset = np.empty((n, 3))
        self.rotation = np.empty((n, 3, 3))
        for k, s in enumerate(self.stations):
            enu = s.frame() if isinstance(s, Station) else s
            try:
                self.offset[k] = np.asarray(enu.r_station_ITRF, dtype=np.float64)
                self.rotation[k] = np.asarray(enu.rot_from_ITRF(), dtype=np.float64)
            finally:
                if enu is not s:
                    Station.release(enu)

    def __len__(self) -> int:
        return len(self.stations)

    def to_enu(
        self, station: NDArray[np.intp], r: NDArray[np.float64], v: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """ENU positions and velocities of ITRF rows, row k seen from station ``station[k]``."""
        station = np.asarray(station, dtype=np.intp)
        if len(self.stations) == 1:
            return (r - self.offset[0]) @ self.rotation[0].T, v @ self.rotation[0].T
        p = np.empty_like(r)
        w = np.empty_like(v)
        if len(self.stations) <= 32:
            # a matrix product per station
            for k in range(len(self.stations)):
                rows = np.flatnonzero(station == k)
                if rows.size:
                    p[rows] = (r[rows] - self.offset[k]) @ self.rotation[k].T
                    w[rows] = v[rows] @ self.rotation[k].T
            return p, w
        q = self.rotation[station]
        d = r - self.offset[station]
        for i in range(3):
            p[:, i] = q[:, i, 0] * d[:, 0] + q[:, i, 1] * d[:, 1] + q[:, i, 2] * d[:, 2]
            w[:, i] = q[:, i, 0] * v[:, 0] + q[:, i, 1] * v[:, 1] + q[:, i, 2] * v[:, 2]
        return p, w


def look(p: Array, w: Array) -> tuple[Array, Array, Array]:
    """Elevation, elevation rate and azimuth (from north through east) of ENU states."""
    e, n, u = p[:, 0], p[:, 1], p[:, 2]
    h2 = e * e + n * n
    h = np.sqrt(h2)
    el = np.arctan2(u, h)
    # d/dt atan2(u, h) = (h u' - u h') / (h^2 + u^2), h' = (e e' + n n') / h
    with np.errstate(divide="ignore", invalid="ignore"):
        eldot = (w[:, 2] * h2 - u * (e * w[:, 0] + n * w[:, 1])) / (h * (h2 + u * u))
    eldot = np.where(np.isfinite(eldot), eldot, 0.0)
    az = np.mod(np.arctan2(e, n), 2.0 * math.pi)
    return el, eldot, az
