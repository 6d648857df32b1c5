// One propagation: a state at an epoch to output times in any order, before
// and after the epoch (two integrations from the epoch, one each way).
// Plain C++, no Python.
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_PROPAGATE_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_PROPAGATE_HPP

#include "velarion/propagators/numerical/kernels/dynamics.hpp"
#include "velarion/propagators/numerical/kernels/integrators.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace velarion::numerical {

enum class Method { dop853, rk4 };

// Events a propagation watches (adaptive integrator only), each a function
// of the state whose sign changes mark it:
//   node: z (GCRF; rising: ascending node), apsis: r . v (rising: periapsis),
//   altitude: height over the WGS84 ellipsoid - value (m; rising: going up),
//   umbra, penumbra: the Earth's conical shadow's angles (falling: entering
//   the umbra; rising: entering the penumbra).
enum class EventKind { node = 0, apsis = 1, altitude = 2, umbra = 3, penumbra = 4 };
struct EventSpec {
    EventKind kind;
    double value;
    bool stop = false;  // a discontinuity the steps end at, not reported
};
struct FoundEvent {
    int index;         // into the specs
    double t;          // s from the epoch
    double direction;  // +1 rising, -1 falling
};

class EventWatcher {
public:
    EventWatcher(Dynamics& dynamics, const EventSpec* specs, int count, std::vector<FoundEvent>& found)
        : dynamics_(dynamics), specs_(specs), count_(count), found_(found) {}
    int count() const noexcept { return count_; }
    bool stops(int i) const noexcept { return specs_[i].stop; }
    double g(int i, double t, const double* y) noexcept {
        const EventSpec& s = specs_[i];
        switch (s.kind) {
            case EventKind::node: return y[2];
            case EventKind::apsis: return y[0] * y[3] + y[1] * y[4] + y[2] * y[5];
            default: break;
        }
        ForceContext c;
        double ut1_minus_tt, r_itrf[3];
        if (!dynamics_.make_context(dynamics_.tt0() + t, y, y + 3, c, ut1_minus_tt, r_itrf)) return 0.0;
        if (s.kind == EventKind::altitude) {
            double lat, height;
            geodetic_from_itrf(r_itrf, lat, height);
            return height - s.value;
        }
        // The Earth's conical shadow by its angles, smooth in time: c the
        // angle between the Earth's and the Sun's centres seen from the
        // satellite, a and b their apparent radii (the radiation pressure
        // term's: Montenbruck and Gill 3.4.2). Umbra: c - (b - a), negative
        // inside; penumbra: (a + b) - c, positive inside.
        const SrpParams& p = dynamics_.model().srp_params;
        const double to_sun[3] = {c.sun[0] - y[0], c.sun[1] - y[1], c.sun[2] - y[2]};
        const double ds = std::sqrt(to_sun[0] * to_sun[0] + to_sun[1] * to_sun[1] + to_sun[2] * to_sun[2]);
        const double de = std::sqrt(y[0] * y[0] + y[1] * y[1] + y[2] * y[2]);
        const double a = std::asin(std::min(1.0, p.sun_radius / ds));
        const double b = std::asin(std::min(1.0, p.earth_radius / de));
        const double cosc = -(y[0] * to_sun[0] + y[1] * to_sun[1] + y[2] * to_sun[2]) / (de * ds);
        const double angle = std::acos(std::clamp(cosc, -1.0, 1.0));
        return s.kind == EventKind::umbra ? angle - (b - a) : (a + b) - angle;
    }
    void found(int i, double t, double direction) {
        try {
            found_.push_back({i, t, direction});
        } catch (...) {  // out of memory: the event is lost, the propagation goes on
        }
    }

private:
    Dynamics& dynamics_;
    const EventSpec* specs_;
    int count_;
    std::vector<FoundEvent>& found_;
};

struct Settings {
    Method method = Method::dop853;
    double tolerance = 1e-3;  // m (adaptive)
    double step = 60.0;       // s (fixed step; the adaptive method's bound when max_step > 0)
    double max_step = 0.0;    // s, adaptive, 0 for none
    long max_steps = 10000000;
    const core::StopFlag* stop = nullptr;  // Ctrl-C, tested every step
};

// The result of one propagation: status ok, or the failure and the time
// (s from the epoch) of the last state reached before it.
struct Result {
    Status status = Status::ok;
    Refusal refusal = Refusal::none;
    double t_failed = 0.0;
    long steps = 0, evaluations = 0;
};

// The orbit's time scale 1/n = sqrt(a^3 / GM) of the state (r, v), or
// r / v for an orbit without a finite positive semi-major axis.
inline double orbit_time_scale(double GM, const double r[3], const double v[3]) noexcept {
    const double rn = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    const double v2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
    const double inv_a = 2.0 / rn - v2 / GM;
    if (inv_a > 0.0) return std::sqrt(1.0 / (inv_a * inv_a * inv_a) / GM);
    return rn / std::max(std::sqrt(v2), 1.0);
}

