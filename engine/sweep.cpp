// At the start of a run: deletes what killed runs left beside the
// destinations.
#include "engine/sweep.h"

#include <cstdlib>
#include <map>

#include "engine/replace.h"

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

std::vector<std::string> SweepLeftovers(const std::vector<std::string>& folders, uint32_t self,
                                        const SweepSteps& steps) {
  std::vector<std::string> failed;
  std::map<uint32_t, bool> running;  // asked once per process number
  for (const std::string& folder : folders) {
    std::vector<std::string> names;
    if (!steps.listFolder(folder.empty() ? "." : folder, names)) continue;
    for (const std::string& name : names) {
      uint32_t process = 0;
      std::string suffix;
      if (!ParseHelperName(name, process, suffix) || suffix == ".old") continue;
      if (process != self) {
        auto known = running.find(process);
        if (known == running.end()) {
          known = running.emplace(process, steps.processRunning(process)).first;
        }
        if (known->second) continue;
      }
      std::string path = folder + name;
      EntryInfo entry;
      if (!steps.readEntry(path, entry).Ok() || entry.kind != FileKind::Regular) continue;
      StepResult result = steps.deleteName(path);
      if (!result.Ok() && result.status != StepStatus::Missing) failed.push_back(path);
    }
  }
  return failed;
}
