// At the start of a run: deletes what killed runs left beside the
// destinations.
#include "replace/replace.h"

#include <charconv>

namespace {

const char kPrefix[] = ".kelvo-";

// Reads a hexadecimal number at text[at], moving at past it.
bool ReadHex(const std::string& text, size_t& at, uint32_t& value) {
  const char* end = text.data() + text.size();
  std::from_chars_result read = std::from_chars(text.data() + at, end, value, 16);
  if (read.ec != std::errc()) return false;
  at = static_cast<size_t>(read.ptr - text.data());
  return true;
}

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
