"""Conjunction data messages (CCSDS 508.0, CDM), versions 1.0 and 2.0, in
KVN and XML.

A ``CDM`` holds the message as written: its header, its relative metadata
and data (TCA, miss distance, relative state in RTN, screening volume, Pc)
and one section per object (metadata, OD parameters, additional parameters,
state at TCA, covariance), each an ordered list of ``Item`` (key, value
text, unit text, the comments before it). Writing gives back the same items
in the same order, so a message read and written (in either syntax) is the
same message. The typed accessors convert to SI on reading: positions in m
(the state's km), velocities in m/s, covariances in m^2, m^2/s, m^2/s^2 (and
the drag / SRP / thrust rows as written, which are SI already), times as
``Time`` (UTC).

Checks on reading, each a ``CDMError`` naming the file, the line and the
key: a line that is no ``KEY = value [unit]``, a key twice in a section, a
mandatory key missing, a number that is not a finite number (or longer than
64 characters), a unit other than the standard's, a covariance that is not
positive semi-definite. That last one has a repair instead: with
``remediate=True`` (the default) the covariance's negative eigenvalues are
set to zero (eigenvalue clipping of the 6x6 position-velocity block, and the
rows beyond it kept), the values the accessors give change, the items stay
as written, and ``is_remediated(k)`` says so. XML with a document type
declaration or entities is refused before it is parsed.

``read(path)`` and ``loads(text)`` take either syntax; ``CDM.to_kvn()``,
``CDM.to_xml()`` and ``write(path, cdm, syntax)`` write; ``make(...)`` builds
a message from SI values.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any
from xml.parsers import expat
from xml.sax.saxutils import escape

import numpy as np
from numpy.typing import ArrayLike, NDArray

from velarion.time.time import Time
from velarion.utils.textfiles import read_text

__all__ = ["CDM", "CDMError", "Item", "loads", "make", "read", "write"]

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


class CDM:
    """A conjunction data message (see the module's docstring)."""

    def __init__(
        self,
        header: Section,
        relative: Section,
        objects: tuple[Section, Section],
        *,
        where: str = "<cdm>",
        remediate: bool = True,
    ):
        self.header, self.relative, self.objects = header, relative, objects
        self.where = where
        self._check(remediate)

    # -- checks -----------------------------------------------------------
    def _check(self, remediate: bool) -> None:
        w = self.where
        if "CCSDS_CDM_VERS" not in self.header:
            raise _error(w, 1, "CCSDS_CDM_VERS", "missing (a CDM starts with its version)")
        version = self.header["CCSDS_CDM_VERS"]
        if version not in ("1.0", "2.0"):
            raise _error(w, self.header.item("CCSDS_CDM_VERS").line, "CCSDS_CDM_VERS", f"unknown version {version!r}")
        last = max([it.line for s in (self.header, self.relative, *self.objects) for it in s.items] + [0])
        for section, keys in ((self.header, _HEADER_REQUIRED), (self.relative, _RELATIVE_REQUIRED)):
            for key in keys:
                if key not in section:
                    raise _error(w, last, key, "mandatory key missing")
        for number, obj in enumerate(self.objects, 1):
            for key in _OBJECT_REQUIRED:
                if key not in obj:
                    raise _error(w, last, key, f"mandatory key missing in OBJECT{number}")
            if obj["OBJECT"] != f"OBJECT{number}":
                it = obj.item("OBJECT")
                raise _error(w, it.line, "OBJECT", f"expected OBJECT{number}, got {it.value!r}")
        for section in (self.header, self.relative, *self.objects):
            for it in section.items:
                expected = _UNITS.get(it.key)
                if it.unit is not None and expected is not None and it.unit != expected:
                    raise _error(w, it.line, it.key, f"unit [{it.unit}] where the standard writes [{expected}]")
                if it.key in _NUMERIC:
                    _number(w, it)
        for section, key in ((self.header, "CREATION_DATE"), (self.relative, "TCA")):
            it = section.item(key)
            try:
                _time(it.value)
            except ValueError:
                raise _error(w, it.line, key, f"not a UTC date-time: {it.value!r}") from None
        self._covariances: list[dict[str, Array | None]] = []
        self._remediated: list[bool] = []
        for number, obj in enumerate(self.objects, 1):
            forms: dict[str, Array | None] = {}
            repaired = False
            for name, form_keys in (("RTN", _RTN_KEYS), ("XYZ", _XYZ_KEYS)):
                matrix, fixed = self._matrix(obj, form_keys, number, remediate)
                forms[name] = matrix
                repaired |= fixed
            if forms["RTN"] is None and forms["XYZ"] is None:
                raise _error(w, last, "CR_R", f"no covariance in OBJECT{number} (neither RTN nor XYZ)")
            self._covariances.append(forms)
            self._remediated.append(repaired)

    def _matrix(self, obj: Section, keys: list[list[str]], number: int, remediate: bool) -> tuple[Array | None, bool]:
        w = self.where
        # The drag / SRP / thrust diagonals are named alike in both forms.
        own = _RTN_SET if keys is _RTN_KEYS else _XYZ_SET - _RTN_SET
        present = [k for row in keys[:6] for k in row if k in obj and k in own]
        if not present:
            return None, False
        size = 0
        for i, row in enumerate(keys):
            have = [k in obj for k in row]
            if all(have):
                size = i + 1
                continue
            if any(have) or i < 6:
                missing = next(k for k in row if k not in obj)
                line = obj.item(present[0]).line
                raise _error(w, line, missing, f"covariance element missing in OBJECT{number}")
            break
        for row in keys[size:]:
            for k in row:
                if k in obj:
                    raise _error(w, obj.item(k).line, k, f"covariance row beyond a missing row in OBJECT{number}")
        c = np.zeros((size, size))
        for i in range(size):
            for j in range(i + 1):
                c[i, j] = c[j, i] = _number(w, obj.item(keys[i][j]))
        block = c[:6, :6]
        values, vectors = np.linalg.eigh(block)
        scale = max(float(np.max(np.abs(values))), 1e-300)
        if values[0] >= -1e-12 * scale:
            return c, False
        if not remediate:
            line = obj.item(keys[0][0]).line
            raise _error(w, line, keys[0][0], f"the covariance of OBJECT{number} is not positive semi-definite")
        fixed = (vectors * np.maximum(values, 0.0)) @ vectors.T
        c[:6, :6] = 0.5 * (fixed + fixed.T)
        return c, True

    # -- accessors --------------------------------------------------------
    @property
    def version(self) -> str:
        return self.header["CCSDS_CDM_VERS"]

    @property
    def tca(self) -> Time:
        return _time(self.relative["TCA"])

    @property
    def creation_date(self) -> Time:
        return _time(self.header["CREATION_DATE"])

    @property
    def message_id(self) -> str:
        return self.header["MESSAGE_ID"]

    @property
    def miss_distance(self) -> float:
        return float(self.relative["MISS_DISTANCE"])

    def relative_state(self) -> tuple[Array, Array] | None:
        """The relative position [m] and velocity [m/s] in RTN, when given."""
        keys = [f"RELATIVE_{a}_{b}" for a in ("POSITION", "VELOCITY") for b in "RTN"]
        if not all(k in self.relative for k in keys):
            return None
        x = np.array([float(self.relative[k]) for k in keys])
        return x[:3], x[3:]

    def number(self, k: int, key: str) -> float | None:
        """A numeric key of object k (1 or 2) in SI, None when absent."""
        obj = self._object(k)
        if key not in obj:
            return None
        x = float(obj[key])
        return x * 1e3 if key in _STATE_KEYS else x

    def object_name(self, k: int) -> str:
        return self._object(k)["OBJECT_NAME"]

    def ref_frame(self, k: int) -> str:
        return self._object(k)["REF_FRAME"]

    def state(self, k: int) -> tuple[Array, Array]:
        """Object k's position [m] and velocity [m/s] at TCA in its REF_FRAME."""
        obj = self._object(k)
        x = np.array([float(obj[key]) * 1e3 for key in _STATE_KEYS])
        return x[:3], x[3:]

    def covariance(self, k: int, form: str = "RTN") -> Array | None:
        """Object k's covariance in SI (form "RTN" or "XYZ"; 6x6 up to 9x9),
        remediated where ``is_remediated(k)``; None when not given."""
        if form not in ("RTN", "XYZ"):
            raise ValueError(f"unknown covariance form {form!r}; expected 'RTN' or 'XYZ'")
        self._object(k)
        c = self._covariances[k - 1][form]
        return None if c is None else c.copy()

    def is_remediated(self, k: int) -> bool:
        """Whether object k's covariance was repaired (it was not positive semi-definite)."""
        self._object(k)
        return self._remediated[k - 1]

    def inertial(self, k: int) -> tuple[Array, Array, Array]:
        """(r, v, C) of object k in its REF_FRAME, the 6x6 covariance
        rotated there from RTN (or the XYZ form when that is all there is)."""
        r, v = self.state(k)
        rtn = self.covariance(k, "RTN")
        if rtn is None:
            xyz = self.covariance(k, "XYZ")
            assert xyz is not None
            return r, v, xyz[:6, :6]
        from velarion.frames.lof import LocalOrbitalFrame

        rot = LocalOrbitalFrame("RTN", r, v).rotation[0]
        block = np.zeros((6, 6))
        block[:3, :3] = block[3:, 3:] = rot
        return r, v, block.T @ rtn[:6, :6] @ block

    def hard_body_radius(self) -> float | None:
        """The combined hard-body radius [m]: the sum of the objects' HBR,
        or of the radii of discs of their AREA_PC; None when not given."""
        total = 0.0
        for k in (1, 2):
            hbr, area = self.number(k, "HBR"), self.number(k, "AREA_PC")
            if hbr is not None:
                total += hbr
            elif area is not None:
                total += math.sqrt(area / math.pi)
            else:
                return None
        return total

    def _object(self, k: int) -> Section:
        if k not in (1, 2):
            raise ValueError(f"object must be 1 or 2, got {k!r}")
        return self.objects[k - 1]

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CDM):
            return NotImplemented
        return (self.header, self.relative, self.objects) == (other.header, other.relative, other.objects)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return (
            f"CDM(version={self.version!r}, message_id={self.message_id!r}, tca={self.relative['TCA']!r}, "
            f"objects=({self.object_name(1)!r}, {self.object_name(2)!r}))"
        )

    # -- writing ----------------------------------------------------------
    def to_kvn(self) -> str:
        lines: list[str] = []
        for section in (self.header, self.relative, *self.objects):
            for it in section.items:
                lines.extend(f"COMMENT {c}".rstrip() for c in it.comments)
                unit = f" [{it.unit}]" if it.unit is not None else ""
                lines.append(f"{it.key:<34} = {it.value}{unit}".rstrip())
            lines.extend(f"COMMENT {c}".rstrip() for c in section.trailing)
        return "\n".join(lines) + "\n"

    def to_xml(self) -> str:
        out = ['<?xml version="1.0" encoding="UTF-8"?>', f'<cdm id="CCSDS_CDM_VERS" version="{self.version}">']

        def put(it: Item, indent: str) -> None:
            for c in it.comments:
                out.append(f"{indent}<COMMENT>{escape(c)}</COMMENT>")
            units = f' units="{escape(it.unit)}"' if it.unit is not None else ""
            out.append(f"{indent}<{it.key}{units}>{escape(it.value)}</{it.key}>")

        def trailing(section: Section, indent: str) -> None:
            out.extend(f"{indent}<COMMENT>{escape(c)}</COMMENT>" for c in section.trailing)

        out.append("  <header>")
        for it in self.header.items:
            if it.key != "CCSDS_CDM_VERS":
                put(it, "    ")
            else:
                out.extend(f"    <COMMENT>{escape(c)}</COMMENT>" for c in it.comments)
        trailing(self.header, "    ")
        out.append("  </header>")
        out.append("  <body>")
        out.append("    <relativeMetadataData>")
        group = None
        for it in self.relative.items:
            want = "relativeStateVector" if it.key in _RELATIVE_STATE_KEYS else None
            if want != group:
                if group:
                    out.append(f"      </{group}>")
                if want:
                    out.append(f"      <{want}>")
                group = want
            put(it, "        " if group else "      ")
        if group:
            out.append(f"      </{group}>")
        trailing(self.relative, "      ")
        out.append("    </relativeMetadataData>")
        for obj in self.objects:
            out.append("    <segment>")
            out.append("      <metadata>")
            part = "metadata"
            group = None
            for it in obj.items:
                g = _GROUP_OF.get(it.key)
                if g is not None and part == "metadata":
                    out.append("      </metadata>")
                    out.append("      <data>")
                    part = "data"
                if part == "data" and g != group:
                    if group:
                        out.append(f"        </{group}>")
                    if g:
                        out.append(f"        <{g}>")
                    group = g
                put(it, "          " if group else "        ")
            if group:
                out.append(f"        </{group}>")
            trailing(obj, "        ")
            out.append("      </data>" if part == "data" else "      </metadata>\n      <data>\n      </data>")
            out.append("    </segment>")
        out.append("  </body>")
        out.append("</cdm>")
        return "\n".join(out) + "\n"


