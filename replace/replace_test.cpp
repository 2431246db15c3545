// Tests of the replacement sequence against a fake file system: every step
// fails in turn, then every pair of steps (a failed step and a failed undo),
// and the run is cut off after every step as a kill would, on file systems
// with and without anonymous files, name exchange and second names.
#include "replace/replace.h"

#include <gtest/gtest.h>

#include "testing/fake_file_system.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const int kIoError = FakeFileSystem::kIoError;

struct Scenario {
  const char* name;
  FakeFileSystem::Features features;
  bool destinationExists;
  bool companionExists;
  bool keepsOld;      // the replacement has a companion
  bool originalKept;  // an original was kept by an earlier replacement
};

FakeFileSystem::Features With(bool anonymous, bool exchange, bool secondNames, bool renameToFree) {
  FakeFileSystem::Features features;
  features.anonymous = anonymous;
  features.exchange = exchange;
  features.secondNames = secondNames;
  features.renameToFree = renameToFree;
  return features;
}

const Scenario kScenarios[] = {
    {"linux", With(true, true, true, true), true, true, true, true},
    {"linux, first replacement", With(true, true, true, true), true, false, true, false},
    {"linux, new destination", With(true, true, true, true), false, false, true, false},
    {"linux, companion not kept", With(true, true, true, true), true, true, false, true},
    {"no anonymous files", With(false, true, true, true), true, true, true, false},
    {"windows", With(false, false, true, false), true, true, true, true},
    {"windows, first replacement", With(false, false, true, false), true, false, true, false},
    {"windows, new destination", With(false, false, true, false), false, true, true, false},
    {"windows, companion not kept", With(false, false, true, false), true, true, false, false},
    {"no second names", With(false, false, false, false), true, true, true, false},
};

bool Reported(const ReplaceOutcome& outcome, const std::string& helper) {
  return std::find(outcome.leftovers.begin(), outcome.leftovers.end(), helper) !=
         outcome.leftovers.end();
}

const char kOriginal[] = "first content";

const char kOld[] = "old destination";
const char kPrevious[] = "previous companion";
const char kNew[] = "new content";

// The replacement of stem + ".ogg" in the folder by the source, with the
// companion and the original beside it.
Replacement ReplacementOf(const std::string& source, const std::string& stem,
                          const std::string& folder) {
  Replacement replacement;
  replacement.source = source;
  replacement.destination = stem + ".ogg";
  replacement.companion = stem + ".tmp";
  replacement.folder = folder;
  replacement.original = stem + ".ogg.orig";
  return replacement;
}

// A disk with the scenario's files; the run's result is checked against it.
class DiskRun {
 public:
  explicit DiskRun(const Scenario& setUp) : scenario(setUp), disk(setUp.features) {
    disk.Put("pool/src", kNew);
    if (setUp.destinationExists) disk.Put("d/title.ogg", kOld);
    if (setUp.companionExists) disk.Put("d/title.tmp", kPrevious);
    if (setUp.originalKept) disk.Put("d/title.ogg.orig", kOriginal);
  }

  ReplaceOutcome Replace() {
    Replacer replacer(disk, 0x4d2);
    Replacement replacement = ReplacementOf("pool/src", "d/title", "d/");
    if (!scenario.keepsOld) replacement.companion = "";
    return replacer.Replace(replacement);
  }

  // The original is never overwritten, and when made holds the old content.
  void ExpectOriginal(bool done, const std::string& when) const {
    SCOPED_TRACE(std::string(scenario.name) + ", " + when);
    if (scenario.originalKept) {
      EXPECT_EQ(disk.Content("d/title.ogg.orig"), kOriginal);
    } else if (disk.Has("d/title.ogg.orig")) {
      EXPECT_TRUE(scenario.destinationExists);
      EXPECT_EQ(disk.Content("d/title.ogg.orig"), kOld);
    } else {
      // Without second names nor a rename that spares an existing name, no
      // original can be kept safely.
      bool canKeep = scenario.features.secondNames || scenario.features.renameToFree;
      EXPECT_FALSE(done && scenario.destinationExists && canKeep) << "the original was not kept";
    }
  }

