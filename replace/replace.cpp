// One replacement, and the invariants it keeps at every instant, whatever
// step fails and wherever the process is killed:
//  1. The destination name holds a whole file, old or new.
//  2. The destination's old content is reachable under the destination name,
//     the companion name, or a ".old" helper name, which no kelvo run
//     deletes. A leftover of a killed run is never the only copy of anything
//     still wanted, unless it is such a ".old" name.
//  3. The previous companion is replaced only once the new content is in the
//     destination's place, by renaming over it, never by deleting it first.
//     So that the replacement does not wait for the file system to free it,
//     it first gets a second name Z.del, which the caller deletes later (or
//     the next run's sweep, after a kill): a ".del" name is only ever a
//     second name of a companion or the last name of a replaced one. A
//     replacement that fails leaves destination and companion as they were
//     and no helper name behind; when undoing a step fails too, the outcome
//     names what is left.
//  4. Nothing is created, opened for writing or truncated through a name that
//     someone else could have planted: a staging file has no name until its
//     copy is complete, or is created exclusively under a name of this run's
//     own, without following links. Renames and deletes act on names, never
//     on what a symbolic link points to. Two runs never share a helper name.
//  5. Helper names are short and do not depend on the destination's, so any
//     destination name the system accepts can be replaced, and no name of
//     the user's is reserved.
//  6. The destination's first content is kept under "<destination>.orig",
//     which is made once (a second name, or a copy) and never overwritten;
//     a replacement that fails removes the one it made.
//  7. New content never carries set-user-ID or set-group-ID bits, takes the
//     replaced file's access where there was one, and is dated now.
//
// Every staged copy is flushed before it gets a name, so the invariants hold
// after a power cut too: a name never points at data not yet on disk.
//
// The sequences, by what the file system offers:
//  - exchange (Linux): stage the copy as X.old; exchange the names X.old and
//    destination; give the companion the second name Z.del; rename X.old
//    over the companion.
//  - second names: stage the copy as X.new; give the destination the second
//    name Y.old; rename X.new over the destination; rename Y.old over the
//    companion. (Where there is no exchange, making the name Z.del would
//    cost more than freeing the companion here: Windows frees without
//    waiting for the disk.)
//  - neither: as with second names, but Y.old is a copy of the destination.
//  - a destination that does not exist yet: rename the staged copy to it.
#include "replace/replace.h"

#include <cstdio>
#include <utility>

namespace {

// Tries with the next unique name when a name is taken (by a planted file,
// say), this many times at most.
const int kNameAttempts = 32;

// Bounces between "the destination vanished" and "the destination appeared",
// which only another program changing it at the same time can cause.
const int kRaceAttempts = 4;

std::string FolderForCalls(const std::string& folder) { return folder.empty() ? "." : folder; }

ReplaceOutcome Done() {
  ReplaceOutcome outcome;
  outcome.done = true;
  return outcome;
}

}  // namespace

std::string HelperName(uint32_t process, uint32_t count, const char* suffix) {
  char name[48];
  std::snprintf(name, sizeof name, ".kelvo-%x-%x%s", static_cast<unsigned>(process),
                static_cast<unsigned>(count), suffix);
  return name;
}

Replacer::Replacer(FileSystem& fileSystem, uint32_t processNumber)
    : fs(fileSystem), process(processNumber) {}

ReplaceOutcome Replacer::Replace(const Replacement& replacement) {
  StagedReplacement staged;
  if (!Stage(replacement, staged)) return staged.failure;
  Flush({&staged});
  return Complete(replacement, staged);
}

