// The replacement cycle: pass after pass, every destination gets a source
// drawn at random from its list. A replacement copies the source beside the
// destination first, so no failure or kill leaves the destination half
// written or its old content lost, and never touches a file named as a source.
#include "engine/cycle.h"

#include <set>
#include <utility>
#include <vector>

#include "log/log_service.h"
#include "platform/platform.h"
#include "random/mersenne_twister.h"

namespace {

// The files the script names as sources, by resolved name and by identity.
class SourceGuard {
 public:
  explicit SourceGuard(const RunSettings& settings) {
    settings.Table.ForEach([&](const std::string&, const std::vector<std::string>& sources) {
      for (const std::string& source : sources) {
        paths.insert(ResolvePath(source, settings.SourcePath, g_log->programDirectory));
      }
    });
  }

  // Sources come and go between passes; their identities are taken anew.
  void Refresh() {
    identities.clear();
    for (const std::string& path : paths) {
      FileIdentity identity = GetFileIdentity(path);
      if (identity.valid) identities.insert(std::make_pair(identity.device, identity.node));
    }
  }

  bool IsSource(const std::string& path) const {
    if (paths.count(path) != 0) return true;
    FileIdentity identity = GetFileIdentity(path);
    return identity.valid && identities.count(std::make_pair(identity.device, identity.node)) != 0;
  }

 private:
  std::set<std::string> paths;
  std::set<std::pair<uint64_t, uint64_t>> identities;
};

bool IsSameFile(const std::string& a, const std::string& b) {
  if (a == b) return true;
  FileIdentity first = GetFileIdentity(a);
  FileIdentity second = GetFileIdentity(b);
  return first.valid && second.valid && first.device == second.device && first.node == second.node;
}

// Puts the staged copy in the destination's place, keeping the old
// destination under the companion name where that name is free to use.
bool PutStagedInPlace(const std::string& staging, const std::string& destination,
                      const std::string& companion, const SourceGuard& guard) {
  if (guard.IsSource(companion) || IsSameFile(companion, destination)) {
    return MoveOver(staging, destination);
  }
  DeleteFileAt(companion);
  if (FileExists(companion.c_str())) {
    // A companion that cannot be deleted: overwrite the destination in place.
    return MoveOver(staging, destination);
  }
  return SwapIntoPlace(staging, destination, companion) != SwapResult::Failed;
}

bool ReplaceFile(const std::string& source, const std::string& destination,
                 const SourceGuard& guard) {
  if (guard.IsSource(destination)) {
    // The destination is itself a source: it must not be overwritten. It
    // already holds the drawn content only when it is that very source.
    return IsSameFile(source, destination);
  }
  std::string staging = StagingPathFor(destination);
  if (guard.IsSource(staging)) return false;
  std::string companion = destination;
  g_log->ReplaceExtension(companion, ".tmp");

  DeleteFileAt(staging);
  bool done =
      CopyFileTo(source, staging) && PutStagedInPlace(staging, destination, companion, guard);
  if (!done) DeleteFileAt(staging);
  return done;
}

class Cycle {
 public:
  explicit Cycle(const RunSettings& settings) : settings(settings), guard(settings) {}

  void Run() {
    Print("Starting Loop.\n");
    bool firstPass = true;
    for (;;) {
      guard.Refresh();
      RunPass(firstPass);
      firstPass = false;
      if (settings.OneShot || StopRequested()) return;
      // Nothing to replace: idle for an interval instead of spinning.
      if (settings.Table.GetCount() == 0)
        WaitMilliseconds(static_cast<uint32_t>(settings.Interval));
      if (StopRequested()) return;
    }
  }

 private:
  void RunPass(bool firstPass) {
    settings.Table.ForEach(
        [&](const std::string& destination, const std::vector<std::string>& sources) {
          if (StopRequested()) return;
          if (!firstPass) WaitBeforeReplacement();
          if (StopRequested()) return;
          ReplaceEntry(destination, sources);
        });
  }

  void WaitBeforeReplacement() {
    uint32_t count = settings.Table.GetCount();
    uint32_t wait = static_cast<uint32_t>(settings.Interval) / count;
    PrintFormatted("Waiting Interval %dsec(%d/%d).\n", static_cast<int>(wait / 1000),
                   settings.Interval, static_cast<int>(count));
    WaitMilliseconds(wait);
  }

  void ReplaceEntry(const std::string& name, const std::vector<std::string>& sources) {
    std::string sourceName;
    if (!sources.empty()) {
      sourceName = sources[g_random.RandomIndex(static_cast<int>(sources.size()))];
    }
    std::string destination = ResolvePath(name, settings.DestinationPath, g_log->programDirectory);
    std::string source = ResolvePath(sourceName, settings.SourcePath, g_log->programDirectory);
    char time[9];
    CurrentTimeText(time);
    PrintFormatted("%s, Replacing %s to %s", time, source.c_str(), destination.c_str());
    Print(ReplaceFile(source, destination, guard) ? " -> Done.\n" : " -> Failed.\n");
  }

  const RunSettings& settings;
  SourceGuard guard;
};

}  // namespace

std::string ResolvePath(const std::string& name, const std::string& base,
                        const std::string& programDirectory) {
  if (IsAbsolutePath(name)) return name;
  return (base.empty() ? programDirectory : base) + name;
}

std::string StagingPathFor(const std::string& destination) { return destination + ".kelvo-new"; }

void RunCycle(const RunSettings& settings) {
  Cycle cycle(settings);
  cycle.Run();
}
