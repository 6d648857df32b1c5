"""Two-body propagation and the two-body Jacobian, side by side.

Peers:
- "numpy": the same work vectorized with NumPy: a Newton solve of Kepler's
  equation (iterated to convergence, |dE| < 1e-15), the true anomaly, and
  elements to position and velocity.
- "scalar C++": a bare scalar C++ loop over the same work (Halley solve of
  Kepler's equation from the starter E = M + e sin M, atan2 for the true
  anomaly, elements to position and velocity) with no Python object in
  sight, compiled here with the system's C++ compiler at -O3 (the package's
  own optimisation level) and called once through ctypes; it writes into new
  output arrays on every call. Skipped when no compiler is found.

velarion's propagate_state does more than the bare loop: it builds a Time of
the target epochs, subtracts the initial epoch, and builds the element and
position-velocity ephemerides (copying their arrays). Its targets are TAI
epochs so that the subtraction does not add a scale conversion.
"""

from __future__ import annotations

import ctypes
import pathlib
import shutil
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from common import Case

from velarion.propagators.analytical.keplerian.keplerian import Keplerian
from velarion.state.ephemeris import StateVectorEphemeris
from velarion.state.state import COE
from velarion.time.time import Time

GM = 398600.4418e9
ELEMENTS = dict(ecc=0.3, sma=12000e3, inc=0.9, raa=1.1, arp=2.2, tra=0.4)
N = 1_000_000

_CPP = r"""
#include <cmath>
extern "C" void propagate(const double* dt, long n, double ecc, double sma, double inc, double raa,
                          double arp, double tra0, double gm, double* r, double* v) {
    const double s = std::sqrt(1.0 - ecc * ecc);
    const double eca0 = std::atan2(s * std::sin(tra0), ecc + std::cos(tra0));
    const double mea0 = eca0 - ecc * std::sin(eca0);
    const double mnm = std::sqrt(gm / sma) / sma;
    const double p = sma * (1.0 - ecc * ecc);
    const double vp = std::sqrt(gm / p);
    const double cO = std::cos(raa), sO = std::sin(raa), ci = std::cos(inc), si = std::sin(inc);
    const double cw = std::cos(arp), sw = std::sin(arp);
    const double P[3] = {cO * cw - sO * sw * ci, sO * cw + cO * sw * ci, sw * si};
    const double Q[3] = {-cO * sw - sO * cw * ci, -sO * sw + cO * cw * ci, cw * si};
    for (long i = 0; i < n; ++i) {
        const double M = std::remainder(mea0 + mnm * dt[i], 2.0 * M_PI);
        double E = M + ecc * std::sin(M);
        for (int k = 0; k < 8; ++k) {
            const double se = std::sin(E), ce = std::cos(E);
            const double f = E - ecc * se - M, f1 = 1.0 - ecc * ce, f2 = ecc * se;
            const double d = f * f1 / (f1 * f1 - 0.5 * f * f2);
            E -= d;
            if (std::fabs(d) < 1e-15) break;
        }
        const double nu = std::atan2(s * std::sin(E), std::cos(E) - ecc);
        const double cn = std::cos(nu), sn = std::sin(nu);
        const double rr = p / (1.0 + ecc * cn);
        const double x = rr * cn, y = rr * sn, vx = -vp * sn, vy = vp * (ecc + cn);
        for (int j = 0; j < 3; ++j) {
            r[3 * i + j] = x * P[j] + y * Q[j];
            v[3 * i + j] = vx * P[j] + vy * Q[j];
        }
    }
}
"""


def _scalar_cpp():
    cxx = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        return None
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="velarion_bench_"))
    src, lib = tmp / "kepler_loop.cpp", tmp / "kepler_loop.so"
    src.write_text(_CPP)
    try:
        subprocess.run(
            [cxx, "-O3", "-fno-math-errno", "-shared", "-fPIC", "-o", str(lib), str(src)],
            check=True,
            capture_output=True,
        )
    except (OSError, subprocess.CalledProcessError):
        return None
    dll = ctypes.CDLL(str(lib))
    dbl, ptr = ctypes.c_double, ctypes.POINTER(ctypes.c_double)
    dll.propagate.argtypes = [ptr, ctypes.c_long] + [dbl] * 7 + [ptr, ptr]
    dll.propagate.restype = None
    return dll.propagate


