"""Earth orientation parameters from the IERS ``finals2000A`` series.

``EOP(mjd)`` gives polar motion, celestial pole offsets, excess length of day
and UT1-UTC at UTC Modified Julian Dates::

    >>> from velarion.iers import EOP
    >>> eop = EOP([60000.0, 60000.5])
    >>> eop.pm_x, eop.ut1_utc            # rad, s

Data: the ``finals2000A.all`` file shipped by the ``astropy-iers-data``
package, read once per process on first use. Bulletin B values are used where
a day has them (field by field), else Bulletin A with its predictions. Days
whose LOD is not given take it from the day-to-day change of UT1-TAI; days
past the last given dX, dY hold that last value.

Interpolation is linear between the daily values; UT1-UTC is interpolated as
UT1-TAI, so it stays continuous across leap seconds (TAI-UTC of each day
comes from the IERS leap-second table, ``Leap_Second.dat``, of the same
package).

Table control:

- ``load(path=None)``: read another file of the same format (a newer
  download); no argument goes back to the shipped file, an ``EOPTable``
  from an earlier ``table()`` is put back in use.
- ``table()``: the table in use (``first_mjd``, ``last_mjd``, the daily
  values).
- ``set_out_of_range("raise" | "hold")``: dates outside the table raise
  ``EOPRangeError`` (the default) or take the first/last values.
- ``load_zero()``: switch to the zero table (every field zero at every date,
  no range limit), for tests and for conversions without Earth orientation
  corrections; ``with use_zero_table(): ...`` does so for a block only.
"""

from __future__ import annotations

import contextlib
import datetime as _dt
import math
import os
import threading

import numpy as np

from . import _table
from ._interp import evaluate as _evaluate

__all__ = [
    "EOP",
    "EOPRangeError",
    "EOPTable",
    "get_out_of_range",
    "load",
    "load_zero",
    "set_out_of_range",
    "table",
    "use_zero_table",
]

_MJD_EPOCH = _dt.datetime(1858, 11, 17)


def _mjd_text(mjd: float) -> str:
    try:
        return (_MJD_EPOCH + _dt.timedelta(days=mjd)).strftime("%Y-%m-%d %H:%M")
    except (OverflowError, ValueError):
        return "out of the calendar"


class EOPRangeError(ValueError):
    """A date outside the Earth orientation table in use."""

    def __init__(self, mjd: float, first_mjd: float, last_mjd: float, path: str | None):
        self.mjd = mjd
        self.first_mjd = first_mjd
        self.last_mjd = last_mjd
        self.path = path
        super().__init__(
            f"MJD {mjd!r} (UTC {_mjd_text(mjd)}) is outside the Earth orientation table, which covers "
            f"MJD {first_mjd!r} to {last_mjd!r} (UTC {_mjd_text(first_mjd)} to {_mjd_text(last_mjd)}; "
            f"file {path}). velarion.iers.set_out_of_range('hold') holds the end values; "
            "velarion.iers.load(path) reads a newer finals2000A file."
        )


def _frozen(a: np.ndarray) -> np.ndarray:
    a = np.array(a, dtype=np.float64)
    a.flags.writeable = False
    return a


class EOPTable:
    """A daily Earth orientation table (values in rad and s).

    Attributes: ``path`` (the file, None for the zero table), ``first_mjd``,
    ``last_mjd``, ``is_zero`` and the read-only daily arrays ``mjd``,
    ``pm_x``, ``pm_y``, ``dX``, ``dY``, ``lod``, ``ut1_utc``, ``tai_utc``.
    """

    def __init__(self, path: str | None, columns: dict | None, leap: tuple[np.ndarray, np.ndarray]):
        self.path = path
        self.is_zero = columns is None
        self._leap_mjd, self._leap_dat = leap
        if columns is None:
            self.first_mjd = -math.inf
            self.last_mjd = math.inf
            columns = {k: np.zeros(0) for k in ("mjd", "tai_utc", "ut1_tai", *_table.FIELDS)}
        else:
            self.first_mjd = float(columns["mjd"][0])
            self.last_mjd = float(columns["mjd"][-1])
        self.mjd = _frozen(columns["mjd"])
        self.pm_x = _frozen(columns["pm_x"])
        self.pm_y = _frozen(columns["pm_y"])
        self.dX = _frozen(columns["dX"])
        self.dY = _frozen(columns["dY"])
        self.lod = _frozen(columns["lod"])
        self.ut1_utc = _frozen(columns["ut1_utc"])
        self.tai_utc = _frozen(columns["tai_utc"])

        n = self.mjd.size
        # values[k, i]: field k on day i; slope[k, i]: its change per day
        # towards day i+1 (0 on the last day). UT1-UTC changes like UT1-TAI:
        # TAI-UTC is constant within a day, so on day i
        # UT1-UTC(t) = UT1-UTC(i) + (t - mjd[i]) * slope of UT1-TAI.
        values = np.array([columns[k] for k in _table.FIELDS], dtype=np.float64).reshape(6, n)
        slope = np.zeros_like(values)
        if n > 1:
            step = np.diff(self.mjd)
            slope[:, :-1] = np.diff(values, axis=1) / step
            slope[5, :-1] = np.diff(columns["ut1_tai"]) / step
        self._uniform = n < 2 or bool(np.all(np.diff(self.mjd) == 1.0))
        # One row per day: the six values, then their slopes (see kernels.hpp).
        self._packed = np.ascontiguousarray(np.concatenate([values, slope]).T)

    def __len__(self) -> int:
        return self.mjd.size

    def __repr__(self) -> str:
        if self.is_zero:
            return "EOPTable(zero)"
        return (
            f"EOPTable({self.path!r}, {len(self)} days, MJD {self.first_mjd} to {self.last_mjd}, "
            f"UTC {_mjd_text(self.first_mjd)[:10]} to {_mjd_text(self.last_mjd)[:10]})"
        )

    def _tai_utc_at(self, mjd: np.ndarray) -> np.ndarray:
        return _table.tai_utc_at(self._leap_mjd, self._leap_dat, mjd)


