"""C++ tests of kernel properties (tests/cpp/kernels_test.cpp), built with the
machine's C++ compiler against the headers and run in a child process."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_kernel_properties(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    exe = tmp_path / "kernels_test"
    build = subprocess.run(
        [
            compiler,
            "-std=c++20",
            "-O1",
            "-pthread",
            f"-I{ROOT / 'src'}",
            str(ROOT / "tests/cpp/kernels_test.cpp"),
            "-o",
            str(exe),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert build.returncode == 0, build.stderr
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stdout.strip() == "OK", run.stdout + run.stderr
