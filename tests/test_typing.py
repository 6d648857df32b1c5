"""Type stubs: one per extension module, true to the compiled modules, and
useful under ``mypy --strict`` (the README tour and the examples pass, the
stubs give the types a user expects, and mistakes are caught).

mypy runs in a child process, against the velarion this process imports
(the installed package, or the sources when they come first on the path).
"""

from __future__ import annotations

import importlib.machinery
import os
import pathlib
import re
import site
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

import velarion

PKG = pathlib.Path(velarion.__file__).resolve().parent
ROOT = pathlib.Path(__file__).resolve().parent.parent

# Runtime details the stubs deliberately leave out (regular expressions).
ALLOWLIST = [
    # Text signatures of these builtin methods omit $self ("to_sv()\n--"),
    # so the runtime seems to take no self.
    r"velarion\.state\.state\.\w+\.to_(sv|coe)",
    r"velarion\.state\.ephemeris\.\w+\.to_sv",
    r"velarion\.time\.time\.Time\.to_datetime64",
    r"velarion\.mathtools\.ellipsoid\.ellipsoid\.Ellipsoid\.(geodetic_to_cartesian|cartesian_to_geodetic)",
    r"velarion\.utils\.representable\.Representable\._repr_fields",
    r"velarion\.propagators\.propagators\.Propagator\.propagate(_state)?",
    r"velarion\.propagators\.analytical\.keplerian\.keplerian\.Keplerian\.propagate",
    # C-level method tables, not Python API.
    r".*\.__vtable__",
    # `seconds - Time` raises TypeError; the slot exists only because
    # `Time - x` shares it.
    r"velarion\.time\.time\.Time\.__rsub__",
]


def extension_modules() -> list[tuple[str, pathlib.Path]]:
    out = []
    for path in sorted(PKG.rglob("*")):
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            if path.name.endswith(suffix):
                rel = path.relative_to(PKG.parent).as_posix()[: -len(suffix)]
                out.append((rel.replace("/", "."), path.with_name(path.name[: -len(suffix)] + ".pyi")))
                break  # the suffixes go from the longest to ".so"
    return out


def mypy_env() -> dict[str, str]:
    """Environment for mypy: the sources named on both paths when they are not installed."""
    env = dict(os.environ)
    home = str(PKG.parent)
    installed = {str(pathlib.Path(p).resolve()) for p in [*site.getsitepackages(), site.getusersitepackages()]}
    if home not in installed:
        env["MYPYPATH"] = home
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [home, os.environ.get("PYTHONPATH")]))
    return env


def run(args: list[str], cwd: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, env=mypy_env(), timeout=900
    )


def test_every_extension_module_has_a_stub_and_the_package_is_typed():
    mods = extension_modules()
    assert len(mods) >= 17  # the package is built
    assert [m for m, stub in mods if not stub.exists()] == []
    assert (PKG / "py.typed").exists()


def test_stubs_match_the_compiled_modules(tmp_path):
    allow = tmp_path / "allowlist.txt"
    allow.write_text("\n".join(ALLOWLIST) + "\n")
    config = tmp_path / "mypy.ini"
    # The sgp4 package that the SGP4 propagator drives, and the data package
    # velarion.iers reads, have no annotations.
    config.write_text(
        "[mypy]\n\n[mypy-sgp4.*]\nignore_missing_imports = True\n\n"
        "[mypy-astropy_iers_data.*]\nignore_missing_imports = True\n"
    )
    # velarion.iers brings its compiled helper velarion.iers._interp with it.
    mods = [m for m, _ in extension_modules() if not m.startswith("velarion.iers.")] + ["velarion.iers"]
    res = run(
        [
            "mypy.stubtest",
            "--concise",
            "--ignore-disjoint-bases",
            "--ignore-unused-allowlist",
            "--allowlist",
            str(allow),
            "--mypy-config-file",
            str(config),
            *mods,
        ],
        tmp_path,
    )
    assert res.returncode == 0, res.stdout + res.stderr