// Propagates y0 (r, v at TT seconds since J2000 tt0) to the m times dt (s
// from tt0, any order), writing 6 values per time to states and, when stm
// (and sensitivity) are not null, the 6x6 state transition matrix and the
// 6x2 d(r, v) / d(Cd, Cr) (row-major) per time. When stm
// is not null, the 6x6 state transition matrix (row-major) per time.
inline Result propagate_one(const ForceModel& model, const EarthOrientationTable* table, const Ephemeris* ephemeris,
                            const Settings& settings, double tt0, const double y0[6], const double* dt, long m,
                            double* states, double* stm, const EventSpec* events = nullptr, int event_count = 0,
                            std::vector<FoundEvent>* found = nullptr, double* sensitivity = nullptr,
                            Weather weather = {}) {
    Result result;
    if (m == 0) return result;
    std::vector<long> order(static_cast<size_t>(m));
    std::iota(order.begin(), order.end(), 0L);
    // Forward times ascending, then backward times descending (by |dt|).
    std::stable_sort(order.begin(), order.end(), [&](long a, long b) {
        const bool fa = dt[a] >= 0.0, fb = dt[b] >= 0.0;
        if (fa != fb) return fa;
        return fa ? dt[a] < dt[b] : dt[a] > dt[b];
    });
    const long forward = std::count_if(dt, dt + m, [](double x) { return x >= 0.0; });
    if (sensitivity && !stm) sensitivity = nullptr;  // it rides on the transition matrix
    Dynamics dynamics(model, table, ephemeris, tt0, stm != nullptr, sensitivity != nullptr, weather);
    const int n = dynamics.dimension();
    double y_start[kMaxDimension];
    for (int i = 0; i < 6; ++i) y_start[i] = y0[i];
    if (stm) {
        for (int i = 0; i < 36; ++i) y_start[6 + i] = i % 7 == 0 ? 1.0 : 0.0;
    }
    if (sensitivity) {
        for (int i = 0; i < 12; ++i) y_start[42 + i] = 0.0;
    }
    StepControl control;
    control.tolerance = settings.tolerance;
    control.time_scale = orbit_time_scale(model.field.GM, y0, y0 + 3);
    control.max_step = settings.max_step;
    control.max_steps = settings.max_steps;
    control.stop = settings.stop;

    // Radiation pressure's shadow edges end steps (its acceleration has a
    // kink there), watched besides the caller's events, where the kink can
    // matter: where the pressure's acceleration over the orbit's time scale
    // squared (its displacement in a radian of orbit) exceeds the tolerance.
    // (A LEO of 0.01 m^2/kg: 4 cm; at a tolerance of 1 m the edges cost
    // more steps than they gain.)
    EventSpec watched[18];
    int watched_count = 0;
    for (int e = 0; e < event_count && e < 16; ++e) watched[watched_count++] = events[e];
    const double srp_scale = model.srp_params.p0 * model.srp_params.cr * model.srp_params.area / model.srp_params.mass;
    const double scale_time = orbit_time_scale(model.field.GM, y0, y0 + 3);
    if (model.srp && settings.method == Method::dop853 && srp_scale * scale_time * scale_time > settings.tolerance) {
        watched[watched_count++] = {EventKind::umbra, 0.0, true};
        watched[watched_count++] = {EventKind::penumbra, 0.0, true};
    }
    std::vector<FoundEvent> unused;
    std::vector<FoundEvent>& found_events = found ? *found : unused;

    std::vector<double> times(static_cast<size_t>(m)), rows(static_cast<size_t>(m) * static_cast<size_t>(n));
    for (long k = 0; k < m; ++k) times[static_cast<size_t>(k)] = dt[order[static_cast<size_t>(k)]];
    const long parts[2][2] = {{0, forward}, {forward, m}};
    for (const auto& part : parts) {
        const long count = part[1] - part[0];
        if (count == 0) continue;
        const double* t_out = times.data() + part[0];
        double* y_out = rows.data() + part[0] * n;
        Outcome o;
        if (settings.method == Method::dop853 && watched_count > 0) {
            EventWatcher watcher(dynamics, watched, watched_count, found_events);
            o = integrate_dop853(dynamics, n, y_start, t_out, count, y_out, control, &watcher);
        } else if (settings.method == Method::dop853) {
            o = integrate_dop853(dynamics, n, y_start, t_out, count, y_out, control);
        } else {
            o = integrate_rk4(dynamics, n, y_start, t_out, count, y_out, settings.step, settings.max_steps,
                              settings.stop);
        }
        result.steps += o.steps;
        result.evaluations += o.evaluations;
        if (o.status != Status::ok) {
            result.status = o.status;
            result.refusal = dynamics.refusal();
            result.t_failed = o.t;
            return result;
        }
    }
    for (long k = 0; k < m; ++k) {
        const long i = order[static_cast<size_t>(k)];
        const double* row = rows.data() + k * n;
        for (int j = 0; j < 6; ++j) states[6 * i + j] = row[j];
        if (stm) {
            for (int j = 0; j < 36; ++j) stm[36 * i + j] = row[6 + j];
        }
        if (sensitivity) {
            for (int j = 0; j < 12; ++j) sensitivity[12 * i + j] = row[42 + j];
        }
    }
    return result;
}

}  // namespace velarion::numerical

#endif
