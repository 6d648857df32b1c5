"""Sky plot of passes (polar azimuth/elevation) with matplotlib (the ``plot`` extra)."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from .errors import InputError

# Word for word: callers and tests compare the exception texts of this module.
_MISSING = "--plot needs matplotlib, which is not installed (pip install 'velarion[plot]')"


def require_matplotlib() -> None:
    """Raises InputError with a one-line hint when matplotlib cannot be imported."""
    try:
        import matplotlib  # noqa: F401
        from matplotlib.backends.backend_agg import FigureCanvasAgg  # noqa: F401
        from matplotlib.figure import Figure  # noqa: F401
    except ImportError:
        raise InputError(_MISSING) from None


def image_format(path: str) -> str:
    """The image format that the file name's extension names ("png", "svg",
    "pdf", ...); InputError for a name without one or with an unknown one."""
    require_matplotlib()
    from matplotlib.backend_bases import FigureCanvasBase

    supported = FigureCanvasBase.get_supported_filetypes()
    ext = os.path.splitext(os.fspath(path))[1][1:].lower()
    known = ", ".join(f".{k}" for k in sorted(supported))
    if not ext:
        raise InputError(f"--plot {path!r}: the file name needs an extension naming the image format ({known})")
    if ext not in supported:
        raise InputError(f"--plot {path!r}: unknown image format '.{ext}' (known: {known})")
    return ext


def pass_tracks(sky: Any, passes: Sequence[Any], start: Any, span: float, points: int = 120) -> list[tuple[Any, Any]]:
    """(azimuth [deg], elevation [deg]) along each pass of the sky's first
    source, from rise to set (or the span's ends), from one evaluation."""
    if not passes:
        return []
    lo = np.array([0.0 if p.rise is None else float(p.rise - start) for p in passes])
    hi = np.array([span if p.set is None else float(p.set - start) for p in passes])
    frac = np.linspace(0.0, 1.0, points)
    sec = (lo[:, None] + (hi - lo)[:, None] * frac[None, :]).reshape(-1)
    from velarion.passes import look_angles

    source, station = sky
    angles = look_angles(source, station, start + sec)
    el = angles.elevation.reshape(len(passes), points)
    az = angles.azimuth.reshape(len(passes), points)
    return list(zip(az, el, strict=True))


def sky_plot(
    path: str,
    sky: Any,
    passes: Sequence[Any],
    label: str,
    station: str,
    min_elevation: float,
    start: Any,
    span: float,
    format: str | None = None,
) -> None:
    """Draws the passes on a polar sky chart (north up, east right; the
    centre is the zenith, the rim the horizon) and saves it to ``path`` in
    ``format`` (default: the format its suffix names, PNG without one)."""
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(7.0, 7.6))
    FigureCanvasAgg(fig)
    ax: Any = fig.add_subplot(projection="polar")
    ax.set_theta_zero_location("N")
    ax.set_theta_direction(-1)
    ax.set_rlim(0.0, 90.0)
    ax.set_rticks([0, 30, 60, 90])
    ax.set_yticklabels(["90°", "60°", "30°", "0°"])
    ax.set_xticks(np.radians(np.arange(0, 360, 45)))
    ax.set_xticklabels(["N", "NE", "E", "SE", "S", "SW", "W", "NW"])
    ring = np.linspace(0.0, 2.0 * np.pi, 361)
    ax.plot(
        ring,
        np.full(ring.size, 90.0 - min_elevation),
        ls="--",
        lw=0.8,
        color="0.5",
        label=f"minimum elevation {min_elevation:g}°",
    )
    for p, (az, el) in zip(passes, pass_tracks(sky, passes, start, span), strict=True):
        theta = np.radians(az)
        when = p.rise if p.rise is not None else p.culmination
        text = str((when + 0.5).iso)[:16].replace("T", " ")
        (line,) = ax.plot(theta, 90.0 - el, lw=1.6, label=f"{text} UTC, max {p.max_elevation:.1f}°")
        ax.plot(theta[:1], 90.0 - el[:1], "o", ms=4, color=line.get_color())
        if p.culmination is not None:
            ax.plot([np.radians(p.culmination_azimuth)], [90.0 - p.max_elevation], "^", ms=5, color=line.get_color())
    ax.set_title(f"{label}\nover {station}", fontsize=10)
    if passes:
        ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.06), ncol=2, fontsize=7, frameon=False)
    else:
        ax.text(0.0, 0.0, "no pass", ha="center", va="center")
    if format is None:
        format = os.path.splitext(os.fspath(path))[1][1:].lower() or "png"
    fig.savefig(path, format=format, dpi=110, bbox_inches="tight", pad_inches=0.2)
