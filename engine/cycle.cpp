// The replacement cycle: pass after pass, every destination gets a source
// drawn at random from its list. A replacement copies the source beside the
// destination first, so no failure or kill leaves the destination half
// written or its old content lost, and never touches a file named as a source.
#include "engine/cycle.h"

#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "engine/console.h"
#include "engine/entry_set.h"
#include "engine/later_deletions.h"
#include "engine/replace.h"
#include "engine/schedule.h"
#include "engine/sweep.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "random/mersenne_twister.h"

namespace {

// The resolved names of every source (or, with destinations set, every
// destination) the script lists.
std::vector<std::string> ResolvedNames(const RunSettings& settings, bool destinations) {
  std::vector<std::string> resolved;
  settings.Table.ForEach(
      [&](const std::string& destination, const std::vector<std::string>& sources) {
        if (destinations) {
          resolved.push_back(
              ResolvePath(destination, settings.DestinationPath, settings.ProgramDirectory));
          return;
        }
        for (const std::string& source : sources) {
          resolved.push_back(ResolvePath(source, settings.SourcePath, settings.ProgramDirectory));
        }
      });
  return resolved;
}

void ReportLeftover(const std::string& path) {
  std::fprintf(stderr, "kelvo: cannot delete %s, a file kelvo made\n", path.c_str());
}

void ReportLeftovers(const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  std::fflush(stdout);
  for (const std::string& path : paths) ReportLeftover(path);
  std::fflush(stderr);
}

// One line on standard error for a failed replacement; the console's own
// line and the log stay as they are.
void ReportFailure(const ReplaceOutcome& outcome) {
  std::fflush(stdout);
  std::string reason = outcome.reason != nullptr ? outcome.reason : ReasonText(outcome.result);
  std::fprintf(stderr, "kelvo: cannot %s %s: %s\n", outcome.action, outcome.path.c_str(),
               reason.c_str());
  if (!outcome.kept.empty()) {
    std::fprintf(stderr, "kelvo: the old content is kept as %s\n", outcome.kept.c_str());
  }
  if (!outcome.leftover.empty()) ReportLeftover(outcome.leftover);
  std::fflush(stderr);
}

// The folder part of every destination, each once.
std::vector<std::string> DestinationFolders(const std::vector<std::string>& destinations) {
  std::set<std::string> folders;
  for (const std::string& destination : destinations) {
    PathParts parts = SplitPath(destination);
    folders.insert(parts.drive + parts.directory);
  }
  return std::vector<std::string>(folders.begin(), folders.end());
}

class Cycle {
 public:
  explicit Cycle(const RunSettings& runSettings)
      : settings(runSettings),
        sources(ResolvedNames(runSettings, false)),
        destinationNames(ResolvedNames(runSettings, true)),
        destinations(destinationNames) {}

  unsigned failures = 0;  // replacements that failed

  void Run() {
    Print("Starting Loop.\n");
    // What killed runs left beside the destinations goes first.
    ReportLeftovers(SweepLeftovers(DestinationFolders(destinationNames), ProcessNumber()));
    bool firstPass = true;
    for (;;) {
      RunPass(firstPass);
      firstPass = false;
      if (settings.OneShot || StopRequested()) break;
      // Nothing to replace: idle for an interval instead of spinning.
      if (settings.Table.GetCount() == 0)
        WaitMilliseconds(static_cast<uint32_t>(settings.Interval));
      if (StopRequested()) break;
    }
    // The run ends with nothing set aside left behind.
    laterDeletions.Finish();
    ReportLeftovers(laterDeletions.TakeFailures());
  }

 private:
  void RunPass(bool firstPass) {
    settings.Table.ForEach(
        [&](const std::string& destination, const std::vector<std::string>& entrySources) {
          if (StopRequested()) return;
          if (!firstPass) WaitBeforeReplacement();
          if (StopRequested()) return;
          ReplaceDrawn(destination, entrySources);
        });
  }

