"""The Sun's position in ITRF, and the Earth's shadow.

Shadow model: the Earth is a sphere of radius 6378137 m (the WGS84
equatorial radius), the Sun a point at its centre: a satellite is sunlit
when the segment from it to the Sun's centre misses the sphere, that is,
when the Sun's centre is above the Earth's limb seen from the satellite.
Umbra and penumbra are not told apart: the boundary is the middle of the
penumbra (half the Sun's disc hidden), which a low satellite crosses in
about 8 s. Positions are geometric: no light time, no aberration, no
atmospheric refraction (which lifts the Sun's image by about half a degree
at the horizon, and bends sunlight into the shadow's edge).

The Sun's position comes from ``velarion.bodies.bodies.sun_position_gcrf``
(ERFA's Earth ephemeris; no data file) and reaches ITRF through the frame
graph with the Earth orientation data in use.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.bodies.bodies import sun_position_gcrf
from velarion.constants import EARTH_RADIUS as _WGS84_RADIUS
from velarion.frames.frames import get_GCRF
from velarion.time.time import Time

__all__ = ["EARTH_RADIUS", "shadowed", "sun_itrf"]

Array = NDArray[Any]

EARTH_RADIUS = _WGS84_RADIUS  # m: the sphere that casts the shadow
_SUN_NODES = 1200.0  # s between exact Sun positions (interpolated between)


def _sun_itrf_at(start: Time, seconds: Array) -> Array:
    """The Sun's ITRF position at ``start + seconds``: exact every
    ``_SUN_NODES`` seconds or closer (position from ERFA, velocity from the
    neighbouring nodes, both carried to ITRF with the full IAU 2000A
    rotation), cubic Hermite polynomials in between (the Sun turns 5 deg
    about the ITRF axis in 20 minutes: the interpolation is off by under
    2e-7 rad)."""
    lo, hi = float(seconds.min()), float(seconds.max())
    k = max(1, int(np.ceil((hi - lo) / _SUN_NODES)))
    h = max((hi - lo) / k, 1.0)
    nodes = lo + h * np.arange(-1, k + 2)  # one more on each side for the rates
    gcrf = sun_position_gcrf(start + nodes)
    rate = np.gradient(gcrf, h, axis=0, edge_order=2)
    rm, vm = get_GCRF().to_ITRF(start + nodes[1:-1], gcrf[1:-1], rate[1:-1])
    r, v = np.asarray(rm), np.asarray(vm)
    j = np.clip(np.floor((seconds - lo) / h).astype(np.intp), 0, k - 1)
    x = ((seconds - lo) / h - j)[:, None]
    x2, x3 = x * x, x * x * x
    return np.asarray(
        (2 * x3 - 3 * x2 + 1) * r[j]
        + (x3 - 2 * x2 + x) * h * v[j]
        + (3 * x2 - 2 * x3) * r[j + 1]
        + (x3 - x2) * h * v[j + 1]
    )


def sun_itrf(time: Time) -> Array:
    """The Sun's geocentric ITRF position [m] at each epoch of a one-dimensional ``time``, (N, 3)."""
    if not time.size:
        return np.empty((0, 3))
    start = time[0]
    seconds = np.asarray(time - start, dtype=np.float64)
    if (seconds.max() - seconds.min()) / _SUN_NODES > time.size:
        # sparse epochs: each computed exactly
        gcrf = sun_position_gcrf(time)
        r, _ = get_GCRF().to_ITRF(time, gcrf, np.zeros_like(gcrf))
        return np.asarray(r)
    return _sun_itrf_at(start, seconds)


def shadowed(r: Array, sun: Array) -> Array:
    """Whether the points ``r`` (N, 3) [m] are in the Earth's shadow from the
    Sun at ``sun`` (N, 3) [m], both geocentric in the same axes."""
    d = sun - r
    # the point of the segment r + s d (0 <= s <= 1) nearest the Earth's centre
    s = np.clip(-np.einsum("ij,ij->i", r, d) / np.einsum("ij,ij->i", d, d), 0.0, 1.0)
    nearest = r + s[:, None] * d
    return np.asarray(np.einsum("ij,ij->i", nearest, nearest) < EARTH_RADIUS**2)
