"""CCSDS Orbit Ephemeris Messages (OEM, CCSDS 502.0-B-3) in the keyword =
value notation (KVN).

`read` parses a message into its header and segments; each segment's states
become a `StateVectorEphemeris` (metres and m/s, in the package's frame for
the segment's REF_FRAME) beside its metadata, optional accelerations and
covariance blocks. `write` writes an ephemeris as a one-segment message.
Positions in the file are km and velocities km/s, as the standard has them.

What is refused, with a ``ValueError`` naming the file and line: a message
that is not an OEM (no ``CCSDS_OEM_VERS`` first), unknown or repeated
keywords, missing mandatory keywords, data lines of other than 7 or 10
numbers, non-finite numbers, epochs that go backwards or leave
START_TIME..STOP_TIME, unbalanced META/COVARIANCE blocks, covariance blocks
of other than 21 numbers. Frames and time systems without a counterpart
here (e.g. EME2000, TDB) are read into the metadata but refused when the
segment's ephemeris is built. Files are read through the package's bounded
text reader (velarion.utils.textfiles).
"""

from __future__ import annotations

import datetime as _dt
import io
import math
import os
import re
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

from velarion.state.ephemeris import StateVectorEphemeris
from velarion.time.time import Time
from velarion.utils.textfiles import read_lines

__all__ = ["Oem", "OemSegment", "read", "write"]

_HEADER_KEYS = ("CCSDS_OEM_VERS", "CREATION_DATE", "ORIGINATOR", "MESSAGE_ID")
_META_KEYS = (
    "OBJECT_NAME", "OBJECT_ID", "CENTER_NAME", "REF_FRAME", "REF_FRAME_EPOCH", "TIME_SYSTEM", "START_TIME",
    "USEABLE_START_TIME", "USEABLE_STOP_TIME", "STOP_TIME", "INTERPOLATION", "INTERPOLATION_DEGREE",
)  # fmt: skip
_META_REQUIRED = ("OBJECT_NAME", "OBJECT_ID", "CENTER_NAME", "REF_FRAME", "TIME_SYSTEM", "START_TIME", "STOP_TIME")
# REF_FRAME -> the package's frame (the ITRF realisations are all its ITRF)
_FRAMES = {"GCRF": "GCRF", "ICRF": "GCRF", "ITRF": "ITRF", "ITRF2000": "ITRF", "ITRF2008": "ITRF",
           "ITRF2014": "ITRF", "ITRF2020": "ITRF", "ITRF-93": "ITRF", "ITRF-97": "ITRF", "TEME": "TEME"}  # fmt: skip
# TIME_SYSTEM -> (Time scale, seconds to add to read the epoch in that scale)
_TIME_SYSTEMS = {"UTC": ("utc", 0.0), "TAI": ("tai", 0.0), "TT": ("tt", 0.0), "UT1": ("ut1", 0.0),
                 "GPS": ("tai", 19.0)}  # fmt: skip
_FRAME_NAMES = {"GCRF": "GCRF", "ITRF": "ITRF", "TEME": "TEME"}
_EPOCH = re.compile(r"^(\d{4})-(?:(\d{2})-(\d{2})|(\d{3}))T(\d{2}):(\d{2}):(\d{2}(?:\.\d*)?)Z?$")


