// At the start of a run: deletes what killed runs left beside the
// destinations, and only what holds nothing still wanted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/leftover.h"
#include "platform/platform.h"

// The steps a sweep takes: the platform's unless a test fakes them.
struct SweepSteps {
  std::function<bool(const std::string&, std::vector<std::string>&)> listFolder = ListFolder;
  std::function<StepResult(const std::string&, EntryInfo&)> readEntry = ReadEntry;
  std::function<StepResult(const std::string&)> deleteName = DeleteName;
  std::function<bool(uint32_t)> processRunning = ProcessIsRunning;
  std::function<StepResult(const std::string&, HeldFolder&)> holdFolder = HoldFolder;
  std::function<void(HeldFolder&, const std::string&, bool)> releaseFolder = ReleaseFolder;
  // True for a path the script lists (a source or destination under a name
  // that looks like a helper's): it is never deleted.
  std::function<bool(const std::string&)> isListed = [](const std::string&) { return false; };
};

// True when name is one that HelperName gives, exactly as it gives it, with
// the suffix ".new", ".old" or ".del".
bool ParseHelperName(const std::string& name, uint32_t& process, std::string& suffix);

// True when name is one that HelperFolderName gives, exactly as it gives it.
bool ParseHelperFolderName(const std::string& name, uint32_t& process);

// Deletes, in every folder (a folder part ending in its separator, or empty
// for the current folder), the ".new" and ".del" helper files of runs that
// are not running: a ".new" holds a copy of a source or of a destination
// still in place, a ".del" a second name of a companion or a replaced one.
// A ".old" may hold the only copy of an old content and is never deleted,
// nor is anything that is not a regular file under exactly such a name, nor
// a name the script lists, nor the helpers of a process that is running
// (another run working beside ours). The helper folder of a run that is not
// running is swept the same way, and removed when that leaves it empty.
// self is this run's process number: it has made no helpers yet, so any
// under its number are an earlier process's. Returns the names it could
// not delete, with why.
std::vector<Leftover> SweepLeftovers(const std::vector<std::string>& folders, uint32_t self,
                                     const SweepSteps& steps = SweepSteps());
