"""Fuzz harness: the command line's CSV reader (velarion.cli.csvio) and the
``velarion convert`` command that reads through it.

Inputs become CSV texts: ephemeris files with fields replaced, dropped,
doubled or garbled, odd headers, comments, blank lines, stray quotes and
separators, and now and then arbitrary text. For each text:

- ``read_ephemeris`` and ``read_times`` either return or raise the reader's
  InputError (a ValueError naming the place); nothing else may escape;
- an ephemeris that was read has one finite row per data line, its number
  fields are plain ASCII decimals and it holds no NUL, and written back with
  ``format_rows`` and read again gives the same numbers exactly and the same
  times to the nanosecond;
- ``velarion convert`` on the file (one input in eight) exits 0 or 1 (with
  a message), never with a traceback.

Run: python fuzz/cli_csv.py [libFuzzer flags], or through fuzz/run.py.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
import sys
import tempfile

import atheris

with atheris.instrument_imports(include=["velarion.cli"]):
    import numpy as np

    from velarion.cli import main
    from velarion.cli.csvio import InputError, format_rows, read_ephemeris, read_times

ROWS = (
    "2024-03-20T12:00:00,7000000.0,0.0,0.0,0.0,7500.0,0.0",
    "2024-03-20T12:01:00.5,6999000.25,449000.0,1.5e3,-480.0,7480.0,1.0",
    "2016-12-31T23:59:60.5,-4.2e7,1e-3,0,3.07e3,-1,0",
    "2024-03-21 00:00,1,2,3,4,5,6",
    "1999-01-01T00:00:00Z,  6.4e6 , 0 , 0 , 0 , 0 , 0 ",
)
HEADERS = ("time,x,y,z,vx,vy,vz", "TIME,X,Y,Z,VX,VY,VZ", "# ephemeris", "", "time,x,y,z")
PIECES = (
    ",",
    ",,",
    "\n",
    "\r\n",
    "#",
    " ",
    "\t",
    '"',
    "nan",
    "inf",
    "-",
    "e",
    "1e400",
    "0x1p3",
    "1_0",
    "\x00",
    "\u2028",
    "\u00e9",
    "T",
    "Z",
    "60",
    "time",
    "99",
    ".",
    "+",
    "\ufeff",
)
DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
WORK = tempfile.mkdtemp(prefix="velarion-fuzz-csv-")
PATH = os.path.join(WORK, "in.csv")
OUT = os.path.join(WORK, "out.csv")


def make_text(fdp: atheris.FuzzedDataProvider) -> str:
    if fdp.ConsumeIntInRange(0, 9) == 0:
        return fdp.ConsumeUnicodeNoSurrogates(200)
    lines = [HEADERS[fdp.ConsumeIntInRange(0, len(HEADERS) - 1)]]
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        lines.append(ROWS[fdp.ConsumeIntInRange(0, len(ROWS) - 1)])
    text = "\n".join(lines)
    chars = list(text)
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        op = fdp.ConsumeIntInRange(0, 3)
        pos = fdp.ConsumeIntInRange(0, len(chars))
        piece = PIECES[fdp.ConsumeIntInRange(0, len(PIECES) - 1)]
        if op == 0 and pos < len(chars):
            chars[pos] = piece
        elif op == 1:
            chars.insert(pos, piece)
        elif op == 2 and pos < len(chars):
            del chars[pos : pos + fdp.ConsumeIntInRange(1, 8)]
        else:
            chars[pos:pos] = list(str(fdp.ConsumeIntInRange(0, 10**6)))
    return "".join(chars) + ("\n" if fdp.ConsumeBool() else "")


def data_lines(text: str) -> int:
    n = 0
    for line in text.splitlines():
        s = line.strip()
        if s and not s.startswith("#"):
            n += 1
    return n


def check(text: str, command: bool) -> None:
    with open(PATH, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    try:
        table = read_ephemeris(PATH)
    except InputError as e:
        assert str(e), "empty message"
    else:
        n = table.r.shape[0]
        assert table.r.shape == (n, 3) and table.v.shape == (n, 3) and table.time.size == n and n > 0
        assert n in (data_lines(text), data_lines(text) - 1)  # the header is a data-like line
        assert np.all(np.isfinite(table.r)) and np.all(np.isfinite(table.v))
        assert "\x00" not in text
        for line in text.lstrip("\ufeff").splitlines():
            fields = [f.strip() for f in line.strip().split(",")]
            if len(fields) == 7 and fields[0].lower() != "time" and not line.strip().startswith("#"):
                assert all(DECIMAL.fullmatch(f) for f in fields[1:]), line
        back = format_rows(table.time, table.r, table.v)
        with open(OUT, "w", encoding="utf-8") as f:
            f.write(back)
        again = read_ephemeris(OUT)
        assert np.array_equal(again.r, table.r) and np.array_equal(again.v, table.v)
        miss = np.max(np.abs(np.asarray(again.time - table.time)))
        assert miss <= 1e-9, (miss, text)
    try:
        times, lines, _ = read_times(PATH)
    except InputError as e:
        assert str(e)
    else:
        assert times.size == len(lines) > 0
    if not command:
        return  # the command line builds its parser on each run: one input in eight
    err = io.StringIO()
    with contextlib.redirect_stderr(err), contextlib.redirect_stdout(io.StringIO()):
        status = main(["convert", PATH, "--from", "GCRF", "--to", "ITRF", "-o", OUT])
    assert status in (0, 1), (status, err.getvalue())
    assert status == 0 or err.getvalue().startswith("velarion convert: error: "), err.getvalue()


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    command = fdp.ConsumeIntInRange(0, 7) == 0
    check(make_text(fdp), command)


if __name__ == "__main__":
    atheris.instrument_func(check)
    atheris.instrument_func(make_text)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
