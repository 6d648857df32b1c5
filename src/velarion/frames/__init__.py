"""Reference frames: the frame registry and transform graph, the standard
frames GCRF, ITRF and TEME, topocentric ENU frames, PIC and RPC, and the
local orbital frames of a reference state (``LocalOrbitalFrame``: RSW, NTW,
TNW, VNC, LVLH; see ``velarion.frames.lof``).

The compiled module is ``velarion.frames.frames``. Importing it registers no
conversion between the standard frames; call
:func:`register_standard_transforms` once to link them::

    >>> import velarion.frames
    >>> velarion.frames.register_standard_transforms()
    >>> from velarion.frames.frames import get_GCRF
    >>> r_teme, v_teme = get_GCRF().transform_to("TEME", time, r, v)

Conversions of many epochs close together between GCRF and ITRF run much
faster inside :func:`interpolated_cip`.
"""

from __future__ import annotations

import contextlib
import contextvars
from collections.abc import Iterator
from typing import Any


class _CipBlock:
    """One ``interpolated_cip()`` block: its setting, whether it is still in
    force, and the block (or setting) it was entered in."""

    __slots__ = ("active", "enabled", "outer")

    def __init__(self, enabled: bool, outer: object):
        self.enabled = enabled
        self.active = True
        self.outer = outer


# Read by the compiled module (bound when it is imported, so defined before
# anything here imports it): False or True, or the innermost _CipBlock entered
# in this context, whose setting holds while it is active (else its outer
# one's).
_INTERPOLATED_CIP: contextvars.ContextVar[object] = contextvars.ContextVar(
    "velarion.frames.interpolated_cip", default=False
)

__all__ = ["LocalOrbitalFrame", "interpolated_cip", "register_standard_transforms", "standard_to_itrf"]


@contextlib.contextmanager
def interpolated_cip(enabled: bool = True) -> Iterator[None]:
    """Interpolate the precession-nutation of GCRF <-> ITRF conversions inside a ``with`` block.

    Inside the block, ``GCRF.to_ITRF``, ``ITRF.to_GCRF`` (and so
    ``transform_to`` through them, and the propagators and commands that call
    them) take the CIP coordinates X, Y and the CIO locator s from the IAU
    2000A series evaluated exactly at nodes 6 hours apart (a grid of TT fixed
    at J2000.0) and interpolated to each epoch by the Lagrange polynomial
    through its 10 nearest nodes. Everything else stays per epoch: the Earth
    rotation angle, the TIO locator s', polar motion and the other Earth
    orientation parameters.

    X, Y and s then stay within 1e-15 rad of the series at the epoch itself
    (a few nanometres at the geostationary radius) at any date from year
    -700 to 4700, whatever the dates of a call and their order; an epoch's
    result depends on its own date only, not on the other epochs of the
    call, and an epoch on a node gets the series' value bit for bit. The
    series costs about 30 us a date, so dense epochs (one day at 1 s: 86,400
    epochs) convert many times faster. Each
    call evaluates the up to 10 nodes of every 6-hour interval holding some
    of its epochs: for epochs fewer than a few per 6 hours (sparse over
    years), the exact path outside the block is faster.

    The setting belongs to the code that runs in the block: this thread, or
    this asyncio task (tasks started inside inherit it); other threads are
    not affected. Blocks nest; ``interpolated_cip(False)`` turns the
    interpolation off inside an outer block; leaving a block, by an exception
    too, restores the setting found on entering it. Outside every block the
    conversions are exact.

    >>> with velarion.frames.interpolated_cip():
    ...     r_itrf, v_itrf = get_GCRF().to_ITRF(time, r_gcrf, v_gcrf)
    """
    if not isinstance(enabled, bool):
        raise TypeError(f"enabled must be a bool, not {type(enabled).__name__}")
    block = _CipBlock(enabled, _INTERPOLATED_CIP.get())
    token = _INTERPOLATED_CIP.set(block)
    try:
        yield
    finally:
        try:
            _INTERPOLATED_CIP.reset(token)
        except ValueError:
            # The block ends in another context than the one it was entered
            # in (a generator finished in another thread or context): that
            # one cannot be changed from here, so the block is marked over
            # and every context skips it.
            block.active = False


def __getattr__(name: str) -> Any:
    # Loaded on first use: importing the package imports nothing else (not
    # even NumPy), as importing velarion.frames.frames alone expects.
    if name == "LocalOrbitalFrame":
        from .lof import LocalOrbitalFrame

        return LocalOrbitalFrame
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def register_standard_transforms() -> None:
    """Link the standard frames GCRF, ITRF and TEME in the transform graph.

    Registers, in this order, the edges GCRF -> ITRF (``GCRF.to_ITRF``),
    ITRF -> GCRF (``ITRF.to_GCRF``), ITRF -> TEME (``ITRF.to_TEME``) and
    TEME -> ITRF (``TEME.to_ITRF``), each with the bound conversion method of
    the singleton. The order decides the tie-breaks of the route search: with
    these four edges, GCRF reaches TEME through ITRF and back.

    Calling it again re-registers the same edges in place (an edge to a
    target that is already in a table keeps its position), so the call is
    idempotent. ``Frame.remove_transform`` undoes an edge.
    """
    from velarion.frames.frames import get_GCRF, get_ITRF, get_TEME

    gcrf, itrf, teme = get_GCRF(), get_ITRF(), get_TEME()
    gcrf.register_transform(itrf, gcrf.to_ITRF)
    itrf.register_transform(gcrf, itrf.to_GCRF)
    itrf.register_transform(teme, itrf.to_TEME)
    teme.register_transform(itrf, teme.to_ITRF)


def standard_to_itrf(frame: Any, time: Any, r: Any, v: Any) -> tuple[Any, Any]:
    """Positions and velocities in ``frame`` converted to ITRF by the
    library's own conversions, whatever the transform graph holds.

    GCRF, TEME and ENU frames convert by their ``to_ITRF`` method (edges a
    caller registered or removed do not change the result), ITRF states are
    copied; any other frame goes through the graph, whose edges for it are
    the caller's own. The library's computations (passes, look angles,
    illumination) convert this way, so they never register anything.
    """
    from velarion.frames.frames import ENU, get_GCRF, get_ITRF, get_TEME

    if frame is get_ITRF():
        import numpy as np

        return np.array(r, dtype=np.float64), np.array(v, dtype=np.float64)
    if frame is get_GCRF() or frame is get_TEME() or isinstance(frame, ENU):
        return frame.to_ITRF(time, r, v)
    return frame.transform_to(get_ITRF(), time, r, v)  # type: ignore[no-any-return]
