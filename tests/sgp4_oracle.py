"""The tests' oracle of the SGP4 port: the sgp4 package's ``Satrec`` of an
element set, started (``sgp4init``) from the row the port starts from, so
the two differ only by the model's arithmetic."""

from sgp4.api import WGS72, WGS72OLD, WGS84, Satrec

from velarion.propagators.analytical.sgp4 import Records

GRAVITY = {"wgs72": WGS72, "wgs72old": WGS72OLD, "wgs84": WGS84}


def satrec_of(elset, gravity="wgs72"):
    """The ``Satrec`` of ``elset`` (a TLE, an OMM or another ELSET)."""
    jd1, jd2, *elements = Records([elset], gravity).elements[0].tolist()
    satnum = getattr(elset, "satnum", 0)
    sat = Satrec()
    # 'i': the improved mode that Satrec.twoline2rv uses.
    sat.sgp4init(GRAVITY[gravity], "i", satnum if isinstance(satnum, int) else 0, *elements)
    # The model counts time from these two parts (the one-number epoch is good to 0.3 us).
    sat.jdsatepoch, sat.jdsatepochF = jd1, jd2
    return sat
