"""Ephemeris CSV files: ``time,x,y,z,vx,vy,vz`` (ISO UTC times, m, m/s).

Reading checks every row as the file is read and names the first bad one
(its data-row number and its line in the file), so that what is not such a
file stops at its first line; writing goes through ``outfiles``, which
replaces a regular file only once everything is written, so a failed run
never leaves a half-written file behind.
"""

from __future__ import annotations

import contextlib
import math
import os
import re
from array import array
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import IO

import numpy as np

from velarion.time.time import Time
from velarion.utils import textfiles
from velarion.utils.textfiles import NotTextError

from . import outfiles
from .errors import InputError

# Word for word: callers and tests compare the exception texts of this module.
COLUMNS = ("time", "x", "y", "z", "vx", "vy", "vz")
HEADER = ",".join(COLUMNS)


@dataclass
class Table:
    """Rows of an ephemeris file: times, (N, 3) positions and velocities,
    and the file line of each row (for messages)."""

    source: str
    time: Time
    r: np.ndarray
    v: np.ndarray
    lines: np.ndarray

    def where(self, row: int) -> str:
        return f"{self.source}, row {row + 1} (line {int(self.lines[row])})"


def _name(path: str | None) -> str:
    return "<stdin>" if path in (None, "-") else repr(os.fspath(path))


def _read_failure(path: str | None, e: Exception) -> InputError:
    """The one-line error of an input file that cannot be read."""
    if isinstance(e, NotTextError):
        return InputError(str(e))
    if isinstance(e, FileNotFoundError):
        return InputError(f"cannot read {_name(path)}: no such file")
    if isinstance(e, IsADirectoryError):
        return InputError(f"cannot read {_name(path)}: it is a directory")
    if isinstance(e, OSError):
        return InputError(f"cannot read {_name(path)}: {e.strerror or e}")
    raise TypeError(e)


# Bytes of memory a byte of a file costs its reader (measured, rounded up):
# element sets or stations made of a whole text, the rows of an ephemeris in
# flat arrays, times as texts and then as a Time.
OBJECTS_PER_BYTE = 10.0
EPHEMERIS_PER_BYTE = 2.0
TIMES_PER_BYTE = 8.0


def read_text(path: str | None, memory_per_byte: float = OBJECTS_PER_BYTE) -> str:
    """The whole text of a UTF-8 file, or of standard input for None or "-";
    a byte-order mark at the start is skipped (bounds: ``velarion.utils.textfiles``)."""
    try:
        return textfiles.read_text(path, memory_per_byte=memory_per_byte)
    except (OSError, NotTextError) as e:
        raise _read_failure(path, e) from None


def _lines(path: str | None, memory_per_byte: float) -> Iterator[tuple[int, str]]:
    """(line number, line) as the file is read: what is not text stops the reading at its first line."""
    try:
        yield from textfiles.read_lines(path, memory_per_byte=memory_per_byte)
    except (OSError, NotTextError) as e:
        raise _read_failure(path, e) from None


def _fields(line: str) -> list[str] | None:
    """The fields of a line; None for a blank or comment line."""
    stripped = line.strip()
    if not stripped or stripped.startswith("#"):
        return None
    return [f.strip() for f in stripped.split(",")]


def _records(path: str | None, memory_per_byte: float) -> Iterator[tuple[int, list[str]]]:
    """(line number, fields) of the non-blank, non-comment lines, as the file is read."""
    for number, line in _lines(path, memory_per_byte):
        fields = _fields(line)
        if fields is not None:
            yield number, fields


# A plain decimal number in ASCII: sign, digits with an optional point, an
# optional exponent (float() would also take '1_0', other scripts' digits,
# 'nan' and 'infinity').
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_NON_FINITE = re.compile(r"[+-]?(?:nan|inf|infinity)", re.IGNORECASE)
# A data row of plain numbers, in one match (the common case, read quickly):
# the time, then the six numbers; anything else takes the checks field by field.
_ROW = re.compile(r"\s*([^,#\s][^,]*?)\s*" + rf",\s*({_DECIMAL.pattern})\s*" * 6)


def parse_number(field: str, name: str, where: str) -> float:
    """The value of a CSV number field; InputError naming the field otherwise."""
    if _DECIMAL.fullmatch(field):
        value = float(field)
        if math.isfinite(value):
            return value
    elif not _NON_FINITE.fullmatch(field):
        raise InputError(f"{where}: {name} is not a number: {field!r}")
    raise InputError(f"{where}: {name} is not finite: {field!r}")


