// Tests of the run's helper folders: made once per destination folder at the
// first ask, given up after a failure, let go and removed at the end.
#include "replace/helper_folders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/paths.h"

namespace {

const char kSeparator = SystemSeparator();

// Records what the folders' steps were asked; made answers every make.
struct FakeFolders {
  StepStatus made = StepStatus::Ok;
  std::vector<std::string> makes;
  std::vector<std::string> released;

  HelperFolderSteps Steps() {
    HelperFolderSteps steps;
    steps.make = [this](const std::string& path, HeldFolder& held) {
      makes.push_back(path);
      StepResult result;
      result.status = made;
      if (result.Ok()) held.handle = static_cast<intptr_t>(makes.size());
      return result;
    };
    steps.release = [this](HeldFolder& held, const std::string& path, bool removeIfEmpty) {
      EXPECT_NE(held.handle, -1) << path;
      EXPECT_TRUE(removeIfEmpty) << path;
      held.handle = -1;
      released.push_back(path);
    };
    return steps;
  }
};

TEST(HelperFolders, OneFolderPerDestinationFolderMadeAtTheFirstAsk) {
  FakeFolders fake;
  {
    HelperFolders folders(0x4d2, fake.Steps());
    EXPECT_EQ(folders.For("d/"), std::string("d/.kelvo-4d2") + kSeparator);
    EXPECT_EQ(folders.For("d/"), std::string("d/.kelvo-4d2") + kSeparator);
    EXPECT_EQ(folders.For("e/"), std::string("e/.kelvo-4d2") + kSeparator);
    EXPECT_EQ(fake.makes, (std::vector<std::string>{"d/.kelvo-4d2", "e/.kelvo-4d2"}));
    EXPECT_TRUE(fake.released.empty());
  }
  // Let go, and removed when empty, as the run ends.
  EXPECT_EQ(fake.released, (std::vector<std::string>{"d/.kelvo-4d2", "e/.kelvo-4d2"}));
}

TEST(HelperFolders, ATakenNameOrNoSupportKeepsHelpersBesideTheDestinations) {
  FakeFolders fake;
  fake.made = StepStatus::Exists;
  HelperFolders taken(0x4d2, fake.Steps());
  EXPECT_EQ(taken.For("d/"), "");
  EXPECT_EQ(taken.For("d/"), "");
  EXPECT_EQ(fake.makes.size(), 1u);
  fake.made = StepStatus::Ok;
  EXPECT_NE(taken.For("e/"), "");

  FakeFolders none;
  none.made = StepStatus::Unsupported;
  HelperFolders unsupported(1, none.Steps());
  EXPECT_EQ(unsupported.For("d/"), "");
  EXPECT_EQ(unsupported.For("e/"), "");
  // A system without such folders is asked once.
  EXPECT_EQ(none.makes.size(), 1u);
}

TEST(HelperFolders, AFolderGivenUpIsNotUsedAgainAndGoesAtTheEnd) {
  FakeFolders fake;
  HelperFolders folders(0x4d2, fake.Steps());
  ASSERT_NE(folders.For("d/"), "");
  folders.GiveUp("d/");
  EXPECT_EQ(folders.For("d/"), "");
  folders.GiveUp("d/");
  folders.GiveUp("never-asked/");
  // A helper deleted in it may be gone only later: it stays till the end.
  EXPECT_TRUE(fake.released.empty());
  folders.ReleaseAll();
  EXPECT_EQ(fake.makes.size(), 1u);
  EXPECT_EQ(fake.released, (std::vector<std::string>{"d/.kelvo-4d2"}));
}

}  // namespace
