// End-to-end tests of kills: the program is killed at every file call of a
// replacement (Linux, through strace), and at random moments of one-shot
// passes over many small files and over large ones (both builds). After each
// kill every destination holds a whole file, old or new, its old content is
// still reachable, no companion is broken, and the next run loses nothing.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testing/required_tools.h"
#include "tests/harness.h"

namespace {

RunOptions OneShot() { return WithArguments({"-oneshot"}); }

// What a kill left of one destination, its companion and the helpers.
struct Tally {
  int wholeOld = 0;
  int wholeNew = 0;
  int partial = 0;
  int missing = 0;
  int lostOld = 0;          // the old content is nowhere
  int brokenCompanion = 0;  // companion neither previous nor old, or replaced too early
  int keptHelpers = 0;      // ".old" helpers holding an old content
  int brokenOriginal = 0;   // an original that is not a whole old content
};

std::ostream& operator<<(std::ostream& out, const Tally& tally) {
  return out << "whole-old " << tally.wholeOld << ", whole-new " << tally.wholeNew << ", partial "
             << tally.partial << ", missing " << tally.missing << ", lost " << tally.lostOld
             << ", broken companion " << tally.brokenCompanion << ", broken original "
             << tally.brokenOriginal << ", old kept by a helper " << tally.keptHelpers;
}

// One destination as a trial set it up.
struct Destination {
  std::string name;       // e.g. "d/dst7.dat"
  std::string companion;  // e.g. "d/dst7.tmp"
  std::string old;        // content before the trial
  std::string previous;   // companion before the trial
};

// Checks one destination after a kill and counts what was found.
void Classify(const ScratchFolder& folder, const Destination& destination,
              const std::set<std::string>& sources,
              const std::vector<std::pair<std::string, std::string>>& helpers, Tally& tally) {
  bool replaced = false;
  if (!folder.Exists(destination.name)) {
    ++tally.missing;
  } else {
    std::string content = folder.Read(destination.name);
    if (content == destination.old) {
      ++tally.wholeOld;
    } else if (sources.count(content) != 0) {
      ++tally.wholeNew;
      replaced = true;
    } else {
      ++tally.partial;
    }
  }
  std::string companion =
      folder.Exists(destination.companion) ? folder.Read(destination.companion) : "(none)";
  bool companionOld = companion == destination.old;
  if (!(companion == destination.previous || (companionOld && replaced))) ++tally.brokenCompanion;
  bool reachable = companionOld || (!replaced && folder.Exists(destination.name));
  for (const auto& helper : helpers) {
    if (helper.second != destination.old) continue;
    if (helper.first.size() > 4 && helper.first.compare(helper.first.size() - 4, 4, ".old") == 0) {
      reachable = true;
      ++tally.keptHelpers;
    }
  }
  if (!reachable) ++tally.lostOld;
  // An original, once there, is a whole old content of some trial.
  std::string original = destination.name + ".orig";
  if (folder.Exists(original)) {
    std::string kept = folder.Read(original);
    std::string prefix = destination.old.substr(0, destination.old.find(" of trial ") + 10);
    if (kept.compare(0, prefix.size(), prefix) != 0) ++tally.brokenOriginal;
  }
}

void ExpectNothingLost(const Tally& tally, const std::string& what) {
  EXPECT_EQ(tally.partial, 0) << what << ": " << tally;
  EXPECT_EQ(tally.missing, 0) << what << ": " << tally;
  EXPECT_EQ(tally.lostOld, 0) << what << ": " << tally;
  EXPECT_EQ(tally.brokenCompanion, 0) << what << ": " << tally;
  EXPECT_EQ(tally.brokenOriginal, 0) << what << ": " << tally;
  std::printf("%s: %s\n", what.c_str(), ::testing::PrintToString(tally).c_str());
}

// Sets every destination and companion to contents of this trial's own, so
// that no older copy can pass for them.
std::vector<Destination> SetUpTrial(const ScratchFolder& folder, int count, int trial) {
  std::vector<Destination> destinations;
  for (int d = 0; d < count; ++d) {
    Destination destination;
    destination.name = "d/dst" + std::to_string(d) + ".dat";
    destination.companion = "d/dst" + std::to_string(d) + ".tmp";
    destination.old = "old " + std::to_string(d) + " of trial " + std::to_string(trial);
    destination.previous = "previous " + std::to_string(d) + " of trial " + std::to_string(trial);
    // New files, not the old ones truncated: a helper may be a second name
    // of an old destination.
    unlink(folder.At(destination.name).c_str());
    unlink(folder.At(destination.companion).c_str());
    folder.Write(destination.name, destination.old);
    folder.Write(destination.companion, destination.previous);
    destinations.push_back(destination);
  }
  return destinations;
}

// A script of count destinations under d/, each drawing from the pool.
std::string PoolScript(int count, int poolSize) {
  std::string script = "SetInterval,5\n";
  for (int d = 0; d < count; ++d) {
    for (int s = 0; s < poolSize; ++s) {
      script += "AddFile,d/dst" + std::to_string(d) + ".dat,pool/src" + std::to_string(s) + "\n";
    }
  }
  return script;
}

std::set<std::string> WritePool(const ScratchFolder& folder, int poolSize, size_t size) {
  std::set<std::string> contents;
  for (int s = 0; s < poolSize; ++s) {
    std::string content(size, static_cast<char>('a' + s));
    content.replace(0, 8, "source " + std::to_string(s));
    folder.Write("pool/src" + std::to_string(s), content);
    contents.insert(content);
  }
  return contents;
}

// A ".old" helper may hold an old content and is never deleted; ".new" and
// ".del" helpers hold nothing wanted and are swept at the next start.
bool IsKept(const std::string& helper) {
  return helper.size() > 4 && helper.compare(helper.size() - 4, 4, ".old") == 0;
}

// Kills one-shot runs at random moments of their pass, trials times.
void KillAtRandomMoments(int destinations, int poolSize, size_t sourceSize, int trials,
                         const std::string& what) {
  ScratchFolder folder;
  folder.Write("kelvo.txt", PoolScript(destinations, poolSize));
  std::set<std::string> sources = WritePool(folder, poolSize, sourceSize);

  // Whole passes tell how long the replacements of a pass take, from
  // "Starting Loop." to the last result (the median of three, caches warm).
  std::vector<double> passes;
  int output = -1;
  pid_t pid = -1;
  std::string console;
  for (int calibration = 0; calibration < 3; ++calibration) {
    SetUpTrial(folder, destinations, -1 - calibration);
    pid = folder.Start(OneShot(), &output);
    console.clear();
    ASSERT_TRUE(ReadUntil(output, "Starting Loop.", console, 60)) << console;
    double start = Seconds();
    while (CountOf(console, " -> ") < static_cast<size_t>(destinations) &&
           Seconds() < start + 120) {
      ReadFor(output, console, 0.002);
    }
    passes.push_back(Seconds() - start);
    RunResult whole = Finish(pid, output, 120, console);
    ASSERT_EQ(whole.exitStatus, 0);
  }
  // The fastest pass: a pass timed while the machine is busy would put most
  // kills after the end of a pass made when it is not.
  std::sort(passes.begin(), passes.end());
  double pass = passes[0];

  std::mt19937 random(20261207);
  std::uniform_real_distribution<double> fraction(0, 1.1);
  Tally tally;
  int killed = 0;
  std::map<std::string, std::string> keptBefore;
  for (int trial = 0; trial < trials; ++trial) {
    std::vector<Destination> set = SetUpTrial(folder, destinations, trial);
    pid = folder.Start(OneShot(), &output);
    console.clear();
    ReadUntil(output, "Starting Loop.", console, 60);
    usleep(static_cast<useconds_t>(fraction(random) * pass * 1e6));
    kill(pid, SIGKILL);
    RunResult result = Finish(pid, output, 60, console);
    if (result.signal == SIGKILL) {
      ++killed;
    } else {
      // The pass ended before the kill: passes are quicker now than timed.
      pass *= 0.8;
    }
    std::vector<std::pair<std::string, std::string>> helpers = HelperFiles(folder, "d");
    for (const Destination& destination : set)
      Classify(folder, destination, sources, helpers, tally);
    // Helpers holding an old content stay: no later run deletes them.
    std::map<std::string, std::string> now(helpers.begin(), helpers.end());
    for (const auto& kept : keptBefore) {
      auto found = now.find(kept.first);
      EXPECT_TRUE(found != now.end() && found->second == kept.second)
          << kept.first << " vanished or changed in trial " << trial;
    }
    for (const auto& helper : helpers) {
      if (helper.first.find(".old") != std::string::npos) keptBefore.insert(helper);
    }
  }
  // A whole run sweeps what the killed runs left that holds nothing wanted,
  // and keeps every ".old".
  SetUpTrial(folder, destinations, trials);
  ASSERT_EQ(folder.Run(OneShot()).exitStatus, 0);
  std::map<std::string, std::string> after;
  for (const auto& helper : HelperFiles(folder, "d")) {
    EXPECT_TRUE(IsKept(helper.first)) << helper.first << " was not swept";
    after.insert(helper);
  }
  for (const auto& kept : keptBefore) {
    EXPECT_TRUE(after.count(kept.first) != 0 && after[kept.first] == kept.second)
        << kept.first << " vanished or changed in the last run";
  }
  EXPECT_GT(killed, trials / 2) << "most trials should be cut off by the kill";
  std::printf("%s: %d trials, %d killed in the pass, pass %.3f s\n", what.c_str(), trials, killed,
              pass);
  ExpectNothingLost(tally, what);
}

TEST(Kill, AtRandomMomentsAmongManySmallFiles) {
  KillAtRandomMoments(150, 3, 64, 200, "random kills, 150 small files");
}

TEST(Kill, AtRandomMomentsDuringLargeCopies) {
  KillAtRandomMoments(4, 3, 16 << 20, 100, "random kills, 4 files of 16 MiB");
}

// --- A kill at every file call ------------------------------------------

bool HaveStrace() { return system("command -v strace >/dev/null 2>&1") == 0; }

// The system calls that act on files, by name or by descriptor: the steps of
// a replacement, its flushes, and its log and console writes. Memory, thread,
// signal and clock calls are left out: how many of them a run makes depends
// on the allocator and on the threads' timing, not on the replacement.
bool IsFileCall(const std::string& name) {
  static const std::set<std::string> calls = [] {
    std::istringstream names(
        "open openat openat2 creat close close_range dup dup2 dup3 fcntl ioctl flock "
        "read pread64 readv preadv preadv2 write pwrite64 writev pwritev pwritev2 lseek "
        "copy_file_range sendfile splice tee fallocate fadvise64 ftruncate truncate "
        "link linkat symlink symlinkat rename renameat renameat2 unlink unlinkat "
        "mkdir mkdirat rmdir getdents64 fsync fdatasync syncfs sync_file_range "
        "chmod fchmod fchmodat chown fchown fchownat lchown utime utimes futimesat utimensat "
        "stat fstat lstat newfstatat statx access faccessat faccessat2 readlink readlinkat "
        "statfs fstatfs getxattr lgetxattr fgetxattr setxattr lsetxattr fsetxattr "
        "listxattr llistxattr flistxattr removexattr lremovexattr fremovexattr");
    return std::set<std::string>(std::istream_iterator<std::string>(names),
                                 std::istream_iterator<std::string>());
  }();
  return calls.count(name) != 0;
}

// One system call in the strace log of a run's main thread.
struct TracedCall {
  std::string name;
  bool startsLoop = false;  // the console write of "Starting Loop."
  bool cut = false;         // a kill ended the process in it
};

std::vector<TracedCall> TracedCalls(const std::string& traceLog) {
  std::vector<TracedCall> calls;
  std::istringstream lines(traceLog);
  std::string line;
  while (std::getline(lines, line)) {
    size_t open = line.find('(');
    if (open == std::string::npos || open == 0) continue;
    std::string name = line.substr(0, open);
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != std::string::npos) {
      continue;  // "+++ killed by SIGKILL +++" and the like
    }
    TracedCall call;
    call.name = name;
    call.startsLoop = line.compare(0, 27, "write(1, \"Starting Loop.\\n\"") == 0;
    call.cut = line.size() >= 4 && line.compare(line.size() - 4, 4, " = ?") == 0;
    calls.push_back(call);
  }
  return calls;
}

