"""When a satellite enters and leaves the Earth's shadow during its passes.

``find_passes(..., eclipses=True)`` gives each pass ``shadow_entry`` and
``shadow_exit``: the first moment of the pass at which the satellite enters
the shadow and the first at which it leaves it (None when it does not),
with the shadow model of ``velarion.bodies.shadow`` (a spherical Earth,
the Sun's centre: the middle of the penumbra). Each pass is sampled every
10 s from rise to set (or the span's edges) on the search's trajectories;
a change between two samples is solved on the exact states to a
millisecond. A pass without either time is sunlit, or in the shadow,
throughout: ``sunlit`` at its rise tells which.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.bodies.shadow import _sun_itrf_at, shadowed
from velarion.time.time import Time

from .visibility import SAMPLE_STEP

__all__ = ["shadow_crossings"]

Array = NDArray[Any]

_RESOLUTION = 1e-3  # s: how closely a crossing is solved
_SAMPLES = 2_000_000  # samples looked at at once


def shadow_crossings(
    itrf: Callable[[Array, Array], tuple[Array, Array]],
    exact: Callable[[Array, Array], Array],
    sat: Array,
    lo: Array,
    hi: Array,
    start: Time,
) -> tuple[Array, Array]:
    """For passes of satellite ``sat[j]`` from ``lo[j]`` to ``hi[j]``
    seconds after ``start``: the first entry into the shadow and the first
    exit from it [s from the start; NaN where none]. ``itrf(sat, seconds)``
    gives the satellites' interpolated ITRF states, ``exact(sat, seconds)``
    their exact ITRF positions."""
    n = sat.size
    entry = np.full(n, np.nan)
    exit_ = np.full(n, np.nan)
    if not n:
        return entry, exit_
    count = np.maximum(2, np.ceil((hi - lo) / SAMPLE_STEP).astype(np.intp) + 1)
    # passes in groups of a bounded number of samples (a slow satellite is
    # above the horizon for the whole span)
    group = (np.cumsum(count) // _SAMPLES).astype(np.intp)
    brackets: list[tuple[Array, Array, Array, Array]] = []  # pass, before, after, entering
    for g in np.unique(group).tolist():
        rows = np.flatnonzero(group == g)
        c = count[rows]
        which = np.repeat(rows, c)
        offset = np.arange(which.size) - np.repeat(np.cumsum(c) - c, c)
        seconds = lo[which] + offset / (count[which] - 1) * (hi - lo)[which]
        r, _ = itrf(sat[which], seconds)
        dark = shadowed(r, _sun_itrf_at(start, seconds))
        change = np.flatnonzero((which[1:] == which[:-1]) & (dark[1:] != dark[:-1]))
        brackets.append((which[change], seconds[change], seconds[change + 1], dark[change + 1]))
    which = np.concatenate([b[0] for b in brackets])
    before = np.concatenate([b[1] for b in brackets])
    after = np.concatenate([b[2] for b in brackets])
    entering = np.concatenate([b[3] for b in brackets])
    # the first change of each kind in each pass (the samples are in time order)
    first = np.zeros(which.size, dtype=bool)
    for kind in (True, False):
        rows = np.flatnonzero(entering == kind)
        _, at = np.unique(which[rows], return_index=True)
        first[rows[at]] = True
    which, before, after, entering = which[first], before[first], after[first], entering[first]
    # bisection on the exact states: ``before`` keeps the side the satellite comes from
    while which.size and float(np.max(after - before)) > _RESOLUTION:
        mid = 0.5 * (before + after)
        r = exact(sat[which], mid)
        dark = shadowed(r, _sun_itrf_at(start, mid))
        moved = dark == entering
        after = np.where(moved, mid, after)
        before = np.where(moved, before, mid)
    when = 0.5 * (before + after)
    entry[which[entering]] = when[entering]
    exit_[which[~entering]] = when[~entering]
    return entry, exit_
