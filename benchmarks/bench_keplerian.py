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
- "SIMD C++": the same work as a bare loop over blocks of epochs with the
  package's SIMD means: GCC vector types with its lane-parallel sin, cos,
  atan2 and cube root (mathtools/misc/kernels/lanes.hpp, included from the
  source tree) and its run-time choice of AVX2, compiled with the package's
  flags, four vectors at a time as the package's loops run. Kepler's
  equation by Markley's starter and one fifth-order correction (no
  iteration, plainly evaluated: no care for e near 1), the true anomaly by
  atan2, then its sine and cosine. New output arrays on every call, as for
  the scalar loop.

velarion's propagate_state does more than the bare loops: it builds a Time
of the target epochs, subtracts the initial epoch, reduces each mean anomaly
exactly, evaluates Kepler's equation in a cancellation-free form near
periapsis, checks every epoch and builds the position-velocity ephemeris.
Its targets are TAI epochs so that the subtraction does not add a scale
conversion.
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


_SIMD_CPP = r"""
#include "velarion/mathtools/misc/kernels/lanes.hpp"
#include <cmath>
namespace lanes = velarion::mathtools::misc::kernels::lanes;

struct Loop {
    template <class D>
    [[gnu::always_inline]] static void run(const double* dt, long n, double ecc, double sma, double inc, double raa,
                                           double arp, double tra0, double gm, double* r, double* v) {
        constexpr int L = lanes::kLanes<D>;
        const double pi = M_PI, s = std::sqrt(1.0 - ecc * ecc);
        const double eca0 = std::atan2(s * std::sin(tra0), ecc + std::cos(tra0));
        const double mea0 = eca0 - ecc * std::sin(eca0);
        const double mnm = std::sqrt(gm / sma) / sma;
        const double p = sma * (1.0 - ecc * ecc);
        const double vp = std::sqrt(gm / p);
        const double cO = std::cos(raa), sO = std::sin(raa), ci = std::cos(inc), si = std::sin(inc);
        const double cw = std::cos(arp), sw = std::sin(arp);
        const double P[3] = {cO * cw - sO * sw * ci, sO * cw + cO * sw * ci, sw * si};
        const double Q[3] = {-cO * sw - sO * cw * ci, -sO * sw + cO * cw * ci, cw * si};
        const double alpha_c = 1.6 * pi / (1.0 + ecc), inv = 1.0 / (pi * pi - 6.0);
        for (long i = 0; i + L <= n; i += L) {
            const D M0 = mea0 + mnm * lanes::load<D>(dt + i);
            const D k = (M0 * (0.5 / pi) + lanes::kRoundMagic) - lanes::kRoundMagic;
            const D M = M0 - k * (2.0 * pi);
            const D x = lanes::abs(M);
            // Markley's starter and fifth-order correction on |M| in [0, pi].
            const D alpha = (3.0 * pi * pi + alpha_c * (pi - x)) * inv;
            const D d = 3.0 * (1.0 - ecc) + alpha * ecc;
            const D q = 2.0 * alpha * d * (1.0 - ecc) - x * x;
            const D rr = 3.0 * alpha * d * (d - 1.0 + ecc) * x + x * x * x;
            const D w = lanes::cbrt_positive(lanes::abs(rr) + lanes::sqrt(q * q * q + rr * rr));
            const D w2 = w * w;
            const D den = w2 * w2 + w2 * q + q * q;
            D E = (2.0 * rr * w2 + x * den) / (d * den);
            const lanes::SinCos<D> t = lanes::sincos(E);
            const D f0 = E - ecc * t.sin - x, f1 = 1.0 - ecc * t.cos, f2 = ecc * t.sin, f3 = 1.0 - f1;
            const D d3 = -f0 * f1 / (f1 * f1 - 0.5 * f0 * f2);
            const D d4 = -f0 / (f1 + d3 * (0.5 * f2 + d3 * f3 / 6.0));
            E += -f0 / (f1 + d4 * (0.5 * f2 + d4 * (f3 / 6.0 - d4 * f2 / 24.0)));
            E = lanes::select(M < 0.0, -E, E);
            const lanes::SinCos<D> te = lanes::sincos(E);
            const D nu = lanes::atan2_asymmetric(s * te.sin, te.cos - ecc);
            const lanes::SinCos<D> tn = lanes::sincos(nu);
            const D rn = p / (1.0 + ecc * tn.cos);
            const D px = rn * tn.cos, py = rn * tn.sin, vx = -vp * tn.sin, vy = vp * (ecc + tn.cos);
            for (int l = 0; l < L; ++l) {
                const double a = lanes::get(px, l), b = lanes::get(py, l);
                const double c = lanes::get(vx, l), d = lanes::get(vy, l);
                for (int j = 0; j < 3; ++j) {
                    r[3 * (i + l) + j] = a * P[j] + b * Q[j];
                    v[3 * (i + l) + j] = c * P[j] + d * Q[j];
                }
            }
        }
    }
};

// n must be a multiple of the lane count (1e6 is).
extern "C" void propagate(const double* dt, long n, double ecc, double sma, double inc, double raa, double arp,
                          double tra0, double gm, double* r, double* v) {
    lanes::run<Loop>(dt, n, ecc, sma, inc, raa, arp, tra0, gm, r, v);
}
"""

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"


def _compiled_loop(source, *flags):
    cxx = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        return None
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="velarion_bench_"))
    src, lib = tmp / "kepler_loop.cpp", tmp / "kepler_loop.so"
    src.write_text(source)
    built = subprocess.run(
        [cxx, "-O3", "-fno-math-errno", *flags, "-shared", "-fPIC", "-o", str(lib), str(src)],
        capture_output=True,
        text=True,
    )
    if built.returncode != 0:  # a loop that does not build is a fault of this file, not a missing peer
        raise RuntimeError(f"the bare loop does not build:\n{built.stderr}")
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

    reference = prop.propagate_state(t, coe)
    peers = {"numpy": lambda: _numpy_pipeline(dt, *args)}
    min_ratio = {"numpy": 3.0}
    ptr = ctypes.POINTER(ctypes.c_double)
    dt_p = dt.ctypes.data_as(ptr)
    simd_flags = ("-std=c++20", "-ffp-contract=off", "-Wno-psabi", f"-I{SRC}")
    for peer, loop, ratio in (
        ("scalar C++", _compiled_loop(_CPP), 1.0),
        ("SIMD C++", _compiled_loop(_SIMD_CPP, *simd_flags), 1 / 2.0),
    ):
        if loop is None:
            continue

        def bare_loop(loop=loop):
            # New output arrays on every call, as any function returning them needs.
            r, v = np.empty((N, 3)), np.empty((N, 3))
            loop(dt_p, N, *args, r.ctypes.data_as(ptr), v.ctypes.data_as(ptr))
            return r, v

        # A peer that does not do the work would make any ratio meaningless.
        r_peer, v_peer = bare_loop()
        if not (np.allclose(r_peer, reference.r, rtol=0, atol=1e-6) and np.allclose(v_peer, reference.v, atol=1e-9)):
            raise AssertionError(f"the {peer} loop disagrees with propagate_state")
        peers[peer] = bare_loop
        min_ratio[peer] = ratio

    rng = np.random.default_rng(1)
    pos = rng.normal(size=(N, 3)) * 7e6
    eph = StateVectorEphemeris(t, pos, np.zeros((N, 3)))

    return [
        Case(
            "propagate_state, N=1e6",
            N,
            lambda: prop.propagate_state(t, coe),
            peers,
            goal=">= 3x numpy, >= scalar C++, >= 1/2 of SIMD C++",
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
