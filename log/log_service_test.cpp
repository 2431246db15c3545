// Tests of the log service: record format, the log file, assertions, path
// splitting and extension replacement.
#include "log/log_service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/paths.h"
#include "script/string_list.h"
#include "testing/required_tools.h"
#include "testing/scratch_directory.h"

namespace fs = std::filesystem;

namespace {

// The platform's own separator, so paths split the same way on both builds.
const std::string kSep = IsPathSeparator('\\') ? "\\" : "/";

// The path with its extension (from the last dot after the directory)
// replaced, or with it appended where there is none: how a companion is named.
std::string ReplaceExtension(std::string path, const char* extension,
                             LeadByteTest isLeadByte = IsSystemLeadByte) {
  return path.replace(CutPath(path, isLeadByte).nameEnd, std::string::npos, extension);
}

std::string P(const std::string& path) {
  std::string native = path;
  for (char& c : native) {
    if (c == '|') c = kSep[0];
  }
  return native;
}

class LogFolder : public testing::Test {
 protected:
  std::string ReadLog() const { return scratch.Read("purlolog.html"); }
  // An earlier run's log.
  void WriteOldLog() const { std::ofstream(folder / "purlolog.html") << oldLog; }

  const std::string oldLog = "old content" + std::string(1 << 17, '~');

