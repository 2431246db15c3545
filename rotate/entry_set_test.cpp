// Tests of how sources are told apart on a real disk: every spelling of a
// source is caught, links and look-alikes are not sources, and a folder
// replaced between two checks is seen as it is now.
#include "rotate/entry_set.h"
#include "platform/paths.h"
#include "testing/scratch_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

bool IsWindows() { return IsPathSeparator('\\'); }

RealFileSystem realFiles;

class EntrySetTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root / "pool");
    fs::create_directories(root / "other");
    std::ofstream(root / "pool" / "a.txt") << "A";
  }
  // A path under the root as the program would write it.
  std::string At(const std::string& relative) const {
    std::string path = root.string() + (IsWindows() ? "\\" : "/") + relative;
    if (IsWindows()) {
      for (char& c : path) {
        if (c == '/') c = '\\';
      }
    }
    return path;
  }

  ScratchDirectory scratch{"kelvo-sources"};
  fs::path root = scratch.Path();
};

TEST_F(EntrySetTest, EverySpellingOfASourceIsCaught) {
  EntrySet sources(realFiles, {At("pool/a.txt")});
  EXPECT_TRUE(sources.Contains(At("pool/a.txt")));
  EXPECT_TRUE(sources.Contains(At("pool/./a.txt")));
  EXPECT_TRUE(sources.Contains(At("other/../pool/a.txt")));
  EXPECT_TRUE(sources.Contains(At("pool//a.txt")));
  EXPECT_FALSE(sources.Contains(At("pool/b.txt")));
  EXPECT_FALSE(sources.Contains(At("other/a.txt")));
  EXPECT_FALSE(sources.Contains(At("pool/a.tx")));
  // Names of an entry that does not exist yet are still that entry.
  EntrySet future(realFiles, {At("pool/later.txt")});
  EXPECT_TRUE(future.Contains(At("other/../pool/later.txt")));
}

TEST_F(EntrySetTest, CaseTrailingDotsStreamsAndShortNamesOnWindows) {
  EntrySet sources(realFiles, {At("pool/a.txt")});
  if (!IsWindows()) {
    EXPECT_FALSE(sources.Contains(At("pool/A.TXT")));
    EXPECT_FALSE(sources.Contains(At("pool/a.txt.")));
    return;
  }
  EXPECT_TRUE(sources.Contains(At("pool/A.TXT")));
  EXPECT_TRUE(sources.Contains(At("pool/a.txt.")));
  EXPECT_TRUE(sources.Contains(At("pool/a.txt. .")));
  EXPECT_TRUE(sources.Contains(At("pool/a.txt::$DATA")));
  EXPECT_TRUE(sources.Contains(At("pool/a.txt:stream")));
}

TEST_F(EntrySetTest, LinksToSourcesAreNotSources) {
  if (IsWindows()) GTEST_SKIP() << "symbolic links are a Linux case";
  fs::create_symlink(root / "pool" / "a.txt", root / "other" / "link.txt");
  fs::create_symlink(root / "pool", root / "poollink");
  EntrySet sources(realFiles, {At("pool/a.txt")});
  EXPECT_FALSE(sources.Contains(At("other/link.txt")));
  // A linked folder leads to the same folder: that is the source itself.
  EXPECT_TRUE(sources.Contains(At("poollink/a.txt")));
}

TEST_F(EntrySetTest, AFolderReplacedBetweenChecksIsSeenAsItIsNow) {
  if (IsWindows()) GTEST_SKIP() << "symbolic links are a Linux case";
  fs::create_symlink(root / "pool", root / "poollink");
  EntrySet sources(realFiles, {At("pool/a.txt")});
  EXPECT_TRUE(sources.Contains(At("poollink/a.txt")));
  // A deployment swaps the pool for a new folder.
  fs::rename(root / "pool", root / "pool.old");
  fs::create_directories(root / "pool");
  EXPECT_TRUE(sources.Contains(At("poollink/a.txt")));
  EXPECT_FALSE(sources.Contains(At("pool.old/a.txt")));
}

// A name's folder is looked at afresh every time: swapped for a link to the
// pool, it makes the name a source.
TEST_F(EntrySetTest, AFolderSwappedForALinkIsSeenAsItIsNow) {
  if (IsWindows()) GTEST_SKIP() << "symbolic links are a Linux case";
  EntrySet sources(realFiles, {At("pool/a.txt")});
  EXPECT_FALSE(sources.Contains(At("other/a.txt")));
  fs::rename(root / "other", root / "other.old");
  fs::create_symlink(root / "pool", root / "other");
  EXPECT_TRUE(sources.Contains(At("other/a.txt")));
  // A name no source has is none, wherever its folder leads.
  EXPECT_FALSE(sources.Contains(At("other/b.txt")));
  fs::remove(root / "other");
  fs::rename(root / "other.old", root / "other");
  EXPECT_FALSE(sources.Contains(At("other/a.txt")));
}

// On Linux "a:b" is a name like any other, not the drive "a:" and "b".
TEST_F(EntrySetTest, AColonIsNoDriveOnLinux) {
  if (IsWindows()) GTEST_SKIP() << "Windows has drive letters";
  std::ofstream(root / "a:b") << "B";
  fs::path before = fs::current_path();
  fs::current_path(root);
  EntrySet sources(realFiles, {"a:b"});
  bool caught = sources.Contains(At("a:b"));
  fs::current_path(before);
  EXPECT_TRUE(caught);
}

TEST_F(EntrySetTest, SameEntry) {
  EntrySet sources(realFiles, {});
  EXPECT_TRUE(sources.SameEntry(At("pool/a.txt"), At("other/../pool/a.txt")));
  EXPECT_FALSE(sources.SameEntry(At("pool/a.txt"), At("other/a.txt")));
  EXPECT_EQ(sources.SameEntry(At("pool/a.txt"), At("pool/A.txt")), IsWindows());
}

TEST_F(EntrySetTest, EntryKeyIsOnePerEntry) {
  EntrySet set(realFiles, {});
  const std::string key = set.EntryKey(At("pool/a.txt"));
  EXPECT_FALSE(key.empty());
  EXPECT_EQ(set.EntryKey(At("other/../pool/./a.txt")), key);
  EXPECT_EQ(set.EntryKey(At("pool/later.txt")), set.EntryKey(At("other/../pool/later.txt")));
  EXPECT_NE(set.EntryKey(At("other/a.txt")), key);
  EXPECT_EQ(set.EntryKey(At("pool/A.TXT")) == key, IsWindows());
  EXPECT_EQ(set.EntryKey(At("missing/a.txt")), "");
}

}  // namespace
