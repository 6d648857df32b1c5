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
when the whole result is ready (``propagate`` writes its rows as they are
computed, to a temporary file that becomes the output at the end).

The parts: ``parser`` (options and help texts), ``inputs`` (the satellite,
station, frames, dates and Earth orientation file of the options),
``csvio`` (ephemeris CSV files in and out, the atomic output), ``rendering``
(pass tables and CSV), ``plot`` (the sky plot), ``commands`` (the
subcommands) and ``errors``. The pass search is the library's
``velarion.passes``.
"""

from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterable

from .csvio import check_output_path, output
from .errors import InputError, UsageError
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


def main(argv: list[str] | None = None) -> int:
    """Runs the command line ``argv`` (default: ``sys.argv[1:]``); returns the exit status."""
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
        # The library loads only now: --help and a malformed command line stay quick.
        from .commands import COMMANDS

        if getattr(args, "eop_out_of_range", None) is not None:
            import velarion.iers

            previous = velarion.iers.set_out_of_range(args.eop_out_of_range)
            try:
                _write(COMMANDS[args.command](args), args.output)
            finally:
                velarion.iers.set_out_of_range(previous)
        else:
            _write(COMMANDS[args.command](args), args.output)
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
    except MemoryError:
        print(f"{prog}: error: out of memory (take fewer epochs: a shorter span or a larger --step)", file=sys.stderr)
        return 1
    except OSError as e:  # the output stream failed (a full disk, a closed descriptor)
        print(f"{prog}: error: {e.strerror or e}", file=sys.stderr)
        return 1
    except SystemExit as e:  # --help and --version
        return e.code if isinstance(e.code, int) else 0
