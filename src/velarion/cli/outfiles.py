"""Writing the command line's result files (``-o FILE``, ``--plot FILE``): the one writer.

- A regular file (or a new name) is written to a temporary file beside it
  that replaces it only once everything is written, keeping its permissions:
  a failed or interrupted run leaves the previous file as it was and no
  temporary behind.
- A symbolic link is written through: its target is what is replaced.
- A FIFO or a character device (``/dev/null``, a terminal) is written
  directly, as standard output is; so is ``/dev/stdout`` (a descriptor of
  this process, whatever it is open on).
- Directories, sockets, block devices and read-only files are refused, and
  ``check_apart`` refuses a result that would replace an input file.

``check`` finds, before any work, what the write would find at its end (the
same messages): a missing folder, a folder that cannot take a new file, a
special file, a FIFO or device that cannot be opened for writing.
"""

from __future__ import annotations

import contextlib
import os
import signal
import stat
import sys
import tempfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from types import FrameType
from typing import IO

from .errors import InputError

__all__ = [
    "Result",
    "Terminated",
    "check",
    "check_apart",
    "remove_temporaries",
    "same_file",
    "stopped_by_signals",
    "text_output",
    "written_path",
]

# Word for word: callers and tests compare the exception texts of this module.
_REFUSED = {
    stat.S_IFDIR: "it is a directory",
    stat.S_IFSOCK: "it is a socket, not a file",
    stat.S_IFBLK: "it is a block device, not a file",
}

# The temporaries of the writes in progress: removed on any exit that runs
# Python code (an exception, SIGINT, SIGTERM turned into an exception).
_TEMPORARIES: set[str] = set()


@dataclass(frozen=True)
class Result:
    """What a command gives when it writes more than its text: the text (for
    ``-o`` or standard output), written first, then ``then()`` writes the
    other files (a plot), so that an interrupted run keeps the results."""

    text: str
    then: Callable[[], None] | None = None


