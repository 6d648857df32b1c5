"""The rows of ``velarion look``: one satellite picked from a catalogue, the
time grid (whole, or the rows of one pass or above an elevation), worked
through in chunks that fit in the memory budget and written as CSV or JSON
chunk by chunk, so that a span of any length holds only one chunk at once.

Its error messages are word for word what users read and what the tests
compare.
"""

from __future__ import annotations

import json
import math
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from velarion.iers import EOPRangeError
from velarion.passes import LookAngles, LookAnglesDoppler, Station, find_passes, look_angles
from velarion.time.time import Time
from velarion.utils.budget import check_fits, items_within

from . import defaults, inputs
from .errors import InputError
from .rendering import TIME_DECIMALS, iso_utc

__all__ = ["COLUMNS", "DOPPLER_COLUMNS", "Grid", "chunks", "csv_text", "json_text", "one_satellite", "pass_rows"]

COLUMNS = ("time", "azimuth", "elevation", "range", "range_rate")
DOPPLER_COLUMNS = ("doppler", "received")
# The memory of one row while its chunk is made: the epochs, the states,
# the rotations and the look angles with their temporaries, then the text
# (measured about 700 bytes).
ROW_BYTES = 1024.0
SMALLEST_CHUNK = 1024  # rows: fewer would spend the time in per-call overheads
LARGEST_CHUNK = 65536  # rows: more makes no run faster and only holds memory
SHOWN_CANDIDATES = 10

Angles = LookAngles | LookAnglesDoppler


def _numbered(elset: Any) -> str:
    number = getattr(elset, "satnum", None)
    name = (getattr(elset, "name", None) or "").strip() or "(no name)"
    return name if number is None else f"{name} ({number})"


def one_satellite(items: Sequence[Any], match: str | None, where: str) -> Any:
    """The one satellite of ``items`` (those --satnum and --match picked):
    itself when there is one, the one whose name is exactly --match (any
    case) among several, else an InputError that lists the candidates."""
    if len(items) == 1:
        return items[0]
    if match is not None:
        key = match.strip().lower()
        exact = [e for e in items if (getattr(e, "name", None) or "").strip().lower() == key]
        if len(exact) == 1:
            return exact[0]
        if exact:
            items = exact
    shown = ", ".join(_numbered(e) for e in items[:SHOWN_CANDIDATES])
    more = f" and {len(items) - SHOWN_CANDIDATES} more" if len(items) > SHOWN_CANDIDATES else ""
    raise InputError(
        f"{where}: look takes one satellite, not {len(items)}: {shown}{more}; "
        "pick it with --satnum or a --match that only its name contains or is"
    )


@dataclass
class Grid:
    """Rows ``first`` to ``stop - 1`` of the epochs ``start + k * step``,
    those at or above ``min_elevation`` [deg] when it is not None."""

    start: Time
    step: float
    first: int
    stop: int
    min_elevation: float | None = None


def rows_per_chunk() -> int:
    """Rows worked at once: as many as the memory budget holds, within bounds."""
    check_fits(SMALLEST_CHUNK * ROW_BYTES, "velarion look", "free memory for the smallest chunk of rows")
    return min(LARGEST_CHUNK, items_within(ROW_BYTES, at_least=SMALLEST_CHUNK))


def _look(satellite: Any, station: Station, time: Time, frequency: float | None, two_way: bool) -> Angles:
    try:
        return look_angles(satellite, station, time, frequency=frequency, two_way=two_way)
    except EOPRangeError as e:
        raise InputError(inputs.eop_range_message(e, time)) from None
    except (ValueError, NotImplementedError) as e:  # SGP4 errors name their epoch
        raise InputError(str(e) or f"cannot propagate: {type(e).__name__}") from None


def check_reach(satellite: Any, station: Station, grid: Grid) -> None:
    """The look angles at the grid's first and last epochs, so that a span
    beyond the Earth orientation data or the satellite's model fails before
    any row is written."""
    if grid.stop > grid.first:
        ends = np.array([grid.first, grid.stop - 1], dtype=np.float64) * grid.step
        _look(satellite, station, grid.start + ends, None, False)


