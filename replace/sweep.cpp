// At the start of a run: deletes what killed runs left beside the
// destinations.
#include "replace/sweep.h"

#include <cstdlib>

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

namespace {

// Deletes one helper file the script does not list, unless it is no regular
// file. A ".new" may be a copy its run is still writing or about to rename
// into place: it goes only when nobody holds it.
void SweepFile(FileSystem& fs, const std::string& path, bool onlyUnheld,
               std::vector<Leftover>& failed) {
  EntryInfo entry;
  if (!fs.ReadEntry(path, entry).Ok() || entry.kind != FileKind::Regular) return;
  bool held = false;
  StepResult result = onlyUnheld ? fs.DeleteUnheld(path, held) : fs.Delete(path);
  if (held || result.Ok() || result.status == StepStatus::Missing) return;
  // Something else under the name since it was read: not a leftover.
  if (result.status == StepStatus::WrongKind) return;
  failed.push_back({path, result});
}

}  // namespace

std::vector<Leftover> SweepLeftovers(FileSystem& fs, const std::vector<std::string>& folders,
                                     const std::function<bool(const std::string&)>& isListed) {
  std::vector<Leftover> failed;
  for (const std::string& folder : folders) {
    std::vector<std::string> names;
    if (!fs.ListFolder(folder.empty() ? "." : folder, names)) continue;
    for (const std::string& name : names) {
      uint32_t process = 0;
      std::string suffix;
      if (ParseHelperName(name, process, suffix) && suffix != ".old" && !isListed(folder + name)) {
        SweepFile(fs, folder + name, suffix == ".new", failed);
      }
    }
  }
  return failed;
}
