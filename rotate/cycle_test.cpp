// Tests of the replacement cycle's rules on a fake disk: listed sources are
// never written, companions and originals are kept where the plan allows, a
// link among the sources ends a batch, every step failing in turn loses
// nothing and is reported, and what a pass reports and deletes comes after
// what makes it durable. Output is read as the console shows it.
#include "rotate/cycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "testing/fake_file_system.h"

namespace {

// A one-shot run of a script on a fake disk, with what it said.
class CycleRun {
 public:
  CycleRun() : CycleRun(own) {}
  // On a disk that outlives the run.
  explicit CycleRun(FakeFileSystem& onDisk) : disk(onDisk) { settings.OneShot = true; }

  void Add(const std::string& destination, const std::string& source) {
    settings.Table.AddSource(destination, source);
  }

  unsigned Run() {
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    unsigned failed = RunCycle(settings, disk);
    out += testing::internal::GetCapturedStdout();
    err += testing::internal::GetCapturedStderr();
    return failed;
  }

  // What standard output held so far, while the run goes on.
  std::string OutSoFar() {
    out += testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    return out;
  }

  // " -> Done." or " -> Failed." as the run told the destination's
  // replacement; "" when it did not, "twice" when it did more than once.
  std::string Told(const std::string& destination) const {
    std::string said;
    const std::string line = " to " + destination + " -> ";
    for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) {
      if (!said.empty()) return "twice";
      said = out.substr(at + line.size(), out.find('\n', at) - at - line.size());
    }
    return said;
  }

  // The destinations in the order the passes visit them.
  std::vector<std::string> VisitingOrder() const {
    std::vector<std::string> order;
    settings.Table.ForEach([&](const std::string& destination, const std::vector<std::string>&) {
      order.push_back(destination);
    });
    return order;
  }

  FakeFileSystem own;
  FakeFileSystem& disk;
  RunSettings settings;
  std::string out;
  std::string err;
};

