"""Sun, Moon and planet positions for the numerical propagator, from a JPL
development ephemeris read with ``jplephem``.

`PlanetaryEphemeris` opens an SPK kernel (by default DE421, shipped as
``de421.bsp`` by the ``skyfield-data`` package), slices the Chebyshev records
of the bodies it needs to a time span and packs them into one float64 array
(`packed`). The compiled force terms evaluate that array at every step
without calling Python (kernels/ephemeris.hpp); `geocentric` runs the same
compiled evaluation over many epochs, for checks and set-up.

Times are TDB seconds since J2000.0; positions are metres in the kernel's
frame (ICRF, which the package takes as GCRF axes).
"""

from __future__ import annotations

import importlib.util
import os
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["BODIES", "GM_DE421", "PlanetaryEphemeris", "default_kernel_path"]

_SECONDS_PER_DAY = 86400.0
_J2000_JD = 2451545.0

# Bodies by name -> NAIF id of the SPK segment from the solar-system barycentre.
_PLANETS = {
    "mercury": 1,
    "venus": 2,
    "mars": 4,
    "jupiter": 5,
    "saturn": 6,
    "uranus": 7,
    "neptune": 8,
    "pluto": 9,
}
# The series every packed ephemeris holds first, in the compiled order.
_BASE_SEGMENTS = ((0, 3), (3, 399), (3, 301), (0, 10))
BODIES = ("sun", "moon", *_PLANETS)
# GM (m^3/s^2) of each body as DE421 has it (its constants GMS, GM1..GM9 in
# AU^3/day^2, and the Moon's GMB / (1 + EMRAT)); planets are their systems'
# barycentres, as the kernel's segments are.
GM_DE421 = {
    "sun": 1.327124400409446e20,
    "moon": 4.902800076227744e12,
    "mercury": 2.203209e13,
    "venus": 3.24858592e14,
    "mars": 4.2828375214e13,
    "jupiter": 1.267127648e17,
    "saturn": 3.79405852e16,
    "uranus": 5.7945486e15,
    "neptune": 6.836535e15,
    "pluto": 9.77e11,
}
# Index of each body's series in the packed array: the Sun and the Moon are
# fixed (kernels/ephemeris.hpp), planets follow in the order asked for.
_SUN_SERIES, _MOON_SERIES, _FIRST_PLANET = 3, 2, 4


def default_kernel_path() -> str:
    """Path of DE421 as the ``skyfield-data`` package ships it."""
    spec = importlib.util.find_spec("skyfield_data")
    locations = list(spec.submodule_search_locations or []) if spec else []
    for where in locations:
        path = os.path.join(where, "data", "de421.bsp")
        if os.path.isfile(path):
            return path
    raise FileNotFoundError(
        "the default JPL ephemeris de421.bsp was not found: it comes with the 'skyfield-data' package "
        "(pip install skyfield-data), or give the path of an SPK kernel (e.g. de440.bsp)"
    )


def _seconds_from_jd(jd: float) -> float:
    return (jd - _J2000_JD) * _SECONDS_PER_DAY