bool Replacer::Stage(const Replacement& replacement, StagedReplacement& staged) {
  staged = StagedReplacement();
  StepResult read = fs.ReadEntry(replacement.destination, staged.destination);
  if (!read.Ok()) return Refuse(staged, Fail("read", replacement.destination, read));
  // Only files are replaced: a folder, a FIFO or a device stays as it is.
  FileKind kind = staged.destination.kind;
  if (kind == FileKind::Folder || kind == FileKind::Other) {
    return Refuse(staged,
                  Fail("replace", replacement.destination, StepResult{StepStatus::WrongKind}));
  }
  staged.exists = kind != FileKind::Missing;
  staged.device = fs.Identify(FolderForCalls(replacement.folder)).device;
  usable = &support[staged.device];
  if (usable->anonymous) {
    std::string folder = FolderForCalls(replacement.folder);
    StepResult result = fs.CreateAnonymous(folder, staged.file);
    if (result.Ok()) return CopySource(replacement, staged);
    if (result.status != StepStatus::Unsupported) {
      return Refuse(staged, Fail("create a file in", folder, result));
    }
    usable->anonymous = false;
  }
  return StageUnderName(replacement, staged);
}

bool Replacer::Refuse(StagedReplacement& staged, ReplaceOutcome outcome) {
  staged.ok = false;
  staged.failure = std::move(outcome);
  return false;
}

// A named staging file holds a partial copy while it is written: it is a
// ".new", which a sweep deletes once no run holds it open.
bool Replacer::StageUnderName(const Replacement& replacement, StagedReplacement& staged) {
  StepResult result =
      WithFreeName(replacement.folder, ".new", staged.path,
                   [&](const std::string& name) { return fs.CreateNew(name, staged.file); });
  if (!result.Ok()) {
    // Named after the user's folder, not the helper's passing name.
    return Refuse(staged, Fail("create a file in", FolderForCalls(replacement.folder), result));
  }
  return CopySource(replacement, staged);
}

bool Replacer::CopySource(const Replacement& replacement, StagedReplacement& staged) {
  StepResult result = fs.CopyInto(replacement.source, staged.file, staged.destination);
  if (result.Ok()) {
    staged.ok = true;
    return true;
  }
  // Reading the source failed, or writing beside the destination.
  ReplaceOutcome outcome = result.atSource
                               ? Fail("read", replacement.source, result)
                               : Fail("write a copy beside", replacement.destination, result);
  return Refuse(staged, Abandon(staged, std::move(outcome)));
}

void Replacer::Flush(const std::vector<StagedReplacement*>& batch) {
  std::vector<const NewFile*> files;
  for (StagedReplacement* staged : batch) {
    if (staged->ok) files.push_back(&staged->file);
  }
  if (files.empty() || fs.FlushTogether(files).Ok()) return;
  for (StagedReplacement* staged : batch) {
    if (staged->ok) staged->flushed = fs.Flush(staged->file);
  }
}

ReplaceOutcome Replacer::Abandon(StagedReplacement& staged, ReplaceOutcome outcome) {
  // Closed first: Windows deletes no name of a file that is still open
  // without shared deletion.
  if (staged.file.handle != -1) fs.Close(staged.file);
  if (!staged.path.empty()) Discard(staged.path, outcome);
  staged.path.clear();
  staged.ok = false;
  return outcome;
}

ReplaceOutcome Replacer::Complete(const Replacement& replacement, StagedReplacement& staged) {
  if (!staged.ok) return staged.failure;
  racesLeft = kRaceAttempts;
  originalMade.clear();
  destinationEntry = staged.destination;
  usable = &support[staged.device];
  if (!staged.flushed.Ok())
    return Abandon(staged, Fail("write a copy beside", replacement.destination, staged.flushed));
  ReplaceOutcome kept;
  bool keepsOriginal = staged.exists && !replacement.original.empty();
  if (keepsOriginal && !KeepOriginal(replacement, kept)) return Abandon(staged, std::move(kept));
  ReplaceOutcome outcome = PlaceStaged(replacement, staged);
  // The file is on disk and in place, or its name is gone: a failure to
  // close it can no longer lose anything.
  if (staged.file.handle != -1) fs.Close(staged.file);
  staged.ok = false;
  outcome.leftovers.insert(outcome.leftovers.begin(), kept.leftovers.begin(), kept.leftovers.end());
  outcome.originalNotKept = kept.originalNotKept;
  outcome.originalResult = kept.originalResult;
  // An original is the first content: once there, it is never made again.
  outcome.originalSettled = kept.originalNotKept || (keepsOriginal && outcome.done);
  if (!outcome.done && outcome.kept.empty() && !originalMade.empty()) {
    // A failed replacement leaves no trace: not even the original it kept
    // (the destination still holds that content).
    Discard(originalMade, outcome);
  }
  return outcome;
}

