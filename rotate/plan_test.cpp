// Tests of the plan of a script's replacements on a real disk: each
// destination's companion and original with the reasons for none, its
// source status, what the files leave a replacement unable to do, and how
// the cycle prepares a replacement from the plan.
#include "rotate/plan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/paths.h"
#include "replace/replace.h"
#include "rotate/cycle.h"
#include "testing/first_replacements.h"
#include "testing/scratch_directory.h"

namespace fs = std::filesystem;

namespace {

bool IsWindows() { return IsPathSeparator('\\'); }

RealFileSystem realFiles;

class PlanTest : public testing::Test {
 protected:
  // A path under the root as a script would resolve it.
  std::string At(const std::string& relative) const {
    std::string path = root.string() + SystemSeparator() + relative;
    for (char& c : path) {
      if (c == '/') c = SystemSeparator();
    }
    return path;
  }
  void Write(const std::string& relative, const std::string& content = "x") const {
    fs::path path = fs::path(At(relative));
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }
  // A name as a script for this system writes it.
  static std::string Native(std::string name) {
    for (char& c : name) {
      if (c == '/') c = SystemSeparator();
    }
    return name;
  }
  // A script of AddFile lines, names under the root.
  void Add(const std::string& destination, const std::string& source) {
    settings.Table.AddSource(Native(destination), Native(source));
  }
  // Whether a replacement of the planned destination, as the cycle
  // prepares it, succeeds now.
  bool Replaced(const DestinationPlan& plan) const {
    PreparedReplacement prepared;
    PrepareReplacement(plan, false, prepared);
    prepared.replacement.source = At("source");
    return Replacer(realFiles).Replace(prepared.replacement).done;
  }
  // The plan of the destination named so in the script, looked at.
  DestinationPlan PlanOf(const RunPlan& plan, const std::string& destination) const {
    for (size_t index = 0; index < plan.Destinations().size(); ++index) {
      if (plan.Destinations()[index] == At(destination)) {
        DestinationPlan found = plan.Plan(index);
        plan.Look(found);
        return found;
      }
    }
    ADD_FAILURE() << "no destination " << destination;
    return DestinationPlan();
  }

  void SetUp() override { settings.ProgramDirectory = root.string() + SystemSeparator(); }

