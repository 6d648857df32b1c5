"""The frame graph as users and other modules meet it: registry and names,
transform tables, route search, multi-hop conversion, PIC/RPC, pickling,
garbage collection, module start-up, method annotations and the C-level
interface."""

import copy
import ctypes
import gc
import inspect
import pickle
import subprocess
import sys
import textwrap
import weakref
from typing import ClassVar

import numpy as np
import pytest

import velarion.frames
from velarion._core import _probe
from velarion.frames import frames as ff

MOD = "velarion.frames.frames"
NO_PICKLE = "no default __reduce__ due to non-trivial __cinit__"
GCRF, ITRF, TEME = ff.get_GCRF(), ff.get_ITRF(), ff.get_TEME()


@pytest.fixture(autouse=True)
def restore_graph():
    """Every test leaves the registry and the singletons' tables as it found them."""
    registry = dict(ff.Frame._instances)
    tables = {f: (f._transforms, dict(f._transforms)) for f in (GCRF, ITRF, TEME)}
    yield
    ff.Frame._instances.clear()
    ff.Frame._instances.update(registry)
    for f, (table, content) in tables.items():
        table.clear()
        table.update(content)
        f._transforms = table


def frames(n):
    return [ff.Frame() for _ in range(n)]


def rv(n=2):
    r = np.arange(3.0 * n).reshape(n, 3) + 7e6
    return r, r * 1e-3


class Recorder:
    """A conversion callable that records its calls and returns new arrays."""

    def __init__(self, scale=2.0):
        self.scale, self.calls, self.outputs = scale, [], []

    def __call__(self, time, r, v):
        self.calls.append((time, r, v))
        self.outputs.append((np.asarray(r) * self.scale, np.asarray(v) * self.scale))
        return self.outputs[-1]


def link(*edges):
    for a, b in edges:
        a.register_transform(b, Recorder())


class TestRegistry:
    def test_start_up_state(self):
        assert list(ff.Frame._instances) == ["GCRF", "TEME", "ITRF"]
        assert [f.name for f in (GCRF, TEME, ITRF)] == ["GCRF", "TEME", "ITRF"]
        assert (type(GCRF), type(TEME), type(ITRF)) == (ff._GCRF, ff._TEME, ff._ITRF)
        assert GCRF.transforms() == {} and ITRF.transforms() == {} and TEME.transforms() == {}
        assert not any(hasattr(ff, name) for name in ("GCRF", "ITRF", "TEME"))
        assert ff.get_ITRF() is ff.Frame["ITRF"] and ff.get_TEME() is ff.Frame["teme"]
        assert repr(GCRF).startswith(f"<{MOD}._GCRF object at 0x")
        assert ff.Frame.__hash__.__doc__ == "Frame.__hash__(self) -> int\nReturn a hash for the Frame instance."

    @pytest.mark.parametrize("name", ["gcrf", "GcRf", "GCRF"])
    def test_lookup_is_case_insensitive(self, name):
        assert ff.Frame[name] is GCRF and ff._TEME[name] is GCRF and ff.Frame.is_frame(name) is True

    def test_unknown_name(self):
        with pytest.raises(KeyError) as info:
            ff.Frame["enu"]
        assert info.value.args == ("ENU",) and ff.Frame.is_frame("enu") is False

    @pytest.mark.parametrize("bad", [5, None, b"GCRF", type("S", (str,), {})("GCRF")])
    def test_item_must_be_exactly_str(self, bad):
        for call in (lambda: ff.Frame[bad], lambda: ff.Frame.is_frame(bad)):
            with pytest.raises(TypeError, match=r"^Argument 'item' has incorrect type \(expected str, got"):
                call()

    def test_names_follow_the_registry(self):
        f = ff.Frame()
        assert f.name == "Unnamed" and ff._TEME().name == "Unnamed"
        ff.Frame._instances["LOCAL"] = f
        ff.Frame._instances["ALIAS"] = f
        assert f.name == "LOCAL" and ff.Frame["local"] is f and ff.Frame.is_frame("Local")
        del ff.Frame._instances["LOCAL"], ff.Frame._instances["GCRF"]
        assert f.name == "ALIAS" and GCRF.name == "Unnamed" and ff.get_GCRF() is GCRF
        ff.Frame._instances["BAD"] = 42
        with pytest.raises(TypeError):
            ff.Frame["bad"]

    def test_identity_hash_and_construction(self):
        a, b = ff.Frame(1, 2, x=3), ff.Frame()
        assert type(a) is ff.Frame and a.transforms() == {} == b.transforms()
        assert a != b and a == a and hash(a) == hash(a) != hash(b)