size_t CountOf(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

TEST(CycleSources, ADestinationThatIsAListedSourceIsNeverWritten) {
  CycleRun run;
  run.disk.Put("pool/new", "new");
  run.disk.Put("d/a.txt", "a");
  run.disk.Put("d/b.txt", "b");
  run.disk.Put("d/self.txt", "self");
  run.Add("d/a.txt", "d/b.txt");        // b is a source...
  run.Add("d/b.txt", "pool/new");       // ...so this draw fails
  run.Add("d/self.txt", "d/self.txt");  // draws itself: it holds its content
  EXPECT_EQ(run.Run(), 1u);
  EXPECT_EQ(run.Told("d/b.txt"), "Failed.");
  EXPECT_EQ(run.Told("d/self.txt"), "Done.");
  EXPECT_EQ(run.Told("d/a.txt"), "Done.");
  EXPECT_NE(run.err.find("kelvo: cannot replace " + AbsolutePathOf("d/b.txt") +
                         ": a file the script names as a source"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.disk.Content("d/b.txt"), "b");
  EXPECT_EQ(run.disk.Content("d/self.txt"), "self");
  EXPECT_EQ(run.disk.Content("d/a.txt"), "b");
  // Neither companion nor original of a listed source, and no second name.
  for (const char* name : {"d/b.tmp", "d/b.txt.orig", "d/self.tmp", "d/self.txt.orig"}) {
    EXPECT_FALSE(run.disk.Has(name)) << name;
  }
  EXPECT_EQ(run.disk.NamesOf("d/b.txt"), 1u);
  EXPECT_EQ(run.disk.NamesOf("d/self.txt"), 1u);
  EXPECT_TRUE(run.disk.HelperNames().empty());
}

// kelvo never makes a listed source, so a missing one that draws itself
// stays missing: a failure, not a replacement done.
TEST(CycleSources, AMissingDestinationThatIsItsOwnSourceFails) {
  CycleRun run;
  run.disk.Put("d/here.txt", "here");
  run.Add("d/gone.txt", "d/gone.txt");
  run.Add("d/here.txt", "d/here.txt");
  EXPECT_EQ(run.Run(), 1u);
  EXPECT_EQ(run.Told("d/gone.txt"), "Failed.");
  EXPECT_EQ(run.Told("d/here.txt"), "Done.");
  EXPECT_NE(run.err.find("kelvo: cannot replace " + AbsolutePathOf("d/gone.txt") +
                         ": it is missing, and it is its own source"),
            std::string::npos)
      << run.err;
  EXPECT_FALSE(run.disk.Has("d/gone.txt"));
  EXPECT_EQ(run.disk.Content("d/here.txt"), "here");
}

TEST(CycleSources, TheCompanionIsWithheldWhenItsNameIsASource) {
  CycleRun run;
  run.disk.Put("d/t.ogg", "old");
  run.disk.Put("d/t.tmp", "source");
  run.disk.Put("d/x.tmp", "own companion");
  run.disk.Put("pool/new", "new");
  run.Add("d/t.ogg", "d/t.tmp");
  // Its own companion: the new content goes in, the old one is not kept.
  run.Add("d/x.tmp", "pool/new");
  EXPECT_EQ(run.Run(), 0u) << run.err;
  EXPECT_EQ(run.Told("d/t.ogg"), "Done.");
  EXPECT_EQ(run.disk.Content("d/t.ogg"), "source");
  EXPECT_EQ(run.disk.Content("d/t.tmp"), "source");
  EXPECT_EQ(run.disk.Content("d/t.ogg.orig"), "old");
  EXPECT_EQ(run.Told("d/x.tmp"), "Done.");
  EXPECT_EQ(run.disk.Content("d/x.tmp"), "new");
  EXPECT_EQ(run.disk.Content("d/x.tmp.orig"), "own companion");
  EXPECT_TRUE(run.disk.HelperNames().empty());
}

TEST(CycleOriginal, KeptOnceBeforeTheFirstReplacementOnly) {
  FakeFileSystem disk;
  disk.Put("d/t.ogg", "first");
  disk.Put("pool/1", "one");
  disk.Put("pool/2", "two");
  // A replacement that fails keeps no original: the destination still
  // holds its first content.
  CycleRun failing(disk);
  failing.Add("d/t.ogg", "pool/absent");
  EXPECT_EQ(failing.Run(), 1u);
  EXPECT_FALSE(disk.Has("d/t.ogg.orig"));
  // Made by the first replacement, and never again.
  for (const char* source : {"pool/1", "pool/2"}) {
    CycleRun run(disk);
    run.Add("d/t.ogg", source);
    EXPECT_EQ(run.Run(), 0u) << run.err;
    EXPECT_EQ(disk.Content("d/t.ogg.orig"), "first") << source;
  }
  EXPECT_EQ(disk.Content("d/t.ogg"), "two");
  EXPECT_EQ(disk.Content("d/t.tmp"), "one");
}

// The original is the content before the first replacement: a companion
// or an original already there tells of an earlier one, so a deleted
// original is not made again from what the destination holds now.
TEST(CycleOriginal, NotMadeAgainOnceDeletedOrAfterAnEarlierReplacement) {
  FakeFileSystem disk;
  disk.Put("d/t.ogg", "first");
  disk.Put("d/u.ogg", "from a pool");
  disk.Put("d/u.tmp", "earlier");
  disk.Put("pool/1", "one");
  disk.Put("pool/2", "two");
  {
    CycleRun run(disk);
    run.Add("d/t.ogg", "pool/1");
    run.Add("d/u.ogg", "pool/1");
    EXPECT_EQ(run.Run(), 0u) << run.err;
  }
  EXPECT_EQ(disk.Content("d/t.ogg.orig"), "first");
  EXPECT_FALSE(disk.Has("d/u.ogg.orig"));
  disk.Remove("d/t.ogg.orig");
  {
    CycleRun run(disk);
    run.Add("d/t.ogg", "pool/2");
    run.Add("d/u.ogg", "pool/2");
    EXPECT_EQ(run.Run(), 0u) << run.err;
    EXPECT_EQ(run.Told("d/t.ogg"), "Done.");
  }
  EXPECT_FALSE(disk.Has("d/t.ogg.orig"));
  EXPECT_FALSE(disk.Has("d/u.ogg.orig"));
  EXPECT_EQ(disk.Content("d/t.ogg"), "two");
  EXPECT_EQ(disk.Content("d/t.tmp"), "one");
  EXPECT_EQ(disk.Content("d/u.tmp"), "one");
}

// A companion that is a listed source exists without any replacement: it
// does not stand in the way of the original.
TEST(CycleOriginal, ACompanionThatIsASourceTellsOfNoReplacement) {
  CycleRun run;
  run.disk.Put("d/t.ogg", "first");
  run.disk.Put("d/t.tmp", "a source");
  run.Add("d/t.ogg", "d/t.tmp");
  EXPECT_EQ(run.Run(), 0u) << run.err;
  EXPECT_EQ(run.disk.Content("d/t.ogg.orig"), "first");
}

// The caller learns whether a replacement was begun, which an exception
// out of the cycle would not tell otherwise.
TEST(CycleRunning, TellsWhetherAReplacementWasBegun) {
  FakeFileSystem disk;
  disk.Put("pool/1", "one");
  RunSettings settings;
  settings.OneShot = true;
  bool tried = false;
  testing::internal::CaptureStdout();
  RunCycle(settings, disk, &tried);
  EXPECT_FALSE(tried);
  settings.Table.AddSource("d/t.ogg", "pool/1");
  RunCycle(settings, disk, &tried);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(tried);
}

TEST(CycleOriginal, ANameTheSystemRefusesIsSaidAndTheReplacementGoesOn) {
  CycleRun run;
  const std::string name(20, 'n');
  run.disk.longestName = name.size() + 4;  // room for ".tmp", not for ".orig"
  run.disk.Put("d/" + name, "old");
  run.disk.Put("pool/new", "new");
  run.Add("d/" + name, "pool/new");
  EXPECT_EQ(run.Run(), 0u);
  EXPECT_EQ(run.Told("d/" + name), "Done.");
  EXPECT_NE(
      run.err.find("kelvo: cannot keep the original as " + AbsolutePathOf("d/" + name) + ".orig: "),
      std::string::npos)
      << run.err;
  EXPECT_FALSE(run.disk.Has("d/" + name + ".orig"));
  EXPECT_EQ(run.disk.Content("d/" + name), "new");
}

// A copy whose source is a link may read a file that an earlier replacement
// of the pass writes: the batch ends before it, so the copy reads the new
// content, as one replacement after another would.
TEST(CycleBatch, EndsBeforeASourceThatIsALink) {
  CycleRun probe;
  probe.Add("d/one.txt", "pool/new");
  probe.Add("d/two.txt", "pool/new");
  const std::vector<std::string> order = probe.VisitingOrder();
  ASSERT_EQ(order.size(), 2u);
  // The link leads to whichever destination the pass visits first.
  CycleRun run;
  run.Add(order[0], "pool/new");
  run.Add(order[1], "d/to-first");
  ASSERT_EQ(run.VisitingOrder(), order);
  run.disk.Put("pool/new", "new");
  run.disk.Put("d/one.txt", "one");
  run.disk.Put("d/two.txt", "two");
  run.disk.MakeLink("d/to-first", order[0].substr(2));
  EXPECT_EQ(run.Run(), 0u) << run.err;
  EXPECT_EQ(run.disk.Content(order[0]), "new");
  EXPECT_EQ(run.disk.Content(order[1]), "new");
  EXPECT_EQ(run.disk.flushesTogether, 2);

  // Without the link, one batch for both.
  CycleRun plain;
  plain.disk.Put("pool/new", "new");
  plain.disk.Put("d/one.txt", "one");
  plain.disk.Put("d/two.txt", "two");
  plain.Add("d/one.txt", "pool/new");
  plain.Add("d/two.txt", "pool/new");
  EXPECT_EQ(plain.Run(), 0u);
  EXPECT_EQ(plain.disk.flushesTogether, 1);
}

// A pass says Done only once the folders are flushed, and deletes the
// previous companions it set aside only once it has said so.
TEST(CycleBatch, ReportsAfterTheFolderFlushAndDeletesSetAsideNamesAfterTheReport) {
  CycleRun run;
  run.disk.Put("pool/new", "new");
  for (const char* name : {"d/a", "d/b", "e/c"}) {
    run.disk.Put(std::string(name) + ".ogg", "old");
    run.disk.Put(std::string(name) + ".tmp", "previous");
    run.Add(std::string(name) + ".ogg", "pool/new");
  }
  int setAsideDeleted = 0;
  std::set<std::string> folders;
  run.disk.meanwhile = [&](const std::string& step, const std::string& path) {
    if (step == "FlushFolder") {
      folders.insert(path);
      EXPECT_EQ(run.OutSoFar().find("Replacing"), std::string::npos) << path;
    }
    if (step == "Delete" && path.find(".del") != std::string::npos) {
      ++setAsideDeleted;
      // Every replacement of the batch is told before any such delete.
      EXPECT_EQ(CountOf(run.OutSoFar(), " -> Done."), 3u) << path;
    }
  };
  EXPECT_EQ(run.Run(), 0u) << run.err;
  EXPECT_EQ(folders, (std::set<std::string>{"d/", "e/"}));
  EXPECT_EQ(setAsideDeleted, 3);
  for (const char* name : {"d/a", "d/b", "e/c"}) {
    EXPECT_EQ(run.Told(std::string(name) + ".ogg"), "Done.");
    EXPECT_EQ(run.disk.Content(std::string(name) + ".tmp"), "old");
  }
  EXPECT_TRUE(run.disk.HelperNames().empty());
}

// A pass over destinations of every kind, on a disk with every step and on
// one without exchange, anonymous files or a rename that spares a name.
class FaultyPass {
 public:
  explicit FaultyPass(int failing) {
    FakeFileSystem::Features windowsLike;
    windowsLike.anonymous = false;
    windowsLike.exchange = false;
    windowsLike.renameToFree = false;
    run.disk.deviceFeatures["e"] = windowsLike;
    run.disk.Put("pool/1", "new1");
    run.disk.Put("pool/2", "new2");
    run.disk.Put("pool/3", "new3");
    // a.ogg is replaced for the first time; c.ogg was replaced before.
    run.disk.Put("d/a.ogg", "a-old");
    run.disk.Put("e/c.ogg", "c-old");
    run.disk.Put("e/c.tmp", "c-previous");
    run.disk.Put("e/c.ogg.orig", "c-first");
    run.Add("d/a.ogg", "pool/1");
    run.Add("d/b.ogg", "pool/2");  // does not exist yet
    run.Add("e/c.ogg", "pool/3");
    if (failing > 0) run.disk.Fail(failing);
  }

  // What holds whichever step failed.
  void Check(unsigned failed, const std::string& when) const {
    SCOPED_TRACE(when);
    const FakeFileSystem& disk = run.disk;
    for (const char* source : {"pool/1", "pool/2", "pool/3"}) {
      EXPECT_EQ(disk.Content(source), std::string("new") + source[5]);
    }
    unsigned toldFailed = 0;
    // Destination, its new content, its old one, its previous companion.
    const char* const expected[][4] = {{"d/a.ogg", "new1", "a-old", ""},
                                       {"d/b.ogg", "new2", "", ""},
                                       {"e/c.ogg", "new3", "c-old", "c-previous"}};
    for (const auto& one : expected) {
      const std::string destination = one[0];
      const std::string companion = destination.substr(0, destination.size() - 4) + ".tmp";
      const std::string told = run.Told(destination);
      SCOPED_TRACE(destination + told);
      if (told == "Done.") {
        EXPECT_EQ(disk.Content(destination), one[1]);
        EXPECT_EQ(disk.Content(companion), one[2]);
        EXPECT_EQ(disk.Has(companion), *one[2] != '\0');
      } else {
        ASSERT_EQ(told, "Failed.");
        ++toldFailed;
        EXPECT_EQ(disk.Has(destination), *one[2] != '\0');
        EXPECT_EQ(disk.Content(destination), one[2]);
        EXPECT_EQ(disk.Content(companion), one[3]);
        EXPECT_FALSE(disk.Has(destination + ".orig") && destination != "e/c.ogg");
      }
    }
    EXPECT_EQ(disk.Content("e/c.ogg.orig"), "c-first");
    if (run.Told("d/a.ogg") == "Done.") {
      EXPECT_EQ(disk.Content("d/a.ogg.orig"), "a-old");
    }
    // A failed folder flush is a failure of the run too.
    unsigned flushFailed = static_cast<unsigned>(CountOf(run.err, "cannot flush the folder"));
    EXPECT_EQ(failed, toldFailed + flushFailed);
    EXPECT_GE(CountOf(run.err, "kelvo: cannot "), toldFailed + flushFailed);
    // What a failed step leaves is named: nothing else is left.
    for (const std::string& helper : disk.HelperNames()) {
      EXPECT_NE(run.err.find(helper), std::string::npos) << helper << "\n" << run.err;
    }
  }

  CycleRun run;
};

TEST(CycleFaults, EveryStepFailingInTurnLosesNothingAndIsReported) {
  FaultyPass clean(0);
  EXPECT_EQ(clean.run.Run(), 0u) << clean.run.err;
  clean.Check(0, "no fault");
  const int steps = clean.run.disk.calls;
  ASSERT_GT(steps, 20);
  int failedPasses = 0;
  for (int failing = 1; failing <= steps; ++failing) {
    FaultyPass pass(failing);
    unsigned failed = pass.run.Run();
    pass.Check(failed, "step " + std::to_string(failing) + " (" +
                           pass.run.disk.steps.at(static_cast<size_t>(failing - 1)) + ") failing");
    failedPasses += failed > 0 ? 1 : 0;
  }
  // Most steps cannot fail without a replacement failing.
  EXPECT_GT(failedPasses, steps / 2);
}

}  // namespace
