"""CDM reading and writing: round trips in both syntaxes and versions, SI
conversion, the checks and the covariance repair, hostile files."""

from __future__ import annotations

import numpy as np
import pytest

from velarion.conjunctions import cdm as cdmm
from velarion.conjunctions import pc as pcm
from velarion.frames.lof import LocalOrbitalFrame
from velarion.time.time import Time

# Laid out as the standard's KVN examples are (header, relative metadata,
# then each object's metadata, OD parameters, additional parameters, state
# and RTN covariance); the numbers are this test's own.
EXAMPLE_KVN = """CCSDS_CDM_VERS                = 1.0
CREATION_DATE                 = 2010-03-12T22:31:12.000
ORIGINATOR                    = JSPOC
MESSAGE_FOR                   = SATELLITE A
MESSAGE_ID                    = 201113719185
COMMENT Relative Metadata/Data
TCA                           = 2010-03-13T22:37:52.618
MISS_DISTANCE                 = 715 [m]
RELATIVE_SPEED                = 14762 [m/s]
RELATIVE_POSITION_R           = 27.4 [m]
RELATIVE_POSITION_T           = -70.2 [m]
RELATIVE_POSITION_N           = 711.8 [m]
RELATIVE_VELOCITY_R           = -7.2 [m/s]
RELATIVE_VELOCITY_T           = -14692.0 [m/s]
RELATIVE_VELOCITY_N           = -1437.2 [m/s]
START_SCREEN_PERIOD           = 2010-03-12T18:29:32.212
STOP_SCREEN_PERIOD            = 2010-03-15T18:29:32.212
SCREEN_VOLUME_FRAME           = RTN
SCREEN_VOLUME_SHAPE           = ELLIPSOID
SCREEN_VOLUME_X               = 200 [m]
SCREEN_VOLUME_Y               = 1000 [m]
SCREEN_VOLUME_Z               = 1000 [m]
SCREEN_ENTRY_TIME             = 2010-03-13T22:37:52.222
SCREEN_EXIT_TIME              = 2010-03-13T22:37:52.824
COLLISION_PROBABILITY         = 4.835E-05
COLLISION_PROBABILITY_METHOD  = FOSTER-1992
COMMENT Object1 Metadata
OBJECT                        = OBJECT1
OBJECT_DESIGNATOR             = 12345
CATALOG_NAME                  = SATCAT
OBJECT_NAME                   = SATELLITE A
INTERNATIONAL_DESIGNATOR      = 1997-030E
OBJECT_TYPE                   = PAYLOAD
OPERATOR_ORGANIZATION         = INTELSAT
EPHEMERIS_NAME                = EPHEMERIS SATELLITE A
COVARIANCE_METHOD             = CALCULATED
MANEUVERABLE                  = YES
REF_FRAME                     = EME2000
GRAVITY_MODEL                 = EGM-96: 36D 36O
ATMOSPHERIC_MODEL             = JACCHIA 70 DCA
N_BODY_PERTURBATIONS          = MOON, SUN
SOLAR_RAD_PRESSURE            = NO
EARTH_TIDES                   = NO
INTRACK_THRUST                = NO
COMMENT Object1 OD Parameters
TIME_LASTOB_START             = 2010-03-12T02:14:12.746
TIME_LASTOB_END               = 2010-03-12T02:14:12.746
RECOMMENDED_OD_SPAN           = 7.88 [d]
ACTUAL_OD_SPAN                = 5.50 [d]
OBS_AVAILABLE                 = 592
OBS_USED                      = 579
RESIDUALS_ACCEPTED            = 97.8 [%]
WEIGHTED_RMS                  = 0.864
COMMENT Object1 Additional Parameters
AREA_PC                       = 5.2 [m**2]
MASS                          = 251.6 [kg]
CD_AREA_OVER_MASS             = 0.045663 [m**2/kg]
CR_AREA_OVER_MASS             = 0.000000 [m**2/kg]
THRUST_ACCELERATION           = 0.0 [m/s**2]
SEDR                          = 4.54570E-05 [W/kg]
COMMENT Object1 State Vector
X                             = 2570.097065 [km]
Y                             = 2244.654904 [km]
Z                             = 6281.497978 [km]
X_DOT                         = 4.418769571 [km/s]
Y_DOT                         = 4.833547743 [km/s]
Z_DOT                         = -3.526774282 [km/s]
COMMENT Object1 Covariance in the RTN Coordinate Frame
CR_R                          = 4.142E+01 [m**2]
CT_R                          = -8.579E+00 [m**2]
CT_T                          = 2.533E+03 [m**2]
CN_R                          = -2.313E+01 [m**2]
CN_T                          = 1.336E+01 [m**2]
CN_N                          = 7.098E+01 [m**2]
CRDOT_R                       = 2.520E-03 [m**2/s]
CRDOT_T                       = -2.476E-01 [m**2/s]
CRDOT_N                       = 8.626E-04 [m**2/s]
CRDOT_RDOT                    = 5.744E-03 [m**2/s**2]
CTDOT_R                       = -1.006E-02 [m**2/s]
CTDOT_T                       = 4.041E-03 [m**2/s]
CTDOT_N                       = -1.359E-03 [m**2/s]
CTDOT_RDOT                    = -1.502E-05 [m**2/s**2]
CTDOT_TDOT                    = 1.049E-05 [m**2/s**2]
CNDOT_R                       = 1.053E-03 [m**2/s]
CNDOT_T                       = -3.412E-03 [m**2/s]
CNDOT_N                       = 1.213E-02 [m**2/s]
CNDOT_RDOT                    = -3.004E-06 [m**2/s**2]
CNDOT_TDOT                    = -1.091E-06 [m**2/s**2]
CNDOT_NDOT                    = 5.529E-05 [m**2/s**2]
CDRG_R                        = 0.0 [m**3/kg]
CDRG_T                        = 0.0 [m**3/kg]
CDRG_N                        = 0.0 [m**3/kg]
CDRG_RDOT                     = 0.0 [m**3/(kg*s)]
CDRG_TDOT                     = 0.0 [m**3/(kg*s)]
CDRG_NDOT                     = 0.0 [m**3/(kg*s)]
CDRG_DRG                      = 0.0 [m**4/kg**2]
COMMENT Object2 Metadata
OBJECT                        = OBJECT2
OBJECT_DESIGNATOR             = 30337
CATALOG_NAME                  = SATCAT
OBJECT_NAME                   = FENGYUN 1C DEB
INTERNATIONAL_DESIGNATOR      = 1999-025AA
OBJECT_TYPE                   = DEBRIS
EPHEMERIS_NAME                = NONE
COVARIANCE_METHOD             = CALCULATED
MANEUVERABLE                  = NO
REF_FRAME                     = EME2000
COMMENT Object2 Additional Parameters
AREA_PC                       = 0.9 [m**2]
COMMENT Object2 State Vector
X                             = 2569.540800 [km]
Y                             = 2245.093614 [km]
Z                             = 6281.599946 [km]
X_DOT                         = -2.888612500 [km/s]
Y_DOT                         = -6.007247516 [km/s]
Z_DOT                         = 3.328770172 [km/s]
COMMENT Object2 Covariance in the RTN Coordinate Frame
CR_R                          = 1.337E+03 [m**2]
CT_R                          = -4.806E+04 [m**2]
CT_T                          = 2.492E+06 [m**2]
CN_R                          = -3.298E+01 [m**2]
CN_T                          = -7.5888E+02 [m**2]
CN_N                          = 7.105E+01 [m**2]
CRDOT_R                       = 2.591E-03 [m**2/s]
CRDOT_T                       = -4.152E-02 [m**2/s]
CRDOT_N                       = -1.784E-06 [m**2/s]
CRDOT_RDOT                    = 6.886E-05 [m**2/s**2]
CTDOT_R                       = -1.016E-02 [m**2/s]
CTDOT_T                       = -1.506E-04 [m**2/s]
CTDOT_N                       = 1.637E-03 [m**2/s]
CTDOT_RDOT                    = -2.987E-06 [m**2/s**2]
CTDOT_TDOT                    = 1.059E-05 [m**2/s**2]
CNDOT_R                       = 4.400E-03 [m**2/s]
CNDOT_T                       = 8.482E-03 [m**2/s]
CNDOT_N                       = 8.633E-05 [m**2/s]
CNDOT_RDOT                    = -1.903E-06 [m**2/s**2]
CNDOT_TDOT                    = -4.594E-06 [m**2/s**2]
CNDOT_NDOT                    = 5.178E-05 [m**2/s**2]
"""


