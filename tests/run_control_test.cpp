// End-to-end tests of the run as a whole: one run per folder, signals and a
// closed console, scripts saved with byte-order marks, logs that are not
// files, and a Shift_JIS locale with UTF-8 names.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testing/required_tools.h"
#include "tests/harness.h"

namespace {

bool IsWindows() { return TestedProgram().IsWindows(); }

RunOptions OneShot() { return WithArguments({"-oneshot"}); }

// Starts an endless run and reads until its first wait.
pid_t StartEndlessRun(const ScratchFolder& folder, int& output, std::string& console) {
  pid_t pid = folder.Start(RunOptions(), &output);
  EXPECT_TRUE(ReadUntil(output, "Waiting Interval", console, 30)) << console;
  return pid;
}

TEST(RunControl, SecondStartInTheSameFolderEndsAtOnce) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,1\nAddFile,a.txt,s\nAddFile,b.txt,s\n");
  folder.Write("s", "S");
  int output = -1;
  std::string console;
  pid_t first = StartEndlessRun(folder, output, console);
  std::string logBefore = folder.Read("purlolog.html");

  RunResult second = folder.Run(OneShot());
  EXPECT_EQ(second.exitStatus, 1);
  EXPECT_EQ(second.out, "");
  EXPECT_NE(second.err.find("kelvo: another run is working in "), std::string::npos) << second.err;

  // The first run's log is whole and still growing.
  double end = Seconds() + 20;
  while (folder.Read("purlolog.html").size() <= logBefore.size() + 200 && Seconds() < end) {
    ReadFor(output, console, 0.2);
  }
  std::string logAfter = folder.Read("purlolog.html");
  EXPECT_EQ(logAfter.compare(0, logBefore.size(), logBefore), 0);
  EXPECT_GT(logAfter.size(), logBefore.size() + 200);
  RequestProgramStop(first);
  RunResult result = Finish(first, output, 20, console);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(Join(ReportMessages(folder.Read("purlolog.html"))), result.out);
}

TEST(RunControl, KilledRunDoesNotBlockTheNext) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,1\nAddFile,a.txt,s\n");
  folder.Write("s", "S");
  int output = -1;
  std::string console;
  pid_t first = StartEndlessRun(folder, output, console);
  kill(first, SIGKILL);
  Finish(first, output, 20, console);
  RunResult next = folder.Run(OneShot());
  EXPECT_EQ(next.exitStatus, 0) << next.err;
  EXPECT_NE(next.out.find(" -> Done.\n"), std::string::npos) << next.out;
}

// A console that goes away (kelvo -oneshot | head -1) ends no pass.
TEST(RunControl, ClosedConsoleDoesNotStopThePass) {
  if (IsWindows()) GTEST_SKIP() << "SIGPIPE is a Linux case";
  ScratchFolder folder;
  std::string script = "SetInterval,5\n";
  for (int d = 0; d < 200; ++d) script += "AddFile,d" + std::to_string(d) + ".txt,s\n";
  folder.Write("kelvo.txt", script);
  folder.Write("s", "S");
  RunOptions options = OneShot();
  options.environmentPrefix = {"sh", "-c", "\"$0\" \"$@\" | head -c 1 >/dev/null; exit 0"};
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 0);
  for (int d = 0; d < 200; ++d) {
    EXPECT_EQ(folder.Read("d" + std::to_string(d) + ".txt"), "S") << d;
  }
  // Every record made it to the log although the console was gone.
  std::vector<std::string> logged = ReportMessages(folder.Read("purlolog.html"));
  EXPECT_EQ(logged.back(), " -> Done.\n");
}

TEST(RunControl, HangUpStopsCleanly) {
  if (IsWindows()) GTEST_SKIP() << "SIGHUP is a Linux case";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,1\nAddFile,a.txt,s\nAddFile,b.txt,s\n");
  folder.Write("s", "S");
  int output = -1;
  std::string console;
  pid_t pid = StartEndlessRun(folder, output, console);
  kill(pid, SIGHUP);
  RunResult result = Finish(pid, output, 20, console);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.signal, 0);
  EXPECT_FALSE(HasStagingFile(folder));
}

