"""Catalogues of element sets: ``load_tles`` reads two- and three-line
element sets, ``load_omm`` the CCSDS Orbit Mean-Elements Messages (OMM) of
general-perturbations feeds, in their JSON, CSV and XML layouts.

An ``OMM`` record is an ``ELSET`` with the catalogue fields of the message;
its elements are converted exactly as a ``TLE``'s are, so ``SGP4`` gives it
the states of the two-line element set of the same elements.
"""

from __future__ import annotations

import csv
import io
import json
import math
import os
from collections.abc import Iterable, Mapping
from typing import Any

from velarion.time.time import Time
from velarion.utils import textfiles

from .tle import ELSET, TLE

__all__ = ["OMM", "load_omm", "load_tles", "omm_record", "tles_of_text"]

# Word for word: callers and tests compare the exception texts of this module.

_DEG = math.pi / 180.0
_REV = 2.0 * math.pi
_DAY = 86400.0
# A text holding this many characters or a line end is element sets, not a path.
_PATH_MAX = 4096


class OMM(ELSET):
    """An element set of an OMM record: the mean elements (as ``ELSET``,
    SI units and radians) and the record's catalogue fields ``satnum``,
    ``intldesg`` (the launch designator as a TLE writes it, '98067A'),
    ``classification``, ``elnum``, ``revnum`` and ``ephtype``."""

    satnum: int
    intldesg: str
    classification: str
    elnum: int
    revnum: int
    ephtype: int

    def __new__(
        cls,
        epoch: Any,
        inc: float,
        raa: float,
        ecc: float,
        arp: float,
        mea: float,
        mnm: float,
        ndot: float = 0.0,
        nddot: float = 0.0,
        bstar: float = 0.0,
        name: str | None = None,
        *,
        satnum: int = 0,
        intldesg: str = "",
        classification: str = "U",
        elnum: int = 0,
        revnum: int = 0,
        ephtype: int = 0,
    ) -> OMM:
        self = super().__new__(cls, epoch, inc, raa, ecc, arp, mea, mnm, ndot, nddot, bstar, name)
        for field, value, kind in (
            ("satnum", satnum, int),
            ("intldesg", intldesg, str),
            ("classification", classification, str),
            ("elnum", elnum, int),
            ("revnum", revnum, int),
            ("ephtype", ephtype, int),
        ):
            if type(value) is not kind:
                raise TypeError(f"OMM: {field} must be {kind.__name__}, not {type(value).__name__}")
            object.__setattr__(self, field, value)
        return self

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        pass  # everything is set by __new__

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"OMM records are immutable: cannot set {name!r}")

    def __reduce__(self) -> Any:
        fields = {k: getattr(self, k) for k in ("satnum", "intldesg", "classification", "elnum", "revnum", "ephtype")}
        args = (self.epoch, self.inc, self.raa, self.ecc, self.arp, self.mea, self.mnm, self.ndot, self.nddot)
        return (_rebuild_omm, ((*args, self.bstar, self.name), fields))


def _rebuild_omm(args: tuple[Any, ...], fields: dict[str, Any]) -> OMM:
    return OMM(*args, **fields)


# Bytes of memory a byte of a file costs while it becomes element sets
# (measured on a catalogue of 20,000 objects, rounded up): the text, then
# the lines and TLEs, or the JSON, CSV or XML records and the OMMs.
_TLE_MEMORY_PER_BYTE = 10.0
_OMM_MEMORY_PER_BYTE = 6.0


def _read(source: str | os.PathLike[str], memory_per_byte: float) -> tuple[str, str]:
    """The text of a path, and how messages name it: read within the bounds
    of ``velarion.utils.textfiles`` (``/dev/zero`` or a binary file stops at
    its first block, a file that would not fit in the memory budget is
    refused before it is read); a byte-order mark at the start is dropped."""
    try:
        return textfiles.read_text(source, memory_per_byte=memory_per_byte), repr(os.fspath(source))
    except textfiles.NotTextError as e:
        raise ValueError(str(e)) from None


def _is_text(source: str) -> bool:
    return (
        not source.strip()
        or "\n" in source
        or "\r" in source
        or len(source) > _PATH_MAX
        or source.lstrip().startswith("1 ")
    )


def load_tles(source: str | os.PathLike[str]) -> list[TLE]:
    """The element sets of a file (a path) or of a text holding them.

    Two-line sets, each optionally after a name line (a ``0 `` prefix on it
    is dropped), blank lines anywhere, any line ends (LF, CRLF, CR);
    catalogue numbers in the Alpha-5 form are read. Returns the ``TLE``s in
    file order, with their names. A line that fits nowhere, or a set that
    does not parse, raises ``ValueError`` naming the line.
    """
    if isinstance(source, str) and _is_text(source):
        return tles_of_text(source)
    if isinstance(source, (str, os.PathLike)):
        return tles_of_text(*_read(source, _TLE_MEMORY_PER_BYTE))
    raise TypeError(f"load_tles takes a path or a text, not {type(source).__name__}")


