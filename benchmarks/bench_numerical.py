"""Numerical propagation side by side with brahe on brahe's benchmark tasks,
and the many-satellite run.

Both sides propagate the same LEO state (400 km, 51.6 deg) from the same
epoch. brahe's propagator is built once and reset before every run (as our
``Numerical`` is built once); its Sun and Moon come from its analytic
low-precision ephemeris (its JPL sources need a download), ours from DE421
through jplephem. RK4 steps are 60 s (180 steps: 3 hours).

The last case propagates 1,000 LEO satellites for a day (20 x 20 gravity,
Sun, Moon, Harris-Priester drag and radiation pressure, 1 m tolerance, an
output every 10 min) on all threads; it prints its states/s and
accelerations/s once.
"""

from __future__ import annotations

import math
import os
import sys

import numpy as np
from common import Case

from velarion.propagators.numerical import ForceModel, Numerical
from velarion.state.state import StateVector
from velarion.time.time import Time

EPOCH_ISO = "2024-03-20T12:00:00"
R0 = np.array([6778e3, 0.0, 0.0])
V0 = np.array([0.0, 4766.0, 6008.0])
SPAN = 10800.0  # 180 steps of 60 s


def _brahe_cases(epoch: Time, sv: StateVector) -> dict[str, object]:
    try:
        import brahe as bh
    except ImportError:
        return {}
    bh.initialize_eop()
    start = bh.Epoch.from_datetime(2024, 3, 20, 12, 0, 0.0, 0.0, bh.TimeSystem.UTC)
    state = np.concatenate([R0, V0])
    config = bh.NumericalPropagationConfig.with_method(bh.IntegrationMethod.RK4).with_initial_step(60.0)
    params = np.array([100.0, 1.0, 2.2, 1.0, 1.3])  # mass, drag area, Cd, SRP area, Cr

    def forces(degree: int, sun_moon: bool = False, drag: bool = False, srp: bool = False) -> object:
        kw: dict[str, object] = {"gravity": bh.GravityConfiguration(degree=degree, order=degree)}
        if sun_moon:
            low = bh.EphemerisSource.LowPrecision
            kw["third_body"] = [
                bh.ThirdBodyConfiguration(bh.ThirdBody.SUN, ephemeris_source=low),
                bh.ThirdBodyConfiguration(bh.ThirdBody.MOON, ephemeris_source=low),
            ]
        if drag:
            kw["drag"] = bh.DragConfiguration(
                bh.AtmosphericModel.HARRIS_PRIESTER, bh.ParameterSource.parameter_index(1),
                bh.ParameterSource.parameter_index(2),
            )  # fmt: skip
        if srp:
            kw["srp"] = bh.SolarRadiationPressureConfiguration(
                bh.ParameterSource.parameter_index(3), bh.ParameterSource.parameter_index(4), bh.EclipseModel.CONICAL
            )
        if drag or srp:
            kw["mass"] = bh.ParameterSource.parameter_index(0)
        return bh.ForceModelConfig(**kw)

    def runner(fm: object) -> object:
        prop = bh.NumericalOrbitPropagator(start, state, config, fm, params)

        def run() -> object:
            prop.reset()
            prop.propagate_to(start + SPAN)
            return prop.current_state()

        return run

    model = bh.GravityModel.from_model_type(bh.GravityModelType.EGM2008_120)
    r_fixed = np.array([6525.919e3, 1710.416e3, 2508.886e3])
    return {
        "rk4_5": runner(forces(5)),
        "rk4_20_sm": runner(forces(20, sun_moon=True)),
        "rk4_80_drag_srp": runner(forces(80, drag=True, srp=True)),
        "accel_80": lambda: model.compute_spherical_harmonics(r_fixed, 80, 80),
    }


