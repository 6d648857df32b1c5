// Part of velarion.frames.frames' translation unit (included by frames.cpp
// only, after its namespace aliases): what introspection shows of the
// module, its classes and their methods: docstrings and the annotations of
// the method signatures.
//
// Word for word: callers, stubs and tests compare these texts.
#ifndef VELARION_FRAMES_PARTS_DOCS_HPP
#define VELARION_FRAMES_PARTS_DOCS_HPP

namespace {

constexpr const char kModuleDoc[] =
    "Reference frames: the frame registry and transform graph, the standard frames GCRF,\n"
    "ITRF and TEME with their conversions, topocentric ENU frames, PIC and RPC.";

// --- annotations -------------------------------------------------------------

constexpr const char kPoK[] = "POSITIONAL_OR_KEYWORD";
constexpr const char kArray[] = "ndarray[double]";
constexpr const char kPair[] = "tuple[ndarray, 2]";
constexpr const char kFrameOrName[] = "Frame | str";

constexpr core::MethodParam kItemParams[] = {{"item", kPoK, "str", true}};
constexpr core::MethodParam kRouteParams[] = {{"source", kPoK, kFrameOrName}, {"target", kPoK, kFrameOrName}};
constexpr core::MethodParam kRegisterParams[] = {{"target_frame", kPoK, "Frame"}, {"transform", kPoK, "Callable"}};
constexpr core::MethodParam kRemoveParams[] = {{"target_frame", kPoK, "Frame"}};
constexpr core::MethodParam kTransformToParams[] = {
    {"frame", kPoK, kFrameOrName}, {"time", kPoK, "DatetimeLike"}, {"r", kPoK, kArray}, {"v", kPoK, kArray}};

// Parameters of a conversion from frame X: (time, r_X, v_X).
#define VELARION_CONVERSION_PARAMS(from)                                                       \
    {                                                                                          \
        {"time", kPoK, "DatetimeLike"}, {"r_" from, kPoK, kArray}, { "v_" from, kPoK, kArray } \
    }

constexpr core::MethodParam kFromGCRFParams[] = VELARION_CONVERSION_PARAMS("GCRF");
constexpr core::MethodParam kFromITRFParams[] = VELARION_CONVERSION_PARAMS("ITRF");
constexpr core::MethodParam kFromTEMEParams[] = VELARION_CONVERSION_PARAMS("TEME");
constexpr core::MethodParam kFromENUParams[] = VELARION_CONVERSION_PARAMS("ENU");

// --- Frame -------------------------------------------------------------------

constexpr const char kFrameDoc[] =
    "Abstract base class for reference frames and coordinate systems.\n\n"
    "Frame manages the registration of frames (the registry Frame._instances,\n"
    "from upper-case name to frame), provides the utilities of the\n"
    "transformation graph (each frame's table of direct transforms, route\n"
    "search) and transforms position and velocity vectors between frames.\n"
    "Frame() makes a usable frame with an empty transform table.";

constexpr const char kClassGetItemDoc[] =
    "Frame.__class_getitem__(cls, str item) -> Frame\n"
    "Get a registered Frame instance by name.\n\n"
    "Parameters\n----------\nitem : str\n    Name of the frame (case-insensitive).\n\n"
    "Returns\n-------\nFrame\n    The registered frame.\n\n"
    "Raises\n------\nKeyError\n    If no frame is registered under that name.";

constexpr const char kIsFrameDoc[] =
    "Frame.is_frame(cls, str item) -> bool\n"
    "Check if a frame with the given name is registered.\n\n"
    "Parameters\n----------\nitem : str\n    Name of the frame (case-insensitive).\n\n"
    "Returns\n-------\nbool\n    True if a frame is registered under that name.";

constexpr const char kGetRouteDoc[] =
    "Frame.get_route(cls, source: Frame | str, target: Frame | str) -> list[Frame]\n"
    "Find a sequence of frames (route) from source to target frame.\n\n"
    "Parameters\n----------\nsource : Frame | str\n    The starting frame or its name.\n"
    "target : Frame | str\n    The target frame or its name.\n\n"
    "Returns\n-------\nlist[Frame]\n    The list of frames forming the transformation path.\n\n"
    "Raises\n------\nValueError\n    If no route is found between source and target frames.";

constexpr const char kTransformsDoc[] =
    "Frame.transforms(self) -> dict[Frame, Callable]\n"
    "Return the dictionary of direct transforms from this frame.\n\n"
    "The dictionary itself is returned, not a copy: changing it changes the\n"
    "frame's edges.";

constexpr const char kRegisterDoc[] =
    "Frame.register_transform(self, target_frame: Frame, transform: Callable) -> None\n"
    "Register a direct transformation from this frame to a target frame.\n\n"
    "Overwrites any existing transformation to the same target frame.\n\n"
    "Parameters\n----------\ntarget_frame : Frame\n    The frame the transformation converts to.\n"
    "transform : Callable\n    Function with signature (time: Time, position: ndarray[(N, 3)], "
    "velocity: ndarray[(N, 3)])\n    returning the pair (position, velocity) in the target frame.";

constexpr const char kRemoveDoc[] =
    "Frame.remove_transform(self, target_frame: Frame) -> None\n"
    "Remove the direct transformation from this frame to a target frame.\n\n"
    "A removed transformation must be registered again to be available.\n\n"
    "Parameters\n----------\ntarget_frame : Frame\n    The target frame of the transformation.\n\n"
    "Raises\n------\nKeyError\n    If no transformation to the target frame exists.";

constexpr const char kTransformToDoc[] =
    "Frame.transform_to(self, frame: Frame | str, time: DatetimeLike, r: ndarray[double], "
    "v: ndarray[double]) -> tuple[ndarray, 2]\n"
    "Transform position and velocity vectors to another frame.\n\n"
    "Parameters\n----------\nframe : Frame | str\n    Target frame or its name.\n"
    "time : DatetimeLike\n    Time of the transformation.\n"
    "r : ndarray[double]\n    Position vector(s) in this frame.\n"
    "v : ndarray[double]\n    Velocity vector(s) in this frame.\n\n"
    "Returns\n-------\ntuple[ndarray, 2]\n    Transformed position and velocity vectors in the target frame.\n\n"
    "Raises\n------\nValueError\n    If no route is found between the frames.";

constexpr const char kHashDoc[] = "Frame.__hash__(self) -> int\nReturn a hash for the Frame instance.";

constexpr const char kNameDoc[] =
    "Get the registered name of this frame.\n\n"
    "Returns\n-------\nstr\n    The name of the frame, or 'Unnamed' if not registered.";

// --- the standard frames -----------------------------------------------------

#define VELARION_CONVERSION_DOC(cls, method, from, to)                                                         \
    cls "." method "(self, time: DatetimeLike, r_" from ": ndarray[double], v_" from                           \
        ": ndarray[double]) -> tuple[ndarray, 2]\n"                                                            \
        "Transform position and velocity from " from " to " to                                                 \
        ".\n\n"                                                                                                \
        "Parameters\n----------\ntime : DatetimeLike\n    Time(s) for which the transformation is computed.\n" \
        "r_" from " : ndarray of shape (N, 3)\n    Position vectors in " from                                  \
        ".\n"                                                                                                  \
        "v_" from " : ndarray of shape (N, 3)\n    Velocity vectors in " from                                  \
        " (position unit per second).\n\n"                                                                     \
        "Returns\n-------\nr_" to " : ndarray of shape (N, 3)\n    Position vectors in " to                    \
        ".\n"                                                                                                  \
        "v_" to " : ndarray of shape (N, 3)\n    Velocity vectors in " to ".\n"

constexpr const char kGcrfToItrfDoc[] = VELARION_CONVERSION_DOC("_GCRF", "to_ITRF", "GCRF", "ITRF");
constexpr const char kItrfToGcrfDoc[] = VELARION_CONVERSION_DOC("_ITRF", "to_GCRF", "ITRF", "GCRF");
constexpr const char kItrfToTemeDoc[] = VELARION_CONVERSION_DOC("_ITRF", "to_TEME", "ITRF", "TEME");
constexpr const char kTemeToItrfDoc[] = VELARION_CONVERSION_DOC("_TEME", "to_ITRF", "TEME", "ITRF");

constexpr const char kGCRFDoc[] =
    "Geocentric Celestial Reference Frame (GCRF).\n\n"
    "A quasi-inertial frame centred at the Earth's centre of mass, with its\n"
    "axes aligned with those of the ICRF. It is converted to ITRF by the\n"
    "IAU 2000A CIO-based algorithms under the IERS 2003 conventions (SOFA\n"
    "Cookbook, section 5), and is typically used internally as part of the\n"
    "frame transformation graph.";

constexpr const char kITRFDoc[] =
    "International Terrestrial Reference Frame (ITRF).\n\n"
    "The Earth-centred, Earth-fixed frame. It is converted to GCRF by the\n"
    "IAU 2000A CIO-based algorithms (IERS 2003 conventions, SOFA Cookbook,\n"
    "section 5) and to TEME by the GMST82 rotation with polar motion.";

constexpr const char kTEMEDoc[] =
    "True Equator Mean Equinox Frame (TEME).\n\n"
    "The frame of SGP4/SDP4 orbit propagation and two-line element sets,\n"
    "following the conventions of AIAA-2006-6753 \"Revisiting Spacetrack\n"
    "Report #3\" (Appendix C). The transformation to ITRF applies polar\n"
    "motion and the GMST82 rotation.";

constexpr const char kGetGCRFDoc[] = "get_GCRF() -> Frame";
constexpr const char kGetTEMEDoc[] = "get_TEME() -> Frame";
constexpr const char kGetITRFDoc[] = "get_ITRF() -> Frame";

// --- ENU ---------------------------------------------------------------------

constexpr const char kENUDoc[] =
    "ENU(double lon: float, double lat: float, double alt: float, Ellipsoid ell: Ellipsoid = WGS84) -> None\n"
    "East-North-Up (ENU) Local Tangent Reference Frame.\n\n"
    "The local Cartesian frame of a ground station: origin at the station,\n"
    "X East, Y North, Z Up (normal to the ellipsoid surface). Creating one\n"
    "links it to ITRF in both directions.\n\n"
    "Parameters\n----------\nlon : float\n    Geodetic longitude of the station [radians].\n"
    "lat : float\n    Geodetic latitude of the station [radians].\n"
    "alt : float\n    Altitude above the ellipsoid [meters].\n"
    "ell : Ellipsoid, optional\n    Reference ellipsoid (default WGS84).";

constexpr const char kEnuToItrfDoc[] =
    "ENU.to_ITRF(self, time: DatetimeLike, r_ENU: ndarray[double], v_ENU: ndarray[double]) -> tuple[ndarray, 2]\n"
    "Transform position and velocity from ENU to ITRF.\n\n"
    "Parameters\n----------\ntime : DatetimeLike\n    Time(s) for which the transformation is computed.\n"
    "r_ENU : ndarray of shape (N, 3)\n    Position vectors in ENU [meters].\n"
    "v_ENU : ndarray of shape (N, 3)\n    Velocity vectors in ENU [meters/second].\n\n"
    "Returns\n-------\nr_ITRF : ndarray of shape (N, 3)\n    Position vectors in ITRF.\n"
    "v_ITRF : ndarray of shape (N, 3)\n    Velocity vectors in ITRF.";

constexpr const char kEnuFromItrfDoc[] =
    "ENU.from_ITRF(self, time: DatetimeLike, r_ITRF: ndarray[double], v_ITRF: ndarray[double]) -> "
    "tuple[ndarray, 2]\n"
    "Transform position and velocity from ITRF to ENU.\n\n"
    "Parameters\n----------\ntime : DatetimeLike\n    Time(s) for which the transformation is computed.\n"
    "r_ITRF : ndarray of shape (N, 3)\n    Position vectors in ITRF [meters].\n"
    "v_ITRF : ndarray of shape (N, 3)\n    Velocity vectors in ITRF [meters/second].\n\n"
    "Returns\n-------\nr_ENU : ndarray of shape (N, 3)\n    Position vectors in ENU.\n"
    "v_ENU : ndarray of shape (N, 3)\n    Velocity vectors in ENU.";

constexpr const char kEnuRotToItrfDoc[] =
    "ENU.rot_to_ITRF(self) -> ndarray[double]\nCompute the rotation matrix from ENU to ITRF.\n\n"
    "Returns\n-------\nndarray of shape (3, 3)\n    R with r_ITRF = R @ r_ENU for vectors relative to the station.";

constexpr const char kEnuRotFromItrfDoc[] =
    "ENU.rot_from_ITRF(self) -> ndarray[double]\nCompute the rotation matrix from ITRF to ENU.\n\n"
    "Returns\n-------\nndarray of shape (3, 3)\n    The transpose of rot_to_ITRF().";

constexpr const char kEnuStationDoc[] =
    "Get the ITRF coordinates of the ground station.\n\n"
    "Returns\n-------\nndarray of shape (3,)\n    Station position in ITRF [meters] (a new array on every read).";

// --- PIC and RPC -------------------------------------------------------------

constexpr const char kPICDoc[] = "Pseudo-Radial, in-track, cross-track";
constexpr const char kRPCDoc[] = "Radial, Pseudo-in-track, Cross-track";

}  // namespace

#endif
