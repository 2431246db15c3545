// One replacement: a destination gets a copy of a source, and its old content
// moves to the companion. Written once for both systems over the platform's
// plain file steps; the invariants it keeps are stated in replace.cpp. And
// the sweep at the start of a run (sweep.cpp), which deletes what killed runs
// left beside the destinations, and only what holds nothing still wanted.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/process.h"
#include "replace/file_system.h"

struct Replacement {
  std::string source;
  std::string destination;
  // Where the old content goes; empty when it cannot be kept (the companion
  // name is a listed source, or the destination itself).
  std::string companion;
  // Folder part of the destination, ending in a separator, or empty for the
  // current folder: helper files are made there, beside the destination.
  std::string folder;
  // Where the destination's first content is kept for good, once, before it
  // is first replaced; empty when that name must not be made.
  std::string original;
};

struct ReplaceOutcome {
  bool done = false;
  const char* action = "";       // what could not be done, as in "cannot <action> <path>"
  std::string path;              // the name it could not be done to
  StepResult result;             // the step's answer
  const char* reason = nullptr;  // kelvo's own reason, in place of the system's
  // A ".old" helper name that still holds the old content because undoing a
  // step failed; nothing of kelvo's ever deletes it.
  std::string kept;
  // Helper names that could not be deleted; they hold nothing still wanted.
  std::vector<std::string> leftovers;
  // A ".del" helper name of the previous companion, which the replacement
  // set aside so as not to wait for its deletion: it holds only content
  // that is discarded by design, and the caller deletes it when it likes.
  std::string discard;
  // Set when the original could not be kept under its name (a name longer
  // than the system takes): the replacement went on without it.
  bool originalNotKept = false;
  StepResult originalResult;
  // The original is there now, or its name cannot be made: no later
  // replacement of the destination needs to keep one.
  bool originalSettled = false;
};

// Helper names: ".kelvo-<process>-<count>" and a suffix. ".new" holds nothing
// but a copy of a source (or of a destination still in place); ".old" may
// hold a destination's old content; ".del" holds a previous companion, or is
// a second name of one, and so nothing still wanted. The
// count goes up by one, and jumps to a number nobody can guess when a name
// turns out to be taken, so that names planted in advance cannot block a
// run.
std::string HelperName(uint32_t process, uint32_t count, const char* suffix);

// The first half of a replacement: the source copied beside the destination
// into a file that is still open, and neither on disk for sure nor in place.
struct StagedReplacement {
  bool ok = false;
  ReplaceOutcome failure;  // why staging failed, when it did
  NewFile file;
  std::string path;       // the staged file's helper name; empty while it has none
  bool exists = false;    // the destination existed when it was read
  EntryInfo destination;  // the destination as first read
  StepResult flushed;     // the answer of the flush that makes the copy durable
  uint64_t device = 0;    // the file system of the destination's folder
};

// Replaces destinations; one object per run, since it remembers which steps
// the file systems turned out not to support. A replacement is either made
// whole (Replace), or in halves, so that a pass can stage many copies, make
// them durable with one flush and only then put them in place: Stage each,
// Flush them together, Complete each.
class Replacer {
 public:
  explicit Replacer(FileSystem& fileSystem, uint32_t process = ProcessNumber());

  ReplaceOutcome Replace(const Replacement& replacement);

  // Reads the destination and copies the source into a new file beside it.
  // False, with staged.failure set, when that fails; nothing is left then.
  bool Stage(const Replacement& replacement, StagedReplacement& staged);
  // Makes the staged copies' data reach the disk, one flush for all where
  // the system allows, one a file where that fails (so a failure is told
  // to the copy it concerns).
  void Flush(const std::vector<StagedReplacement*>& batch);
  // Puts a staged, flushed copy in place and closes it.
  ReplaceOutcome Complete(const Replacement& replacement, StagedReplacement& staged);
  // Gives up a staged copy: its name, if any, and its file go.
  ReplaceOutcome Abandon(StagedReplacement& staged, ReplaceOutcome outcome);

 private:
  struct Staged {
    std::string path;
    bool holdsOldLater = false;  // named ".old": the exchange will put the old content there
  };

