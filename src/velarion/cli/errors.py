"""The command line's two kinds of failure, told apart by their exit status.

``main`` prints either as one line on standard error: a ``UsageError`` with
a pointer to ``--help`` and exit status 2, an ``InputError`` as it is with
exit status 1.
"""

from __future__ import annotations

__all__ = ["InputError", "UsageError"]


class UsageError(Exception):
    """A malformed command line (exit status 2)."""


class InputError(ValueError):
    """Bad input: the message names the problem and where it is."""