ReplaceOutcome Replacer::PlaceStaged(const Replacement& replacement, StagedReplacement& staged) {
  bool keepsOld = staged.exists && !replacement.companion.empty();
  // The exchange leaves the old content under the staging name, so that name
  // must be one that is never swept.
  bool forExchange = keepsOld && usable->exchange && staged.path.empty();
  ReplaceOutcome outcome;
  if (staged.path.empty() &&
      !NameStaged(replacement, staged, forExchange ? ".old" : ".new", outcome)) {
    return outcome;
  }
  const Staged named{staged.path, forExchange};
  StepResult ready = fs.ReadyToRename(staged.file);
  if (!ready.Ok())
    return Abandon(staged, Fail("write a copy beside", replacement.destination, ready));
  if (!staged.exists) return PutInFreePlace(replacement, named);
  if (replacement.companion.empty()) return Overwrite(replacement, named);
  return PutInPlaceKeepingOld(replacement, named);
}

// Gives an anonymous staged copy its helper name. Where the system turns out
// to give it none, the copy is made again under a name and flushed alone.
bool Replacer::NameStaged(const Replacement& replacement, StagedReplacement& staged,
                          const char* suffix, ReplaceOutcome& outcome) {
  std::string path;
  StepResult result = WithFreeName(replacement.folder, suffix, path, [&](const std::string& name) {
    return fs.NameAnonymous(staged.file, name);
  });
  if (result.Ok()) {
    staged.path = path;
    return true;
  }
  fs.Close(staged.file);
  if (result.status != StepStatus::Unsupported) {
    outcome = Fail("create a file in", FolderForCalls(replacement.folder), result);
    return false;
  }
  usable->anonymous = false;
  if (!StageUnderName(replacement, staged)) {
    outcome = staged.failure;
    return false;
  }
  staged.flushed = fs.Flush(staged.file);
  if (staged.flushed.Ok()) return true;
  outcome = Abandon(staged, Fail("write a copy beside", replacement.destination, staged.flushed));
  return false;
}

// Keeps the destination's content under the original's name unless that name
// is taken (by an earlier original, most of the time): a second name where
// the file system has them, a copy otherwise. A name the system cannot take
// (too long) is passed over.
bool Replacer::KeepOriginal(const Replacement& replacement, ReplaceOutcome& outcome) {
  StepResult result = fs.MakeSecondName(replacement.destination, replacement.original);
  if (result.status == StepStatus::Unsupported) {
    // Without a rename that spares an existing name, a copy could overwrite
    // an original: none is kept then.
    if (!usable->renameToFree) return true;
    // The copy is made under a helper name and given the original's name
    // only when complete and on disk, so an original is never a partial
    // copy.
    std::string copy;
    NewFile file;
    if (CopySecondCopy(replacement, ".new", file, copy, result, outcome)) {
      result = fs.RenameToFree(copy, replacement.original);
      if (!result.Ok()) Discard(copy, outcome);
      fs.Close(file);
      if (result.status == StepStatus::Unsupported) {
        usable->renameToFree = false;
        return true;
      }
    }
  }
  if (result.Ok()) {
    originalMade = replacement.original;
    return true;
  }
  // Kept by an earlier replacement, or a destination gone meanwhile: nothing
  // to keep, go on. A name the system takes not is said once.
  if (result.status == StepStatus::BadName) {
    outcome.originalNotKept = true;
    outcome.originalResult = result;
    return true;
  }
  if (result.status == StepStatus::Exists || result.status == StepStatus::Missing) return true;
  outcome = Failed("keep the original as", replacement.original, result, outcome);
  return false;
}

