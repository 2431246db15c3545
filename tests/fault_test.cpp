// End-to-end tests of replacements that the system refuses midway: a file-size
// limit, folders and files without permission, a log that another program
// locks during a run. Nothing may be lost, the refused replacement reads
// " -> Failed." and the run goes on.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "rotate/replacement_table.h"
#include "testing/required_tools.h"
#include "tests/harness.h"

namespace {

namespace fs = std::filesystem;

const uid_t kNobody = 65534;

// The destinations in the order every pass visits them.
std::vector<std::string> VisitOrder(const std::vector<std::string>& destinations) {
  ReplacementTable table;
  for (const std::string& destination : destinations) table.AddSource(destination, "any");
  std::vector<std::string> order;
  table.ForEach([&](const std::string& destination, const std::vector<std::string>&) {
    order.push_back(destination);
  });
  return order;
}

std::string ReplacementLine(const ScratchFolder& folder, const std::string& source,
                            const std::string& destination, const char* outcome) {
  return ", Replacing " + folder.NativeAt(source) + " to " + folder.NativeAt(destination) + outcome;
}

// The first destination's replacement failed and the one after it was still
// made: status 2, no helper file left, and the log holds what the console showed.
void ExpectFailedThenDone(const ScratchFolder& folder, const RunResult& result,
                          const std::string& failedSource, const std::string& failedDestination,
                          const std::string& doneSource, const std::string& doneDestination) {
  size_t failed =
      result.out.find(ReplacementLine(folder, failedSource, failedDestination, " -> Failed.\n"));
  size_t done =
      result.out.find(ReplacementLine(folder, doneSource, doneDestination, " -> Done.\n"));
  EXPECT_NE(failed, std::string::npos) << result.out;
  EXPECT_NE(done, std::string::npos) << result.out;
  EXPECT_LT(failed, done) << result.out;
  EXPECT_EQ(result.exitStatus, 2) << result.err;
  EXPECT_FALSE(HasStagingFile(folder));
  EXPECT_EQ(Join(ReportMessages(folder.Read("purlolog.html"))), result.out);
}

RunOptions OneShotAsNobody() {
  RunOptions options = WithArguments({"-oneshot"});
  options.asUnprivilegedUser = true;
  return options;
}

// Splits console output into the program's messages: every line ends one, and
// an outcome (" -> Done.\n") is a message of its own after the text before it.
std::vector<std::string> ConsoleMessages(const std::string& out) {
  std::vector<std::string> messages;
  size_t at = 0;
  while (at < out.size()) {
    size_t lineEnd = out.find('\n', at);
    size_t end = lineEnd == std::string::npos ? out.size() : lineEnd + 1;
    size_t outcome = out.find(" -> ", at);
    if (outcome != std::string::npos && outcome > at && outcome < end) end = outcome;
    messages.push_back(out.substr(at, end - at));
    at = end;
  }
  return messages;
}

bool IsSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  size_t next = 0;
  for (const std::string& message : whole) {
    if (next < part.size() && part[next] == message) ++next;
  }
  return next == part.size();
}

TEST(FaultInjection, CopyPastTheFileSizeLimitFailsAndTheRunGoesOn) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "the file-size limit is set by a Unix shell";
  ASSERT_EQ(VisitOrder({"big.bin", "small.bin"}),
            (std::vector<std::string>{"big.bin", "small.bin"}));
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,big.bin,large.src\nAddFile,small.bin,little.src\n");
  std::string large(1 << 20, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>('a' + i % 23);
  folder.Write("large.src", large);
  folder.Write("little.src", "little");
  folder.Write("big.bin", "old big");
  folder.Write("big.tmp", "older big");
  folder.Write("small.bin", "old small");
  RunOptions options = WithArguments({"-oneshot"});
  // 64 blocks: 32 or 64 KiB depending on the shell, far below the large source.
  options.environmentPrefix = {"sh", "-c", "ulimit -f 64; exec \"$0\" \"$@\""};
  RunResult result = folder.Run(options);

  ASSERT_NE(result.signal, SIGXFSZ) << "the program was ended by the file-size signal";
  ExpectFailedThenDone(folder, result, "large.src", "big.bin", "little.src", "small.bin");
  EXPECT_EQ(folder.Read("big.bin"), "old big");
  EXPECT_EQ(folder.Read("big.tmp"), "older big");
  EXPECT_EQ(folder.Read("small.bin"), "little");
  EXPECT_EQ(folder.Read("small.tmp"), "old small");
  EXPECT_TRUE(folder.Read("large.src") == large);
}

