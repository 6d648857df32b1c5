"""Type aliases of the package's public signatures.

``DatetimeLike`` is everything ``velarion.time.time.Time(...)`` accepts: an
ISO 8601 text, a ``datetime.datetime`` or ``datetime.date``, a
``numpy.datetime64``, a ``Time``, or a (nested) sequence or NumPy array of
these.

Importing this module is cheap: it loads numpy and the compiled ``Time``
module (which every module that annotates with ``DatetimeLike`` imports
anyway) and nothing else.
"""

from __future__ import annotations

import datetime
from collections.abc import Sequence
from typing import Any, TypeAlias

import numpy as np

from velarion.time.time import Time

__all__ = ["DatetimeLike"]

# A single epoch in any of the accepted forms.
_DatetimeScalar: TypeAlias = str | datetime.datetime | datetime.date | np.datetime64 | Time

# No forward reference (a recursive alias would not resolve with
# typing.get_type_hints in the modules that annotate with it); sequences
# nested deeper than two levels are accepted at run time all the same.
DatetimeLike: TypeAlias = _DatetimeScalar | Sequence[_DatetimeScalar] | Sequence[Sequence[Any]] | np.ndarray