  // What holds at every instant, finished or cut off.
  void ExpectInvariants(const std::string& when) const {
    SCOPED_TRACE(std::string(scenario.name) + ", " + when);
    EXPECT_EQ(disk.Content("pool/src"), kNew);
    bool replaced = disk.Has("d/title.ogg") && disk.Content("d/title.ogg") == kNew;
    if (scenario.destinationExists) {
      ASSERT_TRUE(disk.Has("d/title.ogg"));
      EXPECT_TRUE(replaced || disk.Content("d/title.ogg") == kOld);
    }
    bool companionAsBefore = scenario.companionExists ? disk.Has("d/title.tmp") &&
                                                            disk.Content("d/title.tmp") == kPrevious
                                                      : !disk.Has("d/title.tmp");
    // The previous companion goes only once the new content is in place.
    if (!companionAsBefore) {
      EXPECT_TRUE(replaced);
    }
    if (scenario.destinationExists && scenario.keepsOld) {
      bool oldReachable = disk.Content("d/title.ogg") == kOld ||
                          (disk.Has("d/title.tmp") && disk.Content("d/title.tmp") == kOld);
      bool oldNamed = oldReachable ||
                      (disk.Has("d/title.ogg.orig") && disk.Content("d/title.ogg.orig") == kOld);
      for (const std::string& helper : disk.HelperNames()) {
        // Only ".old" names, never swept, may hold the only copy of the old
        // content; a ".new" may hold a copy of it that is not the only one.
        if (disk.Content(helper) == kOld) {
          EXPECT_TRUE(helper.find(".old") != std::string::npos || oldNamed) << helper;
          oldReachable = true;
        }
      }
      EXPECT_TRUE(oldReachable);
    }
    for (const std::string& helper : disk.HelperNames()) {
      EXPECT_EQ(helper.rfind("d/.kelvo-4d2-", 0), 0u) << "helper outside the folder: " << helper;
    }
  }

  // What holds once the sequence has returned.
  void ExpectOutcome(const ReplaceOutcome& outcome, const std::string& when) const {
    SCOPED_TRACE(std::string(scenario.name) + ", " + when);
    std::vector<std::string> helpers = disk.HelperNames();
    if (outcome.done) {
      EXPECT_EQ(disk.Content("d/title.ogg"), kNew);
      if (scenario.destinationExists && scenario.keepsOld) {
        EXPECT_EQ(disk.Content("d/title.tmp"), kOld);
      }
      // Only a helper that a failed delete could not take away is left, and
      // the previous companion set aside for the caller to delete.
      for (const std::string& helper : helpers) {
        EXPECT_TRUE(Reported(outcome, helper) || helper == outcome.discard) << helper;
      }
      return;
    }
    EXPECT_EQ(outcome.discard, "") << "a failed replacement sets nothing aside";
    EXPECT_NE(std::string(outcome.action), "");
    if (!outcome.kept.empty()) {
      // An undo failed: the old content is under the name reported.
      ASSERT_TRUE(disk.Has(outcome.kept));
      EXPECT_EQ(disk.Content(outcome.kept), kOld);
      return;
    }
    if (scenario.destinationExists) {
      EXPECT_EQ(disk.Content("d/title.ogg"), kOld);
    } else {
      EXPECT_FALSE(disk.Has("d/title.ogg"));
    }
    if (scenario.companionExists) {
      EXPECT_EQ(disk.Content("d/title.tmp"), kPrevious);
    } else {
      EXPECT_FALSE(disk.Has("d/title.tmp"));
    }
    for (const std::string& helper : helpers) {
      EXPECT_TRUE(Reported(outcome, helper)) << "helper left behind unreported: " << helper;
    }
  }

