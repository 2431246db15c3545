// At the start of a run: deletes what killed runs left beside the
// destinations, and only what holds nothing still wanted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

// The steps a sweep takes: the platform's unless a test fakes them.
struct SweepSteps {
  std::function<bool(const std::string&, std::vector<std::string>&)> listFolder = ListFolder;
  std::function<StepResult(const std::string&, EntryInfo&)> readEntry = ReadEntry;
  std::function<StepResult(const std::string&)> deleteName = DeleteName;
  std::function<bool(uint32_t)> processRunning = ProcessIsRunning;
};

// True when name is one that HelperName gives, exactly as it gives it, with
// the suffix ".new", ".old" or ".del".
bool ParseHelperName(const std::string& name, uint32_t& process, std::string& suffix);

// Deletes, in every folder (a folder part ending in its separator, or empty
// for the current folder), the ".new" and ".del" helper files of runs that
// are not running: a ".new" holds a copy of a source or of a destination
// still in place, a ".del" a second name of a companion or a replaced one.
// A ".old" may hold the only copy of an old content and is never deleted,
// nor is anything that is not a regular file under exactly such a name, nor
// the helpers of a process that is running (another run working beside
// ours). self is this run's process number: it has made no helpers yet, so
// any under its number are an earlier process's. Returns the names it could
// not delete.
std::vector<std::string> SweepLeftovers(const std::vector<std::string>& folders, uint32_t self,
                                        const SweepSteps& steps = SweepSteps());
