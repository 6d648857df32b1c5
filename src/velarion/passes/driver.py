"""The driver of a pass search: the checks of its arguments and of its
memory, the satellites in groups, the rounds of the search with closer
nodes where the interpolation misses its tolerance, and the satellites
that fail within the span searched up to their failure.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.constants import EARTH_ROTATION_RATE
from velarion.time.time import Time
from velarion.utils.budget import MemoryBudgetError, memory_budget
from velarion.utils.threads import resolve_threads

from .assembly import _passes
from .eclipses import shadow_crossings
from .polish import _Found, _polish, _subset
from .results import Pass
from .satellites import (
    _MODEL_REACH,
    _NODE_ANGLE,
    _NODE_MAX,
    _NODE_MIN,
    Failure,
    SearchedSatellite,
    Trajectories,
    angular_rate,
    exact_itrf,
    model_reach,
    satellites_of,
)
from .search import Sky, find_events
from .stations import Network, station_list
from .visibility import SAMPLE_STEP, visible_passes

# Word for word: callers and tests compare the exception texts of this module.

Array = NDArray[Any]


_OUT_OF_REACH = "the span lies more than 100 years from the element set's epoch, beyond the model's reach"
_FAILURE_RESOLUTION = 0.5  # s: how closely the time of a satellite's failure is found
_VISIBLE_SAMPLES = 2e6  # samples of the visibility check at once
# The memory of a search: a trajectory node (its states, rotations and
# interpolation window, with the temporaries that make them), a sample of
# a track (per thread).
_NODE_BYTES = 1500.0
_SAMPLE_BYTES = 256.0
_CHUNK_WORK = 1_000_000.0  # node evaluations of the satellites searched at once
_RESONANCE_STEP_COST = 0.1  # a resonance integration step, in node evaluations
_RESONANCE_CALLS = 10.0  # calls of the model for one satellite in a search (nodes, checks, events)


def _check(duration: float, step: float, min_elevation: float, start: Any) -> tuple[float, float, Time]:
    duration = float(duration)
    step = float(step)
    min_elevation = float(min_elevation)
    if not (math.isfinite(duration) and duration > 0.0):
        raise ValueError(f"the span must be a positive number of seconds, got {duration!r}")
    if not (math.isfinite(step) and step > 0.0):
        raise ValueError(f"the step must be a positive number of seconds, got {step!r}")
    if duration / step > 5e7:
        raise ValueError(f"{duration / step:.3g} samples (span / step) is too many; take a larger step")
    if not (math.isfinite(min_elevation) and -90.0 < min_elevation < 90.0):
        raise ValueError(f"the minimum elevation must lie in (-90, 90) degrees, got {min_elevation!r}")
    start = start if isinstance(start, Time) else Time(start)
    start = start.utc
    if start.shape != ():
        raise ValueError("the start of the span must be a single epoch")
    return duration, step, start


def _memory_budget() -> tuple[int, type[MemoryError]]:
    """The memory budget [bytes] of one search and the error that refuses
    a request beyond it."""
    return memory_budget(), MemoryBudgetError


def _node_count(sat: SearchedSatellite, start: Time, duration: float) -> float:
    """About how many trajectory nodes the satellite takes over the span."""
    spacing = _NODE_ANGLE / (angular_rate(sat, start) + EARTH_ROTATION_RATE)
    return duration / min(max(spacing, _NODE_MIN), _NODE_MAX) * 1.125 + 4.0


def _check_memory(sats: list[SearchedSatellite], start: Time, duration: float, step: float, opts: Any) -> list[float]:
    """Refuses, before any work, a search whose one satellite (its nodes and
    the samples of a track on every thread) would not fit the memory
    budget; returns each satellite's node count."""
    nodes = [_node_count(sat, start, duration) for sat in sats]
    if not nodes:
        return nodes
    points = duration / step + 2.0
    k = 1 if not opts.prefilter else max(1, round((960.0 if opts.coarse is None else float(opts.coarse)) / step))
    per_track = points / k * _SAMPLE_BYTES * (1.0 if k == 1 else 2.0)
    need = max(nodes) * _NODE_BYTES + opts.threads * per_track
    budget, error = _memory_budget()
    if need > budget:
        what = "a shorter span" if max(nodes) * _NODE_BYTES > opts.threads * per_track else "a larger step"
        raise error(
            f"find_passes: this search needs about {need / 2**30:.3g} GiB for one satellite "
            f"({max(nodes):.3g} trajectory nodes, {points:.3g} samples a station), more than the memory "
            f"budget of {budget / 2**30:.3g} GiB; take {what} (or raise VELARION_MEMORY_BUDGET)"
        )
    return nodes


