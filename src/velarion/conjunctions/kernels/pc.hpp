// Probability of collision of two objects at a conjunction. Plain C++ on
// doubles, no Python.
//
// The 2-D methods work in the encounter plane (normal to the relative
// velocity at TCA, motion taken as rectilinear): Foster's integral of the
// combined position covariance over the hard-body disc (or a square), by
// adaptive Gauss-Kronrod quadrature of the 1-D integral of erf differences;
// Chan's series; and the largest Pc over a scaling of the covariance. The
// 3-D method integrates the rate at which the relative state enters the
// hard-body sphere (Gaussian relative state, covariances carried by the
// two-body state transition matrix) over the encounter, without the
// rectilinear assumption: its integral is the expected number of
// collisions, equal to Pc when no sample path enters twice. The Monte Carlo
// method samples both objects' states at TCA and finds each pair's closest
// approach under two-body motion.
#ifndef VELARION_CONJUNCTIONS_KERNELS_PC_HPP
#define VELARION_CONJUNCTIONS_KERNELS_PC_HPP

#include "velarion/conjunctions/kernels/pc_common.hpp"       // IWYU pragma: export
#include "velarion/conjunctions/kernels/pc_2d.hpp"           // IWYU pragma: export
#include "velarion/conjunctions/kernels/pc_3d.hpp"           // IWYU pragma: export
#include "velarion/conjunctions/kernels/pc_monte_carlo.hpp"  // IWYU pragma: export

#endif
