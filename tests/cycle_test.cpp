// End-to-end tests of the replacement cycle: real files, real script, the
// real executable.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>

#include "engine/replacement_table.h"
#include "random/mersenne_twister.h"
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
  if (system("command -v faketime >/dev/null 2>&1") != 0) GTEST_SKIP() << "faketime missing";
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
  options.environmentPrefix = {"env", "TZ=UTC", "ASAN_OPTIONS=verify_asan_link_order=0", "faketime",
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
  EXPECT_EQ(result.exitStatus, 0);
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

// Kills the program at random moments while it copies large files: every
// destination must hold either its old content or a whole source, and no
// companion may be lost or partial.
TEST(Cycle, KillDuringCopiesLosesNothing) {
  const int kDestinations = 6;
  const size_t kSize = 24 << 20;
  ScratchFolder folder;
  std::string script = "SetInterval,1\n";
  std::vector<std::string> sources;
  for (int s = 0; s < 3; ++s) {
    std::string name = "src" + std::to_string(s);
    folder.Write(name, std::string(kSize, static_cast<char>('a' + s)));
    sources.push_back(folder.Read(name));
  }
  for (int d = 0; d < kDestinations; ++d) {
    for (int s = 0; s < 3; ++s) {
      script += "AddFile,dst" + std::to_string(d) + ",src" + std::to_string(s) + "\n";
    }
    folder.Write("dst" + std::to_string(d), "original " + std::to_string(d));
  }
  folder.Write("kelvo.txt", script);
  std::mt19937 random(12345);
  for (int round = 0; round < 8; ++round) {
    int output = -1;
    pid_t pid = folder.Start(RunOptions(), &output);
    std::string collected;
    ReadUntil(output, "Starting Loop.", collected, 20);
    usleep(std::uniform_int_distribution<int>(0, 150000)(random));
    kill(pid, SIGKILL);
    Finish(pid, output, 20, collected);
    for (int d = 0; d < kDestinations; ++d) {
      std::string name = "dst" + std::to_string(d);
      std::string original = "original " + std::to_string(d);
      for (const std::string& file : {name, "dst" + std::to_string(d) + ".tmp"}) {
        if (!folder.Exists(file)) {
          EXPECT_NE(file, name) << "destination missing after round " << round;
          continue;
        }
        std::string content = folder.Read(file);
        bool whole = content == original || content == sources[0] || content == sources[1] ||
                     content == sources[2];
        EXPECT_TRUE(whole) << file << " holds " << content.size() << " bytes after round " << round;
      }
    }
  }
}

}  // namespace
