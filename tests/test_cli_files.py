"""The command line's files: where ``-o`` and ``--plot`` land (links, FIFOs,
devices, refused special files), unwritable places found before the work,
inputs read within bounds, element-set files with absurd numbers, and runs
stopped by a signal that keep their results and leave no temporary."""

import contextlib
import io
import json
import os
import random
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest
from test_cli import GOOD, ISS_2019, _assert_one_line_error, run
from test_passes import _omm_fields, _write_omm

from velarion.cli import outfiles
from velarion.cli.errors import InputError
from velarion.propagators.analytical.sgp4 import TLE, load_omm
from velarion.utils import textfiles

CONVERT = ["convert", "--from", "GCRF", "--to", "ITRF"]
TLE_ARGS = ["--line1", ISS_2019[0], "--line2", ISS_2019[1]]
# The sanitizer reserves terabytes of address space, which RLIMIT_AS defeats:
# under it the children are bounded in CPU time instead.
LIMITS = (
    "import resource; resource.setrlimit(resource.RLIMIT_CPU, (120, 120))\n"
    if "asan" in os.environ.get("LD_PRELOAD", "")
    else "import resource; resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))\n"
)


def _child(code, **kwargs):
    """A Python child process running ``code`` under a memory limit, with SIGINT,
    SIGTERM and SIGHUP at their defaults (a run under nohup ignores SIGHUP, and
    the command leaves an ignored signal ignored)."""
    prelude = LIMITS + (
        "import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "for name in ('SIGTERM', 'SIGHUP'):\n"
        "    if hasattr(signal, name):\n"
        "        signal.signal(getattr(signal, name), signal.SIG_DFL)\n"
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.Popen([sys.executable, "-c", prelude + code], env=env, text=True, **kwargs)


def _expected(capsys, tmp_path):
    """The converted ephemeris of GOOD as standard output gives it (the oracle of every -o case)."""
    (tmp_path / "in.csv").write_text(GOOD)
    status, out, err = run([*CONVERT, str(tmp_path / "in.csv")], capsys)
    assert status == 0 and err == [] and out.count("\n") == 3
    return out


# --- where -o lands -----------------------------------------------------------


def _fifo_reader(path, got):
    def read():
        with open(path) as f:
            got.append(f.read())

    t = threading.Thread(target=read, daemon=True)
    t.start()
    return t


DESTINATIONS = [
    "new file",
    "name of 250 characters",
    "existing file",
    "link to a file",
    "chain of links",
    "dangling link",
    "fifo",
    "/dev/null",
]


@pytest.mark.parametrize("kind", DESTINATIONS)
def test_output_lands_where_the_path_leads(kind, tmp_path, capsys):
    expected = _expected(capsys, tmp_path)
    target = tmp_path / "result.csv"
    path = tmp_path / "out.csv"
    reader = got = None
    if kind == "existing file":
        path.write_text("previous\n")
        path.chmod(0o640)
        target = path
    elif kind == "link to a file":
        target.write_text("previous\n")
        target.chmod(0o604)
        path.symlink_to("result.csv")
    elif kind == "chain of links":
        target.write_text("previous\n")
        (tmp_path / "middle.csv").symlink_to(target)
        path.symlink_to(tmp_path / "middle.csv")
    elif kind == "dangling link":
        path.symlink_to("result.csv")
    elif kind == "fifo":
        os.mkfifo(path)
        got = []
        reader = _fifo_reader(path, got)
    elif kind == "/dev/null":
        if not stat.S_ISCHR(os.stat(os.devnull).st_mode):
            pytest.skip("/dev/null is no device here")
        path.symlink_to(os.devnull)
    elif kind == "name of 250 characters":
        target = path = tmp_path / ("r" * 246 + ".csv")
    else:
        target = path
    before = {p: (os.lstat(tmp_path / p).st_mode, os.lstat(tmp_path / p).st_ino) for p in os.listdir(tmp_path)}
    mode = os.stat(target).st_mode if target.exists() else None
    status, out, err = run([*CONVERT, str(tmp_path / "in.csv"), "-o", str(path)], capsys)
    assert status == 0 and err == [] and out == ""
    if reader is not None:
        reader.join(10)
        assert got == [expected]
    elif kind != "/dev/null":
        assert target.read_text() == expected
        if mode is not None:
            assert stat.S_IMODE(os.stat(target).st_mode) == stat.S_IMODE(mode)
    # Links, FIFOs and devices are what they were; no temporary is left.
    after = {p: os.lstat(tmp_path / p).st_mode for p in os.listdir(tmp_path)}
    assert set(after) == set(before) | ({target.name} if kind not in ("fifo", "/dev/null") else set())
    for p, (m, ino) in before.items():
        assert after[p] == m
        if not stat.S_ISREG(m):
            assert os.lstat(tmp_path / p).st_ino == ino
    if kind == "/dev/null":
        assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


def test_output_through_dev_stdout_is_written_in_place(tmp_path, capsys):
    # /dev/stdout links to this process's descriptor: a redirected standard
    # output is written through it, and nothing is made in /dev or /proc.
    expected = _expected(capsys, tmp_path)
    with open(tmp_path / "redirected.csv", "w") as f:
        proc = _child(
            "import sys; from velarion.cli import main\n"
            f"sys.exit(main({[*CONVERT, str(tmp_path / 'in.csv'), '-o', '/dev/stdout']!r}))",
            stdout=f,
            stderr=subprocess.PIPE,
        )
        _, err = proc.communicate(timeout=120)
    assert proc.returncode == 0 and err == ""
    assert (tmp_path / "redirected.csv").read_text() == expected


def _block_device():
    for entry in os.scandir("/dev"):
        with contextlib.suppress(OSError):
            if stat.S_ISBLK(os.stat(entry.path).st_mode):
                return entry.path
    return None


REFUSED = {
    "directory": (lambda d: os.mkdir(d / "out.csv"), "it is a directory"),
    "link to a directory": (lambda d: (os.mkdir(d / "dir"), os.symlink(d / "dir", d / "out.csv")), "it is a directory"),
    "socket": (lambda d: socket.socket(socket.AF_UNIX).bind(str(d / "out.csv")), "it is a socket"),
    "block device": (lambda d: os.symlink(_block_device(), d / "out.csv"), "it is a block device"),
    "loop of links": (lambda d: (os.symlink(d / "b", d / "out.csv"), os.symlink(d / "out.csv", d / "b")), "links"),
    "missing folder": (lambda d: None, "no folder"),
    "read-only file": (lambda d: ((d / "out.csv").write_text("kept\n"), (d / "out.csv").chmod(0o444)), "permission"),
}


@pytest.mark.parametrize("kind", list(REFUSED))
def test_refused_outputs_are_one_line_before_the_work(kind, tmp_path, capsys):
    make, fragment = REFUSED[kind]
    if kind == "block device" and _block_device() is None:
        pytest.skip("no block device here")
    if kind == "read-only file" and os.geteuid() == 0:
        pytest.skip("root writes read-only files")
    make(tmp_path)
    path = tmp_path / ("missing/out.csv" if kind == "missing folder" else "out.csv")
    before = sorted((p, os.lstat(tmp_path / p).st_mode) for p in os.listdir(tmp_path))
    # The input is missing too: the output's error first shows the check comes before any reading.
    status, out, err = run([*CONVERT, str(tmp_path / "nowhere.csv"), "-o", str(path)], capsys)
    _assert_one_line_error(status, out, err, [f"cannot write the output {str(path)!r}", fragment])
    assert sorted((p, os.lstat(tmp_path / p).st_mode) for p in os.listdir(tmp_path)) == before
    # At write time the same place gives the same words.
    with pytest.raises(InputError) as e, outfiles.text_output(str(path)):
        pass
    assert err[0].endswith(str(e.value))


UNWRITABLE = {
    "a folder of /sys": lambda d: "/sys/velarion.csv",
    "a missing folder": lambda d: str(d / "missing" / "out.csv"),
    "a read-only folder": lambda d: (os.mkdir(d / "ro"), os.chmod(d / "ro", 0o555), str(d / "ro" / "out.csv"))[-1],
}
COMMANDS = {
    "passes": ["passes", "--tle", "{tmp}/nowhere.tle"],
    "look": ["look", "--tle", "{tmp}/nowhere.tle"],
    "propagate": ["propagate", "--tle", "{tmp}/nowhere.tle"],
    "convert": ["convert", "--from", "GCRF", "--to", "ITRF", "{tmp}/nowhere.csv"],
    "conjunctions": ["conjunctions", "--tle", "{tmp}/nowhere.tle"],
}


@pytest.mark.parametrize("place", list(UNWRITABLE))
@pytest.mark.parametrize("command, option", [*((c, "-o") for c in COMMANDS), ("passes", "--plot")])
def test_unwritable_places_are_found_before_the_work(command, option, place, tmp_path, capsys):
    if place == "a read-only folder" and os.geteuid() == 0:
        pytest.skip("root writes in read-only folders")
    if option == "--plot":
        pytest.importorskip("matplotlib")
    path = UNWRITABLE[place](tmp_path)
    if option == "--plot":
        path = path.replace(".csv", ".png")
    argv = [a.replace("{tmp}", str(tmp_path)) for a in COMMANDS[command]] + [option, path]
    status, out, err = run(argv, capsys)
    what = "the plot" if option == "--plot" else "the output"
    _assert_one_line_error(status, out, err, [f"cannot write {what} {path!r}"])
    with pytest.raises(InputError) as e, outfiles.written_path(path, what):
        pass
    assert err[0].endswith(str(e.value))


@pytest.mark.parametrize("kind", ["link to a file", "link to /dev/null"])
def test_plot_lands_where_the_path_leads(kind, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    real = tmp_path / "real.png"
    if kind == "link to a file":
        real.write_bytes(b"previous")
        (tmp_path / "sky.png").symlink_to("real.png")
    else:
        if not stat.S_ISCHR(os.stat(os.devnull).st_mode):
            pytest.skip("/dev/null is no device here")
        (tmp_path / "sky.png").symlink_to(os.devnull)
    status, _, err = run(["passes", "--hours", "3", "--plot", str(tmp_path / "sky.png")], capsys)
    assert status == 0 and err == []
    assert os.path.islink(tmp_path / "sky.png")
    if kind == "link to a file":
        assert real.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    assert sorted(os.listdir(tmp_path)) == sorted(["sky.png"] + (["real.png"] if kind == "link to a file" else []))
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)


@pytest.mark.parametrize("how", ["-o /dev/full", "-o link to /dev/full"])
def test_a_failed_write_names_the_file(how, tmp_path, capsys):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full here")
    path = "/dev/full"
    if "link" in how:
        path = str(tmp_path / "out.csv")
        os.symlink("/dev/full", path)
    status, out, err = run([*CONVERT, str(_input(tmp_path)), "-o", path], capsys)
    _assert_one_line_error(status, out, err, [f"cannot write the output {path!r}", "No space left"])


def _input(tmp_path):
    (tmp_path / "in.csv").write_text(GOOD)
    return tmp_path / "in.csv"


INPUT_FILES = {
    "--tle": (["passes", "--tle", "{f}"], "\n".join(["ISS", *ISS_2019, ""])),
    "--omm": (["passes", "--omm", "{f}"], None),
    "--times": (["propagate", *TLE_ARGS, "--times", "{f}"], "2019-12-09T00:00:00\n"),
    "--stations": (["passes", "--stations", "{f}"], "name,lat,lon\nRedu,50.0,5.1\n"),
    "--eop": (["passes", "--eop", "{f}"], "not read\n"),
    "FILE 1": (["pc", "{f}"], "not read\n"),
}


@pytest.mark.parametrize(
    "option, how",
    [
        (option, how)
        for option, (argv, _) in INPUT_FILES.items()
        for how in ["-o", "--plot", "-o through a hard link", "-o through a symbolic link"]
        if how != "--plot" or argv[0] == "passes"
    ],
)
def test_a_result_never_replaces_an_input_file(option, how, tmp_path, capsys):
    if how == "--plot":
        pytest.importorskip("matplotlib")
    argv, content = INPUT_FILES[option]
    source = tmp_path / ("input.png" if how == "--plot" else "input.txt")
    if content is None:
        content = json.dumps([_omm_fields(TLE(*ISS_2019, "ISS"))])
    source.write_text(content)
    out = source
    if "hard link" in how:
        out = tmp_path / "other.txt"
        os.link(source, out)
    elif "symbolic link" in how:
        out = tmp_path / "other.txt"
        out.symlink_to(source.name)
    argv = [a.replace("{f}", str(source)) for a in argv] + [how.split()[0], str(out)]
    status, stdout, err = run(argv, capsys)
    _assert_one_line_error(status, stdout, err, [f"{str(out)!r}: it is the input file of {option}"])
    assert source.read_text() == content


def test_output_may_replace_its_input(tmp_path, capsys):
    # The input is read whole before the result replaces it (as sort -o does).
    expected = _expected(capsys, tmp_path)
    status, _, err = run([*CONVERT, str(tmp_path / "in.csv"), "-o", str(tmp_path / "in.csv")], capsys)
    assert status == 0 and err == []
    assert (tmp_path / "in.csv").read_text() == expected


# --- inputs read within bounds ------------------------------------------------


def _random_text(rng):
    pieces = ["a", "é", "€", "𝄞", " ", ",", "\n", "\r\n", "\r", "\x0b", "\u2028", "\x1c"]
    return "".join(rng.choice(pieces) for _ in range(rng.randrange(0, 60)))


@pytest.mark.parametrize("seed", range(40))
def test_reading_in_blocks_gives_the_lines_of_the_whole_text(seed, tmp_path, monkeypatch):
    # Blocks of a few bytes split "\r\n" pairs and multi-byte characters.
    rng = random.Random(seed)
    monkeypatch.setattr(textfiles, "_BLOCK", rng.randrange(1, 8))
    text = _random_text(rng)
    path = tmp_path / "x.txt"
    path.write_bytes((b"\xef\xbb\xbf" if seed % 3 == 0 else b"") + text.encode())
    assert list(textfiles.read_lines(path)) == list(enumerate(text.splitlines(), start=1))
    assert textfiles.read_text(path) == text


@pytest.mark.parametrize(
    "text, bounds, fragment",
    [
        ("ab\ncdef\ng\n", {"max_line": 3}, "line 2: longer than 3 characters"),
        ("ab\n" * 10, {"max_bytes": 16}, "larger than 16 bytes"),
        ("ab\ncd\x00\n", {}, "line 2: a NUL character"),
        ("ab\ncd" + "x" * 40, {"max_line": 8}, "line 2: longer than 8"),
        ("\u00e9" * 10, {"max_line": 9}, "line 1: longer than 9"),
    ],
)
def test_reading_stops_at_the_first_line_past_a_bound(text, bounds, fragment, tmp_path, monkeypatch):
    monkeypatch.setattr(textfiles, "_BLOCK", 4)
    path = tmp_path / "x.txt"
    path.write_text(text)
    with pytest.raises(textfiles.NotTextError, match=fragment):
        list(textfiles.read_lines(path, **bounds))


def _number_text(rng, x):
    forms = [repr(x), f"{x:.3e}", f"{x:+.6f}", f"{x:E}", str(int(x)) + ".", "." + "5" * rng.randrange(1, 5)]
    return rng.choice(forms)


@pytest.mark.parametrize("seed", range(6))
def test_ephemeris_rows_read_as_python_reads_their_numbers(seed, tmp_path):
    # Every layout of a number and of the blanks around it that the format
    # takes, against float() of each stripped field.
    from velarion.cli.csvio import read_ephemeris

    rng = random.Random(seed)
    blanks = ["", " ", "\t", " \u00a0", "\u2003"]
    lines, expected, numbers = ["# comment", "time,x,y,z,vx,vy,vz", ""], [], []
    for k in range(200):
        texts = [_number_text(rng, rng.uniform(-1e7, 1e7)) for _ in range(6)]
        fields = [f"2024-01-01T00:{k // 60:02d}:{k % 60:02d}", *texts]
        lines.append(",".join(rng.choice(blanks) + f + rng.choice(blanks) for f in fields))
        expected.append([float(t) for t in texts])
        numbers.append(len(lines))
        if rng.random() < 0.1:
            lines.append(rng.choice(["", "  ", "# note, 1, 2"]))
    path = tmp_path / "eph.csv"
    path.write_text("\n".join(lines) + "\n")
    table = read_ephemeris(str(path))
    assert table.r.tolist() + table.v.tolist() == [e[:3] for e in expected] + [e[3:] for e in expected]
    assert table.lines.tolist() == numbers


READERS = {
    "convert": ["convert", "--from", "GCRF", "--to", "ITRF", "{f}"],
    "propagate --times": ["propagate", *TLE_ARGS, "--times", "{f}"],
    "passes --tle": ["passes", "--tle", "{f}"],
    "propagate --tle": ["propagate", "--tle", "{f}"],
    "passes --omm": ["passes", "--omm", "{f}"],
    "passes --stations": ["passes", "--stations", "{f}"],
    "passes --eop": ["passes", "--eop", "{f}"],
    "conjunctions --tle": ["conjunctions", "--tle", "{f}"],
    "conjunctions --omm": ["conjunctions", "--omm", "{f}"],
}
BAD_FILES = {
    "directory": None,
    "missing": None,
    "empty": b"",
    "blank lines": b"\n \n\t\n",
    "binary": bytes(range(256)) * 4,
    "Latin-1": "caf\xe9,\xb0\n".encode("latin-1"),
    "NUL": b"time\n\x00\n",
    "one long line": b"1 " + b"9" * 200_000,
    "unicode": "\u2603,\U0001d11e,\u202e\n".encode(),
}


@pytest.mark.parametrize("reader", list(READERS))
def test_every_reader_gives_one_line_for_a_bad_file(reader, tmp_path, capsys):
    for kind, content in BAD_FILES.items():
        path = tmp_path / kind.replace(" ", "_")
        if kind == "directory":
            path.mkdir()
        elif content is not None:
            path.write_bytes(content)
        argv = [a.replace("{f}", str(path)) for a in READERS[reader]] + ["-o", str(tmp_path / "out.csv")]
        status, out, err = run(argv, capsys)
        assert status == 1 and out == "" and len(err) == 1, (kind, err)
        assert str(path) in err[0] and "Error" not in err[0], (kind, err)
        assert not (tmp_path / "out.csv").exists()


OVER_BUDGET = {
    "convert": (["convert", "--from", "GCRF", "--to", "ITRF", "{f}"], GOOD.splitlines()[1] + "\n", 9),
    "propagate --times": (["propagate", *TLE_ARGS, "--times", "{f}"], "2019-12-09T00:00:00\n", 3),
    "passes --tle": (["passes", "--tle", "{f}"], "\n".join([*ISS_2019, ""]), 2),
    "passes --stations": (["passes", "--stations", "{f}"], "Redu,50.0,5.1\n", 2),
    "passes --omm": (["passes", "--omm", "{f}"], None, 3),
    "convert <stdin>": (["convert", "--from", "GCRF", "--to", "ITRF"], GOOD.splitlines()[1] + "\n", 9),
}


@pytest.mark.parametrize("reader", list(OVER_BUDGET))
def test_a_file_beyond_the_memory_budget_is_refused_with_what_to_reduce(reader, tmp_path, capsys, monkeypatch):
    from velarion.utils.budget import budget

    argv, line, megabytes = OVER_BUDGET[reader]
    if line is None:
        line = json.dumps(_omm_fields(TLE(*ISS_2019, "ISS"))) + ",\n"
    text = line * (megabytes * 2**20 // len(line) + 1)
    if reader == "passes --omm":
        text = "[" + text.rstrip(",\n") + "]"
    path = tmp_path / "big.txt"
    path.write_text(text)
    if "<stdin>" in reader:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(text.encode()), encoding="utf-8"))
    with budget("16M"):
        status, out, err = run([a.replace("{f}", str(path)) for a in argv], capsys)
    where = "<stdin>" if "<stdin>" in reader else repr(str(path))
    _assert_one_line_error(status, out, err, [f"reading {where} needs about", "memory budget of 16 MiB"])


