"""The shared toolkit as other modules and users meet it: the C-level
interface binding and its failures, and the small published helpers."""

import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from velarion._core import _probe
from velarion.mathtools.misc import misc

MAT_X_VEC = "void (double (*)[3], double *, double *)"


class TestBinding:
    def test_function_bound_by_its_type_text(self):
        addr = _probe.bind_capi("velarion.mathtools.vectools.vectools", "mat_x_vec", MAT_X_VEC)
        assert isinstance(addr, int) and addr != 0

    @pytest.mark.parametrize(
        "module, name, c_type, exc, words",
        [
            ("velarion.no_such_module", "x", "int", ModuleNotFoundError, "no_such_module"),
            ("velarion.mathtools.vectools.vectools", "mat_x_mat", MAT_X_VEC, ImportError, "mat_x_mat"),
            (
                "velarion.mathtools.vectools.vectools",
                "mat_x_vec",
                "void (double *)",
                TypeError,
                "'void (double *)' was expected",
            ),
            ("velarion.mathtools", "anything", "int", ImportError, "no __capi__"),
        ],
    )
    def test_bind_failures_name_what_is_wrong(self, module, name, c_type, exc, words):
        with pytest.raises(exc) as info:
            _probe.bind_capi(module, name, c_type)
        assert words in str(info.value)

    def test_missing_type_fails(self):
        with pytest.raises(ImportError, match="no such attribute"):
            _probe.bind_type("velarion.mathtools.misc.misc", "Nothing", 16)

    def test_type_bound_with_right_and_wrong_size(self):
        import velarion.mathtools.ellipsoid.ellipsoid as ell_mod

        size = _probe.basicsize(ell_mod.Ellipsoid)
        assert _probe.bind_type("velarion.mathtools.ellipsoid.ellipsoid", "Ellipsoid", size) is ell_mod.Ellipsoid
        with pytest.raises(ValueError, match="size changed"):
            _probe.bind_type("velarion.mathtools.ellipsoid.ellipsoid", "Ellipsoid", size + 8)

    def test_vtable_missing_mistyped_and_short(self):
        import velarion.mathtools.ellipsoid.ellipsoid as ell_mod

        with pytest.raises(ImportError, match="no C-level method table"):
            _probe.bind_vtable(int, "anything", 8)
        with pytest.raises(TypeError, match="was expected"):
            _probe.bind_vtable(ell_mod.Ellipsoid, "struct Wrong", 8)
        # One function-pointer slot: an importer expecting a second is refused.
        assert _probe.bind_vtable(ell_mod.Ellipsoid, ELLIPSOID_VTABLE, 8)
        with pytest.raises(ImportError, match="8 bytes of slots, but 16 were expected"):
            _probe.bind_vtable(ell_mod.Ellipsoid, ELLIPSOID_VTABLE, 16)


ELLIPSOID = "velarion.mathtools.ellipsoid.ellipsoid"
ELLIPSOID_VTABLE = "struct velarion::mathtools::ellipsoid::EllipsoidVTable"
ELLIPSOID_VAR = "velarion.mathtools.ellipsoid.ellipsoid.Ellipsoid *"


class TestBindModule:
    def test_everything_bound_together(self):
        import velarion.mathtools.ellipsoid.ellipsoid as ell_mod

        size = _probe.basicsize(ell_mod.Ellipsoid)
        types, variables, _ = _probe.bind_module(
            ELLIPSOID, [("Ellipsoid", size, ELLIPSOID_VTABLE, 8)], [("WGS84", ELLIPSOID_VAR)], []
        )
        assert types == (ell_mod.Ellipsoid,) and len(variables) == 1 and variables[0] != 0
        _, _, (fn,) = _probe.bind_module("velarion.mathtools.vectools.vectools", [], [], [("mat_x_vec", MAT_X_VEC)])
        assert fn == _probe.bind_capi("velarion.mathtools.vectools.vectools", "mat_x_vec", MAT_X_VEC)

    @pytest.mark.parametrize(
        "types, variables, exc, words",
        [
            ([("Ellipsoid", 0, None, 0)], [("WGS84", ELLIPSOID_VAR)], ValueError, "size changed"),
            ([("Ellipsoid", None, ELLIPSOID_VTABLE, 64)], [], ImportError, "were expected"),
            ([("Ellipsoid", None, None, 0)], [("WGS84", "double *")], TypeError, r"'double \*' was expected"),
            ([("Ellipsoid", None, None, 0)], [("WGS99", ELLIPSOID_VAR)], ImportError, "WGS99"),
            ([("Ellipsoid", None, None, 0), ("Spheroid", 16, None, 0)], [], ImportError, "no such attribute"),
        ],
    )
    def test_one_failure_binds_nothing(self, types, variables, exc, words):
        # The probe itself fails the test if any slot was written before the failure.
        import velarion.mathtools.ellipsoid.ellipsoid as ell_mod

        size = _probe.basicsize(ell_mod.Ellipsoid)
        types = [(n, size if s is None else s, v, vs) for n, s, v, vs in types]
        with pytest.raises(exc, match=words):
            _probe.bind_module(ELLIPSOID, types, variables, [])

    def test_errors_other_than_a_missing_name_pass_through(self, monkeypatch):
        mod = types_module("velarion_probe_raising")

        def __getattr__(name):
            raise RuntimeError(f"lookup of {name} failed")

        mod.__getattr__ = __getattr__
        monkeypatch.setitem(sys.modules, mod.__name__, mod)
        with pytest.raises(RuntimeError, match="lookup of Thing failed"):
            _probe.bind_module(mod.__name__, [("Thing", 16, None, 0)], [], [])
        with pytest.raises(RuntimeError, match="lookup of __capi__ failed"):
            _probe.bind_module(mod.__name__, [], [], [("f", "int")])


