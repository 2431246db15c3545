// End-to-end tests of what replacements leave: a run leaves no helper file
// behind, and sweeps at its start the ".new" and ".del" files of runs that
// were killed, and nothing else: not a ".old", not a look-alike name, not
// what is no regular file, not a copy a live run holds, even from another
// PID namespace.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/files.h"
#include "testing/required_tools.h"
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
// same destinations) holds open the copy it is making: that is no
// leftover, whatever process number its name carries. Once it is let go,
// it is one.
TEST(Leftovers, ACopyHeldOpenIsLeft) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,d/dst0.dat,pool/src0\n");
  folder.Write("pool/src0", "new content");
  folder.Write("d/dst0.dat", "old content");
  folder.Write(Helper("1", ".new"), "its copy in the making");
  folder.Write(Helper("2", ".new"), "a killed run's copy");
  {
    FileHolder holder(folder, Helper("1", ".new"));
    ASSERT_TRUE(holder.held);
    RunResult result = folder.Run(WithArguments({"-oneshot"}));
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(folder.Read(Helper("1", ".new")), "its copy in the making");
    EXPECT_FALSE(folder.Exists(Helper("2", ".new")));
    EXPECT_EQ(folder.Read("d/dst0.dat"), "new content");
  }
  EXPECT_EQ(folder.Run(WithArguments({"-oneshot"})).exitStatus, 0);
  EXPECT_FALSE(folder.Exists(Helper("1", ".new")));
}

// A run in another PID namespace (a container) sees none of the processes
// of ours, and may be process 1, as it is here: both copies below carry its
// own number. Its sweep still leaves the one that a live run holds, held
// exactly as kelvo holds the copies it makes, and takes the other.
TEST(Leftovers, AHeldCopySurvivesASweepFromAnotherPidNamespace) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "PID namespaces are a Linux case";
  if (!HaveCommand("unshare")) SKIP_FOR_MISSING_TOOL("unshare missing");
  if (system("unshare -p -f --mount-proc sh -c 'test $$ = 1' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "unshare -p -f --mount-proc is refused here (it takes root, or user "
                    "namespaces that allow it)";
  }
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,d/dst0.dat,pool/src0\nAddFile,d/dst1.dat,pool/src0\n");
  folder.Write("pool/src0", "new content");
  folder.Write("pool/partial", "its copy in the making");
  folder.Write("d/dst0.dat", "old content");
  folder.Write("d/dst0.tmp", "previous companion");
  NewFile live;
  ASSERT_TRUE(CreateNewFile(folder.At("d/.kelvo-1-5.new"), live).Ok());
  ASSERT_TRUE(CopyInto(folder.At("pool/partial"), live, EntryInfo()).Ok());
  folder.Write("d/.kelvo-1-6.new", "a killed run's copy");

  RunOptions options = WithArguments({"-oneshot"});
  options.environmentPrefix = {"unshare", "-p", "-f", "--mount-proc"};
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(folder.Read("d/.kelvo-1-5.new"), "its copy in the making");
  EXPECT_FALSE(folder.Exists("d/.kelvo-1-6.new"));
  std::vector<ReportedReplacement> reported = ReportedReplacements(result.out);
  EXPECT_EQ(reported.size(), 2u) << result.out;
  for (const ReportedReplacement& replacement : reported) {
    EXPECT_TRUE(replacement.done) << result.out;
  }
  EXPECT_EQ(folder.Read("d/dst0.dat"), "new content");
  EXPECT_EQ(folder.Read("d/dst0.tmp"), "old content");
  EXPECT_EQ(folder.Read("d/dst1.dat"), "new content");
  EXPECT_TRUE(CloseNewFile(live).Ok());
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
  if (!HaveCommand("chattr")) SKIP_FOR_MISSING_TOOL("chattr missing");
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
