// A file system in memory for unit tests of the replacement, the sweep and
// the cycle: regular files whose content is shared by all their names (hard
// links), folders, symbolic links and other files, identities, what each
// device supports, and faults: a numbered step that fails, a kill after a
// step, a power cut that loses what was not flushed, and changes made by
// another program between two steps.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "replace/file_system.h"

class FakeFileSystem : public FileSystem {
 public:
  // What a device (a top folder, or the top level itself) supports.
  struct Features {
    bool anonymous = true;
    bool exchange = true;
    bool secondNames = true;
    bool renameToFree = true;
  };

  FakeFileSystem();
  explicit FakeFileSystem(Features supported);

  // --- Setting up and looking (no step is counted) ---------------------
  // Paths are "/"-separated and relative; a folder may be written with or
  // without its final "/", and "" or "." is the top folder. Putting a name
  // makes its folders.
  void Put(const std::string& path, const std::string& content);
  void MakeFolder(const std::string& path);
  void MakeLink(const std::string& path, const std::string& target);
  void MakeOther(const std::string& path);  // a FIFO, say
  // Gives the file at existing the second name name.
  void Link(const std::string& existing, const std::string& name);
  void Remove(const std::string& path);
  bool Has(const std::string& path) const;
  FileKind KindOf(const std::string& path) const;
  // The content of the file that path leads to, links followed.
  std::string Content(const std::string& path) const;
  // How many names the file under path has.
  size_t NamesOf(const std::string& path) const;
  // Every name, in order; the helper names among them (".kelvo-").
  std::vector<std::string> Names() const;
  std::vector<std::string> HelperNames() const;
  // The file under path is held open by another process.
  void Hold(const std::string& path);
  // A power cut: what was written and never flushed is not on the disk.
  void CutPower();
  // The process that took the steps ends (a kill, say): its files close,
  // and the anonymous ones go with them.
  void EndProcess() { open.clear(); }

  // --- Faults --------------------------------------------------------------
  // Counted steps from 1 on (every step but Identify, LookAtNewName and
  // CheckWritableFolder); a step whose number fails answers Failed with the
  // chosen errno and changes nothing.
  void Fail(int call, int error = kIoError) { failing[call] = error; }
  int calls = 0;
  std::vector<std::string> steps;  // the step of every counted call, in order
  std::vector<std::string> paths;  // its first path ("" for none)
  std::map<int, int> failing;      // call -> errno
  // From this call on nothing happens at all, as after a kill; -1: never.
  int cutAfter = -1;
  // An errno that every delete of an existing name fails with; 0: none.
  int deletesFail = 0;
  // Run at the start of every counted step, before it looks at anything:
  // another program changing the disk meanwhile.
  std::function<void(const std::string& step, const std::string& path)> meanwhile;
  // Features by device (top folder); the others have those given at making.
  std::map<std::string, Features> deviceFeatures;
  // Names longer than this (the last part of the path) are refused.
  size_t longestName = 255;

  // --- What was done ---------------------------------------------------------
  // Renames that took the last name of a file, which frees it.
  int freedByRename = 0;
  int flushesTogether = 0;
  std::vector<std::string> flushedFolders;
  // Names made to point at a file whose data had not been flushed since it
  // was written.
  std::vector<std::string> namedUnflushed;

  static const int kIoError = 5;

  // --- The steps -------------------------------------------------------------
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

 private:
  struct Node {
    FileKind kind = FileKind::Regular;
    std::string content;  // a link's target, for a link
    uint64_t number = 0;
  };
  using NodePtr = std::shared_ptr<Node>;

  // Counts the step and tells whether it is refused (failing, or killed).
  bool Refused(const char* step, const std::string& path, StepResult& result);
  NodePtr Find(const std::string& path) const;
  // What path leads to, links followed; null when nothing.
  NodePtr Follow(const std::string& path) const;
  NodePtr NewNode(FileKind kind, const std::string& content = std::string());
  void Place(const std::string& path, NodePtr node);
  void Named(const NodePtr& node, const std::string& name);
  // The top folder a path is in, or the top folder itself ("").
  std::string DeviceOf(const std::string& path) const;
  const Features& FeaturesOf(const std::string& path) const;

  Features features;
  std::map<std::string, NodePtr> names;  // by path, folders without their "/"
  std::map<intptr_t, NodePtr> open;
  std::set<NodePtr> unflushed;
  std::set<NodePtr> heldElsewhere;
  intptr_t lastHandle = 0;
  uint64_t lastNumber = 1;  // the top folder is 1
};