def _parse_times(texts: list[str], lines: Sequence[int] | np.ndarray, source: str, first_row: int = 0) -> Time:
    try:
        return Time(np.array(texts, dtype=str))
    except (ValueError, TypeError):
        pass
    # Find the first text that does not parse (the error path only).
    for k, text in enumerate(texts):
        try:
            Time(text)
        except (ValueError, TypeError) as e:
            raise InputError(f"{source}, row {first_row + k + 1} (line {lines[k]}): bad time: {e}") from None
    raise InputError(f"{source}: the times could not be read")


def read_ephemeris(path: str | None) -> Table:
    """Reads an ephemeris CSV file (None or "-": standard input)."""
    source = _name(path)
    times: list[str] = []
    # Flat arrays of doubles and line numbers: a row costs 56 bytes there,
    # some 400 as lists of floats.
    values = array("d")
    lines = array("q")
    for number, line in _lines(path, EPHEMERIS_PER_BYTE):
        match = _ROW.fullmatch(line)
        if match is not None:
            time_text, *texts = match.groups()
            row = [float(t) for t in texts]
            if math.isfinite(sum(row)):  # else (an overflow) the checks below name the field
                times.append(time_text)
                values.extend(row)
                lines.append(number)
                continue
        fields = _fields(line)
        if fields is None:
            continue
        if not lines and not times and fields and fields[0].lower() == "time":
            if tuple(f.lower() for f in fields) != COLUMNS:
                raise InputError(f"{source}, line {number}: the header must be {HEADER!r}, got {','.join(fields)!r}")
            continue
        where = f"{source}, row {len(times) + 1} (line {number})"
        if len(fields) != len(COLUMNS):
            raise InputError(f"{where}: expected {len(COLUMNS)} fields ({HEADER}), got {len(fields)}")
        values.extend([parse_number(field, name, where) for name, field in zip(COLUMNS[1:], fields[1:], strict=True)])
        times.append(fields[0])
        lines.append(number)
    if not times:
        raise InputError(f"{source}: no data rows (expected the header {HEADER!r} and one row per epoch)")
    numbers = np.array(lines, dtype=np.int64)
    del lines
    time = _parse_times(times, numbers, source)
    del times
    data = np.frombuffer(values, dtype=np.float64).reshape(-1, 6)
    return Table(source, time, np.ascontiguousarray(data[:, :3]), np.ascontiguousarray(data[:, 3:]), numbers)


def read_times(path: str | None) -> tuple[Time, np.ndarray, str]:
    """Times from a file: one ISO UTC time per line, or a CSV file whose
    first column holds them (an optional header line starts with "time").
    Returns the times, their lines and the file's name."""
    source = _name(path)
    times: list[str] = []
    lines: list[int] = []
    for number, fields in _records(path, TIMES_PER_BYTE):
        if not times and fields[0].lower() == "time":
            continue
        times.append(fields[0])
        lines.append(number)
    if not times:
        raise InputError(f"{source}: no times (expected one ISO UTC time per line)")
    return _parse_times(times, lines, source), np.array(lines), source


def format_rows(time: Time, r: np.ndarray, v: np.ndarray) -> str:
    """CSV text with the header; floats as their shortest round-trip text.
    A row that is not finite is refused (InputError naming it), never written."""
    iso = np.asarray(time.utc.iso).reshape(-1)
    values = np.concatenate([np.asarray(r), np.asarray(v)], axis=1)
    finite = np.isfinite(values).all(axis=1)
    if not finite.all():
        k = int(np.argmin(finite))
        raise InputError(f"the result at {iso[k]} (row {k + 1}) is not finite: {values[k].tolist()}")
    data = values.tolist()
    out = [HEADER]
    out.extend(f"{t},{a!r},{b!r},{c!r},{d!r},{e!r},{f!r}" for t, (a, b, c, d, e, f) in zip(iso, data, strict=True))
    out.append("")
    return "\n".join(out)


def check_output_path(path: str, what: str) -> None:
    """InputError unless a result can be written to ``path`` (see ``outfiles.check``),
    checked before the work so that a run does not fail only at its end."""
    outfiles.check(path, what)


@contextlib.contextmanager
def output(path: str | None, what: str = "the output") -> Iterator[IO[str]]:
    """A text stream for the result (see ``outfiles.text_output``)."""
    with outfiles.text_output(path, what) as f:
        yield f


@contextlib.contextmanager
def output_path(path: str, what: str = "the output") -> Iterator[str]:
    """A path for writers that take a name (see ``outfiles.written_path``)."""
    with outfiles.written_path(path, what) as name:
        yield name
