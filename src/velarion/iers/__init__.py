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
  corrections; ``with use_zero_table(): ...`` does so for a block only (for
  the code running in it: other threads keep the table in use).
"""

from __future__ import annotations

import contextlib
import contextvars
import datetime as _dt
import math
import os
import threading
from collections.abc import Iterator
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _table
from ._interp import NON_FINITE as _NON_FINITE
from ._interp import OK as _OK
from ._interp import OUT_OF_RANGE as _OUT_OF_RANGE
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

# Word for word: callers and tests compare the exception texts of this module.

_F64 = NDArray[np.float64]

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
    """A read-only copy of `a` over an immutable buffer: its WRITEABLE flag
    cannot be set again, on it or on its base."""
    a = np.ascontiguousarray(a, dtype=np.float64)
    return np.frombuffer(a.tobytes(), dtype=np.float64).reshape(a.shape)


_COLUMNS = ("mjd", "tai_utc", "ut1_tai", *_table.FIELDS)


def _checked_columns(columns: dict[str, Any]) -> dict[str, np.ndarray]:
    """The daily columns as float64 arrays of one length, finite, with
    increasing dates; ValueError otherwise."""
    out = {}
    for key in _COLUMNS:
        if key not in columns:
            raise ValueError(f"EOPTable: the column {key!r} is missing")
        a = np.array(columns[key], dtype=np.float64)
        if a.ndim != 1 or a.size == 0:
            raise ValueError(f"EOPTable: the column {key!r} must be a non-empty one-dimensional array")
        if not np.isfinite(a).all():
            raise ValueError(f"EOPTable: the column {key!r} holds a NaN or an infinity")
        out[key] = a
    n = out["mjd"].size
    for key, a in out.items():
        if a.size != n:
            raise ValueError(f"EOPTable: the column {key!r} has {a.size} days, the dates {n}")
    if np.any(np.diff(out["mjd"]) <= 0.0):
        raise ValueError("EOPTable: the dates (mjd) must be increasing")
    return out


class EOPTable:
    """A daily Earth orientation table (values in rad and s).

    Attributes: ``path`` (the file, None for the zero table), ``first_mjd``,
    ``last_mjd``, ``is_zero`` and the read-only daily arrays ``mjd``,
    ``pm_x``, ``pm_y``, ``dX``, ``dY``, ``lod``, ``ut1_utc``, ``tai_utc``.
    A table is immutable: its attributes cannot be rebound and its arrays
    cannot be written (another table comes from ``load``).
    """

    __slots__ = (
        "_leap_dat",
        "_leap_mjd",
        "_packed",
        "_uniform",
        "_ut1_tai",
        "dX",
        "dY",
        "first_mjd",
        "is_zero",
        "last_mjd",
        "lod",
        "mjd",
        "path",
        "pm_x",
        "pm_y",
        "tai_utc",
        "ut1_utc",
    )
    path: str | None
    is_zero: bool
    first_mjd: float
    last_mjd: float
    mjd: _F64
    pm_x: _F64
    pm_y: _F64
    dX: _F64
    dY: _F64
    lod: _F64
    ut1_utc: _F64
    tai_utc: _F64
    _leap_mjd: _F64
    _leap_dat: _F64
    _ut1_tai: np.ndarray
    _uniform: bool
    _packed: _F64

    def __init__(self, path: str | None, columns: dict[str, Any] | None, leap: tuple[np.ndarray, np.ndarray]):
        try:
            object.__getattribute__(self, "_packed")
        except AttributeError:
            pass
        else:
            raise TypeError("an EOPTable cannot be initialised again; velarion.iers.load() installs another table")
        if path is not None and not isinstance(path, str):
            raise TypeError(f"EOPTable: path must be a str or None, not {type(path).__name__}")
        leap_mjd, leap_dat = (np.array(x, dtype=np.float64) for x in leap)
        if leap_mjd.ndim != 1 or leap_mjd.shape != leap_dat.shape or leap_mjd.size == 0:
            raise ValueError("EOPTable: the leap-second table must be two one-dimensional arrays of one length")
        zero = columns is None
        if columns is None:
            columns = {k: np.zeros(0) for k in _COLUMNS}
            first, last = -math.inf, math.inf
        else:
            columns = _checked_columns(columns)
            first, last = float(columns["mjd"][0]), float(columns["mjd"][-1])
        put = object.__setattr__
        put(self, "path", path)
        put(self, "is_zero", zero)
        put(self, "first_mjd", first)
        put(self, "last_mjd", last)
        put(self, "_leap_mjd", _frozen(leap_mjd))
        put(self, "_leap_dat", _frozen(leap_dat))
        for key in ("mjd", "pm_x", "pm_y", "dX", "dY", "lod", "ut1_utc", "tai_utc"):
            put(self, key, _frozen(columns[key]))
        put(self, "_ut1_tai", _frozen(columns["ut1_tai"]))

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
        put(self, "_uniform", n < 2 or bool(np.all(np.diff(self.mjd) == 1.0)))
        # One row per day: the six values, then their slopes (see kernels/interp.hpp).
        put(self, "_packed", _frozen(np.concatenate([values, slope]).T))

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(
            f"EOPTable is read-only: cannot set {name!r} (velarion.iers.load() installs another table)"
        )

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"EOPTable is read-only: cannot delete {name!r}")

    def __reduce__(self) -> tuple[Any, ...]:
        leap = (self._leap_mjd, self._leap_dat)
        if self.is_zero:
            return (EOPTable, (None, None, leap))
        names = ("mjd", "tai_utc", "pm_x", "pm_y", "dX", "dY", "lod", "ut1_utc")
        columns = {k: getattr(self, k) for k in names}
        columns["ut1_tai"] = self._ut1_tai
        return (EOPTable, (self.path, columns, leap))

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


def _read(path: str | os.PathLike[str] | None) -> EOPTable:
    if path is None:
        path = _default_paths()[0]
    path = os.fsdecode(os.fspath(path))
    leap = _leap_table()
    return EOPTable(path, _table.parse_finals(path, *leap), leap)


def table() -> EOPTable:
    """The Earth orientation table in use (read on first use); inside a
    ``use_zero_table()`` block, that block's zero table."""
    t = _override()
    if t is not None:
        return t
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