// Index of the first call after "Starting Loop.", or the number of calls
// when the run did not get there.
size_t LoopStart(const std::vector<TracedCall>& calls) {
  for (size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].startsLoop) return i + 1;
  }
  return calls.size();
}

// A moment of the loop to kill the run at: the sinceLoop-th call of name
// after "Starting Loop.".
struct KillPoint {
  std::string name;
  int sinceLoop = 0;
};

std::vector<KillPoint> KillPoints(const std::vector<TracedCall>& calls) {
  std::vector<KillPoint> points;
  std::map<std::string, int> seen;
  for (size_t i = LoopStart(calls); i < calls.size(); ++i) {
    if (IsFileCall(calls[i].name)) points.push_back({calls[i].name, ++seen[calls[i].name]});
  }
  return points;
}

// Which call of its name the point is from the start of the run, as strace
// counts for an injection; 0 when the trace has no such call.
int Occurrence(const std::vector<TracedCall>& calls, const KillPoint& point) {
  int before = 0;
  size_t loop = LoopStart(calls);
  for (size_t i = 0; i < loop; ++i) before += calls[i].name == point.name ? 1 : 0;
  int since = 0;
  for (size_t i = loop; i < calls.size(); ++i) {
    if (calls[i].name == point.name && ++since == point.sinceLoop) return before + since;
  }
  return 0;
}

