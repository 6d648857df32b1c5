"""velarion.mathtools.ellipsoid.ellipsoid: ellipsoids and geodetic conversions."""

import ctypes
import math
import pickle

import numpy as np
import pytest

from velarion.mathtools.ellipsoid import ellipsoid as mod
from velarion.mathtools.ellipsoid.ellipsoid import GRS80, WGS72, WGS84, Ellipsoid

HALF_PI = math.pi / 2


def forward_ld(a, f, lat, lon, alt):
    """Geodetic -> Cartesian in extended precision (the test's own oracle)."""
    ld = np.longdouble
    lat, lon, alt = (np.asarray(v, dtype=ld) for v in (lat, lon, alt))
    a, f = ld(a), ld(f)
    e2 = f * (2 - f)
    s, c = np.sin(lat), np.cos(lat)
    n = a / np.sqrt(1 - e2 * s * s)
    return np.stack([(n + alt) * c * np.cos(lon), (n + alt) * c * np.sin(lon), (n * (1 - f) ** 2 + alt) * s], -1)


@pytest.mark.parametrize(
    "ell, a, inv_f, name",
    [
        (WGS84, 6378137.0, 298.257223563, "WGS84"),
        (GRS80, 6378137.0, 298.257222101, "GRS80"),
        (WGS72, 6378135.0, 298.26, "WGS72"),
    ],
)
def test_standard_ellipsoids(ell, a, inv_f, name):
    assert (ell.a, ell.name) == (a, name)
    assert ell.f == 1.0 / inv_f
    assert ell.b == pytest.approx(a * (1 - 1 / inv_f), rel=1e-15)
    assert ell.e2 == pytest.approx(2 / inv_f - 1 / inv_f**2, rel=1e-15)
    assert getattr(mod, name) is ell


def test_wgs84_derived_constants():
    # Published WGS84 values (NIMA TR8350.2).
    assert WGS84.b == pytest.approx(6356752.3142, abs=1e-4)
    assert WGS84.e2 == pytest.approx(6.69437999014e-3, rel=1e-11)


@pytest.mark.parametrize(
    "args, exc",
    [
        ((0.0, 0.1), ValueError),
        ((-1.0, 0.1), ValueError),
        ((math.inf, 0.0), ValueError),
        ((math.nan, 0.0), ValueError),
        ((1.0, 1.0), ValueError),
        ((1.0, -1e-3), ValueError),
        ((1.0, math.nan), ValueError),
        ((1.0, math.inf), ValueError),
        (("6378137", 0.0), TypeError),
        ((None, 0.0), TypeError),
        ((1.0,), TypeError),
        ((1.0, 0.0, None), TypeError),
        ((1.0, 0.0, 5), TypeError),
        ((1e301, 0.0), ValueError),
        ((1e290, 1 - 1e-12), ValueError),
    ],  # polar radius of curvature past 1e300 m
)
def test_bad_construction(args, exc):
    with pytest.raises(exc):
        Ellipsoid(*args)


def test_construction_and_immutability():
    e = Ellipsoid(1000, 0, name="ball")
    assert (e.a, e.f, e.b, e.e2, e.name) == (1000.0, 0.0, 1000.0, 0.0, "ball")
    assert Ellipsoid(a=2.0, f=0.5).name == ""
    for attr in ("a", "f", "b", "e2", "name"):
        with pytest.raises(AttributeError):
            setattr(e, attr, 1.0)
    assert "Ellipsoid(a=6378137.0" in repr(WGS84) and "'WGS84'" in repr(WGS84)


def test_equality_hash_pickle_and_subclass():
    same = Ellipsoid(6378137.0, 1 / 298.257223563, "copy")
    assert same == WGS84 and hash(same) == hash(WGS84) and WGS84 != GRS80
    back = pickle.loads(pickle.dumps(WGS84))
    assert back == WGS84 and back.name == "WGS84"

    class Mine(Ellipsoid):
        pass

    m = Mine(6378137.0, 0.0)
    assert isinstance(m, Ellipsoid) and repr(m).startswith("Mine(")
    assert m.geodetic_to_cartesian(0.0, 0.0, 0.0)[0] == 6378137.0


LATS = np.concatenate([[-HALF_PI, HALF_PI, 0.0, -0.0, 1e-12, HALF_PI - 1e-9], np.linspace(-HALF_PI, HALF_PI, 41)])
LONS = np.array([0.0, math.pi, -math.pi, 1.0, -2.5, 3.0])
ALTS_OUTSIDE = np.array([0.0, -30e3, -1.0, 1e-3, 1e3, 4e5, 3.6e7, 1e9])