  // What the caller does with the name set aside, later: it holds the
  // previous companion, or is a spare name of what the companion holds.
  void DeleteSetAside(const ReplaceOutcome& outcome, const std::string& when) {
    SCOPED_TRACE(std::string(scenario.name) + ", " + when + ", set aside");
    if (outcome.discard.empty()) return;
    EXPECT_NE(outcome.discard.find(".del"), std::string::npos) << outcome.discard;
    if (disk.Has(outcome.discard)) {
      std::string content = disk.Content(outcome.discard);
      EXPECT_NE(content, kNew);
      if (content == kOld) {
        EXPECT_EQ(disk.Content("d/title.tmp"), kOld);
      }
      disk.Delete(outcome.discard);
    }
    ExpectInvariants("after deleting what was set aside");
    ExpectOutcome(outcome, "after deleting what was set aside");
  }

  // What the next run's sweep does after a kill: deletes every ".new" and
  // ".del" helper.
  void Sweep(const std::string& when) {
    std::vector<Leftover> failed =
        SweepLeftovers(disk, {"d/"}, [](const std::string&) { return false; });
    EXPECT_TRUE(failed.empty());
    for (const std::string& helper : disk.HelperNames()) {
      EXPECT_NE(helper.find(".old"), std::string::npos) << "not swept: " << helper;
    }
    ExpectInvariants(when + ", swept");
  }

  const Scenario& scenario;
  FakeFileSystem disk;
};

int StepsOfAReplacement(const Scenario& scenario) {
  DiskRun run(scenario);
  ReplaceOutcome outcome = run.Replace();
  EXPECT_TRUE(outcome.done) << scenario.name;
  run.ExpectOutcome(outcome, "no fault");
  run.ExpectOriginal(outcome.done, "no fault");
  int calls = run.disk.calls;
  run.DeleteSetAside(outcome, "no fault");
  return calls;
}

TEST(ReplaceSequence, EveryStepFailingInTurnLeavesAllAsBefore) {
  for (const Scenario& scenario : kScenarios) {
    int steps = StepsOfAReplacement(scenario);
    ASSERT_GT(steps, 2) << scenario.name;
    for (int failing = 1; failing <= steps; ++failing) {
      DiskRun run(scenario);
      run.disk.Fail(failing);
      ReplaceOutcome outcome = run.Replace();
      std::string when = "step " + std::to_string(failing) + " failing";
      run.ExpectInvariants(when);
      run.ExpectOutcome(outcome, when);
      run.ExpectOriginal(outcome.done, when);
      // A failed replacement takes back the original it made.
      if (!outcome.done && !run.scenario.originalKept) {
        EXPECT_FALSE(run.disk.Has("d/title.ogg.orig")) << run.scenario.name << ", " << when;
      }
      // A failure names the user's file or folder, never a helper's
      // passing name.
      if (!outcome.done) {
        EXPECT_EQ(outcome.path.find(".kelvo-"), std::string::npos)
            << scenario.name << ", " << when << ": cannot " << outcome.action << " "
            << outcome.path;
      }
      // With one fault only, every undo works: nothing is left to report
      // but what a failed delete could not take away.
      EXPECT_TRUE(outcome.kept.empty()) << scenario.name << ", " << when;
      if (!outcome.leftovers.empty()) {
        EXPECT_EQ(run.disk.steps.at(static_cast<size_t>(failing - 1)), "Delete")
            << scenario.name << ", " << when;
      }
      run.DeleteSetAside(outcome, when);
    }
  }
}

// Where no delete works, a failed step can leave several helpers: each is
// named, none is lost from the report.
TEST(ReplaceSequence, EveryHelperThatCannotBeDeletedIsReported) {
  for (const Scenario& scenario : kScenarios) {
    int steps = StepsOfAReplacement(scenario);
    for (int failing = 1; failing <= steps; ++failing) {
      DiskRun run(scenario);
      run.disk.deletesFail = kIoError;
      run.disk.Fail(failing);
      ReplaceOutcome outcome = run.Replace();
      std::string when = "step " + std::to_string(failing) + " failing, no delete working";
      run.ExpectInvariants(when);
      if (outcome.done) continue;
      for (const std::string& helper : run.disk.HelperNames()) {
        EXPECT_TRUE(Reported(outcome, helper) || helper == outcome.kept)
            << scenario.name << ", " << when << ": " << helper;
      }
    }
  }
}

