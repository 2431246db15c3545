// A set of directory entries named by paths: the sources of a script, which
// no replacement may delete, move or overwrite, or its destinations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "replace/file_system.h"

// A path is in the set when it names the same entry of the same folder as a
// listed path: the folders the same by identity, the names the same as the
// folder lists them (letters in either case on Windows). So every spelling of
// a source is caught, while a link to a source is not the source.
class EntrySet {
 public:
  EntrySet(FileSystem& fileSystem, const std::vector<std::string>& paths);

  // Looks at the folders afresh on every call: a folder may be replaced
  // between two replacements.
  bool Contains(const std::string& path) const;

  bool SameEntry(const std::string& a, const std::string& b) const;

  // A text that is the same for two paths exactly when they name one
  // directory entry; empty when the path's folder does not exist.
  std::string EntryKey(const std::string& path) const;

 private:
  struct Entry {
    std::string folder;  // through its last separator, or empty
    std::string name;    // as the folder lists it
  };
  Entry EntryOf(const std::string& path) const;
  FileIdentity FolderIdentity(const std::string& folder) const;

  FileSystem& fs;
  // The folders of the listed paths, each once.
  std::vector<std::string> folders;
  // Folded name -> indexes into folders of the listed entries of that name.
  std::unordered_multimap<std::string, uint32_t> foldersByName;
};