@pytest.mark.parametrize(
    "ell", [WGS84, WGS72, Ellipsoid(1.0, 0.3), Ellipsoid(7e6, 0.0)], ids=["WGS84", "WGS72", "flat", "sphere"]
)
def test_forward_against_extended_precision(ell):
    lat, lon, alt = np.meshgrid(LATS, LONS, ALTS_OUTSIDE * ell.a / 6378137.0, indexing="ij")
    r = ell.geodetic_to_cartesian(lat, lon, alt)
    ref = forward_ld(ell.a, ell.f, lat, lon, alt)
    scale = np.maximum(np.linalg.norm(r, axis=-1), ell.a)[..., None]
    assert r.shape == (*lat.shape, 3)
    assert np.all(np.abs(r - ref) <= 4e-16 * scale)


@pytest.mark.parametrize(
    "ell", [WGS84, GRS80, Ellipsoid(1.0, 0.3), Ellipsoid(7e6, 0.0)], ids=["WGS84", "GRS80", "flat", "sphere"]
)
def test_round_trip_outside_the_evolute_recovers_the_coordinates(ell):
    # Above about -a e^2 the geodetic coordinates of a point are unique.
    lat, lon, alt = np.meshgrid(LATS, LONS, ALTS_OUTSIDE * ell.a / 6378137.0, indexing="ij")
    r = forward_ld(ell.a, ell.f, lat, lon, alt).astype(np.float64)
    glat, glon, galt = ell.cartesian_to_geodetic(r)
    scale = np.maximum(np.abs(alt), ell.a)
    # The latitude to an ulp (1.4 nm at the Earth's surface), the height to a
    # couple of ulps of the larger of the radius and the height.
    assert np.all(np.abs(glat - lat) <= 2.3e-16)
    assert np.all(np.abs(galt - alt) <= 4.5e-16 * scale)
    on_axis = np.abs(np.abs(lat) - HALF_PI) < 1e-8
    dlon = np.angle(np.exp(1j * (glon - lon)))
    assert np.all((np.abs(dlon) < 1e-9) | on_axis)
    assert np.all((np.abs(glat) <= HALF_PI) & (np.abs(glon) <= math.pi))


@pytest.mark.parametrize("ell", [WGS84, Ellipsoid(1.0, 0.3)], ids=["WGS84", "flat"])
def test_round_trip_anywhere_gives_back_the_point(ell):
    # Dense cloud through the whole interior (inside the evolute the
    # coordinates are not unique, but they must map back to the point).
    rng = np.random.default_rng(11)
    u = rng.normal(size=(20000, 3))
    u /= np.linalg.norm(u, axis=1)[:, None]
    radius = ell.a * np.concatenate([rng.uniform(0, 1.2, 15000), 10 ** rng.uniform(-12, -2, 5000)])
    r = u * radius[:, None]
    r[:50, :2] = 0.0  # on the axis
    r[50:100, 2] = 0.0  # in the equatorial plane, inside the evolute for the small ones
    lat, lon, alt = ell.cartesian_to_geodetic(r)
    back = ell.geodetic_to_cartesian(lat, lon, alt)
    assert np.all(np.abs(back - r) <= 4.5e-16 * ell.a * 4)
    # The normal at the foot point passes through r: alt is a signed distance
    # no larger than the distance to the nearest pole or the equator.
    assert np.all(np.abs(alt) <= np.linalg.norm(r, axis=1) + ell.a)


@pytest.mark.parametrize("f", [0.0, 1 / 298.257223563, 0.5, 1 - 1e-12])
def test_largest_ellipsoids_give_finite_coordinates_for_finite_points(f):
    # The test for "far enough to be a point" overflowed (2 a / eps) for a
    # past about 1e292, and points near the largest doubles came out NaN.
    ell = Ellipsoid(1e300 * (1 - f), f)
    rng = np.random.default_rng(8)
    r = rng.normal(size=(3000, 3)) * 10.0 ** rng.uniform(-300, 308, (3000, 1))
    r[::3] = r[::3] / np.abs(r[::3]).max(axis=1, keepdims=True) * 1.79e308
    lat, lon, alt = ell.cartesian_to_geodetic(r)
    assert np.all(np.isfinite(lat)) and np.all(np.isfinite(lon)) and not np.any(np.isnan(alt))