// A file system that lacks a step sends only its own destinations down the
// fallbacks: another one, replaced after it, still exchanges and still keeps
// an original.
TEST(ReplaceSequence, WhatOneFileSystemLacksDoesNotHoldForAnother) {
  FakeFileSystem disk(With(true, true, false, true));
  disk.deviceFeatures["d"] = With(false, false, false, false);
  disk.Put("pool/src", kNew);
  Replacer replacer(disk, 0x4d2);
  for (const char* folder : {"d", "e"}) {
    std::string prefix = std::string(folder) + "/";
    disk.Put(prefix + "title.ogg", kOld);
    Replacement replacement = ReplacementOf("pool/src", prefix + "title", prefix);
    disk.steps.clear();
    ReplaceOutcome outcome = replacer.Replace(replacement);
    EXPECT_TRUE(outcome.done) << folder;
    EXPECT_EQ(disk.Content(prefix + "title.ogg"), kNew) << folder;
    EXPECT_EQ(disk.Content(prefix + "title.tmp"), kOld) << folder;
  }
  // "d" has neither second names nor a rename that spares a name: no
  // original there. "e" copies one and exchanges.
  EXPECT_FALSE(disk.Has("d/title.ogg.orig"));
  EXPECT_EQ(disk.Content("e/title.ogg.orig"), kOld);
  EXPECT_NE(std::find(disk.steps.begin(), disk.steps.end(), "Exchange"), disk.steps.end());
}

TEST(ReplaceSequence, FailedUndoIsReportedAndLosesNothing) {
  for (const Scenario& scenario : kScenarios) {
    int steps = StepsOfAReplacement(scenario);
    for (int first = 1; first <= steps; ++first) {
      for (int second = first + 1; second <= steps + 3; ++second) {
        DiskRun run(scenario);
        run.disk.Fail(first);
        run.disk.Fail(second);
        ReplaceOutcome outcome = run.Replace();
        std::string when =
            "steps " + std::to_string(first) + " and " + std::to_string(second) + " failing";
        run.ExpectInvariants(when);
        run.ExpectOutcome(outcome, when);
        run.ExpectOriginal(outcome.done, when);
        run.DeleteSetAside(outcome, when);
      }
    }
  }
}

TEST(ReplaceSequence, KilledAfterAnyStepLosesNothing) {
  for (const Scenario& scenario : kScenarios) {
    int steps = StepsOfAReplacement(scenario);
    for (int cut = 0; cut <= steps; ++cut) {
      DiskRun run(scenario);
      run.disk.cutAfter = cut;
      run.Replace();
      std::string when = "killed after step " + std::to_string(cut);
      run.ExpectInvariants(when);
      run.ExpectOriginal(false, when);
      // What the kill left is swept at the next start, losing nothing.
      run.disk.cutAfter = -1;
      run.disk.EndProcess();
      run.Sweep(when);
      run.ExpectOriginal(false, when + ", swept");
    }
  }
}

// A power cut after any step: the data of every file that was written and
// not flushed is gone, so a name that points at such a file would hold a
// zero-length file.
TEST(ReplaceSequence, PowerCutAfterAnyStepLosesNothing) {
  for (const Scenario& scenario : kScenarios) {
    int steps = StepsOfAReplacement(scenario);
    for (int cut = 0; cut <= steps; ++cut) {
      DiskRun run(scenario);
      run.disk.cutAfter = cut;
      run.Replace();
      run.disk.CutPower();
      std::string when = "power cut after step " + std::to_string(cut);
      EXPECT_TRUE(run.disk.namedUnflushed.empty())
          << scenario.name << ", " << when << ": " << run.disk.namedUnflushed.front();
      run.ExpectInvariants(when);
      run.ExpectOriginal(false, when);
    }
  }
}