@dataclass
class OemSegment:
    """One segment: metadata (keyword -> text), epochs as text, states in
    km and km/s as the file has them, accelerations (km/s^2) when given,
    and covariance blocks (epoch text, frame or None, 6x6 in km, km/s)."""

    metadata: dict[str, str]
    epochs: list[str]
    states: NDArray[np.float64]  # (n, 6)
    accelerations: NDArray[np.float64] | None = None  # (n, 3)
    covariances: list[tuple[str, str | None, NDArray[np.float64]]] = field(default_factory=list)
    comments: list[str] = field(default_factory=list)

    @property
    def time(self) -> Time:
        system = self.metadata["TIME_SYSTEM"]
        if system not in _TIME_SYSTEMS:
            raise ValueError(f"TIME_SYSTEM {system} has no time scale here (supported: {', '.join(_TIME_SYSTEMS)})")
        scale, offset = _TIME_SYSTEMS[system]
        t = Time([_iso(e) for e in self.epochs], scale)
        return t + offset if offset else t

    @property
    def ephemeris(self) -> StateVectorEphemeris:
        """The states as an ephemeris (m, m/s) in the package's frame."""
        if self.metadata["CENTER_NAME"].upper() != "EARTH":
            raise ValueError(f"CENTER_NAME {self.metadata['CENTER_NAME']}: only Earth-centred segments are supported")
        ref = self.metadata["REF_FRAME"]
        if ref not in _FRAMES:
            raise ValueError(f"REF_FRAME {ref} has no frame here (supported: {', '.join(_FRAMES)})")
        return StateVectorEphemeris(self.time, self.states[:, :3] * 1e3, self.states[:, 3:] * 1e3, _FRAMES[ref])


@dataclass
class Oem:
    header: dict[str, str]
    segments: list[OemSegment]

    @property
    def ephemeris(self) -> StateVectorEphemeris:
        """The only segment's ephemeris (``ValueError`` for several)."""
        if len(self.segments) != 1:
            raise ValueError(f"the message has {len(self.segments)} segments: take each from .segments")
        return self.segments[0].ephemeris


def _iso(epoch: str) -> str:
    """An OEM epoch (calendar or day-of-year form) as ISO 8601 calendar text."""
    m = _EPOCH.match(epoch)
    if not m:
        raise ValueError(f"{epoch!r} is not a CCSDS epoch (YYYY-MM-DDThh:mm:ss[.d] or YYYY-DDDThh:mm:ss[.d])")
    year, month, day, doy, hh, mm, ss = m.groups()
    if doy is not None:
        if not 1 <= int(doy) <= (366 if _leap(int(year)) else 365):
            raise ValueError(f"{epoch!r}: day of year {doy} out of range")
        date = _dt.date(int(year), 1, 1) + _dt.timedelta(days=int(doy) - 1)
        month, day = f"{date.month:02d}", f"{date.day:02d}"
    return f"{year}-{month}-{day}T{hh}:{mm}:{ss}"


def _leap(year: int) -> bool:
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def _numbers(fields: list[str], where: str) -> list[float]:
    try:
        values = [float(f) for f in fields]
    except ValueError:
        raise ValueError(f"{where}: not a number in {' '.join(fields)!r}") from None
    if not all(math.isfinite(v) for v in values):
        raise ValueError(f"{where}: a non-finite number")
    return values


_UNITS = re.compile(r"\s*\[[^\]]*\]\s*$")


