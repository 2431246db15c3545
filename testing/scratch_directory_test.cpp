// Tests of the unit tests' scratch directory: a fresh directory of its own
// each time, which nobody else can have made or look into, and which a
// death test's child process shares with its parent.
#include "testing/scratch_directory.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

TEST(ScratchDirectory, EachIsMadeAnewUnderItsOwnName) {
  std::set<fs::path> made;
  for (int i = 0; i < 3; ++i) {
    ScratchDirectory first("kelvo-scratch");
    ScratchDirectory second("kelvo-scratch");
    EXPECT_NE(first.Path(), second.Path());
    // Both ending in a separator: the system's temporary path may have one.
    EXPECT_EQ(first.Path().parent_path() / "", fs::temp_directory_path() / "");
    first.Write("mine", "first");
    second.Write("mine", "second");
    EXPECT_EQ(first.Read("mine"), "first");
    EXPECT_TRUE(made.insert(first.Path()).second) << first.Path();
    EXPECT_TRUE(made.insert(second.Path()).second) << second.Path();
  }
  // Each went with everything in it.
  for (const fs::path& path : made) EXPECT_FALSE(fs::exists(path)) << path;
}

TEST(ScratchDirectory, IsAFolderOfItsOwnThatOnlyItsOwnerEnters) {
  ScratchDirectory scratch("kelvo-scratch");
  std::error_code error;
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(scratch.Path(), error))) << scratch.Path();
  EXPECT_TRUE(fs::is_empty(scratch.Path(), error));
#ifndef _WIN32
  struct stat info;
  ASSERT_EQ(lstat(scratch.Path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_EQ(info.st_uid, geteuid());
#endif
}

// A death test's child process may run the test again from its start (on
// Windows it always does, and here it is asked to): it must work in its
// parent's directory.
TEST(ScratchDirectory, ADeathTestsChildWorksInItsParentsDirectory) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScratchDirectory scratch("kelvo-scratch");
  scratch.Write("before", "set up");
  EXPECT_EXIT(
      {
        bool setUp = scratch.Read("before") == "set up";
        scratch.Write("child", "written by the child");
        std::exit(setUp ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
  EXPECT_EQ(scratch.Read("child"), "written by the child");
}

}  // namespace
