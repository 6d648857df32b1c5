"""The ``velarion`` command line (also ``python -m velarion``).

Subcommands:

- ``velarion passes``: passes of a satellite over a ground station (rise,
  culmination and set in UTC, azimuths, maximum elevation); with no input it
  runs on a sample ISS element set and ESA's Redu station.
- ``velarion propagate``: an ephemeris CSV (``time,x,y,z,vx,vy,vz``) of a TLE
  (SGP4) or of an initial state (two-body) on a time grid or at given times.
- ``velarion convert``: an ephemeris CSV from one frame to another (GCRF,
  ITRF, TEME, ENU of a station, any registered frame).

``main(argv)`` runs one command and returns the exit status: 0 on success,
1 for bad input or a failed computation, 2 for a malformed command line.
Every error is one line on standard error; an output file is written only
when the whole result is ready.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import sys
from dataclasses import dataclass
from typing import Any, Callable, NoReturn

import numpy as np

from . import defaults
from .csvio import HEADER, InputError

__all__ = ["main"]

PROG = "velarion"


class UsageError(Exception):
    """A malformed command line (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors (exit status 2) instead of usage dumps,
    and negative numbers in exponent form taken as values (``--sv -4.2e6 ...``;
    argparse alone reads '-4.2e6' as an option)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._negative_number_matcher = re.compile(r"^-(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?$")

    def error(self, message: str) -> NoReturn:  # noqa: D401 - argparse's hook
        raise UsageError(f"{self.prog}: error: {message} (see {self.prog} --help)")


# --------------------------------------------------------------------------
# command line


def _add_input(p: argparse.ArgumentParser, *, required_text: str) -> None:
    g = p.add_argument_group("satellite", required_text)
    g.add_argument("--tle", metavar="FILE",
                   help="two-line element set file (2 lines, or 3 with a name line first; the first set "
                        "of the file is used; '-' reads standard input)")
    g.add_argument("--line1", metavar="LINE", help="line 1 of a two-line element set (with --line2)")
    g.add_argument("--line2", metavar="LINE", help="line 2 of a two-line element set (with --line1)")
    g.add_argument("--name", help="satellite name for the output (default: the TLE's name line)")
    g.add_argument("--coe", nargs=6, type=float, metavar=("SMA", "ECC", "INC", "RAA", "ARP", "TRA"),
                   help="initial classical elements, propagated as two-body motion: semi-major axis [m], "
                        "eccentricity (< 1), inclination, right ascension of the ascending node, argument "
                        "of periapsis, true anomaly [deg]; needs --epoch")
    g.add_argument("--sv", nargs=6, type=float, metavar=("X", "Y", "Z", "VX", "VY", "VZ"),
                   help="initial position [m] and velocity [m/s], propagated as two-body motion; needs --epoch")
    g.add_argument("--epoch", metavar="UTC", help="epoch of --coe/--sv (ISO 8601, UTC)")
    g.add_argument("--frame", default="GCRF", metavar="NAME",
                   help="inertial frame of --coe/--sv: GCRF (default) or TEME")


def _add_station(p: argparse.ArgumentParser, text: str) -> None:
    g = p.add_argument_group("station", text)
    g.add_argument("--lat", type=float, metavar="DEG", help="geodetic latitude [deg, north positive]")
    g.add_argument("--lon", type=float, metavar="DEG", help="longitude [deg, east positive]")
    g.add_argument("--alt", type=float, metavar="M", help="altitude above the WGS84 ellipsoid [m] (default 0)")
    g.add_argument("--station-name", metavar="TEXT", help="station name for the output")


def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument("--eop", metavar="FILE",
                   help="IERS finals2000A file to use instead of the shipped Earth orientation data")
    p.add_argument("-o", "--output", metavar="FILE", help="output file (default: standard output); written "
                   "to a temporary file in the same folder and renamed once complete")


def _span(p: argparse.ArgumentParser, step_default: float, step_text: str) -> None:
    g = p.add_argument_group("time span")
    g.add_argument("--start", metavar="UTC", help="start of the span (ISO 8601, UTC; default: the epoch of "
                   "the element set or state)")
    d = g.add_mutually_exclusive_group()
    d.add_argument("--days", type=float, help="length of the span in days (default 1)")
    d.add_argument("--hours", type=float, help="length of the span in hours")
    g.add_argument("--step", type=float, default=step_default, metavar="S", help=step_text)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="velarion: reference-frame conversions and orbit propagation for many epochs at once.",
        epilog="Run 'velarion COMMAND --help' for the options of a command. With no options, "
               "'velarion passes' lists a day of ISS passes over ESA's Redu station.",
    )
    from velarion import __version__

    parser.add_argument("--version", action="version", version=f"velarion {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    p = sub.add_parser(
        "passes", help="passes of a satellite over a ground station",
        description="List the passes of a satellite over a ground station: rise, culmination and set "
                    "(UTC, to the second), their azimuths (deg from north through east) and the maximum "
                    "elevation. States come from SGP4 (a TLE) or two-body motion (--coe/--sv), reach ITRF "
                    "through the frame graph with the IERS Earth orientation data and then the station's "
                    "ENU frame; rise, set and culmination are refined between samples by root finding.",
        epilog=f"With no satellite, station or span given, it runs on the embedded sample: the ISS element "
               f"set of 2019-12-09 16:38 UTC over {defaults.STATION_NAME} ({defaults.STATION_LAT} N, "
               f"{defaults.STATION_LON} E, {defaults.STATION_ALT:g} m) on {defaults.START[:10]}. "
               f"Example: velarion passes --tle iss.tle --lat 52.52 --lon 13.40 --alt 40 --days 2 "
               f"--min-elevation 20 --plot sky.png",
    )
    _add_input(p, required_text="a TLE (--tle, or --line1 and --line2) or an initial state (--coe or --sv "
                                "with --epoch); default: the embedded ISS sample")
    _add_station(p, f"default: {defaults.STATION_NAME}")
    _span(p, defaults.STEP, f"sampling step of the search [s] (default {defaults.STEP:g})")
    p.add_argument("--min-elevation", type=float, default=defaults.MIN_ELEVATION, metavar="DEG",
                   help=f"minimum elevation of a pass [deg] (default {defaults.MIN_ELEVATION:g})")
    p.add_argument("--format", choices=("table", "csv"), default="table",
                   help="table (default: aligned text, times to the second) or csv (times to the millisecond)")
    p.add_argument("--plot", metavar="FILE.png",
                   help="also draw a polar sky plot (azimuth/elevation) of the passes (needs matplotlib: "
                        "pip install 'velarion[plot]')")
    _add_common(p)

    p = sub.add_parser(
        "propagate", help="ephemeris CSV of a TLE or an initial state",
        description=f"Propagate a TLE (SGP4, TEME) or an initial state (two-body) and write the ephemeris "
                    f"as CSV: columns {HEADER} (ISO UTC times, m, m/s).",
        epilog="Examples: velarion propagate --tle iss.tle --hours 3 --step 60 --to ITRF -o iss.csv; "
               "velarion propagate --coe 7000e3 0.001 51.6 10 20 30 --epoch 2024-03-20T12:00 --times times.txt",
    )
    _add_input(p, required_text="a TLE (--tle, or --line1 and --line2) or an initial state (--coe or --sv "
                                "with --epoch)")
    _span(p, 60.0, "step of the time grid [s] (default 60)")
    p.add_argument("--times", metavar="FILE", help="the epochs instead of a grid: one ISO UTC time per line, "
                   "or a CSV file whose first column holds them ('-' reads standard input)")
    p.add_argument("--to", metavar="FRAME", help="frame of the output (default: TEME for a TLE, --frame for "
                   "a state); ENU needs a station")
    _add_station(p, "for an ENU output frame")
    _add_common(p)

    p = sub.add_parser(
        "convert", help="convert an ephemeris CSV between frames",
        description=f"Convert an ephemeris CSV ({HEADER}; ISO UTC times, m, m/s) from one frame to another: "
                    f"GCRF, ITRF, TEME, any other registered frame, or ENU of a station (--lat, --lon, --alt).",
        epilog="Example: velarion propagate --tle iss.tle --to GCRF | velarion convert --from GCRF --to ITRF",
    )
    p.add_argument("input", nargs="?", default="-", metavar="FILE",
                   help="input CSV file (default: standard input)")
    p.add_argument("--from", dest="source", required=True, metavar="FRAME", help="frame of the input")
    p.add_argument("--to", dest="target", required=True, metavar="FRAME", help="frame of the output")
    _add_station(p, "for ENU (either side)")
    _add_common(p)
    return parser