def test_endless_and_binary_streams_stop_at_once(tmp_path):
    # Each would read forever or fill the memory without a bound: one child
    # runs them all under a memory limit and a time limit.
    cases = {
        "convert /dev/zero": [*CONVERT, "/dev/zero"],
        "convert /dev/urandom": [*CONVERT, "/dev/urandom"],
        "times /dev/zero": ["propagate", *TLE_ARGS, "--times", "/dev/zero"],
        "tle /dev/zero": ["passes", "--tle", "/dev/zero"],
        "omm /dev/zero": ["passes", "--omm", "/dev/zero"],
        "stations /dev/zero": ["passes", "--stations", "/dev/zero"],
        "eop /dev/zero": ["passes", "--eop", "/dev/zero"],
        "conjunctions /dev/urandom": ["conjunctions", "--tle", "/dev/urandom"],
    }
    code = (
        "import contextlib, io, json, sys\nfrom velarion.cli import main\nresults = {}\n"
        f"for name, argv in {cases!r}.items():\n"
        "    err = io.StringIO()\n"
        "    with contextlib.redirect_stderr(err):\n"
        "        status = main(argv)\n"
        "    results[name] = [status, err.getvalue().splitlines()]\n"
        "print(json.dumps(results))\n"
    )
    proc = _child(code, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate(timeout=180)
    assert proc.returncode == 0, err
    results = json.loads(out)
    for name, (status, lines) in results.items():
        assert status == 1 and len(lines) == 1, (name, lines)
        assert "/dev/" in lines[0], (name, lines)
    assert set(results) == set(cases)


def test_an_endless_line_on_standard_input_stops_at_its_bound():
    proc = _child(
        f"import sys; from velarion.cli import main; sys.exit(main({CONVERT!r}))",
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )

    def feed():
        with contextlib.suppress(OSError):
            while True:
                proc.stdin.write("7000000," * 8192)

    threading.Thread(target=feed, daemon=True).start()
    proc.wait(timeout=180)
    err = proc.stderr.read().splitlines()
    assert proc.returncode == 1 and len(err) == 1
    assert "<stdin>, line 1: longer than" in err[0]


# --- element-set files with absurd numbers ------------------------------------

FIELDS = ["NORAD_CAT_ID", "MEAN_MOTION", "BSTAR", "ELEMENT_SET_NO", "ECCENTRICITY"]


def _omm_file(tmp_path, layout, field, value):
    record = _omm_fields(TLE(*ISS_2019, "ISS"))
    path = tmp_path / f"gp.{layout.split()[0]}"
    if layout == "json number":
        # The value as a JSON number, not a string.
        record[field] = "@@"
        path.write_text(json.dumps([record]).replace('"@@"', value))
    else:
        record[field] = value
        _write_omm(path, layout, [record])
    return path


@pytest.mark.parametrize("digits", [400, 5000, 100_000])
@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize("layout", ["json number", "json", "csv", "xml"])
def test_huge_numbers_give_one_short_error_naming_file_record_and_field(layout, field, digits, tmp_path):
    path = _omm_file(tmp_path, layout, field, "9" * digits)
    with pytest.raises(ValueError) as e:
        load_omm(path)
    text = str(e.value)
    assert text.startswith(f"{str(path)!r}, record 1: {field} ")
    assert text.count("record 1") == 1 and len(text) - len(repr(str(path))) < 100 and "\n" not in text


@pytest.mark.parametrize(
    "field, value, fragment",
    [
        ("ECCENTRICITY", "1.5", "ecc must be in [0, 1)"),
        ("EPOCH", '"' + "2024" * 500 + '"', "bad EPOCH"),
        ("MEAN_MOTION", "-1e999", "must be finite"),
        ("NORAD_CAT_ID", "1.5", "must be a whole number"),
    ],
)
def test_record_errors_name_their_record_once(field, value, fragment, tmp_path):
    path = _omm_file(tmp_path, "json number", field, value)
    with pytest.raises(ValueError) as e:
        load_omm(path)
    text = str(e.value)
    assert text.startswith(f"{str(path)!r}, record 1: ") and fragment in text
    assert text.count("record 1") == 1 and len(text) - len(repr(str(path))) < 100


@pytest.mark.parametrize("command", ["passes", "conjunctions", "look"])
def test_huge_numbers_are_one_line_on_the_command_line(command, tmp_path, capsys):
    path = _omm_file(tmp_path, "json number", "MEAN_MOTION", "9" * 5000)
    status, out, err = run([command, "--omm", str(path)], capsys)
    _assert_one_line_error(status, out, err, [f"{str(path)!r}, record 1: MEAN_MOTION"])


# --- runs stopped by a signal -------------------------------------------------


@pytest.mark.parametrize(
    "signum, status, word",
    [(signal.SIGINT, 130, "interrupted"), (signal.SIGTERM, 143, "terminated"), (signal.SIGHUP, 129, "terminated")],
)
def test_a_run_stopped_while_it_plots_keeps_its_results_and_no_temporary(signum, status, word, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    argv = ["passes", "--hours", "14", "--format", "csv"]
    ok, expected, err = run(argv, capsys)
    assert ok == 0 and err == [] and expected.count("\n") > 1
    (tmp_path / "sky.png").write_bytes(b"previous plot")
    ready = tmp_path / "ready"
    # A plot that writes part of its file, then takes its time.
    code = (
        "import sys, time\nimport velarion.cli.commands as commands\n"
        "def slow_plot(path, *args):\n"
        "    open(path, 'wb').write(b'half a plot')\n"
        f"    open({str(ready)!r}, 'w').close()\n"
        "    time.sleep(120)\n"
        "commands.sky_plot = slow_plot\nfrom velarion.cli import main\n"
        f"sys.exit(main({[*argv, '-o', str(tmp_path / 'out.csv'), '--plot', str(tmp_path / 'sky.png')]!r}))\n"
    )
    proc = _child(code, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while not ready.exists() and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    assert ready.exists(), proc.communicate(timeout=10)
    ready.unlink()
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=60)
    assert proc.returncode == status and out == ""
    assert err.splitlines() == [f"velarion passes: {word}"]
    assert (tmp_path / "out.csv").read_text() == expected
    assert (tmp_path / "sky.png").read_bytes() == b"previous plot"
    assert sorted(os.listdir(tmp_path)) == ["out.csv", "sky.png"]


def test_a_terminated_write_leaves_no_temporary(tmp_path):
    # The handler's exception unwinds a write in progress like Ctrl-C does.
    if signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        pytest.skip("SIGTERM has a handler of the test runner")
    path = tmp_path / "out.csv"
    with pytest.raises(outfiles.Terminated), outfiles.stopped_by_signals(), outfiles.text_output(str(path)) as f:
        f.write("partial")
        assert len(os.listdir(tmp_path)) == 1
        os.kill(os.getpid(), signal.SIGTERM)
        time.sleep(5)
    assert os.listdir(tmp_path) == []
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL
