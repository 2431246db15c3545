// The file steps of replacements, sweeps, plans and the cycle, as one
// interface: the program takes the platform's (RealFileSystem), tests a fake
// disk. Each step answers as the platform function of its name does
// (platform/files.h, platform/file_checks.h).
#pragma once

#include <string>
#include <vector>

#include "platform/file_checks.h"
#include "platform/files.h"

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  virtual StepResult ReadEntry(const std::string& path, EntryInfo& info) = 0;
  virtual FileIdentity Identify(const std::string& path) = 0;
  virtual bool ListFolder(const std::string& folder, std::vector<std::string>& names) = 0;
  virtual StepResult LookAtNewName(const std::string& path, NewNameStep step) = 0;
  virtual StepResult CheckWritableFolder(const std::string& folder) = 0;
  virtual StepResult CreateAnonymous(const std::string& folder, NewFile& file) = 0;
  virtual StepResult CreateNew(const std::string& path, NewFile& file) = 0;
  virtual StepResult CopyInto(const std::string& source, NewFile& file,
                              const EntryInfo& replaced) = 0;
  virtual StepResult NameAnonymous(const NewFile& file, const std::string& path) = 0;
  virtual StepResult Close(NewFile& file) = 0;
  virtual StepResult Flush(const NewFile& file) = 0;
  virtual StepResult FlushTogether(const std::vector<const NewFile*>& files) = 0;
  virtual StepResult FlushFolder(const std::string& folder) = 0;
  virtual StepResult ReadyToRename(NewFile& file) = 0;
  virtual StepResult Exchange(const std::string& a, const std::string& b) = 0;
  virtual StepResult MakeSecondName(const std::string& existing, const std::string& name) = 0;
  virtual StepResult RenameOver(const std::string& from, const std::string& to) = 0;
  virtual StepResult RenameToFree(const std::string& from, const std::string& to) = 0;
  virtual StepResult Delete(const std::string& path) = 0;
  virtual StepResult DeleteUnheld(const std::string& path, bool& held) = 0;
};

// The platform's file steps.
class RealFileSystem : public FileSystem {
 public:
  StepResult ReadEntry(const std::string& path, EntryInfo& info) override;
  FileIdentity Identify(const std::string& path) override;
  bool ListFolder(const std::string& folder, std::vector<std::string>& names) override;
  StepResult LookAtNewName(const std::string& path, NewNameStep step) override;
  StepResult CheckWritableFolder(const std::string& folder) override;
  StepResult CreateAnonymous(const std::string& folder, NewFile& file) override;
  StepResult CreateNew(const std::string& path, NewFile& file) override;
  StepResult CopyInto(const std::string& source, NewFile& file, const EntryInfo& replaced) override;
  StepResult NameAnonymous(const NewFile& file, const std::string& path) override;
  StepResult Close(NewFile& file) override;
  StepResult Flush(const NewFile& file) override;
  StepResult FlushTogether(const std::vector<const NewFile*>& files) override;
  StepResult FlushFolder(const std::string& folder) override;
  StepResult ReadyToRename(NewFile& file) override;
  StepResult Exchange(const std::string& a, const std::string& b) override;
  StepResult MakeSecondName(const std::string& existing, const std::string& name) override;
  StepResult RenameOver(const std::string& from, const std::string& to) override;
  StepResult RenameToFree(const std::string& from, const std::string& to) override;
  StepResult Delete(const std::string& path) override;
  StepResult DeleteUnheld(const std::string& path, bool& held) override;
};
