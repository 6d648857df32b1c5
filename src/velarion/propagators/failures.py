"""What the catalogue searches (passes, conjunction screening) report about
a satellite they could not follow: ``Failure``, one record for both."""

from __future__ import annotations

from dataclasses import dataclass

from velarion.propagators.analytical.sgp4.records import SGP4Error
from velarion.time.time import Time

__all__ = ["Failure"]


@dataclass(frozen=True)
class Failure:
    """A satellite that could not be searched: its position in the input
    (``index``), name, catalogue number (None without one), the epoch of the
    failure (a UTC ``Time`` scalar; None when it does not depend on one)
    and the exception."""

    index: int
    satellite: str
    satnum: int | None
    epoch: Time | None
    error: BaseException

    def __str__(self) -> str:
        error = self.error
        if isinstance(error, SGP4Error) and self.epoch is not None:
            # when the model failed, not where in a list of epochs
            when = str((self.epoch.utc + 0.0005).iso)[:23].replace("T", " ")
            return f"{self.satellite}: SGP4 error {error.code} from {when} UTC: {error.meaning}"
        return f"{self.satellite}: {error}"
