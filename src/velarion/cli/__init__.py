"""The ``velarion`` command line (also ``python -m velarion``).

Subcommands:

- ``velarion passes``: passes of satellites (every element set of a TLE or
  OMM catalogue) over ground stations (rise, culmination and set in UTC,
  azimuths, maximum elevation, duration; only the visible ones with
  ``--visible``); with no input it runs on a sample ISS element set and
  ESA's Redu station.
- ``velarion look``: azimuth, elevation, range and range rate of one
  satellite from one station over a span, for antenna pointing.
- ``velarion propagate``: an ephemeris CSV (``time,x,y,z,vx,vy,vz``) of a TLE
  (SGP4) or of an initial state (two-body) on a time grid or at given times.
- ``velarion convert``: an ephemeris CSV from one frame to another (GCRF,
  ITRF, TEME, ENU of a station, any registered frame).

``main(argv)`` runs one command and returns the exit status: 0 on success,
1 for bad input or a failed computation, 2 for a malformed command line.
Every error is one line on standard error; an output file is written only
when the whole result is ready (``look`` writes its rows chunk by chunk, so
on standard output a failure late in a long span follows the rows before it).

The parts: ``parser`` (options and help texts), ``inputs`` (the satellite,
station, frames, dates and Earth orientation file of the options),
``csvio`` (ephemeris CSV files in and out), ``outfiles`` (the one writer of result files), ``rendering``
(pass tables and CSV), ``plot`` (the sky plot), ``commands`` (the
subcommands) and ``errors``. The pass search is the library's
``velarion.passes``.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Callable, Iterable
from typing import Any

from .csvio import check_output_path, output
from .errors import InputError, UsageError
from .outfiles import Result, Terminated, check_apart, stopped_by_signals
from .parser import PROG, build_parser

__all__ = ["main"]


def _write(result: str | Iterable[str], path: str | None) -> None:
    """Writes a command's text, or its chunks as they are computed (a
    failure in a later chunk leaves no output file, as any other)."""
    with output(path) as f:
        if isinstance(result, str):
            f.write(result)
            return
        with contextlib.closing(iter(result)) as chunks:  # type: ignore[type-var]
            for chunk in chunks:
                f.write(chunk)


def _run(command: Callable[[argparse.Namespace], Any], args: argparse.Namespace) -> None:
    """Runs a command and writes its result: the text first, then its other
    files (a plot), so that a run stopped while it draws keeps its results."""
    result = command(args)
    if isinstance(result, Result):
        _write(result.text, args.output)
        if result.then is not None:
            result.then()
    else:
        _write(result, args.output)


def main(argv: list[str] | None = None) -> int:
    """Runs the command line ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
    try:
        with stopped_by_signals():
            return _main(argv)
    except Terminated as e:  # one arriving as the run ends
        return 128 + e.signum


# The options naming files that a result must not replace (convert's input
# may be converted in place, as ``sort -o`` sorts a file in place).
_INPUT_OPTIONS = (
    "tle",
    "omm",
    "times",
    "stations",
    "eop",
    "states",
    "oem",
    "observations",
    "initial",
    "covariance",
)


def _check_apart_from_inputs(args: argparse.Namespace) -> None:
    inputs = {f"--{name}": getattr(args, name, None) for name in _INPUT_OPTIONS}
    # commands that read the files named on the line (velarion pc FILE...)
    for k, path in enumerate(getattr(args, "files", None) or []):
        inputs[f"FILE {k + 1}"] = path
    for path, what in ((args.output, "the output"), (getattr(args, "plot", None), "the plot")):
        if path not in (None, "-"):
            check_apart(path, what, inputs)


def _main(argv: list[str] | None) -> int:
    # Word for word: users' scripts and the tests read these lines of standard error.
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
            check_output_path(args.output, "the output")
        _check_apart_from_inputs(args)
        # The library loads only now: --help and a malformed command line stay quick.
        from .commands import COMMANDS

        if getattr(args, "eop_out_of_range", None) is not None:
            import velarion.iers

            previous = velarion.iers.set_out_of_range(args.eop_out_of_range)
            try:
                _run(COMMANDS[args.command], args)
            finally:
                velarion.iers.set_out_of_range(previous)
        else:
            _run(COMMANDS[args.command], args)
        return 0
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
        # The reader went away (e.g. `| head`): nothing more to say, nor to
        # flush into the closed pipe at exit.
        with contextlib.suppress(OSError):
            sys.stdout = open(os.devnull, "w")  # noqa: SIM115 - stays open: it is the new standard output
        return 1
    except KeyboardInterrupt:
        print(f"{prog}: interrupted", file=sys.stderr)
        return 130
    except Terminated as e:
        # The unwinding removed the temporaries: the usual status of a
        # process that signal ended.
        print(f"{prog}: terminated", file=sys.stderr)
        return 128 + e.signum
    except MemoryError as e:  # a refusal within the memory budget says what to reduce
        text = str(e) or "out of memory (take fewer epochs: a shorter span or a larger --step)"
        print(f"{prog}: error: {text}", file=sys.stderr)
        return 1
    except OSError as e:  # the output stream failed (a full disk, a closed descriptor)
        print(f"{prog}: error: {e.strerror or e}", file=sys.stderr)
        return 1
    except SystemExit as e:  # --help and --version
        return e.code if isinstance(e.code, int) else 0
