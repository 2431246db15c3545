// Tests of the start-of-run sweep: which names it takes, and all it leaves.
#include "engine/sweep.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/replace.h"

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
  std::set<uint32_t> running;
  std::vector<std::string> deleted;
  std::map<uint32_t, int> asked;
  std::vector<std::string> held;  // folders entered
  bool refuseDeletes = false;

  SweepSteps Steps() {
    SweepSteps steps;
    // Entries are named by their path under "d/"; a helper folder's
    // entries by "<folder>/<name>".
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
    steps.holdFolder = [this](const std::string& path, HeldFolder&) {
      StepResult result;
      auto found = entries.find(path.substr(2));
      if (found == entries.end()) {
        result.status = StepStatus::Missing;
      } else if (found->second != FileKind::Folder) {
        result.status = StepStatus::WrongKind;
      } else {
        held.push_back(path);
      }
      return result;
    };
    steps.releaseFolder = [this](HeldFolder&, const std::string& path, bool removeIfEmpty) {
      std::string inside = path.substr(2) + "/";
      bool empty = true;
      for (const auto& entry : entries) empty = empty && entry.first.rfind(inside, 0) != 0;
      if (removeIfEmpty && empty) {
        entries.erase(path.substr(2));
        deleted.push_back(path);
      }
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
    steps.processRunning = [this](uint32_t process) {
      ++asked[process];
      return running.count(process) != 0;
    };
    return steps;
  }
};

TEST(SweepLeftovers, TakesOnlyWhatDeadRunsLeftAndHoldsNothingWanted) {
  FakeFolder folder;
  // Left by a dead run 0x10: taken.
  folder.entries[".kelvo-10-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-10-2.del"] = FileKind::Regular;
  folder.entries[".kelvo-10-3.new"] = FileKind::Regular;
  // Under this run's own number: an earlier process's, taken.
  folder.entries[".kelvo-99-1.del"] = FileKind::Regular;
  // May hold an old content: stays.
  folder.entries[".kelvo-10-4.old"] = FileKind::Regular;
  // A running process's: stays.
  folder.running.insert(0x20);
  folder.entries[".kelvo-20-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-20-2.del"] = FileKind::Regular;
  // Not regular files: stay.
  folder.entries[".kelvo-10-5.new"] = FileKind::Link;
  folder.entries[".kelvo-10-6.del"] = FileKind::Folder;
  folder.entries[".kelvo-10-7.new"] = FileKind::Other;
  // Look-alikes and the user's files: stay.
  folder.entries[".kelvo-010-8.new"] = FileKind::Regular;
  folder.entries[".kelvo-10-9.new.bak"] = FileKind::Regular;
  folder.entries["title.ogg"] = FileKind::Regular;
  folder.entries["title.tmp"] = FileKind::Regular;
  std::map<std::string, FileKind> before = folder.entries;

  std::vector<Leftover> failed = SweepLeftovers({"d/", "absent/"}, 0x99, folder.Steps());
  EXPECT_TRUE(failed.empty());
  std::set<std::string> deleted(folder.deleted.begin(), folder.deleted.end());
  EXPECT_EQ(deleted, (std::set<std::string>{"d/.kelvo-10-1.new", "d/.kelvo-10-2.del",
                                            "d/.kelvo-10-3.new", "d/.kelvo-99-1.del"}));
  EXPECT_EQ(folder.deleted.size(), deleted.size());
  for (const auto& entry : before) {
    if (deleted.count("d/" + entry.first) == 0) {
      EXPECT_EQ(folder.entries.count(entry.first), 1u) << entry.first;
    }
  }
  // Each process is asked about once; this run is never asked about.
  EXPECT_EQ(folder.asked[0x10], 1);
  EXPECT_EQ(folder.asked[0x20], 1);
  EXPECT_EQ(folder.asked.count(0x99), 0u);
}

TEST(SweepLeftovers, ReportsWhatItCannotDelete) {
  FakeFolder folder;
  folder.entries[".kelvo-10-1.new"] = FileKind::Regular;
  folder.refuseDeletes = true;
  std::vector<Leftover> failed = SweepLeftovers({"d/"}, 0x99, folder.Steps());
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].path, "d/.kelvo-10-1.new");
  // Why goes with the name, for the message.
  EXPECT_EQ(failed[0].result.status, StepStatus::Failed);
  EXPECT_EQ(failed[0].result.error, 13);
}

