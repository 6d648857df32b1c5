// C-level interface of velarion.state.coe: the Kepler-equation solver that
// the module publishes, and the anomaly conversions built on it, inline so
// that a propagator compiles them into its per-epoch loop.
//
// Failure convention: a result of -1.0 together with a pending Python
// exception is a failure. The conversions raise nothing of their own and
// check no domain; they only pass on a failure of the two routines they call
// (c_eca_from_mea and mathtools::misc::atan2_asymmetric), adding their own name to the
// traceback. They run without the interpreter lock and take it only on the
// rare -1.0 result, to test for and record a failure.
//
// import_coe() binds c_eca_from_mea and atan2_asymmetric; call it once at
// module start-up before using any conversion.
#ifndef VELARION_STATE_COE_HPP
#define VELARION_STATE_COE_HPP

#include "velarion/_core/capi.hpp"
#include "velarion/_core/errors.hpp"
#include "velarion/mathtools/misc/misc.hpp"

#include <cmath>

namespace velarion::state {

// c_eca_from_mea(mea, ecc): the eccentric anomaly E solving Kepler's
// equation E - ecc * sin(E) = mea (modulo 2*pi) for any real mea and
// 0 <= ecc < 1. E is not reduced: it lies within pi of mea's nearest
// multiple of 2*pi. NaN in gives NaN out.
using c_eca_from_mea_t = double (*)(double, double);
inline constexpr const char* kEcaFromMeaType = "double (double, double)";

inline c_eca_from_mea_t c_eca_from_mea = nullptr;

inline int import_coe() {
    if (c_eca_from_mea) return 0;
    if (mathtools::misc::import_misc() < 0) return -1;
    static const core::BoundFunction functions[] = {
        {"c_eca_from_mea", kEcaFromMeaType, core::function_slot(&c_eca_from_mea)}};
    return core::bind_module({.module = "velarion.state.coe", .functions = functions});
}

namespace detail {

inline constexpr const char* kHeaderFile = "velarion/state/coe.hpp";

// sqrt(1 - e*e), formed the same way by every conversion.
inline double ecc_factor(double ecc) noexcept { return std::sqrt(1.0 - ecc * ecc); }

// Called when an inner routine returned -1.0: whether that reports a
// failure; if so, records `qualified_name` in the exception's traceback.
[[gnu::cold, gnu::noinline]] inline bool failed(const char* qualified_name, int line) noexcept {
    core::EnsureGil gil;
    const bool pending = PyErr_Occurred() != nullptr;
    if (pending) core::add_traceback(qualified_name, kHeaderFile, line);
    return pending;
}

}  // namespace detail

// Eccentric anomaly from true anomaly (tra, ecc).
inline double c_eca_from_tra(double tra, double ecc) noexcept {
    const double s = detail::ecc_factor(ecc);
    const double eca = mathtools::misc::atan2_asymmetric(s * std::sin(tra), ecc + std::cos(tra));
    if (eca == -1.0 && detail::failed("velarion.state.coe.c_eca_from_tra", __LINE__)) return -1.0;
    return eca;
}

// True anomaly from eccentric anomaly (eca, ecc).
inline double c_tra_from_eca(double eca, double ecc) noexcept {
    const double s = detail::ecc_factor(ecc);
    const double tra = mathtools::misc::atan2_asymmetric(s * std::sin(eca), std::cos(eca) - ecc);
    if (tra == -1.0 && detail::failed("velarion.state.coe.c_tra_from_eca", __LINE__)) return -1.0;
    return tra;
}

// Mean anomaly from eccentric anomaly (eca, ecc): Kepler's equation. Cannot fail.
inline double c_mea_from_eca(double eca, double ecc) noexcept { return eca - ecc * std::sin(eca); }

// Mean anomaly from true anomaly (tra, ecc).
inline double c_mea_from_tra(double tra, double ecc) noexcept {
    const double eca = c_eca_from_tra(tra, ecc);
    if (eca == -1.0 && detail::failed("velarion.state.coe.c_mea_from_tra", __LINE__)) return -1.0;
    return c_mea_from_eca(eca, ecc);
}

// True anomaly from mean anomaly (mea, ecc); mea is passed on unreduced.
inline double c_tra_from_mea(double mea, double ecc) noexcept {
    const double eca = c_eca_from_mea(mea, ecc);
    if (eca == -1.0 && detail::failed("velarion.state.coe.c_tra_from_mea", __LINE__)) return -1.0;
    const double tra = c_tra_from_eca(eca, ecc);
    if (tra == -1.0 && detail::failed("velarion.state.coe.c_tra_from_mea", __LINE__)) return -1.0;
    return tra;
}

// Mean motion from semi-major axis and gravitational parameter (sma, GM):
// sqrt(GM / sma) / sma, which is sqrt(GM / sma^3) without forming sma^3. Cannot fail.
inline double c_mnm_from_sma(double sma, double GM) noexcept { return std::sqrt(GM / sma) / sma; }

}  // namespace velarion::state

#endif
