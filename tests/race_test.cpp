// End-to-end test of two runs racing: two program folders whose scripts name
// the same destinations start one-shot passes at the same moment. Whatever
// the interleaving, no destination is partial or missing, no old content is
// lost, and what each run reports is true of what it did.
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace {

const int kDestinations = 100;
const int kTrials = 50;

std::string SourceContent(char run, int source) {
  return std::string(1, run) + " source " + std::to_string(source) + std::string(2000, run);
}

// A program folder with a pool of its own, replacing the shared destinations.
void SetUpRun(const ScratchFolder& folder, const ScratchFolder& shared, char run) {
  std::string script = "SetInterval,5\nSetSourcePath," + folder.NativeAt("pool/") + "\n";
  for (int d = 0; d < kDestinations; ++d) {
    for (int s = 0; s < 2; ++s) {
      script += "AddFile," + shared.NativeAt("dst" + std::to_string(d) + ".dat") + ",src" +
                std::to_string(s) + "\n";
    }
  }
  folder.Write("kelvo.txt", script);
  for (int s = 0; s < 2; ++s) folder.Write("pool/src" + std::to_string(s), SourceContent(run, s));
}

// The destination's base name in a reported path of either system.
std::string BaseName(const std::string& path) {
  return path.substr(path.find_last_of(TestedProgram().IsWindows() ? "\\" : "/") + 1);
}

TEST(Race, TwoRunsOnTheSameDestinations) {
  ScratchFolder first;
  ScratchFolder second;
  ScratchFolder shared;
  SetUpRun(first, shared, 'A');
  SetUpRun(second, shared, 'B');
  std::map<std::string, std::string> sourceContent;  // reported source path -> content
  for (int s = 0; s < 2; ++s) {
    sourceContent[first.NativeAt("pool/src" + std::to_string(s))] = SourceContent('A', s);
    sourceContent[second.NativeAt("pool/src" + std::to_string(s))] = SourceContent('B', s);
  }

  int bothDone = 0;
  int oneDone = 0;
  int noneDone = 0;
  int problems = 0;
  for (int trial = 0; trial < kTrials; ++trial) {
    std::map<std::string, std::string> old;
    std::map<std::string, std::string> previous;
    for (int d = 0; d < kDestinations; ++d) {
      std::string name = "dst" + std::to_string(d) + ".dat";
      std::string companion = "dst" + std::to_string(d) + ".tmp";
      old[name] = "old " + std::to_string(d) + " of trial " + std::to_string(trial);
      previous[name] = "previous " + std::to_string(d) + " of trial " + std::to_string(trial);
      unlink(shared.At(name).c_str());
      unlink(shared.At(companion).c_str());
      shared.Write(name, old[name]);
      shared.Write(companion, previous[name]);
    }
    int firstOutput = -1;
    int secondOutput = -1;
    pid_t firstPid = first.Start(WithArguments({"-oneshot"}), &firstOutput);
    pid_t secondPid = second.Start(WithArguments({"-oneshot"}), &secondOutput);
    RunResult firstResult = Finish(firstPid, firstOutput, 120);
    RunResult secondResult = Finish(secondPid, secondOutput, 120);
    firstResult.err = first.Read(".stderr");
    secondResult.err = second.Read(".stderr");
    // Per destination, the contents that runs reported putting in place.
    std::map<std::string, std::vector<std::string>> done;
    for (const RunResult* result : {&firstResult, &secondResult}) {
      std::vector<ReportedReplacement> reported = ReportedReplacements(result->out);
      EXPECT_EQ(reported.size(), static_cast<size_t>(kDestinations)) << result->out;
      bool anyFailed = false;
      for (const ReportedReplacement& replacement : reported) {
        if (replacement.done) {
          done[BaseName(replacement.destination)].push_back(sourceContent[replacement.source]);
        } else {
          anyFailed = true;  // on Windows, the other run may hold a file for a moment
        }
      }
      // The status says the same as the console.
      EXPECT_EQ(result->exitStatus, anyFailed ? 2 : 0) << result->err;
    }
    for (int d = 0; d < kDestinations; ++d) {
      std::string name = "dst" + std::to_string(d) + ".dat";
      std::string companion = "dst" + std::to_string(d) + ".tmp";
      const std::vector<std::string>& placed = done[name];
      std::string content = shared.Exists(name) ? shared.Read(name) : "(missing)";
      std::string kept = shared.Exists(companion) ? shared.Read(companion) : "(missing)";
      std::string where = name + " in trial " + std::to_string(trial);
      bool ok = true;
      if (placed.empty()) {
        // Both failed: nothing may have changed.
        ++noneDone;
        ok = content == old[name] && kept == previous[name];
      } else if (placed.size() == 1) {
        // One run replaced it, as it said; the old content is the companion.
        ++oneDone;
        ok = content == placed[0] && kept == old[name];
      } else {
        // Both did, one after the other: the later one's content is in place
        // and the companion holds what the later one found there.
        ++bothDone;
        bool firstLast = content == placed[1] && (kept == placed[0] || kept == old[name]);
        bool secondLast = content == placed[0] && (kept == placed[1] || kept == old[name]);
        ok = firstLast || secondLast;
      }
      if (!ok) ++problems;
      EXPECT_TRUE(ok) << where << ": destination " << content.substr(0, 20) << ", companion "
                      << kept.substr(0, 20) << ", " << placed.size() << " runs reported done";
    }
    // An old content left under a helper counts as lost here: no kill ended
    // these runs, so each finished its replacements.
    EXPECT_TRUE(HelperFiles(shared).empty())
        << "trial " << trial << ": " << HelperFiles(shared).front().first << "\n"
        << firstResult.err << secondResult.err;
  }
  std::printf(
      "races: %d trials of %d destinations; both done %d, one done %d, none done %d, "
      "problems %d\n",
      kTrials, kDestinations, bothDone, oneDone, noneDone, problems);
}

}  // namespace