class TestTransformTable:
    def test_transforms_attribute(self):
        f = ff.Frame()
        assert f.transforms() is f.transforms() is f._transforms
        f._transforms = "anything"
        with pytest.raises(TypeError, match=r"^Expected dict, got str$"):
            f.transforms()
        del f._transforms
        assert f._transforms is None and f.transforms() is None
        with pytest.raises(TypeError):
            f.register_transform(GCRF, print)

    def test_no_dict_no_weakrefs_but_subclasses_have_both(self):
        for f in (ff.Frame(), GCRF):
            with pytest.raises(AttributeError):
                f.label = 1
            with pytest.raises(TypeError):
                weakref.ref(f)
        m = type("Mine", (ff.Frame,), {})()
        m.label = 1
        assert weakref.ref(m)() is m and m.transforms() == {}

    def test_register_replace_remove(self):
        f, a, b = frames(3)
        f.register_transform(a, "first")
        f.register_transform(target_frame=b, transform="b")
        f.transforms()[a] = "second"
        assert list(f.transforms().items()) == [(a, "second"), (b, "b")]
        f.remove_transform(a)
        with pytest.raises(KeyError) as info:
            f.remove_transform(target_frame=a)
        assert info.value.args == (a,) and list(f.transforms()) == [b]

    @pytest.mark.parametrize("bad", [None, "GCRF", 3])
    def test_target_frame_type(self, bad):
        expected = f"Argument 'target_frame' has incorrect type (expected {MOD}.Frame, got {type(bad).__name__})"
        for call in (lambda: ff.Frame().register_transform(bad, print), lambda: ff.Frame().remove_transform(bad)):
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == expected


class TestRoute:
    def test_route_to_self_reads_no_table(self):
        f = ff.Frame()
        f._transforms = 5  # reading it would fail
        assert ff.Frame.get_route(f, f) == [f] and GCRF.get_route(GCRF, "gcrf") == [GCRF]

    def test_standard_and_enu_routes(self):
        velarion.frames.register_standard_transforms()
        assert ff.Frame.get_route(GCRF, "teme") == [GCRF, ITRF, TEME]
        assert GCRF.get_route("Teme", GCRF) == [TEME, ITRF, GCRF]
        e = ff.ENU(0.1, 0.2, 10.0)
        assert ff.Frame.get_route(e, TEME) == [e, ITRF, TEME] and ff.Frame.get_route(GCRF, e) == [GCRF, ITRF, e]

    @pytest.mark.parametrize("first", ["B", "C"])
    def test_tie_break_follows_insertion_order(self, first):
        A, B, C, D = frames(4)
        link(*(((A, B), (A, C)) if first == "B" else ((A, C), (A, B))), (B, D), (C, D))
        assert ff.Frame.get_route(A, D) == [A, B if first == "B" else C, D]

    def test_fewest_edges_and_path_fixed_at_discovery(self):
        A, B, C, D, E = frames(5)
        link((A, B), (A, C), (C, D), (B, D), (D, E), (B, C), (C, A))
        assert ff.Frame.get_route(A, E) == [A, B, D, E]  # D first reached through B
        link((A, E))
        assert ff.Frame.get_route(A, E) == [A, E]
        assert ff.Frame.get_route(A, E) is not ff.Frame.get_route(A, E)

    def test_no_route(self):
        with pytest.raises(ValueError) as info:
            ff.Frame.get_route(ff.Frame(), GCRF)
        assert str(info.value) == "No route found from routh from Unnamed to GCRF"
        with pytest.raises(ValueError, match=r"^No route found from routh from GCRF to ITRF$"):
            ff.Frame.get_route("GCRF", "ITRF")  # start-up registers no edge
        A, B = frames(2)
        link((A, B), (B, A))
        with pytest.raises(ValueError, match="No route"):
            ff.Frame.get_route(A, ff.Frame())

    def test_unregistered_names_source_first(self):
        for args, missing in ((("nowhere", "elsewhere"), "NOWHERE"), ((GCRF, "elsewhere"), "ELSEWHERE")):
            with pytest.raises(KeyError) as info:
                ff.Frame.get_route(*args)
            assert info.value.args == (missing,)

    def test_tables_read_through_transforms(self):
        hidden = type("Hidden", (ff.Frame,), {"transforms": lambda self: {GCRF: Recorder()}})()
        assert ff.Frame.get_route(hidden, GCRF) == [hidden, GCRF]
        A, B = frames(2)
        link((A, B))
        del B._transforms
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'keys'"):
            ff.Frame.get_route(A, GCRF)
        B._transforms = {"not a frame": 1}
        with pytest.raises(AttributeError, match="transforms"):
            ff.Frame.get_route(A, GCRF)


