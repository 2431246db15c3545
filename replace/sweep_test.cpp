// Tests of the start-of-run sweep: which names it takes, and all it leaves.
#include "replace/sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "replace/replace.h"

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

// A folder of entries with kinds; deletions are recorded.
struct FakeFolder {
  std::map<std::string, FileKind> entries;
  std::set<std::string> heldFiles;  // open in some process
  std::vector<std::string> deleted;
  std::vector<std::string> askedIfHeld;  // files deleted only when unheld
  bool refuseDeletes = false;

  SweepSteps steps;

  const SweepSteps& Steps() {
    // Entries are named by their path under "d/"; a folder's entries by
    // "<folder>/<name>".
    steps.listFolder = [this](const std::string& folder, std::vector<std::string>& names) {
      if (folder.rfind("d/", 0) != 0) return false;
      std::string inside = folder.substr(2);
      for (const auto& entry : entries) {
        if (entry.first.rfind(inside, 0) != 0) continue;
        std::string rest = entry.first.substr(inside.size());
        if (!rest.empty() && rest.find('/') == std::string::npos) names.push_back(rest);
      }
      return true;
    };
    steps.readEntry = [this](const std::string& path, EntryInfo& info) {
      info = EntryInfo();
      auto found = entries.find(path.substr(2));
      if (found != entries.end()) info.kind = found->second;
      return StepResult();
    };
    steps.deleteName = [this](const std::string& path) {
      StepResult result;
      if (refuseDeletes) {
        result.status = StepStatus::Failed;
        result.error = 13;
        return result;
      }
      deleted.push_back(path);
      entries.erase(path.substr(2));
      return result;
    };
    steps.deleteUnheldFile = [this](const std::string& path, bool& isHeld) {
      askedIfHeld.push_back(path);
      isHeld = heldFiles.count(path.substr(2)) != 0;
      if (isHeld) return StepResult();
      return steps.deleteName(path);
    };
    return steps;
  }
};

TEST(SweepLeftovers, TakesOnlyWhatNoRunHoldsAndHoldsNothingWanted) {
  FakeFolder folder;
  // Left by a killed run 0x10: taken.
  folder.entries[".kelvo-10-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-10-2.del"] = FileKind::Regular;
  folder.entries[".kelvo-10-3.new"] = FileKind::Regular;
  // May hold an old content: stays.
  folder.entries[".kelvo-10-4.old"] = FileKind::Regular;
  // A copy that a live run holds stays, whatever its number; one of the
  // same number that nobody holds is a killed run's (another PID namespace,
  // or this run's own number) and goes.
  folder.entries[".kelvo-1-1.new"] = FileKind::Regular;
  folder.heldFiles.insert(".kelvo-1-1.new");
  folder.entries[".kelvo-1-2.new"] = FileKind::Regular;
  // A spare name goes, even beside a live run's copy: losing it costs that
  // run nothing but time. Holding its file does not keep it.
  folder.entries[".kelvo-20-1.new"] = FileKind::Regular;
  folder.heldFiles.insert(".kelvo-20-1.new");
  folder.entries[".kelvo-20-2.del"] = FileKind::Regular;
  folder.heldFiles.insert(".kelvo-20-2.del");
  // Not regular files: stay.
  folder.entries[".kelvo-10-5.new"] = FileKind::Link;
  folder.entries[".kelvo-10-6.del"] = FileKind::Folder;
  folder.entries[".kelvo-10-7.new"] = FileKind::Other;
  // A folder under a run's name (earlier Windows builds made their helpers
  // in one): never entered.
  folder.entries[".kelvo-10"] = FileKind::Folder;
  folder.entries[".kelvo-10/.kelvo-10-8.new"] = FileKind::Regular;
  // Look-alikes and the user's files: stay.
  folder.entries[".kelvo-010-8.new"] = FileKind::Regular;
  folder.entries[".kelvo-10-9.new.bak"] = FileKind::Regular;
  folder.entries["title.ogg"] = FileKind::Regular;
  folder.entries["title.tmp"] = FileKind::Regular;
  std::map<std::string, FileKind> before = folder.entries;

  std::vector<Leftover> failed = SweepLeftovers({"d/", "absent/"}, folder.Steps());
  EXPECT_TRUE(failed.empty());
  std::set<std::string> deleted(folder.deleted.begin(), folder.deleted.end());
  EXPECT_EQ(deleted,
            (std::set<std::string>{"d/.kelvo-10-1.new", "d/.kelvo-10-2.del", "d/.kelvo-10-3.new",
                                   "d/.kelvo-1-2.new", "d/.kelvo-20-2.del"}));
  EXPECT_EQ(folder.deleted.size(), deleted.size());
  for (const auto& entry : before) {
    if (deleted.count("d/" + entry.first) == 0) {
      EXPECT_EQ(folder.entries.count(entry.first), 1u) << entry.first;
    }
  }
  // Only the regular ".new" files are asked about, each once.
  std::vector<std::string> asked = folder.askedIfHeld;
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked,
            (std::vector<std::string>{"d/.kelvo-1-1.new", "d/.kelvo-1-2.new", "d/.kelvo-10-1.new",
                                      "d/.kelvo-10-3.new", "d/.kelvo-20-1.new"}));
}

TEST(SweepLeftovers, ReportsWhatItCannotDelete) {
  FakeFolder folder;
  folder.entries[".kelvo-10-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-10-2.del"] = FileKind::Regular;
  folder.refuseDeletes = true;
  std::vector<Leftover> failed = SweepLeftovers({"d/"}, folder.Steps());
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].path, "d/.kelvo-10-1.new");
  EXPECT_EQ(failed[1].path, "d/.kelvo-10-2.del");
  // Why goes with the name, for the message.
  EXPECT_EQ(failed[0].result.status, StepStatus::Failed);
  EXPECT_EQ(failed[0].result.error, 13);
}

// What the check finds changed under the name since it was read, and what
// has gone meanwhile, is nothing to report.
TEST(SweepLeftovers, SaysNothingOfWhatChangedUnderItsHands) {
  FakeFolder folder;
  folder.entries[".kelvo-10-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-10-2.new"] = FileKind::Regular;
  SweepSteps steps = folder.Steps();
  steps.deleteUnheldFile = [](const std::string& path, bool&) {
    StepResult result;
    result.status = path == "d/.kelvo-10-1.new" ? StepStatus::WrongKind : StepStatus::Missing;
    return result;
  };
  EXPECT_TRUE(SweepLeftovers({"d/"}, steps).empty());
}

}  // namespace
