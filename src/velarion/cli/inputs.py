"""What the command line reads from its options: the satellite (a TLE or an
initial state), the station, frames, dates, the time span and the Earth
orientation file.

Every problem is an ``InputError`` (exit status 1) or, for options that do
not go together, a ``UsageError`` (exit status 2). Their messages are word
for word what users read and what the tests compare.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import math
import os
import re
import stat
import sys
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

import velarion.frames
import velarion.iers
from velarion.frames.frames import Frame
from velarion.mathtools.ellipsoid.ellipsoid import WGS84
from velarion.passes import Source, Station, propagator_source, sgp4_source
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.propagators.analytical.sgp4 import ELSET, SGP4, TLE, load_omm
from velarion.propagators.analytical.sgp4.catalogue import tles_of_text
from velarion.state.state import COE, StateVector
from velarion.time.time import Time
from velarion.utils.textfiles import MAX_FILE_BYTES

from . import defaults
from .csvio import read_text
from .errors import InputError, UsageError

__all__ = [
    "CommandSatellite",
    "Satellites",
    "catalogue_file",
    "check_step",
    "default_start",
    "default_station",
    "eop_range_message",
    "load_eop",
    "named_frame",
    "one_of",
    "parse_start",
    "parse_time",
    "satellite",
    "satellites",
    "standard_frames",
    "station",
    "stations",
    "time_span",
    "warn",
]


@dataclass
class CommandSatellite:
    """The satellite of a command: its name for the output, its states and their epoch."""

    label: str
    source: Source  # Time -> (frame, r, v)
    epoch: Time
    is_default: bool = False


@dataclass
class Satellites:
    """The satellites of ``velarion passes``: what ``find_passes`` takes
    (element sets, or the source of one state or TLE), how the heading
    names them, and the epoch the default span starts from."""

    items: list[Any]
    label: str
    epoch: Time
    is_default: bool = False


def standard_frames() -> None:
    """Links GCRF, ITRF and TEME in the frame graph (once per command, before any frame is looked up)."""
    velarion.frames.register_standard_transforms()


def named_frame(name: str, what: str) -> Frame:
    """The registered frame of that name (any case); ``what`` names the option for the message."""
    key = name.strip().upper()
    known = sorted(Frame._instances)
    if key not in Frame._instances:
        raise InputError(f"unknown frame {name!r} for {what}; known frames: {', '.join([*known, 'ENU'])}")
    return Frame._instances[key]


# A wall-clock date-time followed by its offset from UTC (+02:00, -0500, +05).
_ZONED = re.compile(
    r"(?P<date>\d{4}-\d{2}-\d{2})[T ](?P<clock>\d{2}:\d{2}(?::\d{2})?)(?P<fraction>\.\d+)?"
    r"(?P<sign>[+-])(?P<hours>\d{2})(?::?(?P<minutes>\d{2}))?"
)
# Offsets of --start: signed numbers with a unit, one after the other ("-1h", "+1d-30min").
# A term without a sign takes the one before ("-1h30min" is an hour and a half back).
_OFFSET = re.compile(r"([+-]?)\s*((?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)\s*(s|min|m|h|d)(?![a-z])", re.IGNORECASE)
_OFFSETS = re.compile(
    rf"[+-]\s*(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\s*(?:s|min|m|h|d)(?![a-z])\s*(?:{_OFFSET.pattern}\s*)*$",
    re.IGNORECASE,
)
_UNIT_SECONDS = {"s": 1.0, "m": 60.0, "min": 60.0, "h": 3600.0, "d": 86400.0}


def _zoned(text: str) -> Time | None:
    """The UTC time of a wall-clock date-time with its offset from UTC (None for other texts)."""
    m = _ZONED.fullmatch(text.strip())
    if m is None:
        return None
    offset = int(m["hours"]) * 3600 + int(m["minutes"] or 0) * 60
    if offset > 24 * 3600:
        raise ValueError(f"{text!r}: an offset from UTC is at most 24:00")
    offset = -offset if m["sign"] == "-" else offset
    clock = m["clock"] if len(m["clock"]) == 8 else m["clock"] + ":00"
    leap = clock.endswith(":60")
    # Shifted on the civil clock, which has no leap seconds; a leap second
    # (hh:mm:60 local) is the second after hh:mm:59 in UTC.
    try:
        wall = datetime.datetime.fromisoformat(f"{m['date']}T{clock[:6]}59" if leap else f"{m['date']}T{clock}")
    except ValueError:
        raise ValueError(f"{text!r} is not a valid date-time") from None
    utc = (wall - datetime.timedelta(seconds=offset)).strftime("%Y-%m-%dT%H:%M:%S")
    if not leap:
        return Time(utc + (m["fraction"] or ""))
    moment = Time(utc) + (1.0 + float(m["fraction"] or 0.0))
    if str(moment.iso)[17:19] != "60":
        raise ValueError(f"{text!r}: there is no leap second at {utc[:16]} UTC")
    return moment


def parse_time(text: str, what: str) -> Time:
    """The date of an option's text (ISO 8601 in UTC or with its offset from
    UTC, or 'now'); ``what`` names the option for the message."""
    try:
        if text.strip().lower() == "now":
            now = datetime.datetime.now(datetime.timezone.utc)
            return Time(now.strftime("%Y-%m-%dT%H:%M:%S.%f"))
        zoned = _zoned(text)
        return zoned if zoned is not None else Time(text)
    except (ValueError, TypeError) as e:
        raise InputError(f"bad {what}: {e} (or 'now', or with an offset from UTC such as +02:00)") from None


def parse_start(text: str, default: Callable[[], Time]) -> Time:
    """The start of --start's text: a date (``parse_time``) and signed
    offsets after it, or offsets alone from ``default()``."""
    body = text.strip()
    tail = _OFFSETS.search(body)
    # A zone offset (+02:00) has no unit and stays with the date.
    offsets = 0.0
    if tail is not None:
        sign = "+"
        for given, number, unit in _OFFSET.findall(tail.group(0)):
            sign = given or sign
            value = float(number) * _UNIT_SECONDS[unit.lower()]
            offsets += -value if sign == "-" else value
        body = body[: tail.start()].strip()
    if not math.isfinite(offsets) or abs(offsets) > 1e6 * 86400.0:
        raise InputError(f"bad --start {text!r}: the offsets must be finite and within a million days")
    base = default() if not body else parse_time(body, f"--start {text!r}")
    return base + offsets if offsets else base


def default_start(epoch: Time) -> Time:
    """The start of a span when --start is not given: the (latest) epoch of
    the element sets or the state, down to the whole minute."""
    minute = Time(str(epoch.utc.iso)[:16])
    return minute


def _where(path: str) -> str:
    return "<stdin>" if path == "-" else repr(path)


def catalogue_file(args: argparse.Namespace) -> tuple[list[ELSET], str]:
    """The element sets of --tle or --omm, and the file's name for messages."""
    if args.tle is not None and args.omm is not None:
        raise UsageError("give either --tle or --omm, not both")
    path = args.tle if args.tle is not None else args.omm
    where = _where(path)
    elsets: list[ELSET]
    try:
        if args.tle is not None:
            elsets = list(tles_of_text(read_text(path), where))
        elif path == "-":
            raise InputError("--omm reads a file, not standard input")
        else:
            if not os.path.exists(path):
                raise InputError(f"cannot read {path!r}: no such file")
            if os.path.isdir(path):
                raise InputError(f"cannot read {path!r}: it is a directory")
            elsets = list(load_omm(path))
    except OSError as e:
        raise InputError(f"cannot read {path!r}: {e.strerror or e}") from None
    except ValueError as e:
        raise InputError(str(e)) from None
    if not elsets:
        raise InputError(f"{where} holds no element set")
    return elsets, where


