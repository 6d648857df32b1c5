"""velarion.bodies.bodies: celestial bodies and their constants."""

import pytest

from velarion.bodies.bodies import CelestialBody, Earth, Moon, Sun

CONSTANTS = [
    (Earth, "Earth", 3.986004418e14, 6378137.0),
    (Sun, "Sun", 1.32712440018e20, 6.957e8),
    (Moon, "Moon", 4.9028000661e12, 1737400.0),
]


@pytest.mark.parametrize("body, name, gm, radius", CONSTANTS, ids=[c[1] for c in CONSTANTS])
def test_constants_on_class_and_instance(body, name, gm, radius):
    assert issubclass(body, CelestialBody)
    for holder in (body, body()):
        assert holder.name == name
        assert holder.GM == gm and type(holder.GM) is float
        assert holder.radius == radius
    assert isinstance(body(), CelestialBody)


def test_earth_j2_and_only_earth_has_it():
    assert Earth.J2 == 1.08262668e-3
    assert not hasattr(Sun, "J2") and not hasattr(Moon, "J2")


def test_agree_with_astropy_constants_and_wgs84():
    const = pytest.importorskip("astropy.constants")
    assert Earth.GM == pytest.approx(const.GM_earth.si.value, rel=2e-7)  # IAU nominal 3.986004e14
    assert Sun.GM == pytest.approx(const.GM_sun.si.value, rel=1e-9)  # IAU 2015 nominal (rounded)
    assert Sun.radius == const.R_sun.si.value  # IAU 2015 nominal
    from velarion.mathtools.ellipsoid.ellipsoid import WGS84

    assert Earth.radius == WGS84.a


@pytest.mark.parametrize("body", [CelestialBody, Earth, Sun, Moon])
def test_constants_cannot_be_changed(body):
    with pytest.raises(TypeError):
        body.GM = 1.0
    with pytest.raises(TypeError):
        body.radius = 1.0


def test_user_bodies_by_subclassing():
    class Mars(CelestialBody):
        name = "Mars"
        GM = 4.282837e13
        radius = 3396200.0

    class HeavierEarth(Earth):
        GM = 4.0e14

    assert Mars.GM == 4.282837e13 and isinstance(Mars(), CelestialBody)
    assert HeavierEarth.GM == 4.0e14 and HeavierEarth.radius == Earth.radius
    assert Earth.GM == 3.986004418e14


def test_types_bind_by_size():
    probe = pytest.importorskip("velarion._core._probe")
    size = probe.basicsize(CelestialBody)
    for name in ("CelestialBody", "Earth", "Sun", "Moon"):
        assert probe.bind_type("velarion.bodies.bodies", name, size).__name__ == name
    with pytest.raises(ValueError, match="size changed"):
        probe.bind_type("velarion.bodies.bodies", "Earth", size + 8)
