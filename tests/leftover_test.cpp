// End-to-end tests of what replacements leave: a run leaves no helper file
// behind, and sweeps at its start the ".new" and ".del" files of runs that
// were killed, and nothing else: not a ".old", not a look-alike name, not
// what is no regular file, not the helpers of a run that is still working.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "tests/harness.h"

namespace {

// A process number that no process has: above the largest Linux allows,
// and not one Windows gives (those are multiples of four).
const char kDeadRun[] = "3ffffff1";

std::string Helper(const std::string& count, const std::string& suffix) {
  return std::string("d/.kelvo-") + kDeadRun + "-" + count + suffix;
}

// A source or destination of the script is the user's file, however much
// its name looks like a killed run's helper.
TEST(Leftovers, NamesTheScriptListsAreNeverSwept) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,d/dst0.dat," + Helper("b", ".new") +
                                "\nAddFile," + Helper("c", ".del") + ",pool/src0\n");
  folder.Write("pool/src0", "new content");
  folder.Write("d/dst0.dat", "old content");
  folder.Write(Helper("b", ".new"), "a source");
  folder.Write(Helper("c", ".del"), "a destination");

  RunResult result = folder.Run(WithArguments({"-oneshot"}));
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(folder.Read(Helper("b", ".new")), "a source");
  EXPECT_EQ(folder.Read("d/dst0.dat"), "a source");
  EXPECT_EQ(folder.Read(Helper("c", ".del")), "new content");
  EXPECT_EQ(folder.Read(Helper("c", ".del.orig")), "a destination");
}

TEST(Leftovers, SweptAtStartOnlyWhatAKilledRunMadeAndHoldsNothingWanted) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,d/dst0.dat,pool/src0\n");
  folder.Write("pool/src0", "new content");
  folder.Write("d/dst0.dat", "old content");
  folder.Write("d/dst0.tmp", "previous companion");
  // A killed run's: a partial copy, a set-aside companion, a spare name.
  folder.Write(Helper("1", ".new"), "partial copy");
  folder.Write(Helper("2", ".del"), "an older companion");
  folder.Write("d/keep.dat", "the user's file");
  ASSERT_EQ(link(folder.At("d/keep.dat").c_str(), folder.At(Helper("3", ".del")).c_str()), 0);
  // What the sweep must leave.
  folder.Write(Helper("4", ".old"), "perhaps the only old content");
  folder.Write(Helper("5", ".new") + "/inside", "a folder's file");
  folder.Write(std::string("d/.kelvo-0") + kDeadRun + "-6.new", "look-alike");
  folder.Write(Helper("7", ".new.bak"), "look-alike");
  folder.Write(Helper("8", ".NEW"), "look-alike");
  folder.Write("d/x.kelvo-1-9.new", "look-alike");
  folder.Write("outside/victim", "not kelvo's");
  bool links = !TestedProgram().IsWindows();
  if (links) {
    ASSERT_EQ(symlink(folder.At("outside/victim").c_str(), folder.At(Helper("a", ".del")).c_str()),
              0);
  }

  RunResult result = folder.Run(WithArguments({"-oneshot"}));
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(folder.Read("d/dst0.dat"), "new content");
  EXPECT_EQ(folder.Read("d/dst0.tmp"), "old content");

  EXPECT_FALSE(folder.Exists(Helper("1", ".new")));
  EXPECT_FALSE(folder.Exists(Helper("2", ".del")));
  EXPECT_FALSE(folder.Exists(Helper("3", ".del")));
  EXPECT_EQ(folder.Read("d/keep.dat"), "the user's file");
  EXPECT_EQ(folder.Read(Helper("4", ".old")), "perhaps the only old content");
  EXPECT_EQ(folder.Read(Helper("5", ".new") + "/inside"), "a folder's file");
  EXPECT_EQ(folder.Read(std::string("d/.kelvo-0") + kDeadRun + "-6.new"), "look-alike");
  EXPECT_EQ(folder.Read(Helper("7", ".new.bak")), "look-alike");
  EXPECT_EQ(folder.Read(Helper("8", ".NEW")), "look-alike");
  EXPECT_EQ(folder.Read("d/x.kelvo-1-9.new"), "look-alike");
  EXPECT_EQ(folder.Read("outside/victim"), "not kelvo's");
  if (links) {
    struct stat info;
    EXPECT_EQ(lstat(folder.At(Helper("a", ".del")).c_str(), &info), 0);
  }
  // This run's own helpers are all gone, the one it set aside included.
  for (const std::string& name : folder.List("d")) {
    if (name.rfind(".kelvo-", 0) == 0) {
      EXPECT_NE(name.find(kDeadRun), std::string::npos) << "left by the run: " << name;
    }
  }
}

// A run that is working beside ours (from another program folder, on the
// same destinations) holds its helpers: they are not leftovers.
TEST(Leftovers, HelpersOfARunStillWorkingAreLeft) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "the Windows process number is Wine's";
  ScratchFolder working;
  ScratchFolder sweeping;
  ScratchFolder shared;
  std::string line = "AddFile," + shared.NativeAt("dst0.dat") + ",pool/src0\n";
  working.Write("kelvo.txt", "SetInterval,3600\n" + line);
  working.Write("pool/src0", "working's content");
  sweeping.Write("kelvo.txt", "SetInterval,5\n" + line);
  sweeping.Write("pool/src0", "sweeping's content");
  shared.Write("dst0.dat", "old content");

  int output = -1;
  pid_t pid = working.Start(RunOptions(), &output);
  std::string console;
  ASSERT_TRUE(ReadUntil(output, "Waiting Interval", console, 60)) << console;
  char own[64];
  std::snprintf(own, sizeof own, ".kelvo-%x-77.new", static_cast<unsigned>(pid));
  shared.Write(own, "its copy in the making");

  RunResult result = sweeping.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(shared.Read(own), "its copy in the making");
  EXPECT_EQ(shared.Read("dst0.dat"), "sweeping's content");

  RequestProgramStop(pid);
  Finish(pid, output, 60, console);
  // A later run, once the first one is gone, takes it.
  EXPECT_EQ(sweeping.Run(WithArguments({"-oneshot"})).exitStatus, 0);
  EXPECT_FALSE(shared.Exists(own));
}

// A leftover the sweep cannot delete is named on standard error with why,
// and the run goes on.
TEST(Leftovers, ALeftoverThatCannotBeDeletedIsReported) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "made undeletable with a Linux tool";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,d/dst0.dat,pool/src0\n");
  folder.Write("pool/src0", "new content");
  folder.Write("d/dst0.dat", "old content");
  folder.Write(Helper("1", ".new"), "partial copy");
  const std::string stuck = folder.At(Helper("1", ".new"));
  if (system(("chattr +i '" + stuck + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "chattr cannot make a file immutable here";
  }
  RunResult result = folder.Run(WithArguments({"-oneshot"}));
  EXPECT_EQ(system(("chattr -i '" + stuck + "'").c_str()), 0);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.err.find("kelvo: cannot delete " + stuck +
                            ", a file kelvo made: Operation not permitted\n"),
            std::string::npos)
      << result.err;
  EXPECT_EQ(folder.Read(Helper("1", ".new")), "partial copy");
  EXPECT_EQ(folder.Read("d/dst0.dat"), "new content");
}

}  // namespace
