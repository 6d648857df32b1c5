"""The subcommands: ``passes``, ``look``, ``propagate``, ``convert`` and ``conjunctions``.

Each takes the parsed options and returns the text of its output, or (for
``propagate``, whose output grows with the span) an iterator of its chunks
that computes each as it is written; every option is checked before the
first chunk. ``main`` writes them. Their error messages are word for
word what users read and what the tests compare.
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Callable, Iterator

import numpy as np
from numpy.typing import NDArray

from velarion.frames import interpolated_cip
from velarion.frames.frames import ENU, Frame
from velarion.iers import EOPRangeError
from velarion.passes import Station, find_passes
from velarion.time.time import Time
from velarion.utils.progress import terminal_bar

from . import conjunctions, defaults, estimation, inputs, numerical, pc, pointing
from .csvio import HEADER, check_output_path, output_path, read_ephemeris, read_times
from .errors import InputError, UsageError
from .outfiles import Result, same_file
from .plot import MAX_TRACKS, image_format, sky_plot
from .rendering import GEODETIC_COLUMNS, ephemeris_rows, passes_csv, passes_json, passes_table

__all__ = ["COMMANDS"]

Rows = NDArray[np.float64]


def _search_start(args: argparse.Namespace, sats: inputs.Satellites) -> Time:
    """--start (or, without it, the sample's day, or the latest epoch down to the minute)."""
    if sats.is_default:
        default = inputs.parse_time(defaults.START, "start")
        return default if args.start is None else inputs.parse_start(args.start, lambda: default)
    if args.start is None:
        return inputs.default_start(sats.epoch)
    return inputs.parse_start(args.start, lambda: inputs.default_start(sats.epoch))


def passes(args: argparse.Namespace) -> str | Result:
    """``velarion passes``: the passes of satellites over stations, as a table, CSV or JSON (and a sky plot)."""
    plot_format = None
    if args.plot is not None:
        plot_format = image_format(args.plot)
        check_output_path(args.plot, "the plot")
        if args.output not in (None, "-") and same_file(args.output, args.plot):
            raise UsageError("--plot and --output name the same file")
        if not 0 <= args.plot_tracks <= MAX_TRACKS:
            raise UsageError(f"--plot-tracks must lie between 0 and {MAX_TRACKS} passes, got {args.plot_tracks}")
    inputs.check_step(args.step)
    if not (math.isfinite(args.min_elevation) and -90.0 < args.min_elevation < 90.0):
        raise InputError(f"--min-elevation must lie between -90 and 90 degrees, got {args.min_elevation:g}")
    inputs.load_eop(args)
    inputs.standard_frames()
    sats = inputs.satellites(args)
    stations = inputs.stations(args)
    start = _search_start(args, sats)
    span = inputs.time_span(args, start, "samples")
    try:
        bar = terminal_bar("velarion passes", enabled=False if args.quiet else None)
        found = find_passes(
            sats.items,
            stations,
            start,
            span,
            args.step,
            args.min_elevation,
            visible=args.visible or args.visible_column,
            progress=bar,
            eclipses=args.eclipses,
        )
    except EOPRangeError as e:
        grid = start + np.array([0.0, span])
        raise InputError(inputs.eop_range_message(e, grid)) from None
    # A satellite failing inside the span keeps its passes up to then: the
    # run fails only when no satellite gave any.
    everyone_failed = len(found.failures) == len(sats.items) and not found
    if everyone_failed and len(sats.items) == 1:
        raise InputError(str(found.failures[0]))
    for failure in found.failures:
        print(f"velarion passes: warning: {failure}", file=sys.stderr)
    if everyone_failed:
        raise InputError("no satellite could be propagated")
    shown = [p for p in found if p.visible] if args.visible else list(found)
    if args.format == "table":
        text = passes_table(
            sats.label,
            stations,
            start,
            span,
            args.step,
            args.min_elevation,
            shown,
            is_default=sats.is_default,
            visible=args.visible,
            visible_column=args.visible_column,
            eclipses=args.eclipses,
        )
    elif args.format == "json":
        text = passes_json(shown, args.visible or args.visible_column, args.eclipses)
    else:
        text = passes_csv(shown, args.visible or args.visible_column, args.eclipses)
    if args.plot is None:
        return text

    def draw() -> None:
        try:
            with output_path(args.plot, "the plot") as tmp:
                notes = sky_plot(
                    tmp,
                    sats.items,
                    shown,
                    sats.label,
                    stations,
                    args.min_elevation,
                    start,
                    span,
                    plot_format,
                    args.plot_tracks,
                    args.plot_select,
                )
        except OSError as e:
            raise InputError(f"cannot write the plot {args.plot!r}: {e.strerror or e}") from None
        for station, note in zip(stations, notes, strict=True):
            if note and not args.quiet:  # some passes are not drawn as tracks: say which are
                print(f"velarion passes: the sky plot over {station}: {note}", file=sys.stderr)

    return Result(text, draw)


def look(args: argparse.Namespace) -> Iterator[str]:
    """``velarion look``: azimuth, elevation, range and range rate (and the
    Doppler shift of a carrier) of one satellite from one station, as CSV or
    JSON in pieces: every check runs before the first piece, the rows come
    in chunks within the memory budget."""
    inputs.check_step(args.step)
    frequency = None
    if args.frequency is not None:
        if not (math.isfinite(args.frequency) and args.frequency > 0.0):
            raise InputError(f"--frequency must be a positive number of hertz, got {args.frequency:g}")
        frequency = float(args.frequency)
    elif args.two_way:
        raise UsageError("--two-way goes with --frequency")
    if args.min_elevation is not None and not (
        math.isfinite(args.min_elevation) and -90.0 <= args.min_elevation <= 90.0
    ):
        raise InputError(f"--min-elevation must lie between -90 and 90 degrees, got {args.min_elevation:g}")
    if args.pass_number is not None and args.pass_number < 1:
        raise InputError(f"--pass counts the passes of the span from 1, got {args.pass_number}")
    rows = pointing.rows_per_chunk()
    inputs.load_eop(args)
    inputs.standard_frames()
    sats = inputs.satellites(args)
    satellite = pointing.one_satellite(sats.items, args.match, sats.label)
    if len(sats.items) > 1:  # the default start is the chosen one's epoch
        sats = inputs.Satellites([satellite], satellite.name or sats.label, satellite.epoch)
    stations = inputs.stations(args)
    if len(stations) != 1:
        raise UsageError("look takes one station: one --station, or --lat and --lon")
    station = stations[0]
    start = _search_start(args, sats)
    span = inputs.time_span(args, start, "epochs")
    grid = pointing.Grid(start, args.step, 0, math.floor(span / args.step + 1e-9) + 1, args.min_elevation)
    pointing.check_reach(satellite, station, grid)
    if args.pass_number is not None:
        lowest = defaults.MIN_ELEVATION if args.min_elevation is None else args.min_elevation
        grid.first, grid.stop = pointing.pass_rows(satellite, station, start, span, args.step, args.pass_number, lowest)
        grid.min_elevation = lowest
    parts = pointing.chunks(satellite, station, grid, frequency, args.two_way, rows)
    return pointing.json_text(parts, frequency) if args.format == "json" else pointing.csv_text(parts, frequency)


def _enu_or_frame(name: str, station: Station | None, what: str) -> tuple[Frame, ENU | None]:
    """The frame an option names, and that frame again when it is a new ENU
    frame of the station (which the caller releases)."""
    if name.strip().upper() == "ENU":
        if station is None:
            raise UsageError(f"the ENU frame ({what}) needs a station: --lat, --lon and --alt")
        enu = station.frame()
        return enu, enu
    return inputs.named_frame(name, what), None


def _convert(
    source: Frame,
    target: Frame,
    time: Time,
    r: Rows,
    v: Rows,
    where: Callable[[int], str] | None,
    exact_cip: bool,
) -> tuple[Rows, Rows]:
    try:
        with interpolated_cip(not exact_cip):
            rr, vv = source.transform_to(target, time, r, v)
    except EOPRangeError as e:
        raise InputError(inputs.eop_range_message(e, time, where)) from None
    except (ValueError, KeyError) as e:
        raise InputError(f"cannot convert: {e}") from None
    return np.asarray(rr), np.asarray(vv)


# Bytes an epoch of ``velarion propagate`` holds while its chunk is computed
# and written: its time and the scales derived from it, the states and the
# rotations of a frame conversion, and the row's text and the lists it is
# made from (measured peaks are below this).
_PROPAGATE_BYTES_PER_EPOCH = 2048.0
# At most this many epochs a chunk, whatever the budget: the first rows come
# out at once and the chunks' fixed costs stay negligible.
_PROPAGATE_CHUNK = 1 << 16


def propagate_chunk_size() -> int:
    """Epochs of one chunk of ``velarion propagate`` within the memory budget."""
    from velarion.utils.budget import items_within

    return min(_PROPAGATE_CHUNK, items_within(_PROPAGATE_BYTES_PER_EPOCH, at_least=1024))


def propagate(args: argparse.Namespace) -> Iterator[str]:
    """``velarion propagate``: an ephemeris CSV of a TLE or an initial state,
    or its ground track; the rows come chunk by chunk (every option is
    checked before the first)."""
    inputs.load_eop(args)
    inputs.standard_frames()
    numerical.check(args)
    sat = inputs.satellite(args, allow_default=False)
    if args.numerical:
        sat = numerical.numerical_satellite(sat, args)
    station = inputs.station(args)
    if args.geodetic and args.to is not None:
        raise UsageError("--geodetic writes geodetic coordinates of ITRF positions; it replaces --to")
    if station is not None and (args.to is None or args.to.strip().upper() != "ENU"):
        raise UsageError("--lat/--lon/--alt go with an ENU output frame (--to ENU)")
    where: Callable[[int], str] | None = None
    listed: Time | None = None
    if args.times is not None:
        if args.start is not None or args.days is not None or args.hours is not None:
            raise UsageError("--times replaces --start/--days/--hours")
        listed, lines, source = read_times(args.times)
        count = listed.size

        def where(k: int) -> str:
            return f"{source}, row {k + 1} (line {int(lines[k])})"

        start = listed[0]
    else:
        inputs.check_step(args.step)
        if args.start is None:
            start = inputs.default_start(sat.epoch)
        else:
            start = inputs.parse_start(args.start, lambda: inputs.default_start(sat.epoch))
        span = inputs.time_span(args, start, "epochs")
        count = math.floor(span / args.step + 1e-9) + 1
    enu: ENU | None = None
    target: Frame | None = None  # None: the source's own frame
    if args.geodetic:
        target = inputs.named_frame("ITRF", "--geodetic")
    elif args.to is not None:
        target, enu = _enu_or_frame(args.to, station, "--to")
    chunk = propagate_chunk_size()

    def epochs(begin: int, end: int) -> Time:
        if listed is not None:
            return listed[begin:end]
        grid: Time = start + np.arange(begin, end, dtype=np.float64) * args.step
        return grid

    def rows() -> Iterator[str]:
        try:
            yield (",".join(GEODETIC_COLUMNS) if args.geodetic else HEADER) + "\n"
            for begin in range(0, count, chunk):
                end = min(count, begin + chunk)
                time = epochs(begin, end)
                here = None if where is None else _shifted(where, begin)
                try:
                    frame, r, v = sat.source(time)
                except EOPRangeError as e:
                    raise InputError(inputs.eop_range_message(e, time, here)) from None
                except (ValueError, NotImplementedError) as e:
                    raise InputError(str(e) or f"cannot propagate: {type(e).__name__}") from None
                if target is not None and target is not frame:
                    r, v = _convert(frame, target, time, r, v, here, args.exact_cip)
                if args.geodetic:
                    columns = _geodetic(np.asarray(r))
                else:
                    columns = np.concatenate([np.asarray(r), np.asarray(v)], axis=1)
                yield ephemeris_rows(time, columns, begin)
        finally:
            if enu is not None:
                Station.release(enu)

    return rows()


def _shifted(where: Callable[[int], str], first: int) -> Callable[[int], str]:
    """``where`` of a chunk's row k: the row ``first + k`` of the whole input."""
    return lambda k: where(first + k)


def _geodetic(r: Rows) -> Rows:
    """Columns latitude, longitude [deg] and altitude [m] of ITRF positions on WGS84."""
    from velarion.mathtools.ellipsoid.ellipsoid import WGS84

    lat, lon, alt = WGS84.cartesian_to_geodetic(r.reshape(-1, 3))
    out = np.empty((r.shape[0], 3))
    out[:, 0] = np.degrees(lat)
    out[:, 1] = np.degrees(lon)
    out[:, 2] = alt
    return out


def convert(args: argparse.Namespace) -> str:
    """``velarion convert``: an ephemeris CSV from one frame to another."""
    inputs.load_eop(args)
    inputs.standard_frames()
    station = inputs.station(args)
    is_enu = [args.source.strip().upper() == "ENU", args.target.strip().upper() == "ENU"]
    if station is not None and not any(is_enu):
        raise UsageError("--lat/--lon/--alt go with the ENU frame (--from ENU or --to ENU)")
    made: list[ENU] = []
    try:
        frames = []
        for name, what in ((args.source, "--from"), (args.target, "--to")):
            f, enu = _enu_or_frame(name, station, what)
            frames.append(f)
            if enu is not None:
                made.append(enu)
        table = read_ephemeris(args.input)
        if args.source.strip().upper() == args.target.strip().upper():
            r, v = table.r, table.v
        else:
            r, v = _convert(frames[0], frames[1], table.time, table.r, table.v, table.where, args.exact_cip)
        return HEADER + "\n" + ephemeris_rows(table.time, np.concatenate([np.asarray(r), np.asarray(v)], axis=1))
    finally:
        for enu in made:
            Station.release(enu)


# A command returns its whole output, its pieces to write one after the other,
# or a Result (its text, then its other files).
COMMANDS: dict[str, Callable[[argparse.Namespace], str | Iterator[str] | Result]] = {
    "passes": passes,
    "look": look,
    "propagate": propagate,
    "convert": convert,
    "conjunctions": conjunctions.run,
    "fit-tle": estimation.run_fit_tle,
    "od": estimation.run_od,
    "pc": pc.run,
}
