// End-to-end tests of what a replacement leaves behind: access rights,
// owner and group, the modification time, the original kept for good, and
// the reason for a failure on standard error.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace {

const uid_t kNobody = 65534;

RunOptions OneShot() { return WithArguments({"-oneshot"}); }

bool IsWindows() { return TestedProgram().IsWindows(); }

struct stat StatOf(const ScratchFolder& folder, const std::string& name) {
  struct stat info = {};
  EXPECT_EQ(stat(folder.At(name).c_str(), &info), 0) << name;
  return info;
}

TEST(ReplacedFile, NeverCarriesSetUserOrGroupIdentity) {
  if (IsWindows()) GTEST_SKIP() << "permission bits are a Linux case";
  if (getuid() != 0) GTEST_SKIP() << "needs root to own files as another user";
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,fresh.bin,pool/tool\nAddFile,kept.bin,pool/tool\n");
  folder.Write("pool/tool", "#!/bin/sh\n");
  ASSERT_EQ(chown(folder.At("pool/tool").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(folder.At("pool/tool").c_str(), 06755), 0);
  folder.Write("kept.bin", "old");
  ASSERT_EQ(chmod(folder.At("kept.bin").c_str(), 0750), 0);
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  mode_t mask = umask(0);
  umask(mask);
  // A new destination: the source's bits under the umask, never 06000.
  EXPECT_EQ(StatOf(folder, "fresh.bin").st_mode & 07777, 0755 & ~mask);
  EXPECT_EQ(StatOf(folder, "fresh.bin").st_uid, 0u);
  // A replaced one keeps its own bits and owner.
  EXPECT_EQ(StatOf(folder, "kept.bin").st_mode & 07777, 0750u);
  EXPECT_EQ(folder.Read("kept.bin"), "#!/bin/sh\n");
}

TEST(ReplacedFile, KeepsOwnerGroupAndModeOfTheDestination) {
  if (IsWindows()) GTEST_SKIP() << "owners are a Linux case";
  if (getuid() != 0) GTEST_SKIP() << "needs root to own files as another user";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,www/splash.png,pool/b.png\n");
  folder.Write("pool/b.png", "B");
  ASSERT_EQ(chmod(folder.At("pool/b.png").c_str(), 0600), 0);
  folder.Write("www/splash.png", "A");
  ASSERT_EQ(chown(folder.At("www/splash.png").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(folder.At("www/splash.png").c_str(), 0644), 0);
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.out.find(" -> Done.\n"), std::string::npos) << result.out << result.err;
  struct stat replaced = StatOf(folder, "www/splash.png");
  EXPECT_EQ(replaced.st_uid, kNobody);
  EXPECT_EQ(replaced.st_gid, kNobody);
  EXPECT_EQ(replaced.st_mode & 07777, 0644u);
  EXPECT_EQ(folder.Read("www/splash.png"), "B");
}

// In a folder that hands its group to new files, root's copy still takes the
// replaced file's group.
TEST(ReplacedFile, KeepsItsGroupInASetGroupIdFolder) {
  if (IsWindows()) GTEST_SKIP() << "groups are a Linux case";
  if (getuid() != 0) GTEST_SKIP() << "needs root to own files as another user";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,shared/d.txt,s\n");
  folder.Write("s", "S");
  folder.Write("shared/d.txt", "old");
  ASSERT_EQ(chown(folder.At("shared").c_str(), 0, kNobody), 0);
  ASSERT_EQ(chmod(folder.At("shared").c_str(), 02775), 0);
  ASSERT_EQ(chown(folder.At("shared/d.txt").c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(folder.At("shared/d.txt").c_str(), 0640), 0);
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.out.find(" -> Done.\n"), std::string::npos) << result.out << result.err;
  EXPECT_EQ(StatOf(folder, "shared/d.txt").st_gid, 0u);
  EXPECT_EQ(StatOf(folder, "shared/d.txt").st_mode & 07777, 0640u);
}

// A service user may give its copy any group it belongs to: a file of a
// group it shares keeps that group and its mode, so the group's readers
// still read it. Only root may give the copy to the replaced file's owner.
TEST(ReplacedFile, KeepsAGroupThatTheRunBelongsTo) {
  if (IsWindows()) GTEST_SKIP() << "groups are a Linux case";
  if (getuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
  const gid_t kGame = 4242;
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,game/save.dat,pool/new.dat\n");
  folder.Write("pool/new.dat", "new");
  folder.Write("game/save.dat", "old");
  // Nobody writes the log beside the program, and the group's folder.
  ASSERT_EQ(chmod(folder.Path().c_str(), 0777), 0);
  ASSERT_EQ(chown(folder.At("game").c_str(), 0, kGame), 0);
  ASSERT_EQ(chmod(folder.At("game").c_str(), 0770), 0);
  ASSERT_EQ(chown(folder.At("game/save.dat").c_str(), 0, kGame), 0);
  ASSERT_EQ(chmod(folder.At("game/save.dat").c_str(), 0640), 0);
  RunOptions options = OneShot();
  options.asUnprivilegedUser = true;
  options.groups = {kGame};
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(folder.Read("game/save.dat"), "new");
  struct stat replaced = StatOf(folder, "game/save.dat");
  EXPECT_EQ(replaced.st_uid, kNobody);
  EXPECT_EQ(replaced.st_gid, kGame);
  EXPECT_EQ(replaced.st_mode & 07777, 0640u);
}

TEST(ReplacedFile, IsDatedAtTheReplacement) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,title.ogg,pool/a.ogg\n");
  folder.Write("pool/a.ogg", "A");
  folder.Write("title.ogg", "old");
  struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};  // 2001
  ASSERT_EQ(utimensat(AT_FDCWD, folder.At("pool/a.ogg").c_str(), old, 0), 0);
  time_t start = time(nullptr);
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.out.find(" -> Done.\n"), std::string::npos) << result.out;
  // Whole seconds, and Wine may round: one second of slack.
  EXPECT_GE(StatOf(folder, "title.ogg").st_mtime, start - 1);
}

