"""The Satellite object: argument checks, stored values, setters, GC, pickling."""

import copy
import gc
import pickle
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

satmod = pytest.importorskip("velarion.satellite.satellite")
from velarion.propagators.analytical.keplerian.keplerian import Keplerian  # noqa: E402
from velarion.propagators.propagators import Propagator  # noqa: E402
from velarion.state.ephemeris import StateVectorEphemeris  # noqa: E402
from velarion.time.time import Time  # noqa: E402

Satellite = satmod.Satellite
EPOCH = "2024-03-20T12:00:00"


class Str(str):
    pass


class PropagatorSubclass(Keplerian):
    pass


def test_constructor_keeps_its_arguments():
    t = Time(EPOCH) + np.arange(3.0)
    state = object()
    prop = Keplerian()
    eph = StateVectorEphemeris(t, np.ones((3, 3)), np.zeros((3, 3)))
    s = Satellite(t, state, prop, eph, "  ISS (ZARYA) ", "\tcrewed\n")
    assert s.name == "ISS (ZARYA)" and s.description == "crewed"
    assert s.state is state and s.propagator is prop and s.ephemeris is eph
    assert isinstance(s.time, Time) and s.time is s.time
    assert np.all(s.time == t)
    bare = Satellite(t, None)
    assert bare.name is None and bare.description is None
    assert bare.propagator is None and bare.ephemeris is None and bare.state is None
    by_keyword = Satellite(state=state, time=EPOCH, description="", name="x", propagator=PropagatorSubclass())
    assert by_keyword.name == "x" and by_keyword.description == ""
    assert isinstance(by_keyword.propagator, Propagator)


class CountingEpochs:
    """Epochs that count how often they are converted to an array."""

    calls = 0

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]

    def __array__(self, dtype=None, copy=None):
        CountingEpochs.calls += 1
        return self.values


def conversions(fn):
    CountingEpochs.calls = 0
    fn()
    return CountingEpochs.calls


def test_time_is_called_once_with_the_raw_argument():
    epochs = CountingEpochs(np.array(["2024-03-20T12:00", "2024-03-21T12:00"], dtype="datetime64[s]"))
    per_time_call = conversions(lambda: Time(epochs))
    assert per_time_call >= 1
    holder = []
    assert conversions(lambda: holder.append(Satellite(epochs, None))) == per_time_call
    s = holder[0]
    assert type(s.time) is Time and s.time is s.time
    assert np.all(s.time == Time(epochs.values))
    # A refused argument stops the construction before Time is called.
    with pytest.raises(TypeError, match="'propagator'"):
        conversions(lambda: Satellite(epochs, None, propagator=5))
    assert CountingEpochs.calls == 0
    with pytest.raises(ValueError):
        Satellite("not a date", None)


@pytest.mark.parametrize(
    "kwargs, named",
    [
        ({"propagator": 5}, "propagator"),
        ({"propagator": "Keplerian"}, "propagator"),
        ({"ephemeris": np.zeros((3, 3))}, "ephemeris"),
        ({"name": 5}, "name"),
        ({"name": Str("x")}, "name"),
        ({"description": b"text"}, "description"),
        ({"description": Str("x")}, "description"),
        # The first failing check wins, in the order propagator, ephemeris, name, description.
        ({"propagator": 5, "ephemeris": 5, "name": 5}, "propagator"),
        ({"ephemeris": 5, "name": 5, "description": 5}, "ephemeris"),
        ({"name": 5, "description": 5}, "name"),
    ],
)
def test_argument_checks_come_before_time(kwargs, named):
    # A time that Time refuses: any error but the type check would be Time's.
    with pytest.raises(TypeError, match=f"'{named}'"):
        Satellite("not a date", None, **kwargs)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((EPOCH,), {}),
        ((), {"state": 1}),
        ((EPOCH, None, None, None, "a", "b", 7), {}),
        ((EPOCH, None), {"colour": "red"}),
        ((EPOCH, None), {"time": EPOCH}),
    ],
)
def test_bad_argument_lists(args, kwargs):
    with pytest.raises(TypeError):
        Satellite(*args, **kwargs)


@pytest.mark.parametrize(
    "value, stored",
    [("  Hubble  ", "Hubble"), ("a  b", "a  b"), ("", ""), ("   ", ""), (None, "None"), ("\n x\t", "x")],
)
@pytest.mark.parametrize("attr", ["name", "description"])
def test_setters_strip_and_turn_none_into_text(attr, value, stored):
    s = Satellite(EPOCH, None, name="before", description="before")
    setattr(s, attr, value)
    assert getattr(s, attr) == stored and type(getattr(s, attr)) is str


@pytest.mark.parametrize("value", [Str("x"), 5, b"x", ["x"]])
@pytest.mark.parametrize("attr", ["name", "description"])
def test_setters_refuse_other_types_and_keep_the_value(attr, value):
    s = Satellite(EPOCH, None, name="kept", description="kept")
    with pytest.raises(TypeError, match="'value'"):
        setattr(s, attr, value)
    assert getattr(s, attr) == "kept"


@pytest.mark.parametrize("attr", ["name", "description"])
def test_deletion_refused(attr):
    s = Satellite(EPOCH, None, name="n", description="d")
    with pytest.raises(NotImplementedError, match=r"^__del__$"):
        delattr(s, attr)
    assert getattr(s, attr) in ("n", "d")


@pytest.mark.parametrize("attr", ["time", "state", "propagator", "ephemeris"])
def test_read_only_properties(attr):
    s = Satellite(EPOCH, None)
    with pytest.raises(AttributeError):
        setattr(s, attr, None)


def test_no_instance_dict_subclassing_and_no_docstring():
    s = Satellite(EPOCH, None)
    with pytest.raises(AttributeError):
        s.colour = "red"
    assert Satellite.__doc__ is None
    blank = Satellite.__new__(Satellite)
    assert all(getattr(blank, a) is None for a in ("time", "name", "description", "state", "propagator", "ephemeris"))

    class Named(Satellite):
        def __init__(self, time, state):
            super().__init__(time, state, name="sub")

    assert Named(EPOCH, None).name == "sub"
    assert Satellite.time.__doc__ == "Satellite.time: Time"
    assert Satellite.name.__doc__ == "Satellite.name: str | None"
    assert Satellite.description.__doc__ == "Satellite.description: str | None"


def test_pickling_refused():
    s = Satellite(EPOCH, None)
    for attempt in (lambda: pickle.dumps(s), lambda: copy.deepcopy(s), lambda: s.__setstate__(None)):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            attempt()


def test_reference_cycles_are_collected():
    class SearchedSatellite(Satellite):
        pass

    class Holder:
        pass

    holder = Holder()
    s = SearchedSatellite(EPOCH, holder)
    holder.sat = s  # satellite -> state -> satellite
    ref = weakref.ref(s)
    del s, holder
    gc.collect()
    assert ref() is None


def test_module_namespace():
    import typing

    from velarion.typing import DatetimeLike

    assert satmod.Iterable is typing.Iterable and satmod.DatetimeLike is DatetimeLike


def test_import_fails_on_an_incompatible_ephemeris():
    code = textwrap.dedent("""
        import sys, types
        fake = types.ModuleType("velarion.state.ephemeris")
        fake.Ephemeris = type("Ephemeris", (), {})
        sys.modules[fake.__name__] = fake
        try:
            import velarion.satellite.satellite
        except Exception as exc:
            print("FAILED", type(exc).__name__, exc)
        else:
            print("IMPORTED")
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.startswith("FAILED ValueError"), out.stdout + out.stderr
    assert "Ephemeris size changed" in out.stdout
