"""``velarion fit-tle`` and ``velarion od``: element-set fitting and orbit
determination from tracking data.

The parser part (``add_parsers``) imports nothing of the library, so that
``--help`` stays quick; the runs use ``velarion.estimation``. Their messages
are word for word what users read and what the tests compare.

Observation files (``od --observations``) are CSV with the header
``time,station,kind,value,sigma`` and an optional ``frequency`` column:
ISO UTC times of reception, the station's name in the ``--stations`` file
(empty for GCRF/ITRF components), the kind (``velarion.estimation.KINDS``),
the value and its sigma in m, m/s, Hz or degrees (angles), and the carrier
frequency [Hz] of Doppler rows.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import math
from typing import Any

from .errors import InputError

__all__ = ["add_parsers", "run_fit_tle", "run_od"]

_ANGLES = ("azimuth", "elevation", "right_ascension", "declination")


def add_parsers(sub: Any, common: Any) -> None:
    """The ``fit-tle`` and ``od`` subcommands; ``common`` adds --eop and -o."""
    p = sub.add_parser(
        "fit-tle",
        help="fit a two-line element set (SGP4 mean elements and B*) to a state ephemeris",
        description="Fit SGP4 mean elements and B* to the positions of an ephemeris by least squares on the "
        "compiled SGP4, and write the element set (TLE, OMM or JSON with the fit report). The report gives the "
        "position RMS of the TLE as written over the ephemeris.",
        epilog="Example: velarion fit-tle --states leo.csv --frame GCRF --satnum 99999 --name TEST",
    )
    source = p.add_mutually_exclusive_group(required=True)
    source.add_argument("--states", metavar="CSV", help="ephemeris CSV (time,x,y,z,vx,vy,vz; m, m/s)")
    source.add_argument("--oem", metavar="FILE", help="a CCSDS OEM ephemeris")
    p.add_argument("--frame", default="GCRF", help="frame of the --states rows: GCRF (default), TEME or ITRF")
    p.add_argument("--epoch", metavar="UTC", help="epoch of the element set (default: the first state's)")
    p.add_argument("--no-bstar", action="store_true", help="keep B* at --bstar instead of fitting it")
    p.add_argument("--bstar", type=float, default=0.0, help="B* [1/Earth radii] (start of its fit; default 0)")
    p.add_argument("--satnum", type=int, default=0, help="catalogue number of the result (Alpha-5 above 99999)")
    p.add_argument("--name", help="name of the result (a three-line element set)")
    p.add_argument(
        "--format",
        choices=("tle", "omm", "json"),
        default="tle",
        help="tle (default; the report on standard error), omm (OMM JSON) or json (TLE, OMM and report)",
    )
    common(p)

    p = sub.add_parser(
        "od",
        help="orbit determination: batch least squares from tracking data",
        description="Estimate the GCRF state at the initial epoch from ground-station observations (range, "
        "range rate, Doppler, azimuth/elevation, right ascension/declination) or GCRF/ITRF fixes by batch least "
        "squares (Gauss-Newton with Levenberg-Marquardt damping, sigma editing) on two-body dynamics, and write "
        "the estimate, its covariance and the residuals.",
        epilog="Example: velarion od --observations obs.csv --stations stations.csv --initial iss.tle --format json",
    )
    p.add_argument("--observations", required=True, metavar="CSV", help="observations (see the format below)")
    p.add_argument("--stations", metavar="FILE", help="stations CSV (name,lat,lon[,alt])")
    first = p.add_mutually_exclusive_group(required=True)
    first.add_argument("--initial", metavar="TLE", help="a TLE file whose first element set gives the first guess")
    first.add_argument(
        "--sv",
        nargs=6,
        type=float,
        metavar=("X", "Y", "Z", "VX", "VY", "VZ"),
        help="the first guess: a GCRF state [m, m/s] at --epoch",
    )
    p.add_argument("--epoch", metavar="UTC", help="epoch of the estimate (default: --sv's, or the first observation)")
    p.add_argument("--estimate-biases", action="store_true", help="estimate a bias per station and kind")
    p.add_argument("--edit-sigma", type=float, default=5.0, help="sigma editing threshold (default 5; 0: off)")
    p.add_argument("--max-iterations", type=int, default=25, help="iteration limit (default 25)")
    p.add_argument("--format", choices=("table", "csv", "json"), default="table", help="output format (default table)")
    common(p)


def _ephemeris(args: argparse.Namespace) -> Any:
    from velarion.state.ephemeris import StateVectorEphemeris

    from . import csvio, inputs

    if args.oem is not None:
        from velarion.io import oem

        try:
            return oem.read(args.oem).ephemeris
        except (OSError, ValueError) as e:
            raise InputError(f"--oem: {e}") from None
    table = csvio.read_ephemeris(args.states)
    frame = inputs.named_frame(args.frame, "--frame")
    if frame.name not in ("GCRF", "TEME", "ITRF"):
        raise InputError(f"--frame {args.frame}: the states must be in GCRF, TEME or ITRF")
    return StateVectorEphemeris(table.time, table.r, table.v, frame=frame.name)


def run_fit_tle(args: argparse.Namespace) -> str:
    import sys

    from velarion.estimation import EstimationError, fit_tle

    from . import inputs

    inputs.load_eop(args)
    eph = _ephemeris(args)
    epoch = inputs.parse_time(args.epoch, "--epoch") if args.epoch is not None else None
    if not (math.isfinite(args.bstar)):
        raise InputError("--bstar must be finite")
    try:
        fit = fit_tle(
            eph, epoch=epoch, fit_bstar=not args.no_bstar, bstar=args.bstar, satnum=args.satnum, name=args.name
        )
    except (EstimationError, ValueError) as e:
        raise InputError(str(e)) from None
    report = {
        "states": int(fit.residuals.shape[0]),
        "position_rms": fit.rms,
        "position_rms_fitted_elements": fit.rms_fit,
        "max_position_error": fit.max_error,
        "iterations": fit.iterations,
    }
    if args.format == "json":
        return json.dumps({"tle": list(fit.tle.lines), "omm": fit.omm, "report": report}, indent=1) + "\n"
    if args.format == "omm":
        return json.dumps([fit.omm], indent=1) + "\n"
    print(
        f"velarion fit-tle: {report['states']} states, position RMS {fit.rms:.3f} m (fitted elements "
        f"{fit.rms_fit:.3f} m), largest {fit.max_error:.3f} m, {fit.iterations} iterations",
        file=sys.stderr,
    )
    head = f"{fit.tle.name}\n" if fit.tle.name else ""
    return head + "\n".join(fit.tle.lines) + "\n"


def _read_observations(path: str, stations: list[Any]) -> Any:
    import numpy as np

    from velarion.estimation import KINDS, Observations

    from . import csvio

    text = csvio.read_text(path)
    rows = [r for r in csv.reader(io.StringIO(text)) if any(c.strip() for c in r) and not r[0].startswith("#")]
    where = repr(path)
    if not rows:
        raise InputError(f"{where} holds no observation")
    header = [c.strip().lower() for c in rows[0]]
    need = ("time", "station", "kind", "value", "sigma")
    if not set(need) <= set(header):
        raise InputError(f"{where}: the header must name the columns {','.join(need)} (and frequency)")
    col = {c: header.index(c) for c in header}
    names = {s.name: k for k, s in enumerate(stations)}
    times, kinds, values, sigmas, station, freq = [], [], [], [], [], []
    for k, row in enumerate(rows[1:], start=1):
        if len(row) != len(header):
            raise InputError(f"{where}, row {k}: {len(row)} fields, the header has {len(header)}")
        kind = row[col["kind"]].strip()
        if kind not in KINDS:
            raise InputError(f"{where}, row {k}: unknown kind {kind!r}")
        name = row[col["station"]].strip()
        if name and name not in names:
            raise InputError(f"{where}, row {k}: no station named {name!r} in --stations")
        unit = math.radians(1.0) if kind in _ANGLES else 1.0
        times.append(row[col["time"]].strip())
        kinds.append(kind)
        values.append(csvio.parse_number(row[col["value"]], "value", f"{where}, row {k}") * unit)
        sigmas.append(csvio.parse_number(row[col["sigma"]], "sigma", f"{where}, row {k}") * unit)
        station.append(names[name] if name else -1)
        f = row[col["frequency"]].strip() if "frequency" in col else ""
        freq.append(csvio.parse_number(f, "frequency", f"{where}, row {k}") if f else math.nan)
    from velarion.time.time import Time

    try:
        t = Time(np.array(times))
        return Observations.of(t, kinds, values, sigmas, station=station, stations=stations, frequency=freq)
    except ValueError as e:
        raise InputError(f"{where}: {e}") from None


def run_od(args: argparse.Namespace) -> str:
    import numpy as np

    from velarion.estimation import KINDS, EstimationError, batch_least_squares
    from velarion.frames.frames import get_ITRF, get_TEME
    from velarion.propagators.analytical.keplerian.keplerian import Keplerian
    from velarion.state.state import StateVector

    from . import inputs

    inputs.load_eop(args)
    stations = inputs._stations_file(args.stations) if args.stations is not None else []
    obs = _read_observations(args.observations, stations)
    if args.sv is not None:
        if args.epoch is None:
            raise InputError("--sv needs --epoch")
        epoch = inputs.parse_time(args.epoch, "--epoch")
        guess = StateVector(epoch, list(args.sv[:3]), list(args.sv[3:]), frame="GCRF")
    else:
        from velarion.propagators.analytical.sgp4.catalogue import load_tles
        from velarion.propagators.analytical.sgp4.sgp4 import SGP4

        try:
            tle = load_tles(args.initial)[0]
        except (OSError, ValueError, IndexError) as e:
            raise InputError(f"--initial: {e or 'no element set'}") from None
        epoch = inputs.parse_time(args.epoch, "--epoch") if args.epoch is not None else obs.time[0]
        teme = SGP4(tle).propagate(epoch + np.zeros(1))
        ri, vi = get_TEME().to_ITRF(teme.time, teme.r, teme.v)
        rg, vg = get_ITRF().to_GCRF(teme.time, ri, vi)
        guess = StateVector(epoch, np.asarray(rg)[0].tolist(), np.asarray(vg)[0].tolist(), frame="GCRF")
    try:
        est = batch_least_squares(
            obs,
            guess,
            Keplerian(),
            estimate_biases=args.estimate_biases,
            edit_sigma=args.edit_sigma if args.edit_sigma > 0 else None,
            max_iterations=args.max_iterations,
        )
    except (EstimationError, ValueError) as e:
        raise InputError(str(e)) from None
    names = [s.name for s in stations]
    res_rows = []
    for k in range(len(obs)):
        kind = KINDS[obs.kind[k]]
        unit = math.degrees(1.0) if kind in _ANGLES else 1.0
        res_rows.append(
            {
                "time": str(obs.time[k].iso),
                "station": names[obs.station[k]] if obs.station[k] >= 0 else "",
                "kind": kind,
                "residual": float(est.residuals[k]) * unit,
                "normalised": float(est.residuals[k] / obs.sigma[k]),
                "used": bool(est.used[k]),
            }
        )
    epoch_text = str(est.state.time.iso)
    if args.format == "json":
        out = {
            "epoch": epoch_text,
            "frame": "GCRF",
            "parameters": list(est.parameters),
            "values": est.values.tolist(),
            "sigma": est.sigma.tolist(),
            "covariance": est.covariance.tolist(),
            "correlation": est.correlation.tolist(),
            "iterations": est.iterations,
            "rms": est.rms,
            "weighted_rms": est.weighted_rms,
            "weighted_rms_total": est.weighted_rms_total,
            "residuals": res_rows,
        }
        return json.dumps(out, indent=1) + "\n"
    if args.format == "csv":
        buf = io.StringIO()
        w = csv.writer(buf, lineterminator="\n")
        w.writerow(("time", "station", "kind", "residual", "normalised", "used"))
        for r in res_rows:
            w.writerow((r["time"], r["station"], r["kind"], repr(r["residual"]), f"{r['normalised']:.4f}", r["used"]))
        return buf.getvalue()
    lines = [
        f"Estimated GCRF state at {epoch_text} UTC ({est.iterations} iterations, {int(est.used.sum())} of "
        f"{len(obs)} observations used, weighted RMS {est.weighted_rms_total:.3f})",
        f"{'parameter':<24} {'value':>20} {'sigma':>14}",
    ]
    for name, value, sigma in zip(est.parameters, est.values, est.sigma, strict=True):
        lines.append(f"{name:<24} {value:20.6f} {sigma:14.6f}")
    lines.append("")
    lines.append(f"{'kind':<16} {'RMS':>14} {'weighted RMS':>13}")
    for kind, value in est.rms.items():
        unit = math.degrees(1.0) if kind in _ANGLES else 1.0
        lines.append(f"{kind:<16} {value * unit:14.6g} {est.weighted_rms[kind]:13.3f}")
    lines.append("")
    lines.append("correlation")
    for row in est.correlation:
        lines.append(" ".join(f"{x:7.3f}" for x in row))
    return "\n".join(lines) + "\n"
