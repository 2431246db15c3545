// The replacement cycle: pass after pass, every destination gets a source
// drawn at random from its list. A replacement copies the source beside the
// destination first, so no failure or kill leaves the destination half
// written or its old content lost, and never touches a file named as a source.
#include "rotate/cycle.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>
#include <vector>

#include "log/log_service.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "random/mersenne_twister.h"
#include "replace/replace.h"
#include "rotate/plan.h"

namespace {

// How many copies a pass stages before it flushes them: many, to pay one
// flush for many files, but a small share of the files the process may
// hold open.
size_t StagedFilesAtOnce() {
  const size_t kMost = 4096;
  uint32_t limit = RaiseOpenFileLimit();
  if (limit == 0) return kMost;
  return std::max<size_t>(1, std::min<size_t>(kMost, limit / 4));
}

// With why, where the delete's answer is known.
void ReportLeftover(const std::string& path, const StepResult* why = nullptr) {
  PrintError("kelvo: cannot delete %s, a file kelvo made%s\n", AbsolutePathOf(path).c_str(),
             why == nullptr ? "" : (": " + ReasonText(*why)).c_str());
}

void ReportLeftovers(const std::vector<Leftover>& leftovers) {
  if (leftovers.empty()) return;
  std::fflush(stdout);
  for (const Leftover& leftover : leftovers) ReportLeftover(leftover.path, &leftover.result);
  std::fflush(stderr);
}

// One line on standard error for a failed replacement, naming files by the
// path the system reached them by (a relative name depends on the current
// folder); the console's own line and the log stay as they are.
void ReportFailure(const ReplaceOutcome& outcome) {
  std::fflush(stdout);
  std::string reason = outcome.reason != nullptr ? outcome.reason : ReasonText(outcome.result);
  PrintError("kelvo: cannot %s %s: %s\n", outcome.action, AbsolutePathOf(outcome.path).c_str(),
             reason.c_str());
  if (!outcome.kept.empty()) {
    PrintError("kelvo: the old content is kept as %s\n", AbsolutePathOf(outcome.kept).c_str());
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

// One destination of the script, as the passes visit it.
struct Target {
  size_t index = 0;  // in the run's plan
  // The replacement as last prepared from the plan; each draw sets its source.
  PreparedReplacement prepared;
  // The first content is kept, or its name cannot be made: no later
  // replacement keeps one.
  bool originalSettled = false;
};

// One replacement of a pass, from its staging to its report.
struct BatchStep {
  Target* target = nullptr;
  const std::string* source = nullptr;
  StagedReplacement staged;
  ReplaceOutcome outcome;
  bool placed = false;  // it got as far as putting its copy in place
  char time[9] = "";
};

// Unflushed data a pass may hold before it flushes: enough to pay one flush
// for many small files, little enough that a flush does not stall the disk.
const uint64_t kBatchBytes = 64u << 20;

class Cycle {
 public:
  Cycle(const RunSettings& runSettings, FileSystem& fileSystem)
      : settings(runSettings), fs(fileSystem), plan(runSettings, fs), replacer(fs) {
    targets.resize(plan.Destinations().size());
    for (size_t index = 0; index < targets.size(); ++index) targets[index].index = index;
    sourceIsLink.reserve(plan.Sources().size());
    for (const std::string& source : plan.Sources()) {
      EntryInfo entry;
      sourceIsLink.push_back(fs.ReadEntry(source, entry).Ok() && entry.kind == FileKind::Link);
    }
    batchFiles = StagedFilesAtOnce();
  }

  unsigned failures = 0;             // replacements that failed
  bool* replacementTried = nullptr;  // set at the first replacement, when given

  void Run() {
    Print("Starting Loop.\n");
    // What killed runs left beside the destinations goes first.
    ReportLeftovers(SweepLeftovers(fs, DestinationFolders(plan.Destinations()), [this](auto& path) {
      return plan.SourceSet().Contains(path) || plan.DestinationSet().Contains(path);
    }));
    for (bool firstPass = true;; firstPass = false) {
      RunPass(firstPass);
      if (settings.OneShot || StopRequested()) break;
      // Nothing to replace: idle for an interval instead of spinning.
      if (targets.empty()) WaitMilliseconds(static_cast<uint32_t>(settings.Interval));
      if (StopRequested()) break;
    }
  }

 private:
  // The first pass stages its copies in batches; a later one makes one
  // replacement per wait, each made durable on its own.
  void RunPass(bool firstPass) {
    for (Target& target : targets) {
      if (StopRequested()) break;
      if (!firstPass) {
        WaitBeforeReplacement();
        if (StopRequested()) break;
      }
      StageDrawn(target);
      if (!firstPass) FinishBatch();
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
    if (replacementTried != nullptr) *replacementTried = true;
    const std::vector<uint32_t>& candidates = plan.CandidatesOf(target.index);
    uint32_t sourceIndex = candidates[DrawIndex(candidates.size())];
    if (!batch.empty() &&
        (batch.size() >= batchFiles || batchBytes >= kBatchBytes || sourceIsLink[sourceIndex])) {
      FinishBatch();
    }
    batch.emplace_back();
    BatchStep& step = batch.back();
    step.target = &target;
    step.source = &plan.Sources()[sourceIndex];
    const DestinationPlan destinationPlan = plan.Plan(target.index);
    // Replaced before (by an earlier run): its first content is gone for good.
    if (destinationPlan.replacedBefore) target.originalSettled = true;
    PrepareReplacement(destinationPlan, target.originalSettled, target.prepared);
    Replacement& replacement = target.prepared.replacement;
    if (target.prepared.leftAsSource) {
      // A destination that is a listed source is never overwritten; it
      // already holds the drawn content when it is that very source, if it
      // exists: kelvo never makes it.
      ReplaceOutcome& outcome = step.staged.failure;
      outcome.action = "replace";
      outcome.path = replacement.destination;
      outcome.reason = "a file the script names as a source";
      if (plan.DrawsItself(target.index, *step.source)) {
        EntryInfo entry;
        StepResult read = fs.ReadEntry(replacement.destination, entry);
        outcome.done = read.Ok() && entry.kind != FileKind::Missing;
        if (!read.Ok()) {
          outcome.result = read;
          outcome.reason = nullptr;  // the system's answer says why
        } else if (!outcome.done) {
          outcome.reason = "it is missing, and it is its own source";
        }
      }
      return;
    }
    replacement.source = *step.source;
    if (replacer.Stage(replacement, step.staged)) batchBytes += step.staged.file.bytes;
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
      const std::string& folder = step.target->prepared.replacement.folder;
      if (step.placed &&
          std::find(changedFolders.begin(), changedFolders.end(), folder) == changedFolders.end()) {
        changedFolders.push_back(folder);
      }
    }
    for (const std::string& folder : changedFolders) FlushChangedFolder(folder);
    for (const BatchStep& step : batch) Report(step);
    for (const BatchStep& step : batch) {
      if (step.outcome.discard.empty()) continue;
      StepResult deleted = fs.Delete(step.outcome.discard);
      if (!deleted.Ok() && deleted.status != StepStatus::Missing) {
        ReportLeftovers({{step.outcome.discard, deleted}});
      }
    }
    batch.clear();
    batchBytes = 0;
  }

  void Complete(BatchStep& step) {
    Target& target = *step.target;
    const Replacement& replacement = target.prepared.replacement;
    step.placed = step.staged.ok;
    if (!step.placed) {
      step.outcome = std::move(step.staged.failure);
    } else {
      // Where the replacement would have kept the original, the plan's
      // refusal of its name is said instead, once.
      bool keepsOriginal = step.staged.flushed.Ok() && step.staged.exists;
      step.outcome = replacer.Complete(replacement, step.staged);
      if (keepsOriginal && target.prepared.originalRefused) {
        step.outcome.originalNotKept = true;
        step.outcome.originalResult = target.prepared.originalRefusal;
        step.outcome.originalSettled = true;
      }
      if (step.outcome.originalSettled) target.originalSettled = true;
    }
    CurrentTimeText(step.time);
  }

  void FlushChangedFolder(const std::string& folder) {
    StepResult result = fs.FlushFolder(folder);
    if (result.Ok()) return;
    // The replacements are made, but may not outlast a power cut.
    ++failures;
    std::fflush(stdout);
    PrintError("kelvo: cannot flush the folder %s: %s\n",
               AbsolutePathOf(folder.empty() ? "." : folder).c_str(), ReasonText(result).c_str());
    std::fflush(stderr);
  }

  void Report(const BatchStep& step) {
    const ReplaceOutcome& outcome = step.outcome;
    const std::string& destination = step.target->prepared.replacement.destination;
    // Two records, as the log has always had them.
    PrintFormatted("%s, Replacing %s to %s", step.time, step.source->c_str(), destination.c_str());
    Print(outcome.done ? " -> Done.\n" : " -> Failed.\n");
    if (outcome.originalNotKept) {
      std::fflush(stdout);
      PrintError("kelvo: cannot keep the original as %s.orig: %s\n",
                 AbsolutePathOf(destination).c_str(), ReasonText(outcome.originalResult).c_str());
    }
    if (!outcome.done) {
      // A copy cut short by a stop request is no failure of the run's.
      if (outcome.result.status != StepStatus::Stopped) ++failures;
      ReportFailure(outcome);
    }
  }

  const RunSettings& settings;
  FileSystem& fs;
  RunPlan plan;
  std::vector<Target> targets;  // in visiting order, as the plan's destinations
  Replacer replacer;
  ReplacementSchedule schedule;
  // Whether each of the plan's sources is a symbolic link, as the run found it
  // at its start.
  std::vector<bool> sourceIsLink;
  // The replacements staged and not yet finished, in visiting order.
  std::vector<BatchStep> batch;
  uint64_t batchBytes = 0;  // what the staged copies hold
  size_t batchFiles = 1;    // how many copies may be staged at once
};

}  // namespace

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

void PrepareReplacement(const DestinationPlan& plan, bool originalSettled,
                        PreparedReplacement& prepared) {
  prepared.leftAsSource = plan.isSource;
  Replacement& replacement = prepared.replacement;
  if (replacement.destination != plan.destination) replacement.destination = plan.destination;
  if (replacement.folder != plan.folder) replacement.folder = plan.folder;
  replacement.companion = plan.KeepsCompanion() ? plan.companion : std::string();
  replacement.original = !originalSettled && plan.KeepsOriginal() ? plan.original : std::string();
  prepared.originalRefused = !originalSettled && plan.originalPlan == OriginalPlan::NameRefused;
  prepared.originalRefusal = plan.originalRefusal;
}

unsigned RunCycle(const RunSettings& settings, FileSystem& fs, bool* replacementTried) {
  Cycle cycle(settings, fs);
  cycle.replacementTried = replacementTried;
  cycle.Run();
  return cycle.failures;
}