// The point a kill cut the run short at (sinceLoop 0: not in the loop).
KillPoint KilledAt(const std::vector<TracedCall>& calls) {
  KillPoint point;
  std::map<std::string, int> seen;
  for (size_t i = LoopStart(calls); i < calls.size(); ++i) {
    int since = ++seen[calls[i].name];
    if (calls[i].cut) return {calls[i].name, since};
  }
  return point;
}

struct KillScenario {
  const char* name;
  bool destinationExists;
  bool companionExists;
};

void PrintTo(const KillScenario& scenario, std::ostream* out) { *out << scenario.name; }

// strace with the given arguments, on the main thread alone: it is the one
// that replaces, and the threads it starts are neither counted nor killed.
// A leak check cannot run under it.
std::vector<std::string> StracePrefix(std::vector<std::string> arguments) {
  std::vector<std::string> prefix = {"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-qq"};
  prefix.insert(prefix.end(), arguments.begin(), arguments.end());
  return prefix;
}

// Tries a point again, with the calls counted anew, when a run was not
// killed there: a green run must not depend on two runs making the same
// calls before the loop.
const int kAttempts = 3;

class KillAtEveryCall : public testing::TestWithParam<KillScenario> {
 protected:
  void Prepare(const ScratchFolder& folder) const {
    const KillScenario& scenario = GetParam();
    folder.Write("kelvo.txt", "SetInterval,5\nAddFile,d/dst0.dat,pool/src0\n");
    WritePool(folder, 1, 4096);
    folder.Write("d/.keep", "");
    if (scenario.destinationExists) folder.Write("d/dst0.dat", "old content");
    if (scenario.companionExists) folder.Write("d/dst0.tmp", "previous companion");
  }

