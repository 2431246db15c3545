// End-to-end tests of the replacement cycle: real files, real script, the
// real executable.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/types.h>

#include <string>
#include <vector>

#include "random/mersenne_twister.h"
#include "rotate/replacement_table.h"
#include "testing/required_tools.h"
#include "tests/harness.h"

namespace {

RunOptions OneShot() { return WithArguments({"-oneshot"}); }

TEST(Cycle, FirstPassReplacesEveryDestinationAndKeepsTheOldOne) {
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,600\n"
               "AddFile,title.ogg,pool_a.ogg\n"
               "AddFile,title.ogg,pool_b.ogg\n"
               "AddFile,field.ogg,pool_c.ogg\n");
  folder.Write("pool_a.ogg", "A");
  folder.Write("pool_b.ogg", "B");
  folder.Write("pool_c.ogg", "C");
  folder.Write("title.ogg", "old title");
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.out.find("Parsing Script -> Done.\nStarting Loop.\n"), std::string::npos);
  std::string title = folder.Read("title.ogg");
  EXPECT_TRUE(title == "A" || title == "B") << title;
  EXPECT_EQ(folder.Read("title.tmp"), "old title");
  // A destination that did not exist yet is simply created.
  EXPECT_EQ(folder.Read("field.ogg"), "C");
  EXPECT_FALSE(folder.Exists("field.tmp"));
  EXPECT_FALSE(HasStagingFile(folder));
  // Sources are left as they were.
  EXPECT_EQ(folder.Read("pool_a.ogg"), "A");
  EXPECT_EQ(folder.Read("pool_c.ogg"), "C");
  EXPECT_EQ(Join(ReportMessages(folder.Read("purlolog.html"))), result.out);
}

// With the clock pinned, the seed is known: the draws, the order of the
// destinations and so the whole console can be predicted.
TEST(Cycle, DrawsFollowTheClockSeed) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "the clock is pinned with a Linux tool";
  if (!HaveCommand("faketime")) SKIP_FOR_MISSING_TOOL("faketime missing");
  ScratchFolder folder;
  std::string script = "SetInterval,60\nSetSourcePath," + folder.At("pool/") + "\n";
  ReplacementTable table;
  for (int d = 0; d < 12; ++d) {
    for (int s = 0; s < 1 + d % 4; ++s) {
      std::string destination = "dest" + std::to_string(d) + ".bin";
      std::string source = "src" + std::to_string(d) + "_" + std::to_string(s) + ".bin";
      script += "AddFile," + destination + "," + source + "\n";
      table.AddSource(destination, source);
      folder.Write("pool/" + source, source);
    }
  }
  folder.Write("kelvo.txt", script);
  RunOptions options = OneShot();
  // libfaketime is preloaded; a sanitizer runtime must not insist on coming first.
  // The wall clock stands still (-f with an absolute time), so a slow start
  // (a sanitizer build on a busy machine) still seeds with that second; the
  // monotonic clock runs on.
  options.environmentPrefix = {"env",
                               "TZ=UTC",
                               "ASAN_OPTIONS=verify_asan_link_order=0",
                               "faketime",
                               "--exclude-monotonic",
                               "-f",
                               "2026-01-01 00:00:00"};
  RunResult result = folder.Run(options);
  ASSERT_EQ(result.exitStatus, 0) << result.err;

  MersenneTwister generator;
  generator.Seed(1767225600u);  // 2026-01-01 00:00:00 UTC
  std::string expected = "Starting Loop.\n";
  table.ForEach([&](const std::string& destination, const std::vector<std::string>& sources) {
    const std::string& source = sources[generator.RandomIndex(static_cast<int>(sources.size()))];
    expected += "00:00:00, Replacing " + folder.At("pool/" + source) + " to " +
                folder.At(destination) + " -> Done.\n";
    EXPECT_EQ(folder.Read(destination), source);
  });
  size_t start = result.out.find("Starting Loop.\n");
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(result.out.substr(start), expected);
}

