"""``Pass`` objects made from the polished passes of a search, sorted by time."""

from __future__ import annotations

import gc
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.time.time import Time

from .polish import _Found
from .results import Pass
from .satellites import (
    SearchedSatellite,
)
from .stations import Network

Array = NDArray[Any]


def _passes(
    rows: list[tuple[_Found, list[SearchedSatellite]]], network: Network, start: Time
) -> tuple[list[Pass], Array]:
    """Pass objects of the polished passes, sorted by time, and the place
    of each one's satellite in the input."""
    # Thousands of small objects at once: the collector's passes over them
    # while they are made would cost more than making them.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _make_passes(rows, network, start)
    finally:
        if collecting:
            gc.enable()


def _make_passes(
    rows: list[tuple[_Found, list[SearchedSatellite]]], network: Network, start: Time
) -> tuple[list[Pass], Array]:
    rows = [(found, sats) for found, sats in rows if found.sat.size]
    if not rows:
        return [], np.empty(0, dtype=np.intp)

    def gather(field: str) -> Array:
        return np.concatenate([getattr(found, field) for found, _ in rows])

    def per_satellite(value: Any, dtype: Any) -> Array:
        return np.concatenate([np.array([value(s) for s in sats], dtype=dtype)[found.sat] for found, sats in rows])

    index = per_satellite(lambda s: s.index, np.intp)
    rise, set_, station = gather("rise"), gather("set"), gather("station")
    # by rise (a pass under way at the start first), then input order, then station
    order = np.lexsort((station, index, np.where(np.isfinite(rise), rise, 0.0)))
    index = index[order]

    def column(values: Array, have: Array) -> list[Any]:
        """The values in pass order as Python objects, None where ``have`` is false."""
        out = values[order].astype(object)
        out[~have[order]] = None
        return out.tolist()  # type: ignore[no-any-return]

    has_rise, has_set = np.isfinite(rise), np.isfinite(set_)
    culm, edge = gather("culm"), gather("edge")
    has_culm = np.isfinite(culm) & ~edge
    visible = gather("visible")
    stations = np.empty(len(network.stations), dtype=object)
    stations[:] = network.stations
    columns = (
        per_satellite(lambda s: s.label, object)[order].tolist(),
        per_satellite(lambda s: s.satnum, object)[order].tolist(),
        stations[station[order]].tolist(),
        column(rise, has_rise),
        column(np.degrees(gather("rise_az")), has_rise),
        column(culm, has_culm),
        column(np.degrees(gather("culm_az")), has_culm),
        np.degrees(gather("max_el"))[order].tolist(),
        column(set_, has_set),
        column(np.degrees(gather("set_az")), has_set),
        column(visible != 0.0, ~np.isnan(visible)),
        column(gather("shadow_entry"), ~np.isnan(gather("shadow_entry"))),
        column(gather("shadow_exit"), ~np.isnan(gather("shadow_exit"))),
    )
    made: list[Pass] = []
    new_pass = object.__new__
    # Slot by slot: a pass from the search keeps its times as seconds from
    # the start (see Pass).
    for (
        satellite,
        satnum,
        station_,
        rise_,
        rise_azimuth,
        culmination,
        culmination_azimuth,
        max_elevation,
        set_time,
        set_azimuth,
        visible_,
        shadow_entry,
        shadow_exit,
    ) in zip(*columns, strict=True):
        p = new_pass(Pass)
        p._satellite, p._satnum, p._station, p._origin = satellite, satnum, station_, start
        p._rise, p._rise_azimuth = rise_, rise_azimuth
        p._culmination, p._culmination_azimuth = culmination, culmination_azimuth
        p._max_elevation, p._set, p._set_azimuth, p._visible = max_elevation, set_time, set_azimuth, visible_
        p._shadow_entry, p._shadow_exit = shadow_entry, shadow_exit
        made.append(p)
    return made, index
