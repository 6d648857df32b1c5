"""Two-body (Keplerian) propagation and the two-body Jacobian."""

from typing import Any

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Self

from velarion.propagators.propagators import Propagator
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.state.state import State
from velarion.typing import DatetimeLike

class Keplerian(Propagator):
    """Keplerian (two-body) orbit propagator."""

    def __new__(cls, GM: float = ...) -> Self: ...
    @property
    def GM(self) -> float: ...
    def propagate(self, time: DatetimeLike, state: State, **kwargs: Any) -> StateVectorEphemeris: ...
    def propagate_state(self, time: DatetimeLike, state: State, **kwargs: Any) -> StateVectorEphemeris: ...
    def jacobian(self, eph: StateVectorEphemeris) -> NDArray[np.float64]:
        """The 6x6 Jacobian of the two-body dynamics at each epoch, shape (N, 6, 6)."""