# --------------------------------------------------------------------------
# inputs


@dataclass
class _Satellite:
    label: str
    source: Any  # passes.Source
    epoch: Any  # Time
    frame: Any  # Frame of the propagated states
    propagate: Any  # Time -> (frame, r, v)
    is_default: bool = False


def _standard_frames() -> Any:
    import velarion.frames
    from velarion.frames.frames import Frame

    velarion.frames.register_standard_transforms()
    return Frame


def _frame(name: str, what: str) -> Any:
    Frame = _standard_frames()
    key = name.strip().upper()
    known = sorted(Frame._instances)
    if key not in Frame._instances:
        raise InputError(f"unknown frame {name!r} for {what}; known frames: {', '.join(known + ['ENU'])}")
    return Frame._instances[key]


def _time(text: str, what: str) -> Any:
    from velarion.time.time import Time

    try:
        t = Time(text)
    except (ValueError, TypeError) as e:
        raise InputError(f"bad {what}: {e}") from None
    return t


def _read_tle(args: argparse.Namespace) -> tuple[str, str, str | None]:
    from .csvio import read_text

    if args.tle is not None:
        if args.line1 is not None or args.line2 is not None:
            raise UsageError("give either --tle or --line1/--line2, not both")
        text = read_text(args.tle)
        lines = [ln.rstrip() for ln in text.splitlines() if ln.strip()]
        for k in range(len(lines) - 1):
            if lines[k].startswith("1 ") and lines[k + 1].startswith("2 "):
                name = None
                if k > 0 and not lines[k - 1].startswith(("1 ", "2 ")):
                    name = lines[k - 1].strip()
                    if name.startswith("0 "):
                        name = name[2:].strip()
                return lines[k], lines[k + 1], name
        where = "<stdin>" if args.tle == "-" else repr(args.tle)
        raise InputError(f"{where}: no two-line element set (a line starting '1 ' followed by one starting '2 ')")
    if (args.line1 is None) != (args.line2 is None):
        raise UsageError("--line1 and --line2 go together")
    return args.line1, args.line2, None