def _time(text: str) -> Time:
    return Time(text.strip().rstrip("Z"), scale="utc")


# -- reading ----------------------------------------------------------------


def _split(sections: list[list[Item]], pending: list[str], it: Item, where: str) -> None:
    """Puts `it` into its section: the header until the first key that is
    no header key, the relative part until OBJECT, then the objects."""
    if it.key == "OBJECT":
        if len(sections) >= 4:
            raise _error(where, it.line, "OBJECT", "a third object (a CDM has two)")
        while len(sections) < 2:
            sections.append([])
        sections.append([])
    elif len(sections) == 1 and it.key not in _HEADER_KEYS:
        sections.append([])
    target = sections[-1]
    if any(x.key == it.key for x in target):
        raise _error(where, it.line, it.key, "a key given twice")
    it.comments = list(pending)
    pending.clear()
    target.append(it)


def _assemble(sections: list[list[Item]], pending: list[str], where: str, remediate: bool) -> CDM:
    while len(sections) < 2:
        sections.append([])
    if len(sections) < 4:
        line = max([it.line for s in sections for it in s] + [0])
        raise _error(where, line, "OBJECT", f"{len(sections) - 2} of the two objects given")
    parts = [Section(items) for items in sections]
    parts[-1].trailing = list(pending)
    return CDM(parts[0], parts[1], (parts[2], parts[3]), where=where, remediate=remediate)


