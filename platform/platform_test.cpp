// Tests of the platform services on a real disk: presence test, clock text,
// file identity, the copy and the swap of a replacement.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Removes a folder even when it holds read-only files, which a copy of a
// read-only source makes on Windows.
void RemoveTree(const fs::path& folder) {
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
  }
  fs::remove_all(folder, error);
}

class PlatformFiles : public testing::Test {
 protected:
  void SetUp() override {
    folder =
        fs::temp_directory_path() / (std::string("kelvo-platform-") +
                                     testing::UnitTest::GetInstance()->current_test_info()->name());
    RemoveTree(folder);
    fs::create_directories(folder);
  }
  void TearDown() override { RemoveTree(folder); }

  std::string At(const char* name) const { return (folder / name).string(); }
  void Write(const char* name, const std::string& content) const {
    std::ofstream(folder / name, std::ios::binary) << content;
  }
  std::string Read(const char* name) const {
    std::ifstream in(folder / name, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  fs::path folder;
};

TEST_F(PlatformFiles, FileExistsForAnyObjectOnly) {
  Write("file", "x");
  EXPECT_TRUE(FileExists(At("file").c_str()));
  EXPECT_TRUE(FileExists(folder.string().c_str()));
  EXPECT_FALSE(FileExists(""));
  EXPECT_FALSE(FileExists(nullptr));
  EXPECT_FALSE(FileExists(At("no-such-folder/file").c_str()));
}

TEST(CurrentTimeText, EightCharactersOfTwoDigitFields) {
  char buffer[16];
  std::memset(buffer, 'z', sizeof buffer);
  EXPECT_EQ(CurrentTimeText(buffer), buffer);
  ASSERT_EQ(std::strlen(buffer), 8u);
  for (int i : {0, 1, 3, 4, 6, 7}) EXPECT_TRUE(buffer[i] >= '0' && buffer[i] <= '9') << buffer;
  EXPECT_EQ(buffer[2], ':');
  EXPECT_EQ(buffer[5], ':');
  EXPECT_LE(std::atoi(buffer), 23);
  EXPECT_LE(std::atoi(buffer + 3), 59);
  EXPECT_LE(std::atoi(buffer + 6), 60);
}

TEST_F(PlatformFiles, CopyKeepsContentAndModificationTime) {
  std::string content(3 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
  Write("source", content);
  auto old = fs::file_time_type::clock::now() - std::chrono::hours(50);
  fs::last_write_time(folder / "source", old);
  Write("target", "to be replaced, and longer than nothing");
  ASSERT_TRUE(CopyFileTo(At("source"), At("target")));
  EXPECT_EQ(Read("target"), content);
  auto copied = fs::last_write_time(folder / "target");
  EXPECT_LT(std::chrono::abs(copied - old), std::chrono::seconds(2));
  EXPECT_EQ(Read("source"), content);

  Write("empty", "");
  ASSERT_TRUE(CopyFileTo(At("empty"), At("target")));
  EXPECT_EQ(Read("target"), "");
}

TEST_F(PlatformFiles, CopyFailsForMissingSourcesAndFolders) {
  EXPECT_FALSE(CopyFileTo(At("absent"), At("target")));
  fs::create_directories(folder / "sub");
  EXPECT_FALSE(CopyFileTo(At("sub"), At("target")));
}

TEST_F(PlatformFiles, CopyReadsPseudoFilesToTheirEnd) {
  std::error_code error;
  if (IsPathSeparator('\\') || !fs::exists("/proc/self/status", error)) {
    GTEST_SKIP() << "no /proc here";
  }
  // /proc reports a size of 0: the copy must read to the end regardless.
  ASSERT_TRUE(CopyFileTo("/proc/self/status", At("status")));
  EXPECT_NE(Read("status").find("Name:"), std::string::npos);
}

TEST_F(PlatformFiles, SwapKeepsTheOldFileUnderTheCompanion) {
  Write("dest", "old");
  Write("stage", "new");
  EXPECT_EQ(SwapIntoPlace(At("stage"), At("dest"), At("dest.tmp")), SwapResult::Replaced);
  EXPECT_EQ(Read("dest"), "new");
  EXPECT_EQ(Read("dest.tmp"), "old");
  EXPECT_FALSE(fs::exists(folder / "stage"));

  Write("stage", "first");
  EXPECT_EQ(SwapIntoPlace(At("stage"), At("fresh"), At("fresh.tmp")),
            SwapResult::DestinationMissing);
  EXPECT_EQ(Read("fresh"), "first");
  EXPECT_FALSE(fs::exists(folder / "fresh.tmp"));
}

TEST_F(PlatformFiles, FailedSwapChangesNothing) {
  Write("dest", "old");
  // The staged file is missing: nothing may move.
  EXPECT_EQ(SwapIntoPlace(At("stage"), At("dest"), At("dest.tmp")), SwapResult::Failed);
  EXPECT_EQ(Read("dest"), "old");
  EXPECT_FALSE(fs::exists(folder / "dest.tmp"));
}

TEST_F(PlatformFiles, IdentityTellsNamesOfOneFileApart) {
  Write("a", "1");
  Write("b", "1");
  FileIdentity a = GetFileIdentity(At("a"));
  FileIdentity b = GetFileIdentity(At("b"));
  ASSERT_TRUE(a.valid);
  ASSERT_TRUE(b.valid);
  EXPECT_FALSE(a.device == b.device && a.node == b.node);
  FileIdentity again = GetFileIdentity((folder / "." / "a").string());
  EXPECT_TRUE(again.valid && again.device == a.device && again.node == a.node);
  EXPECT_FALSE(GetFileIdentity(At("absent")).valid);
}

TEST_F(PlatformFiles, AppendFileCreatesEmptiesAndAppends) {
  EXPECT_TRUE(AppendFile(At("log"), "one"));
  EXPECT_TRUE(AppendFile(At("log"), "two"));
  EXPECT_EQ(Read("log"), "onetwo");
  EXPECT_TRUE(AppendFile(At("log"), nullptr));
  EXPECT_EQ(Read("log"), "");
  EXPECT_FALSE(AppendFile(At("absent-folder/log"), "x"));
}

}  // namespace
