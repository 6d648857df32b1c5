"""Passes, look angles and ephemerides as text: the aligned pass table
(times to the second), CSV and JSON (times to the millisecond) of
``velarion passes``, the times of ``velarion look`` (to the millisecond;
``velarion.cli.pointing`` writes its rows) and the rows of ``velarion
propagate`` (times to the microsecond). Times are rounded to the nearest unit of their precision.

The layouts are word for word what users read, what scripts parse and what
the tests compare.
"""

from __future__ import annotations

import csv
import io
import json
from collections.abc import Sequence
from typing import Any

import numpy as np

from velarion.passes import Pass, Station, event_times
from velarion.time.time import Time

__all__ = [
    "COLUMNS",
    "GEODETIC_COLUMNS",
    "TIME_DECIMALS",
    "ephemeris_rows",
    "iso_utc",
    "passes_csv",
    "passes_json",
    "passes_table",
]

# A pass's fields up to its set azimuth, and its duration.
COLUMNS = (*Pass.__match_args__[: Pass.__match_args__.index("set_azimuth") + 1], "duration")
GEODETIC_COLUMNS = ("time", "latitude", "longitude", "altitude")
# Decimals of the seconds of the times each command writes (documented in its help).
TIME_DECIMALS = {"passes": 3, "look": 3, "propagate": 6}


