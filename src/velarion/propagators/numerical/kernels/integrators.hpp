// Integrators of the numerical propagator: the adaptive Dormand-Prince
// 8(5,3) pair with its 7th-order dense output, and the classical fixed-step
// Runge-Kutta 4. Plain C++ on doubles: no Python, no allocation (the state
// and its stages live in fixed storage of kMaxDimension values).
//
// Both write the solution at a list of output times (seconds from the
// initial time, all of one sign, ordered away from 0) without letting them
// shorten the steps: the adaptive method interpolates inside its steps, the
// fixed-step method takes one extra step from the start of the step that
// holds an output to the output itself, and goes on from the grid.
//
// Step control (adaptive). The local error estimate of each position
// component is compared with `tolerance` (m), and of each velocity
// component with tolerance / time_scale (m/s); the propagator takes as time
// scale the orbit's 1/n = sqrt(a^3 / GM) at the initial state (a LEO's
// ~14 min, a GEO's ~3.8 h), the time over which a velocity error grows into
// a position error of the same size. The norm is Hairer's: the 5th- and
// 3rd-order estimates combined, root mean square over the controlled
// components (the first `controlled` of the state: the 6 of the orbit; the
// variational equations ride along uncontrolled, so the orbit's steps are
// the same with or without them).
#ifndef VELARION_PROPAGATORS_NUMERICAL_KERNELS_INTEGRATORS_HPP
#define VELARION_PROPAGATORS_NUMERICAL_KERNELS_INTEGRATORS_HPP

#include "velarion/_core/parallel.hpp"
#include "velarion/propagators/numerical/kernels/dop853_tableau.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace velarion::numerical {

// 6 of the orbit, 36 of the state transition matrix, 12 of the
// sensitivity to Cd and Cr, 2 spare.
inline constexpr int kMaxDimension = 56;

enum class Status {
    ok,
    refused,         // the right-hand side refused a state (e.g. inside the Earth)
    step_too_small,  // the step control asked for a step below the time's resolution
    too_many_steps,  // more than max_steps steps
    non_finite,      // a state or its derivative stopped being finite
    stopped,         // the caller's stop flag was raised (Ctrl-C)
};

struct Outcome {
    Status status = Status::ok;
    double t = 0.0;     // where it stopped (the last accepted time when status != ok)
    long steps = 0;     // accepted steps
    long rejected = 0;  // rejected steps
    long evaluations = 0;
};

struct StepControl {
    double tolerance = 1e-3;    // m, on each position component
    double time_scale = 1e3;    // s: velocity components are held to tolerance / time_scale
    double max_step = 0.0;      // s, 0 for no bound
    double initial_step = 0.0;  // s, 0 to choose one
    int controlled = 6;         // leading components under error control
    long max_steps = 10000000;
    const core::StopFlag* stop = nullptr;  // tested every step
};

// Watches nothing (the integrators' default).
struct NoEvents {
    int count() const noexcept { return 0; }
    bool stops(int) const noexcept { return false; }
    double g(int, double, const double*) noexcept { return 0.0; }
    void found(int, double, double) noexcept {}
};

