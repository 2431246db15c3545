// A set of directory entries named by paths.
#include "engine/entry_set.h"

namespace {

FileIdentity FolderIdentity(const std::string& folder) {
  return GetFileIdentity(folder.empty() ? "." : folder);
}

}  // namespace

EntrySet::EntrySet(const std::vector<std::string>& paths, LeadByteTest isLeadByteTest)
    : isLeadByte(isLeadByteTest) {
  for (const std::string& path : paths) {
    Entry entry = EntryOf(path);
    if (!entry.name.empty()) foldersByName.emplace(FoldEntryName(entry.name), entry.folder);
  }
}

EntrySet::Entry EntrySet::EntryOf(const std::string& path) const {
  PathParts parts = SplitPath(path, isLeadByte);
  Entry entry;
  entry.folder = parts.drive + parts.directory;
  entry.name = EntryName(entry.folder, parts.name + parts.extension);
  return entry;
}

bool EntrySet::Contains(const std::string& path) const {
  Entry entry = EntryOf(path);
  auto sameName = foldersByName.equal_range(FoldEntryName(entry.name));
  if (sameName.first == sameName.second) return false;
  FileIdentity folder = FolderIdentity(entry.folder);
  if (!folder.valid) return false;
  for (auto source = sameName.first; source != sameName.second; ++source) {
    if (source->second == entry.folder || FolderIdentity(source->second) == folder) return true;
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
