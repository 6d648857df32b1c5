"""The compiled core of the numerical propagator."""

from typing import Any

import numpy as np
from numpy.typing import NDArray
from typing_extensions import Self

from velarion.propagators.propagators import Propagator

_F64 = NDArray[np.float64]

class _Numerical(Propagator):
    def __new__(
        cls,
        C: _F64,
        S: _F64,
        GM: float,
        radius: float,
        degree: int,
        order: int,
        integrator: int,
        tolerance: float,
        step: float,
        max_step: float,
        max_steps: int,
        terms: _F64,
    ) -> Self: ...
    @property
    def degree(self) -> int: ...
    @property
    def order(self) -> int: ...
    @property
    def tolerance(self) -> float: ...
    @property
    def step(self) -> float: ...
    def _propagate(
        self,
        tt0: _F64,
        y0: _F64,
        dt: _F64,
        eop_first: int,
        eop_values: _F64,
        ephemeris: _F64 | None,
        stm: bool | int,
        threads: int,
        events: _F64 | None,
        weather: _F64 | None,
    ) -> tuple[_F64, _F64 | None, _F64, _F64, _F64, _F64, _F64, list[_F64], _F64 | None]: ...
    def _acceleration(
        self,
        tt: _F64,
        r: _F64,
        v: _F64,
        eop_first: int,
        eop_values: _F64,
        ephemeris: _F64 | None,
        partials: bool,
        weather: _F64 | None,
    ) -> tuple[_F64, _F64 | None, _F64 | None, _F64]: ...
    def _gravity_itrf(self, r: _F64, partials: bool) -> tuple[_F64, _F64 | None]: ...

def dop853_tableau() -> tuple[_F64, _F64, _F64, _F64, _F64, _F64]: ...
def __getattr__(name: str) -> Any: ...
