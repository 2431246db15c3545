// The replacement cycle: pass after pass, every destination gets a source
// drawn at random from its list, the replacements of later passes at the
// moments their schedule sets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "replace/replace.h"
#include "rotate/plan.h"
#include "rotate/run_settings.h"

// Runs passes until the first one is over with OneShot set, or a stop is
// requested, taking its file steps on fs. Returns the number of replacements
// that failed. replacementTried, when given, is set as the first replacement
// is begun, so that it tells even after an exception.
unsigned RunCycle(const RunSettings& settings, FileSystem& fs, bool* replacementTried = nullptr);

// Why a file step failed, as kelvo says it: its own words for a file of the
// wrong kind and a stop, the system's text otherwise.
std::string ReasonText(const StepResult& result);

// Draws one of a destination's candidates with the program's generator, as
// each replacement does; empty when there are none.
std::string DrawSourceName(const std::vector<std::string>& candidates);
// The index of a draw among count candidates (count at least 1).
size_t DrawIndex(size_t count);

// A replacement as the cycle prepares it from its destination's plan.
struct PreparedReplacement {
  bool leftAsSource = false;  // a listed source: no replacement is made
  // The companion and the original only where the plan keeps them; each
  // draw sets the source.
  Replacement replacement;
  // The plan refuses the original's name: the cycle says so where the
  // replacement would have kept it, and keeps none.
  bool originalRefused = false;
  StepResult originalRefusal;
};

// Prepares the next replacement of a destination from its plan: the cycle
// does so before each one. originalSettled: the first content is kept
// already, or its name was refused.
void PrepareReplacement(const DestinationPlan& plan, bool originalSettled,
                        PreparedReplacement& prepared);

// When the replacements of later passes are due: one every interval / count
// milliseconds from the end of the first pass, at fixed moments, so that
// the time the replacements themselves take does not add up pass after pass.
class ReplacementSchedule {
 public:
  // Milliseconds to wait, at the monotonic time now, until the next
  // replacement is due, one step after the one before. The first call starts
  // the count. A replacement that ran past its moment makes the next one due
  // at once, and the moments after it count from then: no burst to catch up.
  uint32_t WaitBeforeNext(uint32_t step, uint64_t now) {
    due = std::max((started ? due : now) + step, now);
    started = true;
    return static_cast<uint32_t>(due - now);
  }

 private:
  bool started = false;
  uint64_t due = 0;  // when the last replacement was due
};