def _default_paths() -> tuple[str, str]:
    import astropy_iers_data

    return astropy_iers_data.IERS_A_FILE, astropy_iers_data.IERS_LEAP_SECOND_FILE


_lock = threading.Lock()
_leap: tuple[np.ndarray, np.ndarray] | None = None
_current: EOPTable | None = None
_hold = False


def _leap_table() -> tuple[np.ndarray, np.ndarray]:
    global _leap
    if _leap is None:
        _leap = _table.read_leap_seconds(_default_paths()[1])
    return _leap


def _read(path: str | os.PathLike | None) -> EOPTable:
    if path is None:
        path = _default_paths()[0]
    path = os.fspath(path)
    leap = _leap_table()
    return EOPTable(path, _table.parse_finals(path, *leap), leap)


def table() -> EOPTable:
    """The Earth orientation table in use (read on first use)."""
    t = _current
    if t is None:
        with _lock:
            t = _current
            if t is None:
                t = _install(_read(None))
    return t


def _install(t: EOPTable) -> EOPTable:
    global _current
    _current = t
    return t


def load(path: str | os.PathLike | EOPTable | None = None) -> EOPTable:
    """Reads a finals2000A file (None: the shipped one) and uses it from now on.

    An ``EOPTable`` (from an earlier ``table()``) is used again as it is.
    """
    t = path if isinstance(path, EOPTable) else _read(path)
    with _lock:
        return _install(t)


def load_zero() -> EOPTable:
    """Uses the zero table from now on: every field is 0 at every date."""
    t = EOPTable(None, None, _leap_table())
    with _lock:
        return _install(t)


@contextlib.contextmanager
def use_zero_table():
    """Uses the zero table inside a ``with`` block, then the previous table again."""
    global _current
    before = _current
    load_zero()
    try:
        yield _current
    finally:
        with _lock:
            _current = before


def set_out_of_range(mode: str) -> str:
    """What to do with dates outside the table: "raise" (EOPRangeError) or
    "hold" (the first/last values). Returns the previous mode."""
    global _hold
    if not isinstance(mode, str):
        raise TypeError(f"mode must be 'raise' or 'hold', not {type(mode).__name__}")
    if mode not in ("raise", "hold"):
        raise ValueError(f"unknown out-of-range mode {mode!r}; expected 'raise' or 'hold'")
    previous = get_out_of_range()
    _hold = mode == "hold"
    return previous


def get_out_of_range() -> str:
    """The current out-of-range mode, "raise" or "hold"."""
    return "hold" if _hold else "raise"


_NON_FINITE = 2
_OUT_OF_RANGE = 3


class EOP:
    """Earth orientation parameters at UTC Modified Julian Dates.

    ``EOP(mjd)`` takes a number or an array-like of MJDs (any length, 0
    included; a multi-dimensional input is flattened) and gives one value per
    date in writable one-dimensional float64 arrays:

    - ``mjd``: the dates (a copy of the input);
    - ``pm_x``, ``pm_y``: polar motion, rad;
    - ``dX``, ``dY``: celestial pole offsets to the CIP of IAU 2000A, rad;
    - ``lod``: excess length of day, s;
    - ``ut1_utc``: UT1-UTC, s.

    Raises ValueError for NaN or infinite dates and ``EOPRangeError`` for dates
    outside the table (unless ``set_out_of_range("hold")``).
    """

    __slots__ = ("mjd", "pm_x", "pm_y", "dX", "dY", "lod", "ut1_utc")

    def __init__(self, mjd):
        tab = _current if _current is not None else table()
        tp = type(mjd)
        if tp is np.ndarray:
            if mjd.ndim != 1 or mjd.dtype != np.float64:
                mjd = np.asarray(mjd, dtype=np.float64).reshape(-1)
        elif not isinstance(mjd, float):
            if mjd is None or isinstance(mjd, (str, bytes)):
                raise TypeError(f"EOP dates must be numbers (UTC MJD), not {type(mjd).__name__}")
            mjd = np.asarray(mjd, dtype=np.float64).reshape(-1)
        (status, k, self.mjd, self.pm_x, self.pm_y, self.dX, self.dY, self.lod, self.ut1_utc) = _evaluate(
            mjd, tab._packed, tab.mjd, tab._uniform, _hold
        )
        if status:
            self._finish(tab, status, k, mjd)

    def _finish(self, tab: EOPTable, status: int, k: int, mjd) -> None:
        if status == _NON_FINITE:
            bad = mjd if isinstance(mjd, float) else mjd[k]
            raise ValueError(f"EOP dates must be finite MJDs; got {float(bad)!r} at index {k}")
        if status == _OUT_OF_RANGE:
            raise EOPRangeError(float(self.mjd[k]), tab.first_mjd, tab.last_mjd, tab.path)
        # Held dates: UT1-TAI is held, so UT1-UTC follows leap seconds past the ends.
        t = self.mjd
        low = t < tab.first_mjd
        held = low | (t > tab.last_mjd)
        th = t[held]
        ends = np.where(low[held], tab.tai_utc[0], tab.tai_utc[-1])
        # Before the first leap second of the table UTC had no whole-second
        # offset from TAI: UT1-UTC itself is held there.
        dat = np.where(th >= tab._leap_mjd[0], tab._tai_utc_at(th), ends)
        self.ut1_utc[held] += dat - ends

    def __repr__(self) -> str:
        return f"EOP(<{self.mjd.size} dates>)"