  ScratchDirectory scratch{"kelvo-log"};
  fs::path folder = scratch.Path();
  std::string directory = folder.string() + kSep;
};

TEST(FormatRecord, LabelMessageDetailAndEnding) {
  EXPECT_EQ(FormatRecord("Report", "Starting Loop.\n", nullptr), "Report: Starting Loop.\n<br>\n");
  // An empty detail is still a detail: it adds the tab.
  EXPECT_EQ(FormatRecord("Assert", "GetValue - Invalid ID", ""),
            "Assert: GetValue - Invalid ID\t<br>\n");
  EXPECT_EQ(FormatRecord("Report", "m", "d"), "Report: m\td<br>\n");
  EXPECT_EQ(FormatRecord("Report", "100% %s %d %n <b>", nullptr),
            "Report: 100% %s %d %n <b><br>\n");
}

TEST(FormatRecord, LongRecordsAreCutAt1023Bytes) {
  std::string record = FormatRecord("Report", std::string(1100, 'x').c_str(), nullptr);
  EXPECT_EQ(record.size(), 1023u);
  EXPECT_EQ(record, "Report: " + std::string(1015, 'x'));
  // Exactly fitting: 8 + 1010 + 5 bytes keep the ending.
  EXPECT_EQ(FormatRecord("Report", std::string(1010, 'y').c_str(), nullptr).size(), 1023u);
  EXPECT_EQ(FormatRecord("Report", std::string(1010, 'y').c_str(), nullptr).substr(1018), "<br>\n");
}

TEST_F(LogFolder, ConstructionEmptiesTheLogAndWritesTheEnvironment) {
  for (const std::string& old : {std::string("old content"), oldLog}) {
    std::ofstream(folder / "purlolog.html") << old;
    {
      LogService log(directory);
      EXPECT_FALSE(log.enabled);
      EXPECT_EQ(log.programDirectory, directory);
    }
    std::string content = ReadLog();
    ASSERT_GE(content.size(), 25u);
    EXPECT_EQ(content.substr(content.size() - 25), "Report: CPU: Unknown<br>\n");
    EXPECT_EQ(content.find("old content"), std::string::npos);
  }
}

TEST_F(LogFolder, ReportWritesOnlyWhileEnabledAndOnlyRealMessages) {
  LogService log(directory);
  std::string start = ReadLog();
  log.Report("hidden", nullptr);
  EXPECT_EQ(ReadLog(), start);
  log.enabled = true;
  log.Report(nullptr, nullptr);
  log.Report("", "detail");
  EXPECT_EQ(ReadLog(), start);
  log.Report("one", nullptr);
  log.Report(std::string(1100, 'z').c_str(), nullptr);
  log.Report("two", "");
  EXPECT_EQ(ReadLog(), start + "Report: one<br>\n" + "Report: " + std::string(1015, 'z') +
                           "Report: two\t<br>\n");
}

TEST_F(LogFolder, AppendToFileCreatesAppendsAndEmpties) {
  LogService log(directory);
  EXPECT_TRUE(log.AppendToFile("other.txt", "a"));
  EXPECT_TRUE(log.AppendToFile("other.txt", "b"));
  std::ifstream in(folder / "other.txt");
  std::string content;
  in >> content;
  EXPECT_EQ(content, "ab");
  EXPECT_TRUE(log.AppendToFile("other.txt", nullptr));
  EXPECT_EQ(fs::file_size(folder / "other.txt"), 0u);
  EXPECT_FALSE(log.AppendToFile("missing-folder/x.txt", "a"));
}

TEST_F(LogFolder, AssertWritesItsRecordEvenWhenDisabledAndEndsWithStatus3) {
  WriteOldLog();
  EXPECT_EXIT(
      {
        LogService log(directory);
        log.enabled = false;
        log.Assert("GetValue - Invalid ID", "");
      },
      testing::ExitedWithCode(3), "");
  std::string content = ReadLog();
  const std::string record = "Assert: GetValue - Invalid ID\t<br>\n";
  ASSERT_GE(content.size(), record.size());
  EXPECT_EQ(content.substr(content.size() - record.size()), record);
  EXPECT_EQ(content.find("old content"), std::string::npos);
  EXPECT_NE(content.find("Report: CPU: Unknown<br>\n"), std::string::npos);
}

// A log that takes the open and the lock but then refuses to be emptied
// (an append-only file) ends the run as a locked log does, with why, and is
// left as it was.
TEST_F(LogFolder, ALogThatCannotBeEmptiedEndsTheRunAndIsLeftAsItWas) {
#ifdef _WIN32
  GTEST_SKIP() << "no append-only files on Windows";
#else
  WriteOldLog();
  std::string log = (folder / "purlolog.html").string();
  std::string protect = "chattr +a '" + log + "' 2>/dev/null";
  if (!HaveCommand("chattr")) SKIP_FOR_MISSING_TOOL("chattr missing");
  if (std::system(protect.c_str()) != 0) {
    GTEST_SKIP() << "chattr cannot make a file append-only here";
  }
  EXPECT_EXIT({ LogService service(directory); }, testing::ExitedWithCode(3),
              "kelvo: cannot empty .*purlolog.html: Operation not permitted.*Log File is Locked");
  EXPECT_EQ(std::system(("chattr -a '" + log + "'").c_str()), 0);
  EXPECT_TRUE(ReadLog() == oldLog);
#endif
}

TEST(ReplaceExtension, ReplacesOrAppendsTheLastExtension) {
  struct Case {
    const char* path;
    const char* expected;
  };
  for (Case c : {Case{"C:|Sound|title.ogg", "C:|Sound|title.tmp"},
                 Case{"C:|Sound|title", "C:|Sound|title.tmp"}, Case{"a.b.ogg", "a.b.tmp"},
                 Case{".ogg", ".tmp"}, Case{"archive.tar.gz", "archive.tar.tmp"},
                 Case{"C:|My.Sound|title", "C:|My.Sound|title.tmp"},
                 Case{"C:|data.d|title", "C:|data.d|title.tmp"}, Case{"", ".tmp"},
                 Case{"dir.d|", "dir.d|.tmp"}}) {
    std::string path = P(c.path);
    EXPECT_EQ(ReplaceExtension(path, ".tmp", IsCodePage932LeadByte), P(c.expected)) << c.path;
  }
  // No cut of long parts: a cut would name another file.
  std::string longPath = P("|" + std::string(300, 'd') + "|" + std::string(300, 'n') + ".ogg");
  EXPECT_EQ(ReplaceExtension(longPath, ".tmp"),
            P("|" + std::string(300, 'd') + "|" + std::string(300, 'n') + ".tmp"));
}

TEST(ReplaceExtension, DoubleByteNamesStayWhole) {
  // 0x95 0x5C is one character whose second byte equals a backslash.
  std::string name = "C:\\\x95\\.ogg";
  EXPECT_EQ(ReplaceExtension(name, ".tmp", IsCodePage932LeadByte), "C:\\\x95\\.tmp");
  // Its 0x5C byte does not end a directory, so the dot before it starts the
  // extension (on Windows a separator would otherwise make "c" the name).
  std::string dotted = "a.b\x95\\c";
  EXPECT_EQ(ReplaceExtension(dotted, ".tmp", IsCodePage932LeadByte), "a.tmp");
}

// A lead byte pairs only with a byte that can follow it (0x40 and above):
// UTF-8 names read as Shift_JIS keep every "/" (a backslash, 0x5C, can be a
// second byte, so on Windows the pair stays a character).
TEST(SplitPath, LeadByteBeforeASeparatorStandsAlone) {
  const char separator = '/';
  std::string folder = std::string("kelvo\xE3\x81\x82") + separator;
  EXPECT_EQ(FolderOf(folder + "kelvo", IsCodePage932LeadByte), folder);
  std::string name = std::string("a.x\xE3\x81\x82") + separator + "title";
  EXPECT_EQ(ReplaceExtension(name, ".tmp", IsCodePage932LeadByte),
            std::string("a.x\xE3\x81\x82") + separator + "title.tmp");
  // A lead byte at the very end stands alone too.
  std::string last = std::string("x.y\x82");
  EXPECT_EQ(ReplaceExtension(last, ".tmp", IsCodePage932LeadByte), "x.tmp");
}

TEST(SplitPath, DoubleByteSecondByteIsNoSeparator) {
  // Only the Windows build takes a backslash for a separator.
  if (!IsPathSeparator('\\')) GTEST_SKIP() << "backslash is no separator here";
  std::string path = "C:\\Tools\\\x95\\dir\\\x95\\app.exe";
  EXPECT_EQ(FolderOf(path, IsCodePage932LeadByte), "C:\\Tools\\\x95\\dir\\");
  // Without double-byte awareness the 0x5C byte would end the directory.
  EXPECT_EQ(FolderOf(path, [](unsigned char) { return false; }), "C:\\Tools\\\x95\\dir\\\x95\\");
  const std::string split = "C:\\a\\b.c\\name.ext";
  const PathCut cut = CutPath(split, IsCodePage932LeadByte);
  EXPECT_EQ(split.substr(0, cut.driveEnd), "C:");
  EXPECT_EQ(split.substr(cut.driveEnd, cut.directoryEnd - cut.driveEnd), "\\a\\b.c\\");
  EXPECT_EQ(split.substr(cut.directoryEnd, cut.nameEnd - cut.directoryEnd), "name");
  EXPECT_EQ(split.substr(cut.nameEnd), ".ext");
}

TEST(SplitPath, ProgramDirectoryEndsInItsSeparator) {
  EXPECT_EQ(FolderOf(P("|opt|kelvo|kelvo")), P("|opt|kelvo|"));
  EXPECT_EQ(FolderOf(P("|" + std::string(400, 'x') + "|k")), P("|" + std::string(400, 'x') + "|"));
  std::string directory;
  GetProgramDirectory(directory);
  ASSERT_FALSE(directory.empty());
  EXPECT_TRUE(IsPathSeparator(directory.back()));
  EXPECT_TRUE(FileExists(directory.c_str()));
}

}  // namespace
