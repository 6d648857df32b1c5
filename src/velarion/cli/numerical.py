"""``velarion propagate --numerical``: the force-model options and the
satellite they turn the command's state or TLE into (its state at its
epoch, in GCRF, propagated by ``Numerical``)."""

from __future__ import annotations

import argparse
import re

import numpy as np

from velarion.frames import standard_to_itrf
from velarion.frames.frames import get_GCRF, get_ITRF
from velarion.passes import propagator_source

from .errors import InputError, UsageError
from .inputs import CommandSatellite

_OPTIONS = ("gravity", "drag", "cd", "cr", "area", "mass", "third_body", "srp", "tides", "relativity", "tolerance")


def add_arguments(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("numerical propagation (--numerical)")
    g.add_argument(
        "--numerical",
        action="store_true",
        help="integrate the equations of motion under a force model instead (from the TLE's SGP4 state or "
        "the initial state at its epoch, in GCRF); the output frame defaults to GCRF",
    )
    g.add_argument("--gravity", metavar="NxM", help="gravity field degree x order (EGM2008; default 20x20)")
    g.add_argument("--drag", choices=("harris-priester", "nrlmsise00"), help="atmospheric drag model")
    g.add_argument("--cd", type=float, help="drag coefficient (default 2.2)")
    g.add_argument("--cr", type=float, help="radiation pressure coefficient (default 1.3)")
    g.add_argument("--area", type=float, help="cross-section for drag and radiation pressure [m^2] (default 1)")
    g.add_argument("--mass", type=float, help="mass [kg] (default 100)")
    g.add_argument("--third-body", metavar="LIST", help="comma-separated third bodies, e.g. sun,moon")
    g.add_argument("--srp", action="store_true", help="solar radiation pressure with conical shadows")
    g.add_argument("--tides", action="store_true", help="solid Earth tides (IERS 2010)")
    g.add_argument("--relativity", action="store_true", help="relativistic corrections (IERS 2010)")
    g.add_argument("--tolerance", type=float, help="position tolerance of the adaptive integrator [m] (default 1e-3)")


def check(args: argparse.Namespace) -> None:
    """Force-model options without --numerical are refused."""
    if args.numerical:
        return
    given = [o for o in _OPTIONS if getattr(args, o) not in (None, False)]
    if given:
        raise UsageError(f"--{given[0].replace('_', '-')} goes with --numerical")


def numerical_satellite(sat: CommandSatellite, args: argparse.Namespace) -> CommandSatellite:
    """The satellite's state at its epoch, propagated numerically in GCRF."""
    from velarion.propagators.numerical import ForceModel, Numerical
    from velarion.state.state import StateVector

    degree, order = 20, 20
    if args.gravity is not None:
        m = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", args.gravity)
        if not m:
            raise UsageError(f"--gravity {args.gravity!r}: expected degree x order, e.g. 70x70")
        degree, order = int(m.group(1)), int(m.group(2))
    bodies = tuple(b.strip().lower() for b in args.third_body.split(",") if b.strip()) if args.third_body else ()

    def given(value: float | None, default: float) -> float:
        return default if value is None else float(value)

    try:
        fm = ForceModel(
            degree=degree,
            order=order,
            third_body=bodies,
            drag=args.drag,
            srp=args.srp,
            tides=args.tides,
            relativity=args.relativity,
            cd=given(args.cd, 2.2),
            cr=given(args.cr, 1.3),
            area=given(args.area, 1.0),
            mass=given(args.mass, 100.0),
        )
        prop = Numerical(fm, tolerance=1e-3 if args.tolerance is None else args.tolerance)
    except (ValueError, NotImplementedError, FileNotFoundError) as e:
        raise InputError(f"--numerical: {e}") from None
    epoch = sat.epoch
    try:
        frame, r, v = sat.source(epoch + np.zeros(1))
        r_itrf, v_itrf = standard_to_itrf(frame, epoch + np.zeros(1), np.asarray(r), np.asarray(v))
        r_gcrf, v_gcrf = get_ITRF().to_GCRF(epoch + np.zeros(1), np.asarray(r_itrf), np.asarray(v_itrf))
    except ValueError as e:
        raise InputError(f"--numerical: the state at the epoch: {e}") from None
    state = StateVector(epoch, np.asarray(r_gcrf)[0], np.asarray(v_gcrf)[0], frame=get_GCRF())
    return CommandSatellite(sat.label, propagator_source(prop, state), epoch, sat.is_default)
