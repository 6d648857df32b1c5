"""The frame graph as users and other modules meet it: the registry and
names, transform tables, route search, multi-hop conversion, module start-up,
pickling, garbage collection and the C-level interface."""

import copy
import ctypes
import gc
import pickle
import subprocess
import sys
import textwrap
import weakref

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
    for f, (obj, content) in tables.items():
        obj.clear()
        obj.update(content)
        f._transforms = obj


@pytest.fixture
def standard_edges():
    velarion.frames.register_standard_transforms()


def rv(n=2):
    r = np.arange(3.0 * n).reshape(n, 3) + 7e6
    return r, r * 1e-3


class Recorder:
    """A conversion callable that records its calls and returns fresh arrays."""

    def __init__(self, scale=2.0):
        self.calls = []
        self.scale = scale
        self.outputs = []

    def __call__(self, time, r, v):
        self.calls.append((time, r, v))
        out = (np.asarray(r) * self.scale, np.asarray(v) * self.scale)
        self.outputs.append(out)
        return out


# ---------------------------------------------------------------------------
# Registry, names, identity


class TestRegistry:
    def test_start_up_state(self):
        assert list(ff.Frame._instances) == ["GCRF", "TEME", "ITRF"]
        assert [f.name for f in (GCRF, TEME, ITRF)] == ["GCRF", "TEME", "ITRF"]
        assert type(GCRF) is ff._GCRF and type(ITRF) is ff._ITRF and type(TEME) is ff._TEME
        for name in ("_GCRF", "_ITRF", "_TEME", "ENU", "PIC", "RPC", "Frame", "get_GCRF", "get_TEME", "get_ITRF"):
            assert hasattr(ff, name)
        for name in ("GCRF", "ITRF", "TEME"):
            assert not hasattr(ff, name)

    @pytest.mark.parametrize("name", ["gcrf", "GcRf", "GCRF"])
    def test_lookup_is_case_insensitive(self, name):
        assert ff.Frame[name] is GCRF
        assert ff.Frame.is_frame(name) is True

    def test_unknown_name(self):
        with pytest.raises(KeyError) as info:
            ff.Frame["enu"]
        assert info.value.args == ("ENU",)
        assert ff.Frame.is_frame("enu") is False

    @pytest.mark.parametrize("bad", [5, None, b"GCRF", type("S", (str,), {})("GCRF")])
    def test_item_must_be_exactly_str(self, bad):
        for call in (lambda: ff.Frame[bad], lambda: ff.Frame.is_frame(bad)):
            with pytest.raises(TypeError, match=r"Argument 'item' has incorrect type \(expected str, got"):
                call()

    def test_user_entries_and_first_name_wins(self):
        f = ff.Frame()
        assert f.name == "Unnamed"
        ff.Frame._instances["LOCAL"] = f
        assert f.name == "LOCAL" and ff.Frame["local"] is f and ff.Frame.is_frame("Local")
        ff.Frame._instances["ALIAS"] = f
        assert f.name == "LOCAL"
        del ff.Frame._instances["LOCAL"]
        assert f.name == "ALIAS"

    def test_registry_is_shared_by_subclasses_and_frame_lookup_uses_frame(self):
        assert ff._GCRF._instances is ff.Frame._instances is ff.ENU._instances
        assert ff._TEME["itrf"] is ITRF

    def test_registry_value_must_be_a_frame(self):
        ff.Frame._instances["BAD"] = 42
        with pytest.raises(TypeError):
            ff.Frame["bad"]
        ff.Frame._instances["NONE"] = None
        assert ff.Frame["none"] is None

    def test_accessors_survive_registry_changes(self):
        del ff.Frame._instances["GCRF"]
        assert ff.get_GCRF() is GCRF and GCRF.name == "Unnamed"
        assert ff.get_ITRF() is ff.Frame["ITRF"] and ff.get_TEME() is ff.Frame["TEME"]

    def test_new_standard_instance_is_unnamed(self):
        t = ff._TEME()
        assert t is not TEME and t.name == "Unnamed" and t.transforms() == {}

    def test_identity_and_hash(self):
        a, b = ff.Frame(), ff.Frame()
        assert a != b and a == a
        assert hash(a) == hash(a) and hash(a) != hash(b)
        assert {a: 1, b: 2}[a] == 1
        assert ff.Frame.__hash__.__doc__.startswith("Frame.__hash__(self) -> int")
        assert "Return a hash for the Frame instance." in ff.Frame.__hash__.__doc__
        assert repr(GCRF).startswith("<velarion.frames.frames._GCRF object at 0x")

    def test_constructor_ignores_arguments(self):
        f = ff.Frame(1, 2, x=3)
        assert type(f) is ff.Frame and f.transforms() == {}


