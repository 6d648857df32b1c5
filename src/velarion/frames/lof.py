"""Local orbital frames of a reference state.

A local orbital frame is attached to an orbiting object (the reference
state: position r, velocity v, acceleration a in an inertial frame) and
turns with it. Tools name the same axes differently, so each frame's
convention is written out here, with ``h = r x v`` the angular momentum
and ``^`` a unit vector:

======== ====================== =============================================
kind     axes (x, y, z)          also called
======== ====================== =============================================
RSW      R = r^, S = W x R,      RIC (radial, in-track, cross-track), RTN,
         W = h^                  QSW (CCSDS); S is along v for a circular orbit
NTW      N = T x W, T = v^,      Vallado's NTW: N in the orbital plane,
         W = h^                  outward (normal to the velocity)
TNW      T = v^, N = W x T,      CCSDS/Orekit TNW: N in the orbital plane,
         W = h^                  inward
VNC      V = v^, N = h^,         velocity, normal, co-normal (Orekit VNC)
         C = V x N
LVLH     X = Y x Z, Y = -h^,     CCSDS LVLH: Z to nadir, Y against the
         Z = -r^                 angular momentum (X = S of RSW)
======== ====================== =============================================

Every frame is right-handed. ``rotation`` holds the axes as rows, so that
``rotation @ x`` gives the local components of an inertial vector x.

The frame turns at the angular velocity ``omega = 1/2 sum_k e_k x de_k/dt``
of its axes e_k. The axes built on the position move with r and v only in
their in-plane rotation: for RSW-type frames (RSW, LVLH) ``omega = (|h| /
|r|^2) W + (|r| a.W / |h|) R``, the first term exact for any motion, the
second zero for a central force. The axes built on the velocity (NTW, TNW,
VNC) turn with the acceleration: dT/dt = (a - (a.T) T) / |v|. Without an
``acceleration`` the rates take the two-body acceleration ``-mu r / |r|^3``:
exact for Keplerian motion; with perturbations (J2, drag) the RSW and LVLH
rates miss only the out-of-plane term |r| a_W / |h| (for J2 in LEO about
1e-6 of the orbital rate), the velocity frames' rates miss about
|a_perturbation| / |v| (1e-2 m/s^2 / 7.5 km/s = 2e-6 rad/s for J2 in LEO,
0.2 % of the orbital rate). Pass the full acceleration to make them exact.

``relative(r, v)`` gives another state relative to the reference in the
rotating frame: position ``rotation @ (r - r0)`` and velocity ``rotation @
((v - v0) - omega x (r - r0))``, the time derivative of the local position
as an observer turning with the frame sees it.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velarion.constants import EARTH_GM

__all__ = ["GM_EARTH", "KINDS", "LocalOrbitalFrame"]

# Word for word: callers and tests compare the exception texts of this module.

# The Earth's gravitational parameter [m^3/s^2] (WGS84, EGM2008).
GM_EARTH = EARTH_GM

# Canonical kind of every accepted name.
_ALIASES = {
    "RSW": "RSW",
    "RIC": "RSW",
    "RTN": "RSW",
    "QSW": "RSW",
    "NTW": "NTW",
    "TNW": "TNW",
    "VNC": "VNC",
    "LVLH": "LVLH",
}
KINDS = tuple(_ALIASES)

Array = NDArray[np.float64]


def _rows(x: ArrayLike, name: str) -> Array:
    a = np.asarray(x, dtype=np.float64)
    if a.ndim not in (1, 2) or a.shape[-1] != 3:
        raise ValueError(f"{name} must have shape (3,) or (N, 3), got {a.shape}")
    if not np.isfinite(a).all():
        raise ValueError(f"{name} must be finite")
    return a.reshape(-1, 3)


def _norm(x: Array) -> Array:
    """|x| of each row, without overflow or underflow of the squares (rows
    of 1e200 or 1e-200 have a norm like any other)."""
    scale = np.abs(x).max(axis=-1, keepdims=True)
    safe = np.where(scale > 0.0, scale, 1.0)
    norm: Array = scale * np.linalg.norm(x / safe, axis=-1, keepdims=True)
    return norm


def _unit(x: Array) -> tuple[Array, Array]:
    n = _norm(x)
    return x / n, n


def _direction(x: Array) -> Array:
    """x scaled so that its largest component is 1 (same direction; the
    cross products of such rows cannot overflow)."""
    scale = np.abs(x).max(axis=-1, keepdims=True)
    return x / np.where(scale > 0.0, scale, 1.0)


def _finite_or_raise(what: str, *arrays: Array) -> None:
    if not all(np.isfinite(a).all() for a in arrays):
        raise ValueError(f"{what} are not representable in double precision: the inputs are too large or too small")


def _common_rows(name: str, *counts: int) -> int:
    """The number of rows the operands broadcast to (each 1 or N)."""
    n = max(counts)
    if any(c not in (1, n) for c in counts):
        raise ValueError(
            f"{name}: {', '.join(map(str, counts))} rows cannot be broadcast together (each must be 1 or N)"
        )
    return n


def _unit_rate(u: Array, norm: Array, rate: Array) -> Array:
    """d/dt of u = x / |x| from dx/dt."""
    along: Array = np.einsum("ij,ij->i", u, rate)[:, None]
    return (rate - along * u) / norm


class LocalOrbitalFrame:
    """The local orbital frame ``kind`` of the reference states (r, v), at each epoch.

    ``LocalOrbitalFrame(kind, r, v, *, acceleration=None, mu=GM_EARTH)``:
    ``kind`` one of RSW (RIC, RTN, QSW), NTW, TNW, VNC, LVLH (the CCSDS
    one; see the module's docstring for the axes); r [m], v [m/s] of shape
    (3,) or (N, 3) in an inertial frame; ``acceleration`` [m/s^2] the
    reference's acceleration (default: two-body, ``-mu r / |r|^3``), which
    only the rotation rate uses.

    Attributes: ``kind`` (the canonical name), ``rotation`` ((N, 3, 3), the
    axes as rows: inertial to local), ``omega`` ((N, 3), the frame's angular
    velocity [rad/s] in the inertial frame).
    """

    def __init__(
        self, kind: str, r: ArrayLike, v: ArrayLike, *, acceleration: ArrayLike | None = None, mu: float = GM_EARTH
    ):
        if not isinstance(kind, str) or kind.upper() not in _ALIASES:
            raise ValueError(f"unknown local orbital frame {kind!r}; expected one of {', '.join(KINDS)}")
        self.kind = _ALIASES[kind.upper()]
        r0, v0 = _rows(r, "r"), _rows(v, "v")
        if r0.shape != v0.shape:
            raise ValueError(f"r and v must have the same shape, got {r0.shape} and {v0.shape}")
        if isinstance(mu, bool) or not isinstance(mu, (int, float, np.integer, np.floating)):
            raise TypeError(f"mu must be a number, not {type(mu).__name__}")
        if not (math.isfinite(float(mu)) and float(mu) > 0.0):
            raise ValueError(f"mu must be a finite positive number [m^3/s^2], got {float(mu)!r}")
        # Whether the angular momentum vanishes depends on the directions only.
        if not (np.all(_norm(r0) > 0.0) and np.all(_norm(np.cross(_direction(r0), _direction(v0))) > 0.0)):
            raise ValueError("the reference states must have a nonzero position and angular momentum")
        if acceleration is None:
            rn = _norm(r0)
            with np.errstate(all="ignore"):
                a0 = -float(mu) * (r0 / rn) / rn**2  # zero far out, not a NaN
        else:
            a0 = np.broadcast_to(_rows(acceleration, "acceleration"), r0.shape)
        self.r, self.v = r0, v0
        with np.errstate(all="ignore"):
            self.rotation, self.omega = _frame(self.kind, r0, v0, a0)
        _finite_or_raise("the frame's axes or rotation rate", self.rotation, self.omega)

    def __len__(self) -> int:
        return int(self.r.shape[0])

    def __repr__(self) -> str:
        return f"LocalOrbitalFrame({self.kind!r}, {len(self)} epoch{'s' if len(self) != 1 else ''})"

    def relative(self, r: ArrayLike, v: ArrayLike) -> tuple[Array, Array]:
        """Position [m] and velocity [m/s] of the states (r, v) relative to
        the reference, in the rotating local frame ((N, 3) each; r, v in the
        reference's inertial frame, broadcast against its epochs)."""
        r1, v1 = _rows(r, "r"), _rows(v, "v")
        n = _common_rows("relative", len(self), len(r1), len(v1))
        rotation = np.broadcast_to(self.rotation, (n, 3, 3))
        with np.errstate(all="ignore"):
            dr = np.broadcast_to(r1 - self.r, (n, 3))
            dv = (v1 - self.v) - np.cross(self.omega, dr)
            out = np.einsum("nij,nj->ni", rotation, dr), np.einsum("nij,nj->ni", rotation, dv)
        _finite_or_raise("the relative states", *out)
        return out

    def absolute(self, r_local: ArrayLike, v_local: ArrayLike) -> tuple[Array, Array]:
        """Inverse of ``relative``: inertial position and velocity of the
        states given relative to the reference in the rotating frame."""
        r1, v1 = _rows(r_local, "r_local"), _rows(v_local, "v_local")
        n = _common_rows("absolute", len(self), len(r1), len(v1))
        rotation = np.broadcast_to(self.rotation, (n, 3, 3))
        with np.errstate(all="ignore"):
            dr = np.einsum("nji,nj->ni", rotation, np.broadcast_to(r1, (n, 3)))
            dv = np.einsum("nji,nj->ni", rotation, np.broadcast_to(v1, (n, 3)))
            out = self.r + dr, self.v + dv + np.cross(self.omega, dr)
        _finite_or_raise("the absolute states", *out)
        return out


def _frame(kind: str, r: Array, v: Array, a: Array) -> tuple[Array, Array]:
    """The axes (rows) and the angular velocity of the frame ``kind``."""
    # h = r x v from the directions of r and v, then scaled: its direction
    # stays exact where r x v itself would overflow or underflow.
    w, hn = _unit(np.cross(_direction(r), _direction(v)))
    hn = hn * np.abs(r).max(axis=-1, keepdims=True) * np.abs(v).max(axis=-1, keepdims=True)
    w_dot = _unit_rate(w, hn, np.cross(r, a))
    if kind in ("RSW", "LVLH"):
        u, un = _unit(r)
        u_dot = _unit_rate(u, un, v)
    else:
        u, un = _unit(v)
        u_dot = _unit_rate(u, un, a)
    third = np.cross(w, u)  # S of RSW, N of TNW
    third_dot = np.cross(w_dot, u) + np.cross(w, u_dot)
    axes: tuple[Any, ...]
    if kind in ("RSW", "TNW"):  # (R, S, W) and (T, N, W)
        axes = ((u, u_dot), (third, third_dot), (w, w_dot))
    elif kind == "NTW":
        axes = ((-third, -third_dot), (u, u_dot), (w, w_dot))
    elif kind == "VNC":
        axes = ((u, u_dot), (w, w_dot), (-third, -third_dot))
    else:  # LVLH: X = S, Y = -W, Z = -R
        axes = ((third, third_dot), (-w, -w_dot), (-u, -u_dot))
    rotation = np.stack([e for e, _ in axes], axis=1)
    # e_k' = omega x e_k for every axis of an orthonormal triad gives omega = 1/2 sum e_k x e_k'.
    omega = 0.5 * sum((np.cross(e, e_dot) for e, e_dot in axes), np.zeros_like(r))
    return rotation, omega
