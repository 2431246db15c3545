// Tests of the start-of-run sweep: which names it takes, and all it leaves.
#include "replace/replace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "testing/fake_file_system.h"

namespace {

TEST(ParseHelperName, OnlyTheNamesARunMakes) {
  uint32_t process = 0;
  std::string suffix;
  EXPECT_TRUE(ParseHelperName(".kelvo-4d2-1f.new", process, suffix));
  EXPECT_EQ(process, 0x4d2u);
  EXPECT_EQ(suffix, ".new");
  EXPECT_TRUE(ParseHelperName(HelperName(0xffffffffu, 0, ".del"), process, suffix));
  EXPECT_EQ(process, 0xffffffffu);
  EXPECT_EQ(suffix, ".del");
  EXPECT_TRUE(ParseHelperName(".kelvo-1-2.old", process, suffix));
  EXPECT_EQ(suffix, ".old");
  for (const char* alike :
       {".kelvo-4d2-1.new~", ".kelvo-4d2-1.new.txt", ".kelvo-04d2-1.new", ".kelvo-4D2-1.new",
        ".kelvo-4d2-01.del", ".kelvo--1.new", ".kelvo-4d2-.new", ".kelvo-4d2.new",
        ".kelvo-1ffffffff-1.new", ".kelvo-4d2-1.tmp", ".kelvo-4d2-1", "x.kelvo-4d2-1.new",
        ".Kelvo-4d2-1.new", ".kelvo-4d2-1.NEW", ".kelvo-4d2-1.new/", ""}) {
    EXPECT_FALSE(ParseHelperName(alike, process, suffix)) << alike;
  }
}

// A folder "d" of entries with kinds, named by their path under it, on a
// fake disk; deletions and the questions of the sweep are read from the
// steps it took.
struct FakeFolder {
  FakeFileSystem disk;

  void Add(const std::string& name, FileKind kind) {
    std::string path = "d/" + name;
    if (kind == FileKind::Regular) disk.Put(path, name);
    if (kind == FileKind::Link) disk.MakeLink(path, "title.ogg");
    if (kind == FileKind::Folder) disk.MakeFolder(path);
    if (kind == FileKind::Other) disk.MakeOther(path);
  }
  std::set<std::string> Entries() const {
    std::vector<std::string> names = disk.Names();
    return std::set<std::string>(names.begin(), names.end());
  }
  // The paths the sweep took the step on, in order.
  std::vector<std::string> Asked(const char* step) const {
    std::vector<std::string> asked;
    for (size_t call = 0; call < disk.steps.size(); ++call) {
      if (disk.steps[call] == step) asked.push_back(disk.paths[call]);
    }
    return asked;
  }
  std::vector<Leftover> Sweep(const std::vector<std::string>& folders,
                              const std::set<std::string>& listed = {}) {
    return SweepLeftovers(disk, folders,
                          [&](const std::string& path) { return listed.count(path) != 0; });
  }
};

TEST(SweepLeftovers, TakesOnlyWhatNoRunHoldsAndHoldsNothingWanted) {
  FakeFolder folder;
  // Left by a killed run 0x10: taken.
  folder.Add(".kelvo-10-1.new", FileKind::Regular);
  folder.Add(".kelvo-10-2.del", FileKind::Regular);
  folder.Add(".kelvo-10-3.new", FileKind::Regular);
  // May hold an old content: stays.
  folder.Add(".kelvo-10-4.old", FileKind::Regular);
  // A copy that a live run holds stays, whatever its number; one of the
  // same number that nobody holds is a killed run's (another PID namespace,
  // or this run's own number) and goes.
  folder.Add(".kelvo-1-1.new", FileKind::Regular);
  folder.disk.Hold("d/.kelvo-1-1.new");
  folder.Add(".kelvo-1-2.new", FileKind::Regular);
  // A spare name goes, even beside a live run's copy: losing it costs that
  // run nothing but time. Holding its file does not keep it.
  folder.Add(".kelvo-20-1.new", FileKind::Regular);
  folder.disk.Hold("d/.kelvo-20-1.new");
  folder.Add(".kelvo-20-2.del", FileKind::Regular);
  folder.disk.Hold("d/.kelvo-20-2.del");
  // Not regular files: stay.
  folder.Add(".kelvo-10-5.new", FileKind::Link);
  folder.Add(".kelvo-10-6.del", FileKind::Folder);
  folder.Add(".kelvo-10-7.new", FileKind::Other);
  // A folder under a run's name (earlier Windows builds made their helpers
  // in one): never entered.
  folder.Add(".kelvo-10", FileKind::Folder);
  folder.Add(".kelvo-10/.kelvo-10-8.new", FileKind::Regular);
  // Look-alikes and the user's files: stay.
  folder.Add(".kelvo-010-8.new", FileKind::Regular);
  folder.Add(".kelvo-10-9.new.bak", FileKind::Regular);
  folder.Add("title.ogg", FileKind::Regular);
  folder.Add("title.tmp", FileKind::Regular);
  std::set<std::string> before = folder.Entries();

  std::vector<Leftover> failed = folder.Sweep({"d/", "absent/"});
  EXPECT_TRUE(failed.empty());
  std::set<std::string> deleted;
  for (const std::string& entry : before) {
    if (folder.Entries().count(entry) == 0) deleted.insert(entry);
  }
  EXPECT_EQ(deleted,
            (std::set<std::string>{"d/.kelvo-10-1.new", "d/.kelvo-10-2.del", "d/.kelvo-10-3.new",
                                   "d/.kelvo-1-2.new", "d/.kelvo-20-2.del"}));
  EXPECT_EQ(folder.Entries().size() + deleted.size(), before.size());
  // Only the regular ".new" files are asked about, each once; plain deletes
  // take only the ".del" files.
  std::vector<std::string> asked = folder.Asked("DeleteUnheld");
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked,
            (std::vector<std::string>{"d/.kelvo-1-1.new", "d/.kelvo-1-2.new", "d/.kelvo-10-1.new",
                                      "d/.kelvo-10-3.new", "d/.kelvo-20-1.new"}));
  std::vector<std::string> plain = folder.Asked("Delete");
  std::sort(plain.begin(), plain.end());
  EXPECT_EQ(plain, (std::vector<std::string>{"d/.kelvo-10-2.del", "d/.kelvo-20-2.del"}));
}