TEST(Cycle, MissingSourceLeavesTheDestinationWhole) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,keep.txt,absent.txt\n");
  folder.Write("keep.txt", "precious");
  folder.Write("keep.tmp", "older");
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.out.find(", Replacing " + folder.NativeAt("absent.txt") + " to " +
                            folder.NativeAt("keep.txt") + " -> Failed.\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(folder.Read("keep.txt"), "precious");
  EXPECT_EQ(folder.Read("keep.tmp"), "older");
  EXPECT_FALSE(HasStagingFile(folder));
}

TEST(Cycle, SourceThatIsAFolderFails) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,keep.txt,folder\n");
  folder.Write("folder/inside", "x");
  folder.Write("keep.txt", "precious");
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.out.find(" -> Failed.\n"), std::string::npos) << result.out;
  EXPECT_EQ(folder.Read("keep.txt"), "precious");
  EXPECT_FALSE(HasStagingFile(folder));
}

TEST(Cycle, DestinationListedAsItsOwnSourceKeepsItsContent) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,self.txt,self.txt\n");
  folder.Write("self.txt", "mine");
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.out.find(" -> Done.\n"), std::string::npos) << result.out;
  EXPECT_EQ(folder.Read("self.txt"), "mine");
  EXPECT_FALSE(HasStagingFile(folder));
}

// kelvo never writes a listed source, so a missing one that is its own only
// source stays missing: a failure with its reason, not a replacement done.
TEST(Cycle, MissingDestinationThatIsItsOwnSourceFails) {
  std::vector<std::string> names = {"gone.txt"};
  // A name the system refuses cannot be there either.
  if (TestedProgram().IsWindows()) names.push_back("a<b.txt");
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ScratchFolder folder;
    folder.Write("kelvo.txt",
                 "SetInterval,5\nAddFile," + name + "," + name + "\nAddFile,d.txt,s.txt\n");
    folder.Write("s.txt", "S");
    RunResult result = folder.Run(OneShot());
    EXPECT_EQ(result.exitStatus, 2);
    const std::string native = folder.NativeAt(name);
    EXPECT_NE(result.out.find(", Replacing " + native + " to " + native + " -> Failed.\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.err.find("kelvo: cannot replace " + native + ": "), std::string::npos)
        << result.err;
    EXPECT_EQ(folder.Read("d.txt"), "S");
  }
}

TEST(Cycle, DestinationThatIsAnotherEntrysSourceIsNotOverwritten) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,b.txt,a.txt\nAddFile,c.txt,b.txt\n");
  folder.Write("a.txt", "A");
  folder.Write("b.txt", "B");
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.out.find(folder.NativeAt("a.txt") + " to " + folder.NativeAt("b.txt") +
                            " -> Failed.\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(folder.Read("b.txt"), "B");
  EXPECT_EQ(folder.Read("c.txt"), "B");
}

// A pass stages many copies before it puts them in place; a source that
// is a link to a destination replaced earlier in the same pass must still
// give that destination's new content, as one replacement after another.
TEST(Cycle, SourceLinkedToAnEarlierDestinationReadsItsNewContent) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "the link is a Linux one";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,a.txt,s\nAddFile,b.txt,link\n");
  folder.Write("s", "S");
  folder.Write("a.txt", "old A");
  ASSERT_EQ(symlink("a.txt", folder.At("link").c_str()), 0);
  RunResult result = folder.Run(OneShot());
  ASSERT_EQ(result.exitStatus, 0) << result.out;
  size_t a = result.out.find(" to " + folder.NativeAt("a.txt") + " -> Done.");
  size_t b = result.out.find(" to " + folder.NativeAt("b.txt") + " -> Done.");
  ASSERT_NE(a, std::string::npos) << result.out;
  ASSERT_NE(b, std::string::npos) << result.out;
  EXPECT_EQ(folder.Read("b.txt"), a < b ? "S" : "old A") << result.out;
}

