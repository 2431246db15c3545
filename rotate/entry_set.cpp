// A set of directory entries named by paths.
#include "rotate/entry_set.h"

#include <utility>

namespace {

FileIdentity FolderIdentity(const std::string& folder) {
  return GetFileIdentity(folder.empty() ? "." : folder);
}

}  // namespace

EntrySet::EntrySet(const std::vector<std::string>& paths, LeadByteTest isLeadByteTest)
    : isLeadByte(isLeadByteTest) {
  std::unordered_map<std::string, uint32_t> folderIndexes;
  for (const std::string& path : paths) {
    size_t folderEnd = CutPath(path, isLeadByte).directoryEnd;
    // Many paths share a folder, mostly one after the other: each folder is
    // kept once.
    std::string_view folderText(path.data(), folderEnd);
    uint32_t index = 0;
    if (!folders.empty() && folders.back() == folderText) {
      index = static_cast<uint32_t>(folders.size() - 1);
    } else {
      std::string folder(folderText);
      auto known = folderIndexes.find(folder);
      if (known != folderIndexes.end()) {
        index = known->second;
      } else {
        index = static_cast<uint32_t>(folders.size());
        folderIndexes.emplace(folder, index);
        folders.push_back(std::move(folder));
      }
    }
    std::string name = EntryName(folders[index], path.substr(folderEnd));
    if (name.empty()) continue;
    // A script lists the same source for many destinations: each entry once.
    std::string folded = FoldEntryName(name);
    auto sameName = foldersByName.equal_range(folded);
    bool listed = false;
    for (auto known = sameName.first; known != sameName.second && !listed; ++known) {
      listed = known->second == index;
    }
    if (!listed) foldersByName.emplace(std::move(folded), index);
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
  for (auto listed = sameName.first; listed != sameName.second; ++listed) {
    probe.folders.push_back(listed->second);
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

// True when folder is one of the listed folders, by text or by identity.
bool EntrySet::ContainsIn(const std::string& folder,
                          const std::vector<uint32_t>& listedFolders) const {
  if (listedFolders.empty()) return false;
  FileIdentity identity = FolderIdentity(folder);
  if (!identity.valid) return false;
  for (uint32_t index : listedFolders) {
    const std::string& listed = folders[index];
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

bool EntrySet::SameEntryIn(const std::string& folder, const std::string& a,
                           const std::string& b) const {
  return FoldEntryName(EntryName(folder, a)) == FoldEntryName(EntryName(folder, b));
}

std::string EntrySet::EntryKey(const std::string& path) const {
  Entry entry = EntryOf(path);
  FileIdentity folder = FolderIdentity(entry.folder);
  if (!folder.valid) return std::string();
  return std::to_string(folder.device) + ":" + std::to_string(folder.node) + ":" +
         FoldEntryName(entry.name);
}