class TestTransformTo:
    def test_same_frame_gives_views_of_callers_arrays(self):
        r, v = rv()
        rm, vm = GCRF.transform_to(GCRF, None, r, v)
        assert isinstance(rm, memoryview) and rm.ndim == 2 and rm.format == "d"
        np.asarray(rm)[0, 0] = -1.0
        assert r[0, 0] == -1.0 and np.shares_memory(np.asarray(vm), v)

    def test_hops_get_the_time_and_views_and_result_views_last_outputs(self):
        A, B, C = frames(3)
        ab, bc = Recorder(2.0), Recorder(3.0)
        A.register_transform(B, ab)
        B.register_transform(C, bc)
        r, v = rv()
        t = object()
        rm, vm = A.transform_to(frame=C, time=t, r=r[:, ::-1], v=v)
        (t1, r1, _), (t2, r2, _) = ab.calls + bc.calls
        assert t1 is t and t2 is t and isinstance(r1, memoryview)
        assert np.shares_memory(np.asarray(r1), r) and np.shares_memory(np.asarray(r2), ab.outputs[0][0])
        assert np.shares_memory(np.asarray(rm), bc.outputs[0][0]) and np.shares_memory(np.asarray(vm), bc.outputs[0][1])
        np.testing.assert_array_equal(np.asarray(rm), r[:, ::-1] * 6.0)

    @pytest.mark.parametrize(
        "bad, exc, message",
        [
            (np.zeros(3), ValueError, r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"),
            (
                np.zeros((1, 3), dtype=np.int64),
                ValueError,
                r"^Buffer dtype mismatch, expected 'double' but got 'long'$",
            ),
            (np.zeros((1, 3), dtype=np.float32), ValueError, r"expected 'double' but got 'float'$"),
            ([[0.0, 0.0, 0.0]], TypeError, "not 'list'"),
        ],
    )
    def test_buffers_refused_before_any_search(self, bad, exc, message):
        for args in ((bad, np.zeros((1, 3))), (np.zeros((1, 3)), bad)):
            with pytest.raises(exc, match=message):
                ff.Frame().transform_to("NOWHERE", None, *args)

    @pytest.mark.parametrize("layout", ["read-only", "broadcast", "read-only strided"])
    def test_read_only_and_broadcast_inputs_are_read_like_writable_ones(self, layout):
        # Inputs are only read: each hop gets a writable view of a private copy.
        A, B = frames(2)
        ab = Recorder(2.0)
        A.register_transform(B, ab)
        r, v = rv()
        given = {
            "read-only": lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
            "broadcast": lambda a: np.broadcast_to(a[:1], a.shape),
            "read-only strided": lambda a: np.lib.stride_tricks.as_strided(a[:, ::-1], writeable=False),
        }[layout]
        expected = [np.ascontiguousarray(given(x)) for x in (r, v)]
        before = [x.copy() for x in (r, v)]
        rm, vm = A.transform_to(B, None, given(r), given(v))
        ((_, r1, v1),) = ab.calls
        assert not r1.readonly and not v1.readonly
        np.testing.assert_array_equal(np.asarray(rm), expected[0] * 2.0)
        np.testing.assert_array_equal(np.asarray(vm), expected[1] * 2.0)
        for x, y in zip((r, v), before, strict=True):
            np.testing.assert_array_equal(x, y)

    @pytest.mark.parametrize(
        "result, message",
        [
            ((1, 2, 3), r"^too many values to unpack \(expected 2\)$"),
            (iter([np.zeros((1, 3))] * 3), r"^too many values to unpack \(expected 2\)$"),
            ([np.zeros((1, 3))], r"^need more than 1 value to unpack$"),
            (iter([]), r"^need more than 0 values to unpack$"),
            ((np.zeros(3), np.zeros((1, 3))), r"wrong number of dimensions \(expected 2, got 1\)"),
            ((np.zeros((1, 3)), np.zeros((1, 3), np.int32)), r"expected 'double' but got 'int'"),
        ],
    )
    def test_bad_results(self, result, message):
        A, B = frames(2)
        A.register_transform(B, lambda t, r, v: result)
        with pytest.raises(ValueError, match=message):
            A.transform_to(B, None, *rv())

    def test_tables_changed_during_the_conversion(self):
        A, B, C = frames(3)
        bc = Recorder()

        def ab(t, r, v):
            B.remove_transform(C)  # the hop B -> C is gone: B's arrays are not C's
            A.register_transform(ff.Frame(), "added")
            return np.asarray(r) * 2.0, np.asarray(v) * 2.0

        A.register_transform(B, ab)
        B.register_transform(C, bc)
        r, v = rv()
        with pytest.raises(KeyError) as info:
            A.transform_to(C, None, r, v)
        assert info.value.args == (C,) and bc.calls == [] and len(A.transforms()) == 2
        A.register_transform(B, lambda t, r, v: (delattr(B, "_transforms"), (r, v))[1])
        B.register_transform(C, bc)
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
            A.transform_to(C, None, r, v)

    def test_route_fixed_when_found(self):
        # A callable that empties the list get_route returned: the conversion
        # still goes all the way, not stopping at B with B's arrays.
        B, C = frames(2)
        route = []
        A = type("Listed", (ff.Frame,), {"get_route": classmethod(lambda cls, s, t: route)})()
        route += [A, B, C]
        bc = Recorder(3.0)
        A.register_transform(B, lambda t, r, v: (route.clear(), (np.asarray(r) * 2.0, np.asarray(v) * 2.0))[1])
        B.register_transform(C, bc)
        r, v = rv()
        rm, _ = A.transform_to(C, None, r, v)
        assert len(bc.calls) == 1
        np.testing.assert_array_equal(np.asarray(rm), r * 6.0)

    def test_route_elements_must_be_frames_and_errors_propagate(self):
        odd = type("Odd", (ff.Frame,), {"get_route": classmethod(lambda cls, s, t: [s, "GCRF"])})
        with pytest.raises(TypeError, match="Frame"):
            odd().transform_to(GCRF, None, *rv())
        A, B = frames(2)
        A.register_transform(B, lambda t, r, v: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            A.transform_to(B, None, *rv())


def test_register_standard_transforms_is_idempotent():
    for _ in range(2):
        velarion.frames.register_standard_transforms()
        assert list(GCRF.transforms()) == [ITRF] and list(ITRF.transforms()) == [GCRF, TEME]
        assert list(TEME.transforms()) == [ITRF]
    assert GCRF.transforms()[ITRF] == GCRF.to_ITRF and TEME.transforms()[ITRF] == TEME.to_ITRF
    assert ITRF.transforms()[GCRF] == ITRF.to_GCRF and ITRF.transforms()[TEME] == ITRF.to_TEME


def _library_computation(name):
    from velarion.conjunctions.catalogue import sample_catalogue
    from velarion.passes import Station, find_passes, look_angles, sunlit
    from velarion.propagators.analytical.sgp4 import load_tles
    from velarion.time.time import Time

    tle = load_tles(sample_catalogue(2, "2024-03-20", seed=11))[0]
    station = Station(67.857, 20.964, 402.0, "Kiruna")
    time = Time("2024-03-20") + np.arange(0.0, 86400.0, 613.0)
    return {
        "look_angles": lambda: [np.asarray(x) for x in look_angles(tle, station, time)],
        "find_passes": lambda: [repr(p) for p in find_passes(tle, station, "2024-03-20", 86400.0)],
        "sunlit": lambda: [sunlit(tle, time)],
    }[name]


@pytest.mark.parametrize("name", ["look_angles", "find_passes", "sunlit"])
def test_library_computations_neither_use_nor_change_the_callers_graph(name):
    compute = _library_computation(name)
    velarion.frames.register_standard_transforms()
    expected = compute()

    def callers_own(t, r, v):
        raise AssertionError("the caller's edge was taken")

    try:
        TEME.register_transform(ITRF, callers_own)
        GCRF.remove_transform(ITRF)
        got = compute()
        assert TEME.transforms() == {ITRF: callers_own}
        assert ITRF not in GCRF.transforms()
    finally:
        velarion.frames.register_standard_transforms()
    assert len(got) == len(expected) and expected
    for a, b in zip(got, expected, strict=True):
        np.testing.assert_array_equal(a, b)


class TestPicRpc:
    def test_bare_frames(self):
        a = np.arange(6.0).reshape(2, 3)
        made = [ff.PIC(), ff.PIC(1, x=2), ff.RPC(None, a, a, None), ff.RPC(time=None, r=a, v=a, frame=GCRF)]
        assert all(f.transforms() == {} and f.name == "Unnamed" for f in made)
        np.testing.assert_array_equal(a, np.arange(6.0).reshape(2, 3))
        assert ff.PIC.__doc__ == "Pseudo-Radial, in-track, cross-track"
        assert ff.RPC.__doc__ == "Radial, Pseudo-in-track, Cross-track"
        with pytest.raises(ValueError, match="No route found from routh from ITRF to Unnamed"):
            ff.Frame.get_route(ITRF, made[0])
        link((ITRF, made[0]))
        assert ff.Frame.get_route(ITRF, made[0]) == [ITRF, made[0]]

    @pytest.mark.parametrize(
        "args, kwargs, exc, words",
        [
            ((None, "a", "a"), {}, TypeError, "exactly 4"),
            ((None, "a", "a", None, None), {}, TypeError, "exactly 4"),
            ((None, "a", "a", None), {"r": 1}, TypeError, "multiple values"),
            (("2024", "a", "a", None), {}, TypeError, "Argument 'time'"),
            ((None, "a", "a", "GCRF"), {}, TypeError, "Argument 'frame'"),
            ((None, "ro", "a", None), {}, ValueError, "read-only"),
            ((None, "a", "int", None), {}, ValueError, "dtype mismatch"),
            (("bad time", "flat", "a", "bad frame"), {}, ValueError, "dimensions"),  # buffers first
        ],
    )
    def test_rpc_checks(self, args, kwargs, exc, words):
        arrays = {"a": np.zeros((2, 3)), "ro": np.zeros((2, 3)), "int": np.zeros((2, 3), int), "flat": np.zeros(3)}
        arrays["ro"].flags.writeable = False
        with pytest.raises(exc, match=words):
            ff.RPC(*(arrays.get(x, x) if isinstance(x, str) else x for x in args), **kwargs)


def _enu():
    e = ff.ENU(0.0, 0.0, 0.0)
    ITRF.remove_transform(e)
    return e


@pytest.mark.parametrize(
    "make",
    [
        ff.Frame,
        ff.get_GCRF,
        ff.get_ITRF,
        ff.get_TEME,
        _enu,
        ff.PIC,
        lambda: ff.RPC(None, np.zeros((1, 3)), np.zeros((1, 3)), None),
    ],
    ids=["Frame", "GCRF", "ITRF", "TEME", "ENU", "PIC", "RPC"],
)
def test_pickling_and_copying_refused(make):
    f = make()
    for action in (pickle.dumps, copy.copy, copy.deepcopy, lambda x: x.__setstate__({})):
        with pytest.raises(TypeError) as info:
            action(f)
        assert str(info.value) == NO_PICKLE


class TestGarbageCollection:
    def test_frames_in_cycles_are_collected(self):
        Mine = type("Mine", (ff.Frame,), {"convert": lambda self, t, r, v: (r, v)})
        a, b = Mine(), Mine()
        a.register_transform(b, b.convert)
        b.register_transform(a, a.convert)
        refs = [weakref.ref(a), weakref.ref(b)]
        del a, b
        gc.collect()
        assert [r() for r in refs] == [None, None]

    def test_dropped_enu_lives_while_registered_with_itrf(self):
        s = type("Station", (ff.ENU,), {})(0.3, 0.4, 5.0)
        assert s.ell in gc.get_referents(s) and s.transforms() in gc.get_referents(s)
        ref = weakref.ref(s)
        del s
        gc.collect()
        assert ref() in ITRF.transforms()
        ITRF.remove_transform(ref())
        gc.collect()
        assert ref() is None

    @pytest.mark.parametrize("scenario", ["frames", "method wrappers"])
    def test_objects_cleared_by_the_collector_stay_safe(self, scenario):
        # The collector's clear empties an object's owned fields; code that
        # still reaches it (a finaliser elsewhere in the cycle, shutdown) must
        # get None or an exception, not a crash.
        out = _run(
            _TP_CLEAR
            + {
                "frames": """
f = ff.Frame()
tp_clear(f)
assert f._transforms is None and f.transforms() is None and f.name == "Unnamed"
refused(lambda: f.register_transform(ff.get_GCRF(), None), "does not support item assignment")
e = ff.ENU(0.1, 0.2, 3.0)
ff.get_ITRF().remove_transform(e)
r = np.array([[1.0, 2.0, 3.0]])
before = e.to_ITRF(None, r, r)
tp_clear(e)
assert e.ell is None and e.transforms() is None
after = e.to_ITRF(None, r, r)
assert all((a == b).all() for a, b in zip(before, after)) and e.rot_to_ITRF().shape == (3, 3)
""",
                "method wrappers": """
e = ff.ENU(0.1, 0.2, 3.0)
method, klass, function = ff.ENU.__dict__["rot_to_ITRF"], ff.Frame.__dict__["is_frame"].__func__, ff.get_GCRF
for w in (method, klass, function):
    tp_clear(w)
assert "rot_to_ITRF" in repr(method) and method.__objclass__ is None and method.__annotations__ is None
refused(lambda: e.rot_to_ITRF(), "ENU.rot_to_ITRF() cannot be called: its class was cleared")
refused(lambda: klass(ff.Frame, "gcrf"), "Frame.is_frame() cannot be called: its class was cleared")
assert function.__self__ is None and function() is ff.Frame["GCRF"]
""",
            }[scenario]
            + "print('ok')"
        )
        assert out == "ok\n"


# Prelude of the tests that call a type's tp_clear as the collector would
# (CPython 3.11 type layout, checked on tp_flags first).
_TP_CLEAR = """
import ctypes
import numpy as np
from velarion.frames import frames as ff

def tp_clear(obj):
    words = (ctypes.c_size_t * 25).from_address(id(type(obj)))
    assert words[21] == type(obj).__flags__
    assert ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(words[24])(obj) == 0

def refused(call, text):
    try:
        call()
    except TypeError as e:
        assert text in str(e), e
    else:
        raise AssertionError("accepted")
"""


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True).stdout


def test_reinitialisation_and_second_interpreter_refused():
    out = _run(
        """
        import sys, importlib, _xxsubinterpreters as interpreters
        import velarion.frames.frames
        del sys.modules["velarion.frames.frames"]
        try:
            importlib.import_module("velarion.frames.frames")
        except RuntimeError as e:
            print("RuntimeError:", e)
        try:
            interpreters.run_string(interpreters.create(), "import velarion.frames.frames")
        except Exception as e:
            print(type(e).__name__, e)
        """
    )
    assert "RuntimeError: Module 'frames' has already been imported. Re-initialisation is not supported." in out
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in out


_ARR, _PAIR, _NAME = "ndarray[double]", "tuple[ndarray, 2]", "Frame | str"


def _conv(frm):
    return {"time": "DatetimeLike", f"r_{frm}": _ARR, f"v_{frm}": _ARR, "return": _PAIR}


# (class, method, annotations with "return" last, summary line, is a class method)
ANNOTATED = [
    (ff.Frame, "__class_getitem__", {"item": str, "return": "Frame"}, "Get a registered Frame instance by name.", True),
    (
        ff.Frame,
        "is_frame",
        {"item": str, "return": "bool"},
        "Check if a frame with the given name is registered.",
        True,
    ),
    (
        ff.Frame,
        "get_route",
        {"source": _NAME, "target": _NAME, "return": "list[Frame]"},
        "Find a sequence of frames (route) from source to target frame.",
        True,
    ),
    (
        ff.Frame,
        "transforms",
        {"return": "dict[Frame, Callable]"},
        "Return the dictionary of direct transforms from this frame.",
        False,
    ),
    (
        ff.Frame,
        "register_transform",
        {"target_frame": "Frame", "transform": "Callable", "return": "None"},
        "Register a direct transformation from this frame to a target frame.",
        False,
    ),
    (
        ff.Frame,
        "remove_transform",
        {"target_frame": "Frame", "return": "None"},
        "Remove the direct transformation from this frame to a target frame.",
        False,
    ),
    (
        ff.Frame,
        "transform_to",
        {"frame": _NAME, "time": "DatetimeLike", "r": _ARR, "v": _ARR, "return": _PAIR},
        "Transform position and velocity vectors to another frame.",
        False,
    ),
    (ff._GCRF, "to_ITRF", _conv("GCRF"), "Transform position and velocity from GCRF to ITRF.", False),
    (ff._ITRF, "to_GCRF", _conv("ITRF"), "Transform position and velocity from ITRF to GCRF.", False),
    (ff._ITRF, "to_TEME", _conv("ITRF"), "Transform position and velocity from ITRF to TEME.", False),
    (ff._TEME, "to_ITRF", _conv("TEME"), "Transform position and velocity from TEME to ITRF.", False),
    (ff.ENU, "to_ITRF", _conv("ENU"), "Transform position and velocity from ENU to ITRF.", False),
    (ff.ENU, "from_ITRF", _conv("ITRF"), "Transform position and velocity from ITRF to ENU.", False),
    (ff.ENU, "rot_to_ITRF", {"return": _ARR}, "Compute the rotation matrix from ENU to ITRF.", False),
    (ff.ENU, "rot_from_ITRF", {"return": _ARR}, "Compute the rotation matrix from ITRF to ENU.", False),
]


def _owner(cls, on):
    """The class itself, its instance (the singleton of a standard frame), or
    an instance of a Python subclass."""
    if on == "class":
        return cls
    if on == "instance" and cls in (ff._GCRF, ff._ITRF, ff._TEME):
        return {ff._GCRF: GCRF, ff._ITRF: ITRF, ff._TEME: TEME}[cls]
    make = cls if on == "instance" else type("Sub", (cls,), {})
    if cls is ff.ENU:
        e = make(0.0, 0.0, 0.0)
        ITRF.remove_transform(e)
        return e
    return make()


class TestAnnotations:
    @pytest.mark.parametrize(
        "cls, name, expected, summary, classmethod_", ANNOTATED, ids=[f"{c.__name__}.{n}" for c, n, *_ in ANNOTATED]
    )
    @pytest.mark.parametrize("on", ["class", "instance", "subclass instance"])
    def test_signature_and_annotations(self, cls, name, expected, summary, classmethod_, on):
        method = getattr(_owner(cls, on), name)
        assert method.__annotations__ == expected
        assert list(method.__annotations__) == list(expected)  # parameter order, then "return"
        sig = inspect.signature(method)
        params = {k: v for k, v in expected.items() if k != "return"}
        # Only an instance method reached through the class keeps its first parameter.
        first = ["self"] if on == "class" and not classmethod_ else []
        assert list(sig.parameters) == first + list(params)
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
        assert {k: p.annotation for k, p in sig.parameters.items() if k in params} == params
        assert sig.return_annotation == expected["return"]
        assert method.__name__ == name and method.__qualname__ == f"{cls.__name__}.{name}"
        assert method.__module__ == MOD
        # The docstrings keep their signature line, then the summary line.
        lines = method.__doc__.splitlines()
        assert lines[0].startswith(f"{cls.__name__}.{name}(") and lines[1] == summary

    @pytest.mark.parametrize("name", ["__class_getitem__", "is_frame", "get_route"])
    def test_class_methods_bind_to_the_class(self, name):
        Sub = type("Sub", (ff.Frame,), {})
        assert isinstance(ff.Frame.__dict__[name], classmethod)
        for owner, cls in ((ff.Frame, ff.Frame), (Sub, Sub), (GCRF, ff._GCRF), (Sub(), Sub)):
            assert getattr(owner, name).__self__ is cls
        assert next(iter(inspect.signature(ff.Frame.__dict__[name].__func__).parameters)) == "cls"

    def test_class_methods_receive_the_class_they_are_called_on(self):
        f = ff.Frame()
        Sub = type("Sub", (ff.Frame,), {"_instances": {"X": f}})
        # is_frame reads the registry as reached from its class, Frame[...]
        # always Frame's own.
        assert Sub.is_frame("x") and Sub().is_frame("x") and not ff.Frame.is_frame("x")
        with pytest.raises(KeyError):
            Sub["x"]
        assert Sub["gcrf"] is GCRF and Sub.get_route("gcrf", GCRF) == [GCRF]
        raw = ff.Frame.__dict__["is_frame"].__func__
        assert raw(Sub, "x") is True
        for bad, message in ((5, "needs a type, not a 'int'"), (int, "requires a subtype of"), (None, "needs a type")):
            with pytest.raises(TypeError, match=message):
                raw(bad, "x")
        with pytest.raises(TypeError, match="needs an argument"):
            raw()

    def test_calls_through_the_class_and_their_refusals(self):
        e = _enu()
        np.testing.assert_array_equal(ff.ENU.rot_to_ITRF(e), e.rot_from_ITRF().T)
        assert ff.Frame.transforms(GCRF) is GCRF.transforms()
        r, v = rv(1)
        cases = [
            (lambda: e.rot_to_ITRF(1), r"^ENU\.rot_to_ITRF\(\) takes no arguments \(1 given\)$"),
            (lambda: GCRF.transforms(a=1), r"^Frame\.transforms\(\) takes no keyword arguments$"),
            (lambda: ff.ENU.rot_from_ITRF(), r"^unbound method ENU\.rot_from_ITRF\(\) needs an argument$"),
            (lambda: ff._GCRF.to_ITRF(), r"^unbound method _GCRF\.to_ITRF\(\) needs an argument$"),
            (
                lambda: ff.ENU.rot_to_ITRF(GCRF),
                rf"^descriptor 'rot_to_ITRF' for '{MOD}\.ENU' objects doesn't apply to a '{MOD}\._GCRF' object$",
            ),
            (
                lambda: ff._ITRF.to_GCRF(GCRF, None, r, v),
                rf"^descriptor 'to_GCRF' for '{MOD}\._ITRF' objects doesn't apply to a '{MOD}\._GCRF' object$",
            ),
            (lambda: ff.Frame.transform_to(1, GCRF, None, r, v), "doesn't apply to a 'int' object"),
            (lambda: GCRF.to_ITRF(), r"^to_ITRF\(\) takes exactly 3 positional arguments \(0 given\)$"),
        ]
        for call, message in cases:
            with pytest.raises(TypeError, match=message):
                call()

    def test_bound_conversions_registered_by_enu(self):
        e = ff.ENU(0.1, 0.2, 3.0)
        try:
            to_itrf, from_itrf = e.transforms()[ITRF], ITRF.transforms()[e]
            assert to_itrf == e.to_ITRF and to_itrf.__self__ is e and from_itrf.__self__ is e
            assert inspect.signature(to_itrf) == inspect.signature(e.to_ITRF)
            r = np.array([[1.0, 2.0, 3.0]])
            back = from_itrf(None, *to_itrf(None, r, r))
            np.testing.assert_allclose(back[0], r, atol=1e-8)
        finally:
            ITRF.remove_transform(e)

    def test_module_functions_keep_their_docstring_signatures(self):
        for name in ("get_GCRF", "get_TEME", "get_ITRF"):
            f = getattr(ff, name)
            assert f.__doc__ == f"{name}() -> Frame"
            assert f.__annotations__ == {"return": "Frame"} and str(inspect.signature(f)) == "() -> 'Frame'"
            assert f.__name__ == f.__qualname__ == name and f.__module__ == MOD and f.__self__ is ff
            assert f() is ff.Frame[name[4:]] and repr(f) == f"<built-in function {name}>"
            # Read from a class it is not bound, as a builtin function.
            assert type("Holder", (), {"get": f})().get() is f()
            for args, kwargs, message in (
                ((1,), {}, r"takes no arguments \(1 given\)"),
                ((), {"x": 1}, "takes no keyword arguments"),
            ):
                with pytest.raises(TypeError, match=rf"^{name}\(\) {message}$"):
                    f(*args, **kwargs)


class TestCLevelInterface:
    # PyObject_HEAD (16) + _transforms (8), then the table pointer (8), then ell (8) and 6 doubles.
    SIZES: ClassVar[dict[str, int]] = {"Frame": 24, "_GCRF": 32, "_ITRF": 32, "_TEME": 32, "ENU": 88}

    @pytest.mark.parametrize("name", list(SIZES))
    def test_types_bind_with_their_layout_size(self, name):
        size = self.SIZES[name]
        assert _probe.bind_type(MOD, name, size) is getattr(ff, name)
        with pytest.raises(ValueError, match="size changed"):
            _probe.bind_type(MOD, name, size - 8)
        table = {"_GCRF": "GCRFVTable", "_ITRF": "ITRFVTable", "_TEME": "TEMEVTable", "ENU": "ENUVTable"}.get(name)
        if table is None:
            with pytest.raises(ImportError):
                _probe.bind_vtable(getattr(ff, name), "struct velarion::frames::GCRFVTable")
        else:
            assert _probe.bind_vtable(getattr(ff, name), f"struct velarion::frames::{table}") != 0
            with pytest.raises(TypeError, match="was expected"):
                _probe.bind_vtable(getattr(ff, name), "struct velarion::frames::Other")

    @pytest.mark.parametrize("name", ["GCRF", "ITRF", "TEME"])
    def test_variables_hold_the_singletons(self, name):
        addr = _probe.bind_capi(MOD, name, f"{MOD}._{name} *")
        assert ctypes.c_void_p.from_address(addr).value == id(getattr(ff, f"get_{name}")())
        with pytest.raises(TypeError, match="was expected"):
            _probe.bind_capi(MOD, name, "PyObject *")
        assert list(ff.__capi__) == ["GCRF", "ITRF", "TEME"]

    def test_python_names_in_the_namespace(self):
        import collections
        import typing

        import velarion.iers
        import velarion.typing

        assert ff.numpy is np and ff.deque is collections.deque and ff.Callable is typing.Callable
        assert ff.EOP is velarion.iers.EOP and ff.DatetimeLike is velarion.typing.DatetimeLike

    @pytest.mark.parametrize("bound", ["callback", "raising"])
    def test_enu_calls_a_bound_mat_x_vec_that_is_not_vectools_own(self, bound):
        # mat_x_vec is replaced in vectools' C-level interface before frames
        # binds it: by a ctypes callback that doubles the product (and frees
        # the block of the positions being converted), or by a C function
        # that leaves an exception pending (PyErr_NoMemory, called with
        # arguments it ignores).
        out = _run(
            f"""
            import ctypes
            import numpy as np
            import velarion.mathtools.vectools.vectools as vt

            PD = ctypes.POINTER(ctypes.c_double)
            calls = []

            @ctypes.CFUNCTYPE(None, PD, PD, PD)
            def doubled(m, v, out):
                calls.append(1)
                if len(calls) == 1:  # Python code in the loop: the input's block is freed and reused
                    r.resize((100000, 3), refcheck=False)
                    junk.extend(np.full(9, 99.0) for _ in range(100))
                for i in range(3):
                    out[i] = 2.0 * sum(m[3 * i + j] * v[j] for j in range(3))

            new = ctypes.pythonapi.PyCapsule_New
            new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
            name = ctypes.create_string_buffer(b"void (double (*)[3], double *, double *)")
            fn = doubled if "{bound}" == "callback" else ctypes.pythonapi.PyErr_NoMemory
            vt.__capi__["mat_x_vec"] = new(ctypes.cast(fn, ctypes.c_void_p).value, name, None)

            from velarion.frames import frames as ff
            e = ff.ENU(0.3, 0.5, 10.0)
            R = e.rot_to_ITRF()
            r0 = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 9.0]])
            r, junk = r0.copy(), []
            try:
                ro, vo = e.to_ITRF(None, r, r0)
                r = r0
                rb, vb = e.from_ITRF(None, ro, vo)
                print(len(calls), np.allclose(vo, 2 * r @ R.T), np.allclose(ro, 2 * r @ R.T + e.r_station_ITRF),
                      np.allclose(vb, 4 * r))
            except MemoryError:
                print("MemoryError")
            """
        )
        assert out.split() == (["12", "True", "True", "True"] if bound == "callback" else ["MemoryError"])