// A pass holds its staged copies open until they are flushed together; under
// a low limit on open files it stages fewer at a time instead of failing.
TEST(Cycle, ManyDestinationsUnderALowLimitOnOpenFiles) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "the limit is a Linux one";
  ScratchFolder folder;
  std::string script = "SetInterval,5\n";
  for (int d = 0; d < 300; ++d) {
    script += "AddFile,d" + std::to_string(d) + ".txt,s\n";
    folder.Write("d" + std::to_string(d) + ".txt", "old");
  }
  folder.Write("kelvo.txt", script);
  folder.Write("s", "S");
  RunOptions options = OneShot();
  options.environmentPrefix = {"sh", "-c", "ulimit -n 40 && exec \"$0\" \"$@\""};
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  for (int d = 0; d < 300; ++d) {
    EXPECT_EQ(folder.Read("d" + std::to_string(d) + ".txt"), "S") << d;
    EXPECT_EQ(folder.Read("d" + std::to_string(d) + ".tmp"), "old") << d;
  }
}

TEST(Cycle, SourceNamedLikeTheCompanionSurvives) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,title.ogg,title.tmp\n");
  folder.Write("title.ogg", "old");
  folder.Write("title.tmp", "the source");
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.out.find(" -> Done.\n"), std::string::npos) << result.out;
  EXPECT_EQ(folder.Read("title.tmp"), "the source");
  EXPECT_EQ(folder.Read("title.ogg"), "the source");
}

// "x.tmp" is its own companion: it gets the new content, and its old
// content, which has nowhere to go, is not kept.
TEST(Cycle, DestinationThatIsItsOwnCompanionGetsTheNewContent) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,note.tmp,s1\nAddFile,NOTE2.TMP,s2\n");
  folder.Write("s1", "new one");
  folder.Write("s2", "new two");
  folder.Write("note.tmp", "old one");
  folder.Write("NOTE2.TMP", "old two");
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
  EXPECT_EQ(CountOf(result.out, " -> Done.\n"), 3u) << result.out;
  EXPECT_EQ(folder.Read("note.tmp"), "new one");
  // The companion of "NOTE2.TMP" is "NOTE2.tmp": another file on Linux, the
  // same one on Windows.
  EXPECT_EQ(folder.Read("NOTE2.TMP"), "new two");
  if (!TestedProgram().IsWindows()) {
    EXPECT_EQ(folder.Read("NOTE2.tmp"), "old two");
  }
  EXPECT_FALSE(HasStagingFile(folder));
}

TEST(Cycle, DestinationsSharingACompanion) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,title.ogg,s1\nAddFile,title.wav,s2\n");
  folder.Write("s1", "1");
  folder.Write("s2", "2");
  folder.Write("title.ogg", "ogg");
  folder.Write("title.wav", "wav");
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(folder.Read("title.ogg"), "1");
  EXPECT_EQ(folder.Read("title.wav"), "2");
  // The table visits title.wav before title.ogg: the later replacement's
  // companion replaced the earlier one.
  size_t wav = result.out.find("title.wav -> Done.");
  size_t ogg = result.out.find("title.ogg -> Done.");
  ASSERT_NE(wav, std::string::npos);
  ASSERT_NE(ogg, std::string::npos);
  EXPECT_EQ(folder.Read("title.tmp"), wav < ogg ? "ogg" : "wav");
}

TEST(Cycle, NamesResolveAgainstBaseFoldersOrTheProgramFolder) {
  ScratchFolder folder;
  std::string pool = folder.NativeAt("pool");  // no trailing separator: joined as it is
  std::string out = folder.NativeAt("out") + (TestedProgram().IsWindows() ? "\\" : "/");
  std::string absolute = folder.NativeAt("abs.txt");
  folder.Write("kelvo.txt", "SetInterval,5\nSetDestinationPath," + out +
                                "\nAddFile,rel.txt,a.txt\nAddFile," + absolute + ",b.txt\n" +
                                "SetSourcePath," + pool + "\n");
  folder.Write("poola.txt", "joined without separator");
  folder.Write("poolb.txt", "B");
  folder.Write("out/.keep", "");
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(folder.Read("out/rel.txt"), "joined without separator");
  EXPECT_EQ(folder.Read("abs.txt"), "B");
  EXPECT_NE(result.out.find("Replacing " + pool + "a.txt to " + out + "rel.txt -> Done."),
            std::string::npos)
      << result.out;
}

