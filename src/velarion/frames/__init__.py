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
"""

from typing import Any

__all__ = ["LocalOrbitalFrame", "register_standard_transforms"]


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