def types_module(name):
    import types

    return types.ModuleType(name)


class TestKeywordOnlySignature:
    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            ((1,), {"c": 3}, {"a": 1, "c": 3}),
            ((1, 2), {"c": 3, "d": 4}, {"a": 1, "b": 2, "c": 3, "d": 4}),
            ((), {"a": 1, "c": 3}, {"a": 1, "c": 3}),
        ],
    )
    def test_accepted(self, args, kwargs, expected):
        assert _probe.kwonly(*args, **kwargs) == expected

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1, 2, 3), {"c": 3}, "kwonly() takes from 1 to 2 positional arguments but 3 were given"),
            ((1,), {}, "kwonly() missing required keyword-only argument: 'c'"),
            ((1,), {"c": 3, "e": 5}, "kwonly() got an unexpected keyword argument 'e'"),
            ((1,), {"a": 1, "c": 3}, "kwonly() got multiple values for keyword argument 'a'"),
        ],
    )
    def test_refused_with_pythons_messages(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            _probe.kwonly(*args, **kwargs)
        assert str(info.value) == message


def test_import_into_a_module_namespace():
    import types

    mod = types.ModuleType("velarion_probe_target")
    _probe.import_into(mod, "collections", "deque")
    import collections

    assert mod.deque is collections.deque
    with pytest.raises(ImportError, match="cannot import name 'nothing' from 'collections'"):
        _probe.import_into(mod, "collections", "nothing")


@pytest.mark.parametrize(
    "kind, exc, words",
    [
        ("bad_alloc", MemoryError, r"^out of memory: .+ could not be allocated"),
        ("length_error", MemoryError, r"^out of memory: .+ could not be allocated"),
        ("runtime_error", RuntimeError, "from C++"),
        ("int", RuntimeError, r"unexpected C\+\+ exception"),
    ],
)
def test_cxx_exceptions_become_python_exceptions_at_the_border(kind, exc, words):
    with pytest.raises(exc, match=words):
        _probe.throw(kind)
    assert _probe.throw("none") is None


@pytest.mark.parametrize(
    "dtype, shown",
    [(">f8", "big-endian double"), (">i8", "big-endian long long"), ("<f4", "float"), (np.int64, "long")],
)
def test_dtype_message_shows_the_byte_order(dtype, shown):
    from velarion.frames.frames import get_TEME
    from velarion.time.time import Time

    with pytest.raises(ValueError) as info:
        get_TEME().to_ITRF(Time("2024-01-01"), np.zeros((1, 3), dtype=dtype), np.zeros((1, 3)))
    assert str(info.value) == f"Buffer dtype mismatch, expected 'double' but got '{shown}'"


def test_reinitialisation_refused_in_a_fresh_process():
    code = textwrap.dedent(
        """
        import sys, importlib
        import velarion.mathtools.misc.misc as m
        del sys.modules["velarion.mathtools.misc.misc"]
        try:
            importlib.import_module("velarion.mathtools.misc.misc")
        except RuntimeError as e:
            print("RuntimeError:", e)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "Module 'misc' has already been imported. Re-initialisation is not supported." in out


class TestAtan2Asymmetric:
    @pytest.mark.parametrize(
        "y, x, expected",
        [
            (0.0, 1.0, 0.0),
            (1.0, 0.0, math.pi / 2),
            (0.0, -1.0, math.pi),
            (-1.0, 0.0, 1.5 * math.pi),
            (-1e-300, 1.0, 0.0),
            (1.0, 1.0, math.pi / 4),
            (-1.0, 1.0, 1.75 * math.pi),
        ],
    )
    def test_range_zero_to_two_pi(self, y, x, expected):
        got = misc.atan2_asymmetric(y, x)
        assert 0.0 <= got < 2 * math.pi
        assert got == pytest.approx(expected, abs=1e-15)

    def test_arrays_broadcast_and_agree_with_numpy(self):
        rng = np.random.default_rng(1)
        y = rng.normal(size=(4, 5))
        x = rng.normal(size=5)
        got = misc.atan2_asymmetric(y, x)
        assert got.shape == (4, 5)
        np.testing.assert_allclose(got, np.mod(np.arctan2(y, x), 2 * np.pi), rtol=0, atol=1e-15)

    def test_nan_passes_through(self):
        assert math.isnan(misc.atan2_asymmetric(float("nan"), 1.0))

    @pytest.mark.parametrize("args", [("a", 1.0), (None, 1.0), (1.0,)])
    def test_bad_arguments(self, args):
        with pytest.raises(TypeError):
            misc.atan2_asymmetric(*args)


KWARGS_CLEARED = """
import gc, math
import numpy as np

class Clearing:
    # A number whose conversion clears the keyword dict it was passed in,
    # freeing every value only that dict held.
    def __init__(self, value):
        self.value = value
    def __float__(self):
        for d in gc.get_referrers(self):
            if isinstance(d, dict) and any(v is self for v in d.values()):
                d.clear()
        return self.value

Fresh = type("Fresh", (float,), {})

def fresh(x):
    # A new object that only the keyword dict will hold.
    return Fresh(x)

{body}
print("ok")
"""

KWARGS_CLEARED_CASES = {
    "Ellipsoid": """
from velarion.mathtools.ellipsoid.ellipsoid import Ellipsoid
e = Ellipsoid(a=Clearing(6378137.0), f=fresh(1 / 298.257223563), name="x" * 50)
assert e.f == 1 / 298.257223563 and e.name == "x" * 50
""",
    "ENU": """
from velarion.frames.frames import ENU
# __init__ is handed the same dict, found empty: a clean TypeError then.
try:
    s = ENU(lon=Clearing(0.1), lat=fresh(0.7), alt=fresh(100.0))
except TypeError as e:
    assert "positional arguments (0 given)" in str(e)
""",
    "COE": """
from velarion.state.state import COE
from velarion.time.time import Time
c = COE(Time("2024-01-01"), ecc=Clearing(0.1), sma=fresh(7.0e6), inc=fresh(0.5), raa=fresh(1.0), arp=fresh(2.0),
        tra=fresh(3.0))
assert (c.sma, c.inc, c.raa, c.arp, c.tra) == (7.0e6, 0.5, 1.0, 2.0, 3.0)
""",
    "ELSET": """
from velarion.propagators.analytical.sgp4.tle import ELSET
from velarion.time.time import Time
e = ELSET(epoch=Time("2024-01-01"), inc=Clearing(0.9), raa=fresh(1.0), ecc=fresh(0.001), arp=fresh(2.0),
          mea=fresh(3.0), mnm=fresh(1.1e-3), name="y" * 40)
assert (e.raa, e.ecc, e.name) == (1.0, 0.001, "y" * 40)
""",
}


@pytest.mark.parametrize("name", list(KWARGS_CLEARED_CASES))
def test_constructor_keywords_survive_a_conversion_that_clears_their_dict(name):
    # The values are held by the parser, not borrowed from the keyword dict
    # (a child process: reading a freed value may crash, and the sanitizer
    # build reports it).
    code = KWARGS_CLEARED.replace("{body}", KWARGS_CLEARED_CASES[name])
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 0 and run.stdout.strip() == "ok", run.stderr[-2000:]


SPIN_UNTIL_INTERRUPTED = """
import signal, sys, time
from velarion._core import _probe
# A run started in the background inherits SIGINT ignored: take it back.
signal.signal(signal.SIGINT, signal.default_int_handler)
print("start", flush=True)
t0 = time.monotonic()
try:
    _probe.spin(60.0, {threads})
except KeyboardInterrupt:
    print(f"interrupted {{time.monotonic() - t0:.3f}}", flush=True)
    sys.exit(0)
print("finished", flush=True)
"""


@pytest.mark.parametrize("threads", [1, 2, 5])
def test_long_compiled_work_stops_at_ctrl_c(threads):
    # The work runs without the lock for up to a minute; SIGINT must end it
    # within a few polls, as KeyboardInterrupt, on any number of threads.
    import signal
    import time

    code = SPIN_UNTIL_INTERRUPTED.format(threads=threads)
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout is not None and proc.stdout.readline().strip() == "start"
        time.sleep(0.5)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=30)
        waited = time.monotonic() - sent
    finally:
        proc.kill()
    assert proc.returncode == 0 and out.startswith("interrupted"), err[-2000:]
    assert waited < 10.0, waited


def test_interruptible_work_without_a_signal_runs_every_chunk():
    assert _probe.spin(0.05, 3) == 150