// A pass stages many copies, flushes them together and then puts each in
// place; a failed flush falls back to one a file, so that only the copy the
// disk refused fails.
class BatchRun {
 public:
  explicit BatchRun(const Scenario& scenario) : disk(scenario.features) {
    for (int index = 0; index < kCount; ++index) {
      std::string name = "d/dst" + std::to_string(index);
      disk.Put("pool/src" + std::to_string(index), kNew + std::to_string(index));
      disk.Put(name + ".ogg", kOld);
      replacements[index] = ReplacementOf("pool/src" + std::to_string(index), name, "d/");
    }
  }

  std::vector<ReplaceOutcome> Run() {
    Replacer replacer(disk, 0x4d2);
    StagedReplacement staged[kCount];
    std::vector<StagedReplacement*> batch;
    for (int index = 0; index < kCount; ++index) {
      replacer.Stage(replacements[index], staged[index]);
      batch.push_back(&staged[index]);
    }
    replacer.Flush(batch);
    std::vector<ReplaceOutcome> outcomes;
    for (int index = 0; index < kCount; ++index) {
      outcomes.push_back(replacer.Complete(replacements[index], staged[index]));
      if (!outcomes.back().discard.empty()) disk.Delete(outcomes.back().discard);
    }
    return outcomes;
  }

  static const int kCount = 3;
  FakeFileSystem disk;
  Replacement replacements[kCount];
};

TEST(ReplaceBatch, OneFlushForAllAndEachFailureItsOwn) {
  for (const Scenario& scenario : kScenarios) {
    if (!scenario.destinationExists) continue;
    BatchRun whole(scenario);
    std::vector<ReplaceOutcome> outcomes = whole.Run();
    EXPECT_EQ(whole.disk.flushesTogether, 1) << scenario.name;
    for (int index = 0; index < BatchRun::kCount; ++index) {
      EXPECT_TRUE(outcomes[index].done) << scenario.name;
      EXPECT_EQ(whole.disk.Content("d/dst" + std::to_string(index) + ".ogg"),
                kNew + std::to_string(index));
    }
    EXPECT_TRUE(whole.disk.namedUnflushed.empty()) << scenario.name;

    // The flush of all fails, then the second copy's own flush (the
    // first is the call after the flush of all).
    int call = 0;
    for (const std::string& step : whole.disk.steps) {
      ++call;
      if (step == "FlushTogether") break;
    }
    BatchRun faulty(scenario);
    faulty.disk.Fail(call);
    faulty.disk.Fail(call + 2);
    outcomes = faulty.Run();
    EXPECT_TRUE(outcomes[0].done) << scenario.name;
    EXPECT_FALSE(outcomes[1].done) << scenario.name;
    EXPECT_EQ(std::string(outcomes[1].action), "write a copy beside") << scenario.name;
    EXPECT_EQ(faulty.disk.Content("d/dst1.ogg"), kOld) << scenario.name;
    EXPECT_FALSE(faulty.disk.Has("d/dst1.tmp")) << scenario.name;
    EXPECT_TRUE(outcomes[2].done) << scenario.name;
    EXPECT_TRUE(faulty.disk.HelperNames().empty()) << scenario.name;
    EXPECT_TRUE(faulty.disk.namedUnflushed.empty()) << scenario.name;
  }
}

