// A set of directory entries named by paths.
#include "engine/entry_set.h"

#include <unordered_set>

namespace {

FileIdentity FolderIdentity(const std::string& folder) {
  return GetFileIdentity(folder.empty() ? "." : folder);
}

}  // namespace

EntrySet::EntrySet(const std::vector<std::string>& paths, LeadByteTest isLeadByteTest)
    : isLeadByte(isLeadByteTest) {
  // A script lists the same source for many destinations: each path once.
  std::unordered_set<std::string> seen;
  for (const std::string& path : paths) {
    if (!seen.insert(path).second) continue;
    Entry entry = EntryOf(path);
    if (!entry.name.empty()) foldersByName.emplace(FoldEntryName(entry.name), entry.folder);
  }
}

EntrySet::Entry EntrySet::EntryOf(const std::string& path) const {
  size_t folderEnd = CutPath(path, isLeadByte).directoryEnd;
  Entry entry;
  entry.folder = path.substr(0, folderEnd);
  entry.name = EntryName(entry.folder, path.substr(folderEnd));
  return entry;
}

bool EntrySet::Contains(const std::string& path) const { return Contains(Prepare(path)); }

EntrySet::Probe EntrySet::Prepare(const std::string& path) const {
  size_t folderEnd = CutPath(path, isLeadByte).directoryEnd;
  return Prepare(path.substr(0, folderEnd), path.substr(folderEnd));
}

EntrySet::Probe EntrySet::Prepare(const std::string& folder, const std::string& name) const {
  Probe probe;
  probe.nameReadsFolder = EntryNameReadsFolder(name);
  if (probe.nameReadsFolder) probe.path = folder + name;
  auto sameName = foldersByName.equal_range(FoldEntryName(EntryName(folder, name)));
  for (auto source = sameName.first; source != sameName.second; ++source) {
    probe.folders.push_back(source->second);
  }
  // Most names are no listed entry's: their probe holds nothing.
  if (!probe.folders.empty()) probe.folder = folder;
  return probe;
}

bool EntrySet::Contains(const Probe& probe) const {
  if (probe.nameReadsFolder) {
    // What the name stands for may have changed: look it up again.
    Probe fresh = Prepare(probe.path);
    return ContainsIn(fresh.folder, fresh.folders);
  }
  return ContainsIn(probe.folder, probe.folders);
}

// True when folder is one of listedFolders, by text or by identity.
bool EntrySet::ContainsIn(const std::string& folder,
                          const std::vector<std::string>& listedFolders) const {
  if (listedFolders.empty()) return false;
  FileIdentity identity = FolderIdentity(folder);
  if (!identity.valid) return false;
  for (const std::string& listed : listedFolders) {
    if (listed == folder || FolderIdentity(listed) == identity) return true;
  }
  return false;
}

bool EntrySet::SameEntry(const std::string& a, const std::string& b) const {
  Entry first = EntryOf(a);
  Entry second = EntryOf(b);
  return FoldEntryName(first.name) == FoldEntryName(second.name) &&
         (first.folder == second.folder ||
          FolderIdentity(first.folder) == FolderIdentity(second.folder));
}

std::string EntrySet::EntryKey(const std::string& path) const {
  Entry entry = EntryOf(path);
  FileIdentity folder = FolderIdentity(entry.folder);
  if (!folder.valid) return std::string();
  return std::to_string(folder.device) + ":" + std::to_string(folder.node) + ":" +
         FoldEntryName(entry.name);
}
