"""The command line's parser: the subcommands, their options and help texts.

Help texts and error messages are word for word what users read and what the
tests compare.
"""

from __future__ import annotations

import argparse
import re
from typing import Any, NoReturn

from velarion import __version__

from . import conjunctions, defaults, estimation, numerical, pc
from .csvio import HEADER
from .errors import UsageError

__all__ = ["PROG", "build_parser"]

PROG = "velarion"


class _Parser(argparse.ArgumentParser):
    """argparse with one-line errors (exit status 2) instead of usage dumps,
    and negative numbers in exponent form (``--sv -4.2e6 ...``) and negative
    offsets (``--start -1h``) taken as values (argparse alone reads '-4.2e6'
    as an option)."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        # Also an offset of --start ('-1h', '-30min+10s'): a value, not an option.
        self._negative_number_matcher = re.compile(
            r"^-(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?"
            r"(?:(?:s|min|m|h|d)(?:[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?(?:s|min|m|h|d))*)?$",
            re.IGNORECASE,
        )

    def error(self, message: str) -> NoReturn:  # argparse's hook
        raise UsageError(f"{self.prog}: error: {message} (see {self.prog} --help)")


_SELECTION_NOTE = (
    "; with --match too, only those whose name contains its text; a number the file does not hold is "
    "a warning, and an error only when none is left"
)


def _add_input(p: argparse.ArgumentParser, *, required_text: str, catalogue: str | None = None) -> None:
    """The satellite options; ``catalogue``: "many" (every set of --tle/--omm,
    or those --satnum/--match pick), "one" (the one set they pick) or None."""
    g = p.add_argument_group("satellite", required_text)
    sets = {
        "many": "every set of the file is used, or those of --satnum/--match",
        "one": "a file of several sets needs --satnum or --match to pick one",
    }
    g.add_argument(
        "--tle",
        metavar="FILE",
        help="two-line element set file (2 lines, or 3 with a name line first; "
        + sets.get(catalogue or "", "the first set of the file is used")
        + "; '-' reads standard input)",
    )
    if catalogue is not None:
        g.add_argument(
            "--omm",
            metavar="FILE",
            help="OMM element sets (JSON, CSV or XML as general-perturbations feeds publish them)",
        )
        g.add_argument(
            "--satnum",
            metavar="N,...",
            help="only these catalogue numbers of --tle/--omm (comma-separated)" + _SELECTION_NOTE,
        )
        g.add_argument(
            "--match",
            metavar="TEXT",
            help="only the satellites of --tle/--omm whose name contains TEXT (any case; with --satnum, "
            "those of its numbers)",
        )
    g.add_argument("--line1", metavar="LINE", help="line 1 of a two-line element set (with --line2)")
    g.add_argument("--line2", metavar="LINE", help="line 2 of a two-line element set (with --line1)")
    g.add_argument("--name", help="satellite name for the output (default: the TLE's name line)")
    g.add_argument(
        "--coe",
        nargs=6,
        type=float,
        metavar=("SMA", "ECC", "INC", "RAA", "ARP", "TRA"),
        help="initial classical elements, propagated as two-body motion: semi-major axis [m], "
        "eccentricity (< 1), inclination, right ascension of the ascending node, argument "
        "of periapsis, true anomaly [deg]; needs --epoch",
    )
    g.add_argument(
        "--sv",
        nargs=6,
        type=float,
        metavar=("X", "Y", "Z", "VX", "VY", "VZ"),
        help="initial position [m] and velocity [m/s], propagated as two-body motion; needs --epoch",
    )
    g.add_argument("--epoch", metavar="UTC", help="epoch of --coe/--sv (ISO 8601, UTC)")
    g.add_argument(
        "--frame", default="GCRF", metavar="NAME", help="inertial frame of --coe/--sv: GCRF (default) or TEME"
    )


def _add_station(p: argparse.ArgumentParser, text: str, named: str | None = None) -> None:
    """--lat/--lon/--alt/--station-name; with ``named`` ("one" or "many") also
    --station NAME,LAT,LON[,ALT] (repeatable) and, for "many", --stations FILE."""
    g = p.add_argument_group("station", text)
    if named is not None:
        g.add_argument(
            "--station",
            action="append",
            metavar="NAME,LAT,LON[,ALT]",
            help="a station: name, geodetic latitude and longitude [deg], altitude [m] (default 0)"
            + ("; repeatable" if named == "many" else ""),
        )
        if named == "many":
            g.add_argument(
                "--stations",
                metavar="FILE",
                help="stations from a CSV file with the header name,lat,lon and optionally alt",
            )
    g.add_argument("--lat", type=float, metavar="DEG", help="geodetic latitude [deg, north positive]")
    g.add_argument("--lon", type=float, metavar="DEG", help="longitude [deg, east positive]")
    g.add_argument("--alt", type=float, metavar="M", help="altitude above the WGS84 ellipsoid [m] (default 0)")
    g.add_argument("--station-name", metavar="TEXT", help="station name for the output")


def _add_common(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--eop", metavar="FILE", help="IERS finals2000A file to use instead of the shipped Earth orientation data"
    )
    p.add_argument(
        "--eop-out-of-range",
        choices=("raise", "hold"),
        help="dates outside the Earth orientation data: raise an error (default) or hold its first/last values",
    )
    p.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="output file (default: standard output); written "
        "to a temporary file in the same folder and renamed once complete",
    )


_CIP_NOTE = (
    "Conversions between GCRF and ITRF (and frames reached through them) interpolate the "
    "precession-nutation between exact values 6 hours apart (see --exact-cip)."
)


def _add_cip(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--exact-cip",
        action="store_true",
        help="evaluate the IAU 2000A precession-nutation series at every epoch of a GCRF <-> ITRF "
        "conversion; by default its CIP X, Y and CIO locator s are interpolated between exact values "
        "6 hours apart (velarion.frames.interpolated_cip: within 1e-15 rad of the series, a few "
        "nanometres at GEO, and many times faster for dense epochs)",
    )


_START_HELP = (
    "start of the span: an ISO 8601 date-time in UTC (2024-03-20T10:00, Z allowed) or with its offset from "
    "UTC (2024-03-20T12:00+02:00), or 'now'; then signed offsets with a unit s, min, h or d if wanted "
    "(now-1h, 2024-03-20+1d, -1h30min: a term without a sign takes the one before); offsets alone count "
    "from the default start (--start -30min). Default: the epoch of the element set or state (the latest "
    "of several), down to the whole minute"
)


def _add_span(p: argparse.ArgumentParser, step_default: float, step_text: str) -> None:
    g = p.add_argument_group("time span")
    g.add_argument("--start", metavar="WHEN", help=_START_HELP)
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
    parser.add_argument("--version", action="version", version=f"velarion {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    p = sub.add_parser(
        "passes",
        help="passes of satellites over ground stations",
        description="List the passes of satellites over ground stations: rise, culmination and set "
        "(UTC, to the second), their azimuths (deg from north through east), the maximum "
        "elevation and the duration, sorted by time. States come from SGP4 (every element set of "
        "--tle or --omm) or two-body motion (--coe/--sv), reach ITRF through the frame graph with "
        "the IERS Earth orientation data and then each station's ENU frame; rise, set and "
        "culmination are refined between samples by root finding. A satellite that fails (SGP4 "
        "decay) is reported on standard error and the others' passes are listed.",
        epilog=f"With no satellite, station or span given, it runs on the embedded sample: the ISS element "
        f"set of 2019-12-09 16:38 UTC over {defaults.STATION_NAME} ({defaults.STATION_LAT} N, "
        f"{defaults.STATION_LON} E, {defaults.STATION_ALT:g} m) on {defaults.START[:10]}. "
        f"Examples: velarion passes --tle iss.tle --lat 52.52 --lon 13.40 --alt 40 --days 2 "
        f"--min-elevation 20 --plot sky.png; velarion passes --tle catalogue.tle --match starlink "
        f"--station Redu,50.0006,5.1453,385 --station Kiruna,67.857,20.964,402 --visible --format csv",
    )
    _add_input(
        p,
        required_text="element sets (--tle or --omm, or --line1 and --line2) or an initial state (--coe or --sv "
        "with --epoch); default: the embedded ISS sample",
        catalogue="many",
    )
    _add_station(p, f"any number of --station, --stations and --lat/--lon; default: {defaults.STATION_NAME}", "many")
    _add_span(p, defaults.STEP, f"sampling step of the search [s] (default {defaults.STEP:g})")
    p.add_argument(
        "--min-elevation",
        type=float,
        default=defaults.MIN_ELEVATION,
        metavar="DEG",
        help=f"minimum elevation of a pass [deg] (default {defaults.MIN_ELEVATION:g})",
    )
    p.add_argument(
        "--format",
        choices=("table", "csv", "json"),
        default="table",
        help="table (default: aligned text, times to the second), csv or json (times to the millisecond, "
        "durations in seconds; empty / null where the span's edge cuts a pass); times are UTC, rounded",
    )
    p.add_argument(
        "--visible",
        action="store_true",
        help="only the passes during which the satellite is sunlit while the Sun is more than 6 degrees below "
        "the station's horizon (the shadow of a spherical Earth from the Sun's centre, the middle of the "
        "penumbra; the Sun from ERFA's ephemeris)",
    )
    p.add_argument(
        "--visible-column",
        action="store_true",
        help="every pass, with a column telling whether it is visible as --visible means (true/false in "
        "CSV and JSON, yes/no in the table)",
    )
    p.add_argument(
        "--eclipses",
        action="store_true",
        help="also give when the satellite enters and leaves the Earth's shadow during each pass (the first "
        "entry and exit; columns shadow_entry and shadow_exit, empty where it does not; the shadow model of "
        "--visible, to the millisecond)",
    )
    p.add_argument(
        "--plot",
        metavar="FILE.png",
        help="also draw a polar sky plot (azimuth/elevation) of the passes, one chart per station (needs "
        "matplotlib: pip install 'velarion[plot]')",
    )
    p.add_argument(
        "--plot-tracks",
        type=int,
        default=10,
        metavar="N",
        help="passes a station's sky plot draws as tracks with a legend, 0 to 50 (default 10); the others "
        "are thin grey lines, or their density when there are many",
    )
    p.add_argument(
        "--plot-select",
        default="highest",
        metavar="WHICH",
        help="which passes the sky plot draws as tracks: 'highest' (default: the highest elevations), 'next' "
        "(the first in time), or a satellite's name or catalogue number (its passes)",
    )
    p.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress bar nor notes on standard error, only warnings and errors (the bar is drawn only "
        "when standard error is a terminal and the search takes more than 2 s)",
    )
    _add_common(p)

    p = sub.add_parser(
        "look",
        help="look angles of a satellite from a station",
        description="Azimuth (deg from north through east), elevation [deg], range [m] and range rate [m/s, "
        "positive when receding] of one satellite seen from one station over a span at a step, for antenna "
        "pointing: CSV with the columns time,azimuth,elevation,range,range_rate (ISO UTC times rounded to "
        "the millisecond), or JSON; "
        "with --frequency also doppler,received [Hz]. --match picks the one satellite whose name contains "
        "the text, or whose name is the text when several contain it (several candidates: an error lists "
        "them with their numbers). The whole span, only the rows of one pass (--pass) or "
        "only those above an elevation (--min-elevation); the rows are made and written chunk by chunk, so "
        "a span of any length fits in the memory budget (VELARION_MEMORY_BUDGET).",
        epilog="Examples: velarion look --tle catalogue.tle --satnum 25544 --station Redu,50.0006,5.1453,385 "
        "--start 2024-03-20T10:00 --hours 1 --step 1 -o pointing.csv; "
        "velarion look --tle catalogue.tle --match 'ISS (ZARYA)' --pass 2 --step 1 --frequency 437.8e6",
    )
    _add_input(
        p,
        required_text="one satellite: an element set (--tle or --omm with --satnum/--match, or --line1 and "
        "--line2) or an initial state (--coe or --sv with --epoch); default: the embedded ISS sample",
        catalogue="one",
    )
    _add_station(p, f"one station: --station or --lat/--lon; default: {defaults.STATION_NAME}", "one")
    _add_span(p, 10.0, "step of the time grid [s] (default 10)")
    p.add_argument(
        "--pass",
        dest="pass_number",
        type=int,
        metavar="N",
        help="only the rows of the N-th pass of the span (from 1, a pass under way at the start first), "
        "the passes counted as velarion passes lists them: above --min-elevation, default "
        f"{defaults.MIN_ELEVATION:g} deg; the rows stay on the grid of --start and --step",
    )
    p.add_argument(
        "--min-elevation",
        type=float,
        metavar="DEG",
        help="only the rows at or above this elevation [deg] (default: every row; with --pass "
        f"{defaults.MIN_ELEVATION:g})",
    )
    p.add_argument(
        "--frequency",
        type=float,
        metavar="HZ",
        help="carrier frequency [Hz] (e.g. 437.8e6): adds the columns doppler, the Doppler shift [Hz] "
        "(received minus sent, negative while the satellite recedes), and received, the frequency received "
        "[Hz]. One-way by default, a downlink received at the station: f*(sqrt((1-b)/(1+b))-1) with "
        "b = range_rate/c (relativistic, longitudinal); an uplink reaches the satellite shifted alike. "
        "Neglected (low Earth orbit): the transverse Doppler (~3e-10 of f), the gravitational shift "
        "(~4e-11), the light time (~6e-10 near culmination), the ionosphere and troposphere",
    )
    p.add_argument(
        "--two-way",
        action="store_true",
        help="with --frequency: the shift of a two-way link (station to satellite and back, a coherent "
        "transponder or a radar echo): f*((1-b)/(1+b)-1)",
    )
    p.add_argument("--format", choices=("csv", "json"), default="csv", help="csv (default) or json")
    _add_common(p)

    p = sub.add_parser(
        "propagate",
        help="ephemeris CSV of a TLE or an initial state",
        description=f"Propagate a TLE or OMM element set (SGP4, TEME) or an initial state (two-body) and write "
        f"the ephemeris as CSV: columns {HEADER} (ISO UTC times rounded to the microsecond, m, m/s), or with "
        f"--geodetic the ground track time,latitude,longitude,altitude. The rows are written as they are computed, "
        f"in chunks within the memory budget (VELARION_MEMORY_BUDGET, default 2G), so a long span needs no "
        f"more memory than a short one. {_CIP_NOTE}",
        epilog="Examples: velarion propagate --tle iss.tle --hours 3 --step 60 --to ITRF -o iss.csv; "
        "velarion propagate --tle catalogue.tle --satnum 25544 --geodetic --hours 2 -o track.csv; "
        "velarion propagate --coe 7000e3 0.001 51.6 10 20 30 --epoch 2024-03-20T12:00 --times times.txt",
    )
    _add_input(
        p,
        required_text="one satellite: an element set (--tle or --omm, with --satnum/--match for a file of "
        "several, or --line1 and --line2) or an initial state (--coe or --sv with --epoch)",
        catalogue="one",
    )
    _add_span(p, 60.0, "step of the time grid [s] (default 60)")
    p.add_argument(
        "--times",
        metavar="FILE",
        help="the epochs instead of a grid: one ISO UTC time per line, "
        "or a CSV file whose first column holds them ('-' reads standard input)",
    )
    p.add_argument(
        "--to",
        metavar="FRAME",
        help="frame of the output (default: TEME for a TLE, --frame for a state); ENU needs a station",
    )
    p.add_argument(
        "--geodetic",
        action="store_true",
        help="write the sub-satellite point instead of the state: geodetic latitude and longitude [deg, "
        "longitude in (-180, 180]] and altitude [m] on the WGS84 ellipsoid, from the ITRF positions",
    )
    _add_station(p, "for an ENU output frame")
    _add_cip(p)
    numerical.add_arguments(p)
    _add_common(p)

    p = sub.add_parser(
        "convert",
        help="convert an ephemeris CSV between frames",
        description=f"Convert an ephemeris CSV ({HEADER}; ISO UTC times, m, m/s) from one frame to another "
        f"(the times written rounded to the microsecond, as propagate writes them): "
        f"GCRF, ITRF, TEME, any other registered frame, or ENU of a station (--lat, --lon, --alt). {_CIP_NOTE}",
        epilog="Example: velarion propagate --tle iss.tle --to GCRF | velarion convert --from GCRF --to ITRF",
    )
    p.add_argument("input", nargs="?", default="-", metavar="FILE", help="input CSV file (default: standard input)")
    p.add_argument("--from", dest="source", required=True, metavar="FRAME", help="frame of the input")
    p.add_argument("--to", dest="target", required=True, metavar="FRAME", help="frame of the output")
    _add_station(p, "for ENU (either side)")
    _add_cip(p)
    _add_common(p)

    conjunctions.add_parser(sub, _add_common)
    estimation.add_parsers(sub, _add_common)
    pc.add_parser(sub)
    return parser