def warn(args: argparse.Namespace, text: str) -> None:
    """One warning line on standard error, named after the command."""
    print(f"velarion {args.command}: warning: {text}", file=sys.stderr)


def _select(elsets: list[ELSET], args: argparse.Namespace, where: str) -> list[ELSET]:
    """The element sets that --satnum and --match pick (all without them).

    Each option narrows the choice, so together they pick the sets that
    both take (a number of --satnum whose name contains --match's text). A
    number of --satnum missing from the file is a warning; the run goes on
    with the others and fails only when none is left."""
    if args.satnum is None and args.match is None:
        return elsets
    picked = elsets
    if args.satnum is not None:
        try:
            wanted = [int(x) for x in args.satnum.split(",") if x.strip()]
        except ValueError:
            raise InputError(f"--satnum takes catalogue numbers separated by commas, got {args.satnum!r}") from None
        if not wanted:
            raise InputError(f"--satnum takes catalogue numbers separated by commas, got {args.satnum!r}")
        known = {getattr(e, "satnum", None) for e in elsets}
        missing = sorted(set(wanted) - known)
        if len(missing) == len(set(wanted)):
            raise InputError(f"{where}: no element set with catalogue number {', '.join(map(str, missing))}")
        if missing:
            warn(args, f"{where}: no element set with catalogue number {', '.join(map(str, missing))}")
        picked = [e for e in picked if getattr(e, "satnum", None) in set(wanted)]
    if args.match is not None:
        match = args.match.lower()
        named = [e for e in picked if match in (e.name or "").lower()]
        if not named:
            among = "" if args.satnum is None else f" among the catalogue numbers of --satnum {args.satnum}"
            raise InputError(f"{where}: no satellite name contains {args.match!r}{among}")
        picked = named
    return picked