def load(path: str | os.PathLike[str] | EOPTable | None = None) -> EOPTable:
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


class _ZeroBlock:
    """One ``use_zero_table()`` block: its table, in force until the block ends."""

    __slots__ = ("active", "table")

    def __init__(self, table: EOPTable):
        self.table = table
        self.active = True


# The blocks entered in the current context (thread or asyncio task), innermost
# last. A tuple, never changed in place: a context copied from this one (a task
# started inside a block) gets its own.
_zero_blocks: contextvars.ContextVar[tuple[_ZeroBlock, ...]] = contextvars.ContextVar(
    "velarion.iers zero-table blocks", default=()
)


def _override() -> EOPTable | None:
    """The table of the innermost block still in force in this context."""
    blocks = _zero_blocks.get()
    for block in reversed(blocks):
        if block.active:
            return block.table
    return None


@contextlib.contextmanager
def use_zero_table() -> Iterator[EOPTable]:
    """Uses the zero table inside a ``with`` block, then the previous table again.

    The block covers the code that runs in it: this thread (or asyncio task)
    and what it calls; other threads keep the table in use. Blocks may nest,
    overlap in several threads and end in any order: each one ends only
    itself. ``load()`` inside a block changes the table in use for everyone,
    which this thread sees once its blocks have ended.
    """
    block = _ZeroBlock(EOPTable(None, None, _leap_table()))
    _zero_blocks.set((*(b for b in _zero_blocks.get() if b.active), block))
    try:
        yield block.table
    finally:
        # Ends this block even when the exit runs in another context than
        # the entry (a generator resumed elsewhere): a block found inactive
        # is skipped everywhere.
        block.active = False
        blocks = _zero_blocks.get()
        if any(b is block or not b.active for b in blocks):
            _zero_blocks.set(tuple(b for b in blocks if b.active))


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


def _dates(value: ArrayLike) -> _F64:
    """The dates as a flat float64 array; real numbers only (NumPy would
    also read texts and drop imaginary parts)."""
    a = np.asarray(value)
    if a.dtype.kind in "cmMSUV":
        raise TypeError(f"EOP dates must be real numbers (UTC MJD), not an array of {a.dtype}")
    return a.astype(np.float64).reshape(-1)


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

    __slots__ = ("dX", "dY", "lod", "mjd", "pm_x", "pm_y", "ut1_utc")
    mjd: _F64
    pm_x: _F64
    pm_y: _F64
    dX: _F64
    dY: _F64
    lod: _F64
    ut1_utc: _F64

    def __init__(self, mjd: ArrayLike) -> None:
        tab = _override() if _zero_blocks.get() else _current
        if tab is None:
            tab = table()
        # A float and a flat float64 array go to the kernel as they are.
        dates: float | _F64
        if type(mjd) is np.ndarray:
            dates = mjd if mjd.ndim == 1 and mjd.dtype == np.float64 else _dates(mjd)
        elif isinstance(mjd, float):
            dates = mjd
        else:
            if mjd is None or isinstance(mjd, (str, bytes)):
                raise TypeError(f"EOP dates must be numbers (UTC MJD), not {type(mjd).__name__}")
            dates = _dates(mjd)
        (status, k, self.mjd, self.pm_x, self.pm_y, self.dX, self.dY, self.lod, self.ut1_utc) = _evaluate(
            dates, tab._packed, tab.mjd, tab._uniform, _hold
        )
        if status != _OK:
            self._finish(tab, status, k, dates)

    def _finish(self, tab: EOPTable, status: int, k: int, mjd: float | np.ndarray) -> None:
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