def iso_utc(time: Time, decimals: int) -> list[str]:
    """ISO UTC texts of every epoch, 'YYYY-MM-DDThh:mm:ss' with exactly
    ``decimals`` decimals of the second, rounded to the nearest: the
    fraction is the exact difference from the whole second, so the text
    carries neither the float noise of the last digits nor a second rounding
    of nanosecond texts; a leap second stays 60. The same width for every
    epoch and every chunk of a long output."""
    utc = time.utc
    flat = utc if utc.ndim == 1 else Time.from_jd(utc.jd1.reshape(-1), utc.jd2.reshape(-1), scale="utc")
    whole_texts = [x[:19] for x in np.asarray(flat.iso).reshape(-1).tolist()]
    if not whole_texts:
        return []
    whole = Time(whole_texts)
    scale = 10**decimals
    # The nanosecond texts may round up to the next second: the fraction is then a hair below zero.
    units = np.rint(np.asarray(flat - whole, dtype=np.float64) * scale).astype(np.int64)
    carried = np.flatnonzero((units >= scale) | (units < 0))
    for k in carried.tolist():
        step = int(units[k] // scale)
        whole_texts[k] = str((whole[k] + float(step)).iso)[:19]
        units[k] -= step * scale
    if decimals == 0:
        return whole_texts
    digits = [f".{u:0{decimals}d}" for u in units.tolist()]
    return [w + d for w, d in zip(whole_texts, digits, strict=True)]


def _iso_seconds(t: Time) -> str:
    """UTC text rounded to the second, 'YYYY-MM-DD hh:mm:ss'."""
    return iso_utc(t, 0)[0].replace("T", " ")


def _shadow_time(p: Pass, event: str) -> str:
    t = getattr(p, event)
    return "-" if t is None else _iso_seconds(t)[11:]  # the pass's day is its rise's


def _duration(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    s = round(seconds)
    return f"{s // 3600:d}:{s // 60 % 60:02d}:{s % 60:02d}"


def station_label(station: Any) -> str:
    """A station's name, or its coordinates without one."""
    return station.name if isinstance(station, Station) and station.name else str(station)


def passes_table(
    label: str,
    stations: Sequence[Station],
    start: Time,
    span: float,
    step: float,
    min_el: float,
    passes: Sequence[Pass],
    *,
    is_default: bool = False,
    visible: bool = False,
    visible_column: bool = False,
    eclipses: bool = False,
) -> str:
    """A heading (satellites, stations, span, search settings, count) and one
    aligned row per pass; satellite and station columns when there are
    several of either, a Visible column (yes/no) with ``visible_column``, and
    with ``eclipses`` when the satellite enters and leaves the Earth's shadow
    ("-" where it does not)."""
    end = start + span
    where = str(stations[0]) if len(stations) == 1 else f"{len(stations)} stations"
    seen = ", visible only" if visible else ""
    head = [
        f"Passes of {label} over {where}",
        f"{_iso_seconds(start)} to {_iso_seconds(end)} UTC, step {step:g} s, minimum elevation {min_el:g} deg"
        f"{seen}: {len(passes)} pass{'es' if len(passes) != 1 else ''}",
    ]
    if is_default:
        head.insert(0, "(no satellite given: the embedded ISS sample; see 'velarion passes --help')")
    if not passes:
        return "\n".join(head) + "\n"
    many = len({(p.satellite, p.satnum) for p in passes}) > 1 or len(stations) > 1
    names = ("Satellite", "Station") if many else ()
    rows = [(*names, "Rise (UTC)", "Az", "Culmination (UTC)", "Az", "Max el", "Set (UTC)", "Az", "Duration")]
    seen_head = ("Visible",) if visible_column else ()
    shadow = ("Shadow entry", "Shadow exit") if eclipses else ()
    rows[0] += seen_head + shadow
    for p in passes:
        who = (p.satellite, station_label(p.station)) if many else ()
        rows.append(
            (
                *who,
                _iso_seconds(p.rise) if p.rise is not None else "(before start)",
                f"{p.rise_azimuth:.1f}" if p.rise_azimuth is not None else "-",
                _iso_seconds(p.culmination) if p.culmination is not None else "(span edge)",
                f"{p.culmination_azimuth:.1f}" if p.culmination_azimuth is not None else "-",
                f"{p.max_elevation:.2f}",
                _iso_seconds(p.set) if p.set is not None else "(after end)",
                f"{p.set_azimuth:.1f}" if p.set_azimuth is not None else "-",
                _duration(p.duration),
                *(("yes" if p.visible else "no",) if visible_column else ()),
                *(_shadow_time(p, event) for event in ("shadow_entry", "shadow_exit")[: len(shadow)]),
            )
        )
    widths = [max(len(r[k]) for r in rows) for k in range(len(rows[0]))]
    right = {len(names) + k for k in (1, 3, 4, 6, 7)}
    lines = []
    for r in rows:
        cells = [c.rjust(w) if k in right else c.ljust(w) for k, (c, w) in enumerate(zip(r, widths, strict=True))]
        lines.append("  ".join(cells).rstrip())
    if any(p.cut for p in passes):
        lines += [
            "",
            "A pass cut by the span's edge has no rise, set or culmination outside the span; its maximum "
            "elevation is the highest within it.",
        ]
    return "\n".join(head) + "\n\n" + "\n".join(lines) + "\n"


def _iso_millis_column(passes: Sequence[Pass], event: str) -> list[str | None]:
    """UTC texts to the millisecond of one event of every pass (one
    conversion for all); None where a pass has no such event."""
    times, have = event_times(passes, event)
    out: list[str | None] = [None] * len(passes)
    if times.size:
        texts = iso_utc(times, TIME_DECIMALS["passes"])
        for k, text in zip(np.flatnonzero(have).tolist(), texts, strict=True):
            out[k] = text
    return out


def _columns(passes: Sequence[Pass], visible: bool, eclipses: bool = False) -> dict[str, list[Any]]:
    """The CSV and JSON fields of the passes, column by column: ISO UTC times
    (None where the span's edge cuts the pass), azimuths and elevation [deg],
    duration [s]; with ``eclipses``, when the satellite enters and leaves
    the Earth's shadow (None where it does not)."""
    columns: dict[str, list[Any]] = {
        "satellite": [p.satellite for p in passes],
        "satnum": [p.satnum for p in passes],
        "station": [station_label(p.station) for p in passes],
    }
    for event in ("rise", "culmination", "set"):
        columns[event] = _iso_millis_column(passes, event)
        columns[f"{event}_azimuth"] = [getattr(p, f"{event}_azimuth") for p in passes]
    columns["max_elevation"] = [p.max_elevation for p in passes]
    columns["duration"] = [p.duration for p in passes]
    columns = {name: columns[name] for name in COLUMNS}
    if visible:
        columns["visible"] = [p.visible for p in passes]
    if eclipses:
        for event in ("shadow_entry", "shadow_exit"):
            columns[event] = _iso_millis_column(passes, event)
    return columns


def _csv_column(name: str, values: list[Any]) -> list[str]:
    """The CSV fields of a column: empty for None, numbers to 4 decimals
    (the duration to 3), true/false."""
    if name == "visible":
        return ["" if v is None else "true" if v else "false" for v in values]
    if name.endswith(("azimuth", "elevation")) or name == "duration":
        number = ("{:.3f}" if name == "duration" else "{:.4f}").format
        return ["" if v is None else number(v) for v in values]
    return ["" if v is None else str(v) for v in values]


def passes_csv(passes: Sequence[Pass], visible: bool = False, eclipses: bool = False) -> str:
    """A header line and one row per pass; the fields of an event outside the span are empty."""
    columns = _columns(passes, visible, eclipses)
    cells = [_csv_column(name, values) for name, values in columns.items()]
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(columns)
    writer.writerows(zip(*cells, strict=True))
    return out.getvalue()


def passes_json(passes: Sequence[Pass], visible: bool = False, eclipses: bool = False) -> str:
    """A list of one object per pass (null for an event outside the span)."""
    columns = _columns(passes, visible, eclipses)
    digits = {"duration": 3}
    for name, values in columns.items():
        if name.endswith(("azimuth", "elevation")) or name == "duration":
            columns[name] = [None if v is None else round(v, digits.get(name, 4)) for v in values]
    records = [dict(zip(columns, row, strict=True)) for row in zip(*columns.values(), strict=True)]
    return json.dumps(records, indent=1) + "\n"


def ephemeris_rows(time: Time, columns: np.ndarray, first_row: int = 0) -> str:
    """CSV rows (no header) of ``velarion propagate``: the time rounded to the
    microsecond, then each column's float as its shortest round-trip text.
    A row that is not finite is refused (InputError naming it and its row
    number, counted from ``first_row``), never written."""
    from .errors import InputError

    iso = iso_utc(time, TIME_DECIMALS["propagate"])
    values = np.asarray(columns, dtype=np.float64)
    finite = np.isfinite(values).all(axis=1)
    if not finite.all():
        k = int(np.argmin(finite))
        raise InputError(f"the result at {iso[k]} (row {first_row + k + 1}) is not finite: {values[k].tolist()}")
    fields = ",".join(["{!r}"] * values.shape[1])
    row = ("{}," + fields + "\n").format
    return "".join(row(t, *v) for t, v in zip(iso, values.tolist(), strict=True))
