"""Simulated tracking: the observations a set of stations would make of a
known trajectory, with Gaussian noise and biases."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from velarion.frames.frames import ENU
from velarion.passes.stations import Network, Station, station_list
from velarion.time.time import Time

from .dynamics import _gcrf_of
from .measurements import _CODE, KINDS, STATION_KINDS, Geometry, Observations, bias_vector, earth_rotations, predict

__all__ = ["simulate"]

# Word for word: callers and tests compare the exception texts of this module.


def simulate(
    trajectory: Any,
    stations: Station | ENU | Sequence[Station | ENU] | None,
    kinds: Mapping[str, float],
    *,
    min_elevation: float = 10.0,
    biases: Mapping[tuple[int, str], float] | None = None,
    frequency: float | None = None,
    seed: int | np.random.Generator | None = None,
    noise: bool = True,
) -> Observations:
    """Observations of ``trajectory`` (a ``StateVectorEphemeris`` in any
    frame; one epoch per tracking instant) from every station at the epochs
    where the satellite stands at least ``min_elevation`` [deg] above its
    horizon (the geometric elevation at reception, without light time), one
    row per kind of ``kinds`` (kind name -> noise sigma, in the
    kind's unit: m, m/s, Hz or rad). Kinds without a station (GCRF, ITRF
    components) are made at every epoch.

    ``biases`` (station index, kind) -> value are added to the values;
    ``frequency`` [Hz] is the carrier of the Doppler kinds; ``seed`` makes
    the noise reproducible; ``noise=False`` gives the exact values (the
    sigmas are still recorded)."""
    unknown = [k for k in kinds if k not in _CODE]
    if unknown:
        raise ValueError(f"unknown observation kind {unknown[0]!r}; expected one of {', '.join(KINDS)}")
    for k, s in kinds.items():
        if not (np.isfinite(s) and s > 0.0):
            raise ValueError(f"the sigma of {k} must be finite and positive, got {s!r}")
    station_kinds = [k for k in kinds if k in STATION_KINDS]
    other_kinds = [k for k in kinds if k not in STATION_KINDS]
    net = station_list(stations) if stations is not None else []
    if station_kinds and not net:
        raise ValueError(f"{station_kinds[0]} observations need stations")
    if any(k.startswith("doppler") for k in kinds) and frequency is None:
        raise ValueError("Doppler observations need a carrier frequency")
    r, v = _gcrf_of(trajectory)
    time = trajectory.time
    n = r.shape[0]
    # the observations keep the trajectory's time scale
    jd = time.jd12.reshape(-1, 2)
    parts_k: list[Any] = []
    parts_s: list[Any] = []
    parts_i: list[Any] = []
    a, b = earth_rotations(time) if n else (np.zeros((0, 3, 3)), np.zeros((0, 3, 3)))
    if station_kinds:
        # Geometric elevations of every epoch from every station decide the visibility.
        network = Network(net)
        r_itrf = np.einsum("nij,nj->ni", a, r)
        limit = math.sin(math.radians(min_elevation))
        for s in range(len(net)):
            los = r_itrf - network.offset[s]
            up = los @ network.rotation[s][2]
            visible = np.flatnonzero(up >= limit * np.linalg.norm(los, axis=1))
            for k in station_kinds:
                parts_i.append(visible)
                parts_k.append(np.full(visible.size, _CODE[k], dtype=np.intp))
                parts_s.append(np.full(visible.size, s, dtype=np.intp))
    for k in other_kinds:
        parts_i.append(np.arange(n))
        parts_k.append(np.full(n, _CODE[k], dtype=np.intp))
        parts_s.append(np.full(n, -1, dtype=np.intp))
    if not parts_i:
        raise ValueError("no observation kinds given")
    idx = np.concatenate(parts_i)
    kind = np.concatenate(parts_k)
    station = np.concatenate(parts_s)
    order = np.lexsort((kind, station, idx))
    idx, kind, station = idx[order], kind[order], station[order]
    t = Time.from_jd(jd[idx, 0], jd[idx, 1], scale=time.scale)
    sigma = np.array([float(kinds.get(name, 0.0)) for name in KINDS])[kind]
    freq = np.where((kind == _CODE["doppler"]) | (kind == _CODE["doppler_two_way"]), frequency or np.nan, np.nan)
    obs = Observations(t, kind, np.zeros(idx.size), sigma, station, tuple(net), freq)
    if not len(obs):
        return obs
    value, _ = predict(obs, r[idx], v[idx], Geometry(obs, (a[idx], b[idx])), partials=False)
    value = value + bias_vector(obs, biases)
    if noise:
        rng = seed if isinstance(seed, np.random.Generator) else np.random.default_rng(seed)
        value = value + rng.standard_normal(value.size) * sigma
    wrap = (kind == _CODE["azimuth"]) | (kind == _CODE["right_ascension"])
    value[wrap] = np.mod(value[wrap], 2.0 * np.pi)
    return Observations(t, kind, value, sigma, station, tuple(net), freq)