def cases() -> list[Case]:
    epoch = Time(EPOCH_ISO)
    sv = StateVector(epoch, R0, V0)
    end = epoch + SPAN
    brahe = _brahe_cases(epoch, sv)

    def ours(fm: ForceModel) -> object:
        prop = Numerical(fm, integrator="rk4", step=60.0)
        return lambda: prop.propagate_state(end, sv)

    r_fixed = np.array([[6525.919e3, 1710.416e3, 2508.886e3]])
    field80 = Numerical(ForceModel(degree=80))
    tasks = [
        ("RK4 60 s x 180, 5x5 gravity", "rk4_5", ours(ForceModel(degree=5))),
        ("RK4 60 s x 180, 20x20 + Sun + Moon", "rk4_20_sm", ours(ForceModel(degree=20, third_body=("sun", "moon")))),
        (
            "RK4 60 s x 180, 80x80 + drag + SRP",
            "rk4_80_drag_srp",
            ours(ForceModel(degree=80, drag="harris-priester", srp=True, area=1.0, mass=100.0)),
        ),
        ("one 80x80 acceleration (Earth-fixed)", "accel_80", lambda: field80.field_acceleration(r_fixed)),
    ]
    out = []
    for name, key, fn in tasks:
        peers = {"brahe": brahe[key]} if key in brahe else {}
        out.append(Case(name, 1, fn, peers, goal=">= 3x brahe", min_ratio={"brahe": 3.0} if peers else {}))
    out.append(_many_case())
    return out


def _leo_states(n: int, epoch: Time) -> list[StateVector]:
    """n circular LEOs 400-800 km, inclinations 30-98 deg, spread in node and phase."""
    rng = np.random.default_rng(20)
    states = []
    for _ in range(n):
        a = 6378e3 + rng.uniform(400e3, 800e3)
        inc = math.radians(rng.uniform(30.0, 98.0))
        raan, u = rng.uniform(0, 2 * math.pi, 2)
        speed = math.sqrt(3.986004418e14 / a)
        node = np.array([math.cos(raan), math.sin(raan), 0.0])
        normal = np.array([math.sin(raan) * math.sin(inc), -math.cos(raan) * math.sin(inc), math.cos(inc)])
        along = np.cross(normal, node)
        r = a * (math.cos(u) * node + math.sin(u) * along)
        v = speed * (-math.sin(u) * node + math.cos(u) * along)
        states.append(StateVector(epoch, r, v))
    return states


def _many_case() -> Case:
    epoch = Time(EPOCH_ISO)
    n = int(os.environ.get("VELARION_BENCH_SATELLITES", "1000"))
    states = _leo_states(n, epoch)
    times = epoch + np.arange(0.0, 86400.0 + 1.0, 600.0)
    full = ForceModel(degree=20, third_body=("sun", "moon"), drag="harris-priester", srp=True, area=1.0, mass=100.0)
    prop = Numerical(full, tolerance=1.0)
    printed = []

    def run() -> object:
        import time

        t0 = time.perf_counter()
        result = prop.propagate_many(times, states)
        elapsed = time.perf_counter() - t0
        if not printed:
            from velarion.propagators.numerical.numerical import _tt_seconds

            tt0 = _tt_seconds(epoch)
            span = np.array([tt0[0], tt0[0] + 86400.0])
            y0 = np.array([np.concatenate([s.r, s.v]) for s in states[:20]])
            dt = np.tile(np.asarray(times - epoch), (len(y0), 1))
            out = prop._propagate(
                np.full(len(y0), tt0[0]), y0, dt, *prop._table(span), prop._ephemeris(span), False, 1, None, None
            )
            per_sat = float(np.mean(out[6]))
            print(
                f"  {n} LEO x 1 day: {elapsed:.2f} s on {os.cpu_count()} threads, "
                f"{n * len(times) / elapsed:.3g} states/s, {n * per_sat / elapsed:.3g} accelerations/s "
                f"({per_sat:.0f} per satellite), {len(result.failures)} failures",
                file=sys.stderr,
            )
            printed.append(True)
        return result

    return Case(f"{n} LEO x 1 day, 20x20 + Sun + Moon + drag + SRP, 1 m", n, run, goal="< 20 s in all")