TEST(SweepLeftovers, NeverTakesANameTheScriptLists) {
  FakeFolder folder;
  folder.Add(".kelvo-10-1.new", FileKind::Regular);
  folder.Add(".kelvo-10-2.del", FileKind::Regular);
  folder.Add(".kelvo-10-3.del", FileKind::Regular);
  std::vector<Leftover> failed = folder.Sweep({"d/"}, {"d/.kelvo-10-1.new", "d/.kelvo-10-2.del"});
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(folder.Entries(),
            (std::set<std::string>{"d", "d/.kelvo-10-1.new", "d/.kelvo-10-2.del"}));
  // Not even looked at.
  EXPECT_EQ(folder.Asked("ReadEntry"), (std::vector<std::string>{"d/.kelvo-10-3.del"}));
}

TEST(SweepLeftovers, ReportsWhatItCannotDelete) {
  FakeFolder folder;
  folder.Add(".kelvo-10-1.new", FileKind::Regular);
  folder.Add(".kelvo-10-2.del", FileKind::Regular);
  folder.disk.deletesFail = 13;
  std::vector<Leftover> failed = folder.Sweep({"d/"});
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].path, "d/.kelvo-10-1.new");
  EXPECT_EQ(failed[1].path, "d/.kelvo-10-2.del");
  // Why goes with the name, for the message.
  EXPECT_EQ(failed[0].result.status, StepStatus::Failed);
  EXPECT_EQ(failed[0].result.error, 13);
  EXPECT_EQ(folder.Entries().size(), 3u);
}

// A failing step of the sweep leaves what it concerns and names nothing
// that it did not try to delete.
TEST(SweepLeftovers, AFailedLookOrListingTakesNothing) {
  for (int failing = 1; failing <= 3; ++failing) {
    FakeFolder folder;
    folder.Add(".kelvo-10-1.del", FileKind::Regular);
    folder.disk.Fail(failing);
    std::vector<Leftover> failed = folder.Sweep({"d/"});
    // ListFolder, ReadEntry, Delete: none after the one that fails.
    EXPECT_EQ(folder.disk.steps.size(), static_cast<size_t>(failing)) << failing;
    EXPECT_EQ(folder.Entries(), (std::set<std::string>{"d", "d/.kelvo-10-1.del"})) << failing;
    EXPECT_EQ(failed.size(), failing == 3 ? 1u : 0u) << failing;
  }
}

// What the check finds changed under the name since it was read, and what
// has gone meanwhile, is nothing to report.
TEST(SweepLeftovers, SaysNothingOfWhatChangedUnderItsHands) {
  FakeFolder folder;
  folder.Add(".kelvo-10-1.new", FileKind::Regular);
  folder.Add(".kelvo-10-2.new", FileKind::Regular);
  // Another program, between the sweep's look and its delete.
  folder.disk.meanwhile = [&](const std::string& step, const std::string& path) {
    if (step != "DeleteUnheld") return;
    folder.disk.Remove(path);
    if (path == "d/.kelvo-10-1.new") folder.disk.MakeFolder(path);
  };
  EXPECT_TRUE(folder.Sweep({"d/"}).empty());
  EXPECT_EQ(folder.disk.KindOf("d/.kelvo-10-1.new"), FileKind::Folder);
  EXPECT_EQ(folder.Asked("DeleteUnheld").size(), 2u);
}

}  // namespace
