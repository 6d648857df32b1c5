"""What ``velarion passes`` runs on when it is given no input.

The satellite is the International Space Station, with the element set of
2019-12-09 16:38:29 UTC (day 343.69339541 of 2019) that the ``sgp4``
package's documentation uses as its example: a real, published TLE whose
epoch lies well inside the final (Bulletin B) values of the Earth
orientation data shipped with ``astropy-iers-data``, so the run needs no
download and no prediction. The span is the UTC day of that epoch.

The station is ESA's deep-space and satellite ground station at Redu,
Belgium, at approximately 50.0006 N, 5.1453 E, 385 m above the WGS84
ellipsoid. At that latitude the ISS (inclination 51.6 deg) passes several
times a day.
"""

TLE_NAME = "ISS (ZARYA)"
TLE_LINE1 = "1 25544U 98067A   19343.69339541  .00001764  00000-0  38792-4 0  9991"
TLE_LINE2 = "2 25544  51.6439 211.2001 0007417  17.6667  85.6398 15.50103472202482"

STATION_NAME = "ESA Redu station (Belgium)"
STATION_LAT = 50.0006  # deg, geodetic
STATION_LON = 5.1453  # deg, east
STATION_ALT = 385.0  # m above the WGS84 ellipsoid

START = "2019-12-09T00:00:00"  # UTC
DAYS = 1.0

MIN_ELEVATION = 10.0  # deg: passes lower than this are of little use to a station
STEP = 10.0  # s: sampling step of the pass search
