"""Side-by-side timing helpers shared by the benchmark files.

Each ``bench_<area>.py`` defines ``cases()`` returning a list of ``Case``.
A case times velarion's callable and each peer's callable on the same work
and reports the per-item cost and the ratio peer / velarion, so the numbers
read the same whatever the machine's speed.
"""

from __future__ import annotations

import gc
import time
from collections.abc import Callable
from dataclasses import dataclass, field


@dataclass
class Case:
    name: str  # what is timed, e.g. "GCRF->ITRF, N=1e5"
    items: int  # epochs/rows per call, for per-item costs
    velarion: Callable[[], object]
    peers: dict[str, Callable[[], object]] = field(default_factory=dict)
    goal: str = ""  # e.g. ">= 10x astropy"
    # Goals checked by the runner: peer name -> minimum ratio peer/velarion
    # (a value < 1 means velarion may be that much slower, e.g. 1/1.1).
    min_ratio: dict[str, float] = field(default_factory=dict)
    # Items each peer's call covers where that is not `items` (a slow peer
    # timed on a sample of the work; its time is scaled to `items`).
    peer_items: dict[str, int] = field(default_factory=dict)
    # Goal checked by the runner: the most seconds velarion's call may take.
    max_seconds: float | None = None


def best_time(fn: Callable[[], object], *, min_total: float = 0.3, repeat: int = 5) -> float:
    """Best wall time of one call, over `repeat` rounds of enough calls."""
    fn()  # warm-up (lazy loads, caches)
    calls = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(calls):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_total / repeat or calls >= 1 << 20:
            break
        calls *= 2
    best = dt / calls
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for _ in range(repeat - 1):
            t0 = time.perf_counter()
            for _ in range(calls):
                fn()
            best = min(best, (time.perf_counter() - t0) / calls)
    finally:
        if gc_was:
            gc.enable()
    return best


def fmt_seconds(s: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"