def tles_of_text(text: str, where: str = "text") -> list[TLE]:
    """The element sets of a text (see ``load_tles``); messages name the text as ``where``."""
    if not isinstance(text, str):
        raise TypeError(f"the element sets must be a str, not {type(text).__name__}")
    lines = [(k + 1, ln.strip()) for k, ln in enumerate(text.splitlines())]
    lines = [(k, ln) for k, ln in lines if ln]
    out: list[TLE] = []
    j = 0
    while j < len(lines):
        k, ln = lines[j]
        name = None
        if not ln.startswith("1 "):
            if ln.startswith("2 "):
                raise ValueError(f"{where}, line {k}: line 2 of an element set without its line 1")
            name = ln[2:].strip() if ln.startswith("0 ") else ln
            j += 1
            if j >= len(lines) or not lines[j][1].startswith("1 "):
                raise ValueError(f"{where}, line {k}: a name line not followed by line 1 of an element set")
        k1, line1 = lines[j]
        if j + 1 >= len(lines) or not lines[j + 1][1].startswith("2 "):
            raise ValueError(f"{where}, line {k1}: line 1 of an element set not followed by its line 2")
        k2, line2 = lines[j + 1]
        try:
            out.append(TLE(line1, line2, name or None))
        except ValueError as e:
            text_ = str(e)
            # "TLE line 2, column 9: ..." names the line of the set: give the file's.
            at = k2 if text_.startswith("TLE line 2") else k1
            raise ValueError(f"{where}, line {at}: {e}") from None
        j += 2
    return out


# The longest value a message quotes in full: a field of thousands of digits
# is named by its start and its length.
_SHOWN = 40


def _shown(value: Any) -> str:
    """The value as a message quotes it: its repr, shortened when long."""
    if isinstance(value, int) and not isinstance(value, bool) and value.bit_length() > 128:
        # str() of a long int is slow, and refused past Python's digit limit.
        return f"an integer of about {int(value.bit_length() * math.log10(2)) + 1} digits"
    text = repr(value)
    if len(text) <= _SHOWN:
        return text
    return f"{text[:16]}... ({len(value) if isinstance(value, str) else len(text)} characters)"


class _LongInteger(str):
    """A JSON integer of more digits than any field holds, kept as its text
    (Python's conversion of a long digit string is slow and capped)."""


# More digits than any numeric field of an element set can use.
_MAX_DIGITS = 40


def _json_integer(text: str) -> int | str:
    return int(text) if len(text) <= _MAX_DIGITS else _LongInteger(text)


def _number(record: Mapping[str, Any], key: str, where: str, default: Any = None) -> float:
    value = record.get(key, default)
    if value is None:
        raise ValueError(f"{where}: no {key}")
    if isinstance(value, bool) or not isinstance(value, (int, float, str)):
        raise ValueError(f"{where}: {key} must be a number, not {type(value).__name__}")
    if isinstance(value, _LongInteger):
        raise ValueError(f"{where}: {key} is out of range: an integer of {len(value.lstrip('-'))} digits")
    try:
        x = float(value)
    except ValueError:
        raise ValueError(f"{where}: {key} is not a number: {_shown(value)}") from None
    except OverflowError:  # an int beyond the range of a double
        raise ValueError(f"{where}: {key} is out of range: {_shown(value)}") from None
    if not math.isfinite(x):
        if isinstance(value, str) and not any(w in value.lower() for w in ("inf", "nan")):
            raise ValueError(f"{where}: {key} is out of range: {_shown(value)}")
        raise ValueError(f"{where}: {key} must be finite, got {_shown(value)}")
    return x


def _integer(record: Mapping[str, Any], key: str, where: str, default: int) -> int:
    value = record.get(key)
    if value is None or value == "":
        return default
    x = _number(record, key, where)
    if x != math.floor(x) or abs(x) > 2**53:
        raise ValueError(f"{where}: {key} must be a whole number, got {_shown(value)}")
    return int(x)


def _text(record: Mapping[str, Any], key: str, default: str = "") -> str:
    value = record.get(key)
    return default if value is None else str(value).strip()


def _designator(object_id: str) -> str:
    """'1998-067A' -> '98067A' (the TLE's form); anything else as given."""
    if len(object_id) > 5 and object_id[:4].isdigit() and object_id[4] == "-":
        return object_id[2:4] + object_id[5:]
    return object_id