def _satellite(args: argparse.Namespace, *, allow_default: bool) -> _Satellite:
    from velarion.propagators.analytical.sgp4 import SGP4, TLE

    from velarion.passes import propagator_source, sgp4_source

    has_tle = args.tle is not None or args.line1 is not None or args.line2 is not None
    given = [x for x, on in (("a TLE", has_tle), ("--coe", args.coe is not None), ("--sv", args.sv is not None))
             if on]
    if len(given) > 1:
        raise UsageError(f"give one satellite, not {' and '.join(given)}")
    if not given:
        if not allow_default:
            raise UsageError("give a TLE (--tle, or --line1 and --line2) or an initial state (--coe or --sv "
                             "with --epoch)")
        if args.epoch is not None:
            raise UsageError("--epoch goes with --coe or --sv")
        line1, line2 = defaults.TLE_LINE1, defaults.TLE_LINE2
        name: str | None = defaults.TLE_NAME
        is_default = True
    elif has_tle:
        if args.epoch is not None:
            raise UsageError("--epoch goes with --coe or --sv (a TLE carries its own epoch)")
        line1, line2, name = _read_tle(args)
        is_default = False
    if not given or has_tle:
        try:
            tle = TLE(line1, line2, args.name or name)
        except ValueError as e:
            raise InputError(f"bad TLE: {e}") from None
        prop = SGP4(tle)
        try:
            prop.satrec()
        except ValueError as e:
            raise InputError(str(e)) from None
        teme = _frame("TEME", "the TLE")
        label = tle.name or f"satellite {tle.satnum}"
        epoch = tle.epoch

        def propagate_tle(time: Any) -> tuple[Any, Any, Any]:
            r, v = prop.teme_arrays(time)
            return teme, r, v

        return _Satellite(label, sgp4_source(prop), epoch, teme, propagate_tle, is_default)

    # An initial state, propagated as two-body motion.
    from velarion.propagators.analytical.keplerian.keplerian import Keplerian
    from velarion.state.state import COE, StateVector

    if args.epoch is None:
        raise UsageError(f"{given[0]} needs --epoch (ISO 8601, UTC)")
    epoch = _time(args.epoch, "--epoch")
    frame = _frame(args.frame, "--frame")
    if frame.name not in ("GCRF", "TEME"):
        raise InputError(f"--frame {args.frame}: two-body motion needs an inertial frame (GCRF or TEME)")
    try:
        if args.coe is not None:
            sma, ecc, inc, raa, arp, tra = args.coe
            if not all(math.isfinite(x) for x in args.coe):
                raise ValueError("the elements must be finite")
            if not (0.0 <= ecc < 1.0 and sma > 0.0):
                raise ValueError(f"two-body propagation needs an ellipse (0 <= ECC < 1, SMA > 0); "
                                 f"got ECC={ecc:g}, SMA={sma:g}")
            state: Any = COE(epoch, ecc=ecc, sma=sma, inc=math.radians(inc), raa=math.radians(raa),
                        arp=math.radians(arp), tra=math.radians(tra), frame=frame)
            label = f"orbit a={sma / 1e3:.1f} km e={ecc:g} i={inc:g} deg"
        else:
            sv = args.sv
            state = StateVector(epoch, sv[:3], sv[3:], frame=frame)
            label = f"state of {args.epoch}"
            coe = state.to_coe()
            if not coe.ecc < 1.0:
                raise ValueError(f"two-body propagation needs an elliptic orbit; this state's eccentricity "
                                 f"is {coe.ecc:.6g}")
        _check_above_ground(state)
    except (ValueError, TypeError) as e:
        raise InputError(f"bad initial state: {e}") from None
    if args.name:
        label = args.name
    kep = Keplerian()

    def propagate(time: Any) -> tuple[Any, Any, Any]:
        eph = kep.propagate(time, state)
        return eph.frame, np.asarray(eph.r), np.asarray(eph.v)

    return _Satellite(label, propagator_source(kep, state), epoch, frame, propagate)


