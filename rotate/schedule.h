// When the replacements of later passes are due: one every interval / count
// milliseconds from the end of the first pass, at fixed moments, so that
// the time the replacements themselves take does not add up pass after pass.
#pragma once

#include <cstdint>

class ReplacementSchedule {
 public:
  // Milliseconds to wait, at the monotonic time now, until the next
  // replacement is due, one step after the one before. The first call starts
  // the count. A replacement that ran past its moment makes the next one due
  // at once, and the moments after it count from then: no burst to catch up.
  uint32_t WaitBeforeNext(uint32_t step, uint64_t now) {
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

 private:
  bool started = false;
  uint64_t due = 0;  // when the last replacement was due
};
