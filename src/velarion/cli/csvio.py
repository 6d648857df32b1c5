"""Ephemeris CSV files: ``time,x,y,z,vx,vy,vz`` (ISO UTC times, m, m/s).

Reading checks every row and names the first bad one (its data-row number
and its line in the file); writing goes to a temporary file in the target's
folder that replaces the target only once everything is written, so a
failed run never leaves a half-written file behind.
"""

from __future__ import annotations

import contextlib
import math
import os
import sys
import tempfile
from dataclasses import dataclass
from typing import IO, Iterator

import numpy as np

from velarion.time.time import Time

COLUMNS = ("time", "x", "y", "z", "vx", "vy", "vz")
HEADER = ",".join(COLUMNS)


class InputError(ValueError):
    """Bad input: the message names the problem and where it is."""


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


def _permissions(path: str) -> None:
    """mkstemp makes files readable by their owner only; give the result the usual mode."""
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(path, 0o666 & ~umask)


def read_text(path: str | None) -> str:
    """The whole text of a file, or of standard input for None or "-"."""
    if path in (None, "-"):
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except FileNotFoundError:
        raise InputError(f"cannot read {_name(path)}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"cannot read {_name(path)}: it is a directory") from None
    except (OSError, UnicodeDecodeError) as e:
        raise InputError(f"cannot read {_name(path)}: {e}") from None


def _records(text: str) -> Iterator[tuple[int, list[str]]]:
    """(line number, fields) of the non-blank, non-comment lines."""
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if stripped and not stripped.startswith("#"):
            yield number, [f.strip() for f in stripped.split(",")]


def _parse_times(texts: list[str], lines: list[int], source: str, first_row: int = 0) -> Time:
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
    text = read_text(path)
    times: list[str] = []
    values: list[list[float]] = []
    lines: list[int] = []
    for number, fields in _records(text):
        if not lines and not times and fields and fields[0].lower() == "time":
            if tuple(f.lower() for f in fields) != COLUMNS:
                raise InputError(f"{source}, line {number}: the header must be {HEADER!r}, got {','.join(fields)!r}")
            continue
        row = len(times) + 1
        where = f"{source}, row {row} (line {number})"
        if len(fields) != len(COLUMNS):
            raise InputError(f"{where}: expected {len(COLUMNS)} fields ({HEADER}), got {len(fields)}")
        numbers = []
        for name, field in zip(COLUMNS[1:], fields[1:]):
            try:
                value = float(field)
            except ValueError:
                raise InputError(f"{where}: {name} is not a number: {field!r}") from None
            if not math.isfinite(value):
                raise InputError(f"{where}: {name} is not finite: {field!r}")
            numbers.append(value)
        times.append(fields[0])
        values.append(numbers)
        lines.append(number)
    if not times:
        raise InputError(f"{source}: no data rows (expected the header {HEADER!r} and one row per epoch)")
    time = _parse_times(times, lines, source)
    data = np.array(values, dtype=np.float64).reshape(-1, 6)
    return Table(source, time, np.ascontiguousarray(data[:, :3]), np.ascontiguousarray(data[:, 3:]),
                 np.array(lines))


def read_times(path: str | None) -> tuple[Time, np.ndarray, str]:
    """Times from a file: one ISO UTC time per line, or a CSV file whose
    first column holds them (an optional header line starts with "time").
    Returns the times, their lines and the file's name."""
    source = _name(path)
    text = read_text(path)
    times: list[str] = []
    lines: list[int] = []
    for number, fields in _records(text):
        if not times and fields[0].lower() == "time":
            continue
        times.append(fields[0])
        lines.append(number)
    if not times:
        raise InputError(f"{source}: no times (expected one ISO UTC time per line)")
    return _parse_times(times, lines, source), np.array(lines), source


def format_rows(time: Time, r: np.ndarray, v: np.ndarray) -> str:
    """CSV text with the header; floats as their shortest round-trip text."""
    iso = np.asarray(time.utc.iso).reshape(-1)
    data = np.concatenate([np.asarray(r), np.asarray(v)], axis=1).tolist()
    out = [HEADER]
    out.extend(f"{t},{a!r},{b!r},{c!r},{d!r},{e!r},{f!r}" for t, (a, b, c, d, e, f) in zip(iso, data))
    out.append("")
    return "\n".join(out)


@contextlib.contextmanager
def output(path: str | None) -> Iterator[IO[str]]:
    """A text stream for the result: standard output for None or "-", else a
    temporary file beside ``path`` that becomes ``path`` when the block
    ends without an exception (and is removed otherwise)."""
    if path in (None, "-"):
        yield sys.stdout
        sys.stdout.flush()
        return
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    except OSError as e:
        raise InputError(f"cannot write {path!r}: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as f:
            yield f
        _permissions(tmp)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


@contextlib.contextmanager
def output_path(path: str) -> Iterator[str]:
    """A temporary path beside ``path`` (same suffix) that becomes ``path``
    when the block ends without an exception (for writers that take a name)."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    suffix = os.path.splitext(path)[1]
    try:
        fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp" + suffix, dir=folder)
    except OSError as e:
        raise InputError(f"cannot write {path!r}: {e.strerror or e}") from None
    os.close(fd)
    try:
        yield tmp
        _permissions(tmp)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