TEST(Cycle, LaterPassesWaitAndStopCleanly) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,1\nAddFile,a,s\nAddFile,b,s\nAddFile,c,s\n");
  folder.Write("s", "S");
  int output = -1;
  pid_t pid = folder.Start(RunOptions(), &output);
  std::string collected;
  ASSERT_TRUE(ReadUntil(output, "Waiting Interval 0sec(1000/3).", collected, 20)) << collected;
  RequestProgramStop(pid);
  RunResult result = Finish(pid, output, 20, collected);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out.rfind("Waiting Interval 0sec(1000/3).\n"),
            result.out.size() - std::string("Waiting Interval 0sec(1000/3).\n").size())
      << result.out;
  EXPECT_EQ(Join(ReportMessages(folder.Read("purlolog.html"))), result.out);
  EXPECT_FALSE(HasStagingFile(folder));
}

TEST(Cycle, EmptyTableIdlesBetweenPasses) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,1\n");
  int output = -1;
  pid_t pid = folder.Start(RunOptions(), &output);
  std::string collected;
  ASSERT_TRUE(ReadUntil(output, "Starting Loop.", collected, 20));
  usleep(500000);
  RequestProgramStop(pid);
  RunResult result = Finish(pid, output, 20, collected);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out.substr(result.out.find("Starting Loop.")), "Starting Loop.\n");
}

bool IsWindows() { return TestedProgram().IsWindows(); }

// Only files are replaced: a folder listed as a destination stays where it
// is with everything in it.
TEST(Cycle, FolderAsDestinationIsNeverMoved) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,pool,pool/a.txt\n");
  folder.Write("pool/a.txt", "A");
  folder.Write("pool/b.txt", "B");
  RunResult result = folder.Run(OneShot());
  EXPECT_NE(result.out.find(" -> Failed.\n"), std::string::npos) << result.out;
  EXPECT_EQ(folder.List("pool"), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_FALSE(folder.Exists("pool.tmp"));
  EXPECT_FALSE(HasStagingFile(folder));
}

// A FIFO as source neither blocks the run nor is read.
TEST(Cycle, FifoAsSourceFailsAtOnce) {
  if (IsWindows()) GTEST_SKIP() << "FIFOs are a Linux case";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,out.txt,fifo\nAddFile,other.txt,s.txt\n");
  folder.Write("s.txt", "S");
  folder.Write("out.txt", "old");
  ASSERT_EQ(mkfifo(folder.At("fifo").c_str(), 0644), 0);
  RunOptions options = OneShot();
  options.timeoutSeconds = 10;
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 2);
  EXPECT_NE(result.out.find("fifo to " + folder.At("out.txt") + " -> Failed.\n"), std::string::npos)
      << result.out;
  EXPECT_NE(result.err.find("not a regular file"), std::string::npos) << result.err;
  EXPECT_EQ(folder.Read("out.txt"), "old");
  EXPECT_EQ(folder.Read("other.txt"), "S");
}

