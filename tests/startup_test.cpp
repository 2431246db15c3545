// End-to-end tests of start-up, the log file, the script's fatal lines and
// the interval checks, run against the real executable.
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>

#include "testing/required_tools.h"
#include "tests/harness.h"

namespace {

const char kBanner[] = "kelvo - random file rotation. Build 100.\n";
// The request above every fatal message, as a Linux console shows it.
const char kUploadRequestInEnglish[] =
    "To solve the problem, please help by uploading purlolog.html.";
const char kUploadRequestInUtf8[] =
    "\u554f\u984c\u89e3\u6c7a\u306e\u305f\u3081\u3001purlolog.html\u306e\u30a2\u30c3\u30d7"
    "\u30ed\u30fc\u30c9\u306b\u3054\u5354\u529b\u4e0b\u3055\u3044\u3002";

std::string Record(const std::string& message) { return "Report: " + message + "<br>\n"; }

// Every console message is one record, in order, and nothing else is logged.
void ExpectLogMirrorsConsole(const ScratchFolder& folder, const RunResult& result) {
  std::string log = folder.Read("purlolog.html");
  EXPECT_EQ(Join(ReportMessages(log)), result.out);
}

TEST(Startup, MissingScriptReportsAndEndsWithStatusOne) {
  ScratchFolder folder;
  folder.Write("purlolog.html", "left over from an earlier run\n");
  RunResult result = folder.Run();
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.out,
            std::string(kBanner) + "Parsing Script -> Error, Master Script File is not Found.\n");
  // Where kelvo looked, and why there: the harness starts it in "/".
  EXPECT_EQ(
      result.err.rfind(
          "kelvo: no kelvo.txt in " + folder.NativeAt("") + ", the folder this program is in", 0),
      0u)
      << result.err;

  std::string log = folder.Read("purlolog.html");
  std::string environment = EnvironmentRecords(log);
  ASSERT_FALSE(environment.empty()) << log;
  EXPECT_EQ(log.substr(environment.size()),
            Record(kBanner) + Record("Parsing Script") +
                Record(" -> Error, Master Script File is not Found.\n"));
}

// Help and version are answered, and any other argument refused, before the
// run takes its folder: no log, no replacement, no lock.
TEST(Startup, OptionsOtherThanOneShotTouchNothing) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    const char* out;  // what standard output starts with
    const char* err;  // what standard error starts with
  };
  const Case cases[] = {
      {{"--help"}, 0, "usage: kelvo [-oneshot]\n", ""},
      {{"-h"}, 0, "usage: kelvo [-oneshot]\n", ""},
      {{"/?"}, 0, "usage: kelvo [-oneshot]\n", ""},
      {{"--version"}, 0, "kelvo 1.0.100.1 (build 100)\n", ""},
      {{"-V"}, 0, "kelvo 1.0.100.1 (build 100)\n", ""},
      {{"--oneshot"}, 1, "", "kelvo: unknown option '--oneshot'\nusage: kelvo [-oneshot]\n"},
      {{"-Oneshot"}, 1, "", "kelvo: unknown option '-Oneshot'\n"},
      {{"/oneshot"}, 1, "", "kelvo: unknown option '/oneshot'\n"},
      {{"-ONESHOT"}, 1, "", "kelvo: unknown option '-ONESHOT'\n"},
      {{"-oneshot "}, 1, "", "kelvo: unknown option '-oneshot '\n"},
      {{"-oneshot", "-x"}, 1, "", "kelvo: unknown option '-x'\n"},
      {{"--help", "-oneshot"}, 1, "", "kelvo: unknown option '-oneshot'\n"},
  };
  for (const Case& c : cases) {
    ScratchFolder folder;
    folder.Write("kelvo.txt", "SetInterval,60\nAddFile,d.txt,s.txt\n");
    folder.Write("d.txt", "old");
    folder.Write("s.txt", "new");
    std::vector<std::string> before = folder.List();
    RunResult result = folder.Run(WithArguments(c.arguments));
    SCOPED_TRACE(c.arguments.front());
    std::vector<std::string> after = folder.List();
    after.erase(std::remove(after.begin(), after.end(), ".stderr"), after.end());
    EXPECT_EQ(result.exitStatus, c.status);
    EXPECT_EQ(result.out.rfind(c.out, 0), 0u) << result.out;
    // Windows ends lines with CR LF, and Wine may add lines of its own.
    std::string err = result.err;
    err.erase(std::remove(err.begin(), err.end(), '\r'), err.end());
    EXPECT_NE(err.find(c.err), std::string::npos) << result.err;
    EXPECT_EQ(after, before);
    EXPECT_EQ(folder.Read("d.txt"), "old");
  }
}

