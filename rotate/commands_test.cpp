// Tests of the script commands: what each line does to the run settings.
#include "rotate/commands.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/paths.h"
#include "rotate/cycle.h"
#include "script/string_list.h"
#include "testing/scratch_directory.h"

namespace {

// Interprets a script given as text, as the program reads it from its file.
class Script : public testing::Test {
 protected:
  RunSettings& Interpret(const std::string& text) {
    const std::string path = scratch.Write("kelvo.txt", text);
    StringList lines;
    lines.LoadFile(path.c_str(), true);
    testing::internal::CaptureStdout();
    InterpretScript(lines, settings);
    printed = testing::internal::GetCapturedStdout();
    return settings;
  }

  std::vector<std::string> Visit() const {
    std::vector<std::string> order;
    settings.Table.ForEach([&](const std::string& destination, const std::vector<std::string>&) {
      order.push_back(destination);
    });
    return order;
  }

  ScratchDirectory scratch{"kelvo-commands"};
  RunSettings settings;
  std::string printed;
};

TEST_F(Script, AddFileBuildsTheTableInVisitingOrder) {
  Interpret(
      "AddFile,title.ogg,a.ogg\n"
      "AddFile, title.ogg , b.ogg\n"
      "AddFile,title.ogg,a.ogg\n"
      "AddFile,Title.ogg,c.ogg\n"
      "AddFile,a,x\nAddFile,ab,y\nAddFile,02,z\n");
  EXPECT_EQ(printed, " -> Done.\n");
  ASSERT_NE(settings.Table.Find("title.ogg"), nullptr);
  // Duplicates count twice; order of the lines is kept.
  EXPECT_EQ(*settings.Table.Find("title.ogg"),
            (std::vector<std::string>{"a.ogg", "b.ogg", "a.ogg"}));
  EXPECT_EQ(*settings.Table.Find("Title.ogg"), (std::vector<std::string>{"c.ogg"}));
  EXPECT_EQ(settings.Table.GetCount(), 5u);
  // ab (bucket 4) before a and 02 (bucket 97, 02 added later, so in front).
  std::vector<std::string> order = Visit();
  auto at = [&](const char* name) { return std::find(order.begin(), order.end(), name); };
  EXPECT_LT(at("ab"), at("02"));
  EXPECT_LT(at("02"), at("a"));
}

TEST_F(Script, SettingsTakeTheLastLineWhereverItStands) {
  Interpret(
      "SetInterval,600\n"
      "AddFile,d,s\n"
      "SetSourcePath,C:\\pool\\\n"
      "SetDestinationPath,first\n"
      "SetDestinationPath,second\n"
      "SetSourcePath,\"quoted, path\"\n"
      "SetInterval,60\n");
  EXPECT_EQ(settings.Interval, 60000);
  EXPECT_EQ(settings.DestinationPath, "second");
  // Quotes stay in the value; the comma inside them does not cut.
  EXPECT_EQ(settings.SourcePath, "\"quoted, path\"");
}

TEST_F(Script, UnknownAndMiscasedCommandsAreSkipped) {
  Interpret("addfile,d,s\nADDFILE,d,s\nAddFiles,d,s\nSetInterval 5\nRemark\nSetInterval,7\n");
  EXPECT_EQ(settings.Table.GetCount(), 0u);
  EXPECT_EQ(settings.Interval, 7000);
  EXPECT_EQ(printed, " -> Done.\n");
}

TEST_F(Script, IntervalValuesConvertAsNumbersDo) {
  struct Case {
    const char* value;
    int32_t seconds;
  };
  for (Case c : {Case{"1.5", 1}, Case{"15sec", 15}, Case{"abc", 0}, Case{"", 0}, Case{"-5", -5},
                 Case{" +42", 42}, Case{"2147483", 2147483}}) {
    RunSettings& result = Interpret(std::string("SetInterval,") + c.value + "\n");
    EXPECT_EQ(result.Interval, int64_t{c.seconds} * 1000) << c.value;
  }
}

TEST_F(Script, IntervalChecksRefuseZeroAndOutOfRange) {
  struct Case {
    const char* script;
    bool usable;
    const char* message;
  };
  for (Case c : {Case{"", false, "Error, Interval equal 0.\n"},
                 Case{"SetInterval,0\n", false, "Error, Interval equal 0.\n"},
                 Case{"SetInterval,2147484\n", false,
                      "Error, Interval 2147484sec is out of range (1 to 2147483sec).\n"},
                 Case{"SetInterval,-1\n", false,
                      "Error, Interval -1sec is out of range (1 to 2147483sec).\n"},
                 Case{"SetInterval,1\n", true, ""}}) {
    settings.Interval = 0;
    settings.IntervalText.clear();
    Interpret(c.script);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckInterval(settings), c.usable) << c.script;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
  }
}

// The fatal message reaches standard error on Linux; Windows shows it in a
// message box instead.
std::string OnStandardError(const char* message) { return IsPathSeparator('\\') ? "" : message; }

TEST_F(Script, LinesWithTooFewValuesEndTheProgram) {
  EXPECT_EXIT(Interpret("AddFile,only-destination\n"), testing::ExitedWithCode(3),
              OnStandardError("GetValue - Invalid ID"));
  EXPECT_EXIT(Interpret("SetInterval\n"), testing::ExitedWithCode(3),
              OnStandardError("GetValueInt - Invalid ID"));
  EXPECT_EXIT(Interpret("SetDestinationPath\n"), testing::ExitedWithCode(3),
              OnStandardError("GetValue - Invalid ID"));
}

TEST(ResolvePath, BaseFolderOrProgramFolderUnlessAbsolute) {
  const std::string absolute = IsPathSeparator('\\') ? "C:\\x" : "/x";
  EXPECT_EQ(ResolvePath(absolute, "base", "prog/"), absolute);
  EXPECT_EQ(ResolvePath("a.ogg", "D:\\pool", "prog/"), "D:\\poola.ogg");
  EXPECT_EQ(ResolvePath("a.ogg", "", "prog/"), "prog/a.ogg");
  // Names that look absolute elsewhere are relative here.
  for (const char* name : {"C:x", "C:/x", "\\x", "\\\\server\\share\\x"}) {
    EXPECT_EQ(ResolvePath(name, "", "prog/"), std::string("prog/") + name) << name;
  }
}

}  // namespace
