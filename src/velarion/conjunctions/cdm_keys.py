"""The vocabulary of conjunction data messages: the keys of each part of a
message, their units, the numeric keys, the covariance layouts; and the
building blocks of a message (``Item``, ``Section``) with its error
(``CDMError``) and the checked reading of a number.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

import numpy as np
from numpy.typing import NDArray

Array = NDArray[np.float64]

# Word for word: callers and tests compare the exception texts of this module.

_MAX_NUMBER_CHARS = 64
_MAX_BYTES = 4 << 20

_HEADER_KEYS = ("CCSDS_CDM_VERS", "CLASSIFICATION", "CREATION_DATE", "ORIGINATOR", "MESSAGE_FOR", "MESSAGE_ID")
_HEADER_REQUIRED = ("CREATION_DATE", "ORIGINATOR", "MESSAGE_ID")
_RELATIVE_REQUIRED = ("TCA", "MISS_DISTANCE")
_OBJECT_REQUIRED = (
    "OBJECT",
    "OBJECT_DESIGNATOR",
    "CATALOG_NAME",
    "OBJECT_NAME",
    "INTERNATIONAL_DESIGNATOR",
    "EPHEMERIS_NAME",
    "COVARIANCE_METHOD",
    "MANEUVERABLE",
    "REF_FRAME",
    "X",
    "Y",
    "Z",
    "X_DOT",
    "Y_DOT",
    "Z_DOT",
)
_STATE_KEYS = ("X", "Y", "Z", "X_DOT", "Y_DOT", "Z_DOT")

# Rows of the two covariance forms, in order; the key of element (i, j),
# j <= i, is "C" + row[i] + "_" + row[j].
_RTN_ROWS = ("R", "T", "N", "RDOT", "TDOT", "NDOT", "DRG", "SRP", "THR")
_XYZ_ROWS = ("X", "Y", "Z", "X_DOT", "Y_DOT", "Z_DOT", "DRG", "SRP", "THR")


def _cov_keys(rows: Sequence[str]) -> list[list[str]]:
    return [[f"C{rows[i]}_{rows[j]}" for j in range(i + 1)] for i in range(len(rows))]


_RTN_KEYS = _cov_keys(_RTN_ROWS)
_XYZ_KEYS = _cov_keys(_XYZ_ROWS)
_RTN_SET = {k for row in _RTN_KEYS for k in row}
_XYZ_SET = {k for row in _XYZ_KEYS for k in row}


def _cov_unit(rows: Sequence[str], i: int, j: int) -> str:
    # Position rows carry m, velocity rows m/s, drag and SRP m**2/kg, thrust m/s**2.
    def unit(k: int) -> tuple[str, str]:
        return (("m", ""), ("m", "s"), ("m**2", "kg"), ("m", "s**2"))[0 if k < 3 else 1 if k < 6 else 2 if k < 8 else 3]

    (ni, di), (nj, dj) = unit(i), unit(j)
    powers: dict[str, int] = {}
    for base, sign in ((ni, 1), (nj, 1), (di, -1), (dj, -1)):
        if not base:
            continue
        name, _, p = base.partition("**")
        powers[name] = powers.get(name, 0) + sign * int(p or 1)
    order = sorted(powers, key=("m", "kg", "s").index)
    num = "*".join(f"{k}**{powers[k]}" if powers[k] > 1 else k for k in order if powers[k] > 0)
    den = "*".join(f"{k}**{-powers[k]}" if powers[k] < -1 else k for k in order if powers[k] < 0)
    if not den:
        return num or "1"
    return f"{num}/{den}" if sum(powers[k] < 0 for k in order) == 1 else f"{num}/({den})"


# The standard's unit of each key that has one.
_UNITS: dict[str, str] = {
    "MISS_DISTANCE": "m",
    "RELATIVE_SPEED": "m/s",
    "RELATIVE_POSITION_R": "m",
    "RELATIVE_POSITION_T": "m",
    "RELATIVE_POSITION_N": "m",
    "RELATIVE_VELOCITY_R": "m/s",
    "RELATIVE_VELOCITY_T": "m/s",
    "RELATIVE_VELOCITY_N": "m/s",
    "SCREEN_VOLUME_X": "m",
    "SCREEN_VOLUME_Y": "m",
    "SCREEN_VOLUME_Z": "m",
    "SCREEN_VOLUME_RADIUS": "m",
    "HBR": "m",
    "APPROACH_ANGLE": "deg",
    "RECOMMENDED_OD_SPAN": "d",
    "ACTUAL_OD_SPAN": "d",
    "RESIDUALS_ACCEPTED": "%",
    "AREA_PC": "m**2",
    "AREA_PC_MIN": "m**2",
    "AREA_PC_MAX": "m**2",
    "AREA_DRG": "m**2",
    "AREA_SRP": "m**2",
    "MASS": "kg",
    "CD_AREA_OVER_MASS": "m**2/kg",
    "CR_AREA_OVER_MASS": "m**2/kg",
    "THRUST_ACCELERATION": "m/s**2",
    "SEDR": "W/kg",
    "APOAPSIS_ALTITUDE": "km",
    "PERIAPSIS_ALTITUDE": "km",
    "INCLINATION": "deg",
    **{k: "km" for k in ("X", "Y", "Z")},
    **{k: "km/s" for k in ("X_DOT", "Y_DOT", "Z_DOT")},
}
for _rows, _keys in ((_RTN_ROWS, _RTN_KEYS), (_XYZ_ROWS, _XYZ_KEYS)):
    for _i, _row in enumerate(_keys):
        for _j, _key in enumerate(_row):
            _UNITS[_key] = _cov_unit(_rows, _i, _j)
_NUMERIC = set(_UNITS) | {"COLLISION_PROBABILITY", "WEIGHTED_RMS", "OBS_AVAILABLE", "OBS_USED"}
_NUMERIC |= {"MAHALANOBIS_DISTANCE", "TRACKS_AVAILABLE", "TRACKS_USED", "COLLISION_MAX_PROBABILITY"}

# XML grouping of the object data (KVN has none beyond comments).
_OD_KEYS = {
    "TIME_LASTOB_START",
    "TIME_LASTOB_END",
    "RECOMMENDED_OD_SPAN",
    "ACTUAL_OD_SPAN",
    "OBS_AVAILABLE",
    "OBS_USED",
    "TRACKS_AVAILABLE",
    "TRACKS_USED",
    "RESIDUALS_ACCEPTED",
    "WEIGHTED_RMS",
    "OD_EPOCH",
}
_ADDITIONAL_KEYS = {
    "AREA_PC",
    "AREA_PC_MIN",
    "AREA_PC_MAX",
    "AREA_DRG",
    "AREA_SRP",
    "OEB_PARENT_FRAME",
    "OEB_PARENT_FRAME_EPOCH",
    "OEB_Q1",
    "OEB_Q2",
    "OEB_Q3",
    "OEB_QC",
    "OEB_MAX",
    "OEB_INT",
    "OEB_MIN",
    "AREA_ALONG_OEB_MAX",
    "AREA_ALONG_OEB_INT",
    "AREA_ALONG_OEB_MIN",
    "RCS",
    "RCS_MIN",
    "RCS_MAX",
    "VM_ABSOLUTE",
    "VM_APPARENT_MIN",
    "VM_APPARENT",
    "VM_APPARENT_MAX",
    "REFLECTANCE",
    "MASS",
    "HBR",
    "CD_AREA_OVER_MASS",
    "CR_AREA_OVER_MASS",
    "THRUST_ACCELERATION",
    "SEDR",
    "MIN_DV",
    "MAX_DV",
    "LEAD_TIME_REQD_BEFORE_TCA",
    "APOAPSIS_ALTITUDE",
    "PERIAPSIS_ALTITUDE",
    "INCLINATION",
    "COV_CONFIDENCE",
    "COV_CONFIDENCE_METHOD",
}
_RELATIVE_STATE_KEYS = {f"RELATIVE_{a}_{b}" for a in ("POSITION", "VELOCITY") for b in "RTN"}
_DATA_GROUPS = (
    ("odParameters", _OD_KEYS),
    ("additionalParameters", _ADDITIONAL_KEYS),
    ("stateVector", set(_STATE_KEYS)),
    ("covarianceMatrix", _RTN_SET),
    ("xyzCovarianceMatrix", _XYZ_SET),
)
_GROUP_OF = {k: name for name, keys in _DATA_GROUPS for k in keys}


class CDMError(ValueError):
    """A message that is not a well-formed CDM."""


@dataclass
class Item:
    """One key of a message: its value and unit as written (unit None when
    the message gives none), the comments before it, its line (0 when made,
    not read)."""

    key: str
    value: str
    unit: str | None = None
    comments: list[str] = field(default_factory=list)
    line: int = 0


class Section:
    """An ordered list of items with unique keys."""

    def __init__(self, items: Iterable[Item] = (), comments: Iterable[str] = ()):
        self.items: list[Item] = list(items)
        self.trailing: list[str] = list(comments)  # comments after the last item
        self._index = {it.key: it for it in self.items}

    def __contains__(self, key: object) -> bool:
        return key in self._index

    def __getitem__(self, key: str) -> str:
        return self._index[key].value

    def get(self, key: str, default: str | None = None) -> str | None:
        it = self._index.get(key)
        return default if it is None else it.value

    def item(self, key: str) -> Item:
        return self._index[key]

    def keys(self) -> list[str]:
        return [it.key for it in self.items]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Section):
            return NotImplemented
        mine = [(i.key, i.value, i.unit, i.comments) for i in self.items]
        theirs = [(i.key, i.value, i.unit, i.comments) for i in other.items]
        return mine == theirs and self.trailing == other.trailing


def _error(where: str, line: int, key: str, reason: str) -> CDMError:
    return CDMError(f"{where}, line {line}, {key}: {reason}")


def _number(where: str, it: Item) -> float:
    if len(it.value) > _MAX_NUMBER_CHARS:
        raise _error(where, it.line, it.key, f"a number of more than {_MAX_NUMBER_CHARS} characters")
    try:
        x = float(it.value)
    except ValueError:
        raise _error(where, it.line, it.key, f"not a number: {it.value!r}") from None
    if not math.isfinite(x):
        raise _error(where, it.line, it.key, f"not a finite number: {it.value!r}")
    return x
