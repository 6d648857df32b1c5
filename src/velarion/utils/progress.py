"""Progress of long computations.

A computation that takes a ``progress=`` argument calls it as
``progress(done, total)`` (two floats in the computation's own unit, e.g.
seconds of the span searched; ``done`` grows to ``total``) between pieces of
its work, never from a compiled loop; what the callback returns is ignored,
and an exception it raises ends the computation. ``Progress`` rate-limits
the calls; ``terminal_bar`` draws a bar on standard error for the command
line.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import TextIO

__all__ = ["Progress", "ProgressCallback", "terminal_bar"]

ProgressCallback = Callable[[float, float], object]


class Progress:
    """Reports ``done`` of ``total`` to ``callback`` (None: to nobody) at
    most every ``interval`` seconds, and always at the end (``close``)."""

    def __init__(self, total: float, callback: ProgressCallback | None, *, interval: float = 0.1):
        if callback is not None and not callable(callback):
            raise TypeError(f"progress must be a callable progress(done, total), not {type(callback).__name__}")
        self.total = float(total)
        self.done = 0.0
        self._callback = callback
        self._interval = interval
        self._last = -float("inf")
        self._closed = False

    def update(self, done: float) -> None:
        self.done = min(float(done), self.total)
        if self._callback is None:
            return
        now = time.monotonic()
        if now - self._last >= self._interval:
            self._last = now
            self._callback(self.done, self.total)

    def advance(self, amount: float) -> None:
        self.update(self.done + amount)

    def close(self) -> None:
        """The final report (done == total), once."""
        if self._closed:
            return
        self._closed = True
        self.done = self.total
        if self._callback is not None:
            self._callback(self.total, self.total)


class _Bar:
    def __init__(self, label: str, stream: TextIO, delay: float, width: int):
        self.label, self.stream, self.delay, self.width = label, stream, delay, width
        self.started = time.monotonic()
        self.shown = False

    def __call__(self, done: float, total: float) -> None:
        elapsed = time.monotonic() - self.started
        finished = total > 0 and done >= total
        if not self.shown and (elapsed < self.delay or finished):
            return
        self.shown = True
        fraction = 0.0 if total <= 0 else min(1.0, max(0.0, done / total))
        filled = round(fraction * self.width)
        eta = ""
        if 0.0 < fraction < 1.0:
            left = elapsed * (1.0 - fraction) / fraction
            eta = f", {int(left) // 60}:{int(left) % 60:02d} left"
        line = f"\r{self.label} [{'#' * filled}{'.' * (self.width - filled)}] {100 * fraction:5.1f}%{eta}"
        self.stream.write(line.ljust(len(self.label) + self.width + 30))
        if finished:
            self.stream.write("\r" + " " * (len(self.label) + self.width + 30) + "\r")
        self.stream.flush()


def terminal_bar(
    label: str, enabled: bool | None = None, *, stream: TextIO | None = None, delay: float = 2.0, width: int = 30
) -> ProgressCallback | None:
    """A progress callback drawing ``label [#####.....]  50.0%, 0:12 left``
    on standard error, from ``delay`` seconds after it is made (short jobs
    show nothing) and cleared at the end; None when ``enabled`` is False, or
    when it is None and the stream is not a terminal."""
    out = sys.stderr if stream is None else stream
    if enabled is None:
        isatty = getattr(out, "isatty", None)
        enabled = bool(isatty and isatty())
    if not enabled:
        return None
    return _Bar(label, out, delay, width)