def made(version="1.0", seed=0, size=6):
    rng = np.random.default_rng(seed)
    r1 = np.array([7.0e6, 1.0e3, -2.0e3])
    v1 = np.array([10.0, 7.5e3, 200.0])
    r2 = r1 + rng.normal(scale=300.0, size=3)
    v2 = np.array([-20.0, 100.0, 7.5e3])
    covs = []
    for _ in range(2):
        a = rng.normal(size=(size, size))
        covs.append(a @ a.T * 50.0 + np.eye(size))
    return cdmm.make(
        tca=Time("2026-12-09T08:00:00.125"),
        objects=({"name": "ALPHA", "designator": 11, "hbr": 3.0}, {"name": "BETA", "designator": 22, "hbr": 2.0}),
        states=((r1, v1), (r2, v2)),
        covariances=(covs[0], covs[1]),
        creation_date=Time("2026-12-09T07:00:00"),
        version=version,
        pc=1.5e-4,
        pc_method="FOSTER-1992",
        comments=["made by the test"],
    ), (r1, v1, r2, v2, covs)


@pytest.mark.parametrize("version", ["1.0", "2.0"])
@pytest.mark.parametrize("size", [6, 9])
def test_made_message_round_trips_in_both_syntaxes(version, size):
    message, (_, _, r2, v2, covs) = made(version, size=size)
    kvn, xml = message.to_kvn(), message.to_xml()
    from_kvn, from_xml = cdmm.loads(kvn), cdmm.loads(xml)
    assert from_kvn == message and from_xml == message
    assert from_kvn.to_kvn() == kvn and from_xml.to_xml() == xml
    assert cdmm.loads(from_xml.to_kvn()) == from_kvn  # across the syntaxes
    assert from_xml.version == version
    r, v = from_xml.state(2)
    np.testing.assert_allclose(r, r2, atol=1e-3)
    np.testing.assert_allclose(v, v2, atol=1e-6)
    np.testing.assert_allclose(from_kvn.covariance(1), covs[0], rtol=1e-10)
    assert from_kvn.covariance(1).shape == (size, size)
    assert from_kvn.hard_body_radius() == pytest.approx(5.0)