// Rhs: bool operator()(double t, const double* y, double* dydt) for a state
// of n components; false refuses the state (the integration stops there).
// y_out receives m rows of n values, row k the state at t_out[k].
//
// Events: `events.g(i, t, y)` for i < events.count() is watched at the end
// of every accepted step; where it changes sign inside a step, its root is
// found on the dense output (Illinois' regula falsi to 1e-4 s, or a
// relative 1e-12 of the step) and reported by events.found(i, t, sign of
// the change); the steps stay as they are. An event for which
// events.stops(i) holds marks a discontinuity of the right-hand side
// instead: a step that holds one is taken again to end just before it.
template <class Rhs, class Events = NoEvents>
Outcome integrate_dop853(Rhs& rhs, int n, const double* y0, const double* t_out, long m, double* y_out,
                         const StepControl& control, Events* events = nullptr) noexcept {
    using namespace dop853;
    Outcome out;
    long k = 0;
    while (k < m && t_out[k] == 0.0) {
        std::copy(y0, y0 + n, y_out + k * n);
        ++k;
    }
    if (k == m) return out;
    const double direction = t_out[m - 1] > 0.0 ? 1.0 : -1.0;
    const double t_end = t_out[m - 1];

    double y[kMaxDimension], y_new[kMaxDimension], scratch[kMaxDimension];
    double K[kStagesExtended][kMaxDimension];
    double scale[kMaxDimension];
    std::copy(y0, y0 + n, y);
    const int nc = std::min(control.controlled, n);
    for (int i = 0; i < nc; ++i) scale[i] = i < 3 ? control.tolerance : control.tolerance / control.time_scale;

    auto eval = [&](double t, const double* state, double* f) {
        ++out.evaluations;
        return rhs(t, state, f);
    };
    double t = 0.0;
    if (!eval(t, y, K[0])) return out.status = Status::refused, out;
    const int watched = events ? events->count() : 0;
    double g_old[18], g_new[18];
    for (int e = 0; e < watched && e < 18; ++e) g_old[e] = events->g(e, t, y);

    // Initial step (Hairer's heuristic on the controlled components).
    double h_abs = control.initial_step;
    if (!(h_abs > 0.0)) {
        double d0 = 0.0, d1 = 0.0;
        for (int i = 0; i < nc; ++i) {
            d0 += (y[i] / scale[i]) * (y[i] / scale[i]);
            d1 += (K[0][i] / scale[i]) * (K[0][i] / scale[i]);
        }
        d0 = std::sqrt(d0 / nc), d1 = std::sqrt(d1 / nc);
        double h0 = (d0 < 1e-5 || d1 < 1e-5) ? 1e-6 : 0.01 * d0 / d1;
        h0 = std::min(h0, std::fabs(t_end));
        for (int i = 0; i < n; ++i) scratch[i] = y[i] + direction * h0 * K[0][i];
        if (!eval(direction * h0, scratch, K[1])) return out.status = Status::refused, out;
        double d2 = 0.0;
        for (int i = 0; i < nc; ++i) {
            const double e = (K[1][i] - K[0][i]) / scale[i];
            d2 += e * e;
        }
        d2 = std::sqrt(d2 / nc) / h0;
        const double h1 =
            (d1 <= 1e-15 && d2 <= 1e-15) ? std::max(1e-6, h0 * 1e-3) : std::pow(0.01 / std::max(d1, d2), 1.0 / 8.0);
        h_abs = std::min(100.0 * h0, h1);
    }
    if (control.max_step > 0.0) h_abs = std::min(h_abs, control.max_step);

    constexpr double kSafety = 0.9, kMinFactor = 0.2, kMaxFactor = 10.0;
    double resume_h = 0.0;
    while (k < m) {
        if (out.steps + out.rejected >= control.max_steps) return out.t = t, out.status = Status::too_many_steps, out;
        if (control.stop && control.stop->raised()) return out.t = t, out.status = Status::stopped, out;
        bool rejected_before = false;
        double t_new, h;
        for (;;) {
            const double min_step = 10.0 * std::fabs(std::nextafter(t, direction * INFINITY) - t);
            if (h_abs < min_step) return out.t = t, out.status = Status::step_too_small, out;
            h = direction * h_abs;
            t_new = t + h;
            if (direction * (t_new - t_end) > 0.0) t_new = t_end;
            h = t_new - t;
            h_abs = std::fabs(h);
            bool refused = false;
            for (int s = 1; s < kStages && !refused; ++s) {
                for (int i = 0; i < n; ++i) {
                    double acc = 0.0;
                    for (int j = 0; j < s; ++j) acc += kA[s][j] * K[j][i];
                    scratch[i] = y[i] + h * acc;
                }
                refused = !eval(t + kC[s] * h, scratch, K[s]);
            }
            double err5 = 0.0, err3 = 0.0;
            if (!refused) {
                for (int i = 0; i < n; ++i) {
                    double acc = 0.0;
                    for (int j = 0; j < kStages; ++j) acc += kB[j] * K[j][i];
                    y_new[i] = y[i] + h * acc;
                }
                for (int i = 0; i < nc; ++i) {
                    double e5 = 0.0, e3 = 0.0;
                    for (int j = 0; j < kStages; ++j) e5 += kE5[j] * K[j][i], e3 += kE3[j] * K[j][i];
                    e5 /= scale[i], e3 /= scale[i];
                    err5 += e5 * e5, err3 += e3 * e3;
                }
            }
            // A refused stage state is treated as a failed step: a smaller
            // step may stay outside what was refused; a refusal at the
            // accepted states themselves ends the integration below.
            double err;
            if (refused) {
                err = INFINITY;
            } else if (err5 == 0.0 && err3 == 0.0) {
                err = 0.0;
            } else {
                err = h_abs * err5 / std::sqrt((err5 + 0.01 * err3) * nc);
            }
            if (!std::isfinite(err) && !refused) return out.t = t, out.status = Status::non_finite, out;
            if (err < 1.0) {
                double factor = err == 0.0 ? kMaxFactor : std::min(kMaxFactor, kSafety * std::pow(err, -1.0 / 8.0));
                if (rejected_before) factor = std::min(1.0, factor);
                h_abs *= factor;
                break;
            }
            ++out.rejected;
            if (refused && h_abs <= 1e-3) {
                return out.t = t, out.status = Status::refused, out;
            }
            h_abs *= refused ? 0.25 : std::max(kMinFactor, kSafety * std::pow(err, -1.0 / 8.0));
            rejected_before = true;
            if (out.steps + out.rejected >= control.max_steps)
                return out.t = t, out.status = Status::too_many_steps, out;
        }
        if (control.max_step > 0.0) h_abs = std::min(h_abs, control.max_step);
        if (!eval(t_new, y_new, K[kStages])) return out.t = t, out.status = Status::refused, out;
        ++out.steps;

        // Outputs inside (t, t_new]: the dense output, its extra stages
        // evaluated once per step that holds one (or an event).
        bool dense_ready = false;
        double F[7][kMaxDimension];
        auto ensure_dense = [&]() -> bool {
            if (dense_ready) return true;
            bool refused = false;
            for (int s = kStages + 1; s < kStagesExtended && !refused; ++s) {
                for (int i = 0; i < n; ++i) {
                    double acc = 0.0;
                    for (int j = 0; j < s; ++j) acc += kA[s][j] * K[j][i];
                    scratch[i] = y[i] + h * acc;
                }
                refused = !eval(t + kC[s] * h, scratch, K[s]);
            }
            if (refused) return false;
            for (int i = 0; i < n; ++i) {
                const double dy = y_new[i] - y[i];
                F[0][i] = dy;
                F[1][i] = h * K[0][i] - dy;
                F[2][i] = 2.0 * dy - h * (K[kStages][i] + K[0][i]);
                for (int q = 0; q < 4; ++q) {
                    double acc = 0.0;
                    for (int j = 0; j < kStagesExtended; ++j) acc += kD[q][j] * K[j][i];
                    F[3 + q][i] = h * acc;
                }
            }
            dense_ready = true;
            return true;
        };
        auto interpolate = [&](double x, double* row, int count) {
            for (int i = 0; i < count; ++i) {
                double acc = 0.0;
                for (int q = 6; q >= 0; --q) {
                    acc += F[q][i];
                    acc *= (q % 2 == 0) ? x : 1.0 - x;
                }
                row[i] = y[i] + acc;
            }
        };
        // The root of event e's sign change inside the step: the bracket
        // [x0, x1] of the step's fraction (Illinois' regula falsi).
        auto root = [&](int e, double& x0, double& x1) {
            double f0 = g_old[e], f1 = g_new[e], probe[6];
            x0 = 0.0, x1 = 1.0;
            int side = 0;
            double width_before = 2.0;  // the bracket two iterations back
            double width_last = 1.0;
            for (int it = 0; it < 100 && (x1 - x0) * std::fabs(h) > 1e-4 && x1 - x0 > 1e-12; ++it) {
                // Illinois, or a bisection where it stopped halving the bracket
                const bool bisect = x1 - x0 > 0.5 * width_before;
                width_before = width_last, width_last = x1 - x0;
                const double x = bisect ? 0.5 * (x0 + x1) : (x0 * f1 - x1 * f0) / (f1 - f0);
                interpolate(x, probe, 6);
                const double fx = events->g(e, t + x * h, probe);
                if (fx == 0.0) {
                    x0 = x1 = x;
                    break;
                }
                if ((fx < 0.0) == (f1 < 0.0)) {
                    x1 = x, f1 = fx;
                    if (side == -1) f0 *= 0.5;
                    side = -1;
                } else {
                    x0 = x, f0 = fx;
                    if (side == 1) f1 *= 0.5;
                    side = 1;
                }
            }
        };
        auto changes = [&](int e) {
            return (g_old[e] < 0.0 && g_new[e] >= 0.0) || (g_old[e] > 0.0 && g_new[e] <= 0.0);
        };
        for (int e = 0; e < watched && e < 18; ++e) g_new[e] = events->g(e, t_new, y_new);
        // A discontinuity of the forces (an edge of a shadow) inside the
        // step: the step is taken again to end just before it, so that no
        // step straddles it (unless it lies within a millisecond of the start).
        double stop_at = 2.0;
        for (int e = 0; e < watched && e < 18; ++e) {
            if (!events->stops(e) || !changes(e)) continue;
            if (!ensure_dense()) return out.t = t, out.status = Status::refused, out;
            double x0, x1;
            root(e, x0, x1);
            // half a millisecond before the edge: the step after it then
            // finds the edge within its first millisecond and goes on
            if (x0 * std::fabs(h) > 1e-3) stop_at = std::min(stop_at, x0 - 5e-4 / std::fabs(h));
        }
        if (stop_at < 1.0) {
            --out.steps;
            ++out.rejected;
            if (resume_h == 0.0) resume_h = h_abs;  // the control's proposal after the full step, for after the edge
            h_abs = stop_at * std::fabs(h);
            continue;
        }
        if (resume_h > 0.0) h_abs = resume_h, resume_h = 0.0;
        while (k < m && direction * (t_out[k] - t_new) <= 0.0) {
            double* row = y_out + k * n;
            if (t_out[k] == t_new) {
                std::copy(y_new, y_new + n, row);
                ++k;
                continue;
            }
            if (!ensure_dense()) return out.t = t, out.status = Status::refused, out;
            interpolate((t_out[k] - t) / h, row, n);
            ++k;
        }
        for (int e = 0; e < watched && e < 18; ++e) {
            if (events->stops(e) || !changes(e)) continue;
            if (!ensure_dense()) return out.t = t, out.status = Status::refused, out;
            double x0, x1;
            root(e, x0, x1);
            events->found(e, t + 0.5 * (x0 + x1) * h, g_new[e] > g_old[e] ? 1.0 : -1.0);
        }
        for (int e = 0; e < watched && e < 18; ++e) g_old[e] = g_new[e];
        for (int i = 0; i < n; ++i) {
            if (!std::isfinite(y_new[i])) return out.t = t, out.status = Status::non_finite, out;
        }
        t = t_new;
        std::copy(y_new, y_new + n, y);
        std::copy(K[kStages], K[kStages] + n, K[0]);
        out.t = t;
    }
    return out;
}