  void WaitBeforeReplacement() {
    uint32_t count = settings.Table.GetCount();
    uint32_t wait = static_cast<uint32_t>(settings.Interval) / count;
    PrintFormatted("Waiting Interval %dsec(%d/%d).\n", static_cast<int>(wait / 1000),
                   static_cast<int>(settings.Interval), static_cast<int>(count));
    // Deleting what the last replacement set aside takes from the wait, not
    // from the next replacement: the moment it is due stays the same.
    laterDeletions.Finish();
    ReportLeftovers(laterDeletions.TakeFailures());
    WaitMilliseconds(schedule.WaitBeforeNext(wait, MonotonicMilliseconds()));
  }

  void ReplaceDrawn(const std::string& name, const std::vector<std::string>& candidates) {
    std::string sourceName = DrawSourceName(candidates);
    std::string destination =
        ResolvePath(name, settings.DestinationPath, settings.ProgramDirectory);
    std::string source = ResolvePath(sourceName, settings.SourcePath, settings.ProgramDirectory);
    char time[9];
    CurrentTimeText(time);
    PrintFormatted("%s, Replacing %s to %s", time, source.c_str(), destination.c_str());
    ReplaceOutcome outcome = ReplaceEntry(source, destination);
    if (!outcome.discard.empty()) laterDeletions.Add(outcome.discard);
    Print(outcome.done ? " -> Done.\n" : " -> Failed.\n");
    ReportLeftovers(laterDeletions.TakeFailures());
    if (outcome.originalNotKept) {
      std::fflush(stdout);
      std::fprintf(stderr, "kelvo: cannot keep the original as %s.orig: %s\n", destination.c_str(),
                   ReasonText(outcome.originalResult).c_str());
    }
    if (!outcome.done) {
      // A copy cut short by a stop request is no failure of the run's.
      if (outcome.result.status != StepStatus::Stopped) ++failures;
      ReportFailure(outcome);
    }
  }

  ReplaceOutcome ReplaceEntry(const std::string& source, const std::string& destination) {
    ReplaceOutcome outcome;
    if (sources.Contains(destination)) {
      // A destination that is a listed source is never overwritten; it
      // already holds the drawn content when it is that very source.
      outcome.done = sources.SameEntry(source, destination);
      outcome.action = "replace";
      outcome.path = destination;
      outcome.reason = "a file the script names as a source";
      return outcome;
    }
    Replacement replacement;
    replacement.source = source;
    replacement.destination = destination;
    PathParts parts = SplitPath(destination);
    replacement.folder = parts.drive + parts.directory;
    replacement.companion = CompanionPath(destination);
    // The old content is not kept where the companion is a source or the
    // destination itself (a destination named "x.tmp").
    if (sources.SameEntry(replacement.companion, destination) ||
        sources.Contains(replacement.companion)) {
      replacement.companion.clear();
    }
    // The first content is kept once for good, beside the destination; never
    // under a name the script uses for something else.
    replacement.original = destination + ".orig";
    if (sources.Contains(replacement.original) || destinations.Contains(replacement.original)) {
      replacement.original.clear();
    }
    return replacer.Replace(replacement);
  }

  const RunSettings& settings;
  EntrySet sources;
  std::vector<std::string> destinationNames;
  EntrySet destinations;
  Replacer replacer;
  // Declared last, so that it ends first: its helper deletes what is
  // still waiting before the rest of the cycle goes.
  ReplacementSchedule schedule;
  LaterDeletions laterDeletions;
};

}  // namespace

std::string ResolvePath(const std::string& name, const std::string& base,
                        const std::string& programDirectory) {
  if (IsAbsolutePath(name)) return name;
  return (base.empty() ? programDirectory : base) + name;
}

std::string ReasonText(const StepResult& result) {
  switch (result.status) {
    case StepStatus::WrongKind:
      return "not a regular file";
    case StepStatus::Stopped:
      return "stopped by request";
    default:
      return ErrorText(result.error);
  }
}

std::string DrawSourceName(const std::vector<std::string>& candidates) {
  if (candidates.empty()) return std::string();
  return candidates[g_random.RandomIndex(static_cast<int>(candidates.size()))];
}

std::string CompanionPath(const std::string& destination) {
  std::string companion = destination;
  ReplaceExtension(companion, ".tmp");
  return companion;
}

unsigned RunCycle(const RunSettings& settings) {
  Cycle cycle(settings);
  cycle.Run();
  return cycle.failures;
}
