"""``velarion pc``: the probability of collision of conjunction data
messages; and the Pc and CDM options of ``velarion conjunctions``.

The parser parts import nothing of the library, so that ``--help`` stays
quick. Messages are word for word what users read and what the tests
compare.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
import os
from typing import Any

from . import outfiles
from .errors import InputError

__all__ = ["add_conjunction_options", "add_parser", "conjunction_screen_options", "finish_conjunctions", "run"]

_METHODS = ("foster", "chan", "alfano", "hall", "mc")


def add_parser(sub: Any) -> None:
    """The ``pc`` subcommand."""
    p = sub.add_parser(
        "pc",
        help="probability of collision of conjunction data messages (CCSDS CDM)",
        description="Read CCSDS conjunction data messages (KVN or XML, versions 1.0 and 2.0) and compute the "
        "probability of collision of each with the chosen methods: foster (the 2-D integral over the hard-body "
        "disc in the encounter plane), chan (Chan's series), alfano (the largest 2-D Pc over scalings of the "
        "covariances), hall (the 3-D Pc under two-body motion, without the rectilinear assumption), mc (Monte "
        "Carlo sampling of both states under two-body motion, with its 95% interval). The hard-body radius is "
        "the sum of the objects' AREA_PC disc radii unless --hbr gives it.",
        epilog="Example: velarion pc event.cdm --method foster,hall,mc --format json",
    )
    p.add_argument("files", nargs="+", metavar="FILE", help="CDM files (KVN or XML)")
    p.add_argument(
        "--method",
        default="foster",
        metavar="M,...",
        help=f"methods, comma-separated, of {', '.join(_METHODS)} (default foster)",
    )
    p.add_argument("--hbr", type=float, metavar="M", help="combined hard-body radius [m] for every message")
    p.add_argument("--samples", type=int, default=1_000_000, metavar="N", help="Monte Carlo samples (default 1000000)")
    p.add_argument("--seed", type=int, default=0, metavar="N", help="Monte Carlo seed (default 0)")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table", help="output format (default table)")
    # The states of a CDM are inertial at TCA: no Earth orientation is read,
    # so of the common options only the output.
    p.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="output file (default: standard output); written "
        "to a temporary file in the same folder and renamed once complete",
    )


def _methods(text: str) -> list[str]:
    names = [x.strip() for x in text.split(",") if x.strip()]
    bad = [x for x in names if x not in _METHODS]
    if bad or not names:
        raise InputError(f"--method takes {', '.join(_METHODS)} separated by commas, got {text!r}")
    return list(dict.fromkeys(names))


def _positive(value: float | None, option: str) -> None:
    if value is not None and not (math.isfinite(value) and value > 0.0):
        raise InputError(f"{option} must be a positive number of metres, got {value:g}")


def _read(path: str) -> Any:
    from velarion.conjunctions.cdm import CDMError, read
    from velarion.utils.textfiles import NotTextError

    try:
        return read(path)
    except (CDMError, NotTextError) as e:
        raise InputError(str(e)) from None
    except FileNotFoundError:
        raise InputError(f"cannot read {path!r}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"cannot read {path!r}: it is a directory") from None
    except OSError as e:
        raise InputError(f"cannot read {path!r}: {e.strerror or e}") from None


def _row(path: str, message: Any, methods: list[str], args: argparse.Namespace) -> dict[str, Any]:
    from velarion.conjunctions import pc as pcm

    hbr = args.hbr if args.hbr is not None else message.hard_body_radius()
    if hbr is None:
        raise InputError(f"{path}: no hard-body radius (AREA_PC of both objects); give --hbr")
    row: dict[str, Any] = {
        "file": path,
        "message_id": message.message_id,
        "tca": message.relative["TCA"],
        "object1": message.object_name(1),
        "object2": message.object_name(2),
        "miss_distance": message.miss_distance,
        "hbr": hbr,
        "remediated": message.is_remediated(1) or message.is_remediated(2),
    }
    try:
        for m in methods:
            if m == "mc":
                result = pcm.pc(message, "mc", hbr=hbr, samples=args.samples, seed=args.seed)
                row.update(mc=result.pc, mc_low=result.low, mc_high=result.high)
            elif m == "alfano":
                row["alfano"] = pcm.pc(message, "alfano", hbr=hbr).pc
            elif m == "hall":
                result = pcm.pc(message, "hall", hbr=hbr)
                row.update(hall=result.pc, hall_expected=result.expected_collisions)
            else:
                row[m] = pcm.pc(message, m, hbr=hbr)
    except ValueError as e:
        raise InputError(f"{path}: {e}") from None
    return row


def _render(rows: list[dict[str, Any]], fmt: str) -> str:
    if fmt == "json":
        return json.dumps(rows, indent=1) + "\n"
    columns = list(dict.fromkeys(k for r in rows for k in r))
    if fmt == "csv":
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(columns)
        for r in rows:
            writer.writerow([_cell(r.get(c)) for c in columns])
        return out.getvalue()
    numbers = [c for c in columns if c not in ("file", "message_id", "tca", "object1", "object2", "remediated")]
    labels = {"miss_distance": "miss [m]", "hbr": "HBR [m]", "hall_expected": "hall Nc", "mc_low": "mc low"}
    labels["mc_high"] = "mc high"
    head = f"{'TCA (UTC)':<23}  {'object 1':<20} {'object 2':<20} " + " ".join(
        f"{labels.get(c, c):>12}" for c in numbers
    )
    lines = [f"Collision probability of {len(rows)} message{'s' if len(rows) != 1 else ''}", head]
    for r in rows:
        cells = " ".join(f"{r[c]:12.4e}" if c not in ("miss_distance", "hbr") else f"{r[c]:12.2f}" for c in numbers)
        flag = "  (covariance remediated)" if r["remediated"] else ""
        lines.append(f"{r['tca'][:23]:<23}  {r['object1'][:20]:<20} {r['object2'][:20]:<20} {cells}{flag}")
    return "\n".join(lines) + "\n"


def _cell(x: Any) -> Any:
    if isinstance(x, float):
        return f"{x:.6e}"
    return "" if x is None else x


def run(args: argparse.Namespace) -> str:
    methods = _methods(args.method)
    _positive(args.hbr, "--hbr")
    if not 1 <= args.samples <= 10**9:
        raise InputError(f"--samples must lie in [1, 10**9], got {args.samples}")
    if args.seed < 0:
        raise InputError(f"--seed must not be negative, got {args.seed}")
    rows = [_row(path, _read(path), methods, args) for path in args.files]
    return _render(rows, args.format)


# -- velarion conjunctions --------------------------------------------------


def add_conjunction_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("collision probability")
    g.add_argument("--hbr", type=float, metavar="M", help="combined hard-body radius [m]: adds a Pc column")
    g.add_argument(
        "--covariance",
        metavar="FILE",
        help='covariances in each satellite\'s RTN axes: a JSON object from catalogue number (or "default") '
        "to the standard deviations [sigma_R, sigma_T, sigma_N] [m] (or six, with velocities [m/s]) or a "
        "3x3 or 6x6 matrix [m^2, m^2/s, m^2/s^2]; default: 100 m, 300 m, 100 m for every satellite",
    )
    g.add_argument("--cdm-dir", metavar="DIR", help="write one CDM (KVN, version 1.0) per event into DIR")


_DEFAULT_SIGMAS = (100.0, 300.0, 100.0)


def _covariance(value: Any, where: str) -> Any:
    import numpy as np

    try:
        a = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise InputError(f"{where}: not a list of numbers") from None
    if a.shape in ((3,), (6,)):
        if not np.all(np.isfinite(a)) or np.any(a < 0):
            raise InputError(f"{where}: standard deviations must be finite and non-negative")
        return np.diag(a * a)
    if a.shape in ((3, 3), (6, 6)) and np.all(np.isfinite(a)):
        return a
    raise InputError(f"{where}: expected 3 or 6 standard deviations or a 3x3 or 6x6 matrix, got shape {a.shape}")


def conjunction_screen_options(args: argparse.Namespace) -> dict[str, Any]:
    """The screen() keywords of --hbr and --covariance (none without --hbr)."""
    import numpy as np

    _positive(args.hbr, "--hbr")
    if args.covariance is not None and args.hbr is None:
        raise InputError("--covariance needs --hbr (the hard-body radius of the Pc)")
    if args.cdm_dir is not None and not os.path.isdir(args.cdm_dir):
        raise InputError(f"--cdm-dir {args.cdm_dir!r}: no such directory")
    if args.hbr is None:
        return {}
    table: dict[Any, Any] = {"default": np.diag(np.square(_DEFAULT_SIGMAS))}
    if args.covariance is not None:
        from .csvio import read_text

        try:
            data = json.loads(read_text(args.covariance))
        except json.JSONDecodeError as e:
            raise InputError(f"{args.covariance}: not JSON ({e.msg}, line {e.lineno})") from None
        if not isinstance(data, dict):
            raise InputError(f"{args.covariance}: expected a JSON object from catalogue number to covariance")
        table = {} if "default" in data else table
        for key, value in data.items():
            if key == "default":
                table["default"] = _covariance(value, f"{args.covariance}, {key!r}")
                continue
            try:
                satnum = int(key)
            except ValueError:
                raise InputError(f"{args.covariance}: {key!r} is no catalogue number") from None
            table[satnum] = _covariance(value, f"{args.covariance}, {key!r}")
    return {"covariances": table, "hbr": args.hbr}


def finish_conjunctions(args: argparse.Namespace, events: Any) -> None:
    """Writes the CDMs of --cdm-dir (one file per event, each replaced only
    when whole)."""
    if args.cdm_dir is None:
        return
    for k, event in enumerate(events, 1):
        message = event.to_cdm(message_id=f"VELARION-{k:06d}")
        name = f"{k:06d}_{event.primary_satnum}_{event.secondary_satnum}.cdm"
        with outfiles.text_output(os.path.join(args.cdm_dir, name), f"the CDM of event {k}") as f:
            f.write(message.to_kvn())