def _names(elsets: list[ELSET], at_most: int = 8) -> str:
    """'NAME (N), ...' of the first element sets, and how many more."""
    shown = [f"{e.name or '?'} ({getattr(e, 'satnum', '?')})" for e in elsets[:at_most]]
    more = len(elsets) - len(shown)
    return ", ".join(shown) + (f" and {more} more" if more > 0 else "")


def one_of(elsets: list[ELSET], args: argparse.Namespace, where: str) -> ELSET:
    """The one element set of a catalogue that --satnum and --match pick;
    InputError listing the candidates when several are left."""
    picked = _select(elsets, args, where)
    if len(picked) == 1:
        return picked[0]
    if args.satnum is None and args.match is None:
        raise InputError(
            f"{where} holds {len(picked)} element sets ({_names(picked)}); pick one with --satnum N or --match TEXT"
        )
    raise InputError(
        f"{where}: {len(picked)} element sets are picked ({_names(picked)}); "
        "take one with --satnum N or a longer --match"
    )


def satellites(args: argparse.Namespace) -> Satellites:
    """The satellites of ``velarion passes``: every element set of --tle or
    --omm (those --satnum and --match pick), or the one satellite of the
    other options (the embedded ISS sample without any)."""
    if args.tle is None and args.omm is None:
        if args.satnum is not None or args.match is not None:
            raise UsageError("--satnum and --match pick satellites of --tle or --omm")
        sat = satellite(args, allow_default=True)
        return Satellites([_named(sat)], sat.label, sat.epoch, sat.is_default)
    others = [
        o
        for o, on in (
            ("--line1/--line2", args.line1 is not None or args.line2 is not None),
            ("--coe", args.coe is not None),
            ("--sv", args.sv is not None),
        )
        if on
    ]
    if others:
        raise UsageError(f"give one satellite, not a TLE and {others[0]}")
    if args.epoch is not None:
        raise UsageError("--epoch goes with --coe or --sv (a TLE carries its own epoch)")
    elsets, where = catalogue_file(args)
    picked = _select(elsets, args, where)
    if args.name is not None and len(picked) == 1:
        picked = [_renamed(picked[0], args.name)]
    if len(picked) == 1:
        e = picked[0]
        label = e.name or f"satellite {getattr(e, 'satnum', 1)}"
    else:
        label = f"{len(picked)} satellites of {where}"
    latest = max(picked, key=lambda e: float(e.epoch.tai.jd12.sum()))
    return Satellites(list(picked), label, latest.epoch)


def _named(sat: CommandSatellite) -> Any:
    """The source of one satellite, under its label (the name its passes carry)."""
    source: Any = sat.source
    with contextlib.suppress(AttributeError):
        source.name = sat.label
    return source


def _renamed(elset: ELSET, name: str) -> ELSET:
    if isinstance(elset, TLE):
        return TLE(*elset.lines, name)
    return elset


