// The simulated buses: the register windows the board's devices answer in,
// the mapped views of memory space, and the time every access takes.
#include "sim/kernel.h"

namespace sim {

void Bus::attach(Space space, uint32_t base, uint32_t length, IoDevice* device) {
  windows_.push_back({space, base, length, device});
}

void Bus::detach(IoDevice* device) {
  for (auto it = windows_.begin(); it != windows_.end();) {
    it = it->device == device ? windows_.erase(it) : it + 1;
  }
}

const Bus::Window* Bus::find(Space space, uint32_t address) const {
  for (const auto& w : windows_) {
    if (w.space == space && address >= w.base && address - w.base < w.length) {
      return &w;
    }
  }
  return nullptr;
}

uint8_t Bus::read(Space space, uint32_t address) {
  if (scheduler_ != nullptr) scheduler_->point(Point::BusRead);
  BusAccess access{space, address, false, 0xFF};
  if (guard_ && !guard_(access)) {
    return 0xFF;
  }
  clock_.advance(cycle_);
  // A read that no device claims floats high, as on the ISA/LPC bus.
  if (const Window* w = find(space, address)) {
    access.value = w->device->read(address - w->base);
  }
  accesses_++;
  for (auto& listener : listeners_) {
    listener(access);
  }
  return access.value;
}

void Bus::write(Space space, uint32_t address, uint8_t value) {
  if (scheduler_ != nullptr) scheduler_->point(Point::BusWrite);
  BusAccess access{space, address, true, value};
  if (guard_ && !guard_(access)) {
    return;
  }
  clock_.advance(cycle_);
  if (const Window* w = find(space, address)) {
    w->device->write(address - w->base, value);
  }
  accesses_++;
  for (auto& listener : listeners_) {
    listener(access);
  }
}

uint32_t Bus::map(uint64_t physical, uint32_t length) {
  uint32_t virt = nextView_;
  // Views are page aligned and never reused, so a stale address is caught.
  nextView_ += (length + 0xFFFu) & ~0xFFFu;
  nextView_ += 0x1000;
  views_[virt] = {physical, length};
  return virt;
}

bool Bus::unmap(uint32_t virt, uint32_t length) {
  auto it = views_.find(virt);
  if (it == views_.end() || it->second.length != length) {
    return false;
  }
  views_.erase(it);
  return true;
}

bool Bus::translate(uint32_t virt, uint64_t* physical) const {
  auto it = views_.upper_bound(virt);
  if (it == views_.begin()) {
    return false;
  }
  --it;
  if (virt - it->first >= it->second.length) {
    return false;
  }
  *physical = it->second.physical + (virt - it->first);
  return true;
}

bool Bus::isMapped(uint32_t virt) const {
  uint64_t physical;
  return translate(virt, &physical);
}

}  // namespace sim