// A copy of the destination under a new helper name, where the file system
// has no second names; on disk and ready to be renamed, and still open (the
// caller closes it) when this returns true. A copy that fails is deleted and
// closed, and named in outcome if it stays.
bool Replacer::CopySecondCopy(const Replacement& replacement, const char* suffix, NewFile& file,
                              std::string& path, StepResult& result, ReplaceOutcome& outcome) {
  result = WithFreeName(replacement.folder, suffix, path,
                        [&](const std::string& name) { return fs.CreateNew(name, file); });
  if (!result.Ok()) return false;
  result = fs.CopyInto(replacement.destination, file, destinationEntry);
  if (result.Ok()) result = fs.Flush(file);
  if (result.Ok()) result = fs.ReadyToRename(file);
  if (result.Ok()) return true;
  fs.Close(file);
  Discard(path, outcome);
  return false;
}

ReplaceOutcome Replacer::PutInFreePlace(const Replacement& replacement, const Staged& staged) {
  StepResult result;
  if (usable->renameToFree) {
    result = fs.RenameToFree(staged.path, replacement.destination);
    if (result.Ok()) return Done();
    if (result.status == StepStatus::Exists && --racesLeft > 0) {
      // Another program made the destination meanwhile: its file is the old
      // content now.
      const Staged asNew{staged.path, false};
      if (replacement.companion.empty()) return Overwrite(replacement, asNew);
      return PutInPlaceKeepingOld(replacement, asNew);
    }
    if (result.status != StepStatus::Unsupported)
      return Fail("create", replacement.destination, result, staged.path);
    usable->renameToFree = false;
  }
  return Overwrite(replacement, staged, "create");
}

ReplaceOutcome Replacer::PutInPlaceKeepingOld(const Replacement& replacement,
                                              const Staged& staged) {
  // Only a staged file named ".old" may come to hold the old content.
  if (staged.holdsOldLater && usable->exchange) {
    bool unsupported = false;
    ReplaceOutcome outcome = ExchangeIntoPlace(replacement, staged, unsupported);
    if (!unsupported) return outcome;
  }
  return LinkIntoPlace(replacement, staged);
}

ReplaceOutcome Replacer::ExchangeIntoPlace(const Replacement& replacement, const Staged& staged,
                                           bool& unsupported) {
  StepResult result = fs.Exchange(staged.path, replacement.destination);
  if (result.status == StepStatus::Unsupported) {
    usable->exchange = false;
    unsupported = true;
    return ReplaceOutcome();
  }
  if (result.status == StepStatus::Missing && --racesLeft > 0) {
    return PutInFreePlace(replacement, staged);
  }
  if (!result.Ok()) return Fail("replace", replacement.destination, result, staged.path);
  // The destination holds the new content, the staging name the old.
  ReplaceOutcome outcome = Done();
  result = MoveOverCompanion(staged.path, replacement, outcome);
  if (result.Ok()) {
    // A file of several names may have had the companion among them, and
    // then the rename did nothing (see LinkIntoPlace).
    if (destinationEntry.links > 1) Discard(staged.path, outcome);
    return outcome;
  }
  outcome = Failed("keep the old file as", replacement.companion, result, outcome);
  if (fs.Exchange(staged.path, replacement.destination).Ok()) {
    Discard(staged.path, outcome);
  } else {
    outcome.kept = staged.path;
  }
  return outcome;
}