TEST(FaultInjection, DestinationFolderWithoutWritePermissionFails) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "Wine will not run as another user";
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  ASSERT_EQ(VisitOrder({"out/target.txt", "other.txt"}),
            (std::vector<std::string>{"out/target.txt", "other.txt"}));
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,out/target.txt,new.src\nAddFile,other.txt,new.src\n");
  folder.Write("new.src", "new");
  folder.Write("out/target.txt", "old target");
  folder.Write("out/target.tmp", "older target");
  // Nobody must be able to write the log beside the program.
  ASSERT_EQ(chmod(folder.Path().c_str(), 0777), 0);
  ASSERT_EQ(chmod(folder.At("out").c_str(), 0755), 0);  // root's: nobody cannot write in it
  RunResult result = folder.Run(OneShotAsNobody());

  ExpectFailedThenDone(folder, result, "new.src", "out/target.txt", "new.src", "other.txt");
  EXPECT_EQ(folder.Read("out/target.txt"), "old target");
  EXPECT_EQ(folder.Read("out/target.tmp"), "older target");
  EXPECT_EQ(folder.List("out"), (std::vector<std::string>{"target.tmp", "target.txt"}));
  EXPECT_EQ(folder.Read("other.txt"), "new");
}

TEST(FaultInjection, UnreadableSourceFails) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "Wine will not run as another user";
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  ASSERT_EQ(VisitOrder({"hidden.txt", "mine.txt"}),
            (std::vector<std::string>{"hidden.txt", "mine.txt"}));
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,hidden.txt,secret.src\nAddFile,mine.txt,open.src\n");
  folder.Write("secret.src", "secret");
  folder.Write("open.src", "open");
  folder.Write("hidden.txt", "old hidden");
  folder.Write("hidden.tmp", "older hidden");
  ASSERT_EQ(chmod(folder.At("secret.src").c_str(), 0), 0);
  // Nobody must be able to write the log beside the program.
  ASSERT_EQ(chmod(folder.Path().c_str(), 0777), 0);
  RunResult result = folder.Run(OneShotAsNobody());

  ExpectFailedThenDone(folder, result, "secret.src", "hidden.txt", "open.src", "mine.txt");
  EXPECT_EQ(folder.Read("hidden.txt"), "old hidden");
  EXPECT_EQ(folder.Read("hidden.tmp"), "older hidden");
  EXPECT_EQ(folder.Read("secret.src"), "secret");
  EXPECT_EQ(folder.Read("mine.txt"), "open");
  // The run was really nobody's: the file it made belongs to nobody.
  struct stat made;
  ASSERT_EQ(stat(folder.At("mine.txt").c_str(), &made), 0);
  EXPECT_EQ(made.st_uid, kNobody);
}

