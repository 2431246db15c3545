// For tests: the first replacement of each destination of a script, as the
// cycle prepares it, so that tests can compare it with what kelvo-check or
// the plan says.
#pragma once

#include <vector>

#include "replace/file_system.h"
#include "rotate/cycle.h"
#include "rotate/plan.h"
#include "rotate/run_settings.h"

// In visiting order, looked at through files.
inline std::vector<PreparedReplacement> FirstReplacements(const RunSettings& settings,
                                                          FileSystem& files) {
  RunPlan plan(settings, files);
  std::vector<PreparedReplacement> prepared(plan.Destinations().size());
  for (size_t index = 0; index < prepared.size(); ++index) {
    PrepareReplacement(plan.Plan(index), false, prepared[index]);
  }
  return prepared;
}