// A read-only source makes no read-only destination or companion that later
// passes could not replace.
TEST(ReplacedFile, ReadOnlySourceDoesNotBlockLaterPasses) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,title.ogg,pool/a.ogg\n");
  folder.Write("pool/a.ogg", "A");
  ASSERT_EQ(chmod(folder.At("pool/a.ogg").c_str(), 0444), 0);
  folder.Write("title.ogg", "old");
  for (int pass = 1; pass <= 4; ++pass) {
    RunResult result = folder.Run(OneShot());
    EXPECT_NE(result.out.find(" -> Done.\n"), std::string::npos)
        << "pass " << pass << ": " << result.out << result.err;
  }
  EXPECT_EQ(folder.Read("title.ogg"), "A");
  EXPECT_EQ(folder.Read("title.tmp"), "A");
  // Wine shows the read-only attribute as a file without write permission;
  // on Linux the destination kept its own bits.
  EXPECT_NE(StatOf(folder, "title.ogg").st_mode & S_IWUSR, 0u);
  EXPECT_NE(StatOf(folder, "title.tmp").st_mode & S_IWUSR, 0u);
}

// The companion keeps one generation; the first content stays for good.
TEST(ReplacedFile, TheOriginalIsKeptOnceForGood) {
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,title.ogg,pool/a.ogg\nAddFile,title.ogg,pool/b.ogg\n");
  folder.Write("pool/a.ogg", "A");
  folder.Write("pool/b.ogg", "B");
  folder.Write("title.ogg", "the first content, in no pool");
  ino_t first = StatOf(folder, "title.ogg").st_ino;
  for (int pass = 1; pass <= 3; ++pass) {
    RunResult result = folder.Run(OneShot());
    EXPECT_NE(result.out.find(" -> Done.\n"), std::string::npos) << result.out << result.err;
  }
  EXPECT_EQ(folder.Read("title.ogg.orig"), "the first content, in no pool");
  // A second name of the very file, not a copy.
  EXPECT_EQ(StatOf(folder, "title.ogg.orig").st_ino, first);
  EXPECT_NE(folder.Read("title.tmp"), "the first content, in no pool");
}

