"""Bounds of the satellites' paths over the span: radial ranges, largest
speeds and fourth derivatives, and the interpolation bound and coarse
step they give (see ``velarion.conjunctions.search``).
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.conjunctions import _screen
from velarion.constants import WGS72_GM
from velarion.propagators.analytical.sgp4.records import SGP4Error, epoch_text, model_code

from .intake import _Catalogue

Array = NDArray[Any]


# The model's Earth gravitational parameter [m^3/s^2].
_MU = WGS72_GM
_SHELL_MARGIN = 5.0e4  # m, on the radial range of each satellite
_SNAP_MARGIN = 1.25  # on the two-body fourth derivative
_VELOCITY_ERROR = 1e-3  # of the largest speed
# The interpolation bound the default step aims at for most satellites.
# The bound widens the threshold of the candidate search (once for each
# satellite of a pair), so the candidates and their refinement grow with
# it, while the samples grow as the step shrinks (the bound as about its
# fourth power). Where the pairs dominate (all-vs-all of a large
# catalogue: n^2 pairs), a share of the threshold within limits; where the
# samples do (a few primaries, n pairs, or a smaller catalogue), 10 km. At
# 5 km, 1.5 km against 10 km: a day of a catalogue of 15,000 active
# satellites in 0.7 of the time, 12 hours of 7,500 of them in 0.93, a day
# of 3,000 low orbits in 1.08.
_TARGET_SHARE = 0.3
_TARGET_MIN, _TARGET_MAX = 500.0, 1.0e4  # m
_PAIRS_DOMINATE = 5000  # satellites of an all-vs-all search


def _target_bound(threshold: float, satellites: int, few_primaries: bool) -> float:
    if few_primaries or satellites < _PAIRS_DOMINATE:
        return _TARGET_MAX
    return min(_TARGET_MAX, max(_TARGET_MIN, _TARGET_SHARE * threshold))


def _osculating(r: Array, v: Array) -> tuple[Array, Array]:
    """Semi-major axis and eccentricity of two-body orbits through (r, v)."""
    rn = np.linalg.norm(r, axis=-1)
    energy = 0.5 * np.einsum("...i,...i->...", v, v) - _MU / rn
    a = -_MU / (2.0 * energy)
    h = np.linalg.norm(np.cross(r, v), axis=-1)
    e = np.sqrt(np.maximum(0.0, 1.0 - h * h / (_MU * a)))
    return a, e


def _snap_bound(a: Array, e: Array) -> Array:
    """Largest |d^4 r / dt^4| of two-body motion on ellipses (a, e), from
    256 points of eccentric anomaly (denser in time near perigee), with the
    margin for the other forces."""
    return np.asarray(_SNAP_MARGIN * _screen.snap_bounds(a, e, _MU))


def _bounds(cat: _Catalogue, ids: Array) -> tuple[Array, Array, Array, Array, Array]:
    """Per satellite: lowest and highest radius over the span, largest speed
    and fourth-derivative bound (from the osculating ellipses at the span's
    start and end, or a minute before the model fails); the ids that
    propagate at the start."""
    ids = np.asarray(ids, dtype=np.intp)
    err, r, v = cat.sample(ids, np.array([0.0, cat.duration]))
    at_start = err[:, 0] != 0
    if at_start.any():
        for row in np.flatnonzero(at_start):
            k = int(ids[row])
            code = model_code(err[row, 0])
            cat.failed_at[k] = 0.0
            cat.fail(
                k, SGP4Error(code, 0, epoch_text(cat.start + np.array([0.0]), 0), cat.objects[k].satnum), cat.start
            )
        ids, err, r, v = ids[~at_start], err[~at_start], r[~at_start], v[~at_start]
    at_end = np.flatnonzero(err[:, 1] != 0)
    if at_end.size:
        # Decaying within the span: the end state a minute before the failure.
        cat.fail_between(ids[at_end], np.zeros(at_end.size), np.full(at_end.size, cat.duration))
        before = np.array([max(0.0, cat.failed_at.get(int(ids[q]), cat.duration) - 60.0) for q in at_end])
        _, r_end, v_end = cat.points(ids[at_end], before)
        r[at_end, 1], v[at_end, 1] = r_end, v_end
    a, e = _osculating(r, v)
    bound_ok = np.isfinite(a).all(axis=1) & (a > 0).all(axis=1) & (e < 1.0).all(axis=1)
    for k in ids[~bound_ok]:
        cat.failed_at.setdefault(int(k), 0.0)
        cat.failed.pop(int(k), None)
        cat.fail(int(k), ValueError("the orbit is not an ellipse at the start or the end of the span"))
    ids, a, e = ids[bound_ok], a[bound_ok], e[bound_ok]
    r_min = (a * (1.0 - e)).min(axis=1) - _SHELL_MARGIN
    r_max = (a * (1.0 + e)).max(axis=1) + _SHELL_MARGIN
    a_high = a.max(axis=1)
    speed = np.sqrt(_MU * (2.0 / np.maximum(r_min, 1.0e6) - 1.0 / a_high))
    snap = np.maximum(_snap_bound(a[:, 0], e[:, 0]), _snap_bound(a[:, 1], e[:, 1]))
    return ids, r_min, r_max, speed, snap


def _interpolation_bound(snap: Array, speed: Array, step: float) -> Array:
    return np.asarray(snap * step**4 / 384.0 + step * _VELOCITY_ERROR * speed / 4.0)


def _choose_step(snap: Array, speed: Array, duration: float, target: float) -> float:
    """The coarse step: the longest (up to 15 minutes) at which nine
    satellites in ten have an interpolation bound within ``target`` [m],
    shortened to a whole fraction of the span."""
    steps = np.geomspace(30.0, 900.0, 24)
    within = np.array([np.mean(_interpolation_bound(snap, speed, s) <= target) for s in steps])
    ok = steps[within >= 0.9]
    step = float(ok.max()) if ok.size else 30.0
    return duration / math.ceil(duration / step)