def read(path: str | os.PathLike[str]) -> Oem:
    """Parse an OEM (KVN) file."""
    name = repr(os.fspath(path))
    header: dict[str, str] = {}
    segments: list[OemSegment] = []
    state = "header"  # header, meta, data, covariance
    meta: dict[str, str] = {}
    epochs: list[str] = []
    rows: list[list[float]] = []
    comments: list[str] = []
    cov_lines: list[float] = []
    cov_epoch: str | None = None
    cov_frame: str | None = None
    span: tuple[tuple[str, ...], tuple[str, ...]] = ((), ())
    previous: tuple[str, ...] | None = None
    covariances: list[tuple[str, str | None, NDArray[np.float64]]] = []
    first = True

    def close_segment(where: str) -> None:
        if not rows:
            raise ValueError(f"{where}: a segment without ephemeris data lines")
        widths = {len(r) for r in rows}
        if len(widths) != 1:
            raise ValueError(f"{where}: data lines mix 7 and 10 values in one segment")
        data = np.array(rows, dtype=np.float64)
        segments.append(
            OemSegment(
                dict(meta),
                list(epochs),
                data[:, :6],
                data[:, 6:9] if data.shape[1] == 9 else None,
                list(covariances),
                list(comments),
            )
        )

    def epoch_key(epoch: str, where: str) -> tuple[str, ...]:
        try:
            text = _iso(epoch)
        except ValueError as e:
            raise ValueError(f"{where}: {e}") from None
        date, clock = text.split("T")
        h, mi, s = clock.split(":")
        sec = s.split(".")
        # comparable text: seconds' fraction padded
        return (date, h, mi, sec[0], (sec[1] if len(sec) > 1 else "").ljust(30, "0"))

    for number, raw in read_lines(path, memory_per_byte=8.0):
        where = f"{name} line {number}"
        line = raw.strip()
        if not line:
            continue
        if first:
            if not line.startswith("CCSDS_OEM_VERS"):
                raise ValueError(f"{where}: not an OEM (the first line must be CCSDS_OEM_VERS = ...)")
            first = False
        if line.startswith("COMMENT"):
            comments.append(line[7:].strip())
            continue
        if line == "META_START":
            if state == "covariance" or state == "meta":
                raise ValueError(f"{where}: META_START inside a {state.upper()} block")
            if state == "data":
                close_segment(where)
            state, meta, epochs, rows, covariances, comments = "meta", {}, [], [], [], []
            continue
        if line == "META_STOP":
            if state != "meta":
                raise ValueError(f"{where}: META_STOP without META_START")
            missing = [k for k in _META_REQUIRED if k not in meta]
            if missing:
                raise ValueError(f"{where}: metadata lacks {', '.join(missing)}")
            span = (epoch_key(meta["START_TIME"], where), epoch_key(meta["STOP_TIME"], where))
            previous = None
            state = "data"
            continue
        if line == "COVARIANCE_START":
            if state != "data":
                raise ValueError(f"{where}: COVARIANCE_START outside a segment's data")
            state, cov_epoch, cov_frame, cov_lines = "covariance", None, None, []
            continue
        if line == "COVARIANCE_STOP":
            if state != "covariance":
                raise ValueError(f"{where}: COVARIANCE_STOP without COVARIANCE_START")
            if cov_epoch is not None:
                _flush_covariance(cov_epoch, cov_frame, cov_lines, covariances, where)
            state = "data"
            continue
        key, eq, value = line.partition("=")
        key, value = key.strip(), _UNITS.sub("", value).strip()
        if state == "header":
            if not eq or key not in _HEADER_KEYS:
                raise ValueError(f"{where}: {key!r} is not an OEM header keyword")
            if key in header:
                raise ValueError(f"{where}: {key} given twice")
            if key == "CCSDS_OEM_VERS" and value not in ("1.0", "2.0", "3.0"):
                raise ValueError(f"{where}: OEM version {value!r} (this reader knows 1.0, 2.0 and 3.0)")
            header[key] = value
        elif state == "meta":
            if not eq or key not in _META_KEYS:
                raise ValueError(f"{where}: {key!r} is not an OEM metadata keyword")
            if key in meta:
                raise ValueError(f"{where}: {key} given twice")
            meta[key] = value
        elif state == "covariance":
            if eq and key == "EPOCH":
                if cov_epoch is not None:
                    _flush_covariance(cov_epoch, cov_frame, cov_lines, covariances, where)
                epoch_key(value, where)
                cov_epoch, cov_frame, cov_lines = value, None, []
            elif eq and key == "COV_REF_FRAME":
                cov_frame = value
            elif eq:
                raise ValueError(f"{where}: {key!r} is not a covariance keyword")
            else:
                if cov_epoch is None:
                    raise ValueError(f"{where}: covariance values before its EPOCH")
                cov_lines.extend(_numbers(line.split(), where))
        else:  # data
            if eq:
                raise ValueError(f"{where}: a keyword among the data lines")
            fields = line.split()
            if len(fields) not in (7, 10):
                raise ValueError(f"{where}: a data line holds an epoch and 6 or 9 numbers, got {len(fields) - 1}")
            key_now = epoch_key(fields[0], where)
            if previous is not None and key_now < previous:
                raise ValueError(f"{where}: epoch {fields[0]} comes before the previous line's {epochs[-1]}")
            if not (span[0] <= key_now <= span[1]):
                raise ValueError(f"{where}: epoch {fields[0]} lies outside START_TIME..STOP_TIME")
            previous = key_now
            epochs.append(fields[0])
            rows.append(_numbers(fields[1:], where))
    if first:
        raise ValueError(f"{name}: empty file, not an OEM")
    if state == "header":
        raise ValueError(f"{name}: no segment (META_START) in the message")
    if state != "data":
        raise ValueError(f"{name}: the message ends inside a {state.upper()} block")
    close_segment(f"{name} at its end")
    for k in ("CCSDS_OEM_VERS", "CREATION_DATE", "ORIGINATOR"):
        if k not in header:
            raise ValueError(f"{name}: the header lacks {k}")
    return Oem(header, segments)