class TestTransformTable:
    def test_transforms_attribute(self):
        f = ff.Frame()
        table = f.transforms()
        assert f.transforms() is table is f._transforms
        f._transforms = "anything"
        assert f._transforms == "anything"
        with pytest.raises(TypeError, match="^Expected dict, got str$"):
            f.transforms()
        del f._transforms
        assert f._transforms is None and f.transforms() is None
        with pytest.raises(TypeError):
            f.register_transform(GCRF, print)

    def test_no_other_attributes_no_weakrefs(self):
        f = ff.Frame()
        with pytest.raises(AttributeError):
            f.label = 1
        with pytest.raises(TypeError):
            weakref.ref(f)
        with pytest.raises(AttributeError):
            GCRF.extra = 1

        class Mine(ff.Frame):
            pass

        m = Mine()
        m.label = 1
        assert weakref.ref(m)() is m and m.transforms() == {}

    def test_register_replaces_in_place_and_remove(self):
        f, a, b = ff.Frame(), ff.Frame(), ff.Frame()
        f.register_transform(a, "first")
        f.register_transform(b, "b")
        f.register_transform(a, "second")
        assert list(f.transforms().items()) == [(a, "second"), (b, "b")]
        f.remove_transform(a)
        with pytest.raises(KeyError) as info:
            f.remove_transform(a)
        assert info.value.args == (a,)
        assert list(f.transforms()) == [b]

    def test_direct_dict_changes_are_edges(self):
        f = ff.Frame()
        f.transforms()[GCRF] = Recorder()
        assert ff.Frame.get_route(f, GCRF) == [f, GCRF]

    @pytest.mark.parametrize("bad", [None, "GCRF", 3])
    @pytest.mark.parametrize("method", ["register", "remove"])
    def test_target_frame_type(self, bad, method):
        f = ff.Frame()
        call = (lambda: f.register_transform(bad, print)) if method == "register" else (lambda: f.remove_transform(bad))
        expected = f"Argument 'target_frame' has incorrect type (expected {MOD}.Frame, got {type(bad).__name__})"
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == expected

    def test_keywords(self):
        f = ff.Frame()
        f.register_transform(target_frame=GCRF, transform=1)
        f.remove_transform(target_frame=GCRF)
        assert f.transforms() == {}


# ---------------------------------------------------------------------------
# Route search


def chain(*edges):
    for a, b in edges:
        a.register_transform(b, Recorder())