// One classical Runge-Kutta 4 step of size h from (t, y) into y_new; k1 is
// f(t, y), already evaluated.
template <class Rhs>
bool rk4_step(Rhs& rhs, int n, double t, const double* y, const double* k1, double h, double* y_new,
              long& evaluations) noexcept {
    double k2[kMaxDimension], k3[kMaxDimension], k4[kMaxDimension], s[kMaxDimension] = {};
    for (int i = 0; i < n; ++i) s[i] = y[i] + 0.5 * h * k1[i];
    if (!rhs(t + 0.5 * h, s, k2)) return false;
    for (int i = 0; i < n; ++i) s[i] = y[i] + 0.5 * h * k2[i];
    if (!rhs(t + 0.5 * h, s, k3)) return false;
    for (int i = 0; i < n; ++i) s[i] = y[i] + h * k3[i];
    if (!rhs(t + h, s, k4)) return false;
    evaluations += 3;
    for (int i = 0; i < n; ++i) y_new[i] = y[i] + h / 6.0 * (k1[i] + 2.0 * k2[i] + 2.0 * k3[i] + k4[i]);
    return true;
}

// Fixed steps of `step` seconds (its sign is taken from the outputs); step
// j ends at j * step exactly (times are multiples, not sums).
template <class Rhs>
Outcome integrate_rk4(Rhs& rhs, int n, const double* y0, const double* t_out, long m, double* y_out, double step,
                      long max_steps, const core::StopFlag* stop = nullptr) noexcept {
    Outcome out;
    long k = 0;
    while (k < m && t_out[k] == 0.0) {
        std::copy(y0, y0 + n, y_out + k * n);
        ++k;
    }
    if (k == m) return out;
    const double direction = t_out[m - 1] > 0.0 ? 1.0 : -1.0;
    const double h = direction * std::fabs(step);
    double y[kMaxDimension], y_new[kMaxDimension], f[kMaxDimension];
    std::copy(y0, y0 + n, y);
    long j = 0;
    double t = 0.0;
    while (k < m) {
        if (j >= max_steps) return out.t = t, out.status = Status::too_many_steps, out;
        if (stop && stop->raised()) return out.t = t, out.status = Status::stopped, out;
        ++out.evaluations;
        if (!rhs(t, y, f)) return out.t = t, out.status = Status::refused, out;
        const double t_next = static_cast<double>(j + 1) * h;
        while (k < m && direction * (t_out[k] - t_next) < 0.0) {
            if (!rk4_step(rhs, n, t, y, f, t_out[k] - t, y_out + k * n, out.evaluations))
                return out.t = t, out.status = Status::refused, out;
            ++k;
        }
        if (k == m) break;
        if (!rk4_step(rhs, n, t, y, f, t_next - t, y_new, out.evaluations))
            return out.t = t, out.status = Status::refused, out;
        for (int i = 0; i < n; ++i) {
            if (!std::isfinite(y_new[i])) return out.t = t, out.status = Status::non_finite, out;
        }
        ++j;
        ++out.steps;
        t = t_next;
        std::copy(y_new, y_new + n, y);
        out.t = t;
        while (k < m && t_out[k] == t) {
            std::copy(y, y + n, y_out + k * n);
            ++k;
        }
    }
    return out;
}

}  // namespace velarion::numerical

#endif
