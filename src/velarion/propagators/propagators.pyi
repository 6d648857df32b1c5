"""The Propagator base class of the orbit propagators."""

from typing import Any

from velarion.typing import DatetimeLike

class Propagator:
    """Base class of the orbit propagators (no data; subclasses provide propagate_state)."""

    def __init__(self) -> None: ...
    def propagate(self, time: DatetimeLike, state: Any, **kwargs: Any) -> Any:
        """Calls self.propagate_state(time, state, **kwargs)."""
    def propagate_state(self, time: DatetimeLike, state: Any, **kwargs: Any) -> Any: ...
    def __reduce__(self) -> Any: ...
    def __setstate__(self, state: Any, /) -> None: ...
