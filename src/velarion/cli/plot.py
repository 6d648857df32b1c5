"""Sky plots of passes (polar azimuth/elevation) with matplotlib (the ``plot`` extra).

One chart per station. A chart draws a readable number of passes as tracks
with a legend (the highest, the next ones, or those of one satellite) and
the others as thin grey lines on a raster layer, so that its cost and size
stay bounded for any catalogue.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import Any

import numpy as np

from .errors import InputError

# Word for word: callers and tests compare the exception texts of this module.
_MISSING = "--plot needs matplotlib, which is not installed (pip install 'velarion[plot]')"

TRACKS = 10  # passes drawn as tracks on a chart by default
MAX_TRACKS = 50  # at most (each has a line of the legend)
_TRACK_POINTS = 120  # samples along a drawn track
_GREY_POINTS = 24  # samples along a grey one
_GREY_LINES = 300  # more passes left in grey are drawn as a density
_DENSITY_PASSES = 20_000  # passes sampled for the density at most
_COLUMNS = 3  # charts side by side


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
    sats: Sequence[Any],
    stations: Sequence[Any],
    passes: Sequence[Any],
    start: Any,
    span: float,
    points: int = _TRACK_POINTS,
) -> tuple[Any, Any]:
    """(azimuth, elevation) [deg], arrays (passes, points), along each pass
    from rise to set (or the span's ends), from the exact states in one
    evaluation. ``sats``: the search's satellites (``satellites_of`` what it
    was given); a pass's satellite is found by its name and number, its
    station among ``stations``."""
    from velarion.passes.satellites import exact_itrf
    from velarion.passes.stations import Network, look

    if not passes:
        return np.empty((0, points)), np.empty((0, points))
    where = {(s.label, s.satnum): k for k, s in enumerate(sats)}
    place = {id(s): k for k, s in enumerate(stations)}
    sid = np.array([where[(p.satellite, p.satnum)] for p in passes], dtype=np.intp)
    station = np.array([place[id(p.station)] for p in passes], dtype=np.intp)
    lo = np.array([0.0 if p.rise is None else float(p.rise - start) for p in passes])
    hi = np.array([span if p.set is None else float(p.set - start) for p in passes])
    sec = lo[:, None] + (hi - lo)[:, None] * np.linspace(0.0, 1.0, points)[None, :]
    r, v, _ = exact_itrf(sats, np.repeat(sid, points), start + sec.reshape(-1))
    enu, rate = Network(stations).to_enu(np.repeat(station, points), r, v)
    el, _, az = look(enu, rate)
    return np.degrees(az).reshape(-1, points), np.degrees(el).reshape(-1, points)


def pass_colours(n: int) -> list[Any]:
    """``n`` colours that do not repeat: the ten of matplotlib's cycle, then
    evenly spread over a perceptual colour map."""
    from matplotlib import colormaps

    if n <= 10:
        return [colormaps["tab10"](k) for k in range(n)]
    return [colormaps["turbo"](x) for x in np.linspace(0.05, 0.95, n)]


def _is_satellite(p: Any, which: str) -> bool:
    key = which.strip()
    if key.isdigit():
        return bool(p.satnum == int(key))
    return bool(p.satellite.strip().upper() == key.upper())


def select_tracks(passes: Sequence[Any], count: int, select: str = "highest") -> tuple[list[int], str]:
    """Which passes (positions, in time order) a chart draws as tracks, and
    what they are in words: at most ``count`` of them, the highest
    (``select="highest"``), the first in time (``"next"``), or those of the
    satellite of that name or catalogue number. All of them when they fit."""
    n = len(passes)
    if select == "highest":
        rows = sorted(range(n), key=lambda k: -passes[k].max_elevation)
    elif select == "next":
        rows = list(range(n))
    else:
        rows = [k for k in range(n) if _is_satellite(passes[k], select)]
    chosen = sorted(rows[:count])
    if len(chosen) == n:
        return chosen, f"{n} pass{'es' if n != 1 else ''}"
    rest = f"the other {n - len(chosen)} in grey" + (" (their density)" if n - len(chosen) > _GREY_LINES else "")
    if not chosen:
        named = select not in ("highest", "next")
        return chosen, f"no pass of {select}; {n} in grey" if named else f"all {n} passes in grey"
    if select == "highest":
        what = f"the {len(chosen)} highest"
    elif select == "next":
        what = f"the first {len(chosen)}"
    else:
        what = f"the {'first ' if len(rows) > count else ''}{len(chosen)} of {select}"
    return chosen, f"{what} of {n} passes, {rest}"


def sky_figure(
    satellites: Sequence[Any],
    passes: Sequence[Any],
    label: str,
    stations: Sequence[Any],
    min_elevation: float,
    start: Any,
    span: float,
    count: int = TRACKS,
    select: str = "highest",
) -> tuple[Any, list[str]]:
    """Polar sky charts of the passes, one per station (north up, east
    right; the centre is the zenith, the rim the horizon): the figure and,
    per station, which passes its chart draws as tracks when it leaves
    others in grey (see ``select_tracks``; "" when it draws them all)."""
    require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    columns = min(len(stations), _COLUMNS)
    rows = math.ceil(len(stations) / columns)
    fig = Figure(figsize=(7.0 * columns, 8.2 * rows))
    FigureCanvasAgg(fig)
    from velarion.passes.satellites import satellites_of

    sats, _ = satellites_of(list(satellites))
    notes: list[str] = []
    for k, station in enumerate(stations):
        mine = [p for p in passes if p.station is station]
        chosen, note = select_tracks(mine, count, select)
        notes.append(note if len(chosen) < len(mine) else "")
        ax: Any = fig.add_subplot(rows, columns, k + 1, projection="polar")
        _draw_chart(ax, sats, stations, mine, chosen, label, station, min_elevation, start, span, note)
        if chosen:
            handles, _ = ax.get_legend_handles_labels()
            handles += [
                Line2D([], [], ls="", marker="o", ms=4, color="0.3", label="rise (or the start of the span)"),
                Line2D([], [], ls="", marker="^", ms=5, color="0.3", label="culmination"),
            ]
            ax.legend(
                handles=handles, loc="upper center", bbox_to_anchor=(0.5, -0.06), ncol=2, fontsize=7, frameon=False
            )
    fig.subplots_adjust(hspace=0.6, wspace=0.35)
    return fig, notes


def _draw_chart(
    ax: Any,
    sats: Sequence[Any],
    stations: Sequence[Any],
    passes: Sequence[Any],
    chosen: list[int],
    label: str,
    station: Any,
    min_elevation: float,
    start: Any,
    span: float,
    note: str,
) -> None:
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
    picked = set(chosen)
    grey = [p for k, p in enumerate(passes) if k not in picked]
    if len(grey) > _GREY_LINES:
        # Thousands of lines are a grey disc that takes minutes to draw: the
        # sky they cross as a density of their tracks, on a raster layer, from
        # an even sample of at most _DENSITY_PASSES of them.
        sample = grey[:: math.ceil(len(grey) / _DENSITY_PASSES)]
        az, el = pass_tracks(sats, stations, sample, start, span, _GREY_POINTS)
        counts, az_edges, el_edges = np.histogram2d(
            np.radians(az).reshape(-1), 90.0 - el.reshape(-1), bins=(72, 30), range=((0.0, 2 * np.pi), (0.0, 90.0))
        )
        shade = np.ma.masked_equal(np.log1p(counts.T), 0.0)  # the low sky's many samples do not drown the rest
        ax.pcolormesh(
            az_edges,
            el_edges,
            shade,
            cmap="Greys",
            alpha=0.45,
            shading="flat",
            edgecolors="none",
            antialiased=False,
            rasterized=True,
            zorder=0,
        )
    elif grey:
        # one line broken by NaNs, on a raster layer
        az, el = pass_tracks(sats, stations, grey, start, span, _GREY_POINTS)
        gap = np.full((az.shape[0], 1), np.nan)
        theta = np.hstack([np.radians(az), gap]).reshape(-1)
        radius = np.hstack([90.0 - el, gap]).reshape(-1)
        ax.plot(theta, radius, lw=0.4, color="0.55", alpha=0.7, rasterized=True)
    drawn = [passes[k] for k in chosen]
    many = len({(p.satellite, p.satnum) for p in drawn}) > 1
    az, el = pass_tracks(sats, stations, drawn, start, span)
    for p, a, e, colour in zip(drawn, az, el, pass_colours(len(drawn)), strict=True):
        theta = np.radians(a)
        when = p.rise if p.rise is not None else start
        text = str((when + 0.5).iso)[:16].replace("T", " ")
        who = f"{p.satellite}, " if many else ""
        ax.plot(theta, 90.0 - e, lw=1.6, color=colour, label=f"{who}{text} UTC, max {p.max_elevation:.1f}°")
        ax.plot(theta[:1], 90.0 - e[:1], "o", ms=4, color=colour)
        if p.culmination is not None:
            ax.plot([np.radians(p.culmination_azimuth)], [90.0 - p.max_elevation], "^", ms=5, color=colour)
    ax.set_title(f"{label}\nover {station}\n{note}", fontsize=9)
    if not passes:
        ax.text(0.0, 0.0, "no pass", ha="center", va="center")


def save_figure(fig: Any, path: str, format: str | None = None) -> None:
    """Saves the figure to ``path`` in ``format`` (default: the format its
    suffix names, PNG without one)."""
    if format is None:
        format = os.path.splitext(os.fspath(path))[1][1:].lower() or "png"
    fig.savefig(path, format=format, dpi=110, bbox_inches="tight", pad_inches=0.2)


def sky_plot(
    path: str,
    satellites: Sequence[Any],
    passes: Sequence[Any],
    label: str,
    stations: Sequence[Any],
    min_elevation: float,
    start: Any,
    span: float,
    format: str | None = None,
    count: int = TRACKS,
    select: str = "highest",
) -> list[str]:
    """Draws the sky charts of the passes (see ``sky_figure``) and saves
    them to ``path``; returns, per station, which passes its chart draws as
    tracks when it leaves others in grey ("" when it draws them all)."""
    fig, notes = sky_figure(satellites, passes, label, stations, min_elevation, start, span, count, select)
    save_figure(fig, path, format)
    return notes