ReplaceOutcome Replacer::LinkIntoPlace(const Replacement& replacement, const Staged& staged) {
  std::string keep;
  StepResult result = WithFreeName(replacement.folder, ".old", keep, [&](const std::string& name) {
    return fs.MakeSecondName(replacement.destination, name);
  });
  if (result.status == StepStatus::Missing && --racesLeft > 0) {
    return PutInFreePlace(replacement, staged);
  }
  ReplaceOutcome copied;
  NewFile copy;
  if (result.status == StepStatus::Unsupported) {
    CopySecondCopy(replacement, ".old", copy, keep, result, copied);
    // A ".old" is never swept: it needs no holding while it has the name.
    if (result.Ok()) fs.Close(copy);
  }
  if (!result.Ok()) {
    ReplaceOutcome outcome =
        Failed("keep a second name of", replacement.destination, result, copied);
    Discard(staged.path, outcome);
    return outcome;
  }
  result = fs.RenameOver(staged.path, replacement.destination);
  if (!result.Ok()) {
    // The destination still holds the old content: both helpers can go.
    ReplaceOutcome outcome = Fail("replace", replacement.destination, result, keep);
    Discard(staged.path, outcome);
    return outcome;
  }
  ReplaceOutcome outcome = Done();
  result = fs.RenameOver(keep, replacement.companion);
  if (result.Ok()) {
    // Renaming a name onto another name of the same file does nothing (a
    // companion that another run just made of the same old file): the
    // helper is then a spare name and goes.
    Discard(keep, outcome);
    return outcome;
  }
  outcome = Failed("keep the old file as", replacement.companion, result, outcome);
  if (!fs.RenameOver(keep, replacement.destination).Ok()) outcome.kept = keep;
  return outcome;
}

ReplaceOutcome Replacer::Overwrite(const Replacement& replacement, const Staged& staged,
                                   const char* action) {
  StepResult result = fs.RenameOver(staged.path, replacement.destination);
  if (result.Ok()) return Done();
  return Fail(action, replacement.destination, result, staged.path);
}

// Renames from over the companion. The companion first gets a second name
// of this run's own, so that the rename only takes a name from it and the
// file system frees it when the caller deletes that name, off the
// replacement's path. Without a companion, or where no second name can be
// made, the rename frees it at once, as it always could.
StepResult Replacer::MoveOverCompanion(const std::string& from, const Replacement& replacement,
                                       ReplaceOutcome& outcome) {
  std::string aside;
  StepResult linked = WithFreeName(replacement.folder, ".del", aside, [&](const std::string& name) {
    return fs.MakeSecondName(replacement.companion, name);
  });
  StepResult result = fs.RenameOver(from, replacement.companion);
  if (!linked.Ok()) return result;
  if (result.Ok()) {
    outcome.discard = aside;
  } else {
    // The companion stays as it was: its spare name goes now.
    Discard(aside, outcome);
  }
  return result;
}

// Also deletes helper, when given: a name of this run's that the failure
// leaves without use.
ReplaceOutcome Replacer::Fail(const char* action, const std::string& path, StepResult result,
                              const std::string& helper) {
  ReplaceOutcome outcome;
  outcome.action = action;
  outcome.path = path;
  outcome.result = result;
  if (!helper.empty()) Discard(helper, outcome);
  return outcome;
}

// A failure that keeps the helper so far reported as left over.
ReplaceOutcome Replacer::Failed(const char* action, const std::string& path, StepResult result,
                                const ReplaceOutcome& sofar) {
  ReplaceOutcome outcome = Fail(action, path, result);
  outcome.leftovers = sofar.leftovers;
  return outcome;
}

// Deletes a helper this run made and no longer needs; one that cannot be
// deleted is named in the outcome.
void Replacer::Discard(const std::string& path, ReplaceOutcome& outcome) {
  StepResult result = fs.Delete(path);
  if (!result.Ok() && result.status != StepStatus::Missing) outcome.leftovers.push_back(path);
}

StepResult Replacer::WithFreeName(const std::string& folder, const char* suffix, std::string& path,
                                  const std::function<StepResult(const std::string&)>& step) {
  StepResult result;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    path = NextName(folder, suffix, result.status);
    result = step(path);
    if (result.status != StepStatus::Exists) break;
  }
  return result;
}

std::string Replacer::NextName(const std::string& folder, const char* suffix, StepStatus previous) {
  count = previous == StepStatus::Exists ? UnpredictableNumber() : count + 1;
  return folder + HelperName(process, count, suffix);
}
