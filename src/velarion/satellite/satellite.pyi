"""The Satellite object."""

from typing import Any
from typing import Iterable as Iterable  # noqa: UP035 - the module's namespace holds typing.Iterable

from velarion.propagators.propagators import Propagator
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.time.time import Time
from velarion.typing import DatetimeLike as DatetimeLike

class Satellite:
    def __init__(
        self,
        time: DatetimeLike,
        state: Any,
        propagator: Propagator | None = None,
        ephemeris: StateVectorEphemeris | None = None,
        name: str | None = None,
        description: str | None = None,
    ) -> None: ...
    @property
    def time(self) -> Time: ...
    @property
    def name(self) -> str | None: ...
    @name.setter
    def name(self, value: str | None) -> None: ...
    @property
    def description(self) -> str | None: ...
    @description.setter
    def description(self, value: str | None) -> None: ...
    @property
    def state(self) -> Any: ...
    @property
    def propagator(self) -> Propagator | None: ...
    @property
    def ephemeris(self) -> StateVectorEphemeris | None: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> None: ...
