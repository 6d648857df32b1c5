"""``CDM``, a conjunction data message held as written, with its checks, its
typed accessors (SI values) and its writing to KVN and XML.
"""

from __future__ import annotations

import math
from xml.sax.saxutils import escape

import numpy as np

from velarion.conjunctions.cdm_keys import (
    _GROUP_OF,
    _HEADER_REQUIRED,
    _NUMERIC,
    _OBJECT_REQUIRED,
    _RELATIVE_REQUIRED,
    _RELATIVE_STATE_KEYS,
    _RTN_KEYS,
    _RTN_SET,
    _STATE_KEYS,
    _UNITS,
    _XYZ_KEYS,
    _XYZ_SET,
    Array,
    Item,
    Section,
    _error,
    _number,
)
from velarion.time.time import Time


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