def satellite(args: argparse.Namespace, *, allow_default: bool) -> CommandSatellite:
    """The satellite of the options: one element set (--line1/--line2, or
    the set of --tle/--omm that --satnum/--match pick), an initial state
    (two-body motion) or, with ``allow_default`` and none given, the
    embedded ISS sample."""
    in_file = args.tle is not None or getattr(args, "omm", None) is not None
    has_tle = in_file or args.line1 is not None or args.line2 is not None
    given = [x for x, on in (("a TLE", has_tle), ("--coe", args.coe is not None), ("--sv", args.sv is not None)) if on]
    if len(given) > 1:
        raise UsageError(f"give one satellite, not {' and '.join(given)}")
    if not in_file and (getattr(args, "satnum", None) is not None or getattr(args, "match", None) is not None):
        raise UsageError("--satnum and --match pick satellites of --tle or --omm")
    if not given:
        if not allow_default:
            raise UsageError(
                "give a TLE (--tle, or --line1 and --line2) or an initial state (--coe or --sv with --epoch)"
            )
        if args.epoch is not None:
            raise UsageError("--epoch goes with --coe or --sv")
        return _tle_satellite(defaults.TLE_LINE1, defaults.TLE_LINE2, args.name or defaults.TLE_NAME, True)
    if has_tle:
        if args.epoch is not None:
            raise UsageError("--epoch goes with --coe or --sv (a TLE carries its own epoch)")
        if in_file:
            if args.line1 is not None or args.line2 is not None:
                raise UsageError(
                    f"give either {'--tle' if args.tle is not None else '--omm'} or --line1/--line2, not both"
                )
            elsets, where = catalogue_file(args)
            return _elset_satellite(one_of(elsets, args, where), args.name)
        if (args.line1 is None) != (args.line2 is None):
            raise UsageError("--line1 and --line2 go together")
        return _tle_satellite(args.line1, args.line2, args.name, False)
    if args.epoch is None:
        raise UsageError(f"{given[0]} needs --epoch (ISO 8601, UTC)")
    return _state_satellite(args)


def _elset_satellite(elset: ELSET, name: str | None) -> CommandSatellite:
    if isinstance(elset, TLE):
        return _tle_satellite(*elset.lines, name or elset.name, False)
    prop = SGP4(elset)
    try:
        prop.records()
    except ValueError as e:
        raise InputError(str(e)) from None
    label = name or elset.name or f"satellite {getattr(elset, 'satnum', 1)}"
    return CommandSatellite(label, sgp4_source(prop), elset.epoch, False)


def _tle_satellite(line1: str, line2: str, name: str | None, is_default: bool) -> CommandSatellite:
    try:
        tle = TLE(line1, line2, name)
    except ValueError as e:
        raise InputError(f"bad TLE: {e}") from None
    prop = SGP4(tle)
    try:
        prop.records()
    except ValueError as e:
        raise InputError(str(e)) from None
    return CommandSatellite(tle.name or f"satellite {tle.satnum}", sgp4_source(prop), tle.epoch, is_default)


def _state_satellite(args: argparse.Namespace) -> CommandSatellite:
    """An initial state (--coe or --sv at --epoch), propagated as two-body motion."""
    epoch = parse_time(args.epoch, "--epoch")
    inertial = named_frame(args.frame, "--frame")
    if inertial.name not in ("GCRF", "TEME"):
        raise InputError(f"--frame {args.frame}: two-body motion needs an inertial frame (GCRF or TEME)")
    state: COE | StateVector
    try:
        if args.coe is not None:
            sma, ecc, inc, raa, arp, tra = args.coe
            if not all(math.isfinite(x) for x in args.coe):
                raise ValueError("the elements must be finite")
            if not (0.0 <= ecc < 1.0 and sma > 0.0):
                raise ValueError(
                    f"two-body propagation needs an ellipse (0 <= ECC < 1, SMA > 0); got ECC={ecc:g}, SMA={sma:g}"
                )
            state = COE(
                epoch,
                ecc=ecc,
                sma=sma,
                inc=math.radians(inc),
                raa=math.radians(raa),
                arp=math.radians(arp),
                tra=math.radians(tra),
                frame=inertial,
            )
            label = f"orbit a={sma / 1e3:.1f} km e={ecc:g} i={inc:g} deg"
        else:
            sv = args.sv
            state = StateVector(epoch, sv[:3], sv[3:], frame=inertial)
            label = f"state of {args.epoch}"
            coe = state.to_coe()
            if not coe.ecc < 1.0:
                raise ValueError(
                    f"two-body propagation needs an elliptic orbit; this state's eccentricity is {coe.ecc:.6g}"
                )
        _check_above_ground(state)
    except (ValueError, TypeError) as e:
        raise InputError(f"bad initial state: {e}") from None
    return CommandSatellite(args.name or label, propagator_source(Keplerian(), state), epoch)