def _parse_kvn(text: str, where: str, remediate: bool) -> CDM:
    sections: list[list[Item]] = [[]]
    pending: list[str] = []
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.strip()
        if not line:
            continue
        if line.startswith("COMMENT") and (line == "COMMENT" or line[7] in " \t"):
            pending.append(line[7:].strip())
            continue
        key, eq, rest = line.partition("=")
        key = key.strip()
        if not eq or not key or not key.replace("_", "").isalnum() or not key.isupper():
            raise _error(where, number, key or line[:20], "not a KEY = value line")
        value, unit = rest.strip(), None
        if value.endswith("]") and "[" in value:
            value, _, unit = value[:-1].rpartition("[")
            value, unit = value.strip(), unit.strip()
        if not value:
            raise _error(where, number, key, "no value")
        _split(sections, pending, Item(key, value, unit, line=number), where)
    return _assemble(sections, pending, where, remediate)


class _Refused(Exception):
    pass


def _refuse(*args: object) -> None:
    raise _Refused


_STRUCTURE = {"cdm", "header", "body", "relativeMetadataData", "segment", "metadata", "data", "relativeStateVector"}
_STRUCTURE |= {name for name, _ in _DATA_GROUPS}


def _parse_xml(text: str, where: str, remediate: bool) -> CDM:
    lowered = text.lower()
    if "<!doctype" in lowered or "<!entity" in lowered:
        raise CDMError(f"{where}: XML with a document type declaration or entities is refused")
    parser = expat.ParserCreate()
    # Declarations and entities of any kind end the parse (the text check
    # above already refuses them; these handlers hold if it is fooled).
    for handler in (
        "StartDoctypeDeclHandler",
        "EntityDeclHandler",
        "UnparsedEntityDeclHandler",
        "ExternalEntityRefHandler",
        "SkippedEntityHandler",
    ):
        setattr(parser, handler, _refuse)
    stack: list[tuple[str, dict[str, str], list[str], int, bool]] = []
    leaves: list[tuple[str, dict[str, str], str, int]] = []
    root: list[tuple[str, dict[str, str]]] = []

    def start(name: str, attrs: dict[str, str]) -> None:
        tag = name.rpartition(":")[2]
        if stack:
            parent = stack[-1]
            stack[-1] = (parent[0], parent[1], parent[2], parent[3], True)
        else:
            root.append((tag, attrs))
        stack.append((tag, attrs, [], parser.CurrentLineNumber, False))

    def end(name: str) -> None:
        tag, attrs, chunks, line, has_children = stack.pop()
        if not has_children and tag not in _STRUCTURE:
            leaves.append((tag, attrs, "".join(chunks).strip(), line))

    def data(chunk: str) -> None:
        if stack:
            stack[-1][2].append(chunk)

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    parser.CharacterDataHandler = data
    try:
        parser.Parse(text, True)
    except _Refused:
        raise CDMError(f"{where}: XML with a document type declaration or entities is refused") from None
    except expat.ExpatError as e:
        raise CDMError(f"{where}: not well-formed XML ({expat.errors.messages[e.code]}, line {e.lineno})") from None
    if not root or root[0][0] != "cdm":
        raise CDMError(f"{where}: the root element is not <cdm>")
    version = root[0][1].get("version")
    if version is None:
        raise _error(where, 1, "CCSDS_CDM_VERS", "missing (the version attribute of <cdm>)")
    sections: list[list[Item]] = [[Item("CCSDS_CDM_VERS", version, line=1)]]
    pending: list[str] = []
    for tag, attrs, value, line in leaves:
        if tag == "COMMENT":
            pending.append(value)
            continue
        if not value:
            raise _error(where, line, tag, "no value")
        _split(sections, pending, Item(tag, value, attrs.get("units"), line=line), where)
    return _assemble(sections, pending, where, remediate)


