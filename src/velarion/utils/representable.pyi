"""Representable: a base class for readable reprs."""

from collections.abc import Iterable

class Representable:
    def _repr_fields(self) -> Iterable[str]: ...
