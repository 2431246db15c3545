// Folders of the run's own beside the destinations, where the replacements
// make their helper files on systems that hold such folders.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "platform/platform.h"

// The steps: the platform's unless a test fakes them.
struct HelperFolderSteps {
  std::function<StepResult(const std::string&, HeldFolder&)> make = MakeHeldFolder;
  std::function<void(HeldFolder&, const std::string&, bool)> release = ReleaseFolder;
};

class HelperFolders {
 public:
  explicit HelperFolders(uint32_t process, HelperFolderSteps steps = HelperFolderSteps());
  ~HelperFolders();
  HelperFolders(const HelperFolders&) = delete;
  HelperFolders& operator=(const HelperFolders&) = delete;

  // The helper folder beside the destinations of folder (a folder part
  // ending in its separator, or empty), ending in its separator; made and
  // held at the first ask. Empty when helpers go into folder itself: the
  // system holds no such folders, or this one could not be made (its name
  // taken, say).
  const std::string& For(const std::string& folder);

  // Gives up the helper folder of folder after a replacement through it
  // failed (it may have been removed from outside): later replacements make
  // their helpers beside the destinations again. The folder is still let go
  // and removed at the end: a helper deleted in it may go only once another
  // program closes the file.
  void GiveUp(const std::string& folder);

  // Lets every folder go, removing those left empty.
  void ReleaseAll();

 private:
  struct Held {
    std::string path;  // ending in its separator, or empty for none
    HeldFolder folder;
    bool givenUp = false;
  };

  uint32_t process;
  HelperFolderSteps steps;
  bool supported = true;
  std::map<std::string, Held> byFolder;
};