// The system refuses to put the new file in the destination's place (an
// immutable file on Linux, a file another program holds open on Windows):
// destination and previous companion stay as they were, nothing is left
// behind, the reason goes to standard error, and the run goes on.
TEST(FaultInjection, RefusedSwapKeepsDestinationAndCompanion) {
  ASSERT_EQ(VisitOrder({"held.txt", "open.txt"}),
            (std::vector<std::string>{"held.txt", "open.txt"}));
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,held.txt,new.src\nAddFile,open.txt,new.src\n");
  folder.Write("new.src", "new");
  folder.Write("held.txt", "old held");
  folder.Write("held.tmp", "older held");
  folder.Write("open.txt", "old open");
  RunResult result;
  if (TestedProgram().IsWindows()) {
    FileHolder holder(folder, "held.txt");
    ASSERT_TRUE(holder.held);
    result = folder.Run(WithArguments({"-oneshot"}));
  } else {
    if (!HaveCommand("chattr")) SKIP_FOR_MISSING_TOOL("chattr missing");
    std::string immutable = "chattr +i '" + folder.At("held.txt") + "' 2>/dev/null";
    if (system(immutable.c_str()) != 0) GTEST_SKIP() << "this file system has no immutable files";
    result = folder.Run(WithArguments({"-oneshot"}));
    EXPECT_EQ(system(("chattr -i '" + folder.At("held.txt") + "'").c_str()), 0);
  }
  ExpectFailedThenDone(folder, result, "new.src", "held.txt", "new.src", "open.txt");
  EXPECT_EQ(folder.Read("held.txt"), "old held");
  EXPECT_EQ(folder.Read("held.tmp"), "older held");
  EXPECT_EQ(folder.Read("open.txt"), "new");
  EXPECT_EQ(folder.Read("open.tmp"), "old open");
  EXPECT_NE(result.err.find("kelvo: cannot "), std::string::npos) << result.err;
}

// Another program locks the log for a while: the records of that time are
// dropped, the replacements go on, and logging resumes once it lets go.
TEST(FaultInjection, LogLockedDuringARunDropsOnlyThatTimesRecords) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "a Unix lock does not hold a Windows program";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,1\nAddFile,a.txt,s.src\nAddFile,b.txt,s.src\n");
  folder.Write("s.src", "S");
  int output = -1;
  pid_t pid = folder.Start(RunOptions(), &output);
  ASSERT_GT(pid, 0);
  std::string console;
  // The first pass replaces both at once; each later replacement waits 500 ms.
  EXPECT_TRUE(ReadUntil(output, "Starting Loop.", console, 20)) << console;
  EXPECT_TRUE(ReadUntil(output, "Waiting Interval", console, 20)) << console;

  int held = open(folder.At("purlolog.html").c_str(), O_WRONLY | O_CLOEXEC);
  EXPECT_GE(held, 0);
  EXPECT_EQ(flock(held, LOCK_EX), 0);
  size_t lockedAt = console.size();
  ReadFor(output, console, 1.5);
  size_t releasedAt = console.size();
  flock(held, LOCK_UN);
  close(held);

  // Three more passes' worth of waits, so messages surely follow the release.
  double end = Seconds() + 20;
  while (CountOf(console, "Waiting Interval", releasedAt) < 4 && Seconds() < end) {
    ReadFor(output, console, 0.1);
  }
  kill(pid, SIGTERM);
  RunResult result = Finish(pid, output, 20, console);

  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(folder.Read("a.txt"), "S");
  EXPECT_EQ(folder.Read("b.txt"), "S");
  EXPECT_FALSE(HasStagingFile(folder));
  std::string whileLocked = result.out.substr(lockedAt, releasedAt - lockedAt);
  EXPECT_NE(whileLocked.find(" -> Done.\n"), std::string::npos) << whileLocked;

  std::vector<std::string> shown = ConsoleMessages(result.out);
  std::vector<std::string> logged = ReportMessages(folder.Read("purlolog.html"));
  EXPECT_LT(logged.size(), shown.size());
  EXPECT_TRUE(IsSubsequence(logged, shown)) << Join(logged);

  // The messages after the first wait that follows the release came after it
  // (waits are 500 ms apart) and close the log, all of them.
  std::vector<std::string> afterRelease = ConsoleMessages(result.out.substr(releasedAt));
  auto firstWait = afterRelease.begin();
  while (firstWait != afterRelease.end() && firstWait->rfind("Waiting Interval", 0) != 0) {
    ++firstWait;
  }
  ASSERT_NE(firstWait, afterRelease.end()) << result.out;
  std::vector<std::string> surelyLogged(firstWait + 1, afterRelease.end());
  ASSERT_GE(surelyLogged.size(), 3u) << result.out;
  ASSERT_LE(surelyLogged.size(), logged.size());
  EXPECT_EQ(std::vector<std::string>(
                logged.end() - static_cast<std::ptrdiff_t>(surelyLogged.size()), logged.end()),
            surelyLogged);
}

}  // namespace
