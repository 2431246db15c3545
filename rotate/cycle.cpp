// The replacement cycle: pass after pass, every destination gets a source
// drawn at random from its list. A replacement copies the source beside the
// destination first, so no failure or kill leaves the destination half
// written or its old content lost, and never touches a file named as a source.
#include "rotate/cycle.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log/console.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "random/mersenne_twister.h"
#include "replace/replace.h"
#include "replace/sweep.h"
#include "rotate/entry_set.h"
#include "rotate/schedule.h"

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

// How many copies a pass stages before it flushes them: many, to pay one
// flush for many files, but a small share of the files the process may
// hold open.
size_t StagedFilesAtOnce() {
  const size_t kMost = 1024;
  uint32_t limit = OpenFileLimit();
  if (limit == 0) return kMost;
  return std::max<size_t>(1, std::min<size_t>(kMost, limit / 4));
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
  for (const std::string& leftover : outcome.leftovers) ReportLeftover(leftover);
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
// original.
struct Target {
  std::vector<uint32_t> sources;  // the run's resolved sources, in the script's order
  // All but the source, which each draw sets; the companion and the
  // original are taken out for a replacement that must not make them.
  Replacement replacement;
};

// One replacement of a pass, from its staging to its report.
struct BatchStep {
  Target* target = nullptr;
  const std::string* source = nullptr;
  StagedReplacement staged;
  ReplaceOutcome outcome;
  bool placed = false;  // it got as far as putting its copy in place
  // Names taken out of the replacement while it goes on.
  bool withholdsCompanion = false;
  bool withholdsOriginal = false;
  std::string companion;
  std::string original;
  char time[9] = "";
};

// Unflushed data a pass may hold before it flushes: enough to pay one flush
// for many small files, little enough that a flush does not stall the disk.
const uint64_t kBatchBytes = 64u << 20;

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
    sourceIsLink.reserve(resolvedSources.size());
    for (const std::string& source : resolvedSources) {
      EntryInfo entry;
      sourceIsLink.push_back(ReadEntry(source, entry).Ok() && entry.kind == FileKind::Link);
    }
    batchFiles = StagedFilesAtOnce();
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
    targets.push_back(std::move(target));
  }

  void RunPass(bool firstPass) {
    if (!firstPass) {
      // One replacement per wait: each is made durable on its own.
      for (Target& target : targets) {
        if (StopRequested()) return;
        WaitBeforeReplacement();
        if (StopRequested()) return;
        StageDrawn(target);
        FinishBatch();
      }
      return;
    }
    for (Target& target : targets) {
      if (StopRequested()) break;
      StageDrawn(target);
    }
    // A replacement under way when a stop came is completed.
    FinishBatch();
  }

  void WaitBeforeReplacement() {
    uint32_t count = static_cast<uint32_t>(targets.size());
    uint32_t wait = static_cast<uint32_t>(settings.Interval) / count;
    PrintFormatted("Waiting Interval %dsec(%d/%d).\n", static_cast<int>(wait / 1000),
                   static_cast<int>(settings.Interval), static_cast<int>(count));
    WaitMilliseconds(schedule.WaitBeforeNext(wait, MonotonicMilliseconds()));
  }

  // Draws the target's source and stages its copy in the batch. A batch
  // that is full is finished first, and so is one that may write what the
  // drawn source leads to: a listed name is never written when it is a
  // source, but a link may lead to a destination or a companion. So every
  // copy reads what a pass made one replacement after another would read.
  void StageDrawn(Target& target) {
    uint32_t sourceIndex = target.sources[DrawIndex(target.sources.size())];
    if (!batch.empty() &&
        (batch.size() >= batchFiles || batchBytes >= kBatchBytes || sourceIsLink[sourceIndex])) {
      FinishBatch();
    }
    batch.emplace_back();
    BatchStep& step = batch.back();
    step.target = &target;
    step.source = &resolvedSources[sourceIndex];
    Replacement& replacement = target.replacement;
    if (sources.Contains(replacement.destination)) {
      // A destination that is a listed source is never overwritten; it
      // already holds the drawn content when it is that very source.
      ReplaceOutcome& outcome = step.staged.failure;
      outcome.done = sources.SameEntry(*step.source, replacement.destination);
      outcome.action = "replace";
      outcome.path = replacement.destination;
      outcome.reason = "a file the script names as a source";
      return;
    }
    replacement.source = *step.source;
    WithholdNames(step);
    if (replacer.Stage(replacement, step.staged)) batchBytes += step.staged.file.bytes;
  }

  // The old content is not kept where the companion is a source or the
  // destination itself (a destination named "x.tmp"), and the original is
  // never made under a name the script lists: such names are taken out of
  // the replacement until it is over.
  void WithholdNames(BatchStep& step) {
    Replacement& replacement = step.target->replacement;
    step.withholdsCompanion = sources.SameEntry(replacement.companion, replacement.destination) ||
                              sources.Contains(replacement.companion);
    step.withholdsOriginal =
        !replacement.original.empty() &&
        (sources.Contains(replacement.original) || destinations.Contains(replacement.original));
    if (step.withholdsCompanion) step.companion.swap(replacement.companion);
    if (step.withholdsOriginal) step.original.swap(replacement.original);
  }

  void RestoreNames(BatchStep& step) {
    Replacement& replacement = step.target->replacement;
    if (step.withholdsCompanion) step.companion.swap(replacement.companion);
    if (step.withholdsOriginal) step.original.swap(replacement.original);
  }

  // Makes the batch's copies durable with one flush, puts each in place,
  // flushes the folders whose names changed, and only then says Done for
  // each: a Done stays true after a power cut. The previous companions set
  // aside go last, off the replacements' path.
  void FinishBatch() {
    std::vector<StagedReplacement*> staged;
    for (BatchStep& step : batch) staged.push_back(&step.staged);
    replacer.Flush(staged);
    std::vector<std::string> changedFolders;
    for (BatchStep& step : batch) {
      Complete(step);
      const std::string& folder = step.target->replacement.folder;
      if (step.placed &&
          std::find(changedFolders.begin(), changedFolders.end(), folder) == changedFolders.end()) {
        changedFolders.push_back(folder);
      }
    }
    for (const std::string& folder : changedFolders) FlushChangedFolder(folder);
    for (const BatchStep& step : batch) Report(step);
    for (const BatchStep& step : batch) {
      if (step.outcome.discard.empty()) continue;
      StepResult deleted = DeleteName(step.outcome.discard);
      if (!deleted.Ok() && deleted.status != StepStatus::Missing) {
        ReportLeftovers({{step.outcome.discard, deleted}});
      }
    }
    batch.clear();
    batchBytes = 0;
  }

  void Complete(BatchStep& step) {
    Replacement& replacement = step.target->replacement;
    step.placed = step.staged.ok;
    if (!step.placed) {
      step.outcome = std::move(step.staged.failure);
    } else {
      step.outcome = replacer.Complete(replacement, step.staged);
      RestoreNames(step);
      if (step.outcome.originalSettled) replacement.original.clear();
    }
    CurrentTimeText(step.time);
  }

  void FlushChangedFolder(const std::string& folder) {
    StepResult result = FlushFolder(folder);
    if (result.Ok()) return;
    // The replacements are made, but may not outlast a power cut.
    ++failures;
    std::fflush(stdout);
    std::fprintf(stderr, "kelvo: cannot flush the folder %s: %s\n",
                 folder.empty() ? "." : folder.c_str(), ReasonText(result).c_str());
    std::fflush(stderr);
  }

  void Report(const BatchStep& step) {
    const ReplaceOutcome& outcome = step.outcome;
    const std::string& destination = step.target->replacement.destination;
    // Two records, as the log has always had them.
    PrintFormatted("%s, Replacing %s to %s", step.time, step.source->c_str(), destination.c_str());
    Print(outcome.done ? " -> Done.\n" : " -> Failed.\n");
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
  ReplacementSchedule schedule;
  // Whether each of resolvedSources is a symbolic link, as the run found it
  // at its start.
  std::vector<bool> sourceIsLink;
  // The replacements staged and not yet finished, in visiting order.
  std::vector<BatchStep> batch;
  uint64_t batchBytes = 0;  // what the staged copies hold
  size_t batchFiles = 1;    // how many copies may be staged at once
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