TEST(ParseHelperFolderName, OnlyTheFolderNameARunMakes) {
  uint32_t process = 0;
  EXPECT_TRUE(ParseHelperFolderName(HelperFolderName(0x4d2), process));
  EXPECT_EQ(process, 0x4d2u);
  for (const char* alike : {".kelvo-4d2-1", ".kelvo-04d2", ".kelvo-4D2", ".kelvo-",
                            ".kelvo-4d2.old", "x.kelvo-4d2", ".kelvo-1ffffffff", ""}) {
    EXPECT_FALSE(ParseHelperFolderName(alike, process)) << alike;
  }
}

TEST(SweepLeftovers, EmptiesTheHelperFoldersOfDeadRunsAndKeepsWhatTheyMayHold) {
  FakeFolder folder;
  // A dead run's helper folder with a copy in it: swept, then removed.
  folder.entries[".kelvo-10"] = FileKind::Folder;
  folder.entries[".kelvo-10/.kelvo-10-1.new"] = FileKind::Regular;
  // A dead run's helper folder keeping an old content: the ".old" and the
  // folder stay.
  folder.entries[".kelvo-11"] = FileKind::Folder;
  folder.entries[".kelvo-11/.kelvo-11-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-11/.kelvo-11-2.old"] = FileKind::Regular;
  // One holding only what is swept: removed with it.
  folder.entries[".kelvo-16"] = FileKind::Folder;
  folder.entries[".kelvo-16/.kelvo-16-1.del"] = FileKind::Regular;
  // A running run's helper folder: not entered.
  folder.entries[".kelvo-12"] = FileKind::Folder;
  folder.entries[".kelvo-12/.kelvo-12-1.new"] = FileKind::Regular;
  folder.running.insert(0x12);
  // A link or junction under the name: never entered.
  folder.entries[".kelvo-13"] = FileKind::Link;
  folder.entries[".kelvo-13/.kelvo-13-1.new"] = FileKind::Regular;
  // Look-alikes of a helper folder.
  folder.entries[".kelvo-014"] = FileKind::Folder;
  folder.entries[".kelvo-014/.kelvo-14-1.new"] = FileKind::Regular;
  // One that holds anything but that run's helpers is someone's folder (a
  // link that the system shows as a plain folder, say): nothing in it goes.
  folder.entries[".kelvo-17"] = FileKind::Folder;
  folder.entries[".kelvo-17/.kelvo-17-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-17/notes.txt"] = FileKind::Regular;
  folder.entries[".kelvo-18"] = FileKind::Folder;
  folder.entries[".kelvo-18/.kelvo-18-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-18/.kelvo-19-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-1a"] = FileKind::Folder;
  folder.entries[".kelvo-1a/.kelvo-1a-1.new"] = FileKind::Regular;
  folder.entries[".kelvo-1a/.kelvo-1b"] = FileKind::Folder;
  folder.entries[".kelvo-1a/.kelvo-1b/.kelvo-1b-1.new"] = FileKind::Regular;

  std::vector<Leftover> failed = SweepLeftovers({"d/"}, 0x99, folder.Steps());
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(folder.held, (std::vector<std::string>{"d/.kelvo-10", "d/.kelvo-11", "d/.kelvo-16",
                                                   "d/.kelvo-17", "d/.kelvo-18", "d/.kelvo-1a"}));
  EXPECT_EQ(folder.entries.count(".kelvo-16"), 0u);
  EXPECT_EQ(folder.entries.count(".kelvo-10/.kelvo-10-1.new"), 0u);
  EXPECT_EQ(folder.entries.count(".kelvo-11/.kelvo-11-1.new"), 0u);
  EXPECT_EQ(folder.entries.count(".kelvo-11/.kelvo-11-2.old"), 1u);
  EXPECT_EQ(folder.entries.count(".kelvo-11"), 1u);
  EXPECT_EQ(folder.entries.count(".kelvo-12/.kelvo-12-1.new"), 1u);
  EXPECT_EQ(folder.entries.count(".kelvo-13/.kelvo-13-1.new"), 1u);
  EXPECT_EQ(folder.entries.count(".kelvo-014/.kelvo-14-1.new"), 1u);
  EXPECT_EQ(folder.entries.count(".kelvo-10"), 0u);
  for (const char* kept : {".kelvo-17/.kelvo-17-1.new", ".kelvo-17/notes.txt", ".kelvo-17",
                           ".kelvo-18/.kelvo-18-1.new", ".kelvo-18/.kelvo-19-1.new",
                           ".kelvo-1a/.kelvo-1a-1.new", ".kelvo-1a/.kelvo-1b/.kelvo-1b-1.new"}) {
    EXPECT_EQ(folder.entries.count(kept), 1u) << kept;
  }
}

}  // namespace
