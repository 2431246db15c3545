// At the start of a run: deletes what killed runs left beside the
// destinations, and only what holds nothing still wanted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "replace/file_system.h"

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
