// At the start of a run: deletes what killed runs left beside the
// destinations.
#include "replace/sweep.h"

#include <cstdlib>

#include "platform/paths.h"
#include "replace/replace.h"

namespace {

const char kPrefix[] = ".kelvo-";

// Reads a number of at most 8 hex digits at text[at], moving at past it.
bool ReadHex(const std::string& text, size_t& at, uint32_t& value) {
  size_t start = at;
  value = 0;
  while (at < text.size() && at - start < 9) {
    char c = text[at];
    uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint32_t>(c - 'a' + 10);
    } else {
      break;
    }
    value = value * 16 + digit;
    ++at;
  }
  return at > start && at - start <= 8;
}

}  // namespace

bool ParseHelperName(const std::string& name, uint32_t& process, std::string& suffix) {
  const size_t prefixLength = sizeof kPrefix - 1;
  if (name.compare(0, prefixLength, kPrefix) != 0) return false;
  size_t at = prefixLength;
  uint32_t count = 0;
  if (!ReadHex(name, at, process) || at >= name.size() || name[at] != '-') return false;
  ++at;
  if (!ReadHex(name, at, count)) return false;
  suffix = name.substr(at);
  if (suffix != ".new" && suffix != ".old" && suffix != ".del") return false;
  // Leading zeros and the like: only the very name a run makes.
  return HelperName(process, count, suffix.c_str()) == name;
}

bool ParseHelperFolderName(const std::string& name, uint32_t& process) {
  const size_t prefixLength = sizeof kPrefix - 1;
  if (name.compare(0, prefixLength, kPrefix) != 0) return false;
  size_t at = prefixLength;
  if (!ReadHex(name, at, process) || at != name.size()) return false;
  return HelperFolderName(process) == name;
}

namespace {

class Sweep {
 public:
  explicit Sweep(const SweepSteps& sweepSteps) : steps(sweepSteps) {}

  std::vector<Leftover> failed;

  // Sweeps the helpers in folder and, one level down, in the helper folders
  // that no run holds.
  void Folder(const std::string& folder, bool withHelperFolders) {
    std::vector<std::string> names;
    if (!steps.listFolder(folder.empty() ? "." : folder, names)) return;
    for (const std::string& name : names) {
      uint32_t process = 0;
      std::string suffix;
      if (ParseHelperName(name, process, suffix)) {
        if (suffix != ".old") File(folder + name, suffix == ".new");
      } else if (withHelperFolders && ParseHelperFolderName(name, process)) {
        HelperFolder(folder, name, process);
      }
    }
  }

 private:
  // A ".new" may be a copy its run is still writing or about to rename into
  // place: it goes only when nobody holds it.
  void File(const std::string& path, bool onlyUnheld) {
    if (steps.isListed(path)) return;
    EntryInfo entry;
    if (!steps.readEntry(path, entry).Ok() || entry.kind != FileKind::Regular) return;
    bool held = false;
    StepResult result = onlyUnheld ? steps.deleteUnheldFile(path, held) : steps.deleteName(path);
    if (held || result.Ok() || result.status == StepStatus::Missing) return;
    // Something else under the name since it was read: not a leftover.
    if (result.status == StepStatus::WrongKind) return;
    failed.push_back({path, result});
  }

  // A helper folder that a run holds (the live run that made it, or another
  // sweep) is not entered. One that nobody holds is held while it is swept,
  // so that it cannot be swapped for a link meanwhile. A dead run's folder
  // cannot come alive, since a run only holds a folder it has just made;
  // one made but not yet held may be found empty and removed, and its run
  // then makes its helpers beside the destinations. Every file in it is
  // still asked about one by one. One that is not a plain folder is not
  // entered, and neither is one that holds anything but that run's helper
  // files (a link that the system does not show as one, under Wine, leads
  // to a folder of someone's). It goes when nothing is left in it (a ".old"
  // stays, and so does it).
  void HelperFolder(const std::string& folder, const std::string& name, uint32_t process) {
    std::string path = folder + name;
    if (steps.isListed(path) || steps.folderHeld(path)) return;
    HeldFolder held;
    if (!steps.holdFolder(path, held).Ok()) return;
    char separator =
        !folder.empty() && IsPathSeparator(folder.back()) ? folder.back() : SystemSeparator();
    std::string inside = path + separator;
    if (HoldsOnlyHelpersOf(inside, process)) {
      Folder(inside, false);
      steps.releaseFolder(held, path, true);
    } else {
      steps.releaseFolder(held, path, false);
    }
  }

  bool HoldsOnlyHelpersOf(const std::string& folder, uint32_t process) {
    std::vector<std::string> names;
    if (!steps.listFolder(folder, names)) return false;
    for (const std::string& name : names) {
      uint32_t owner = 0;
      std::string suffix;
      if (!ParseHelperName(name, owner, suffix) || owner != process) return false;
    }
    return true;
  }

  const SweepSteps& steps;
};

}  // namespace

std::vector<Leftover> SweepLeftovers(const std::vector<std::string>& folders,
                                     const SweepSteps& steps) {
  Sweep sweep(steps);
  for (const std::string& folder : folders) sweep.Folder(folder, true);
  return sweep.failed;
}
