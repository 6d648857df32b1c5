// Refinement of the candidate segments of the conjunction screening (no
// Python): each candidate (pair, segment [ta, tb]) is evaluated with SGP4 at
// its ends; a local minimum of the distance is a sign change of rho . drho
// from negative to positive. The bracket is first narrowed by safeguarded
// Newton steps on rho . drho with SGP4's velocities (fast, but SGP4's
// velocity is not exactly the derivative of its position), then polished on
// the positions alone: Newton steps on rho . rho' with rho' and rho'' from
// central differences of SGP4's positions, so the time found is the minimum
// of the distance between the positions the model gives.
//
// Before any of that, a segment whose distance provably stays above the
// threshold is dropped on its end states alone (see segment_floor): most
// candidates of the search are such near misses.
#ifndef VELARION_CONJUNCTIONS_KERNELS_REFINE_HPP
#define VELARION_CONJUNCTIONS_KERNELS_REFINE_HPP

#include "velarion/conjunctions/kernels/screen.hpp"
#include "velarion/propagators/analytical/sgp4/kernels/sample.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace velarion::conjunctions::kernels {

namespace sgp4k = velarion::propagators::analytical::sgp4::kernels;

// What a candidate segment gave.
enum RefineStatus : std::uint8_t {
    kNoMinimum = 0,  // the distance has no local minimum in the segment
    kMinimum = 1,    // a local minimum: tca and the states there are set
    kFailed = 2,     // the model failed at an end of the segment
    kFar = 3,        // a local minimum above the threshold (not polished, no states; tca set when it was
                     // located, NaN when the segment's floor ruled it out)
};

struct RefineInput {
    const sgp4k::Sgp4Object* objects = nullptr;  // the SGP4 records
    const double* base_minutes = nullptr;        // per record: minutes from its epoch to t = 0
    const std::int64_t* rec_i = nullptr;         // per candidate: records of the pair
    const std::int64_t* rec_j = nullptr;
    const double* ta = nullptr;  // per candidate: segment [ta, tb], seconds from t = 0
    const double* tb = nullptr;
    double threshold = INFINITY;  // [m] minima farther are kFar
    // per candidate or nullptr: E_i + E_j, how far the pair's true paths may
    // lie from the cubic Hermite interpolants of their states at ta and tb
    // [m]; with it, segments whose floor is above the threshold are kFar
    const double* slack = nullptr;
};

struct RefineOutput {
    std::uint8_t* status = nullptr;  // (n) RefineStatus
    double* tca = nullptr;           // (n) seconds from t = 0 (NaN without a minimum)
    double* states = nullptr;        // (n, 12) r_i, v_i, r_j, v_j at tca [m, m/s]
    double* ends = nullptr;          // (n, 2) distance at ta and tb [m] (NaN when the model failed)
};

inline constexpr double kTcaTolerance = 1e-6;  // s, of the velocity-based bracket
inline constexpr double kPolishTolerance = 1e-7;
inline constexpr int kMaxNewton = 60;
inline constexpr int kMaxPolish = 8;
inline constexpr double kEarthMu = 3.986008e14;  // m^3/s^2 (WGS72), for the Newton derivative only

struct PairState {
    double ri[3], vi[3], rj[3], vj[3];
    double rho[3], drho[3];
};

class PairModel {
public:
    PairModel(const RefineInput& in, std::int64_t i, std::int64_t j)
        : oi_(in.objects[i]), oj_(in.objects[j]), bi_(in.base_minutes[i]), bj_(in.base_minutes[j]) {}