def _check_above_ground(state: Any) -> None:
    """ValueError for an initial state inside the Earth (WGS84 ellipsoid):
    kilometres given for metres, most likely. An orbit that only dips below
    the surface later (a re-entry or ballistic arc) is the caller's to
    propagate."""
    from velarion.mathtools.ellipsoid.ellipsoid import WGS84

    sv = state if hasattr(state, "r") else state.to_sv()
    x, y, z = (float(c) for c in np.asarray(sv.r, dtype=np.float64).reshape(-1)[:3])
    a, b = WGS84.a, WGS84.b
    if (x * x + y * y) / (a * a) + (z * z) / (b * b) < 1.0:
        raise ValueError(f"the initial position is inside the Earth, {math.sqrt(x * x + y * y + z * z) / 1e3:.3f} km "
                         f"from its centre (lengths are in metres)")


def _station(args: argparse.Namespace, *, default: bool) -> Any:
    from velarion.passes import Station

    given = [args.lat is not None, args.lon is not None]
    if any(given) and not all(given):
        raise UsageError("a station needs both --lat and --lon")
    if not any(given):
        if args.alt is not None:
            raise UsageError("--alt needs --lat and --lon")
        if not default:
            return None
        return Station(defaults.STATION_LAT, defaults.STATION_LON, defaults.STATION_ALT,
                       args.station_name or defaults.STATION_NAME)
    try:
        return Station(args.lat, args.lon, 0.0 if args.alt is None else args.alt, args.station_name or "")
    except ValueError as e:
        raise InputError(f"bad station: {e}") from None


