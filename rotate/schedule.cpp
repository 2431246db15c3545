// When the replacements of later passes are due.
#include "rotate/schedule.h"

uint32_t ReplacementSchedule::WaitBeforeNext(uint32_t step, uint64_t now) {
  if (!started) {
    started = true;
    due = now;
  }
  due += step;
  if (due <= now) {
    due = now;
    return 0;
  }
  return static_cast<uint32_t>(due - now);
}