def _check_above_ground(state: COE | StateVector) -> None:
    """ValueError for an initial state inside the Earth (WGS84 ellipsoid):
    kilometres given for metres, most likely. An orbit that only dips below
    the surface later (a re-entry or ballistic arc) is the caller's to
    propagate."""
    sv = state if isinstance(state, StateVector) else state.to_sv()
    x, y, z = (float(c) for c in np.asarray(sv.r, dtype=np.float64).reshape(-1)[:3])
    a, b = WGS84.a, WGS84.b
    if (x * x + y * y) / (a * a) + (z * z) / (b * b) < 1.0:
        raise ValueError(
            f"the initial position is inside the Earth, {math.sqrt(x * x + y * y + z * z) / 1e3:.3f} km "
            f"from its centre (lengths are in metres)"
        )


def _station_of_text(text: str, where: str) -> Station:
    parts = [p.strip() for p in text.split(",")]
    if len(parts) not in (3, 4) or not parts[0]:
        raise InputError(f"{where}: a station is NAME,LAT,LON[,ALT], got {text!r}")
    try:
        values = [float(p) for p in parts[1:]]
    except ValueError:
        raise InputError(f"{where}: a station is NAME,LAT,LON[,ALT] with numbers, got {text!r}") from None
    try:
        return Station(values[0], values[1], values[2] if len(values) == 3 else 0.0, parts[0])
    except ValueError as e:
        raise InputError(f"{where}: bad station: {e}") from None


def _stations_file(path: str) -> list[Station]:
    import csv
    import io

    where = _where(path)
    try:
        rows = [(k + 1, r) for k, r in enumerate(csv.reader(io.StringIO(read_text(path)))) if any(c.strip() for c in r)]
    except csv.Error as e:  # a field beyond the csv module's limit, a NUL character
        raise InputError(f"{where}: not a CSV file of stations: {e}") from None
    if not rows:
        raise InputError(f"{where} holds no station")
    header = [c.strip().lower() for c in rows[0][1]]
    need = ["name", "lat", "lon"]
    if not set(need) <= set(header) or len(set(header)) != len(header):
        raise InputError(f"{where}, line {rows[0][0]}: the header must name the columns name,lat,lon (and alt)")
    cols = [header.index(c) for c in need]
    alt = header.index("alt") if "alt" in header else None
    out = []
    for line, row in rows[1:]:
        if len(row) != len(header):
            raise InputError(f"{where}, line {line}: {len(row)} fields, the header has {len(header)}")
        fields = [row[c].strip() for c in cols]
        text = ",".join([*fields, row[alt].strip()] if alt is not None and row[alt].strip() else fields)
        out.append(_station_of_text(text, f"{where}, line {line}"))
    if not out:
        raise InputError(f"{where} holds no station")
    return out


def stations(args: argparse.Namespace) -> list[Station]:
    """The stations of --station (repeatable), --stations FILE and
    --lat/--lon/--alt, in that order (the embedded one without any)."""
    out = [_station_of_text(t, "--station") for t in (args.station or [])]
    if getattr(args, "stations", None) is not None:
        out += _stations_file(args.stations)
    one = station(args)
    if one is not None:
        out.append(one)
    elif args.station_name is not None and out:
        raise UsageError("--station-name names the station of --lat/--lon")
    if not out:
        out.append(default_station(args.station_name))
    return out