def test_example_reads_in_si_and_round_trips():
    m = cdmm.loads(EXAMPLE_KVN, where="example.cdm")
    assert m.version == "1.0" and m.message_id == "201113719185"
    assert m.miss_distance == 715.0
    assert str(m.tca.iso).startswith("2010-03-13")
    r, v = m.state(1)
    np.testing.assert_allclose(r, [2570097.065, 2244654.904, 6281497.978])
    np.testing.assert_allclose(v, [4418.769571, 4833.547743, -3526.774282])
    c = m.covariance(1)
    assert c.shape == (7, 7) and c[1, 0] == c[0, 1] == -8.579 and c[6, 6] == 0.0
    assert m.covariance(2).shape == (6, 6) and m.covariance(2, "XYZ") is None
    assert m.relative_state()[1][1] == -14692.0
    assert m.objects[0].item("OBJECT").comments == ["Object1 Metadata"]
    again = cdmm.loads(m.to_kvn())
    assert again == m
    assert cdmm.loads(m.to_xml()) == m
    # Every line of the example's values comes back as written.
    written = {
        line.split("=")[0].strip(): line.split("=", 1)[1].strip() for line in m.to_kvn().splitlines() if "=" in line
    }
    for line in EXAMPLE_KVN.splitlines():
        if "=" in line and not line.startswith("OBJECT "):
            key = line.split("=")[0].strip()
            if key not in (
                "OBJECT",
                "OBJECT_DESIGNATOR",
                "CATALOG_NAME",
                "OBJECT_NAME",
                "INTERNATIONAL_DESIGNATOR",
                "OBJECT_TYPE",
                "EPHEMERIS_NAME",
                "COVARIANCE_METHOD",
                "MANEUVERABLE",
                "REF_FRAME",
                "AREA_PC",
                "X",
                "Y",
                "Z",
                "X_DOT",
                "Y_DOT",
                "Z_DOT",
            ) and not key.startswith("C"):
                assert written[key] == line.split("=", 1)[1].strip()