    // States of both at t [s]; false when the model fails for either.
    bool at(double t, PairState& s) const noexcept {
        sgp4k::State a, b;
        const int ca = sgp4k::propagate(oi_.record, bi_ + t / 60.0, a);
        const int cb = sgp4k::propagate(oj_.record, bj_ + t / 60.0, b);
        if (sgp4k::state_code(ca, a) != 0 || sgp4k::state_code(cb, b) != 0) return false;
        for (int x = 0; x < 3; ++x) {
            s.ri[x] = a.r[x] * 1000.0;
            s.vi[x] = a.v[x] * 1000.0;
            s.rj[x] = b.r[x] * 1000.0;
            s.vj[x] = b.v[x] * 1000.0;
            s.rho[x] = s.rj[x] - s.ri[x];
            s.drho[x] = s.vj[x] - s.vi[x];
        }
        return true;
    }

private:
    const sgp4k::Sgp4Object& oi_;
    const sgp4k::Sgp4Object& oj_;
    double bi_, bj_;
};

inline double dot3(const double* a, const double* b) noexcept { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// rho . drho/dt and its derivative (two-body accelerations; a Newton
// derivative only, the bracket keeps the steps safe).
inline void range_rate(const PairState& s, double& f, double& df) noexcept {
    f = dot3(s.rho, s.drho);
    const double ni = std::sqrt(dot3(s.ri, s.ri)), nj = std::sqrt(dot3(s.rj, s.rj));
    const double ki = -kEarthMu / (ni * ni * ni), kj = -kEarthMu / (nj * nj * nj);
    double acc[3];
    for (int x = 0; x < 3; ++x) acc[x] = kj * s.rj[x] - ki * s.ri[x];
    df = dot3(s.drho, s.drho) + dot3(s.rho, acc);
}

// A lower bound of the distance of the relative cubic Hermite interpolant
// H(s) (s in [0, 1]) of the end states over [ta, tb]: the chord's distance
// from the origin less M / 8. Proof: e(s) = H(s) - chord(s) vanishes at both
// ends and |e''| = |H''| <= M (H'' is linear in s, so M = the larger of its
// end values), hence |e(s)| <= M s (1 - s) / 2 <= M / 8. The true distance
// is then at least this floor less `slack` (E_i + E_j) everywhere in the
// segment.
inline double segment_floor(const PairState& sa, const PairState& sb, double span) noexcept {
    double bend_a2 = 0.0, bend_b2 = 0.0;
    for (int x = 0; x < 3; ++x) {
        const double d = sb.rho[x] - sa.rho[x];
        const double c2 = 3.0 * d - span * (2.0 * sa.drho[x] + sb.drho[x]);
        const double c3 = -2.0 * d + span * (sa.drho[x] + sb.drho[x]);
        const double at0 = 2.0 * c2, at1 = 2.0 * c2 + 6.0 * c3;
        bend_a2 += at0 * at0;
        bend_b2 += at1 * at1;
    }
    return segment_distance(sa.rho, sb.rho) - std::sqrt(std::max(bend_a2, bend_b2)) / 8.0;
}

// One candidate: returns its status and fills tca, the states and the ends.
// `sa` holds the pair's state at ta when `have_a` (the end of the pair's
// previous segment); `sb` is left with the state at tb, `ok_b` whether the
// model gave it.
inline RefineStatus refine_one(const PairModel& model, double ta, double tb, double threshold, double slack,
                               double& tca, double* states, double* ends, PairState& sa, bool have_a, PairState& sb,
                               bool& ok_b) noexcept {
    PairState sc;
    const bool ok_a = have_a || model.at(ta, sa);
    ok_b = model.at(tb, sb);
    ends[0] = ok_a ? std::sqrt(dot3(sa.rho, sa.rho)) : NAN;
    ends[1] = ok_b ? std::sqrt(dot3(sb.rho, sb.rho)) : NAN;
    tca = NAN;
    if (!ok_a || !ok_b) return kFailed;
    const double fa = dot3(sa.rho, sa.drho), fb = dot3(sb.rho, sb.drho);
    if (!(fa < 0.0 && fb >= 0.0)) return kNoMinimum;
    if (segment_floor(sa, sb, tb - ta) - slack > threshold) return kFar;
    double a = ta, b = tb;
    // First guess: the closest point of straight-line relative motion from the start.
    const double speed2 = dot3(sa.drho, sa.drho);
    double c = speed2 > 0.0 ? ta - fa / speed2 : 0.5 * (ta + tb);
    if (!(c > a && c < b)) c = 0.5 * (a + b);
    for (int it = 0; it < kMaxNewton; ++it) {
        if (!model.at(c, sc)) return kFailed;
        double fc, dfc;
        range_rate(sc, fc, dfc);
        if (fc < 0.0)
            a = c;
        else
            b = c;
        double next = c - fc / dfc;
        if (!(std::isfinite(next) && next > a && next < b)) next = 0.5 * (a + b);
        const bool done = fc == 0.0 || std::fabs(next - c) < kTcaTolerance || b - a < kTcaTolerance;
        c = next;
        if (done) break;
    }
    // The distance is stationary there: the polish below moves it by far
    // less than a metre, so a minimum above the threshold stays above.
    if (dot3(sc.rho, sc.rho) > (threshold + 1.0) * (threshold + 1.0)) {
        tca = c;
        return kFar;
    }
    // Polish on the positions: the central-difference step is long for slow
    // pairs (the positions' rounding, ~1e-8 m, over h) and short for fast
    // ones (their curvature), 2 m of relative travel either way.
    bool have = false;
    for (int it = 0; it < kMaxPolish; ++it) {
        PairState lo, hi;
        if (!model.at(c, sc)) return kFailed;
        have = true;
        const double speed = std::sqrt(dot3(sc.drho, sc.drho));
        const double h = std::clamp(2.0 / std::max(speed, 1e-9), 1e-3, 2.0);
        if (!model.at(c - h, lo) || !model.at(c + h, hi)) break;  // at a failure's edge: keep the bracket's time
        double d1[3], d2[3];
        for (int x = 0; x < 3; ++x) {
            d1[x] = (hi.rho[x] - lo.rho[x]) / (2.0 * h);
            d2[x] = (hi.rho[x] - 2.0 * sc.rho[x] + lo.rho[x]) / (h * h);
        }
        const double g = dot3(sc.rho, d1), dg = dot3(d1, d1) + dot3(sc.rho, d2);
        if (!(dg > 0.0) || !std::isfinite(g)) break;
        const double step = std::clamp(-g / dg, -(tb - ta), tb - ta);
        if (std::fabs(step) < kPolishTolerance) break;
        c += step;
        have = false;
    }
    if (!have && !model.at(c, sc)) return kFailed;
    tca = c;
    for (int x = 0; x < 3; ++x) {
        states[x] = sc.ri[x];
        states[3 + x] = sc.vi[x];
        states[6 + x] = sc.rj[x];
        states[9 + x] = sc.vj[x];
    }
    return kMinimum;
}

// Candidates [begin, end) of in/out. A candidate that starts where the
// previous one of the same pair ended (sorted candidates of a pair in
// sustained proximity) takes its start state from it.
inline void refine(const RefineInput& in, const RefineOutput& out, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept {
    PairState ends_of[2];
    bool ok_end = false;
    int last = 0;
    for (std::ptrdiff_t q = begin; q < end; ++q) {
        const PairModel model(in, in.rec_i[q], in.rec_j[q]);
        const bool follows = q > begin && ok_end && in.rec_i[q] == in.rec_i[q - 1] && in.rec_j[q] == in.rec_j[q - 1] &&
                             in.ta[q] == in.tb[q - 1];
        PairState& start = ends_of[last];
        PairState& finish = ends_of[1 - last];
        out.status[q] = refine_one(model, in.ta[q], in.tb[q], in.threshold, in.slack ? in.slack[q] : INFINITY,
                                   out.tca[q], out.states + 12 * q, out.ends + 2 * q, start, follows, finish, ok_end);
        last = 1 - last;
        if (out.status[q] != kMinimum)
            for (int x = 0; x < 12; ++x) out.states[12 * q + x] = NAN;
    }
}

}  // namespace velarion::conjunctions::kernels

#endif