def chunks(
    satellite: Any, station: Station, grid: Grid, frequency: float | None, two_way: bool, rows: int
) -> Iterator[tuple[Time, Angles]]:
    """The epochs and look angles of the grid, ``rows`` epochs at a time
    (fewer where --min-elevation drops some)."""
    for begin in range(grid.first, grid.stop, rows):
        seconds = np.arange(begin, min(begin + rows, grid.stop), dtype=np.float64) * grid.step
        angles = _look(satellite, station, grid.start + seconds, frequency, two_way)
        if grid.min_elevation is not None:
            keep = angles.elevation >= grid.min_elevation
            if not keep.all():
                seconds = seconds[keep]
                angles = type(angles)(*(column[keep] for column in angles))
        if seconds.size:
            yield grid.start + seconds, angles


def pass_rows(
    satellite: Any, station: Station, start: Time, span: float, step: float, number: int, min_elevation: float
) -> tuple[int, int]:
    """The rows of the grid ``start + k * step`` within the ``number``-th
    pass (from 1) of the span above ``min_elevation``, as ``velarion
    passes`` lists them."""
    try:
        found = find_passes([satellite], [station], start, span, min(step, defaults.STEP), min_elevation)
    except EOPRangeError as e:
        raise InputError(inputs.eop_range_message(e, start + np.array([0.0, span]))) from None
    if found.failures:
        raise InputError(str(found.failures[0].error))
    if number > len(found):
        raise InputError(
            f"--pass {number}: the span holds {len(found)} pass{'' if len(found) == 1 else 'es'} above "
            f"{min_elevation:g} deg; take a longer span (--days, --hours) or a lower --min-elevation"
        )
    chosen = found[number - 1]
    rise = 0.0 if chosen.rise is None else float(chosen.rise - start)
    set_ = span if chosen.set is None else float(chosen.set - start)
    first = max(0, math.ceil(rise / step - 1e-9))
    stop = min(math.floor(span / step + 1e-9), math.floor(set_ / step + 1e-9)) + 1
    if stop <= first:
        raise InputError(
            f"--pass {number} lasts {set_ - rise:.1f} s, between two epochs of the --step grid; take a smaller --step"
        )
    return first, stop


def _columns(time: Time, angles: Angles, frequency: float | None) -> tuple[tuple[str, ...], list[tuple[Any, ...]]]:
    values: list[Any] = [iso_utc(time, TIME_DECIMALS["look"]), *(np.asarray(c).tolist() for c in angles)]
    names: tuple[str, ...] = COLUMNS
    if frequency is not None and isinstance(angles, LookAnglesDoppler):
        received: NDArray[np.float64] = frequency + angles.doppler
        values.append(received.tolist())
        names = COLUMNS + DOPPLER_COLUMNS
    return names, list(zip(*values, strict=True))


def csv_text(parts: Iterator[tuple[Time, Angles]], frequency: float | None) -> Iterator[str]:
    """CSV in pieces: the header, then the rows of each chunk (deg and m/s
    to 1e-4, m and Hz to 1e-3)."""
    yield ",".join(COLUMNS + (DOPPLER_COLUMNS if frequency is not None else ())) + "\n"
    for time, angles in parts:
        _, rows = _columns(time, angles, frequency)
        if frequency is None:
            lines = [f"{t},{az:.4f},{el:.4f},{rng:.3f},{rate:.4f}\n" for t, az, el, rng, rate in rows]
        else:
            lines = [
                f"{t},{az:.4f},{el:.4f},{rng:.3f},{rate:.4f},{shift:.3f},{got:.3f}\n"
                for t, az, el, rng, rate, shift, got in rows
            ]
        yield "".join(lines)


def _json_number(value: float, digits: int) -> str:
    rounded = round(value, digits)
    return repr(rounded) if math.isfinite(rounded) else json.dumps(rounded)


def json_text(parts: Iterator[tuple[Time, Angles]], frequency: float | None) -> Iterator[str]:
    """A JSON list of one object per row, in pieces: the text
    ``json.dumps(rows, indent=1)`` gives, written row by row (deg and m/s
    to 1e-4, m and Hz to 1e-3)."""
    digits = (4, 4, 3, 4, 3, 3)
    opened = False
    for time, angles in parts:
        names, rows = _columns(time, angles, frequency)
        keys = [json.dumps(n) for n in names]
        records = []
        for row in rows:
            fields = [f"  {keys[0]}: {json.dumps(row[0])}"]
            fields += [f"  {k}: {_json_number(v, d)}" for k, v, d in zip(keys[1:], row[1:], digits, strict=False)]
            records.append(" {\n" + ",\n".join(fields) + "\n }")
        yield (",\n" if opened else "[\n") + ",\n".join(records)
        opened = True
    yield "\n]\n" if opened else "[]\n"
