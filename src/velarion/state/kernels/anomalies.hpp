// The anomaly conversions of elliptic orbits over blocks of values, lane by
// lane (lanes.hpp): what the vectorized Python forms of velarion.state.coe
// and the two-body propagation run. Plain C++ on doubles, no Python.
//
// Each conversion is one lane function, so the block kernels and their
// scalar uses (a block of one) give the same bits; the C-level inline
// conversions of state/coe.hpp, bound by other modules, keep their own
// libm-based arithmetic and agree with these to a few ulp.
#ifndef VELARION_STATE_KERNELS_ANOMALIES_HPP
#define VELARION_STATE_KERNELS_ANOMALIES_HPP

#include "velarion/_core/strided.hpp"
#include "velarion/mathtools/misc/kernels/lanes.hpp"
#include "velarion/state/kernels/kepler.hpp"

namespace velarion::state::kernels {

namespace anomalies {

using lanes::Operand;

// sqrt(1 - e*e), formed as the C-level conversions form it.
template <class D>
VELARION_LANES_INLINE D ecc_factor(D e) noexcept {
    return lanes::sqrt(1.0 - e * e);
}

// E of M: the solver's regular lanes and eca_from_mea for the others.
// `trig` receives sin E and cos E (of the reduced solution where there is one).
template <class D>
VELARION_LANES_INLINE D eca_from_mea(D M, D e, lanes::SinCos<D>* trig = nullptr) noexcept {
    D Er;
    D E = eca_from_mea_regular(M, e, Er);
    const lanes::Mask<D> irregular = ~is_regular(M, e);
    if (lanes::any(irregular)) [[unlikely]] {
        for (int i = 0; i < lanes::kLanes<D>; ++i) {
            if (lanes::get(irregular, i)) {
                const double solved = kernels::eca_from_mea(lanes::get(M, i), lanes::get(e, i));
                lanes::put(E, i, solved);
                lanes::put(Er, i, solved);
            }
        }
    }
    if (trig) *trig = lanes::sincos(Er);
    return E;
}

template <class D>
VELARION_LANES_INLINE D tra_from_eca(const lanes::SinCos<D>& E, D e) noexcept {
    return lanes::atan2_asymmetric(ecc_factor(e) * E.sin, E.cos - e);
}

template <class D>
VELARION_LANES_INLINE D tra_from_eca_of(D E, D e) noexcept {
    return tra_from_eca(lanes::sincos(E), e);
}

template <class D>
VELARION_LANES_INLINE D tra_from_mea(D M, D e) noexcept {
    lanes::SinCos<D> trig;
    eca_from_mea(M, e, &trig);
    return tra_from_eca(trig, e);
}

template <class D>
VELARION_LANES_INLINE D eca_from_tra(D nu, D e) noexcept {
    const lanes::SinCos<D> t = lanes::sincos(nu);
    return lanes::atan2_asymmetric(ecc_factor(e) * t.sin, e + t.cos);
}

template <class D>
VELARION_LANES_INLINE D mea_from_eca(D E, D e) noexcept {
    return E - e * lanes::sincos(E).sin;
}

template <class D>
VELARION_LANES_INLINE D mea_from_tra(D nu, D e) noexcept {
    return mea_from_eca(eca_from_tra(nu, e), e);
}

}  // namespace anomalies

// The conversions as lane functors, for Map2 and for the scalar forms.
#define VELARION_ANOMALY_LANE(Name, fn, a, b)                     \
    struct Name {                                                 \
        template <class D>                                        \
        VELARION_LANES_INLINE static D apply(D a, D b) noexcept { \
            return anomalies::fn(a, b);                           \
        }                                                         \
    };
VELARION_ANOMALY_LANE(EcaFromMea, eca_from_mea, mea, ecc)
VELARION_ANOMALY_LANE(TraFromMea, tra_from_mea, mea, ecc)
VELARION_ANOMALY_LANE(MeaFromTra, mea_from_tra, tra, ecc)
VELARION_ANOMALY_LANE(EcaFromTra, eca_from_tra, tra, ecc)
VELARION_ANOMALY_LANE(TraFromEca, tra_from_eca_of, eca, ecc)
VELARION_ANOMALY_LANE(MeaFromEca, mea_from_eca, eca, ecc)
#undef VELARION_ANOMALY_LANE

// A block kernel for lanes::run: out[i] = Lane::apply(x[i], y[i]) for
// i < n, an Operand being n values or one for all, in steps of the lane
// count (the last step padded with zeros).
template <class Lane>
struct Map2 {
    template <class D>
    VELARION_LANES_INLINE static void run(lanes::Operand x, lanes::Operand y, double* out, core::index_t n) noexcept {
        constexpr int L = lanes::kLanes<D>;
        for (core::index_t i = 0; i < n; i += L) {
            const int count = n - i < L ? static_cast<int>(n - i) : L;
            lanes::store_n(out + i, Lane::template apply<D>(x.at<D>(i, count), y.at<D>(i, count)), count);
        }
    }
};

// The scalar form of a lane functor: one lane, the same bits as a block.
template <class Lane>
inline double apply_one(double x, double y) noexcept {
    return Lane::template apply<lanes::D1>(lanes::D1{x}, lanes::D1{y})[0];
}

}  // namespace velarion::state::kernels

#endif