@pytest.mark.parametrize("f", [1 - 1e-10, 1 - 2**-52])
def test_flattening_so_close_to_one_that_e2_rounds_to_one(f):
    # 1 - e2 sin^2 at a pole was 0: infinite radii, then inf and NaN results.
    ell = Ellipsoid(1.0, f)
    lat = np.concatenate([[HALF_PI, -HALF_PI], np.random.default_rng(4).uniform(-HALF_PI, HALF_PI, 500)])
    r = ell.geodetic_to_cartesian(lat, 0.3, 1.0)
    np.testing.assert_allclose(r[:2, 2], [1.0 + ell.b, -1.0 - ell.b], rtol=1e-15)
    glat, _, galt = ell.cartesian_to_geodetic(r)
    assert np.all(np.abs(glat - lat) <= 1e-15) and np.all(np.abs(galt - 1.0) <= 1e-15)
    scale = 10.0 ** np.random.default_rng(6).uniform(-300, 0, (2000, 1))
    inner = np.random.default_rng(5).normal(size=(2000, 3)) * scale
    assert np.all(np.isfinite(ell.cartesian_to_geodetic(inner)))


@pytest.mark.parametrize(
    "point, expected",
    [
        ((0.0, 0.0, 0.0), (HALF_PI, 0.0, -WGS84.b)),  # the centre
        ((0.0, 0.0, WGS84.b), (HALF_PI, 0.0, 0.0)),  # north pole
        ((0.0, 0.0, -WGS84.b), (-HALF_PI, 0.0, 0.0)),  # south pole
        ((0.0, 0.0, -1000.0), (-HALF_PI, 0.0, 1000.0 - WGS84.b)),  # on the axis, inside
        ((0.0, 0.0, 1e8), (HALF_PI, 0.0, 1e8 - WGS84.b)),
        ((WGS84.a, 0.0, 0.0), (0.0, 0.0, 0.0)),
        ((0.0, -WGS84.a / 2, 0.0), (0.0, -HALF_PI, -WGS84.a / 2)),  # equatorial plane, outside the evolute
        ((1e300, 1e300, -1e300), (-math.atan(1 / math.sqrt(2)), math.pi / 4, math.sqrt(3) * 1e300)),
    ],
)
def test_special_points(point, expected):
    lat, lon, alt = WGS84.cartesian_to_geodetic(np.array(point))
    assert lat == pytest.approx(expected[0], abs=1e-15)
    assert lon == pytest.approx(expected[1], abs=1e-15)
    assert alt == pytest.approx(expected[2], abs=1e-9, rel=1e-15)


def test_agrees_with_erfa():
    erfa = pytest.importorskip("erfa")
    rng = np.random.default_rng(5)
    lat = rng.uniform(-HALF_PI, HALF_PI, 5000)
    lon = rng.uniform(-math.pi, math.pi, 5000)
    alt = rng.uniform(-1e4, 1e6, 5000)
    r = WGS84.geodetic_to_cartesian(lat, lon, alt)
    assert np.allclose(r, erfa.gd2gce(WGS84.a, WGS84.f, lon, lat, alt), rtol=0, atol=2e-8)
    elon, elat, ealt = erfa.gc2gde(WGS84.a, WGS84.f, r)
    glat, glon, galt = WGS84.cartesian_to_geodetic(r)
    # ERFA's inverse is the less accurate of the two (about 1e-12 rad); see the
    # round trips above for the exact check.
    assert np.allclose(glat, elat, rtol=0, atol=2e-12) and np.allclose(glon, elon, rtol=0, atol=1e-15)
    assert np.allclose(galt, ealt, rtol=0, atol=2e-8)


def test_shapes_broadcasting_and_layouts():
    assert WGS84.geodetic_to_cartesian(0.1, 0.2, 3.0).shape == (3,)
    assert WGS84.geodetic_to_cartesian(0, 0, 0).tolist() == [WGS84.a, 0.0, 0.0]
    out = WGS84.geodetic_to_cartesian([0.1, 0.2], 0.0, [[0.0], [1e3], [2e3]])
    assert out.shape == (3, 2, 3)
    assert np.array_equal(out[1, 0], WGS84.geodetic_to_cartesian(0.1, 0.0, 1e3))
    assert WGS84.geodetic_to_cartesian(np.zeros(0), 0.0, 0.0).shape == (0, 3)
    r = np.asfortranarray(np.random.default_rng(1).normal(size=(7, 3)) * 7e6)
    ref = WGS84.cartesian_to_geodetic(np.ascontiguousarray(r))
    for variant in (r, r[::-1][::-1], np.ascontiguousarray(r.T).T, np.ascontiguousarray(r).tolist()):
        got = WGS84.cartesian_to_geodetic(variant)
        assert all(np.array_equal(g, e) for g, e in zip(got, ref, strict=True))
    lat, lon, alt = WGS84.cartesian_to_geodetic(np.zeros((2, 0, 3)))
    assert lat.shape == lon.shape == alt.shape == (2, 0)
    lat, lon, alt = WGS84.cartesian_to_geodetic([WGS84.a, 0, 0])
    assert isinstance(lat, float) and lat == 0.0
    ro = np.array([[WGS84.a, 0.0, 0.0]])
    ro.flags.writeable = False
    assert WGS84.cartesian_to_geodetic(ro)[2][0] == 0.0


