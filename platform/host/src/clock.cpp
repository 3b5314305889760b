// The virtual clock, apart from the rest of the kernel so that the HAL for
// Wine (wine/hal) runs the board model on the same clock.
#include "sim/clock.h"

#include <stdexcept>

namespace sim {

Ticks Clock::systemOffset() const {
  Ticks offset = kBootSystemTime;
  for (const Step& s : steps_) {
    if (s.at <= now_) offset += s.delta;
  }
  return offset;
}

void Clock::step(Ticks delta, Ticks at) { steps_.push_back({at < now_ ? now_ : at, delta}); }

void Clock::refuse() { throw std::overflow_error("virtual time would leave its range"); }

void Clock::ring() {
  for (auto& listener : listeners_) {
    listener(now_);
  }
}

}  // namespace sim