TEST(Startup, EnvironmentRecordsOpenTheLog) {
  ScratchFolder folder;
  folder.Run();
  std::string environment = EnvironmentRecords(folder.Read("purlolog.html"));
  ASSERT_FALSE(environment.empty());
  const std::string cpu = Record("CPU: Unknown");
  std::string adapters = environment.substr(0, environment.size() - cpu.size());
  // Whatever adapters the machine has, each is one "GPU: " record.
  size_t at = 0;
  while (at < adapters.size()) {
    ASSERT_EQ(adapters.compare(at, 13, "Report: GPU: "), 0) << adapters;
    at = adapters.find("<br>\n", at);
    ASSERT_NE(at, std::string::npos);
    at += 5;
  }
  if (TestedProgram().IsWindows()) {
    EXPECT_EQ(adapters.rfind("Report: GPU: ", 0), 0u);
  }
}

// The script is looked for beside the program, not in the current folder;
// one that sets no interval, or a folder under its name, ends the run once
// it is parsed.
TEST(Startup, ScriptBesideTheProgramWithoutAnIntervalEndsAfterParsing) {
  // The one file in the folder beside the program, by name, and its content.
  for (const auto& [written, content] : std::vector<std::pair<std::string, std::string>>{
           {"kelvo.txt", "// nothing but a comment\n\n"}, {"kelvo.txt/inside", ""}}) {
    SCOPED_TRACE(written);
    ScratchFolder folder;
    // The harness starts the program with "/" as its current folder.
    folder.Write(written, content);
    RunResult result = folder.Run(WithArguments({"-oneshot"}));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.out,
              std::string(kBanner) + "Parsing Script -> Done.\nError, Interval equal 0.\n");
    EXPECT_EQ(result.err.rfind("kelvo: " + folder.NativeAt("kelvo.txt") + " sets no interval", 0),
              0u)
        << result.err;
    ExpectLogMirrorsConsole(folder, result);
  }
}

