// The replacement cycle: pass after pass, every destination gets a source
// drawn at random from its list. A replacement copies the source beside the
// destination first, so no failure or kill leaves the destination half
// written or its old content lost, and never touches a file named as a source.
#include "engine/cycle.h"

#include <cstdio>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/console.h"
#include "engine/entry_set.h"
#include "engine/helper_folders.h"
#include "engine/later_deletions.h"
#include "engine/replace.h"
#include "engine/schedule.h"
#include "engine/sweep.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "random/mersenne_twister.h"

namespace {

// a followed by b, made in one allocation: a + b copies a and then grows
// the copy for b.
std::string Joined(const std::string& a, const std::string& b) {
  std::string joined;
  joined.reserve(a.size() + b.size());
  joined.append(a).append(b);
  return joined;
}

// Every source name of the script once, resolved; sourceLists gets, for
// each destination in the table's visiting order, where its sources stand
// among them.
std::vector<std::string> DistinctSources(const RunSettings& settings,
                                         std::vector<std::vector<uint32_t>>& sourceLists) {
  std::unordered_map<std::string, uint32_t> indexes;
  std::vector<std::string> resolved;
  sourceLists.reserve(settings.Table.GetCount());
  settings.Table.ForEach([&](const std::string&, const std::vector<std::string>& names) {
    std::vector<uint32_t> list;
    list.reserve(names.size());
    for (const std::string& name : names) {
      auto known = indexes.find(name);
      if (known == indexes.end()) {
        known = indexes.emplace(name, static_cast<uint32_t>(resolved.size())).first;
        resolved.push_back(ResolvePath(name, settings.SourcePath, settings.ProgramDirectory));
      }
      list.push_back(known->second);
    }
    sourceLists.push_back(std::move(list));
  });
  return resolved;
}

// The resolved name of every destination, in the order the passes visit them.
std::vector<std::string> ResolvedDestinations(const RunSettings& settings) {
  std::vector<std::string> resolved;
  resolved.reserve(settings.Table.GetCount());
  settings.Table.ForEach([&](const std::string& destination, const std::vector<std::string>&) {
    resolved.push_back(
        ResolvePath(destination, settings.DestinationPath, settings.ProgramDirectory));
  });
  return resolved;
}

// With why, where the delete's answer is known.
void ReportLeftover(const std::string& path, const StepResult* why = nullptr) {
  if (why == nullptr) {
    std::fprintf(stderr, "kelvo: cannot delete %s, a file kelvo made\n", path.c_str());
  } else {
    std::fprintf(stderr, "kelvo: cannot delete %s, a file kelvo made: %s\n", path.c_str(),
                 ReasonText(*why).c_str());
  }
}

void ReportLeftovers(const std::vector<Leftover>& leftovers) {
  if (leftovers.empty()) return;
  std::fflush(stdout);
  for (const Leftover& leftover : leftovers) ReportLeftover(leftover.path, &leftover.result);
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
  for (const std::string& destination : destinations) folders.insert(FolderOf(destination));
  return std::vector<std::string>(folders.begin(), folders.end());
}

// One destination of the script, with what each of its replacements needs
// worked out once for the run: resolved names, the companion and the
// original, and their looks into the sets of sources and destinations.
struct Target {
  std::vector<uint32_t> sources;  // the run's resolved sources, in the script's order
  // All but the source, which each draw sets; the companion and the
  // original are taken out for a replacement that must not make them.
  Replacement replacement;
  EntrySet::Probe destinationAsSource;
  EntrySet::Probe companionAsSource;
  EntrySet::Probe originalAsSource;
  EntrySet::Probe originalAsDestination;
  // Only these names' meaning can change while the run goes on (short names
  // on Windows); every other answer here is one of text.
  bool companionReadsFolder = false;
  bool companionIsDestination = false;
};

class Cycle {
 public:
  explicit Cycle(const RunSettings& runSettings)
      : settings(runSettings),
        resolvedSources(DistinctSources(runSettings, sourceLists)),
        sources(resolvedSources),
        destinationNames(ResolvedDestinations(runSettings)),
        destinations(destinationNames) {
    targets.reserve(destinationNames.size());
    for (std::vector<uint32_t>& list : sourceLists) AddTarget(std::move(list));
    sourceLists = {};
  }

  unsigned failures = 0;  // replacements that failed

  void Run() {
    Print("Starting Loop.\n");
    // What killed runs left beside the destinations goes first.
    SweepSteps sweep;
    sweep.isListed = [this](const std::string& path) {
      return sources.Contains(path) || destinations.Contains(path);
    };
    ReportLeftovers(SweepLeftovers(DestinationFolders(destinationNames), sweep));
    bool firstPass = true;
    for (;;) {
      RunPass(firstPass);
      firstPass = false;
      if (settings.OneShot || StopRequested()) break;
      // Nothing to replace: idle for an interval instead of spinning.
      if (targets.empty()) WaitMilliseconds(static_cast<uint32_t>(settings.Interval));
      if (StopRequested()) break;
    }
    // The run ends with nothing set aside left behind.
    laterDeletions.Finish();
    ReportLeftovers(laterDeletions.TakeFailures());
    helperFolders.ReleaseAll();
  }