  ReplaceOutcome PlaceStaged(const Replacement& replacement, StagedReplacement& staged);
  bool NameStaged(const Replacement& replacement, StagedReplacement& staged, const char* suffix,
                  ReplaceOutcome& outcome);
  bool KeepOriginal(const Replacement& replacement, ReplaceOutcome& outcome);
  bool CopySource(const Replacement& replacement, StagedReplacement& staged);
  bool StageUnderName(const Replacement& replacement, StagedReplacement& staged);
  bool Refuse(StagedReplacement& staged, ReplaceOutcome outcome);
  bool CopySecondCopy(const Replacement& replacement, const char* suffix, NewFile& file,
                      std::string& path, StepResult& result, ReplaceOutcome& outcome);

  ReplaceOutcome PutInFreePlace(const Replacement& replacement, const Staged& staged);
  ReplaceOutcome PutInPlaceKeepingOld(const Replacement& replacement, const Staged& staged);
  ReplaceOutcome ExchangeIntoPlace(const Replacement& replacement, const Staged& staged,
                                   bool& unsupported);
  ReplaceOutcome LinkIntoPlace(const Replacement& replacement, const Staged& staged);
  // Renames the staged copy over the destination; action names a failure.
  ReplaceOutcome Overwrite(const Replacement& replacement, const Staged& staged,
                           const char* action = "replace");
  StepResult MoveOverCompanion(const std::string& from, const Replacement& replacement,
                               ReplaceOutcome& outcome);

  ReplaceOutcome Fail(const char* action, const std::string& path, StepResult result,
                      const std::string& helper = std::string());
  ReplaceOutcome Failed(const char* action, const std::string& path, StepResult result,
                        const ReplaceOutcome& sofar);
  void Discard(const std::string& path, ReplaceOutcome& outcome);
  // Takes step with fresh helper names until one is not taken (by a planted
  // file, say); path is the last name tried.
  StepResult WithFreeName(const std::string& folder, const char* suffix, std::string& path,
                          const std::function<StepResult(const std::string&)>& step);
  std::string NextName(const std::string& folder, const char* suffix, StepStatus previous);

  FileSystem& fs;
  uint32_t process;
  uint32_t count = 0;
  // What each file system turned out to support, by device: one mount that
  // lacks a step sends only its own destinations down the fallbacks.
  struct Support {
    bool anonymous = true;
    bool exchange = true;
    bool renameToFree = true;
  };
  std::map<uint64_t, Support> support;
  Support* usable = nullptr;  // the file system of the replacement under way
  int racesLeft = 0;
  EntryInfo destinationEntry;  // the destination as first read
  std::string originalMade;    // the original this replacement kept, if any
};

// A file kelvo made and could not delete, with the answer of the delete: it
// holds nothing still wanted, and is named on standard error with why.
struct Leftover {
  std::string path;
  StepResult result;
};

// True when name is one that HelperName gives, exactly as it gives it, with
// the suffix ".new", ".old" or ".del".
bool ParseHelperName(const std::string& name, uint32_t& process, std::string& suffix);

// Deletes, in every folder (a folder part ending in its separator, or empty
// for the current folder), the ".new" and ".del" helper files that no live
// run needs: a ".new" holds a copy of a source or of a destination still in
// place, a ".del" a second name of a companion or a replaced one.
// A ".old" may hold the only copy of an old content and is never deleted,
// nor is anything that is not a regular file under exactly such a name, nor
// a name the script lists.
// Which run made a helper is not asked: a process number tells nothing
// across PID namespaces, and this run may have the number of a killed one.
// A ".new" goes only when no process holds it open (its run holds it from
// its making until it is renamed into place or deleted; the system lets
// the hold go with the process). A ".del" goes whoever made it: a live run
// that loses one only frees its companion itself, or finds gone a name it
// was about to delete. No folder is entered. Returns the names it could not
// delete, with why. isListed tells a path the script lists (a source or a
// destination under a name that looks like a helper's): it is never deleted.
std::vector<Leftover> SweepLeftovers(FileSystem& fs, const std::vector<std::string>& folders,
                                     const std::function<bool(const std::string&)>& isListed);
