"""Probability of collision, side by side.

Cases:
- Foster's 2-D Pc of 10^5 conjunctions in one call (LEO crossings of random
  geometry, random 6x6 covariances, hard-body radius 15 m) against SciPy's
  ``dblquad`` of the same encounter-plane integral (the combined covariance
  projected on the plane by NumPy, then the Gaussian density integrated
  over the disc, ``epsrel=1e-10``): dblquad takes milliseconds per
  conjunction, so it runs on a sample of 20 of them and its time is scaled
  to the 10^5. Goal: at least 100x.
- Orekit's Foster (``Patera2005`` short-term encounter method, which
  computes the same integral by a 1-D contour quadrature) on the same
  sample, when orekit-jpype and a Java runtime are installed; same scaling.
- Monte Carlo with 10^6 samples of one conjunction (two-body closest
  approach of each sample pair): goal under 0.2 s.
"""

from __future__ import annotations

import math
import pathlib
import sys
from typing import Any

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import Case

from velarion.conjunctions import pc

GM = 3.986004418e14
N = 100_000
SAMPLE = 20
HBR = 15.0


def _conjunctions(n: int, seed: int = 1) -> tuple[np.ndarray, ...]:
    rng = np.random.default_rng(seed)
    radius = 7.0e6
    speed = math.sqrt(GM / radius)
    r1 = np.tile([radius, 0.0, 0.0], (n, 1))
    v1 = np.tile([0.0, speed, 0.0], (n, 1))
    angle = rng.uniform(0.2, 2.9, n)
    v2 = np.stack([np.zeros(n), speed * np.cos(angle), speed * np.sin(angle)], axis=1)
    r2 = r1 + rng.normal(scale=300.0, size=(n, 3))
    scale = np.array([300.0, 80.0, 40.0, 0.3, 0.1, 0.05])
    a = rng.normal(size=(n, 6, 6)) * scale[None, :, None] * 0.3
    c1 = a @ np.swapaxes(a, 1, 2) + np.diag(scale**2)
    b = rng.normal(size=(n, 6, 6)) * scale[None, :, None] * 0.3
    c2 = b @ np.swapaxes(b, 1, 2) + np.diag(scale**2)
    return r1, v1, c1, r2, v2, c2


def _plane(r: np.ndarray, v: np.ndarray, c: np.ndarray) -> tuple[float, np.ndarray]:
    ez = v / np.linalg.norm(v)
    rp = r - (r @ ez) * ez
    miss = float(np.linalg.norm(rp))
    ex = rp / miss
    ey = np.cross(ez, ex)
    basis = np.stack([ex, ey])
    return miss, basis @ c @ basis.T


def _scipy_sample(data: tuple[np.ndarray, ...]) -> Any:
    from scipy import integrate

    r1, v1, c1, r2, v2, c2 = (x[:SAMPLE] for x in data)

    def run() -> list[float]:
        out = []
        for k in range(SAMPLE):
            miss, p = _plane(r2[k] - r1[k], v2[k] - v1[k], c1[k, :3, :3] + c2[k, :3, :3])
            inv = np.linalg.inv(p)
            norm = 1.0 / (2.0 * math.pi * math.sqrt(np.linalg.det(p)))
            a, b, d = inv[0, 0], inv[0, 1], inv[1, 1]

            def f(
                y: float, x: float, miss: float = miss, norm: float = norm, a: float = a, b: float = b, d: float = d
            ) -> float:
                u = miss + x
                return norm * math.exp(-0.5 * (a * u * u + 2.0 * b * u * y + d * y * y))

            value, _ = integrate.dblquad(
                f,
                -HBR,
                HBR,
                lambda x: -math.sqrt(max(HBR * HBR - x * x, 0.0)),
                lambda x: math.sqrt(max(HBR * HBR - x * x, 0.0)),
                epsabs=0.0,
                epsrel=1e-10,
            )
            out.append(value)
        return out

    return run


def _orekit_sample(data: tuple[np.ndarray, ...]) -> Any | None:
    """Orekit's Patera 2005 on the sample, or None when Orekit cannot run here."""
    try:
        import orekit_jpype  # type: ignore[import-not-found]

        orekit_jpype.initVM()
        from org.orekit.ssa.collision.shorttermencounter.probability.twod import (  # type: ignore[import-not-found]
            Patera2005,
        )
    except Exception:
        return None
    r1, v1, c1, r2, v2, c2 = (x[:SAMPLE] for x in data)
    method = Patera2005()
    principal = []
    for k in range(SAMPLE):
        # Orekit's compute(xm, ym, sigma_x, sigma_y, radius) takes the miss
        # in the principal axes of the projected covariance.
        miss, p = _plane(r2[k] - r1[k], v2[k] - v1[k], c1[k, :3, :3] + c2[k, :3, :3])
        values, vectors = np.linalg.eigh(p)
        xm, ym = vectors.T @ np.array([miss, 0.0])
        principal.append((float(xm), float(ym), math.sqrt(values[0]), math.sqrt(values[1])))

    def run() -> list[float]:
        return [float(method.compute(xm, ym, sx, sy, HBR).getValue()) for xm, ym, sx, sy in principal]

    return run


def cases() -> list[Case]:
    data = _conjunctions(N)
    r1, v1, c1, r2, v2, c2 = data
    # The same answers first: the sample's Pc by velarion and by the baseline.
    mine = pc.foster_2d(r1[:SAMPLE], v1[:SAMPLE], c1[:SAMPLE], r2[:SAMPLE], v2[:SAMPLE], c2[:SAMPLE], HBR)
    baseline = _scipy_sample(data)
    np.testing.assert_allclose(mine, baseline(), rtol=1e-7)
    peers = {"SciPy dblquad": baseline}
    peer_items = {"SciPy dblquad": SAMPLE}
    orekit = _orekit_sample(data)
    if orekit is not None:
        np.testing.assert_allclose(mine, orekit(), rtol=1e-5)
        peers["Orekit Patera2005"] = orekit
        peer_items["Orekit Patera2005"] = SAMPLE
    one = tuple(x[:1] for x in data)
    return [
        Case(
            f"Foster 2-D Pc, {N:,} conjunctions in one call",
            N,
            lambda: pc.foster_2d(r1, v1, c1, r2, v2, c2, HBR),
            peers,
            ">= 100x SciPy",
            min_ratio={"SciPy dblquad": 100.0},
            peer_items=peer_items,
        ),
        Case(
            "Monte Carlo Pc, 10^6 samples of one conjunction",
            1,
            lambda: pc.monte_carlo(*one, 200.0, samples=1_000_000, seed=1),
            goal="< 0.2 s",
            max_seconds=0.2,
        ),
    ]