 private:
  // The targets follow the table's visiting order, as destinationNames does.
  void AddTarget(std::vector<uint32_t> sourceList) {
    Target target;
    target.sources = std::move(sourceList);
    const std::string& destination = destinationNames[targets.size()];
    Replacement& replacement = target.replacement;
    replacement.destination = destination;
    PathCut cut = CutPath(destination);
    const std::string& folder = replacement.folder = destination.substr(0, cut.directoryEnd);
    std::string name = destination.substr(cut.directoryEnd);
    std::string companionName =
        destination.substr(cut.directoryEnd, cut.nameEnd - cut.directoryEnd);
    companionName += ".tmp";
    std::string originalName = name + ".orig";
    replacement.companion = Joined(folder, companionName);
    // The first content is kept once for good, beside the destination; never
    // under a name the script uses for something else.
    replacement.original = Joined(folder, originalName);
    target.destinationAsSource = sources.Prepare(folder, name);
    target.companionAsSource = sources.Prepare(folder, companionName);
    target.originalAsSource = sources.Prepare(folder, originalName);
    target.originalAsDestination = destinations.Prepare(folder, originalName);
    target.companionReadsFolder = EntryNameReadsFolder(name) || EntryNameReadsFolder(companionName);
    target.companionIsDestination = sources.SameEntryIn(folder, companionName, name);
    targets.push_back(std::move(target));
  }

  void RunPass(bool firstPass) {
    for (Target& target : targets) {
      if (StopRequested()) return;
      if (!firstPass) WaitBeforeReplacement();
      if (StopRequested()) return;
      ReplaceDrawn(target);
    }
  }

  void WaitBeforeReplacement() {
    uint32_t count = static_cast<uint32_t>(targets.size());
    uint32_t wait = static_cast<uint32_t>(settings.Interval) / count;
    PrintFormatted("Waiting Interval %dsec(%d/%d).\n", static_cast<int>(wait / 1000),
                   static_cast<int>(settings.Interval), static_cast<int>(count));
    // Deleting what the last replacement set aside takes from the wait, not
    // from the next replacement: the moment it is due stays the same.
    laterDeletions.Finish();
    ReportLeftovers(laterDeletions.TakeFailures());
    WaitMilliseconds(schedule.WaitBeforeNext(wait, MonotonicMilliseconds()));
  }

  void ReplaceDrawn(Target& target) {
    const std::string& source = resolvedSources[target.sources[DrawIndex(target.sources.size())]];
    const std::string& destination = target.replacement.destination;
    char time[9];
    CurrentTimeText(time);
    PrintFormatted("%s, Replacing %s to %s", time, source.c_str(), destination.c_str());
    ReplaceOutcome outcome = ReplaceEntry(target, source);
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

  ReplaceOutcome ReplaceEntry(Target& target, const std::string& source) {
    Replacement& replacement = target.replacement;
    const std::string& destination = replacement.destination;
    ReplaceOutcome outcome;
    if (sources.Contains(target.destinationAsSource)) {
      // A destination that is a listed source is never overwritten; it
      // already holds the drawn content when it is that very source.
      outcome.done = sources.SameEntry(source, destination);
      outcome.action = "replace";
      outcome.path = destination;
      outcome.reason = "a file the script names as a source";
      return outcome;
    }
    replacement.source = source;
    // The old content is not kept where the companion is a source or the
    // destination itself (a destination named "x.tmp").
    bool companionIsDestination = target.companionReadsFolder
                                      ? sources.SameEntry(replacement.companion, destination)
                                      : target.companionIsDestination;
    bool withholdsCompanion = companionIsDestination || sources.Contains(target.companionAsSource);
    // The original is never made under a name the script lists.
    bool withholdsOriginal =
        !replacement.original.empty() && (sources.Contains(target.originalAsSource) ||
                                          destinations.Contains(target.originalAsDestination));
    std::string companion, original;
    if (withholdsCompanion) companion.swap(replacement.companion);
    if (withholdsOriginal) original.swap(replacement.original);
    const std::string& helperFolder = helperFolders.For(replacement.folder);
    if (replacement.helperFolder != helperFolder) replacement.helperFolder = helperFolder;
    outcome = replacer.Replace(replacement);
    if (!outcome.done && !helperFolder.empty()) helperFolders.GiveUp(replacement.folder);
    if (withholdsCompanion) companion.swap(replacement.companion);
    if (withholdsOriginal) original.swap(replacement.original);
    if (outcome.originalSettled) replacement.original.clear();
    return outcome;
  }

  const RunSettings& settings;
  // Where each destination's sources stand in resolvedSources, only while
  // the targets are made.
  std::vector<std::vector<uint32_t>> sourceLists;
  // Each source name of the script once, resolved.
  std::vector<std::string> resolvedSources;
  EntrySet sources;
  std::vector<std::string> destinationNames;
  EntrySet destinations;
  std::vector<Target> targets;
  Replacer replacer;
  HelperFolders helperFolders{ProcessNumber()};
  // Declared last, so that it ends first: its helper deletes what is
  // still waiting before the rest of the cycle goes.
  ReplacementSchedule schedule;
  LaterDeletions laterDeletions;
};

}  // namespace

std::string ResolvePath(const std::string& name, const std::string& base,
                        const std::string& programDirectory) {
  if (IsAbsolutePath(name)) return name;
  return Joined(base.empty() ? programDirectory : base, name);
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

size_t DrawIndex(size_t count) {
  return static_cast<size_t>(g_random.RandomIndex(static_cast<int>(count)));
}

std::string DrawSourceName(const std::vector<std::string>& candidates) {
  if (candidates.empty()) return std::string();
  return candidates[DrawIndex(candidates.size())];
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
