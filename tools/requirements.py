"""Prints the requirements of this package's build, its run time and the
extras named on the command line, one per line (for `pip install -r`), read
from pyproject.toml: the development loop installs what the package says it
needs, not a copy of that list."""

from __future__ import annotations

import pathlib
import sys

try:
    import tomllib
except ModuleNotFoundError:  # Python 3.10
    import tomli as tomllib

project = tomllib.loads((pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
lines = [*project["build-system"]["requires"], *project["project"]["dependencies"]]
extras = project["project"].get("optional-dependencies", {})
own = project["project"]["name"] + "["


def extra(name: str) -> list[str]:
    """The requirements of an extra, with the package's own extras it names
    (``velarion[dask,plot]``) expanded in place."""
    if name not in extras:
        sys.exit(f"no extra named {name!r} (extras: {', '.join(sorted(extras))})")
    out: list[str] = []
    for req in extras[name]:
        if req.startswith(own):
            for inner in req[len(own) : req.index("]")].split(","):
                out += extra(inner.strip())
        else:
            out.append(req)
    return out


for name in sys.argv[1:]:
    lines += extra(name)
print("\n".join(dict.fromkeys(lines)))