def _load_eop(args: argparse.Namespace) -> None:
    if args.eop is None:
        return
    import velarion.iers

    if not os.path.exists(args.eop):
        raise InputError(f"cannot read {args.eop!r}: no such file")
    try:
        velarion.iers.load(args.eop)
    except IsADirectoryError:
        raise InputError(f"cannot read {args.eop!r}: it is a directory") from None
    except OSError as e:
        raise InputError(f"cannot read {args.eop!r}: {e.strerror or e}") from None
    except ValueError as e:
        raise InputError(f"bad Earth orientation file {args.eop!r}: {e}") from None


def _span_seconds(args: argparse.Namespace) -> float:
    if args.hours is not None:
        value, unit = args.hours, 3600.0
    else:
        value, unit = (defaults.DAYS if args.days is None else args.days), 86400.0
    if not (math.isfinite(value) and value > 0.0):
        raise InputError(f"the span must be positive, got {value:g}")
    return float(value) * unit


def _check_step(step: float) -> None:
    if not (math.isfinite(step) and step > 0.0):
        raise InputError(f"--step must be a positive number of seconds, got {step:g}")


def _eop_range_message(err: Exception, time: Any, where: Callable[[int], str] | None = None) -> str:
    """An out-of-range Earth orientation date, with the row it comes from."""
    import velarion.iers

    tab = velarion.iers.table()
    mjd = np.asarray(time.utc.mjd).reshape(-1)
    bad = np.flatnonzero((mjd < tab.first_mjd) | (mjd > tab.last_mjd))
    first, last = (str(x)[:10] for x in _iso_of_mjd([tab.first_mjd, tab.last_mjd]))
    text = (f"outside the Earth orientation data, which covers {first} to {last} UTC (--eop FILE reads a "
            f"newer finals2000A file)")
    if bad.size:
        k = int(bad[0])
        at = np.asarray(time.utc.iso).reshape(-1)[k]
        if where is not None:
            return f"{where(k)}: date {at} is {text}"
        return f"date {at} is {text}"
    return str(err)


def _iso_of_mjd(mjd: Any) -> Any:
    from velarion.time.time import Time

    return np.asarray(Time.from_mjd(np.asarray(mjd, dtype=np.float64)).iso).reshape(-1)


# --------------------------------------------------------------------------
# passes


def _iso_seconds(t: Any) -> str:
    """UTC text rounded to the second, 'YYYY-MM-DD hh:mm:ss'."""
    return str((t + 0.5).iso)[:19].replace("T", " ")


def _iso_millis(t: Any) -> str:
    text = str((t + 0.0005).iso)
    if len(text) == 19:
        text += ".000"
    return text[:23]


