// Virtual time of the simulated machine.
#pragma once

#include <cstdint>

namespace sim {

// Virtual time in 100 ns units, the unit of the NT system time.
using Ticks = int64_t;
constexpr Ticks kTicksPerUs = 10;
constexpr Ticks kTicksPerMs = 10000;

}  // namespace sim