  // The main thread's calls in a whole run.
  std::vector<TracedCall> TraceWholeRun() const {
    ScratchFolder folder;
    Prepare(folder);
    RunOptions options = OneShot();
    options.environmentPrefix = StracePrefix({"-o", folder.At("trace.log")});
    RunResult result = folder.Run(options);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    return TracedCalls(folder.Read("trace.log"));
  }

  // What a kill left, and what the next run makes of it.
  void CheckWhatTheKillLeft(const ScratchFolder& folder, const std::string& where) {
    const KillScenario& scenario = GetParam();
    Destination destination{"d/dst0.dat", "d/dst0.tmp",
                            scenario.destinationExists ? "old content" : "(none)",
                            scenario.companionExists ? "previous companion" : "(none)"};
    std::vector<std::pair<std::string, std::string>> helpers = HelperFiles(folder, "d");
    Tally one;
    if (scenario.destinationExists) {
      Classify(folder, destination, sources, helpers, one);
    } else if (folder.Exists("d/dst0.dat") && sources.count(folder.Read("d/dst0.dat")) == 0) {
      ++one.partial;
    }
    EXPECT_EQ(one.partial + one.missing + one.lostOld + one.brokenCompanion, 0)
        << where << ": " << one;
    EXPECT_EQ(folder.Read("pool/src0"), *sources.begin()) << where;
    // An original, once there, is whole.
    if (folder.Exists("d/dst0.dat.orig")) {
      EXPECT_EQ(folder.Read("d/dst0.dat.orig"), "old content") << where;
    }
    tally.wholeOld += one.wholeOld;
    tally.wholeNew += one.wholeNew;
    tally.keptHelpers += one.keptHelpers;

    // The next run replaces the destination, deletes nothing that holds an
    // old content, and sweeps what holds nothing wanted.
    RunResult next = folder.Run(OneShot());
    EXPECT_NE(next.out.find(" -> Done.\n"), std::string::npos) << where << next.out;
    EXPECT_EQ(folder.Read("d/dst0.dat"), *sources.begin()) << where;
    std::vector<std::pair<std::string, std::string>> after = HelperFiles(folder, "d");
    for (const auto& helper : helpers) {
      bool kept = false;
      for (const auto& later : after) kept = kept || later == helper;
      if (helper.second == destination.old || IsKept(helper.first)) {
        EXPECT_TRUE(kept) << where << ": " << helper.first;
      } else {
        EXPECT_FALSE(kept) << where << ": " << helper.first << " was not swept";
        swept += kept ? 0 : 1;
      }
    }
    for (const auto& later : after)
      EXPECT_TRUE(IsKept(later.first)) << where << ": " << later.first;
  }

