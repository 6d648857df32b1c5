"""The thread policy of every call that takes ``threads=``: one default (every
hardware thread, at most 256) and one threshold rule for when work is threaded,
both held by ``_core`` (``parallel.hpp``) for the compiled and the Python
layers alike."""

from __future__ import annotations

from velarion._core import _shared

__all__ = ["resolve_threads", "threads_for"]

# Word for word: callers and tests compare this message.
_NOT_A_COUNT = "threads must be a positive integer, got {!r}"


def resolve_threads(threads: int | None) -> int:
    """The threads of a call: its ``threads=`` checked, or the default for None."""
    if threads is None:
        return _shared.default_threads()
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(_NOT_A_COUNT.format(threads))
    return min(threads, _shared.MAX_THREADS)


def threads_for(count: int, threads: int, threaded_from: int) -> int:
    """The threads of ``count`` items: 1 below ``threaded_from`` items (a
    thread would cost more than it saves), else ``threads`` (at most one an item)."""
    return _shared.threads_for(count, threads, threaded_from)