def loads(text: str, *, where: str = "<cdm>", remediate: bool = True) -> CDM:
    """A CDM from its text (KVN or XML)."""
    if not isinstance(text, str):
        raise TypeError(f"loads() takes a str, not {type(text).__name__}")
    if text.lstrip().startswith("<"):
        return _parse_xml(text, where, remediate)
    return _parse_kvn(text, where, remediate)


def read(path: str | os.PathLike[str], *, remediate: bool = True) -> CDM:
    """A CDM from a file (KVN or XML), read through the bounded reader (at
    most 4 MiB: a CDM is a few kB)."""
    return loads(read_text(path, max_bytes=_MAX_BYTES), where=os.fspath(path), remediate=remediate)


def write(path: str | os.PathLike[str], cdm: CDM, syntax: str = "kvn") -> None:
    """Writes `cdm` to `path` as KVN or XML."""
    if syntax not in ("kvn", "xml"):
        raise ValueError(f"unknown CDM syntax {syntax!r}; expected 'kvn' or 'xml'")
    text = cdm.to_kvn() if syntax == "kvn" else cdm.to_xml()
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


# -- making -------------------------------------------------------------------


def _iso(t: Time) -> str:
    return str(t.iso).replace(" ", "T")


def _object_items(
    number: int,
    obj: dict[str, Any],
    r: ArrayLike,
    v: ArrayLike,
    cov_rtn: ArrayLike | None,
) -> list[Item]:
    items = [
        Item("OBJECT", f"OBJECT{number}"),
        Item("OBJECT_DESIGNATOR", str(obj.get("designator", "UNKNOWN"))),
        Item("CATALOG_NAME", str(obj.get("catalog", "SATCAT"))),
        Item("OBJECT_NAME", str(obj.get("name", "UNKNOWN"))),
        Item("INTERNATIONAL_DESIGNATOR", str(obj.get("international_designator", "UNKNOWN"))),
        Item("EPHEMERIS_NAME", str(obj.get("ephemeris", "NONE"))),
        Item("COVARIANCE_METHOD", str(obj.get("covariance_method", "CALCULATED"))),
        Item("MANEUVERABLE", str(obj.get("maneuverable", "N/A"))),
        Item("REF_FRAME", str(obj.get("ref_frame", "EME2000"))),
    ]
    if obj.get("hbr") is not None:
        # The area of the object's disc: its share of the hard-body radius.
        items.append(Item("AREA_PC", f"{math.pi * float(obj['hbr']) ** 2:.10g}", "m**2"))
    rv = np.concatenate([np.ravel(np.asarray(r, dtype=np.float64)), np.ravel(np.asarray(v, dtype=np.float64))])
    for key, x in zip(_STATE_KEYS, rv, strict=True):
        items.append(Item(key, f"{x / 1e3:.9f}" if "DOT" in key else f"{x / 1e3:.6f}", _UNITS[key]))
    c = np.zeros((6, 6)) if cov_rtn is None else np.asarray(cov_rtn, dtype=np.float64)
    size = c.shape[0]
    if c.shape != (size, size) or not 6 <= size <= 9:
        raise ValueError(f"a CDM covariance is 6x6 to 9x9, got {c.shape}")
    for i in range(size):
        for j in range(i + 1):
            key = _RTN_KEYS[i][j]
            items.append(Item(key, f"{c[i, j]:.10E}", _UNITS[key]))
    return items