// Scripts as Windows editors save them read like the plain one.
TEST(RunControl, ScriptsWithByteOrderMarks) {
  const std::string plain =
      "SetInterval,60\r\nAddFile,a.txt,s\r\n// comment\r\nAddFile,b.txt,s\r\n";
  auto utf16 = [&](bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : plain) {
      bytes += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
    }
    return bytes;
  };
  ScratchFolder reference;
  reference.Write("kelvo.txt", plain);
  reference.Write("s", "S");
  RunResult expected = reference.Run(OneShot());
  ASSERT_EQ(expected.exitStatus, 0) << expected.out;
  auto withoutTimes = [](std::string out) {
    for (size_t at = out.find(", Replacing "); at != std::string::npos;
         at = out.find(", Replacing ", at + 1)) {
      out.replace(at - 8, 8, "HH:MM:SS");
    }
    return out;
  };
  for (const std::string& script : {"\xEF\xBB\xBF" + plain, utf16(false), utf16(true)}) {
    ScratchFolder folder;
    folder.Write("kelvo.txt", script);
    folder.Write("s", "S");
    RunResult result = folder.Run(OneShot());
    EXPECT_EQ(result.exitStatus, 0) << result.out;
    std::string out = withoutTimes(result.out);
    std::string wanted = withoutTimes(expected.out);
    // The folders differ in name only.
    size_t at = 0;
    while ((at = wanted.find(reference.NativeAt(""), at)) != std::string::npos) {
      wanted.replace(at, reference.NativeAt("").size(), folder.NativeAt(""));
      at += folder.NativeAt("").size();
    }
    EXPECT_EQ(out, wanted);
    EXPECT_EQ(folder.Read("a.txt"), "S");
    EXPECT_EQ(folder.Read("b.txt"), "S");
  }
}

// A UTF-8 script with its mark names files in UTF-8, on Windows too.
TEST(RunControl, Utf8ScriptWithMarkKeepsNonAsciiNames) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "\xEF\xBB\xBFSetInterval,5\r\nAddFile,d\xC3\xA9.txt,s\r\n");
  folder.Write("s", "S");
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(folder.Read("d\xC3\xA9.txt"), "S");
}

// A log sent to /dev/null is written there, not emptied; a FIFO that nobody
// reads does not hold the start.
TEST(RunControl, LogsThatAreNoFiles) {
  if (IsWindows()) GTEST_SKIP() << "links and FIFOs are a Linux case";
  {
    ScratchFolder folder;
    folder.Write("kelvo.txt", "SetInterval,5\nAddFile,a.txt,s\n");
    folder.Write("s", "S");
    ASSERT_EQ(symlink("/dev/null", folder.At("purlolog.html").c_str()), 0);
    RunResult result = folder.Run(OneShot());
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(folder.Read("a.txt"), "S");
    struct stat info;
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
  }
  {
    ScratchFolder folder;
    folder.Write("kelvo.txt", "SetInterval,5\nAddFile,a.txt,s\n");
    folder.Write("s", "S");
    ASSERT_EQ(mkfifo(folder.At("purlolog.html").c_str(), 0644), 0);
    RunOptions options = OneShot();
    options.timeoutSeconds = 10;
    double start = Seconds();
    RunResult result = folder.Run(options);
    EXPECT_LT(Seconds() - start, 5);
    // A log that cannot be written is fatal, as it always was.
    EXPECT_EQ(result.exitStatus, 3);
    EXPECT_FALSE(folder.Exists("a.txt"));
  }
}

// Memory runs out while a large script is read: a clear message and status
// 1, and no file touched.
TEST(RunControl, OutOfMemoryBeforeAnyFileIsTouched) {
  if (IsWindows()) GTEST_SKIP() << "the memory limit is set by a Unix shell";
  if (std::getenv("ASAN_OPTIONS") != nullptr) GTEST_SKIP() << "a sanitizer needs its memory";
  ScratchFolder folder;
  std::string script = "SetInterval,5\n";
  for (int d = 0; d < 300000; ++d) {
    script += "AddFile,dest" + std::to_string(d) + ".txt,a_source_with_a_long_name.txt\n";
  }
  folder.Write("kelvo.txt", script);
  folder.Write("dest0.txt", "old");
  RunOptions options = OneShot();
  options.environmentPrefix = {"sh", "-c", "ulimit -v 60000; exec \"$0\" \"$@\""};
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_NE(result.err.find("kelvo: out of memory\n"), std::string::npos) << result.err;
  EXPECT_EQ(result.out.find("Starting Loop."), std::string::npos);
  EXPECT_EQ(folder.Read("dest0.txt"), "old");
}

