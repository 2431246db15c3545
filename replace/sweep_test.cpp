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
  std::set<std::string> heldFiles;    // open in some process
  std::set<std::string> heldFolders;  // held by a live run
  std::vector<std::string> deleted;
  std::vector<std::string> askedIfHeld;  // files deleted only when unheld
  std::vector<std::string> held;         // folders entered
  bool refuseDeletes = false;

  SweepSteps steps;

  const SweepSteps& Steps() {
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
    steps.deleteUnheldFile = [this](const std::string& path, bool& isHeld) {
      askedIfHeld.push_back(path);
      isHeld = heldFiles.count(path.substr(2)) != 0;
      if (isHeld) return StepResult();
      return steps.deleteName(path);
    };
    steps.folderHeld = [this](const std::string& path) {
      return heldFolders.count(path.substr(2)) != 0;
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
  // A live run's helper folder, which it holds: not entered.
  folder.entries[".kelvo-12"] = FileKind::Folder;
  folder.entries[".kelvo-12/.kelvo-12-1.new"] = FileKind::Regular;
  folder.heldFolders.insert(".kelvo-12");
  // One that nobody holds is entered, but a copy held open in it stays, and
  // so does the folder.
  folder.entries[".kelvo-1c"] = FileKind::Folder;
  folder.entries[".kelvo-1c/.kelvo-1c-1.new"] = FileKind::Regular;
  folder.heldFiles.insert(".kelvo-1c/.kelvo-1c-1.new");
  folder.entries[".kelvo-1c/.kelvo-1c-2.new"] = FileKind::Regular;
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

  std::vector<Leftover> failed = SweepLeftovers({"d/"}, folder.Steps());
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(folder.held,
            (std::vector<std::string>{"d/.kelvo-10", "d/.kelvo-11", "d/.kelvo-16", "d/.kelvo-17",
                                      "d/.kelvo-18", "d/.kelvo-1a", "d/.kelvo-1c"}));
  EXPECT_EQ(folder.entries.count(".kelvo-1c/.kelvo-1c-1.new"), 1u);
  EXPECT_EQ(folder.entries.count(".kelvo-1c/.kelvo-1c-2.new"), 0u);
  EXPECT_EQ(folder.entries.count(".kelvo-1c"), 1u);
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
