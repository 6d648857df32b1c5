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
from collections.abc import Sequence
from typing import Any
from xml.parsers import expat

import numpy as np
from numpy.typing import ArrayLike

from velarion.conjunctions.cdm_keys import (
    _DATA_GROUPS,
    _HEADER_KEYS,
    _MAX_BYTES,
    _RTN_KEYS,
    _STATE_KEYS,
    _UNITS,
    CDMError,
    Item,
    Section,
    _error,
)
from velarion.conjunctions.cdm_message import CDM
from velarion.time.time import Time
from velarion.utils.textfiles import read_text

__all__ = ["CDM", "CDMError", "Item", "loads", "make", "read", "write"]

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