# What the stubs promise, checked by mypy's assert_type (a wrong stub fails).
EXPECTED = """
from typing import Any
from typing_extensions import assert_type
import numpy as np
from numpy.typing import NDArray
import velarion.frames
from velarion.frames.frames import ENU, Frame, _GCRF, get_GCRF, get_ITRF
from velarion.iers import EOP, EOPTable, table
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.state.state import COE, StateVector
from velarion.time.time import Time

t = Time(["2024-01-01", "2024-01-02"])
assert_type(t - t[0], NDArray[np.float64])
assert_type(t + 60.0, Time)
assert_type(t - 60.0, Time)
assert_type(t.tt, Time)
assert_type(t.jd12, NDArray[np.float64])
assert_type(t.shape, tuple[int, ...])
assert_type(velarion.frames.register_standard_transforms(), None)
assert_type(get_GCRF(), _GCRF)
r = np.zeros((2, 3))
assert_type(get_GCRF().transform_to("ITRF", t, r, r), tuple[memoryview, memoryview])
assert_type(get_GCRF().to_ITRF(t, r, r), tuple[NDArray[np.float64], NDArray[np.float64]])
assert_type(Frame.get_route("GCRF", get_ITRF()), list[Frame])
assert_type(ENU(0.1, 0.2, 0.0).rot_to_ITRF(), NDArray[np.float64])
coe = COE(t[0], ecc=0.1, sma=7e6, inc=1.0, raa=0.0, arp=0.0, tra=0.0)
assert_type(coe.to_sv(), StateVector)
eph = Keplerian().propagate_state(t, coe)
assert_type(eph, StateVectorEphemeris)
assert_type(eph[0], StateVector)
assert_type(Keplerian().jacobian(eph), NDArray[np.float64])
assert_type(EOP([60000.0]).ut1_utc, NDArray[np.float64])
assert_type(table(), EOPTable)
"""

# Mistakes mypy must catch; each line marked "# E" must get an error.
MISUSE = """
import numpy as np
from velarion.frames.frames import ENU, get_GCRF
from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.satellite.satellite import Satellite
from velarion.state.state import COE, StateVector
from velarion.time.time import Time

t = Time("2024-01-01")
r = np.zeros((1, 3))
COE(t, 0.1, 7e6, 1.0, 0.0, 0.0, 0.0)  # E: the elements are keyword-only
StateVector("2024-01-01", r[0], r[0])  # E: a state's time is a Time
Keplerian().propagate_state(t, r)  # E: a state, not an array
Keplerian().jacobian(t)  # E: an ephemeris
get_GCRF().transform_to("ITRF", t, "r", r)  # E: rows of numbers
get_GCRF().to_TEME(t, r, r)  # E: GCRF converts only to ITRF
x: float = t - t  # E: an array, not a float
ENU(0.1, 0.2, 0.0, ell="WGS84")  # E: an Ellipsoid
Satellite(t, None, propagator=5)  # E: a Propagator
s = Satellite(t, None)
s.time = t  # E: read-only
"""


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory) -> tuple[dict[str, list[tuple[int, str]]], dict[str, pathlib.Path]]:
    """One mypy --strict run over the README tour, examples/, and the two snippets above."""
    work = tmp_path_factory.mktemp("typing")
    files: dict[str, pathlib.Path] = {}
    readme = ROOT / "README.md"
    if readme.exists():
        blocks = re.findall(r"^```python\n(.*?)^```", readme.read_text(), re.M | re.S)
        files["readme_tour"] = work / "readme_tour.py"
        files["readme_tour"].write_text("\n\n".join(blocks))
    for example in sorted((ROOT / "examples").glob("*.py")):
        files[f"examples/{example.name}"] = example
    for name, code in (("expected_types", EXPECTED), ("misuse", MISUSE)):
        files[name] = work / f"{name}.py"
        files[name].write_text(code)
    config = work / "mypy.ini"
    # velarion's own modules are checked as the installed package would be:
    # their types are used, their internals are not reported.
    config.write_text(
        "[mypy]\nstrict = True\nwarn_unused_ignores = True\n\n[mypy-velarion.*]\nfollow_imports = silent\n"
    )
    res = run(
        [
            "mypy",
            "--config-file",
            str(config),
            "--cache-dir",
            str(work / "cache"),
            "--no-pretty",
            "--show-error-codes",
            *map(str, files.values()),
        ],
        work,
    )
    assert "error: " in res.stdout or res.returncode == 0, res.stdout + res.stderr
    errors: dict[str, list[tuple[int, str]]] = {name: [] for name in files}
    by_path = {str(p.resolve()): name for name, p in files.items()}
    for line in res.stdout.splitlines():
        m = re.match(r"(.+?):(\d+): error: (.*)", line)
        if m:
            path = str((work / m.group(1)).resolve())
            errors[by_path.get(path, m.group(1))].append((int(m.group(2)), m.group(3)))
    unknown = set(errors) - set(files)
    assert not unknown, {k: errors[k] for k in unknown}  # errors inside velarion or elsewhere
    return errors, files


@pytest.mark.parametrize(
    "name", ["readme_tour", "expected_types"] + [f"examples/{p.name}" for p in sorted((ROOT / "examples").glob("*.py"))]
)
def test_strict_clean(mypy_report, name):
    errors, files = mypy_report
    if name not in files:
        pytest.skip(f"{name} is not next to the tests")
    assert errors[name] == []


def test_misuse_is_caught(mypy_report):
    errors, _ = mypy_report
    marked = [i for i, line in enumerate(MISUSE.splitlines(), 1) if "# E" in line]
    flagged = {line for line, _ in errors["misuse"]}
    assert [i for i in marked if i not in flagged] == [], errors["misuse"]
    assert flagged <= set(marked), errors["misuse"]  # and nothing else