def _numpy_pipeline(dt, ecc, sma, inc, raa, arp, tra, gm):
    s = np.sqrt(1.0 - ecc * ecc)
    eca0 = np.arctan2(s * np.sin(tra), ecc + np.cos(tra))
    mea0 = eca0 - ecc * np.sin(eca0)
    mnm = np.sqrt(gm / sma) / sma
    M = np.remainder(mea0 + mnm * dt, 2.0 * np.pi)
    E = M + ecc * np.sin(M)
    for _ in range(50):
        d = (E - ecc * np.sin(E) - M) / (1.0 - ecc * np.cos(E))
        E -= d
        if np.max(np.abs(d)) < 1e-15:
            break
    nu = np.arctan2(s * np.sin(E), np.cos(E) - ecc)
    p = sma * (1.0 - ecc * ecc)
    cn, sn = np.cos(nu), np.sin(nu)
    rr = p / (1.0 + ecc * cn)
    vp = np.sqrt(gm / p)
    cO, sO, ci, si, cw, sw = np.cos(raa), np.sin(raa), np.cos(inc), np.sin(inc), np.cos(arp), np.sin(arp)
    P = np.array([cO * cw - sO * sw * ci, sO * cw + cO * sw * ci, sw * si])
    Q = np.array([-cO * sw - sO * cw * ci, -sO * sw + cO * cw * ci, cw * si])
    r = np.outer(rr * cn, P) + np.outer(rr * sn, Q)
    v = np.outer(-vp * sn, P) + np.outer(vp * (ecc + cn), Q)
    return r, v


def _numpy_jacobian(r, gm):
    r2 = np.einsum("ij,ij->i", r, r)
    k = gm / (r2 * r2 * np.sqrt(r2))
    g = 3.0 * r[:, :, None] * r[:, None, :] * k[:, None, None]
    g -= (r2 * k)[:, None, None] * np.eye(3)
    jac = np.zeros((len(r), 6, 6))
    jac[:, :3, 3:] = np.eye(3)
    jac[:, 3:, :3] = g
    return jac


def cases() -> list[Case]:
    t0 = Time("2024-03-20T12:00:00", scale="tai")
    dt = np.linspace(-3.0 * 86400.0, 3.0 * 86400.0, N)
    t = t0 + dt
    prop = Keplerian(GM=GM)
    coe = COE(t0, GM=GM, **ELEMENTS)
    el = ELEMENTS
    args = (el["ecc"], el["sma"], el["inc"], el["raa"], el["arp"], el["tra"], GM)

    peers = {"numpy": lambda: _numpy_pipeline(dt, *args)}
    min_ratio = {"numpy": 1.0}
    loop = _scalar_cpp()
    if loop is not None:
        ptr = ctypes.POINTER(ctypes.c_double)
        dt_p = dt.ctypes.data_as(ptr)

        def bare_loop():
            # New output arrays on every call, as any function returning them needs.
            r, v = np.empty((N, 3)), np.empty((N, 3))
            loop(dt_p, N, *args, r.ctypes.data_as(ptr), v.ctypes.data_as(ptr))
            return r, v

        peers["scalar C++"] = bare_loop
        min_ratio["scalar C++"] = 1 / 1.5

    rng = np.random.default_rng(1)
    pos = rng.normal(size=(N, 3)) * 7e6
    eph = StateVectorEphemeris(t, pos, np.zeros((N, 3)))

    return [
        Case(
            "propagate_state, N=1e6",
            N,
            lambda: prop.propagate_state(t, coe),
            peers,
            goal=">= numpy, >= 1/1.5 of scalar C++",
            min_ratio=min_ratio,
        ),
        Case("propagate_state, N=1", 1, lambda: prop.propagate_state(t0, coe)),
        Case(
            "jacobian, N=1e6",
            N,
            lambda: prop.jacobian(eph),
            {"numpy": lambda: _numpy_jacobian(pos, GM)},
            goal=">= 3x numpy",
            min_ratio={"numpy": 3.0},
        ),
    ]