// The original is made before the first replacement only: one the user
// deletes stays deleted, and a destination with a companion from an earlier
// replacement gets none.
TEST(ReplacedFile, ADeletedOriginalStaysDeleted) {
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,title.ogg,pool/a.ogg\nAddFile,field.ogg,pool/b.ogg\n");
  folder.Write("pool/a.ogg", "A");
  folder.Write("pool/b.ogg", "B");
  folder.Write("title.ogg", "first");
  folder.Write("field.ogg", "from an earlier run");
  folder.Write("field.tmp", "older");
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    if (run == 3) {
      ASSERT_EQ(unlink(folder.At("title.ogg.orig").c_str()), 0);
      folder.Write("title.ogg", "between runs");
    }
    RunResult result = folder.Run(OneShot());
    EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
    EXPECT_EQ(folder.Exists("title.ogg.orig"), run < 3);
    if (run < 3) {
      EXPECT_EQ(folder.Read("title.ogg.orig"), "first");
    }
    EXPECT_FALSE(folder.Exists("field.ogg.orig"));
  }
  EXPECT_EQ(folder.Read("title.ogg"), "A");
  EXPECT_EQ(folder.Read("title.tmp"), "between runs");
}

// The original's name is never taken from the script's own files, and a
// failed replacement leaves none behind.
TEST(ReplacedFile, NoOriginalOverListedNamesOrAfterAFailure) {
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,a.dat,s1\nAddFile,b.dat,b.dat.orig\n"
               "AddFile,c.dat,s1\nAddFile,c.dat.orig,s1\nAddFile,d.dat,missing\n");
  folder.Write("s1", "S");
  folder.Write("b.dat.orig", "a source named like an original");
  for (const char* name : {"a.dat", "b.dat", "c.dat", "d.dat"}) folder.Write(name, "old");
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(folder.Read("a.dat.orig"), "old");
  EXPECT_EQ(folder.Read("b.dat.orig"), "a source named like an original");
  EXPECT_EQ(folder.Read("b.dat"), "a source named like an original");
  EXPECT_EQ(folder.Read("c.dat.orig"), "S");  // a destination of its own
  EXPECT_FALSE(folder.Exists("d.dat.orig"));
  EXPECT_EQ(folder.Read("d.dat"), "old");
}

// Why a replacement failed goes to standard error; the console and the log
// read exactly as they always have.
TEST(ReplacedFile, FailureReasonOnStandardErrorOnly) {
  ScratchFolder folder;
  std::string absent = IsWindows() ? "pool\\absent.txt" : "pool/absent.txt";
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,keep.txt," + absent + "\n");
  folder.Write("keep.txt", "precious");
  folder.Write("pool/.keep", "");
  RunResult result = folder.Run(OneShot());
  std::string source = folder.NativeAt("pool/absent.txt");
  std::string line = ", Replacing " + source + " to " + folder.NativeAt("keep.txt");
  size_t at = result.out.find(line);
  ASSERT_NE(at, std::string::npos) << result.out;
  EXPECT_EQ(result.out.substr(at + line.size()), " -> Failed.\n");
  EXPECT_EQ(Join(ReportMessages(folder.Read("purlolog.html"))), result.out);
  std::string reason = "kelvo: cannot read " + source + ": ";
  EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
  if (!IsWindows()) {
    EXPECT_NE(result.err.find(reason + "No such file or directory\n"), std::string::npos)
        << result.err;
  }
  EXPECT_EQ(folder.Read("keep.txt"), "precious");
}

}  // namespace
