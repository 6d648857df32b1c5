"""How much memory one long computation may hold.

The pass search, the conjunction screening and the command line's
``propagate`` and ``look`` work through spans and catalogues of any size in
pieces (time windows, chunks of satellites) whose arrays fit in the memory
budget, and refuse a request whose smallest piece cannot fit before any work
starts, with a message that says what to reduce.

The budget is 2 GiB unless set: by the environment variable
``VELARION_MEMORY_BUDGET`` (bytes, or a number with a suffix K, M, G or T,
powers of 1024: ``"4G"``, ``"512M"``), by ``set_memory_budget(value)`` for
the whole process, or for a block of code by ``with budget(value):`` (held
per context, so threads and asyncio tasks each see their own). The budget
bounds the large arrays a computation allocates; the interpreter, the
modules and small objects come on top.
"""

from __future__ import annotations

import contextvars
import math
import os
import re
from collections.abc import Iterator
from contextlib import contextmanager

__all__ = [
    "DEFAULT_BUDGET",
    "MemoryBudgetError",
    "budget",
    "check_fits",
    "format_bytes",
    "items_within",
    "memory_budget",
    "parse_size",
    "set_memory_budget",
]

DEFAULT_BUDGET = 2 * 1024**3  # bytes
ENVIRONMENT = "VELARION_MEMORY_BUDGET"
_SMALLEST = 16 * 1024**2  # bytes: less than this cannot hold the smallest piece of any computation

_UNITS = {"": 1, "K": 1024, "M": 1024**2, "G": 1024**3, "T": 1024**4}
_SIZE = re.compile(r"\s*([0-9]+(?:\.[0-9]*)?|\.[0-9]+)\s*([kKmMgGtT]?)(?:i?[bB])?\s*")

_process_budget: int | None = None
_context_budget: contextvars.ContextVar[int | None] = contextvars.ContextVar("velarion_memory_budget", default=None)


class MemoryBudgetError(MemoryError):
    """A computation that cannot fit in the memory budget, refused before it starts."""


def parse_size(value: int | float | str) -> int:
    """Bytes of a size given as a number of bytes or as text with a unit
    (``"4G"``, ``"512 MiB"``, ``"1.5g"``; K, M, G, T are powers of 1024)."""
    if isinstance(value, bool):
        raise TypeError("a memory size must be a number of bytes or a text such as '4G', not a bool")
    if isinstance(value, (int, float)):
        number = float(value)
    elif isinstance(value, str):
        match = _SIZE.fullmatch(value)
        if match is None:
            raise ValueError(f"a memory size must be a number of bytes or a text such as '4G' or '512M', got {value!r}")
        number = float(match.group(1)) * _UNITS[match.group(2).upper()]
    else:
        raise TypeError(f"a memory size must be a number of bytes or a text such as '4G', not {type(value).__name__}")
    if not math.isfinite(number) or number < _SMALLEST:
        raise ValueError(f"the memory budget must be at least {format_bytes(_SMALLEST)}, got {value!r}")
    if number > 2.0**62:
        raise ValueError(f"the memory budget is out of range: {value!r}")
    return int(number)


def format_bytes(nbytes: float) -> str:
    """A size for messages: '1.5 GiB', '300 MiB'."""
    for unit, size in (("TiB", 1024**4), ("GiB", 1024**3), ("MiB", 1024**2), ("KiB", 1024)):
        if nbytes >= size:
            return f"{nbytes / size:.3g} {unit}"
    return f"{nbytes:.0f} bytes"


def _from_environment() -> int:
    text = os.environ.get(ENVIRONMENT)
    if text is None or not text.strip():
        return DEFAULT_BUDGET
    try:
        return parse_size(text)
    except ValueError as error:
        raise ValueError(f"{ENVIRONMENT}: {error}") from None


def memory_budget() -> int:
    """The budget in force here [bytes]: the innermost ``budget`` block's,
    else the process's (``set_memory_budget``), else the environment's, else
    the default (2 GiB)."""
    inner = _context_budget.get()
    if inner is not None:
        return inner
    if _process_budget is not None:
        return _process_budget
    return _from_environment()


def set_memory_budget(value: int | float | str | None) -> None:
    """Sets the process's budget (None: back to the environment's or the default)."""
    global _process_budget
    _process_budget = None if value is None else parse_size(value)


@contextmanager
def budget(value: int | float | str) -> Iterator[int]:
    """The budget ``value`` for the block (in this context only); yields it in bytes."""
    nbytes = parse_size(value)
    token = _context_budget.set(nbytes)
    try:
        yield nbytes
    finally:
        try:
            _context_budget.reset(token)
        except ValueError:
            # Left in another context than entered (a generator finished
            # elsewhere): that context gets back what it had before.
            _context_budget.set(None)


def check_fits(nbytes: float, what: str, reduce: str) -> None:
    """Raises ``MemoryBudgetError`` when ``nbytes`` exceed the budget: what
    needs it, how much, and what to reduce (``reduce``: e.g. "shorten the
    span or lengthen the step")."""
    limit = memory_budget()
    if not nbytes <= limit:  # NaN too
        raise MemoryBudgetError(
            f"{what} needs about {format_bytes(nbytes)}, more than the memory budget of {format_bytes(limit)}: "
            f"{reduce}, or raise the budget ({ENVIRONMENT} or velarion.utils.budget.set_memory_budget)"
        )


def items_within(per_item: float, fixed: float = 0.0, at_least: int = 1) -> int:
    """How many items of ``per_item`` bytes fit in the budget beside
    ``fixed`` bytes (at least ``at_least``: the caller checks that those fit
    with ``check_fits``)."""
    if not (per_item > 0.0 and math.isfinite(per_item)):
        raise ValueError(f"items_within: the size of an item must be a positive number of bytes, got {per_item!r}")
    room = memory_budget() - max(0.0, fixed)
    return max(int(at_least), int(room // per_item) if room > 0 else 0)
