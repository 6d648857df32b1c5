"""``velarion conjunctions``: close approaches across a catalogue of element sets.

The parser part (``add_parser``) imports nothing of the library, so that
``--help`` stays quick; ``run`` screens with ``velarion.conjunctions.screen``
and renders the events as a table, CSV or JSON. Its messages are word for
word what users read and what the tests compare.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import sys
from typing import Any

from . import pc as pc_options
from .errors import InputError

__all__ = ["COLUMNS", "add_parser", "run"]

COLUMNS = (
    "primary",
    "primary_satnum",
    "secondary",
    "secondary_satnum",
    "tca",
    "miss_distance",
    "radial",
    "in_track",
    "cross_track",
    "relative_speed",
)


def add_parser(sub: Any, common: Any) -> None:
    """The ``conjunctions`` subcommand and its options; ``common`` adds --eop and -o."""
    p = sub.add_parser(
        "conjunctions",
        help="close approaches between the satellites of a catalogue",
        description="Screen a catalogue of two-line element sets for close approaches (SGP4 states): every "
        "local minimum of the distance between two satellites below the threshold, with its time of closest "
        "approach (UTC), the miss distance, its radial, in-track and cross-track components in the primary's "
        "RSW axes [m] and the relative speed [m/s]. All pairs, or with --satnum/--match each picked satellite "
        "against every other. The table lists pairs that stay within the threshold for two hours or more "
        "(formations, docked or co-located objects) once per stretch, apart from the encounters; CSV and JSON "
        "keep every minimum.",
        epilog="Example: velarion conjunctions --tle catalogue.tle --satnum 25544 --days 7 --format csv -o iss.csv",
    )
    source = p.add_mutually_exclusive_group(required=True)
    source.add_argument(
        "--tle",
        metavar="FILE",
        help="element sets, two or three lines each (a name line first); '-' reads standard input",
    )
    source.add_argument(
        "--omm",
        metavar="FILE",
        help="OMM element sets (JSON, CSV or XML as general-perturbations feeds publish them)",
    )
    p.add_argument("--satnum", metavar="N,...", help="primaries: catalogue numbers, comma-separated")
    p.add_argument("--match", metavar="TEXT", help="primaries: the satellites whose name contains TEXT (any case)")
    g = p.add_argument_group("time span")
    g.add_argument("--start", metavar="UTC", help="start of the span (ISO 8601, UTC; default: the latest epoch)")
    d = g.add_mutually_exclusive_group()
    d.add_argument("--days", type=float, help="length of the span in days (default 1)")
    d.add_argument("--hours", type=float, help="length of the span in hours")
    p.add_argument(
        "--threshold", type=float, default=5000.0, metavar="M", help="miss distance to report below [m] (default 5000)"
    )
    p.add_argument("--format", choices=("table", "csv", "json"), default="table", help="output format (default table)")
    p.add_argument("--quiet", action="store_true", help="no progress bar on standard error")
    pc_options.add_conjunction_options(p)
    common(p)


def _catalogue(args: argparse.Namespace) -> list[Any]:
    from .inputs import catalogue_file

    return catalogue_file(args)[0]


def _primaries(args: argparse.Namespace, tles: list[Any]) -> list[Any] | None:
    if args.satnum is None and args.match is None:
        return None
    picked = []
    if args.satnum is not None:
        try:
            wanted = {int(x) for x in args.satnum.split(",") if x.strip()}
        except ValueError:
            raise InputError(f"--satnum takes catalogue numbers separated by commas, got {args.satnum!r}") from None
        missing = wanted - {t.satnum for t in tles}
        if missing:
            raise InputError(f"no element set with catalogue number {', '.join(map(str, sorted(missing)))}")
        picked += [t for t in tles if t.satnum in wanted]
    if args.match is not None:
        hits = [t for t in tles if args.match.lower() in (t.name or "").lower()]
        if not hits:
            raise InputError(f"no satellite name contains {args.match!r}")
        picked += hits
    return picked


def run(args: argparse.Namespace) -> str:
    from velarion.conjunctions import screen
    from velarion.time.time import Time

    from . import inputs

    if not (math.isfinite(args.threshold) and args.threshold > 0.0):
        raise InputError(f"--threshold must be a positive number of metres, got {args.threshold:g}")
    risk = pc_options.conjunction_screen_options(args)
    inputs.load_eop(args)
    tles = _catalogue(args)
    primaries = _primaries(args, tles)
    if args.start is not None:
        start = inputs.parse_time(args.start, "--start")
    else:
        latest = max(tles, key=lambda t: float(t.epoch.tai.jd12.sum()))
        start = Time(str(latest.epoch.utc.iso)[:16])
    args.step = 1.0  # the span check of the other commands; the screening picks its own steps
    span = inputs.time_span(args, start, "seconds")
    from velarion.utils.progress import terminal_bar

    bar = terminal_bar("screening", enabled=False if getattr(args, "quiet", False) else None)
    try:
        events = screen(
            tles,
            start,
            span,
            args.threshold,
            primaries=primaries,
            progress=bar,
            proximity_minima=args.format != "table",
            **risk,
        )
    except ValueError as e:
        raise InputError(str(e)) from None
    for failure in events.failures:
        print(f"velarion conjunctions: warning: {failure}", file=sys.stderr)
    if events.failures and len(events.failures) == len(tles):
        raise InputError("no satellite could be propagated")
    pc_options.finish_conjunctions(args, events)
    columns = (*COLUMNS, "pc") if risk else COLUMNS
    rows = [{**e.as_dict(), "pc": e.pc} if risk else e.as_dict() for e in events]
    if args.format == "json":
        return json.dumps(rows, indent=1) + "\n"
    if args.format == "csv":
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(columns)
        for r in rows:
            writer.writerow([_csv_cell(c, r[c]) for c in columns])
        return out.getvalue()
    head = (
        f"{'TCA (UTC)':<23}  {'primary':<24} {'secondary':<24} {'miss [m]':>9} {'R [m]':>9} {'S [m]':>9} "
        f"{'W [m]':>9} {'speed [m/s]':>11}" + (f" {'Pc':>10}" if risk else "")
    )
    lines = [
        f"Close approaches below {args.threshold:g} m from {str(start.iso)[:19]} UTC for {span / 86400.0:g} days: "
        f"{len(rows)}",
        head,
    ]
    for event in events:
        lines.append(
            f"{str(event.tca.iso)[:23]:<23}  {_label(event.primary, event.primary_satnum):<24} "
            f"{_label(event.secondary, event.secondary_satnum):<24} {event.miss_distance:9.1f} "
            f"{event.radial:9.1f} {event.in_track:9.1f} {event.cross_track:9.1f} {event.relative_speed:11.1f}"
            + (f" {event.pc:10.3e}" if risk else "")
        )
    if events.proximity:
        lines += [
            "",
            f"Pairs in sustained proximity (within {args.threshold:g} m for hours; their minima are not listed "
            f"above): {len(events.proximity)}",
            f"{'from (UTC)':<19}  {'to (UTC)':<19}  {'primary':<24} {'secondary':<24} {'closest [m]':>11}  "
            f"{'at (UTC)':<19}  co-located",
        ]
        for near in events.proximity:
            lines.append(
                f"{str(near.start.iso)[:19]:<19}  {str(near.end.iso)[:19]:<19}  "
                f"{_label(near.primary, near.primary_satnum):<24} {_label(near.secondary, near.secondary_satnum):<24} "
                f"{near.distance:11.1f}  {str(near.tca.iso)[:19]:<19}  {'yes' if near.colocated else 'no'}"
            )
    return "\n".join(lines) + "\n"


def _csv_cell(column: str, value: Any) -> Any:
    if column == "pc":
        return f"{value:.6e}"
    return f"{value:.3f}" if isinstance(value, float) else value


def _label(name: str, satnum: int | None) -> str:
    text = name if satnum is None or name == str(satnum) else f"{name} ({satnum})"
    return text[:24]