def _work(sat: SearchedSatellite, start: Time, nodes: float) -> float:
    """The work of a satellite's search, in node evaluations: a resonant
    deep-space orbit (about a day or half a day) integrates from its
    epoch in 12-hour steps to the span once per call of the model (its
    integrator then runs on along the call's sorted epochs)."""
    row = sat.elements
    if row is None:
        return nodes
    revs = float(row[10]) * 1440.0 / (2.0 * math.pi)  # a day
    if not (0.8 <= revs <= 1.2 or 1.8 <= revs <= 2.2):
        return nodes
    lo, _ = model_reach(sat, start)
    days = abs(lo + _MODEL_REACH) / 86400.0
    return nodes + _RESONANCE_CALLS * _RESONANCE_STEP_COST * days / 0.5


def _chunks(sats: list[SearchedSatellite], start: Time, nodes: list[float]) -> list[list[SearchedSatellite]]:
    """The satellites in groups searched in turn: each within a share of
    the memory budget and a bounded amount of work (well under a second:
    an interrupt and the progress are looked at between groups)."""
    budget, _ = _memory_budget()
    most = 0.5 * budget / _NODE_BYTES
    out: list[list[SearchedSatellite]] = []
    group: list[SearchedSatellite] = []
    load = work = 0.0
    for sat, n in zip(sats, nodes, strict=True):
        w = _work(sat, start, n)
        if group and (load + n > most or work + w > _CHUNK_WORK):
            out.append(group)
            group, load, work = [], 0.0, 0.0
        group.append(sat)
        load += n
        work += w
    if group:
        out.append(group)
    return out


