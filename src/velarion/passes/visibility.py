"""When a satellite can be seen with the eye: sunlit, over a dark station.

A pass is visible when, at some moment while the satellite is above the
minimum elevation, the satellite is sunlit and the Sun is more than 6
degrees below the station's horizon (civil twilight over, or darker).
``find_passes(..., visible=True)`` checks this every 10 s of each pass
(and at its ends).

The shadow model and the Sun's position: see ``velarion.bodies.shadow``.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.bodies.shadow import EARTH_RADIUS, _sun_itrf_at, shadowed, sun_itrf
from velarion.frames.frames import ENU
from velarion.time.time import Time
from velarion.utils.threads import resolve_threads

from .satellites import exact_itrf, one_satellite
from .stations import Network, Station, look

__all__ = ["EARTH_RADIUS", "SUN_BELOW", "shadowed", "sun_elevation", "sun_itrf", "sunlit"]

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]

SUN_BELOW = -6.0  # deg: the Sun's elevation at the station must be below this
SAMPLE_STEP = 10.0  # s between the checks along a pass


def _flat(time: Time) -> Time:
    if time.ndim == 1:
        return time
    return Time.from_jd(np.reshape(time.jd1, -1), np.reshape(time.jd2, -1), scale=time.scale)


def sunlit(satellite: Any, time: Any, *, threads: int | None = None) -> NDArray[np.bool_]:
    """Whether one satellite is sunlit (outside the Earth's shadow, see
    ``velarion.bodies.shadow``) at every epoch of ``time``: a bool array of
    its shape. ``threads``: threads of the propagation (default: every core)."""
    threads = resolve_threads(threads)
    time = time if isinstance(time, Time) else Time(time)
    sats = [one_satellite(satellite, "sunlit")]
    flat = _flat(time)
    r, _, failures = exact_itrf(sats, np.zeros(flat.size, dtype=np.intp), flat, threads)
    if failures:
        raise next(iter(failures.values())).error
    lit: NDArray[np.bool_] = (~shadowed(r, sun_itrf(flat))).reshape(time.shape)
    return lit


def sun_elevation(station: Station | ENU, time: Any) -> NDArray[np.float64]:
    """The Sun's geometric elevation [deg] seen from a station at every epoch of ``time``."""
    time = time if isinstance(time, Time) else Time(time)
    if not isinstance(station, (Station, ENU)):
        raise TypeError(f"station must be a Station or an ENU frame, not {type(station).__name__}")
    flat = _flat(time)
    sun = sun_itrf(flat)
    p, w = Network([station]).to_enu(np.zeros(flat.size, dtype=np.intp), sun, np.zeros_like(sun))
    el, _, _ = look(p, w)
    deg: NDArray[np.float64] = np.degrees(el).reshape(time.shape)
    return deg


def visible_passes(itrf: Any, network: Network, sat: Array, station: Array, lo: Array, hi: Array, start: Time) -> Array:
    """For passes of satellite ``sat[j]`` over station ``station[j]`` from
    ``lo[j]`` to ``hi[j]`` seconds after ``start``: whether each is visible,
    checked every ``SAMPLE_STEP`` seconds and at both ends. ``itrf(sat,
    seconds)`` gives the satellites' ITRF positions and velocities."""
    n = sat.size
    if not n:
        return np.zeros(0, dtype=bool)
    count = np.maximum(2, np.ceil((hi - lo) / SAMPLE_STEP).astype(np.intp) + 1)
    which = np.repeat(np.arange(n), count)
    offset = np.arange(which.size) - np.repeat(np.cumsum(count) - count, count)
    frac = offset / (count[which] - 1)
    seconds = lo[which] + frac * (hi - lo)[which]
    r, _ = itrf(sat[which], seconds)
    sun = _sun_itrf_at(start, seconds)
    lit = ~shadowed(r, sun)
    p, w = network.to_enu(station[which], sun, np.zeros_like(sun))
    el, _, _ = look(p, w)
    dark = el < np.radians(SUN_BELOW)
    seen = np.zeros(n, dtype=bool)
    np.logical_or.at(seen, which, lit & dark)
    return seen