class TestRoute:
    def test_route_to_self_reads_no_table(self):
        f = ff.Frame()
        f._transforms = 5  # would fail if it were read
        assert ff.Frame.get_route(f, f) == [f]
        assert ff.Frame.get_route(GCRF, GCRF) == [GCRF]

    def test_standard_routes(self, standard_edges):
        assert ff.Frame.get_route(GCRF, TEME) == [GCRF, ITRF, TEME]
        assert ff.Frame.get_route("teme", "Gcrf") == [TEME, ITRF, GCRF]
        assert GCRF.get_route(GCRF, ITRF) == ff.Frame.get_route(GCRF, "itrf") == [GCRF, ITRF]

    def test_enu_routes(self, standard_edges):
        e = ff.ENU(0.1, 0.2, 10.0)
        try:
            assert ff.Frame.get_route(e, TEME) == [e, ITRF, TEME]
            assert ff.Frame.get_route(GCRF, e) == [GCRF, ITRF, e]
        finally:
            ITRF.remove_transform(e)

    @pytest.mark.parametrize("first", ["B", "C"])
    def test_tie_break_follows_insertion_order(self, first):
        A, B, C, D = (ff.Frame() for _ in range(4))
        n = {"B": B, "C": C}
        other = C if first == "B" else B
        chain((A, n[first]), (A, other), (B, D), (C, D))
        assert ff.Frame.get_route(A, D) == [A, n[first], D]

    def test_fewest_edges_win_over_insertion_order(self):
        A, B, C, D = (ff.Frame() for _ in range(4))
        chain((A, B), (B, C), (C, D), (A, D))
        assert ff.Frame.get_route(A, D) == [A, D]

    def test_path_fixed_at_first_discovery(self):
        # D is reached from B (enqueued first) although C also leads to it.
        A, B, C, D, E = (ff.Frame() for _ in range(5))
        chain((A, B), (A, C), (C, D), (B, D), (D, E))
        assert ff.Frame.get_route(A, E) == [A, B, D, E]

    def test_routes_are_new_lists(self):
        A, B = ff.Frame(), ff.Frame()
        chain((A, B))
        r1, r2 = ff.Frame.get_route(A, B), ff.Frame.get_route(A, B)
        assert r1 == r2 and r1 is not r2

    def test_no_route_message(self):
        with pytest.raises(ValueError) as info:
            ff.Frame.get_route(ff.Frame(), GCRF)
        assert str(info.value) == "No route found from routh from Unnamed to GCRF"
        with pytest.raises(ValueError, match="^No route found from routh from GCRF to ITRF$"):
            ff.Frame.get_route("GCRF", "ITRF")  # start-up registers no edge

    def test_cycle_and_back_edge_terminate(self):
        A, B, C = ff.Frame(), ff.Frame(), ff.Frame()
        chain((A, B), (B, A))
        with pytest.raises(ValueError, match="No route"):
            ff.Frame.get_route(A, C)

    def test_unregistered_names_source_first(self):
        with pytest.raises(KeyError) as info:
            ff.Frame.get_route("nowhere", "elsewhere")
        assert info.value.args == ("NOWHERE",)
        with pytest.raises(KeyError) as info:
            ff.Frame.get_route(GCRF, "elsewhere")
        assert info.value.args == ("ELSEWHERE",)

    def test_subclass_transforms_override_is_used(self):
        class Hidden(ff.Frame):
            def transforms(self):
                return {GCRF: Recorder()}

        h = Hidden()
        assert ff.Frame.get_route(h, GCRF) == [h, GCRF]

    def test_deleted_table_and_non_frame_keys(self):
        A, B = ff.Frame(), ff.Frame()
        chain((A, B))
        del B._transforms
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'keys'"):
            ff.Frame.get_route(A, GCRF)
        A.transforms()["not a frame"] = Recorder()
        B._transforms = {}
        with pytest.raises(AttributeError, match="transforms"):
            ff.Frame.get_route(A, GCRF)


# ---------------------------------------------------------------------------
# Multi-hop conversion


