#include "sim/routines.h"

#include "sim/kernel.h"

namespace sim {

const RoutineRow* failableRow(const std::string& name) {
  for (const RoutineRow& row : kRoutineRows) {
    if (row.failure != Failure::None && (name == row.exported || name == row.shown)) return &row;
  }
  return nullptr;
}

// A routine called above the highest level it allows is the bug check
// IRQL_NOT_LESS_OR_EQUAL; one that expects its caller at DISPATCH_LEVEL
// already and is called below it, IRQL_NOT_GREATER_OR_EQUAL.
void Entry::checkLevel() {
  if (row_.highest != kAnyLevel) levelHeld_ = kernel_.checkIrql(row_.shown, row_.highest);
  if (row_.lowest != 0 && kernel_.irql.level() < row_.lowest) {
    kernel_.verifier.report(Rule::IrqlNotGreaterOrEqual,
                            std::string(row_.shown) + " at IRQL " + std::to_string(kernel_.irql.level()));
    levelHeld_ = false;
  }
}

bool Entry::failed(const void* caller, int32_t* status) {
  return kernel_.failures.take(row_.exported, status, caller);
}

bool Entry::alive(const volatile void* object) { return kernel_.checkAlive(row_.shown, object); }

}  // namespace sim
