// Folders of the run's own beside the destinations, made at the first
// replacement in a folder and removed at the end of the run.
#include "replace/helper_folders.h"

#include <utility>

#include "platform/paths.h"
#include "replace/replace.h"

HelperFolders::HelperFolders(uint32_t processNumber, HelperFolderSteps folderSteps)
    : process(processNumber), steps(std::move(folderSteps)) {}

HelperFolders::~HelperFolders() { ReleaseAll(); }

const std::string& HelperFolders::For(const std::string& folder) {
  static const std::string kNone;
  auto known = byFolder.find(folder);
  if (known != byFolder.end()) return known->second.givenUp ? kNone : known->second.path;
  Held& held = byFolder[folder];
  if (!supported) return held.path;
  std::string path = folder + HelperFolderName(process);
  StepResult made = steps.make(path, held.folder);
  if (made.status == StepStatus::Unsupported) {
    supported = false;
  } else if (made.Ok()) {
    held.path = path + SystemSeparator();
  }
  return held.path;
}

void HelperFolders::GiveUp(const std::string& folder) {
  auto known = byFolder.find(folder);
  if (known != byFolder.end()) known->second.givenUp = true;
}

void HelperFolders::ReleaseAll() {
  for (auto& entry : byFolder) {
    Held& held = entry.second;
    if (held.path.empty()) continue;
    steps.release(held.folder, held.path.substr(0, held.path.size() - 1), true);
  }
  byFolder.clear();
}
