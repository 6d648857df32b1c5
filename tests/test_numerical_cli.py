"""``velarion propagate --numerical``: the command's rows are the library's
propagation of the same state, and its force-model options are checked."""

from __future__ import annotations

import io

import numpy as np
import pytest

from velarion.cli import main
from velarion.propagators.numerical import ForceModel, Numerical
from velarion.state.state import StateVector
from velarion.time.time import Time

SV = ["--sv", "7000e3", "0", "0", "0", "5000", "5500", "--epoch", "2024-03-20T12:00"]


def run(argv: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    code = main(argv)
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize(
    ("options", "model"),
    [
        ([], ForceModel(degree=20)),
        (["--gravity", "8x4", "--third-body", "sun,moon"], ForceModel(degree=8, order=4, third_body=("sun", "moon"))),
        (
            ["--drag", "harris-priester", "--srp", "--area", "3", "--mass", "40", "--cd", "2.0"],
            ForceModel(drag="harris-priester", srp=True, area=3.0, mass=40.0, cd=2.0),
        ),
    ],
)
def test_rows_are_the_librarys_propagation(options: list[str], model: ForceModel, capsys) -> None:
    code, out, err = run(["propagate", *SV, "--hours", "1", "--step", "900", "--numerical", *options], capsys)
    assert code == 0, err
    rows = np.loadtxt(io.StringIO(out), delimiter=",", skiprows=1, usecols=range(1, 7))
    epoch = Time("2024-03-20T12:00")
    eph = Numerical(model).propagate_state(
        epoch + np.arange(0.0, 3601.0, 900.0), StateVector(epoch, [7e6, 0, 0], [0, 5e3, 5.5e3])
    )
    np.testing.assert_allclose(rows[:, :3], eph.r, rtol=0, atol=1e-6)
    np.testing.assert_allclose(rows[:, 3:], eph.v, rtol=0, atol=1e-9)


@pytest.mark.parametrize(
    ("options", "message"),
    [
        (["--srp"], "--srp goes with --numerical"),
        (["--numerical", "--gravity", "8-8"], "expected degree x order"),
        (["--numerical", "--third-body", "vulcan"], "unknown third bodies"),
        (["--numerical", "--mass", "-1", "--drag", "harris-priester"], "mass must be positive"),
    ],
)
def test_bad_force_model_options(options: list[str], message: str, capsys) -> None:
    code, _, err = run(["propagate", *SV, "--hours", "1", *options], capsys)
    assert code != 0
    assert message in err
