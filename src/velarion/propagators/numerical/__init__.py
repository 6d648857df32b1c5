"""Numerical orbit propagation: force models integrated in GCRF.

>>> from velarion.propagators.numerical import ForceModel, Numerical
>>> prop = Numerical(ForceModel(degree=20), tolerance=1e-3)
>>> eph = prop.propagate_state(times, state)           # a StateVectorEphemeris in GCRF
>>> eph, stm = prop.propagate_state(times, state, stm=True)
>>> many = prop.propagate_many(times, states)          # threads; many.failures
"""

from velarion.propagators.numerical.gravity import GravityModel, default_gravity_model, read_gfc
from velarion.propagators.numerical.numerical import (
    Event,
    ForceModel,
    ImpulsiveManeuver,
    ManyResult,
    Numerical,
    PropagationError,
    PropagationFailure,
)

__all__ = [
    "Event",
    "ForceModel",
    "GravityModel",
    "ImpulsiveManeuver",
    "ManyResult",
    "Numerical",
    "PropagationError",
    "PropagationFailure",
    "default_gravity_model",
    "read_gfc",
]