def station(args: argparse.Namespace) -> Station | None:
    """The station of --lat/--lon/--alt (None without them)."""
    given = [args.lat is not None, args.lon is not None]
    if any(given) and not all(given):
        raise UsageError("a station needs both --lat and --lon")
    if not any(given):
        if args.alt is not None:
            raise UsageError("--alt needs --lat and --lon")
        return None
    try:
        return Station(args.lat, args.lon, 0.0 if args.alt is None else args.alt, args.station_name or "")
    except ValueError as e:
        raise InputError(f"bad station: {e}") from None


def default_station(name: str | None) -> Station:
    """The embedded station, under ``name`` when one is given."""
    return Station(defaults.STATION_LAT, defaults.STATION_LON, defaults.STATION_ALT, name or defaults.STATION_NAME)


def load_eop(args: argparse.Namespace) -> None:
    """Puts the Earth orientation file of --eop in use (nothing without it)."""
    if args.eop is None:
        return
    if not os.path.exists(args.eop):
        raise InputError(f"cannot read {args.eop!r}: no such file")
    _check_table_file(args.eop)
    try:
        velarion.iers.load(args.eop)
    except IsADirectoryError:
        raise InputError(f"cannot read {args.eop!r}: it is a directory") from None
    except OSError as e:
        raise InputError(f"cannot read {args.eop!r}: {e.strerror or e}") from None
    except ValueError as e:
        raise InputError(f"bad Earth orientation file {args.eop!r}: {e}") from None


def _check_table_file(path: str) -> None:
    """InputError unless ``path`` is a regular file of at most the size of
    an input file: a table is read whole, and ``/dev/zero`` or a FIFO would
    be read forever."""
    try:
        status = os.stat(path)
    except OSError as e:
        raise InputError(f"cannot read {path!r}: {e.strerror or e}") from None
    if stat.S_ISDIR(status.st_mode):
        raise InputError(f"cannot read {path!r}: it is a directory")
    if not stat.S_ISREG(status.st_mode):
        raise InputError(f"cannot read {path!r}: not a regular file")
    if status.st_size > MAX_FILE_BYTES:
        raise InputError(f"cannot read {path!r}: larger than {MAX_FILE_BYTES} bytes, the most an input file may hold")


def check_step(step: float) -> None:
    if not (math.isfinite(step) and step > 0.0):
        raise InputError(f"--step must be a positive number of seconds, got {step:g}")


def time_span(args: argparse.Namespace, start: Time, epochs: str) -> float:
    """Seconds of --days or --hours from ``start`` (one date), with at most
    5e7 steps of --step in it; ``epochs`` names the steps for the message."""
    if start.shape != ():
        raise InputError("--start must be one date")
    if args.hours is not None:
        value, unit = args.hours, 3600.0
    else:
        value, unit = (defaults.DAYS if args.days is None else args.days), 86400.0
    if not (math.isfinite(value) and value > 0.0):
        raise InputError(f"the span must be positive, got {value:g}")
    span = float(value) * unit
    if span / args.step > 5e7:
        raise InputError(f"span / step gives {span / args.step:.3g} {epochs}; take a larger --step")
    return span


def eop_range_message(err: Exception, time: Time, where: Callable[[int], str] | None = None) -> str:
    """An out-of-range Earth orientation date, with the row it comes from."""
    tab = velarion.iers.table()
    mjd = np.asarray(time.utc.mjd).reshape(-1)
    bad = np.flatnonzero((mjd < tab.first_mjd) | (mjd > tab.last_mjd))
    first, last = (str(x)[:10] for x in _iso_of_mjd([tab.first_mjd, tab.last_mjd]))
    text = (
        f"outside the Earth orientation data, which covers {first} to {last} UTC (--eop FILE reads a "
        f"newer finals2000A file)"
    )
    if bad.size:
        k = int(bad[0])
        at = np.asarray(time.utc.iso).reshape(-1)[k]
        if where is not None:
            return f"{where(k)}: date {at} is {text}"
        return f"date {at} is {text}"
    return str(err)


def _iso_of_mjd(mjd: ArrayLike) -> NDArray[np.str_]:
    return np.asarray(Time.from_mjd(np.asarray(mjd, dtype=np.float64)).iso).reshape(-1)
