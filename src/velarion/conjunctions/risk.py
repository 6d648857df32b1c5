"""The risk of a screening's events: their Pc from per-satellite
covariances, and a CDM of an event.

``screen(..., covariances=C, hbr=R)`` takes ``C`` as one covariance for
every satellite (a (3, 3) or (6, 6) array), one per satellite (a sequence
in the order of the satellites), or a dict from catalogue number to
covariance (with a ``"default"`` entry, if wanted, for the others), and
``covariance_frame``: "RTN" (each satellite's radial / transverse / normal
axes at TCA, the default) or "inertial" (the frame of the states, TEME).
Each event then carries ``pc``, Foster's 2-D Pc with the hard-body radius
``hbr`` [m], and its two covariances, which ``Conjunction.to_cdm()`` writes.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from velarion.conjunctions.cdm import CDM
    from velarion.conjunctions.results import Conjunction

__all__ = ["CovarianceLookup", "attach_pc", "event_cdm"]

Array = NDArray[np.float64]

# Word for word: callers and tests compare the exception texts of this module.


def _matrix(c: Any, what: str) -> Array:
    a = np.asarray(c, dtype=np.float64)
    if a.shape not in ((3, 3), (6, 6)) or not np.all(np.isfinite(a)):
        raise ValueError(f"{what} must be a finite (3, 3) or (6, 6) covariance, got shape {a.shape}")
    if not np.allclose(a, a.T, rtol=1e-9, atol=0.0):
        raise ValueError(f"{what} must be symmetric")
    out = np.zeros((6, 6))
    out[: len(a), : len(a)] = a
    return out


class CovarianceLookup:
    """The covariance (6x6, position-only ones padded with zeros) of each
    satellite of a screening, checked before the screening runs."""

    def __init__(self, satellites: Sequence[Any], covariances: Any, frame: str, hbr: Any):
        if frame not in ("RTN", "inertial"):
            raise ValueError(f"covariance_frame must be 'RTN' or 'inertial', got {frame!r}")
        if hbr is None:
            raise ValueError("covariances need a hard-body radius: pass hbr [m]")
        radius = float(hbr)
        if not (np.isfinite(radius) and radius > 0.0):
            raise ValueError(f"hbr must be a positive number of metres, got {hbr!r}")
        self.frame, self.hbr = frame, radius
        self._by_name: dict[tuple[str, int | None], Array] = {}
        self._default: Array | None = None
        if isinstance(covariances, Mapping):
            table = {k: _matrix(v, f"covariances[{k!r}]") for k, v in covariances.items()}
            self._default = table.pop("default", None)
            for s in satellites:
                if s.satnum in table:
                    self._by_name[(s.name, s.satnum)] = table[s.satnum]
            unknown = set(table) - {s.satnum for s in satellites}
            if unknown:
                raise ValueError(f"covariances name no satellite of the screening: {sorted(map(str, unknown))}")
        elif np.ndim(covariances) == 2:
            self._default = _matrix(covariances, "covariances")
        else:
            items = list(covariances)
            if len(items) != len(satellites):
                raise ValueError(f"covariances holds {len(items)} matrices for {len(satellites)} satellites")
            for s, c in zip(satellites, items, strict=True):
                key = (s.name, s.satnum)
                m = _matrix(c, f"the covariance of {s.name}")
                if key in self._by_name and not np.array_equal(self._by_name[key], m):
                    raise ValueError(f"two satellites named {s.name} ({s.satnum}) with different covariances")
                self._by_name[key] = m

    def __call__(self, name: str, satnum: int | None) -> Array:
        c = self._by_name.get((name, satnum), self._default)
        if c is None:
            raise ValueError(f"no covariance for {name} ({satnum}) and no 'default'")
        return c


def _to_rtn(c: Array, r: Array, v: Array) -> Array:
    from velarion.frames.lof import LocalOrbitalFrame

    rot = LocalOrbitalFrame("RTN", r, v).rotation[0]
    block = np.zeros((6, 6))
    block[:3, :3] = block[3:, 3:] = rot
    out: Array = block @ c @ block.T
    return out


def attach_pc(events: Sequence[Conjunction], lookup: CovarianceLookup) -> None:
    """Sets ``pc`` and the RTN covariances of every event (one vectorised call)."""
    from velarion.conjunctions.pc import foster_2d

    if not events:
        return
    rows = []
    for e in events:
        p, s = e.primary_state, e.secondary_state
        if p is None or s is None:
            raise ValueError("an event without states has no Pc")
        c1, c2 = lookup(e.primary, e.primary_satnum), lookup(e.secondary, e.secondary_satnum)
        if lookup.frame == "inertial":
            c1, c2 = _to_rtn(c1, *p), _to_rtn(c2, *s)
        rows.append((*p, c1, *s, c2))
    r1, v1, c1s, r2, v2, c2s = (np.array([row[k] for row in rows]) for k in range(6))
    values = foster_2d(r1, v1, c1s[:, :3, :3], r2, v2, c2s[:, :3, :3], lookup.hbr, frame="RTN")
    for e, value, a, b in zip(events, np.atleast_1d(values), c1s, c2s, strict=True):
        e.pc = float(value)
        e._covariances = (a, b, lookup.hbr)


def _gcrf(tca: Any, r: Array, v: Array) -> tuple[Array, Array]:
    import velarion.frames
    from velarion.frames.frames import get_TEME

    velarion.frames.register_standard_transforms()
    rr, vv = get_TEME().transform_to("GCRF", tca, np.asarray(r)[None], np.asarray(v)[None])
    return np.asarray(rr)[0], np.asarray(vv)[0]


def event_cdm(event: Conjunction, *, version: str = "1.0", message_id: str | None = None, **kwargs: Any) -> CDM:
    """A CDM of a screening's event: both states at TCA in GCRF (from TEME,
    with the IERS Earth orientation data), the RTN covariances where the
    screening had them (zeros otherwise) and the Pc."""
    from velarion.conjunctions.cdm import make

    p, s = event.primary_state, event.secondary_state
    if p is None or s is None:
        raise ValueError("an event without states cannot make a CDM")
    tca = event.tca
    (r1, v1), (r2, v2) = _gcrf(tca, *p), _gcrf(tca, *s)
    stored = getattr(event, "_covariances", None)
    c1, c2, hbr = stored if stored is not None else (None, None, None)
    half = None if hbr is None else hbr / 2.0
    objects = tuple(
        {
            "name": name,
            "designator": satnum if satnum is not None else "UNKNOWN",
            "ref_frame": "GCRF",
            "hbr": half,
        }
        for name, satnum in ((event.primary, event.primary_satnum), (event.secondary, event.secondary_satnum))
    )
    ident = message_id or f"{event.primary_satnum}_{event.secondary_satnum}_{str(tca.iso)[:19]}".replace(":", "")
    return make(
        tca=tca,
        objects=(objects[0], objects[1]),
        states=((r1, v1), (r2, v2)),
        covariances=(c1, c2),
        message_id=ident,
        version=version,
        pc=event.pc,
        pc_method="FOSTER-1992" if event.pc is not None else None,
        **kwargs,
    )