def make(
    *,
    tca: Time,
    objects: tuple[dict[str, Any], dict[str, Any]],
    states: tuple[tuple[ArrayLike, ArrayLike], tuple[ArrayLike, ArrayLike]],
    covariances: tuple[ArrayLike | None, ArrayLike | None] = (None, None),
    message_id: str = "VELARION",
    originator: str = "VELARION",
    creation_date: Time | None = None,
    version: str = "1.0",
    pc: float | None = None,
    pc_method: str | None = None,
    comments: Sequence[str] = (),
) -> CDM:
    """A CDM from SI values: states (r, v) [m, m/s] in EME2000/GCRF,
    covariances in RTN (6x6 to 9x9, SI; None writes zeros), ``objects`` two
    dicts of metadata (name, designator, international_designator, catalog,
    ephemeris, covariance_method, maneuverable, ref_frame, hbr [m]: the
    object's radius, written as AREA_PC)."""
    if version not in ("1.0", "2.0"):
        raise ValueError(f"unknown CDM version {version!r}")
    created = creation_date if creation_date is not None else Time(np.datetime64("now", "ms"))
    header = [
        Item("CCSDS_CDM_VERS", version),
        Item("CREATION_DATE", _iso(created), comments=list(comments)),
        Item("ORIGINATOR", originator),
        Item("MESSAGE_ID", message_id),
    ]
    (r1, v1), (r2, v2) = states
    a = np.ravel(np.asarray(r1, dtype=np.float64))
    b = np.ravel(np.asarray(r2, dtype=np.float64))
    va = np.ravel(np.asarray(v1, dtype=np.float64))
    vb = np.ravel(np.asarray(v2, dtype=np.float64))
    from velarion.frames.lof import LocalOrbitalFrame

    relative = [
        Item("TCA", _iso(tca)),
        Item("MISS_DISTANCE", f"{float(np.linalg.norm(b - a)):.3f}", "m"),
        Item("RELATIVE_SPEED", f"{float(np.linalg.norm(vb - va)):.3f}", "m/s"),
    ]
    # The relative state in the primary's RTN axes (not rotating with them).
    rot = LocalOrbitalFrame("RTN", a, va).rotation[0]
    for name, x in (("POSITION", rot @ (b - a)), ("VELOCITY", rot @ (vb - va))):
        unit = "m" if name == "POSITION" else "m/s"
        relative += [Item(f"RELATIVE_{name}_{axis}", f"{float(c):.3f}", unit) for axis, c in zip("RTN", x, strict=True)]
    if pc is not None:
        relative.append(Item("COLLISION_PROBABILITY", f"{pc:.6E}"))
        if pc_method is not None:
            relative.append(Item("COLLISION_PROBABILITY_METHOD", pc_method))
    parts = (
        Section(header),
        Section(relative),
        (
            Section(_object_items(1, objects[0], r1, v1, covariances[0])),
            Section(_object_items(2, objects[1], r2, v2, covariances[1])),
        ),
    )
    return CDM(*parts)
