"""Representable: a base class for readable reprs."""

from typing import Iterable

class Representable:
    def _repr_fields(self) -> Iterable[str]: ...