// A link to a source is a name like any other: the link moves to the
// companion and the source it leads to stays as it was.
TEST(Cycle, LinksToSourcesAreRotatedLikeFiles) {
  ScratchFolder folder;
  folder.Write("kelvo.txt",
               "SetInterval,5\nAddFile,hard.dat,pool/b\nAddFile,soft.dat,pool/b\n"
               "AddFile,keep.dat,pool/a\n");
  folder.Write("pool/a", "A");
  folder.Write("pool/b", "B");
  ASSERT_EQ(link(folder.At("pool/a").c_str(), folder.At("hard.dat").c_str()), 0);
  bool symbolic = !IsWindows();
  if (symbolic) {
    ASSERT_EQ(symlink("pool/a", folder.At("soft.dat").c_str()), 0);
  }
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_NE(result.out.find(folder.NativeAt("hard.dat") + " -> Done.\n"), std::string::npos)
      << result.out;
  EXPECT_EQ(folder.Read("hard.dat"), "B");
  EXPECT_EQ(folder.Read("hard.tmp"), "A");
  EXPECT_EQ(folder.Read("pool/a"), "A");
  if (symbolic) {
    EXPECT_NE(result.out.find(folder.At("soft.dat") + " -> Done.\n"), std::string::npos);
    struct stat info;
    ASSERT_EQ(lstat(folder.At("soft.dat").c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(folder.Read("soft.dat"), "B");
    ASSERT_EQ(lstat(folder.At("soft.tmp").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
  }
  EXPECT_FALSE(HasStagingFile(folder));
}

// Helper names do not grow with the destination's: the longest name the
// system takes is replaced, and no name of the user's is reserved.
TEST(Cycle, LongestNamesAndNamesLikeOldHelpersAreFine) {
  ScratchFolder folder;
  // Wine's paths stop at 260 characters in all; Linux names at 255 bytes.
  size_t length = IsWindows() ? 255 - folder.NativeAt("").size() : 255;
  std::string longest = std::string(length - 4, 'n') + ".ogg";
  std::string companion = longest.substr(0, longest.size() - 4) + ".tmp";
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile," + longest + ",s\nAddFile,t.ogg,s\n");
  folder.Write("s", "new");
  folder.Write(longest, "old");
  folder.Write("t.ogg", "old t");
  folder.Write("t.ogg.kelvo-new", "a file of the user's");
  RunResult result = folder.Run(OneShot());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(folder.Read(longest), "new");
  EXPECT_EQ(folder.Read(companion), "old");
  EXPECT_EQ(folder.Read("t.ogg"), "new");
  EXPECT_EQ(folder.Read("t.ogg.kelvo-new"), "a file of the user's");
  EXPECT_TRUE(HelperFiles(folder).empty());
  if (!IsWindows()) {
    // No name is left for an original: said, not passed over in silence.
    EXPECT_NE(result.err.find("kelvo: cannot keep the original as " + folder.At(longest) +
                              ".orig: File name too long"),
              std::string::npos)
        << result.err;
  }
}

// Run as root, as a service would: links planted under the companion's name,
// the first helper names the run takes and the old fixed staging name lead
// to a file only root may write. It must stay untouched, and the replacement be made.
TEST(Cycle, PlantedLinksAreNeverFollowed) {
  if (IsWindows()) GTEST_SKIP() << "planted symbolic links are a Linux case";
  ScratchFolder folder;
  folder.Write("kelvo.txt", "SetInterval,5\nAddFile,title.ogg,s\n");
  folder.Write("s", "new");
  folder.Write("title.ogg", "old");
  folder.Write("victim", "root's own");
  ASSERT_EQ(chmod(folder.At("victim").c_str(), 0600), 0);
  ASSERT_EQ(symlink(folder.At("victim").c_str(), folder.At("title.ogg.kelvo-new").c_str()), 0);
  ASSERT_EQ(symlink(folder.At("victim").c_str(), folder.At("title.tmp").c_str()), 0);
  // The program keeps the shell's process id: plant its names, then start it.
  std::string plant = "cd '" + folder.Path() +
                      "' && for n in $(seq 1 40); do h=$(printf %x $n); p=$(printf %x $$); "
                      "ln -s victim .kelvo-$p-$h.new; ln -s victim .kelvo-$p-$h.old; done; "
                      "exec \"$0\" \"$@\"";
  RunOptions options = OneShot();
  options.environmentPrefix = {"sh", "-c", plant};
  RunResult result = folder.Run(options);
  EXPECT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_NE(result.out.find(" -> Done.\n"), std::string::npos) << result.out;
  EXPECT_EQ(folder.Read("victim"), "root's own");
  EXPECT_EQ(folder.Read("title.ogg"), "new");
  EXPECT_EQ(folder.Read("title.tmp"), "old");
  size_t links = 0;
  for (const std::string& name : folder.List()) {
    struct stat info;
    if (name.find(".kelvo-") != std::string::npos && lstat(folder.At(name).c_str(), &info) == 0 &&
        S_ISLNK(info.st_mode)) {
      ++links;
    }
  }
  EXPECT_EQ(links, 81u);                       // every planted link is still there
  EXPECT_EQ(HelperFiles(folder).size(), 80u);  // and no helper of the run's own
}

}  // namespace