class Terminated(BaseException):
    """SIGTERM or SIGHUP arrived: unwinds the run like Ctrl-C, so that the
    writes in progress remove their temporaries."""

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def _terminate(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


@contextlib.contextmanager
def stopped_by_signals() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise ``Terminated`` instead of
    ending the process on the spot (where they have their default action,
    and in the main thread only: elsewhere handlers cannot be set); at its
    end the previous handlers are back and no temporary is left."""
    previous: dict[int, object] = {}
    try:
        import threading

        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGTERM, getattr(signal, "SIGHUP", None)):
                if signum is not None and signal.getsignal(signum) is signal.SIG_DFL:
                    previous[signum] = signal.signal(signum, _terminate)
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)  # type: ignore[arg-type]
        remove_temporaries()


def _fail(what: str, path: str, reason: str) -> InputError:
    return InputError(f"cannot write {what} {path!r}: {reason}")


def _reason(e: OSError) -> str:
    return str(e.strerror or e)


@dataclass(frozen=True)
class _Place:
    """Where a write to a path lands: ``target`` (a symbolic link's target,
    else the path), its status (None: a new file) and whether it is
    written in place (a FIFO, a device, a descriptor of this process)."""

    target: str
    status: os.stat_result | None
    in_place: bool


def _place(path: str, what: str) -> _Place:
    """Where a write to ``path`` lands; InputError for what cannot take a file."""
    if not os.path.basename(path):
        raise _fail(what, path, "it names a directory, not a file")
    try:
        status: os.stat_result | None = os.stat(path)  # through links
    except FileNotFoundError:
        status = None
    except OSError as e:  # a loop of links, a folder that cannot be searched
        raise _fail(what, path, _reason(e)) from None
    if status is not None:
        reason = _REFUSED.get(stat.S_IFMT(status.st_mode))
        if reason is not None:
            raise _fail(what, path, reason)
        if stat.S_ISFIFO(status.st_mode) or stat.S_ISCHR(status.st_mode):
            return _Place(path, status, True)
    target = os.path.realpath(path) if os.path.islink(path) else path
    # /dev/stdout and /proc/self/fd/N link to a descriptor of this process
    # (a redirected standard output): its link names no path to replace.
    if target != path and target.startswith("/proc/"):
        return _Place(path, status, True)
    # A file its owner made read-only is not replaced behind their back.
    if status is not None and not os.access(target, os.W_OK):
        raise _fail(what, path, "permission denied")
    return _Place(target, status, False)


def check(path: str, what: str = "the output") -> None:
    """InputError unless a result can be written to ``path``: checked before the work."""
    path = os.fspath(path)
    place = _place(path, what)
    if place.in_place:
        if not os.access(place.target, os.W_OK):
            raise _fail(what, path, "permission denied")
        return
    # The only sure test that the folder takes a new file (a read-only file
    # system, a folder of another user, /sys) is to make one.
    fd, tmp = _temporary(place.target, path, what, ".tmp")
    os.close(fd)
    _remove(tmp)


def same_file(a: str, b: str) -> bool:
    """Whether two paths land on one file (through links, relative names and hard links)."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except (OSError, ValueError):  # a path that does not exist (yet), a NUL in a name
        return False


def check_apart(path: str, what: str, inputs: dict[str, str | None]) -> None:
    """InputError when ``path`` names one of the files read as ``inputs``
    (option -> path): the result would replace what it is computed from."""
    for option, given in inputs.items():
        if given not in (None, "-") and same_file(path, given):
            raise _fail(what, path, f"it is the input file of {option}")


def _temporary(target: str, path: str, what: str, suffix: str) -> tuple[int, str]:
    """A new file beside ``target`` (hidden, named after it): its descriptor and name."""
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        raise _fail(what, path, f"no folder {folder!r}")
    try:
        # The name's start only: a name near the longest a folder takes still gets its temporary.
        prefix = "." + os.path.basename(target)[:64] + "."
        fd, tmp = tempfile.mkstemp(prefix=prefix, suffix=suffix, dir=folder)
    except OSError as e:
        raise _fail(what, path, _reason(e)) from None
    _TEMPORARIES.add(tmp)
    return fd, tmp


def _remove(tmp: str) -> None:
    _TEMPORARIES.discard(tmp)
    with contextlib.suppress(OSError):
        os.unlink(tmp)


def remove_temporaries() -> None:
    """Removes the temporaries of the writes in progress (for a signal handler's last word)."""
    for tmp in list(_TEMPORARIES):
        _remove(tmp)


def _mode(status: os.stat_result | None) -> int:
    """The permissions of the result: those of the file it replaces, else the usual ones."""
    if status is not None:
        return stat.S_IMODE(status.st_mode)
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


@contextlib.contextmanager
def _replacing(place: _Place, path: str, what: str, suffix: str) -> Iterator[str]:
    """A temporary path that replaces ``place.target`` when the block ends without an exception."""
    fd, tmp = _temporary(place.target, path, what, suffix)
    os.close(fd)
    try:
        yield tmp
        os.chmod(tmp, _mode(place.status))
        if place.status is not None:
            with contextlib.suppress(OSError):  # only the owner or root may keep the owner
                os.chown(tmp, place.status.st_uid, place.status.st_gid)
        try:
            os.replace(tmp, place.target)
        except OSError as e:
            raise _fail(what, path, "it is a directory" if isinstance(e, IsADirectoryError) else _reason(e)) from None
        _TEMPORARIES.discard(tmp)
    finally:
        if tmp in _TEMPORARIES:
            _remove(tmp)


@contextlib.contextmanager
def text_output(path: str | None, what: str = "the output") -> Iterator[IO[str]]:
    """A text stream for a result: standard output for None or "-", else as the module says."""
    if path is None or path == "-":
        if sys.stdout is None:
            raise InputError("cannot write to standard output: it is closed (-o FILE writes a file)")
        yield sys.stdout
        sys.stdout.flush()
        return
    path = os.fspath(path)
    place = _place(path, what)
    try:
        if place.in_place:
            with open(place.target, "w", encoding="utf-8", newline="\n") as f:
                yield f
        else:
            with _replacing(place, path, what, ".tmp") as tmp, open(tmp, "w", encoding="utf-8", newline="\n") as f:
                yield f
    except OSError as e:  # a full disk, a FIFO's reader gone, a device that refuses
        raise _fail(what, path, _reason(e)) from None


@contextlib.contextmanager
def written_path(path: str, what: str = "the output") -> Iterator[str]:
    """A path for writers that take a file name (an image library): a
    temporary beside a regular file (same suffix) that replaces it at the
    end, or the FIFO or device itself."""
    path = os.fspath(path)
    place = _place(path, what)
    if place.in_place:
        yield place.target
        return
    with _replacing(place, path, what, ".tmp" + os.path.splitext(place.target)[1]) as tmp:
        yield tmp
