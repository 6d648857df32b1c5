"""Reading the text files users give (catalogues, ephemerides, lists of
times and stations) within bounds.

A file is read in blocks and decoded as UTF-8 as it comes, so that what is
not text is refused at its first block: ``/dev/zero`` (a NUL byte), a binary
file (a byte that is not UTF-8), an endless stream of one line (a line longer
than ``MAX_LINE_CHARS``, for the formats made of lines), and anything larger
than ``MAX_FILE_BYTES``. A byte-order mark at the start is skipped.

Problems of the contents are ``ValueError`` naming the file (and the line);
a file that cannot be opened raises the ``OSError`` of ``open``. A caller
that holds what it reads says how much memory a byte of the file costs it:
a file whose share would exceed the memory budget (``velarion.utils.budget``)
is refused before it is read (a stream as it comes), with a message.
"""

from __future__ import annotations

import codecs
import os
import stat
import sys
from collections.abc import Iterator
from typing import IO

from .budget import check_fits

__all__ = ["MAX_FILE_BYTES", "MAX_LINE_CHARS", "NotTextError", "read_lines", "read_text"]

# The largest input file: a catalogue of every tracked object is some 30 MB as
# OMM JSON; an ephemeris of 5e7 epochs (the command line's most) about 5 GB,
# far beyond what fits in memory as text anyway.
MAX_FILE_BYTES = 2**31
# The longest line of a line-oriented format (ephemeris and OMM CSV, TLE,
# lists of times and stations): a row is some 150 characters.
MAX_LINE_CHARS = 2**16
_BLOCK = 2**20


class NotTextError(ValueError):
    """The file is no text of the expected kind (binary, endless, too large)."""


def _name(path: str | os.PathLike[str] | None) -> str:
    return "<stdin>" if path is None or path == "-" else repr(os.fspath(path))


def _blocks(path: str | os.PathLike[str] | None) -> Iterator[bytes | str]:
    """The file's contents in blocks (standard input for None or "-")."""
    if path is None or path == "-":
        if sys.stdin is None:
            raise NotTextError("cannot read <stdin>: standard input is closed")
        stream: IO[bytes] | IO[str] = getattr(sys.stdin, "buffer", None) or sys.stdin
        while block := stream.read(_BLOCK):
            yield block
        return
    with open(path, "rb") as f:
        while block := f.read(_BLOCK):
            yield block


def _check_memory(nbytes: int, where: str, memory_per_byte: float) -> None:
    if memory_per_byte > 0.0:
        check_fits(nbytes * memory_per_byte, f"reading {where}", "give a smaller file")


def _decoded(path: str | os.PathLike[str] | None, max_bytes: int, memory_per_byte: float = 0.0) -> Iterator[str]:
    """The file's text in blocks: UTF-8, at most ``max_bytes`` bytes, its
    byte-order mark dropped; ``MemoryBudgetError`` when what the caller
    makes of it (``memory_per_byte`` bytes per byte of the file) would not
    fit in the memory budget: before reading a regular file, as a stream comes."""
    where = _name(path)
    if path is not None and path != "-":
        try:
            status = os.stat(path)
        except OSError:
            pass  # open() names the problem below
        else:
            if stat.S_ISREG(status.st_mode):
                _check_memory(status.st_size, where, memory_per_byte)
    decoder = codecs.getincrementaldecoder("utf-8")()
    offset = 0  # bytes before the block being decoded
    first = True
    for block in _blocks(path):
        if isinstance(block, str):  # a text stream without a binary buffer
            text = block
            offset += len(block.encode("utf-8", "surrogatepass"))
        else:
            try:
                text = decoder.decode(block)
            except UnicodeDecodeError as e:
                raise NotTextError(
                    f"cannot read {where}: not UTF-8 text (byte 0x{e.object[e.start]:02x} at offset {offset + e.start})"
                ) from None
            offset += len(block)
        if offset > max_bytes:
            raise NotTextError(f"cannot read {where}: larger than {max_bytes} bytes, the most an input file may hold")
        _check_memory(offset, where, memory_per_byte)
        if first and text:
            first = False
            if text.startswith("\ufeff"):
                text = text[1:]
        if text:
            yield text
    try:
        tail = decoder.decode(b"", final=True)
    except UnicodeDecodeError as e:
        at = offset - len(e.object) + e.start  # the bytes the decoder still held end the file
        raise NotTextError(
            f"cannot read {where}: not UTF-8 text (byte 0x{e.object[e.start]:02x} at offset {at})"
        ) from None
    if tail:
        yield tail


def read_text(
    path: str | os.PathLike[str] | None, max_bytes: int = MAX_FILE_BYTES, memory_per_byte: float = 0.0
) -> str:
    """The whole text of a file (standard input for None or "-"); NotTextError
    beyond ``max_bytes`` or at the first NUL or byte that is not UTF-8;
    ``MemoryBudgetError`` when ``memory_per_byte`` times the file's size
    (what the caller holds of it) exceeds the memory budget."""
    parts: list[str] = []
    for text in _decoded(path, max_bytes, memory_per_byte):
        if "\x00" in text:
            raise NotTextError(f"{_name(path)}, line {_line_of(parts, text)}: a NUL character")
        parts.append(text)
    return "".join(parts)


def _line_of(parts: list[str], text: str) -> int:
    before = "".join(parts) + text[: text.index("\x00")]
    return len((before + "x").splitlines())


def read_lines(
    path: str | os.PathLike[str] | None,
    max_bytes: int = MAX_FILE_BYTES,
    max_line: int = MAX_LINE_CHARS,
    memory_per_byte: float = 0.0,
) -> Iterator[tuple[int, str]]:
    """(line number, line without its end) of a file as it is read, the lines
    that ``str.splitlines`` gives; NotTextError at the first line longer than
    ``max_line`` characters, holding a NUL, or not UTF-8, or beyond ``max_bytes``;
    ``MemoryBudgetError`` as ``read_text``."""
    where = _name(path)
    number = 0
    pending = ""
    for text in _decoded(path, max_bytes, memory_per_byte):
        pieces = (pending + text).splitlines(keepends=True)
        pending = ""
        # The last piece goes on in the next block without its line end (and
        # a "\r" there may be the first half of a "\r\n").
        if pieces and (pieces[-1].endswith("\r") or pieces[-1].splitlines()[0] == pieces[-1]):
            pending = pieces.pop()
        for piece in pieces:
            number += 1
            yield number, _checked(piece.splitlines()[0], where, number, max_line)
        if len(pending) > max_line:
            _checked(pending, where, number + 1, max_line)  # a NUL is named before the length
    if pending:
        yield number + 1, _checked(pending.splitlines()[0], where, number + 1, max_line)


def _checked(line: str, where: str, number: int, max_line: int) -> str:
    if "\x00" in line:
        # A NUL is no text (a binary file, most likely), and NumPy's text
        # arrays drop trailing NULs: refused on any line, comments too.
        raise NotTextError(f"{where}, line {number}: a NUL character")
    if len(line) > max_line:
        raise NotTextError(f"{where}, line {number}: longer than {max_line} characters (not a line of text)")
    return line