def omm_record(record: Mapping[str, Any], where: str = "OMM record") -> OMM:
    """The ``OMM`` element set of one record (a mapping of the message's
    keywords: EPOCH, MEAN_MOTION [rev/day], ECCENTRICITY, INCLINATION,
    RA_OF_ASC_NODE, ARG_OF_PERICENTER, MEAN_ANOMALY [deg], BSTAR,
    MEAN_MOTION_DOT, MEAN_MOTION_DDOT and the catalogue fields)."""
    if not isinstance(record, Mapping):
        raise ValueError(f"{where}: a record must be a mapping of keywords, not {type(record).__name__}")
    epoch_text = record.get("EPOCH")
    if not isinstance(epoch_text, str) or not epoch_text.strip():
        raise ValueError(f"{where}: no EPOCH")
    try:
        epoch = Time(epoch_text.strip())
    except (ValueError, TypeError) as e:
        # Time's message quotes the text: a long one is named by its start only.
        why = f": {e}" if len(epoch_text) <= _SHOWN else ""
        raise ValueError(f"{where}: bad EPOCH {_shown(epoch_text)}{why}") from None
    if epoch.shape != ():
        raise ValueError(f"{where}: bad EPOCH {_shown(epoch_text)}")
    # The conversions of a TLE's fields, operation for operation: the same
    # elements give the same doubles.
    mnm = _number(record, "MEAN_MOTION", where) * _REV / _DAY
    ndot = _number(record, "MEAN_MOTION_DOT", where, 0.0) * _REV / (_DAY * _DAY)
    nddot = _number(record, "MEAN_MOTION_DDOT", where, 0.0) * _REV / (_DAY * _DAY * _DAY)
    name = _text(record, "OBJECT_NAME") or None
    # The fields' own errors name the record already: only the element
    # set's checks below need the prefix.
    elements = (
        _number(record, "INCLINATION", where) * _DEG,
        _number(record, "RA_OF_ASC_NODE", where) * _DEG,
        _number(record, "ECCENTRICITY", where),
        _number(record, "ARG_OF_PERICENTER", where) * _DEG,
        _number(record, "MEAN_ANOMALY", where) * _DEG,
    )
    bstar = _number(record, "BSTAR", where, 0.0)
    fields = {
        "satnum": _integer(record, "NORAD_CAT_ID", where, 0),
        "intldesg": _designator(_text(record, "OBJECT_ID")),
        "classification": _text(record, "CLASSIFICATION_TYPE", "U") or "U",
        "elnum": _integer(record, "ELEMENT_SET_NO", where, 0),
        "revnum": _integer(record, "REV_AT_EPOCH", where, 0),
        "ephtype": _integer(record, "EPHEMERIS_TYPE", where, 0),
    }
    try:
        return OMM(epoch, *elements, mnm, ndot, nddot, bstar, name, **fields)
    except ValueError as e:
        raise ValueError(f"{where}: {e}") from None


def _records_of(text: str, layout: str, where: str) -> Iterable[Mapping[str, Any]]:
    if layout == "json":
        try:
            data = json.loads(text, parse_int=_json_integer)
        except json.JSONDecodeError as e:
            raise ValueError(f"{where}: not JSON: {e}") from None
        except RecursionError:
            raise ValueError(f"{where}: JSON nested too deeply for OMM records") from None
        if isinstance(data, Mapping):
            data = [data]
        if not isinstance(data, list):
            raise ValueError(f"{where}: JSON OMM must be a list of records, not {type(data).__name__}")
        return data
    if layout == "csv":
        try:
            return list(csv.DictReader(io.StringIO(text)))
        except csv.Error as e:  # a field beyond the csv module's limit, a NUL character
            raise ValueError(f"{where}: not OMM CSV: {e}") from None
    try:
        return list(_xml_records(text))
    except Exception as e:  # the XML parser's errors (ParseError, AttributeError of a missing element)
        raise ValueError(f"{where}: not OMM XML: {e}") from None


def _xml_records(text: str) -> Iterable[dict[str, str | None]]:
    """The records of an OMM XML document (the CCSDS NDM layout): the
    fields of each segment's metadata, mean elements and TLE parameters,
    as the sgp4 package's reader gathers them (a segment without one of
    these is an error)."""
    from xml.etree import ElementTree

    root = ElementTree.parse(io.StringIO(text)).getroot()
    for segment in root.findall(".//segment"):
        metadata = segment.find("metadata")
        data = segment.find("data")
        mean_elements = data.find("meanElements")  # type: ignore[union-attr]
        tle_parameters = data.find("tleParameters")  # type: ignore[union-attr]
        fields: dict[str, str | None] = {}
        for element in metadata, mean_elements, tle_parameters:
            fields.update((field.tag, field.text) for field in element)  # type: ignore[union-attr]
        yield fields


def load_omm(path: str | os.PathLike[str], layout: str | None = None) -> list[OMM]:
    """The element sets of an OMM file: JSON (a list of records), CSV (a
    header of the keywords) or XML (the CCSDS NDM layout), as general-
    perturbations feeds publish them. ``layout`` ("json", "csv", "xml";
    default: from the file's extension, else from its first character).
    Returns ``OMM`` records in file order; a record that does not convert
    raises ``ValueError`` naming it."""
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"load_omm takes a path, not {type(path).__name__}")
    text, where = _read(path, _OMM_MEMORY_PER_BYTE)
    if layout is None:
        ext = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
        head = text.lstrip("\ufeff \t\r\n")[:1]
        layout = ext if ext in ("json", "csv", "xml") else {"[": "json", "{": "json", "<": "xml"}.get(head, "csv")
    if layout not in ("json", "csv", "xml"):
        raise ValueError(f"layout must be 'json', 'csv' or 'xml', got {layout!r}")
    records = _records_of(text.lstrip("\ufeff"), layout, where)
    return [omm_record(r, f"{where}, record {k + 1}") for k, r in enumerate(records)]