def _search_round(
    sats: list[SearchedSatellite],
    network: Network,
    start: Time,
    duration: float,
    step: float,
    min_elevation_rad: float,
    prefilter: bool,
    coarse: float | None,
    spacing: Sequence[float] | None,
    visible: bool,
    threads: int,
    eclipses: bool = False,
) -> tuple[_Found, dict[int, Failure], list[int], Array]:
    """One search over ``sats``: the polished passes (and whether each is
    visible, when asked), the failures and the satellites to search again
    with closer nodes (positions in ``sats``), and the node spacing used."""
    traj = Trajectories(sats, start, duration, spacing, threads)
    failures = dict(traj.failures)
    alive = np.array([s for s in range(len(sats)) if s not in failures], dtype=np.intp)
    nst = len(network)
    sat = np.repeat(alive, nst)
    station = np.tile(np.arange(nst, dtype=np.intp), alive.size)
    sky = Sky(traj, network, sat, station)
    ev = find_events(sky, duration, step, min_elevation_rad, prefilter, coarse, threads)
    found, late, again = _polish(sky, ev, min_elevation_rad, threads)
    failures.update(late)
    if visible:
        lo = np.where(np.isfinite(found.rise), found.rise, 0.0)
        hi = np.where(np.isfinite(found.set), found.set, duration)
        found.visible = np.empty(lo.size)
        # passes in groups of a bounded number of samples (a slow satellite
        # is above the horizon for the whole span)
        samples = np.cumsum((hi - lo) / SAMPLE_STEP + 2.0)
        group = (samples // _VISIBLE_SAMPLES).astype(np.intp)
        for g in np.unique(group).tolist():
            rows = np.flatnonzero(group == g)
            seen = visible_passes(traj.itrf, network, found.sat[rows], found.station[rows], lo[rows], hi[rows], start)
            found.visible[rows] = seen.astype(np.float64)
    if eclipses:
        lo = np.where(np.isfinite(found.rise), found.rise, 0.0)
        hi = np.where(np.isfinite(found.set), found.set, duration)

        def exact(s: Array, sec: Array) -> Array:
            return exact_itrf(traj.sats, s, start + sec, threads)[0]

        found.shadow_entry, found.shadow_exit = shadow_crossings(traj.itrf, exact, found.sat, lo, hi, start)
    return found, failures, sorted(again), traj.spacing


def _rounds(
    sats: list[SearchedSatellite], network: Network, start: Time, duration: float, opts: _Options
) -> tuple[list[tuple[_Found, list[SearchedSatellite]]], dict[int, Failure]]:
    """The passes of ``sats`` (rounds with closer nodes for those whose
    interpolation missed its tolerance at an event) and their failures (by
    position in ``sats``)."""
    rows: list[tuple[_Found, list[SearchedSatellite]]] = []
    failures: dict[int, Failure] = {}
    pending, place, spacing = sats, list(range(len(sats))), None
    for attempt in range(4):
        found, failed, again, used = _search_round(
            pending,
            network,
            start,
            duration,
            opts.step,
            opts.min_elevation_rad,
            opts.prefilter,
            opts.coarse,
            spacing,
            opts.visible,
            opts.threads,
            opts.eclipses,
        )
        failures.update({place[k]: f for k, f in failed.items()})
        if attempt == 3:
            again = []
        keep = ~np.isin(found.sat, np.array(again, dtype=np.intp))
        rows.append((_subset(found, keep), pending))
        if not again:
            break
        pending = [pending[s] for s in again]
        place = [place[s] for s in again]
        spacing = [float(used[s]) / 4.0 for s in again]
    return rows, failures


@dataclass
class _Options:
    step: float
    min_elevation_rad: float
    prefilter: bool
    coarse: float | None
    visible: bool
    threads: int
    eclipses: bool = False


def _last_states(
    sats: list[SearchedSatellite], start: Time, fail: Array, threads: int
) -> tuple[Array, list[Failure | None]]:
    """For satellites that fail ``fail[k]`` seconds after ``start`` and not
    at the start: the last second [s from the start] at which each still
    has a state (halving the time between), and its failure just after
    (None for a satellite that fails at the start too)."""
    n = len(sats)
    sid = np.arange(n, dtype=np.intp)
    _, _, at_start = exact_itrf(sats, sid, start + np.zeros(n), threads)
    lo, hi = np.zeros(n), np.asarray(fail, dtype=np.float64).copy()
    last: list[Failure | None] = [None] * n
    for _ in range(64):
        if not (hi - lo > _FAILURE_RESOLUTION).any():
            break
        mid = 0.5 * (lo + hi)
        _, _, failed = exact_itrf(sats, sid, start + mid, threads)
        for k in range(n):
            if k in failed:
                hi[k], last[k] = mid[k], failed[k]
            else:
                lo[k] = mid[k]
    missing = [k for k in range(n) if last[k] is None and k not in at_start]
    if missing:
        _, _, failed = exact_itrf(sats, sid, start + hi, threads)
        for k in missing:
            last[k] = failed.get(k)
    return lo, [None if k in at_start else last[k] for k in range(n)]


def _search(
    satellites: Any,
    stations: Any,
    start: Any,
    duration: float,
    step: float,
    min_elevation: float,
    prefilter: bool,
    coarse: float | None,
    errors: str,
    visible: bool = False,
    threads: int | None = None,
    progress: Any = None,
    eclipses: bool = False,
) -> tuple[list[Pass], list[Failure]]:
    """The passes and the failures."""
    duration, step, start = _check(duration, step, min_elevation, start)
    threads = resolve_threads(threads)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be a callable (done, total), not {type(progress).__name__}")
    sats, failures = satellites_of(satellites)
    if errors == "raise" and failures:
        raise failures[0].error
    network = Network(station_list(stations))
    opts = _Options(step, math.radians(min_elevation), prefilter, coarse, visible, threads, eclipses)
    nodes = dict(zip((sat.index for sat in sats), _check_memory(sats, start, duration, step, opts), strict=True))
    # The part of the span each satellite's model reaches: a satellite it
    # leaves before the end is searched up to there.
    whole: list[SearchedSatellite] = []
    ends: dict[int, tuple[float, Failure]] = {}  # by satellite index: end [s], failure
    for sat in sats:
        lo, hi = model_reach(sat, start)
        if lo > 0.0 or hi <= 0.0 or hi < duration:
            cut = 0.0 if lo > 0.0 or hi <= 0.0 else hi
            failure = sat.failure(ValueError(_OUT_OF_REACH), start + cut)
            if errors == "raise":
                raise failure.error
            if cut > 0.0:
                ends[sat.index] = (cut, failure)
            else:
                failures.append(failure)
        else:
            whole.append(sat)
    rows: list[tuple[_Found, list[SearchedSatellite]]] = []
    by_index = {sat.index: sat for sat in sats}
    total = float(len(sats))
    done = 0.0
    # Divisions by zero (a satellite at the zenith, an empty bracket) are
    # replaced where they occur.
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        late: list[Failure] = []
        for chunk in _chunks(whole, start, [nodes[sat.index] for sat in whole]):
            found, failed = _rounds(chunk, network, start, duration, opts)
            if errors == "raise" and failed:
                raise min(failed.values(), key=lambda f: f.index).error
            rows.extend(found)
            for f in failed.values():
                if f.epoch is not None and float(f.epoch - start) > 0.0:
                    late.append(f)
                else:
                    failures.append(f)
            done += len(chunk)
            if progress is not None:
                progress(done, total)
        # Satellites that fail inside the span keep their passes up to the
        # failure: searched again up to their last state.
        if late:
            cands = [by_index[f.index] for f in late]
            last, after = _last_states(cands, start, np.array([float(f.epoch - start) for f in late]), threads)
            for sat, end, f, first in zip(cands, last.tolist(), late, after, strict=True):
                if first is None or end <= 0.0:
                    failures.append(f)
                else:
                    ends[sat.index] = (end, first)
        for place, (end, failure) in sorted(ends.items()):
            found, failed = _rounds([by_index[place]], network, start, end, opts)
            rows.extend(found)
            failures.append(failed[0] if failed else failure)
    if progress is not None and done < total:
        progress(total, total)
    passes, _ = _passes(rows, network, start)
    return passes, sorted(failures, key=lambda f: f.index)
