"""The constants and the thread policy that _core holds once for every module."""

import math
import pathlib
import re

import numpy as np
import pytest

import velarion.constants as constants
from velarion._core import _shared
from velarion.bodies.bodies import Earth, Moon, Sun
from velarion.utils.threads import resolve_threads, threads_for

HEADER = pathlib.Path(__file__).parents[1] / "src" / "velarion" / "_core" / "constants.hpp"


def test_python_mirror_equals_the_compiled_constants():
    compiled = _shared.constants()
    mirror = {name: getattr(constants, name) for name in constants.__all__}
    assert mirror == compiled  # the same names, the same bits


def test_every_constant_of_the_header_reaches_python():
    # A constant added to the header but not to the exposed table (and so
    # not to the mirror) shows as a value the compiled table lacks.
    declared = re.findall(r"inline constexpr double (k\w+) = ([^;]+);", HEADER.read_text())
    assert declared
    values = sorted(float(v) for _, v in declared)
    assert values == sorted(_shared.constants().values())


@pytest.mark.parametrize(
    ("body", "attribute", "name"),
    [
        (Earth, "GM", "EARTH_GM"),
        (Earth, "radius", "EARTH_RADIUS"),
        (Earth, "J2", "EARTH_J2"),
        (Sun, "GM", "SUN_GM"),
        (Sun, "radius", "SUN_RADIUS"),
        (Moon, "GM", "MOON_GM"),
        (Moon, "radius", "MOON_RADIUS"),
    ],
)
def test_bodies_take_their_constants_from_the_one_home(body, attribute, name):
    assert getattr(body, attribute) == getattr(constants, name)


@pytest.mark.parametrize(
    ("count", "threads", "threaded_from", "expected"),
    [
        (0, 8, 32, 1),
        (31, 8, 32, 1),  # below the threshold: one thread
        (32, 8, 32, 8),  # from it: every thread asked for
        (5, 8, 1, 5),  # never more threads than items
        (10**6, 1000, 1, 256),  # never more than the workers a kernel starts
    ],
)
def test_threads_for_threshold_rule(count, threads, threaded_from, expected):
    assert threads_for(count, threads, threaded_from) == expected


def test_default_threads_is_every_hardware_thread_within_the_cap():
    default = resolve_threads(None)
    assert 1 <= default <= _shared.MAX_THREADS
    assert resolve_threads(10**6) == _shared.MAX_THREADS


@pytest.mark.parametrize("bad", [0, -1, True, 1.5, "4"])
def test_resolve_threads_refuses_what_is_not_a_count(bad):
    with pytest.raises(ValueError, match="threads must be a positive integer"):
        resolve_threads(bad)


@pytest.mark.parametrize(
    ("module", "name"),
    [
        ("velarion.passes.passes", "Pass"),
        ("velarion.passes.passes", "Passes"),
        ("velarion.passes.passes", "LookAngles"),
        ("velarion.passes.passes", "event_times"),
        ("velarion.passes.search", "look"),
        ("velarion.passes.visibility", "shadowed"),
        ("velarion.passes.visibility", "sun_itrf"),
        ("velarion.passes.visibility", "EARTH_RADIUS"),
        ("velarion.conjunctions", "Failure"),
        ("velarion.frames.lof", "GM_EARTH"),
    ],
)
def test_public_names_stay_where_they_were(module, name):
    import importlib

    assert hasattr(importlib.import_module(module), name)


def test_threads_of_look_angles_and_sunlit_change_nothing_but_the_work():
    from velarion.cli import defaults
    from velarion.passes import Station, look_angles, sunlit
    from velarion.propagators.analytical.sgp4 import TLE

    iss = TLE(defaults.TLE_LINE1, defaults.TLE_LINE2)
    t = iss.epoch + np.linspace(0.0, 86400.0, 20_000)
    station = Station(50.0, 5.0, 100.0, "s")
    one = look_angles(iss, station, t, threads=1)
    many = look_angles(iss, station, t, threads=4)
    for a, b in zip(one, many, strict=True):
        np.testing.assert_array_equal(a, b)
    assert math.isfinite(float(one.range[0]))
    with pytest.raises(ValueError, match="threads must be a positive integer"):
        look_angles(iss, station, t, threads=0)
    np.testing.assert_array_equal(sunlit(iss, t, threads=1), sunlit(iss, t, threads=3))
    with pytest.raises(ValueError, match="threads must be a positive integer"):
        sunlit(iss, t, threads=-2)