def test_pc_of_a_cdm_is_that_of_its_states_and_rotated_covariances(tmp_path):
    m = cdmm.loads(EXAMPLE_KVN)
    path = tmp_path / "example.cdm"
    path.write_text(m.to_xml())
    read = cdmm.read(path)
    (r1, v1, c1), (r2, v2, c2) = read.inertial(1), read.inertial(2)
    rot1 = LocalOrbitalFrame("RTN", r1, v1).rotation[0]
    np.testing.assert_allclose(rot1 @ c1[:3, :3] @ rot1.T, read.covariance(1)[:3, :3], rtol=1e-9, atol=1e-9)
    hbr = read.hard_body_radius()
    assert hbr == pytest.approx(np.sqrt(5.2 / np.pi) + np.sqrt(0.9 / np.pi))
    expected = pcm.foster_2d(r1, v1, c1[:3, :3], r2, v2, c2[:3, :3], hbr)
    assert pcm.pc(read) == expected
    assert pcm.pc(read, "chan") > 0 and pcm.pc(read, "hall").pc > 0


def replace(text, old, new):
    assert old in text
    return text.replace(old, new, 1)


@pytest.mark.parametrize(
    "edit, message",
    [
        (
            lambda t: replace(t, "MESSAGE_ID                    = 201113719185\n", ""),
            r"MESSAGE_ID: mandatory key missing",
        ),
        (lambda t: replace(t, "X                             = 2570.097065 [km]\n", ""), r"X: mandatory key missing"),
        (lambda t: replace(t, "= 715 [m]", "= seven [m]"), r"line 8, MISS_DISTANCE: not a number"),
        (lambda t: replace(t, "= 715 [m]", "= 1e999 [m]"), r"line 8, MISS_DISTANCE: not a finite number"),
        (lambda t: replace(t, "= 715 [m]", "= 7" + "1" * 100 + " [m]"), r"MISS_DISTANCE: a number of more than 64"),
        (lambda t: replace(t, "= 715 [m]", "= 0.715 [km]"), r"MISS_DISTANCE: unit \[km\] where the standard"),
        (lambda t: replace(t, "TCA ", "MISS_DISTANCE = 3 [m]\nTCA "), r"line 9, MISS_DISTANCE: a key given twice"),
        (lambda t: replace(t, "CN_N                          = 7.098E+01 [m**2]\n", ""), r"CN_N: covariance element"),
        (lambda t: replace(t, "COMMENT Object1 Metadata", "this is no KVN"), r"line 27, .*not a KEY = value line"),
        (lambda t: replace(t, "= 1.0\n", "= 3.0\n"), r"line 1, CCSDS_CDM_VERS: unknown version"),
        (lambda t: replace(t, "2010-03-13T22:37:52.618", "2010-13-13T22:37"), r"line 7, TCA: not a UTC date-time"),
        (lambda t: t[: t.index("COMMENT Object2 Metadata")], r"1 of the two objects given"),
    ],
)
def test_malformed_messages_name_line_and_key(edit, message):
    with pytest.raises(cdmm.CDMError, match=message):
        cdmm.loads(edit(EXAMPLE_KVN), where="bad.cdm")


def test_not_positive_definite_covariance_is_remediated_or_refused():
    text = EXAMPLE_KVN.replace(
        "CT_R                          = -8.579E+00", "CT_R                          = -8.579E+02", 1
    )
    with pytest.raises(cdmm.CDMError, match=r"CR_R: the covariance of OBJECT1 is not positive semi-definite"):
        cdmm.loads(text, remediate=False)
    m = cdmm.loads(text)
    assert m.is_remediated(1) and not m.is_remediated(2)
    c = m.covariance(1)[:6, :6]
    assert np.linalg.eigvalsh(c).min() >= -1e-9 * np.abs(c).max()
    # Clipping keeps the eigenvectors and the positive eigenvalues of what was written.
    written = np.array(
        [
            [
                float(m.objects[0][f"C{a}_{b}"]) if f"C{a}_{b}" in m.objects[0] else np.nan
                for b in ("R", "T", "N", "RDOT", "TDOT", "NDOT")
            ]
            for a in ("R", "T", "N", "RDOT", "TDOT", "NDOT")
        ]
    )
    written = np.where(np.isnan(written), written.T, written)
    values, vectors = np.linalg.eigh(written)
    assert values[0] < 0
    np.testing.assert_allclose(c @ vectors, vectors * np.maximum(values, 0.0), atol=1e-9 * values.max())
    assert m.objects[0]["CT_R"] == "-8.579E+02"  # the items stay as written
    assert cdmm.loads(m.to_kvn()) == m
    assert pcm.pc(m) >= 0.0


