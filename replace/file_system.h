// The file steps of replacements, sweeps, plans and the cycle, as one
// interface: the program takes the platform's (RealFileSystem), tests a fake
// disk. Each step answers as the platform function of its name does
// (platform/files.h).
#pragma once

#include <string>
#include <vector>

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
  using S = std::string;

 public:
  StepResult ReadEntry(const S& path, EntryInfo& info) override { return ::ReadEntry(path, info); }
  FileIdentity Identify(const S& path) override { return GetFileIdentity(path); }
  bool ListFolder(const S& folder, std::vector<S>& names) override {
    return ::ListFolder(folder, names);
  }
  StepResult LookAtNewName(const S& path, NewNameStep step) override {
    return ::LookAtNewName(path, step);
  }
  StepResult CheckWritableFolder(const S& folder) override { return ::CheckWritableFolder(folder); }
  StepResult CreateAnonymous(const S& folder, NewFile& file) override {
    return CreateAnonymousFile(folder, file);
  }
  StepResult CreateNew(const S& path, NewFile& file) override { return CreateNewFile(path, file); }
  StepResult CopyInto(const S& source, NewFile& file, const EntryInfo& replaced) override {
    return ::CopyInto(source, file, replaced);
  }
  StepResult NameAnonymous(const NewFile& file, const S& path) override {
    return NameAnonymousFile(file, path);
  }
  StepResult Close(NewFile& file) override { return CloseNewFile(file); }
  StepResult Flush(const NewFile& file) override { return FlushNewFile(file); }
  StepResult FlushTogether(const std::vector<const NewFile*>& files) override {
    return FlushNewFiles(files);
  }
  StepResult FlushFolder(const S& folder) override { return ::FlushFolder(folder); }
  StepResult ReadyToRename(NewFile& file) override { return ::ReadyToRename(file); }
  StepResult Exchange(const S& a, const S& b) override { return ExchangeNames(a, b); }
  StepResult MakeSecondName(const S& existing, const S& name) override {
    return ::MakeSecondName(existing, name);
  }
  StepResult RenameOver(const S& from, const S& to) override { return ::RenameOver(from, to); }
  StepResult RenameToFree(const S& from, const S& to) override { return ::RenameToFree(from, to); }
  StepResult Delete(const S& path) override { return DeleteName(path); }
  StepResult DeleteUnheld(const S& path, bool& held) override {
    return DeleteUnheldHelperFile(path, held);
  }
};