  ScratchDirectory scratch{"kelvo-plan"};
  fs::path root = scratch.Path();
  RunSettings settings;
};

TEST_F(PlanTest, NamesOfTheCompanionAndTheOriginal) {
  Add("title.ogg", "s");
  Add("title", "s");
  Add("a.b.ogg", "s");
  Add("my.folder/title", "s");
  RunPlan plan(settings, realFiles);
  EXPECT_EQ(PlanOf(plan, "title.ogg").companion, At("title.tmp"));
  EXPECT_EQ(PlanOf(plan, "title.ogg").original, At("title.ogg.orig"));
  EXPECT_EQ(PlanOf(plan, "title").companion, At("title.tmp"));
  EXPECT_EQ(PlanOf(plan, "a.b.ogg").companion, At("a.b.tmp"));
  EXPECT_EQ(PlanOf(plan, "my.folder/title").companion, At("my.folder/title.tmp"));
  EXPECT_EQ(PlanOf(plan, "my.folder/title").folder, At("my.folder/"));
  DestinationPlan plain = PlanOf(plan, "title.ogg");
  EXPECT_TRUE(plain.KeepsCompanion());
  EXPECT_TRUE(plain.KeepsOriginal());
  EXPECT_FALSE(plain.isSource);
  EXPECT_TRUE(plain.Replaceable());
  EXPECT_TRUE(plain.looked);
  EXPECT_EQ(plain.destinationEntry.kind, FileKind::Missing);
}

TEST_F(PlanTest, NoCompanionWhereItIsASourceOrTheDestinationItself) {
  Write("sub/x");
  Add("note.tmp", "s");
  Add("title.ogg", "title.tmp");
  // Another spelling of the same entry is the same source.
  Add("song.ogg", "sub/../song.tmp");
  Add("other.ogg", "s");
  RunPlan plan(settings, realFiles);
  EXPECT_EQ(PlanOf(plan, "note.tmp").companionPlan, CompanionPlan::IsDestination);
  EXPECT_EQ(PlanOf(plan, "title.ogg").companionPlan, CompanionPlan::IsSource);
  EXPECT_EQ(PlanOf(plan, "song.ogg").companionPlan, CompanionPlan::IsSource);
  EXPECT_EQ(PlanOf(plan, "other.ogg").companionPlan, CompanionPlan::Kept);
  // Windows names match in either case: "NOTE2.TMP" is its own companion
  // "NOTE2.tmp" there, another file on Linux.
  RunSettings cased;
  cased.ProgramDirectory = settings.ProgramDirectory;
  cased.Table.AddSource("NOTE2.TMP", "s");
  RunPlan casedPlan(cased, realFiles);
  EXPECT_EQ(casedPlan.Plan(0).companionPlan,
            IsWindows() ? CompanionPlan::IsDestination : CompanionPlan::Kept);
}

TEST_F(PlanTest, NoOriginalUnderAListedNameOrOneTheSystemRefuses) {
  Add("a.dat", "s");
  Add("b.dat", "b.dat.orig");
  Add("c.dat", "s");
  Add("c.dat.orig", "s");
  // The longest name a Linux file system takes (255 bytes): the original's
  // is longer. (Wine says such a name is not found, so the replacement goes
  // on without an original there, as it does for a destination that is
  // gone: it is no refusal.)
  const std::string longest = std::string(251, 'n') + ".ogg";
  Add(longest, "s");
  RunPlan plan(settings, realFiles);
  EXPECT_EQ(PlanOf(plan, "a.dat").originalPlan, OriginalPlan::Kept);
  EXPECT_EQ(PlanOf(plan, "b.dat").originalPlan, OriginalPlan::ListedAsSource);
  EXPECT_EQ(PlanOf(plan, "c.dat").originalPlan, OriginalPlan::ListedAsDestination);
  DestinationPlan refused = plan.Plan(0);
  for (size_t index = 0; index < plan.Destinations().size(); ++index) {
    if (plan.Destinations()[index] == At(longest)) refused = plan.Plan(index);
  }
  if (IsWindows()) return;
  EXPECT_EQ(refused.originalPlan, OriginalPlan::NameRefused);
  EXPECT_EQ(refused.originalRefusal.status, StepStatus::BadName);
  EXPECT_FALSE(refused.KeepsOriginal());
}

TEST_F(PlanTest, AListedSourceIsNeverReplaced) {
  Write("pool/a.txt");
  Write("pool/b.txt");
  Write("other/x");
  Add("pool/a.txt", "pool/b.txt");
  Add("other/../pool/b.txt", "pool/b.txt");
  Add("d.txt", "pool/a.txt");
  RunPlan plan(settings, realFiles);
  DestinationPlan a = PlanOf(plan, "pool/a.txt");
  EXPECT_TRUE(a.isSource);
  EXPECT_TRUE(PlanOf(plan, "other/../pool/b.txt").isSource);
  EXPECT_FALSE(PlanOf(plan, "d.txt").isSource);
  // A draw of itself leaves it as it is.
  size_t index = 0;
  while (plan.Destinations()[index] != At("other/../pool/b.txt")) ++index;
  EXPECT_TRUE(plan.DrawsItself(index, At("pool/b.txt")));
  EXPECT_FALSE(plan.DrawsItself(index, At("pool/a.txt")));
}

TEST_F(PlanTest, WhatTheFilesLeaveAReplacementUnableToDo) {
  Write("folder/inside");
  Write("title.ogg");
  Write("title.tmp/inside");
  Write("note.tmp");
  Write("song.ogg");
  Add("folder", "s");
  Add("title.ogg", "s");
  // A companion that is a folder matters only where the old content goes
  // there: not for its own companion.
  Add("note.tmp", "s");
  Add("song.ogg", "s");
  Add("none/d.txt", "s");
  RunPlan plan(settings, realFiles);
  EXPECT_EQ(PlanOf(plan, "folder").obstacle, Obstacle::DestinationIsFolder);
  EXPECT_EQ(PlanOf(plan, "title.ogg").obstacle, Obstacle::CompanionIsFolder);
  EXPECT_EQ(PlanOf(plan, "note.tmp").obstacle, Obstacle::None);
  EXPECT_EQ(PlanOf(plan, "song.ogg").obstacle, Obstacle::None);
  EXPECT_EQ(PlanOf(plan, "song.ogg").destinationEntry.kind, FileKind::Regular);
  EXPECT_EQ(PlanOf(plan, "none/d.txt").obstacle, Obstacle::FolderNotWritable);
  // The replacements meet what the plan foresaw.
  Write("source", "new");
  for (const char* name : {"folder", "title.ogg", "note.tmp", "song.ogg", "none/d.txt"}) {
    const DestinationPlan planned = PlanOf(plan, name);
    EXPECT_EQ(Replaced(planned), planned.Replaceable()) << name;
  }
  EXPECT_EQ(scratch.Read("song.ogg"), "new");
}

TEST_F(PlanTest, ACompanionNameTheSystemRefuses) {
  if (IsWindows()) GTEST_SKIP() << "under Wine such a destination is too long itself";
  // 253 bytes: its companion has 257.
  const std::string name(253, 'n');
  Write(name);
  Add(name, "s");
  RunPlan plan(settings, realFiles);
  DestinationPlan refused = PlanOf(plan, name);
  EXPECT_EQ(refused.obstacle, Obstacle::CompanionNameRefused);
  EXPECT_EQ(refused.obstacleResult.status, StepStatus::BadName);
  Write("source", "new");
  EXPECT_FALSE(Replaced(refused));
  EXPECT_EQ(scratch.Read(name), "x");
}

// A folder so deep that a helper name in it is longer than a path may be,
// while a short destination in it is not.
TEST_F(PlanTest, HelperNamesTheSystemRefuses) {
  // Linux paths stop short of 4096 bytes; the ANSI calls that create files
  // on Windows at 259 characters.
  const size_t limit = IsWindows() ? 259 : 4095;
  std::string deep;
  while (At(deep).size() + 1 + 20 < limit - 10) {
    const size_t room = limit - 10 - At(deep).size() - 1;
    deep += std::string(std::min<size_t>(room, 200), 'f') + "/";
  }
  fs::create_directories(At(deep));
  ASSERT_LT(At(deep + "d.txt").size(), limit);
  Write(deep + "d.txt");
  Add(deep + "d.txt", "s");
  RunPlan plan(settings, realFiles);
  DestinationPlan deepPlan = PlanOf(plan, deep + "d.txt");
  EXPECT_EQ(deepPlan.destinationEntry.kind, FileKind::Regular);
  EXPECT_EQ(deepPlan.obstacle, Obstacle::HelperNameRefused);
  Write("source", "new");
  EXPECT_FALSE(Replaced(deepPlan));
}

// The cycle hands a replacement only the names the plan keeps.
TEST_F(PlanTest, TheCyclePreparesAReplacementFromThePlan) {
  Write("pool/a.txt");
  Add("title.ogg", "title.tmp");
  Add("b.dat", "b.dat.orig");
  Add("pool/a.txt", "s");
  Add("plain.ogg", "pool/a.txt");
  const std::string longest = std::string(251, 'n') + ".ogg";
  Add(longest, "s");
  RunPlan plan(settings, realFiles);
  std::vector<PreparedReplacement> first = FirstReplacements(settings, realFiles);
  ASSERT_EQ(first.size(), plan.Destinations().size());
  for (size_t index = 0; index < first.size(); ++index) {
    const DestinationPlan expected = plan.Plan(index);
    const PreparedReplacement& prepared = first[index];
    SCOPED_TRACE(expected.destination);
    EXPECT_EQ(prepared.replacement.destination, expected.destination);
    EXPECT_EQ(prepared.replacement.folder, expected.folder);
    EXPECT_EQ(prepared.leftAsSource, expected.destination == At("pool/a.txt"));
    EXPECT_EQ(prepared.replacement.companion,
              expected.destination == At("title.ogg") ? "" : expected.companion);
    // Linux refuses the longest name's original (see above).
    const bool refused = !IsWindows() && expected.destination == At(longest);
    const bool keepsOriginal = expected.destination != At("b.dat") && !refused;
    EXPECT_EQ(prepared.replacement.original, keepsOriginal ? expected.original : "");
    EXPECT_EQ(prepared.originalRefused, refused);
  }
  // Once the first content is kept, or its name refused, no replacement
  // keeps one.
  PreparedReplacement later;
  PrepareReplacement(plan.Plan(0), true, later);
  EXPECT_EQ(later.replacement.original, "");
  EXPECT_FALSE(later.originalRefused);
}

}  // namespace