class PlanetaryEphemeris:
    """Chebyshev records of a JPL SPK kernel over ``[start, stop]`` (TDB
    seconds since J2000.0), packed for the compiled force terms.

    ``planets`` adds planet barycentres ("mercury" ... "pluto") to the Sun and
    the Moon, which are always there. A span outside the kernel is refused
    with ``ValueError`` naming the kernel's range; a kernel that cannot be
    found raises ``FileNotFoundError`` naming the file (and, for the default,
    the package that brings it)."""

    def __init__(
        self,
        start: float,
        stop: float,
        *,
        planets: tuple[str, ...] | list[str] = (),
        path: str | os.PathLike[str] | None = None,
    ) -> None:
        from jplephem.spk import SPK

        start, stop = float(start), float(stop)
        if not (np.isfinite(start) and np.isfinite(stop)) or stop < start:
            raise ValueError(f"the span must be finite with stop >= start, got [{start}, {stop}]")
        unknown = [p for p in planets if p not in _PLANETS]
        if unknown:
            raise ValueError(f"unknown planet(s) {unknown}; known: {sorted(_PLANETS)}")
        self.path = os.fspath(path) if path is not None else default_kernel_path()
        if not os.path.isfile(self.path):
            raise FileNotFoundError(f"JPL ephemeris kernel {self.path!r} not found")
        self.planets = tuple(planets)
        segments = [*_BASE_SEGMENTS, *((0, _PLANETS[p]) for p in self.planets)]
        kernel = SPK.open(self.path)
        try:
            pairs = {(s.center, s.target): s for s in kernel.segments}
            headers: list[list[float]] = []
            blocks: list[NDArray[np.float64]] = []
            offset = 1 + 5 * len(segments)
            for center, target in segments:
                segment = pairs.get((center, target))
                if segment is None:
                    raise ValueError(f"{self.path!r} has no segment {center} -> {target}")
                if segment.data_type != 2:
                    raise ValueError(
                        f"{self.path!r}: segment {center} -> {target} is of SPK type "
                        f"{segment.data_type}, not 2 (Chebyshev position)"
                    )
                first, last = segment.start_second, segment.end_second
                if start < first or stop > last:
                    raise ValueError(
                        f"the span [{start:.1f}, {stop:.1f}] s TDB since J2000 lies outside the ephemeris "
                        f"{os.path.basename(self.path)}, which covers [{first:.1f}, {last:.1f}] s "
                        f"(JD {_J2000_JD + first / _SECONDS_PER_DAY} to {_J2000_JD + last / _SECONDS_PER_DAY})"
                    )
                init_jd, intlen_days, coefficients = segment.load_array()
                init = _seconds_from_jd(init_jd)
                intlen = intlen_days * _SECONDS_PER_DAY
                n = coefficients.shape[1]
                # one record more on each side where the kernel has it: an
                # integrator's stages may reach a little past the span's ends
                i0 = max(0, min(n - 1, int(np.floor((start - init) / intlen)) - 1))
                i1 = max(i0, min(n - 1, int(np.floor((stop - init) / intlen)) + 1))
                # (3, records, ncoef) -> records of (3, ncoef), coefficient 0 first
                block = np.ascontiguousarray(np.transpose(coefficients[:, i0 : i1 + 1, :], (1, 0, 2)))
                ncoef = coefficients.shape[2]
                headers.append([init + i0 * intlen, intlen, float(ncoef), float(i1 - i0 + 1), float(offset)])
                blocks.append(block.ravel())
                offset += block.size
        finally:
            kernel.close()
        self.start, self.stop = start, stop
        self.packed: NDArray[np.float64] = np.concatenate(
            [np.array([float(len(segments))]), np.array(headers, dtype=np.float64).ravel(), *blocks]
        )
        self.packed.flags.writeable = False

    def series_index(self, body: str) -> int:
        """Index of a body's series in `packed` (what the compiled terms take)."""
        if body == "sun":
            return _SUN_SERIES
        if body == "moon":
            return _MOON_SERIES
        if body in self.planets:
            return _FIRST_PLANET + self.planets.index(body)
        raise ValueError(
            f"{body!r} is not in this ephemeris (bodies: sun, moon{''.join(', ' + p for p in self.planets)})"
        )

    def geocentric(self, body: str, tdb: ArrayLike) -> NDArray[np.float64]:
        """Geocentric positions (n, 3), metres, of a body at TDB seconds since J2000.0."""
        from ._forces import ephemeris_geocentric

        t = np.ascontiguousarray(np.atleast_1d(np.asarray(tdb, dtype=np.float64)))
        if t.ndim != 1:
            raise ValueError("tdb must be a scalar or a 1-D array")
        out: Any = ephemeris_geocentric(self.packed, self.series_index(body), t)
        return np.asarray(out)