def _fmt_duration(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    s = int(round(seconds))
    return f"{s // 60:d}:{s % 60:02d}"


def _render_table(sat: _Satellite, station: Any, start: Any, span: float, step: float, min_el: float,
                  passes: list[Any]) -> str:
    end = start + span
    head = [
        f"Passes of {sat.label} over {station}",
        f"{_iso_seconds(start)} to {_iso_seconds(end)} UTC, step {step:g} s, minimum elevation {min_el:g} deg: "
        f"{len(passes)} pass{'es' if len(passes) != 1 else ''}",
    ]
    if sat.is_default:
        head.insert(0, "(no satellite given: the embedded ISS sample; see 'velarion passes --help')")
    if not passes:
        return "\n".join(head) + "\n"
    rows = [("Rise (UTC)", "Az", "Culmination (UTC)", "Az", "Max el", "Set (UTC)", "Az", "Duration")]
    for p in passes:
        rows.append((
            _iso_seconds(p.rise) if p.rise is not None else "(before start)",
            f"{p.rise_azimuth:.1f}" if p.rise is not None else "-",
            _iso_seconds(p.culmination),
            f"{p.culmination_azimuth:.1f}",
            f"{p.max_elevation:.2f}",
            _iso_seconds(p.set) if p.set is not None else "(after end)",
            f"{p.set_azimuth:.1f}" if p.set is not None else "-",
            _fmt_duration(p.duration),
        ))
    widths = [max(len(r[k]) for r in rows) for k in range(len(rows[0]))]
    right = {1, 3, 4, 6, 7}
    lines = []
    for r in rows:
        cells = [c.rjust(w) if k in right else c.ljust(w) for k, (c, w) in enumerate(zip(r, widths))]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(head) + "\n\n" + "\n".join(lines) + "\n"


def _render_csv(passes: list[Any]) -> str:
    out = ["rise,rise_azimuth,culmination,culmination_azimuth,max_elevation,set,set_azimuth"]
    for p in passes:
        out.append(",".join([
            _iso_millis(p.rise) if p.rise is not None else "",
            f"{p.rise_azimuth:.4f}" if p.rise is not None else "",
            _iso_millis(p.culmination),
            f"{p.culmination_azimuth:.4f}",
            f"{p.max_elevation:.4f}",
            _iso_millis(p.set) if p.set is not None else "",
            f"{p.set_azimuth:.4f}" if p.set is not None else "",
        ]))
    return "\n".join(out) + "\n"


def _cmd_passes(args: argparse.Namespace) -> int:
    from velarion.iers import EOPRangeError

    from velarion.passes import Sky, Station, find_passes

    plot_format = None
    if args.plot is not None:
        from .csvio import check_output_path
        from .plot import image_format

        plot_format = image_format(args.plot)
        check_output_path(args.plot, "the plot")
        if args.output not in (None, "-") and os.path.abspath(args.output) == os.path.abspath(args.plot):
            raise UsageError("--plot and --output name the same file")
    _check_step(args.step)
    if not (math.isfinite(args.min_elevation) and -90.0 < args.min_elevation < 90.0):
        raise InputError(f"--min-elevation must lie between -90 and 90 degrees, got {args.min_elevation:g}")
    _load_eop(args)
    _standard_frames()
    sat = _satellite(args, allow_default=True)
    station = _station(args, default=True)
    if args.start is not None:
        start = _time(args.start, "--start")
    elif sat.is_default:
        start = _time(defaults.START, "start")
    else:
        start = _time(str(sat.epoch.utc.iso)[:16], "start")  # the epoch, down to the whole minute
    if start.shape != ():
        raise InputError("--start must be one date")
    span = _span_seconds(args)
    if span / args.step > 5e7:
        raise InputError(f"span / step gives {span / args.step:.3g} samples; take a larger --step")
    enu = station.frame()
    try:
        try:
            passes = find_passes(sat.source, enu, start, span, args.step, args.min_elevation)
        except EOPRangeError as e:
            grid = start + np.array([0.0, span])
            raise InputError(_eop_range_message(e, grid)) from None
        except ValueError as e:  # SGP4 errors name their epoch
            raise InputError(str(e)) from None
        text = _render_table(sat, station, start, span, args.step, args.min_elevation, passes) \
            if args.format == "table" else _render_csv(passes)
        if args.plot is not None:
            from .csvio import output_path
            from .plot import sky_plot

            try:
                with output_path(args.plot) as tmp:
                    sky_plot(tmp, Sky([sat.source], enu, start), passes, sat.label, str(station),
                             args.min_elevation, start, span, plot_format)
            except OSError as e:
                raise InputError(f"cannot write the plot {args.plot!r}: {e.strerror or e}") from None
    finally:
        Station.release(enu)
    from .csvio import output

    with output(args.output) as f:
        f.write(text)
    return 0


# --------------------------------------------------------------------------
# propagate and convert


def _enu_or_frame(name: str, station: Any, what: str) -> tuple[Any, bool]:
    if name.strip().upper() == "ENU":
        if station is None:
            raise UsageError(f"the ENU frame ({what}) needs a station: --lat, --lon and --alt")
        return station.frame(), True
    return _frame(name, what), False


def _convert(frame_from: Any, frame_to: Any, time: Any, r: Any, v: Any,
             where: Callable[[int], str] | None) -> tuple[Any, Any]:
    from velarion.iers import EOPRangeError

    try:
        rr, vv = frame_from.transform_to(frame_to, time, r, v)
    except EOPRangeError as e:
        raise InputError(_eop_range_message(e, time, where)) from None
    except (ValueError, KeyError) as e:
        raise InputError(f"cannot convert: {e}") from None
    return np.asarray(rr), np.asarray(vv)


def _cmd_propagate(args: argparse.Namespace) -> int:
    from velarion.iers import EOPRangeError

    from .csvio import format_rows, output, read_times
    from velarion.passes import Station

    _load_eop(args)
    _standard_frames()
    sat = _satellite(args, allow_default=False)
    station = _station(args, default=False)
    where = None
    if args.times is not None:
        if args.start is not None or args.days is not None or args.hours is not None:
            raise UsageError("--times replaces --start/--days/--hours")
        time, lines, source = read_times(args.times)

        def where(k: int) -> str:
            return f"{source}, row {k + 1} (line {int(lines[k])})"
    else:
        _check_step(args.step)
        start = sat.epoch.utc if args.start is None else _time(args.start, "--start")
        if start.shape != ():
            raise InputError("--start must be one date")
        span = _span_seconds(args)
        if span / args.step > 5e7:
            raise InputError(f"span / step gives {span / args.step:.3g} epochs; take a larger --step")
        n = int(math.floor(span / args.step + 1e-9)) + 1
        time = start + np.arange(n, dtype=np.float64) * args.step
    enu = None
    try:
        try:
            frame, r, v = sat.propagate(time)
        except EOPRangeError as e:
            raise InputError(_eop_range_message(e, time, where)) from None
        except (ValueError, NotImplementedError) as e:
            raise InputError(str(e) or f"cannot propagate: {type(e).__name__}") from None
        if args.to is not None:
            target, is_enu = _enu_or_frame(args.to, station, "--to")
            if is_enu:
                enu = target
            elif station is not None:
                raise UsageError("--lat/--lon/--alt go with an ENU output frame (--to ENU)")
            if target is not frame:
                r, v = _convert(frame, target, time, r, v, where)
        elif station is not None:
            raise UsageError("--lat/--lon/--alt go with an ENU output frame (--to ENU)")
        text = format_rows(time, r, v)
    finally:
        if enu is not None:
            Station.release(enu)
    with output(args.output) as f:
        f.write(text)
    return 0


def _cmd_convert(args: argparse.Namespace) -> int:
    from .csvio import format_rows, output, read_ephemeris
    from velarion.passes import Station

    _load_eop(args)
    _standard_frames()
    station = _station(args, default=False)
    is_enu = [args.source.strip().upper() == "ENU", args.target.strip().upper() == "ENU"]
    if station is not None and not any(is_enu):
        raise UsageError("--lat/--lon/--alt go with the ENU frame (--from ENU or --to ENU)")
    made = []
    try:
        frames = []
        for name, what in ((args.source, "--from"), (args.target, "--to")):
            f, enu = _enu_or_frame(name, station, what)
            frames.append(f)
            if enu:
                made.append(f)
        table = read_ephemeris(args.input)
        if args.source.strip().upper() == args.target.strip().upper():
            r, v = table.r, table.v
        else:
            r, v = _convert(frames[0], frames[1], table.time, table.r, table.v, table.where)
        text = format_rows(table.time, r, v)
    finally:
        for f in made:
            Station.release(f)
    with output(args.output) as f:
        f.write(text)
    return 0


# --------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    """Runs the command line ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    parser = build_parser()
    argv = sys.argv[1:] if argv is None else list(argv)
    prog = PROG
    try:
        args = parser.parse_args(argv)
        if args.command is None:
            parser.print_help()
            return 0
        prog = f"{PROG} {args.command}"
        if args.output not in (None, "-"):
            from .csvio import check_output_path

            check_output_path(args.output, "the output")
        run = {"passes": _cmd_passes, "propagate": _cmd_propagate, "convert": _cmd_convert}[args.command]
        return run(args)
    except UsageError as e:
        text = str(e)
        if not text.startswith(PROG):
            text = f"{prog}: error: {text} (see {prog} --help)"
        print(text, file=sys.stderr)
        return 2
    except InputError as e:
        print(f"{prog}: error: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # the reader went away (e.g. `| head`): nothing more to say
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        print(f"{prog}: error: out of memory (take fewer epochs: a shorter span or a larger --step)", file=sys.stderr)
        return 1
    except OSError as e:  # the output stream failed (a full disk, a closed descriptor)
        print(f"{prog}: error: {e.strerror or e}", file=sys.stderr)
        return 1
    except SystemExit as e:  # --help and --version
        return e.code if isinstance(e.code, int) else 0
