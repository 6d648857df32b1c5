"""Passes as text: the aligned table (times to the second) and CSV (times to
the millisecond) of ``velarion passes``.

The layouts are word for word what users read, what scripts parse and what
the tests compare.
"""

from __future__ import annotations

from velarion.passes import Pass, Station
from velarion.time.time import Time

from .inputs import Satellite

__all__ = ["passes_csv", "passes_table"]


def _iso_seconds(t: Time) -> str:
    """UTC text rounded to the second, 'YYYY-MM-DD hh:mm:ss'."""
    return str((t + 0.5).iso)[:19].replace("T", " ")


def _iso_millis(t: Time) -> str:
    """UTC text rounded to the millisecond, 'YYYY-MM-DDThh:mm:ss.sss'."""
    text = str((t + 0.0005).iso)
    if len(text) == 19:
        text += ".000"
    return text[:23]


def _duration(seconds: float | None) -> str:
    if seconds is None:
        return "-"
    s = round(seconds)
    return f"{s // 60:d}:{s % 60:02d}"


def passes_table(
    sat: Satellite, station: Station, start: Time, span: float, step: float, min_el: float, passes: list[Pass]
) -> str:
    """A heading (satellite, station, span, search settings, count) and one aligned row per pass."""
    end = start + span
    head = [
        f"Passes of {sat.label} over {station}",
        f"{_iso_seconds(start)} to {_iso_seconds(end)} UTC, step {step:g} s, minimum elevation {min_el:g} deg: "
        f"{len(passes)} pass{'es' if len(passes) != 1 else ''}",
    ]
    if sat.is_default:
        head.insert(0, "(no satellite given: the embedded ISS sample; see 'velarion passes --help')")
    if not passes:
        return "\n".join(head) + "\n"
    rows = [("Rise (UTC)", "Az", "Culmination (UTC)", "Az", "Max el", "Set (UTC)", "Az", "Duration")]
    for p in passes:
        rows.append(
            (
                _iso_seconds(p.rise) if p.rise is not None else "(before start)",
                f"{p.rise_azimuth:.1f}" if p.rise is not None else "-",
                _iso_seconds(p.culmination),
                f"{p.culmination_azimuth:.1f}",
                f"{p.max_elevation:.2f}",
                _iso_seconds(p.set) if p.set is not None else "(after end)",
                f"{p.set_azimuth:.1f}" if p.set is not None else "-",
                _duration(p.duration),
            )
        )
    widths = [max(len(r[k]) for r in rows) for k in range(len(rows[0]))]
    right = {1, 3, 4, 6, 7}
    lines = []
    for r in rows:
        cells = [c.rjust(w) if k in right else c.ljust(w) for k, (c, w) in enumerate(zip(r, widths, strict=True))]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(head) + "\n\n" + "\n".join(lines) + "\n"


def passes_csv(passes: list[Pass]) -> str:
    """A header line and one row per pass; the fields of an event outside the span are empty."""
    out = ["rise,rise_azimuth,culmination,culmination_azimuth,max_elevation,set,set_azimuth"]
    for p in passes:
        out.append(
            ",".join(
                [
                    _iso_millis(p.rise) if p.rise is not None else "",
                    f"{p.rise_azimuth:.4f}" if p.rise is not None else "",
                    _iso_millis(p.culmination),
                    f"{p.culmination_azimuth:.4f}",
                    f"{p.max_elevation:.4f}",
                    _iso_millis(p.set) if p.set is not None else "",
                    f"{p.set_azimuth:.4f}" if p.set is not None else "",
                ]
            )
        )
    return "\n".join(out) + "\n"