class TestTransformTo:
    def test_same_frame_returns_views_of_callers_arrays(self):
        r, v = rv()
        rm, vm = GCRF.transform_to(GCRF, None, r, v)
        assert isinstance(rm, memoryview) and rm.ndim == 2 and rm.format == "d"
        ra = np.asarray(rm)
        assert np.shares_memory(ra, r) and np.shares_memory(np.asarray(vm), v)
        ra[0, 0] = -1.0
        assert r[0, 0] == -1.0

    def test_hops_in_order_with_same_time_and_views(self):
        A, B, C = ff.Frame(), ff.Frame(), ff.Frame()
        ab, bc = Recorder(2.0), Recorder(3.0)
        A.register_transform(B, ab)
        B.register_transform(C, bc)
        r, v = rv()
        t = object()
        rm, vm = A.transform_to(C, t, r, v)
        (t1, r1, v1), = ab.calls
        (t2, r2, v2), = bc.calls
        assert t1 is t and t2 is t
        assert isinstance(r1, memoryview) and np.shares_memory(np.asarray(r1), r)
        assert np.shares_memory(np.asarray(r2), ab.outputs[0][0])
        out_r = np.asarray(rm)
        assert np.shares_memory(out_r, bc.outputs[0][0]) and np.shares_memory(np.asarray(vm), bc.outputs[0][1])
        np.testing.assert_array_equal(out_r, r * 6.0)
        np.testing.assert_array_equal(np.asarray(vm), v * 6.0)

    def test_names_and_keywords(self, standard_edges):
        A = ff.Frame()
        rec = Recorder()
        A.register_transform(GCRF, rec)
        r, v = rv()
        A.transform_to(frame="gcrf", time=None, r=r, v=v)
        assert len(rec.calls) == 1

    @pytest.mark.parametrize(
        "r, message",
        [
            (np.zeros(3), r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"),
            (np.zeros((1, 1, 3)), r"^Buffer has wrong number of dimensions \(expected 2, got 3\)$"),
            (np.zeros((1, 3), dtype=np.int64), r"^Buffer dtype mismatch, expected 'double' but got 'long'$"),
            (np.zeros((1, 3), dtype=np.float32), r"^Buffer dtype mismatch, expected 'double' but got 'float'$"),
        ],
    )
    def test_buffer_errors_before_search(self, r, message):
        with pytest.raises(ValueError, match=message):
            ff.Frame().transform_to(GCRF, None, r, np.zeros((1, 3)))
        with pytest.raises(ValueError, match=message):
            ff.Frame().transform_to(GCRF, None, np.zeros((1, 3)), r)

    def test_read_only_and_non_buffers_refused_before_search(self):
        ro = np.zeros((1, 3))
        ro.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            ff.Frame().transform_to("NOWHERE", None, ro, np.zeros((1, 3)))
        with pytest.raises(TypeError):
            ff.Frame().transform_to("NOWHERE", None, [[0.0, 0.0, 0.0]], np.zeros((1, 3)))
        with pytest.raises(KeyError):
            ff.Frame().transform_to("NOWHERE", None, np.zeros((1, 3)), np.zeros((1, 3)))

    def test_any_strides_accepted(self):
        A, B = ff.Frame(), ff.Frame()
        rec = Recorder()
        A.register_transform(B, rec)
        big = np.arange(36.0).reshape(6, 6)
        r = big[::2, 1:4]
        rm, _ = A.transform_to(B, None, r, big[::3, ::2])
        np.testing.assert_array_equal(np.asarray(rm), r * 2)

    @pytest.mark.parametrize(
        "result, message",
        [
            ((1, 2, 3), r"^too many values to unpack \(expected 2\)$"),
            ([np.zeros((1, 3))], r"^need more than 1 value to unpack$"),
            ((), r"^need more than 0 values to unpack$"),
            (iter([np.zeros((1, 3))] * 3), r"^too many values to unpack \(expected 2\)$"),
            (iter([]), r"^need more than 0 values to unpack$"),
            ((np.zeros(3), np.zeros((1, 3))), r"wrong number of dimensions \(expected 2, got 1\)"),
            ((np.zeros((1, 3)), np.zeros((1, 3), np.int32)), r"dtype mismatch, expected 'double' but got 'int'"),
        ],
    )
    def test_bad_results(self, result, message):
        A, B = ff.Frame(), ff.Frame()
        A.register_transform(B, lambda t, r, v: result)
        with pytest.raises(ValueError, match=message):
            A.transform_to(B, None, *rv())

    def test_generic_two_item_iterable_accepted(self):
        A, B = ff.Frame(), ff.Frame()
        a, b = np.ones((2, 3)), np.full((2, 3), 2.0)
        A.register_transform(B, lambda t, r, v: iter([a, b]))
        rm, vm = A.transform_to(B, None, *rv())
        assert np.shares_memory(np.asarray(rm), a) and np.shares_memory(np.asarray(vm), b)

    def test_callable_error_propagates_and_edges_stay(self):
        A, B, C = ff.Frame(), ff.Frame(), ff.Frame()

        def boom(t, r, v):
            A.register_transform(ff.Frame(), "added")
            raise ZeroDivisionError("inside")

        A.register_transform(B, boom)
        with pytest.raises(ZeroDivisionError, match="inside"):
            A.transform_to(B, None, *rv())
        assert len(A.transforms()) == 2

    def test_edge_removed_mid_route_is_skipped(self):
        A, B, C = ff.Frame(), ff.Frame(), ff.Frame()
        bc = Recorder(3.0)

        def ab(t, r, v):
            B.remove_transform(C)
            return np.asarray(r) * 2.0, np.asarray(v) * 2.0

        A.register_transform(B, ab)
        B.register_transform(C, bc)
        r, v = rv()
        rm, _ = A.transform_to(C, None, r, v)
        assert bc.calls == []
        np.testing.assert_array_equal(np.asarray(rm), r * 2.0)

    def test_table_deleted_mid_route(self):
        A, B, C = ff.Frame(), ff.Frame(), ff.Frame()

        def ab(t, r, v):
            del B._transforms
            return r, v

        A.register_transform(B, ab)
        B.register_transform(C, Recorder())
        with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'items'"):
            A.transform_to(C, None, *rv())

    def test_route_elements_must_be_frames(self):
        class Odd(ff.Frame):
            @classmethod
            def get_route(cls, source, target):
                return [source, "GCRF"]

        with pytest.raises(TypeError, match="Frame"):
            Odd().transform_to(GCRF, None, *rv())


# ---------------------------------------------------------------------------
# Standard edges helper


def test_register_standard_transforms_is_idempotent():
    assert GCRF.transforms() == {} and ITRF.transforms() == {} and TEME.transforms() == {}
    for _ in range(2):
        velarion.frames.register_standard_transforms()
        assert list(GCRF.transforms()) == [ITRF]
        assert list(ITRF.transforms()) == [GCRF, TEME]
        assert list(TEME.transforms()) == [ITRF]
    assert GCRF.transforms()[ITRF] == GCRF.to_ITRF
    assert ITRF.transforms()[GCRF] == ITRF.to_GCRF and ITRF.transforms()[TEME] == ITRF.to_TEME
    assert TEME.transforms()[ITRF] == TEME.to_ITRF
    assert velarion.frames.register_standard_transforms.__doc__


# ---------------------------------------------------------------------------
# PIC and RPC


class TestPicRpc:
    def test_pic(self):
        assert ff.PIC().transforms() == {} and ff.PIC(1, x=2).transforms() == {}
        assert ff.PIC.__doc__ == "Pseudo-Radial, in-track, cross-track"
        assert ff.RPC.__doc__ == "Radial, Pseudo-in-track, Cross-track"

    def test_rpc_accepts_and_keeps_nothing(self):
        a = np.arange(6.0).reshape(2, 3)
        f = ff.RPC(None, a, a, None)
        g = ff.RPC(time=None, r=a, v=a, frame=GCRF)
        assert f.transforms() == {} and g.transforms() == {} and f.name == "Unnamed"
        np.testing.assert_array_equal(a, np.arange(6.0).reshape(2, 3))

    @pytest.mark.parametrize(
        "args, kwargs, exc, words",
        [
            ((None, "a", "a"), {}, TypeError, "exactly 4"),
            ((None, "a", "a", None, None), {}, TypeError, "exactly 4"),
            ((None, "a", "a", None), {"r": 1}, TypeError, "multiple values"),
            ((None, "a", "a", None), {"x": 1}, TypeError, "unexpected keyword"),
            (("2024", "a", "a", None), {}, TypeError, "Argument 'time'"),
            ((None, "a", "a", "GCRF"), {}, TypeError, "Argument 'frame'"),
            ((None, "ro", "a", None), {}, ValueError, "read-only"),
            ((None, "a", "int", None), {}, ValueError, "dtype mismatch"),
            ((None, "a", "flat", None), {}, ValueError, "dimensions"),
        ],
    )
    def test_rpc_checks(self, args, kwargs, exc, words):
        arrays = {"a": np.zeros((2, 3)), "ro": np.zeros((2, 3)), "int": np.zeros((2, 3), int), "flat": np.zeros(3)}
        arrays["ro"].flags.writeable = False
        args = tuple(arrays.get(x, x) if isinstance(x, str) and x in arrays else x for x in args)
        with pytest.raises(exc, match=words):
            ff.RPC(*args, **kwargs)

    def test_rpc_check_order_buffers_first(self):
        with pytest.raises(ValueError, match="dimensions"):
            ff.RPC("bad time", np.zeros(3), np.zeros((1, 3)), "bad frame")

    def test_no_route_until_registered(self):
        p = ff.PIC()
        with pytest.raises(ValueError, match="No route found from routh from ITRF to Unnamed"):
            ff.Frame.get_route(ITRF, p)
        ITRF.register_transform(p, Recorder())
        assert ff.Frame.get_route(ITRF, p) == [ITRF, p]


# ---------------------------------------------------------------------------
# Pickling, copying, garbage collection


def _enu():
    e = ff.ENU(0.0, 0.0, 0.0)
    ITRF.remove_transform(e)
    return e


@pytest.mark.parametrize(
    "make",
    [ff.Frame, ff.get_GCRF, ff.get_ITRF, ff.get_TEME, ff._GCRF, _enu, ff.PIC,
     lambda: ff.RPC(None, np.zeros((1, 3)), np.zeros((1, 3)), None)],
    ids=["Frame", "GCRF", "ITRF", "TEME", "_GCRF()", "ENU", "PIC", "RPC"],
)
def test_pickling_and_copying_refused(make):
    f = make()
    for action in (pickle.dumps, copy.copy, copy.deepcopy, lambda x: x.__reduce__(), lambda x: x.__setstate__({})):
        with pytest.raises(TypeError) as info:
            action(f)
        assert str(info.value) == NO_PICKLE


class TestGarbageCollection:
    def test_frames_in_cycles_are_collected(self):
        class Mine(ff.Frame):
            def convert(self, t, r, v):
                return r, v

        a, b = Mine(), Mine()
        a.register_transform(b, b.convert)
        b.register_transform(a, a.convert)
        refs = [weakref.ref(a), weakref.ref(b)]
        del a, b
        gc.collect()
        assert [r() for r in refs] == [None, None]

    def test_traversal_reaches_table(self):
        f = ff.Frame()
        assert f.transforms() in gc.get_referents(f)
        e = _enu()
        referents = gc.get_referents(e)
        assert e.ell in referents and e.transforms() in referents

    def test_dropped_enu_lives_while_registered_with_itrf(self):
        class Station(ff.ENU):
            pass

        s = Station(0.3, 0.4, 5.0)
        ref = weakref.ref(s)
        del s
        gc.collect()
        assert ref() is not None and ref() in ITRF.transforms()
        ITRF.remove_transform(ref())
        gc.collect()
        assert ref() is None

    def test_plain_enu_collected_after_removal(self):
        before = len(ITRF.transforms())
        e = ff.ENU(0.3, 0.4, 5.0)
        ell = e.ell
        count = sys.getrefcount(ell)
        ITRF.remove_transform(e)
        del e
        gc.collect()
        assert len(ITRF.transforms()) == before
        assert sys.getrefcount(ell) == count - 1


# ---------------------------------------------------------------------------
# Module start-up and the C-level interface


def _run(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_reinitialisation_refused():
    out = _run(
        """
        import sys, importlib
        import velarion.frames.frames
        del sys.modules["velarion.frames.frames"]
        try:
            importlib.import_module("velarion.frames.frames")
        except RuntimeError as e:
            print("RuntimeError:", e)
        """
    )
    assert "RuntimeError: Module 'frames' has already been imported. Re-initialisation is not supported." in out.stdout


def test_second_interpreter_refused():
    out = _run(
        """
        import _xxsubinterpreters as interpreters
        import velarion.frames.frames
        iid = interpreters.create()
        try:
            interpreters.run_string(iid, "import velarion.frames.frames")
        except Exception as e:
            print(type(e).__name__, e)
        """
    )
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in out.stdout


class TestCLevelInterface:
    LAYOUT = {"Frame": 24, "_GCRF": 32, "_ITRF": 32, "_TEME": 32, "ENU": 88, "PIC": 24, "RPC": 24}
    TABLES = {"_GCRF": "GCRFVTable", "_ITRF": "ITRFVTable", "_TEME": "TEMEVTable", "ENU": "ENUVTable"}

    @pytest.mark.parametrize("name", ["Frame", "_GCRF", "_ITRF", "_TEME", "ENU", "PIC", "RPC"])
    def test_layout_sizes(self, name):
        # PyObject_HEAD (16) + _transforms (8) [+ table pointer (8)] [+ ell, 3 + 3 doubles]
        size = self.LAYOUT[name]
        assert _probe.basicsize(getattr(ff, name)) == size
        assert _probe.bind_type(MOD, name, size) is getattr(ff, name)
        with pytest.raises(ValueError, match="size changed"):
            _probe.bind_type(MOD, name, size - 8)

    @pytest.mark.parametrize("name", ["_GCRF", "_ITRF", "_TEME", "ENU"])
    def test_method_tables(self, name):
        cls = getattr(ff, name)
        assert _probe.bind_vtable(cls, f"struct velarion::frames::{self.TABLES[name]}") != 0
        with pytest.raises(TypeError, match="was expected"):
            _probe.bind_vtable(cls, "struct velarion::frames::Other")
        with pytest.raises(ImportError):
            _probe.bind_vtable(ff.Frame, "struct velarion::frames::GCRFVTable")

    @pytest.mark.parametrize("name, getter", [("GCRF", ff.get_GCRF), ("ITRF", ff.get_ITRF), ("TEME", ff.get_TEME)])
    def test_variables_hold_the_singletons(self, name, getter):
        addr = _probe.bind_capi(MOD, name, f"{MOD}._{name} *")
        assert ctypes.c_void_p.from_address(addr).value == id(getter())
        with pytest.raises(TypeError, match="was expected"):
            _probe.bind_capi(MOD, name, "PyObject *")
        assert list(ff.__capi__) == ["GCRF", "ITRF", "TEME"]

    def test_python_imports_in_namespace(self):
        import collections
        import typing

        import velarion.iers
        import velarion.typing

        assert ff.numpy is np and ff.deque is collections.deque and ff.Callable is typing.Callable
        assert ff.EOP is velarion.iers.EOP and ff.DatetimeLike is velarion.typing.DatetimeLike

    def test_type_names_and_docstrings(self):
        assert ff.Frame.__module__ == MOD and ff._GCRF.__qualname__ == "_GCRF"
        assert ff.Frame.__doc__.startswith("Abstract base class for reference frames and coordinate systems.")
        assert ff._GCRF.__doc__.startswith("Geocentric Celestial Reference Frame (GCRF).")
        assert ff._ITRF.__doc__.startswith("International Terrestrial Reference Frame (ITRF).")
        assert ff._TEME.__doc__.startswith("True Equator Mean Equinox Frame (TEME).")
        assert ff.ENU.__doc__.startswith(
            "ENU(double lon: float, double lat: float, double alt: float, Ellipsoid ell: Ellipsoid = WGS84) -> None"
        )
        assert ff.get_GCRF.__doc__ == "get_GCRF() -> Frame"
        assert "Find a sequence of frames (route) from source to target frame." in ff.Frame.get_route.__doc__
        assert "Transform position and velocity from GCRF to ITRF." in ff._GCRF.to_ITRF.__doc__
