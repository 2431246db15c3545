// Folders of the run's own beside the destinations, made at the first
// replacement in a folder and removed at the end of the run.
#include "engine/helper_folders.h"

#include <utility>

#include "engine/replace.h"

HelperFolders::HelperFolders(uint32_t processNumber, HelperFolderSteps folderSteps)
    : process(processNumber), steps(std::move(folderSteps)) {}

HelperFolders::~HelperFolders() { ReleaseAll(); }

const std::string& HelperFolders::For(const std::string& folder) {
  auto known = byFolder.find(folder);
  if (known != byFolder.end()) return known->second.path;
  Held& held = byFolder[folder];
  if (!supported) return held.path;
  std::string path = folder + HelperFolderName(process);
  StepResult made = steps.make(path, held.folder);
  if (made.status == StepStatus::Unsupported) {
    supported = false;
  } else if (made.Ok()) {
    held.path = path + (IsPathSeparator('\\') ? '\\' : '/');
  }
  return held.path;
}

void HelperFolders::GiveUp(const std::string& folder) {
  auto known = byFolder.find(folder);
  if (known != byFolder.end()) Release(known->second);
}

void HelperFolders::ReleaseAll() {
  for (auto& entry : byFolder) Release(entry.second);
  byFolder.clear();
}

// Lets the folder go and removes it if empty; the folder's entry stays, with
// no path, so that none is made again for it.
void HelperFolders::Release(Held& held) {
  if (held.path.empty()) return;
  steps.release(held.folder, held.path.substr(0, held.path.size() - 1), true);
  held.path.clear();
}