  std::set<std::string> sources;
  Tally tally;
  int swept = 0;  // helpers a kill left that the next run deleted
};

TEST_P(KillAtEveryCall, LosesNothing) {
  if (TestedProgram().IsWindows()) GTEST_SKIP() << "strace runs the Linux build";
  if (!HaveStrace()) SKIP_FOR_MISSING_TOOL("strace missing");
  const KillScenario& scenario = GetParam();

  std::vector<TracedCall> calibration = TraceWholeRun();
  std::vector<KillPoint> points = KillPoints(calibration);
  ASSERT_GT(points.size(), 5u);

  int killed = 0;
  int retried = 0;  // points tried again after a run was not killed there
  for (const KillPoint& point : points) {
    std::string where =
        "killed at " + point.name + " #" + std::to_string(point.sinceLoop) + " of the loop";
    int occurrence = Occurrence(calibration, point);
    bool hit = false;
    std::string missed;  // where the last attempt ended instead
    for (int attempt = 0; attempt < kAttempts && !hit; ++attempt) {
      if (attempt > 0) {
        ++retried;
        occurrence = Occurrence(TraceWholeRun(), point);
      }
      ASSERT_GT(occurrence, 0) << where << ": no longer made";
      ScratchFolder folder;
      Prepare(folder);
      if (sources.empty()) sources = {folder.Read("pool/src0")};
      std::string traced = point.name == "write" ? "write" : point.name + ",write";
      RunOptions options = OneShot();
      options.environmentPrefix = StracePrefix(
          {"-o", folder.At("kill.log"), "-e", "trace=" + traced, "-e",
           "inject=" + point.name + ":signal=KILL:when=" + std::to_string(occurrence)});
      RunResult result = folder.Run(options);
      KillPoint at = KilledAt(TracedCalls(folder.Read("kill.log")));
      hit = result.signal == SIGKILL && at.name == point.name && at.sinceLoop == point.sinceLoop;
      if (result.signal != SIGKILL) {
        missed = "not killed (" + std::to_string(result.exitStatus) + ")";
      } else if (at.sinceLoop == 0) {
        missed = "killed before the loop";
      } else {
        missed = "killed at " + at.name + " #" + std::to_string(at.sinceLoop) + " instead";
      }
      // Wherever it came, a kill must lose nothing.
      if (result.signal == SIGKILL)
        CheckWhatTheKillLeft(folder, hit ? where : where + ", " + missed);
    }
    if (hit) {
      ++killed;
    } else {
      ADD_FAILURE() << where << ": the run was not killed there in " << kAttempts
                    << " attempts; the last was " << missed;
    }
  }
  EXPECT_EQ(killed, static_cast<int>(points.size()));
  std::printf(
      "kill at every file call, %s: %zu kill points, %d killed, %d retried, %d leftovers "
      "swept; %s\n",
      scenario.name, points.size(), killed, retried, swept,
      ::testing::PrintToString(tally).c_str());
}

INSTANTIATE_TEST_SUITE_P(Scenarios, KillAtEveryCall,
                         testing::Values(KillScenario{"destination and companion", true, true},
                                         KillScenario{"destination without companion", true, false},
                                         KillScenario{"new destination", false, false}),
                         [](const testing::TestParamInfo<KillScenario>& param) {
                           return std::string(param.param.destinationExists ? "Destination"
                                                                            : "NewDestination") +
                                  (param.param.companionExists ? "AndCompanion" : "");
                         });

}  // namespace