def _flush_covariance(
    epoch: str,
    frame: str | None,
    values: list[float],
    out: list[tuple[str, str | None, NDArray[np.float64]]],
    where: str,
) -> None:
    if len(values) != 21:
        raise ValueError(f"{where}: a covariance matrix has 21 values (lower triangle), got {len(values)}")
    m = np.zeros((6, 6))
    m[np.tril_indices(6)] = values
    out.append((epoch, frame, m + np.tril(m, -1).T))


def write(
    target: str | os.PathLike[str] | IO[str],
    ephemeris: StateVectorEphemeris,
    *,
    object_name: str,
    object_id: str,
    originator: str = "VELARION",
    creation_date: str | None = None,
    comments: tuple[str, ...] | list[str] = (),
) -> None:
    """Write an ephemeris as a one-segment OEM (KVN, version 2.0): GCRF,
    ITRF or TEME, in the time system of its epochs (UTC, TAI, TT or UT1)."""
    frame = getattr(ephemeris.frame, "name", None)
    if frame not in _FRAME_NAMES:
        raise ValueError(f"an OEM is written in GCRF, ITRF or TEME, not {frame!r}")
    for label, text in (("object_name", object_name), ("object_id", object_id), ("originator", originator)):
        if not text or any(c in text for c in "\n\r=") or text != text.strip():
            raise ValueError(f"{label} must be a non-empty single line without '=' or edge blanks, got {text!r}")
    if ephemeris.size == 0:
        raise ValueError("an OEM needs at least one state")
    t = ephemeris.time
    epochs = [str(e) for e in np.atleast_1d(t.iso)]
    r = np.asarray(ephemeris.r) / 1e3
    v = np.asarray(ephemeris.v) / 1e3
    if not (np.all(np.isfinite(r)) and np.all(np.isfinite(v))):
        raise ValueError("the ephemeris holds non-finite states")
    order = np.argsort(t.jd1 + t.jd2 if t.size > 1 else np.zeros(1), kind="stable")
    if np.any(order != np.arange(len(order))):
        raise ValueError("an OEM's epochs must be in increasing order")
    created = creation_date or _dt.datetime.now(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")
    out = io.StringIO()
    out.write(f"CCSDS_OEM_VERS = 2.0\nCREATION_DATE = {created}\nORIGINATOR = {originator}\n\n")
    out.write("META_START\n")
    for c in comments:
        out.write(f"COMMENT {c}\n")
    meta: dict[str, Any] = {
        "OBJECT_NAME": object_name, "OBJECT_ID": object_id, "CENTER_NAME": "EARTH", "REF_FRAME": frame,
        "TIME_SYSTEM": t.scale.upper(), "START_TIME": epochs[0], "STOP_TIME": epochs[-1],
    }  # fmt: skip
    for key, value in meta.items():
        out.write(f"{key} = {value}\n")
    out.write("META_STOP\n\n")
    for e, ri, vi in zip(epochs, r, v, strict=False):
        out.write(e + " " + " ".join(repr(float(x)) for x in (*ri, *vi)) + "\n")
    text = out.getvalue()
    if isinstance(target, (str, os.PathLike)):
        with open(target, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        target.write(text)
