"""velarion.propagators.propagators: the Propagator base class."""

import copy
import ctypes
import pickle

import pytest

from velarion.propagators.propagators import Propagator

VTABLE_TYPE = "struct velarion::propagators::PropagatorVTable"
NO_PICKLE = "no default __reduce__ due to non-trivial __cinit__"


class Echo(Propagator):
    def __init__(self, label="echo"):
        self.label = label

    def propagate_state(self, time, state, **kwargs):
        return self.label, time, state, kwargs


def test_propagate_calls_propagate_state():
    p = Echo("x")
    assert p.propagate(1, 2) == ("x", 1, 2, {})
    assert p.propagate(time=1, state=2, step=60.0) == ("x", 1, 2, {"step": 60.0})
    assert p.propagate(1, state=2, frame="GCRF") == ("x", 1, 2, {"frame": "GCRF"})


@pytest.mark.parametrize(
    "args, kwargs",
    [((1,), {}), ((), {"state": 2}), ((1, 2, 3), {}), ((1, 2), {"time": 3})],
)
def test_propagate_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        Echo().propagate(*args, **kwargs)


def test_base_propagate_state_is_not_implemented():
    with pytest.raises(NotImplementedError):
        Propagator().propagate(1, 2)
    with pytest.raises(NotImplementedError):
        Propagator().propagate_state(1, 2, extra=3)


def test_construction_rules():
    with pytest.raises(TypeError):
        Propagator(1)
    with pytest.raises(TypeError):
        Propagator(GM=1.0)
    assert Echo(label="y").label == "y"  # a subclass's arguments are its own
    with pytest.raises(TypeError):
        Propagator.propagate = None  # immutable type


@pytest.mark.parametrize("obj", [Propagator(), Echo()], ids=["base", "subclass"])
def test_pickling_refused(obj):
    with pytest.raises(TypeError, match=NO_PICKLE):
        pickle.dumps(obj)
    with pytest.raises(TypeError, match=NO_PICKLE):
        copy.copy(obj)


probe = pytest.importorskip("velarion._core._probe")
SLOT = ctypes.PYFUNCTYPE(
    ctypes.c_int,
    ctypes.py_object,
    ctypes.c_double,
    ctypes.POINTER(ctypes.c_double),
    ctypes.POINTER(ctypes.c_double),
    ctypes.POINTER(ctypes.c_double),
)


def _table():
    return probe.bind_vtable(Propagator, VTABLE_TYPE)


def test_layout_and_instances_carry_the_table():
    ptr = ctypes.sizeof(ctypes.c_void_p)
    assert probe.basicsize(Propagator) == 3 * ptr  # PyObject_HEAD + vtab
    table = _table()
    for obj in (Propagator(), Echo()):
        vtab = ctypes.c_void_p.from_address(id(obj) + 2 * ptr).value
        assert vtab == table


@pytest.mark.parametrize("slot, name", [(0, "c_jac_r"), (1, "c_jac_v"), (2, "c_accel")])
def test_base_slots_raise_not_implemented(slot, name):
    fn = SLOT(ctypes.cast(_table(), ctypes.POINTER(ctypes.c_void_p))[slot])
    r = (ctypes.c_double * 3)(7e6, 0, 0)
    v = (ctypes.c_double * 3)(0, 7.5e3, 0)
    out = (ctypes.c_double * 9)()
    with pytest.raises(NotImplementedError, match=name):
        fn(Echo(), 0.0, r, v, out)


def test_binding_checks():
    size = probe.basicsize(Propagator)
    assert probe.bind_type("velarion.propagators.propagators", "Propagator", size) is Propagator
    with pytest.raises(ValueError, match="size changed"):
        probe.bind_type("velarion.propagators.propagators", "Propagator", size + 8)
    with pytest.raises(TypeError):
        probe.bind_vtable(Propagator, "struct Other")