TEST(Startup, IntervalOutOfRangeEndsBeforeAnyFileIsTouched) {
  for (const char* value : {"2147484", "-5", "99999999999"}) {
    ScratchFolder folder;
    folder.Write("kelvo.txt", std::string("SetInterval,") + value + "\nAddFile,d.txt,s.txt\n");
    folder.Write("d.txt", "old");
    folder.Write("s.txt", "new");
    RunResult result = folder.Run(WithArguments({"-oneshot"}));
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_NE(result.out.find("Parsing Script -> Done.\nError, Interval "), std::string::npos)
        << result.out;
    // The value as the script wrote it, not as it was read.
    EXPECT_NE(result.out.find(std::string("Error, Interval ") + value +
                              "sec is out of range (1 to 2147483sec).\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find("Starting Loop."), std::string::npos);
    EXPECT_NE(result.err.find("kelvo: " + folder.NativeAt("kelvo.txt") + ": SetInterval " + value +
                              " is out of range (1 to 2147483 seconds)"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(folder.Read("d.txt"), "old");
    EXPECT_FALSE(folder.Exists("d.tmp"));
    ExpectLogMirrorsConsole(folder, result);
  }
}

TEST(Startup, ShortLinesRaiseTheFatalAssertion) {
  struct Case {
    const char* line;
    const char* message;
    const char* reason;  // in English, before the box
  };
  for (Case c :
       {Case{"AddFile,d.txt", "GetValue - Invalid ID", "AddFile needs 2 values, found 1"},
        Case{"SetInterval", "GetValueInt - Invalid ID", "SetInterval needs 1 value, found 0"},
        Case{"SetSourcePath", "GetValue - Invalid ID", "SetSourcePath needs 1 value, found 0"}}) {
    ScratchFolder folder;
    folder.Write("kelvo.txt", std::string("SetInterval,5\n") + c.line + "\nAddFile,x,y\n");
    // A long log from an earlier run is still emptied when the run ends at
    // once.
    folder.Write("purlolog.html", std::string(1 << 20, '~'));
    RunOptions options = WithArguments({"-oneshot"});
    options.environmentPrefix = {"env", "LC_ALL=C"};
    RunResult result = folder.Run(options);
    EXPECT_EQ(result.exitStatus, 3) << c.line;
    EXPECT_EQ(result.out, std::string(kBanner) + "Parsing Script");
    std::string log = folder.Read("purlolog.html");
    EXPECT_EQ(log.find('~'), std::string::npos);
    EXPECT_EQ(log.rfind("Report: ", 0), 0u) << log.substr(0, 80);
    std::string record = std::string("Assert: ") + c.message + "\t<br>\n";
    ASSERT_GE(log.size(), record.size());
    EXPECT_EQ(log.substr(log.size() - record.size()), record);
    // The open console line ended, then what is missing and where.
    const std::string reason = std::string("kelvo: kelvo.txt:2: ") + c.reason;
    if (!TestedProgram().IsWindows()) {
      // The request in English where the console's character set has no
      // Japanese, as in the C locale.
      EXPECT_EQ(result.err,
                "\n" + reason + "\nAssert\n" + kUploadRequestInEnglish + "\n" + c.message + "\n\n");
    } else {
      EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
    }
  }
}

// The line is the file's own, comments and empty lines counted.
TEST(Startup, FatalLineIsNamedByItsNumberInTheFile) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "// pictures\nSetInterval,5\n\n   \nAddFile,a.txt,b.txt\nAddFile,x\n");
  RunResult result = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_NE(result.err.find("kelvo: kelvo.txt:6: AddFile needs 2 values, found 1"),
            std::string::npos)
      << result.err;
}

// In a UTF-8 locale the request reads as Japanese, on a line of its own.
TEST(Startup, FatalRequestInTheConsolesCharacterSet) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "the box shows it on Windows";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,d.txt\n");
  RunOptions options = WithArguments({"-oneshot"});
  options.environmentPrefix = {"env", "LC_ALL=C.UTF-8"};
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_NE(result.err.find(std::string("\nAssert\n") + kUploadRequestInUtf8 + "\n"),
            std::string::npos)
      << result.err;
}

TEST(Startup, LockedLogIsFatal) {
  ScratchFolder folder;
  folder.Write("purlolog.html", "held");
  RunResult result;
  {
    FileHolder holder(folder, "purlolog.html");
    ASSERT_TRUE(holder.held);
    result = folder.Run(WithArguments({"-oneshot"}));
  }
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.out, "");
  // Nothing was on the console: no empty line first.
  const std::string reason = "kelvo: cannot open the log " + folder.NativeAt("purlolog.html") +
                             ": another program holds it open for writing";
  EXPECT_EQ(result.err.rfind(reason, 0), 0u) << result.err;
  if (!TestedProgram().IsWindows()) {
    EXPECT_EQ(result.err, reason + "\nAssert\nCritical Error: Log File is Locked\n");
  }
  EXPECT_EQ(folder.Read("purlolog.html"), "held");
}