@pytest.mark.parametrize(
    "xml, message",
    [
        ('<?xml version="1.0"?><!DOCTYPE cdm [<!ENTITY a "aaaa">]><cdm version="1.0">&a;</cdm>', "refused"),
        ('<?xml version="1.0"?><!DOCTYPE cdm SYSTEM "file:///etc/passwd"><cdm version="1.0"/>', "refused"),
        ('<cdm version="1.0"><header><MESSAGE_ID>&ext;</MESSAGE_ID></header></cdm>', "not well-formed"),
        ("<cdm version='1.0'><header>", "not well-formed"),
        ("<notcdm/>", "root element"),
    ],
)
def test_hostile_xml_is_refused(xml, message):
    with pytest.raises(cdmm.CDMError, match=message):
        cdmm.loads(xml)


def test_xml_duplicate_and_missing_keys_are_named():
    message, _ = made("2.0")
    xml = message.to_xml()
    line = next(i for i, x in enumerate(xml.splitlines(), 1) if "<ORIGINATOR>" in x)
    doubled = xml.replace("<ORIGINATOR>VELARION</ORIGINATOR>", "<ORIGINATOR>A</ORIGINATOR><ORIGINATOR>B</ORIGINATOR>")
    with pytest.raises(cdmm.CDMError, match=rf"line {line}, ORIGINATOR: a key given twice"):
        cdmm.loads(doubled)
    with pytest.raises(cdmm.CDMError, match="TCA: mandatory key missing"):
        cdmm.loads(xml.replace("<TCA>", "<TCX>").replace("</TCA>", "</TCX>"))


def test_huge_file_is_refused_by_the_bounded_reader(tmp_path):
    path = tmp_path / "huge.cdm"
    path.write_text(EXAMPLE_KVN + ("COMMENT " + "x" * 100 + "\n") * 50_000)
    with pytest.raises(ValueError, match="larger than 4194304 bytes"):
        cdmm.read(path)
    path.write_bytes(EXAMPLE_KVN.encode() + b"COMMENT \xff\n")
    with pytest.raises(ValueError, match="not UTF-8 text"):
        cdmm.read(path)


def run_cli(argv, capsys):
    from velarion.cli import main

    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_pc_command_gives_the_library_values_in_every_format(tmp_path, capsys):
    import csv
    import io
    import json

    kvn, xml = tmp_path / "a.cdm", tmp_path / "a.xml"
    kvn.write_text(EXAMPLE_KVN)
    xml.write_text(cdmm.loads(EXAMPLE_KVN).to_xml())
    m = cdmm.loads(EXAMPLE_KVN)
    status, out, err = run_cli(
        ["pc", kvn, xml, "--method", "foster,chan,hall", "--format", "json", "--hbr", 40], capsys
    )
    assert status == 0 and err == ""
    rows = json.loads(out)
    assert [r["file"] for r in rows] == [str(kvn), str(xml)]
    for r in rows:
        assert r["foster"] == pcm.pc(m, "foster", hbr=40.0)
        assert r["chan"] == pcm.pc(m, "chan", hbr=40.0)
        assert r["hall"] == pcm.pc(m, "hall", hbr=40.0).pc
    status, out, _ = run_cli(["pc", kvn, "--method", "mc", "--samples", 20000, "--format", "csv"], capsys)
    (row,) = csv.DictReader(io.StringIO(out))
    assert float(row["mc_low"]) == 0.0 and float(row["mc_high"]) > 0.0
    status, out, _ = run_cli(["pc", kvn], capsys)
    assert status == 0 and "SATELLITE A" in out and f"{pcm.pc(m):.4e}" in out


