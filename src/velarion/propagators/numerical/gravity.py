"""Spherical-harmonic gravity fields: the ICGEM ``.gfc`` reader and the
field the package ships.

The shipped field is EGM2008 (Pavlis et al., 2012, National
Geospatial-Intelligence Agency; public data), fully normalised and
tide-free, truncated to degree and order 90 (``data/EGM2008_90.gfc.gz``,
taken from the coefficients that brahe 1.8.0 distributes). Higher degrees,
EGM96 or any other model come from a ``.gfc`` file of the user's
(International Centre for Global Earth Models format) through
:func:`read_gfc`.
"""

from __future__ import annotations

import functools
import gzip
import os
from dataclasses import dataclass, field
from importlib import resources
from typing import IO

import numpy as np
import numpy.typing as npt

__all__ = ["GravityModel", "default_gravity_model", "read_gfc"]

DEFAULT_MODEL_FILE = "EGM2008_90.gfc.gz"


@dataclass(frozen=True)
class GravityModel:
    """Fully normalised Stokes coefficients ``C[n, m]``, ``S[n, m]``
    (``(degree + 1, degree + 1)`` arrays, zero above the diagonal) with the
    model's ``GM`` [m^3/s^2] and reference ``radius`` [m]."""

    name: str
    GM: float
    radius: float
    degree: int
    C: npt.NDArray[np.float64] = field(repr=False)
    S: npt.NDArray[np.float64] = field(repr=False)
    tide_system: str = "unknown"
    source: str = ""

    def triangular(self, degree: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """C and S to ``degree`` packed row by row (n (n + 1) / 2 + m),
        the layout of the compiled field."""
        if degree > self.degree:
            raise ValueError(
                f"the gravity model {self.name} goes to degree {self.degree}, not {degree} "
                f"(read a file of a higher degree with read_gfc)"
            )
        size = (degree + 1) * (degree + 2) // 2
        c = np.zeros(size)
        s = np.zeros(size)
        for n in range(degree + 1):
            base = n * (n + 1) // 2
            c[base : base + n + 1] = self.C[n, : n + 1]
            s[base : base + n + 1] = self.S[n, : n + 1]
        return c, s


def _open_text(path: str | os.PathLike[str]) -> IO[str]:
    p = os.fspath(path)
    if p.endswith(".gz"):
        return gzip.open(p, "rt", encoding="ascii", errors="replace")
    return open(p, encoding="ascii", errors="replace")


def _number(text: str) -> float:
    return float(text.replace("D", "E").replace("d", "e"))


def read_gfc(path: str | os.PathLike[str], max_degree: int | None = None) -> GravityModel:
    """Read an ICGEM ``.gfc`` gravity field (plain or gzip-compressed),
    to ``max_degree`` (all of it by default).

    Raises FileNotFoundError naming the file, and ValueError naming the file
    and line for a malformed header or coefficient line, an unnormalised
    model, or a time-variable one (``gfct``/``trnd`` terms, not supported)."""
    name = os.fspath(path)
    if not os.path.exists(name):
        raise FileNotFoundError(f"gravity field file {name!r} not found")
    header: dict[str, str] = {}
    rows: list[tuple[int, int, float, float]] = []
    in_head = True
    with _open_text(name) as f:
        for number, line in enumerate(f, start=1):
            words = line.split()
            if in_head:
                if words and words[0] == "end_of_head":
                    in_head = False
                elif len(words) >= 2:
                    header.setdefault(words[0].lower(), words[1])
                continue
            if not words:
                continue
            key = words[0].lower()
            if key in ("gfct", "trnd", "acos", "asin", "dot"):
                raise ValueError(f"{name}, line {number}: time-variable term {words[0]!r} is not supported")
            if key != "gfc":
                continue
            try:
                n, m = int(words[1]), int(words[2])
                c, s = _number(words[3]), _number(words[4])
            except (IndexError, ValueError):
                raise ValueError(f"{name}, line {number}: not a coefficient line: {line.strip()!r}") from None
            if not (0 <= m <= n):
                raise ValueError(f"{name}, line {number}: degree {n} and order {m} out of range")
            rows.append((n, m, c, s))
    if in_head:
        raise ValueError(f"{name}: no end_of_head line (not an ICGEM .gfc file)")
    for key in ("earth_gravity_constant", "radius"):
        if key not in header:
            raise ValueError(f"{name}: the header has no {key}")
    norm = header.get("norm", "fully_normalized").lower()
    if norm != "fully_normalized":
        raise ValueError(f"{name}: coefficients are {norm!r}, only fully_normalized ones are read")
    if not rows:
        raise ValueError(f"{name}: no coefficients")
    top = max(n for n, _, _, _ in rows)
    degree = top if max_degree is None else min(top, max_degree)
    C = np.zeros((degree + 1, degree + 1))
    S = np.zeros((degree + 1, degree + 1))
    for n, m, c, s in rows:
        if n <= degree:
            C[n, m], S[n, m] = c, s
    if C[0, 0] == 0.0:
        C[0, 0] = 1.0  # files that leave out the central term
    return GravityModel(
        name=header.get("modelname", os.path.basename(name)),
        GM=_number(header["earth_gravity_constant"]),
        radius=_number(header["radius"]),
        degree=degree,
        C=C,
        S=S,
        tide_system=header.get("tide_system", "unknown"),
        source=name,
    )


@functools.cache
def default_gravity_model() -> GravityModel:
    """EGM2008 to degree and order 90, shipped with the package."""
    path = resources.files("velarion.propagators.numerical").joinpath("data").joinpath(DEFAULT_MODEL_FILE)
    with resources.as_file(path) as p:
        return read_gfc(p)