// A log the system keeps append-only takes the open and the lock but not
// the emptying: fatal at start, as a locked log is.
TEST(Startup, AppendOnlyLogIsFatal) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "no append-only files on Windows";
  ScratchFolder folder;
  folder.Write("purlolog.html", "kept");
  std::string log = folder.At("purlolog.html");
  if (!HaveCommand("chattr")) SKIP_FOR_MISSING_TOOL("chattr missing");
  if (system(("chattr +a '" + log + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr cannot make a file append-only here";
  }
  RunResult result = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(system(("chattr -a '" + log + "'").c_str()), 0);
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "kelvo: cannot empty the log " + log +
                            ": Operation not permitted\nAssert\nCritical Error: Log File is "
                            "Locked\n");
  EXPECT_EQ(folder.Read("purlolog.html"), "kept");
}

// An emptying cut short by a signal is taken up again, not taken for a log
// that refuses it.
TEST(Startup, AnInterruptedEmptyingIsTakenUpAgain) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "strace runs the Linux build";
  if (!HaveCommand("strace")) SKIP_FOR_MISSING_TOOL("strace missing");
  ScratchFolder folder;
  folder.Write("purlolog.html", "left over from an earlier run\n");
  RunOptions options = WithArguments({"-oneshot"});
  // Under strace (no leak check there), whose first ftruncate fails with EINTR.
  std::vector<std::string> tracer = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq"};
  std::vector<std::string> interruptFirst = {"-o", "/dev/null", "-e",
                                             "inject=ftruncate:error=EINTR:when=1"};
  options.environmentPrefix = tracer;
  options.environmentPrefix.insert(options.environmentPrefix.end(), interruptFirst.begin(),
                                   interruptFirst.end());
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 1) << result.err;
  EXPECT_EQ(result.err.rfind("kelvo: no kelvo.txt in ", 0), 0u) << result.err;
  EXPECT_EQ(CountOf(result.err, "\n"), 1u) << result.err;
  ExpectLogMirrorsConsole(folder, result);
  EXPECT_EQ(folder.Read("purlolog.html").find("left over"), std::string::npos);
}

TEST(Startup, UnwritableFolderIsFatal) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "Wine will not run as another user";
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  ScratchFolder folder;
  RunOptions options;
  options.arguments = {"-oneshot"};
  options.asUnprivilegedUser = true;
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 3);
  EXPECT_EQ(result.err, "kelvo: cannot open the log " + folder.At("purlolog.html") +
                            ": Permission denied\nAssert\nCritical Error: Log File is Locked\n");
  EXPECT_FALSE(folder.Exists("purlolog.html"));
}

// A relative base folder depends on the current folder ("/" under the
// harness, System32 under Task Scheduler): reasons name the file kelvo
// looked for by its absolute path.
TEST(Startup, ReasonsNameRelativeFilesByTheirAbsolutePath) {
  ScratchFolder folder;
  const bool windows = TestedProgram().IsWindows();
  folder.Write("kelvo.txt", std::string("SetInterval,5\nSetSourcePath,") +
                                (windows ? "kelvo-no-pool\\" : "kelvo-no-pool/") +
                                "\nAddFile,d.txt,x.txt\n");
  RunResult result = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(result.exitStatus, 2);
  const std::string absolute = windows ? "Z:\\kelvo-no-pool\\x.txt" : "/kelvo-no-pool/x.txt";
  EXPECT_NE(result.err.find(" " + absolute + ": "), std::string::npos) << result.err;
  EXPECT_FALSE(folder.Exists("d.txt"));
}

TEST(Startup, PercentSignsInNamesAreNotFormats) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,1\nAddFile,100%s%d.txt,50%n.txt\n");
  folder.Write("50%n.txt", "payload");
  RunResult result = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.out.find(", Replacing " + folder.NativeAt("50%n.txt") + " to " +
                            folder.NativeAt("100%s%d.txt") + " -> Done.\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(folder.Read("100%s%d.txt"), "payload");
  ExpectLogMirrorsConsole(folder, result);
}

}  // namespace
