// A set of directory entries named by paths.
#include "rotate/entry_set.h"

#include <algorithm>
#include <utility>

#include "platform/paths.h"

EntrySet::EntrySet(FileSystem& fileSystem, const std::vector<std::string>& paths) : fs(fileSystem) {
  std::unordered_map<std::string, uint32_t> folderIndexes;
  for (const std::string& path : paths) {
    size_t folderEnd = CutPath(path).directoryEnd;
    // Many paths share a folder, mostly one after the other: each folder is
    // kept once.
    std::string_view folderText(path.data(), folderEnd);
    uint32_t index = 0;
    if (!folders.empty() && folders.back() == folderText) {
      index = static_cast<uint32_t>(folders.size() - 1);
    } else {
      std::string folder(folderText);
      auto known = folderIndexes.try_emplace(folder, static_cast<uint32_t>(folders.size()));
      index = known.first->second;
      if (known.second) folders.push_back(std::move(folder));
    }
    std::string name = EntryName(folders[index], path.substr(folderEnd));
    if (name.empty()) continue;
    // A script lists the same source for many destinations: each entry once.
    std::string folded = FoldEntryName(name);
    auto sameName = foldersByName.equal_range(folded);
    if (std::none_of(sameName.first, sameName.second,
                     [index](const auto& known) { return known.second == index; }))
      foldersByName.emplace(std::move(folded), index);
  }
}

FileIdentity EntrySet::FolderIdentity(const std::string& folder) const {
  return fs.Identify(folder.empty() ? "." : folder);
}

EntrySet::Entry EntrySet::EntryOf(const std::string& path) const {
  size_t folderEnd = CutPath(path).directoryEnd;
  Entry entry;
  entry.folder = path.substr(0, folderEnd);
  entry.name = EntryName(entry.folder, path.substr(folderEnd));
  return entry;
}

bool EntrySet::Contains(const std::string& path) const {
  Entry entry = EntryOf(path);
  auto sameName = foldersByName.equal_range(FoldEntryName(entry.name));
  if (sameName.first == sameName.second) return false;
  // The same folder by text, or by identity.
  FileIdentity identity = FolderIdentity(entry.folder);
  if (!identity.valid) return false;
  return std::any_of(sameName.first, sameName.second, [&](const auto& listed) {
    const std::string& folder = folders[listed.second];
    return folder == entry.folder || FolderIdentity(folder) == identity;
  });
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