@pytest.mark.parametrize(
    "argv, message",
    [
        (["pc", "{tmp}/none.cdm"], "cannot read '{tmp}/none.cdm': no such file"),
        (["pc", "{tmp}/bad.cdm"], "{tmp}/bad.cdm, line 8, MISS_DISTANCE: not a number"),
        (["pc", "{tmp}/ok.cdm", "--method", "foster,best"], "--method takes foster, chan"),
        (["pc", "{tmp}/ok.cdm", "--hbr", "-1"], "--hbr must be a positive number"),
    ],
)
def test_pc_command_errors_are_one_line(tmp_path, capsys, argv, message):
    (tmp_path / "bad.cdm").write_text(EXAMPLE_KVN.replace("= 715 [m]", "= x [m]"))
    (tmp_path / "ok.cdm").write_text(EXAMPLE_KVN)
    status, out, err = run_cli([a.format(tmp=tmp_path) for a in argv], capsys)
    assert status == 1 and out == ""
    assert err.count("\n") == 1 and message.format(tmp=tmp_path) in err


def test_conjunctions_command_writes_a_cdm_per_event_and_a_pc_column(tmp_path, capsys):
    import csv
    import io
    import json

    from velarion.conjunctions.catalogue import sample_catalogue

    (tmp_path / "cat.tle").write_text(sample_catalogue(30, "2024-01-01", seed=3, close_pairs=3))
    (tmp_path / "cov.json").write_text(json.dumps({"default": [50.0, 200.0, 50.0, 0.1, 0.05, 0.05]}))
    (tmp_path / "cdms").mkdir()
    argv = ["conjunctions", "--tle", tmp_path / "cat.tle", "--start", "2024-01-01", "--hours", "2", "--quiet"]
    argv += ["--hbr", 15, "--covariance", tmp_path / "cov.json", "--cdm-dir", tmp_path / "cdms", "--format", "csv"]
    status, out, err = run_cli(argv, capsys)
    assert status == 0, err
    rows = list(csv.DictReader(io.StringIO(out)))
    files = sorted((tmp_path / "cdms").iterdir())
    assert len(rows) == len(files) >= 2
    for row, path in zip(rows, files, strict=True):
        m = cdmm.read(path)
        assert m.object_name(1) == row["primary"]
        assert float(row["pc"]) == pytest.approx(pcm.pc(m), rel=1e-5)
        np.testing.assert_allclose(np.diag(m.covariance(1)), [2500.0, 40000.0, 2500.0, 0.01, 0.0025, 0.0025])
    status, _, err = run_cli([*argv[:8], "--covariance", tmp_path / "cov.json"], capsys)
    assert status == 1 and "--covariance needs --hbr" in err


def test_xyz_covariance_form_is_read_and_used_for_pc():
    # Object 2 with its covariance in the alternative XYZ form only (version 2.0).
    m = cdmm.loads(EXAMPLE_KVN)
    _, _, c2 = m.inertial(2)
    lines = EXAMPLE_KVN.replace("CCSDS_CDM_VERS                = 1.0", "CCSDS_CDM_VERS                = 2.0")
    head, _ = lines.split("COMMENT Object2 Covariance in the RTN Coordinate Frame\n")
    rows = ("X", "Y", "Z", "X_DOT", "Y_DOT", "Z_DOT")
    units = {0: "m**2", 1: "m**2/s", 2: "m**2/s**2"}
    xyz = [
        f"C{rows[i]}_{rows[j]} = {c2[i, j]:.16e} [{units[(i >= 3) + (j >= 3)]}]" for i in range(6) for j in range(i + 1)
    ]
    text = head + "ALT_COV_TYPE = XYZ\n" + "\n".join(xyz) + "\n"
    message = cdmm.loads(text)
    assert message.covariance(2, "RTN") is None
    np.testing.assert_allclose(message.covariance(2, "XYZ"), c2, rtol=1e-15)
    assert pcm.pc(message) == pytest.approx(pcm.pc(m), rel=1e-12)
    assert cdmm.loads(message.to_xml()) == message
    with pytest.raises(cdmm.CDMError, match="CZ_DOT_Z_DOT: covariance element missing in OBJECT2"):
        cdmm.loads(text.replace(xyz[-1] + "\n", ""))
