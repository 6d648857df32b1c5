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
for name in sys.argv[1:]:
    if name not in extras:
        sys.exit(f"no extra named {name!r} (extras: {', '.join(sorted(extras))})")
    lines += extras[name]
print("\n".join(dict.fromkeys(lines)))
