// Umbrella header of the shared toolkit.
#ifndef VELARION_CORE_CORE_HPP
#define VELARION_CORE_CORE_HPP

// IWYU pragma: begin_exports
#include "velarion/_core/ref.hpp"
#include "velarion/_core/errors.hpp"
#include "velarion/_core/gil.hpp"
#include "velarion/_core/interrupt.hpp"
#include "velarion/_core/args.hpp"
#include "velarion/_core/buffer.hpp"
#include "velarion/_core/capi.hpp"
#include "velarion/_core/module.hpp"
// IWYU pragma: end_exports

#endif