// In a Shift_JIS locale, bytes of UTF-8 names can look like lead bytes: a
// lead byte before a "/" must not hide the separator.
TEST(RunControl, ShiftJisLocaleWithUtf8Names) {
  if (IsWindows()) GTEST_SKIP() << "the locale is a Linux case";
  ScratchFolder folder;
  std::vector<std::string> shiftJis = ShiftJisLocalePrefix(folder);
  if (shiftJis.empty()) SKIP_FOR_MISSING_TOOL("cannot make a Shift_JIS locale here");
  const std::string program = "kelvo\xE3\x81\x82";  // "kelvo" and HIRAGANA A in UTF-8
  folder.Write(program + "/kelvo.txt", "SetInterval,5\nAddFile,a.x\xE3\x81\x82/title,s\n");
  folder.Write(program + "/s", "S");
  folder.Write(program + "/a.x\xE3\x81\x82/title", "old");
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,decoy.txt,s\n");
  ASSERT_EQ(
      system(
          ("cp '" + TestedProgram().executable + "' '" + folder.At(program) + "/kelvo'").c_str()),
      0);
  RunOptions options = OneShot();
  options.environmentPrefix = shiftJis;
  options.environmentPrefix.insert(
      options.environmentPrefix.end(),
      {"sh", "-c", "exec '" + folder.At(program) + "/kelvo' -oneshot"});
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_TRUE(folder.Exists(program + "/purlolog.html"));
  EXPECT_FALSE(folder.Exists("purlolog.html"));
  EXPECT_FALSE(folder.Exists("decoy.txt"));
  EXPECT_EQ(folder.Read(program + "/a.x\xE3\x81\x82/title"), "S");
  EXPECT_EQ(folder.Read(program + "/a.x\xE3\x81\x82/title.tmp"), "old");
  EXPECT_FALSE(folder.Exists(program + "/a.tmp"));
}

// A script in UTF-16 becomes UTF-8 on Linux and is split as UTF-8 text in
// any locale: in a Shift_JIS one, the last byte of a character before a
// comma must not take the comma as its second byte.
TEST(RunControl, Utf16ScriptRunsAlikeInShiftJisAndUtf8Locales) {
  if (IsWindows()) GTEST_SKIP() << "the locale is a Linux case";
  const std::string hiraganaA = "\xE3\x81\x82";
  std::string script = "\xFF\xFE";  // little-endian, as Notepad saves it
  for (char c : std::string("SetInterval,5\r\nAddFile,title#,s\r\n")) {
    // '#' stands for HIRAGANA A, U+3042.
    script += c == '#' ? std::string("\x42\x30") : std::string(1, c) + '\0';
  }
  for (const char* locale : {"C.UTF-8", "ja_JP.SJIS"}) {
    SCOPED_TRACE(locale);
    ScratchFolder folder;
    RunOptions options = OneShot();
    if (std::string(locale) == "C.UTF-8") {
      options.environmentPrefix = {"env", "LC_ALL=C.UTF-8"};
    } else {
      options.environmentPrefix = ShiftJisLocalePrefix(folder);
      if (options.environmentPrefix.empty())
        SKIP_FOR_MISSING_TOOL("cannot make a Shift_JIS locale here");
    }
    folder.Write("kelvo.txt", script);
    folder.Write("s", "S");
    RunResult result = folder.Run(options);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_EQ(folder.Read("title" + hiraganaA), "S");
    // kelvo-check reads it alike.
    options.checker = true;
    options.arguments.clear();
    result = folder.Run(options);
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_NE(result.out.find("title" + hiraganaA), std::string::npos) << result.out;
  }
}

}  // namespace
