// The plan of a script's replacements: for each destination, where its
// previous and its first content go, whether it is a listed source and
// whether it can be replaced. Decided here, in one place, for kelvo's cycle,
// which acts on it, and for kelvo-check, which reports it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "replace/file_system.h"
#include "rotate/entry_set.h"
#include "rotate/run_settings.h"

// Puts a name under its base directory unless it is absolute: the base, or
// the program's directory when the base is empty, joined without separator.
std::string ResolvePath(const std::string& name, const std::string& base,
                        const std::string& programDirectory);

// Where the previous content goes: the companion, the destination's name
// with the extension ".tmp", unless it must not be written.
enum class CompanionPlan {
  Kept,
  IsSource,       // the companion is a listed source
  IsDestination,  // the companion is the destination itself ("x.tmp")
};

// Where the first content is kept for good: "<destination>.orig", made only
// before the destination's first replacement, unless that name must not or
// cannot be made.
enum class OriginalPlan {
  Kept,
  ListedAsSource,
  ListedAsDestination,
  NameRefused,  // the system takes no such name (too long, say)
};

// What the files as they are leave a replacement unable to do.
enum class Obstacle {
  None,
  DestinationUnreadable,  // the destination cannot be looked at
  DestinationIsFolder,
  DestinationNotAFile,   // a FIFO, a device...
  FolderNotWritable,     // no file can be made in its folder (or there is none)
  HelperNameRefused,     // the system takes no helper name in its folder
  CompanionIsFolder,     // the old content cannot go over a folder
  CompanionNameRefused,  // the system takes no such companion name
};

struct DestinationPlan {
  std::string destination;  // resolved
  std::string folder;       // through its last separator, or empty
  // A listed source is never replaced: a draw of itself leaves it as it is,
  // any other draw fails.
  bool isSource = false;
  std::string companion;
  CompanionPlan companionPlan = CompanionPlan::Kept;
  std::string original;
  OriginalPlan originalPlan = OriginalPlan::Kept;
  StepResult originalRefusal;  // the system's answer, for NameRefused
  // The destination was replaced before: its original or its kept companion
  // exists. Its first content is gone then, and no original is made, also
  // where the user deleted the one kept.
  bool replacedBefore = false;

  // Set by RunPlan::Look only.
  bool looked = false;
  EntryInfo destinationEntry;  // the destination as the look found it
  StepResult folderAccess;     // whether files can be made in its folder
  Obstacle obstacle = Obstacle::None;
  StepResult obstacleResult;  // the system's answer behind the obstacle

  bool KeepsCompanion() const { return companionPlan == CompanionPlan::Kept; }
  bool KeepsOriginal() const { return originalPlan == OriginalPlan::Kept && !replacedBefore; }
  // Whether a replacement made now can succeed, as far as the destination's
  // own names and files tell; a listed source is never replaced all the same.
  bool Replaceable() const { return obstacle == Obstacle::None; }
};

// The resolved names of a run, the sets of sources and destinations they
// form, and each destination's plan.
class RunPlan {
 public:
  // Resolves every name of the settings' table. Looks once at each
  // original's name (read-only): whether the system takes it.
  RunPlan(const RunSettings& settings, FileSystem& fileSystem);

  // The destinations, resolved, in the order the passes visit them.
  const std::vector<std::string>& Destinations() const { return destinations; }
  // Every source name of the script once, resolved.
  const std::vector<std::string>& Sources() const { return sources; }
  // Where a destination's candidates stand among Sources(), in the script's
  // order.
  const std::vector<uint32_t>& CandidatesOf(size_t destination) const {
    return candidates[destination];
  }
  const EntrySet& SourceSet() const { return sourceSet; }
  const EntrySet& DestinationSet() const { return destinationSet; }

  // The plan of the destination at index (in visiting order), from its names,
  // the listed sets and whether its original or companion exists. The sets
  // and that look are afresh on every call (a folder may be replaced while
  // kelvo runs): the cycle asks before each replacement.
  DestinationPlan Plan(size_t index) const;
  // Adds a read-only look at the files to a plan: whether a replacement
  // made now can succeed, and why not.
  void Look(DestinationPlan& plan) const;
  // True when source is the destination at index itself: a destination that
  // is a listed source is left as it is then, which counts as done.
  bool DrawsItself(size_t index, const std::string& source) const;

 private:
  // What a destination's names are, worked out once.
  struct Names {
    size_t folderEnd = 0;  // where its folder part ends
    std::string companion;
    std::string original;
    StepResult originalLook;  // whether the system takes the original's name
  };

  // Whether anything stands under the name (a link not followed), and
  // whether that is a file or a link.
  bool Exists(const std::string& path) const;
  bool HoldsFile(const std::string& path) const;

  FileSystem& fs;
  std::vector<std::string> destinations;
  // Filled while sources is made: declared first.
  std::vector<std::vector<uint32_t>> candidates;
  std::vector<std::string> sources;
  EntrySet sourceSet;
  EntrySet destinationSet;
  std::vector<Names> names;
};
