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


def pass_tracks(
    satellites: Sequence[Any], station: Any, passes: Sequence[Any], start: Any, span: float, points: int = 120
) -> list[tuple[Any, Any]]:
    """(azimuth [deg], elevation [deg]) along each pass, from rise to set
    (or the span's ends), one evaluation per satellite. ``satellites``: what
    the search was given; a pass's satellite is found by its name and number."""
    if not passes:
        return []
    from velarion.passes import look_angles
    from velarion.passes.satellites import satellites_of

    sats, _ = satellites_of(list(satellites))
    by_name = {(s.label, s.satnum): satellites[s.index] for s in sats}
    lo = np.array([0.0 if p.rise is None else float(p.rise - start) for p in passes])
    hi = np.array([span if p.set is None else float(p.set - start) for p in passes])
    frac = np.linspace(0.0, 1.0, points)
    sec = lo[:, None] + (hi - lo)[:, None] * frac[None, :]
    az = np.empty_like(sec)
    el = np.empty_like(sec)
    groups: dict[tuple[str, Any], list[int]] = {}
    for k, p in enumerate(passes):
        groups.setdefault((p.satellite, p.satnum), []).append(k)
    for key, rows in groups.items():
        angles = look_angles(by_name[key], station, start + sec[rows].reshape(-1))
        az[rows] = angles.azimuth.reshape(len(rows), points)
        el[rows] = angles.elevation.reshape(len(rows), points)
    return list(zip(az, el, strict=True))


def pass_colours(n: int) -> list[Any]:
    """``n`` colours that do not repeat: the ten of matplotlib's cycle, then
    evenly spread over a perceptual colour map."""
    from matplotlib import colormaps

    if n <= 10:
        return [colormaps["tab10"](k) for k in range(n)]
    return [colormaps["turbo"](x) for x in np.linspace(0.05, 0.95, n)]


def sky_plot(
    path: str,
    satellites: Sequence[Any],
    passes: Sequence[Any],
    label: str,
    station: Any,
    min_elevation: float,
    start: Any,
    span: float,
    format: str | None = None,
) -> None:
    """Draws the passes of ``satellites`` over ``station`` on a polar sky
    chart (north up, east right; the centre is the zenith, the rim the
    horizon) and saves it to ``path`` in ``format`` (default: the format its
    suffix names, PNG without one)."""
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

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
    many = len({(p.satellite, p.satnum) for p in passes}) > 1
    tracks = pass_tracks(satellites, station, passes, start, span)
    for p, (az, el), colour in zip(passes, tracks, pass_colours(len(passes)), strict=True):
        theta = np.radians(az)
        when = p.rise if p.rise is not None else start
        text = str((when + 0.5).iso)[:16].replace("T", " ")
        who = f"{p.satellite}, " if many else ""
        ax.plot(theta, 90.0 - el, lw=1.6, color=colour, label=f"{who}{text} UTC, max {p.max_elevation:.1f}°")
        ax.plot(theta[:1], 90.0 - el[:1], "o", ms=4, color=colour)
        if p.culmination is not None:
            ax.plot([np.radians(p.culmination_azimuth)], [90.0 - p.max_elevation], "^", ms=5, color=colour)
    ax.set_title(f"{label}\nover {station}", fontsize=10)
    if passes:
        handles, _ = ax.get_legend_handles_labels()
        handles += [
            Line2D([], [], ls="", marker="o", ms=4, color="0.3", label="rise (or the start of the span)"),
            Line2D([], [], ls="", marker="^", ms=5, color="0.3", label="culmination"),
        ]
        ax.legend(handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.06), ncol=2, fontsize=7, frameon=False)
    else:
        ax.text(0.0, 0.0, "no pass", ha="center", va="center")
    if format is None:
        format = os.path.splitext(os.fspath(path))[1][1:].lower() or "png"
    fig.savefig(path, format=format, dpi=110, bbox_inches="tight", pad_inches=0.2)