@pytest.mark.parametrize(
    "args, exc",
    [
        ((math.nan, 0.0, 0.0), ValueError),
        ((0.0, math.inf, 0.0), ValueError),
        (([0.0, 1.0], 0.0, [0.0, -math.inf]), ValueError),
        ((None, 0.0, 0.0), TypeError),
        (("a", 0.0, 0.0), ValueError),
        ((1j, 0.0, 0.0), TypeError),
        (([0.0, 1.0], [0.0, 1.0, 2.0], 0.0), ValueError),
        ((0.0, 0.0), TypeError),
        ((50.0006, 5.1453, 385.0), ValueError),
        (([0.0, -1.5707963267948968], 0.0, 0.0), ValueError),
    ],
)
def test_geodetic_to_cartesian_bad_input(args, exc):
    with pytest.raises(exc):
        WGS84.geodetic_to_cartesian(*args)


def test_latitudes_past_a_pole_are_refused_not_wrapped():
    with pytest.raises(
        ValueError, match=r"^geodetic_to_cartesian: latitude must be within \[-pi/2, pi/2\] radians \(point 1 "
    ):
        WGS84.geodetic_to_cartesian([0.5, 1.6, math.nan], 0.0, 0.0)
    with pytest.raises(ValueError, match=r"input must be finite \(point 1 "):
        WGS84.geodetic_to_cartesian([0.5, math.nan, 1.6], 0.0, 0.0)
    r = WGS84.geodetic_to_cartesian([math.pi / 2, -math.pi / 2], 1.0, 0.0)  # the poles
    np.testing.assert_allclose(r, [[0.0, 0.0, WGS84.b], [0.0, 0.0, -WGS84.b]], atol=1e-9)


@pytest.mark.parametrize(
    "r, exc",
    [
        (np.zeros(2), ValueError),
        (np.zeros((3, 2)), ValueError),
        (5.0, ValueError),
        (None, TypeError),
        ([0.0, math.nan, 0.0], ValueError),
        (np.full((2, 3), np.inf), ValueError),
        (np.zeros(3, complex), TypeError),
    ],
)
def test_cartesian_to_geodetic_bad_input(r, exc):
    with pytest.raises(exc):
        WGS84.cartesian_to_geodetic(r)


# --- C-level interface -------------------------------------------------------------

probe = pytest.importorskip("velarion._core._probe")
VAR_TYPE = "velarion.mathtools.ellipsoid.ellipsoid.Ellipsoid *"
VTABLE_TYPE = "struct velarion::mathtools::ellipsoid::EllipsoidVTable"


@pytest.mark.parametrize("name", ["WGS84", "GRS80", "WGS72"])
def test_variables_published_at_c_level(name):
    addr = probe.bind_capi(mod.__name__, name, VAR_TYPE)
    assert ctypes.cast(addr, ctypes.POINTER(ctypes.py_object)).contents.value is getattr(mod, name)
    with pytest.raises(TypeError, match="expected"):
        probe.bind_capi(mod.__name__, name, "double *")


def test_layout_and_c_level_method():
    # PyObject_HEAD, vtab, a, f, b, e2, name
    assert probe.basicsize(Ellipsoid) == ctypes.sizeof(ctypes.c_ssize_t) * 2 + 8 * 6
    table = probe.bind_vtable(Ellipsoid, VTABLE_TYPE)
    fn_addr = ctypes.cast(table, ctypes.POINTER(ctypes.c_void_p))[0]
    proto = ctypes.PYFUNCTYPE(
        ctypes.c_int,
        ctypes.py_object,
        ctypes.POINTER(ctypes.c_double),
        ctypes.c_double,
        ctypes.c_double,
        ctypes.c_double,
    )
    c_g2c = proto(fn_addr)
    out = (ctypes.c_double * 3)()
    assert c_g2c(GRS80, out, 0.7, -2.0, 123.0) == 0
    assert list(out) == GRS80.geodetic_to_cartesian(0.7, -2.0, 123.0).tolist()
    with pytest.raises(ValueError, match="finite"):
        c_g2c(GRS80, out, math.nan, 0.0, 0.0)
    with pytest.raises(ValueError, match=r"latitude must be within \[-pi/2, pi/2\]"):
        c_g2c(GRS80, out, 50.0006, 5.1453, 385.0)


def test_pinned_header_binder_accepts_the_module():
    assert probe.bind_type(mod.__name__, "Ellipsoid", probe.basicsize(Ellipsoid)) is Ellipsoid
    with pytest.raises(ValueError, match="size changed"):
        probe.bind_type(mod.__name__, "Ellipsoid", probe.basicsize(Ellipsoid) - 8)