// The companion's file is freed by the caller's later delete, never by the
// replacement's renames, where the exchange puts the new content in place
// (without it, the rename frees the companion: see replace.cpp).
TEST(ReplaceSequence, PreviousCompanionIsFreedOffThePath) {
  for (const Scenario& scenario : kScenarios) {
    if (!scenario.companionExists || !scenario.keepsOld || !scenario.destinationExists) continue;
    DiskRun run(scenario);
    ReplaceOutcome outcome = run.Replace();
    ASSERT_TRUE(outcome.done) << scenario.name;
    if (!scenario.features.exchange || !scenario.features.anonymous) {
      EXPECT_EQ(outcome.discard, "") << scenario.name;
      continue;
    }
    EXPECT_EQ(run.disk.freedByRename, 0) << scenario.name;
    ASSERT_NE(outcome.discard, "") << scenario.name;
    EXPECT_EQ(run.disk.Content(outcome.discard), kPrevious) << scenario.name;
    run.DeleteSetAside(outcome, "settled");
  }
}

TEST(ReplaceSequence, PlantedNamesAreNeverTaken) {
  DiskRun run(kScenarios[0]);
  // Someone guessed the next helper names of this run: the first one taken
  // makes the run jump to names nobody can guess.
  for (int count = 1; count <= 3; ++count) {
    run.disk.Put("d/" + HelperName(0x4d2, static_cast<uint32_t>(count), ".old"), "planted");
    run.disk.Put("d/" + HelperName(0x4d2, static_cast<uint32_t>(count), ".new"), "planted");
  }
  ReplaceOutcome outcome = run.Replace();
  EXPECT_TRUE(outcome.done);
  EXPECT_EQ(run.disk.Content("d/title.ogg"), kNew);
  EXPECT_EQ(run.disk.Content("d/title.tmp"), kOld);
  EXPECT_EQ(run.disk.Content(outcome.discard), kPrevious);
  run.disk.Delete(outcome.discard);
  EXPECT_EQ(run.disk.HelperNames().size(), 6u);
  for (const std::string& helper : run.disk.HelperNames()) {
    EXPECT_EQ(run.disk.Content(helper), "planted");
  }
}

// Another run may just have made the companion a name of the same old file;
// renaming onto it then does nothing, and the helper must still go.
TEST(ReplaceSequence, CompanionThatIsAnotherNameOfTheOldFile) {
  for (const Scenario& scenario : kScenarios) {
    if (!scenario.destinationExists || !scenario.keepsOld) continue;
    DiskRun run(scenario);
    run.disk.Link("d/title.ogg", "d/title.tmp");
    ReplaceOutcome outcome = run.Replace();
    EXPECT_TRUE(outcome.done) << scenario.name;
    EXPECT_EQ(run.disk.Content("d/title.ogg"), kNew) << scenario.name;
    EXPECT_EQ(run.disk.Content("d/title.tmp"), kOld) << scenario.name;
    run.DeleteSetAside(outcome, "companion a name of the old file");
    EXPECT_TRUE(run.disk.HelperNames().empty()) << scenario.name;
  }
}

TEST(ReplaceSequence, MissingSourceChangesNothing) {
  for (const Scenario& scenario : kScenarios) {
    DiskRun run(scenario);
    Replacer replacer(run.disk, 0x4d2);
    Replacement replacement = ReplacementOf("pool/absent", "d/title", "d/");
    replacement.original = "";
    ReplaceOutcome outcome = replacer.Replace(replacement);
    EXPECT_FALSE(outcome.done);
    EXPECT_EQ(std::string(outcome.action), "read");
    EXPECT_EQ(run.disk.Has("d/title.ogg.orig"), scenario.originalKept) << scenario.name;
    EXPECT_EQ(outcome.path, "pool/absent");
    EXPECT_EQ(outcome.result.status, StepStatus::Missing);
    EXPECT_TRUE(run.disk.HelperNames().empty()) << scenario.name;
  }
}

TEST(HelperName, ShortAndDistinctPerProcessAndCount) {
  EXPECT_EQ(HelperName(0x4d2, 1, ".new"), ".kelvo-4d2-1.new");
  EXPECT_NE(HelperName(1, 12, ".old"), HelperName(11, 2, ".old"));
  EXPECT_LE(HelperName(0xffffffffu, 0xffffffffu, ".old").size(), 28u);
}

}  // namespace
