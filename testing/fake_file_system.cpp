// A file system in memory for unit tests: see fake_file_system.h.
#include "testing/fake_file_system.h"

#include <utility>

namespace {

const int kNoSuchEntry = 2;
const int kIsFolder = 21;
const int kNameTooLong = 36;
const int kTooManyLinkLevels = 40;

// A path as the names map keeps it: no final "/", the top folder "".
std::string Normal(const std::string& path) {
  std::string normal = path;
  while (!normal.empty() && normal.back() == '/') normal.pop_back();
  return normal == "." ? std::string() : normal;
}

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string LastPart(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

StepResult Status(StepStatus status, int error = 0) {
  StepResult result;
  result.status = status;
  result.error = error;
  return result;
}

}  // namespace

FakeFileSystem::FakeFileSystem() : FakeFileSystem(Features()) {}

FakeFileSystem::FakeFileSystem(Features supported) : features(supported) {}

// --- Setting up and looking ----------------------------------------------

void FakeFileSystem::Put(const std::string& path, const std::string& content) {
  Place(path, NewNode(FileKind::Regular, content));
}

void FakeFileSystem::MakeFolder(const std::string& path) {
  if (KindOf(path) != FileKind::Folder) Place(path, NewNode(FileKind::Folder));
}

void FakeFileSystem::MakeLink(const std::string& path, const std::string& target) {
  Place(path, NewNode(FileKind::Link, target));
}

void FakeFileSystem::MakeOther(const std::string& path) { Place(path, NewNode(FileKind::Other)); }

void FakeFileSystem::Link(const std::string& existing, const std::string& name) {
  Place(name, Find(existing));
}

void FakeFileSystem::Remove(const std::string& path) { names.erase(Normal(path)); }

bool FakeFileSystem::Has(const std::string& path) const { return Find(path) != nullptr; }

FileKind FakeFileSystem::KindOf(const std::string& path) const {
  NodePtr node = Find(path);
  return node == nullptr ? FileKind::Missing : node->kind;
}

std::string FakeFileSystem::Content(const std::string& path) const {
  NodePtr node = Follow(path);
  return node == nullptr ? std::string() : node->content;
}

size_t FakeFileSystem::NamesOf(const std::string& path) const {
  NodePtr node = Find(path);
  size_t count = 0;
  for (const auto& entry : names) count += entry.second == node ? 1 : 0;
  return node == nullptr ? 0 : count;
}

std::vector<std::string> FakeFileSystem::Names() const {
  std::vector<std::string> list;
  for (const auto& entry : names) list.push_back(entry.first);
  return list;
}

std::vector<std::string> FakeFileSystem::HelperNames() const {
  std::vector<std::string> helpers;
  for (const auto& entry : names) {
    if (entry.first.find(".kelvo-") != std::string::npos) helpers.push_back(entry.first);
  }
  return helpers;
}

void FakeFileSystem::Hold(const std::string& path) { heldElsewhere.insert(Find(path)); }

void FakeFileSystem::CutPower() {
  for (const NodePtr& node : unflushed) node->content.clear();
}

// --- The steps -------------------------------------------------------------

StepResult FakeFileSystem::ReadEntry(const std::string& path, EntryInfo& info) {
  StepResult result;
  if (Refused("ReadEntry", path, result)) return result;
  info = EntryInfo();
  NodePtr node = Find(path);
  if (node == nullptr) return result;
  info.kind = node->kind;
  info.identity = Identify(path);
  info.links = NamesOf(path);
  return result;
}

// Each top folder is a device of its own.
FileIdentity FakeFileSystem::Identify(const std::string& path) {
  FileIdentity identity;
  NodePtr node = Follow(path);
  if (node == nullptr) return identity;
  identity.valid = true;
  identity.device = std::hash<std::string>()(DeviceOf(path));
  identity.node = node->number;
  return identity;
}

bool FakeFileSystem::ListFolder(const std::string& folder, std::vector<std::string>& list) {
  StepResult result;
  if (Refused("ListFolder", folder, result)) return false;
  std::string normal = Normal(folder);
  if (!normal.empty() && KindOf(normal) != FileKind::Folder) return false;
  for (const auto& entry : names) {
    if (ParentOf(entry.first) == normal) list.push_back(LastPart(entry.first));
  }
  return true;
}

StepResult FakeFileSystem::LookAtNewName(const std::string& path, NewNameStep) {
  if (LastPart(Normal(path)).size() > longestName) {
    return Status(StepStatus::BadName, kNameTooLong);
  }
  return StepResult();
}

StepResult FakeFileSystem::CheckWritableFolder(const std::string& folder) {
  std::string normal = Normal(folder);
  if (normal.empty() || KindOf(normal) == FileKind::Folder) return StepResult();
  return Status(StepStatus::Missing, kNoSuchEntry);
}

StepResult FakeFileSystem::CreateAnonymous(const std::string& folder, NewFile& file) {
  if (!FeaturesOf(folder).anonymous) return Status(StepStatus::Unsupported);
  StepResult result;
  if (Refused("CreateAnonymous", folder, result)) return result;
  open[++lastHandle] = NewNode(FileKind::Regular);
  file.handle = lastHandle;
  return result;
}

StepResult FakeFileSystem::CreateNew(const std::string& path, NewFile& file) {
  StepResult result;
  if (Refused("CreateNew", path, result)) return result;
  if (Has(path)) return Status(StepStatus::Exists);
  if (LastPart(Normal(path)).size() > longestName) {
    return Status(StepStatus::BadName, kNameTooLong);
  }
  NodePtr node = NewNode(FileKind::Regular);
  Place(path, node);
  open[++lastHandle] = node;
  file.handle = lastHandle;
  return result;
}

StepResult FakeFileSystem::CopyInto(const std::string& source, NewFile& file, const EntryInfo&) {
  StepResult result;
  if (Refused("CopyInto", source, result)) return result;
  NodePtr from = Follow(source);
  if (from == nullptr || from->kind != FileKind::Regular) {
    result =
        from == nullptr ? Status(StepStatus::Missing, kNoSuchEntry) : Status(StepStatus::WrongKind);
    result.atSource = true;
    return result;
  }
  NodePtr& to = open.at(file.handle);
  to->content = from->content;
  file.bytes = to->content.size();
  unflushed.insert(to);
  return result;
}

StepResult FakeFileSystem::NameAnonymous(const NewFile& file, const std::string& path) {
  StepResult result;
  if (Refused("NameAnonymous", path, result)) return result;
  if (Has(path)) return Status(StepStatus::Exists);
  Place(path, open.at(file.handle));
  Named(open.at(file.handle), path);
  return result;
}

StepResult FakeFileSystem::Close(NewFile& file) {
  if (file.handle == -1) return StepResult();
  // A kill closes every file too: an anonymous one is gone with it.
  open.erase(file.handle);
  file.handle = -1;
  StepResult result;
  Refused("Close", "", result);
  return result;
}

StepResult FakeFileSystem::Flush(const NewFile& file) {
  StepResult result;
  if (Refused("Flush", "", result)) return result;
  unflushed.erase(open.at(file.handle));
  return result;
}

StepResult FakeFileSystem::FlushTogether(const std::vector<const NewFile*>& files) {
  ++flushesTogether;
  StepResult result;
  if (Refused("FlushTogether", "", result)) return result;
  for (const NewFile* file : files) unflushed.erase(open.at(file->handle));
  return result;
}

StepResult FakeFileSystem::FlushFolder(const std::string& folder) {
  StepResult result;
  if (Refused("FlushFolder", folder, result)) return result;
  flushedFolders.push_back(folder);
  return result;
}

StepResult FakeFileSystem::ReadyToRename(NewFile&) {
  StepResult result;
  Refused("ReadyToRename", "", result);
  return result;
}

StepResult FakeFileSystem::Exchange(const std::string& a, const std::string& b) {
  if (!FeaturesOf(a).exchange) return Status(StepStatus::Unsupported);
  StepResult result;
  if (Refused("Exchange", a, result)) return result;
  if (!Has(a) || !Has(b)) return Status(StepStatus::Missing, kNoSuchEntry);
  std::swap(names[Normal(a)], names[Normal(b)]);
  Named(Find(a), a);
  Named(Find(b), b);
  return result;
}

StepResult FakeFileSystem::MakeSecondName(const std::string& existing, const std::string& name) {
  if (!FeaturesOf(existing).secondNames) return Status(StepStatus::Unsupported);
  StepResult result;
  if (Refused("MakeSecondName", existing, result)) return result;
  if (!Has(existing)) return Status(StepStatus::Missing, kNoSuchEntry);
  if (Has(name)) return Status(StepStatus::Exists);
  if (LastPart(Normal(name)).size() > longestName) {
    return Status(StepStatus::BadName, kNameTooLong);
  }
  Place(name, Find(existing));
  Named(Find(name), name);
  return result;
}

StepResult FakeFileSystem::RenameOver(const std::string& from, const std::string& to) {
  StepResult result;
  if (Refused("RenameOver", from, result)) return result;
  NodePtr moved = Find(from);
  NodePtr replaced = Find(to);
  if (moved == nullptr) return Status(StepStatus::Missing, kNoSuchEntry);
  // As rename() does, two names of one file stay as they are.
  if (moved == replaced) return result;
  if (replaced != nullptr && replaced->kind == FileKind::Folder) {
    return Status(StepStatus::Failed, kIsFolder);
  }
  if (replaced != nullptr && NamesOf(to) == 1) ++freedByRename;
  names.erase(Normal(from));
  Place(to, moved);
  Named(moved, to);
  return result;
}

StepResult FakeFileSystem::RenameToFree(const std::string& from, const std::string& to) {
  if (!FeaturesOf(from).renameToFree) return Status(StepStatus::Unsupported);
  StepResult result;
  if (Refused("RenameToFree", from, result)) return result;
  NodePtr moved = Find(from);
  if (moved == nullptr) return Status(StepStatus::Missing, kNoSuchEntry);
  if (Has(to)) return Status(StepStatus::Exists);
  names.erase(Normal(from));
  Place(to, moved);
  Named(moved, to);
  return result;
}

StepResult FakeFileSystem::Delete(const std::string& path) {
  StepResult result;
  bool refused = Refused("Delete", path, result);
  // A name that is not there is not there, whatever else goes wrong.
  if (!Has(path)) return Status(StepStatus::Missing, kNoSuchEntry);
  if (refused) return result;
  if (deletesFail != 0) return Status(StepStatus::Failed, deletesFail);
  if (KindOf(path) == FileKind::Folder) return Status(StepStatus::Failed, kIsFolder);
  names.erase(Normal(path));
  return result;
}

StepResult FakeFileSystem::DeleteUnheld(const std::string& path, bool& held) {
  held = false;
  StepResult result;
  if (Refused("DeleteUnheld", path, result)) return result;
  NodePtr node = Find(path);
  if (node == nullptr) return Status(StepStatus::Missing, kNoSuchEntry);
  if (node->kind != FileKind::Regular) return Status(StepStatus::WrongKind);
  for (const auto& handle : open) held = held || handle.second == node;
  held = held || heldElsewhere.count(node) != 0;
  if (held) return result;
  if (deletesFail != 0) return Status(StepStatus::Failed, deletesFail);
  names.erase(Normal(path));
  return result;
}

// --- Inside ----------------------------------------------------------------

bool FakeFileSystem::Refused(const char* step, const std::string& path, StepResult& result) {
  ++calls;
  steps.push_back(step);
  paths.push_back(path);
  if (meanwhile) meanwhile(step, path);
  auto failure = failing.find(calls);
  if (failure != failing.end()) {
    result = Status(StepStatus::Failed, failure->second);
  } else if (cutAfter >= 0 && calls > cutAfter) {
    result = Status(StepStatus::Failed, kIoError);
  } else {
    return false;
  }
  return true;
}

FakeFileSystem::NodePtr FakeFileSystem::Find(const std::string& path) const {
  auto found = names.find(Normal(path));
  return found == names.end() ? nullptr : found->second;
}

FakeFileSystem::NodePtr FakeFileSystem::Follow(const std::string& path) const {
  std::string normal = Normal(path);
  if (normal.empty()) {
    static const NodePtr top = std::make_shared<Node>(Node{FileKind::Folder, "", 1});
    return top;
  }
  NodePtr node = Find(normal);
  // A link's target is taken from the link's folder, as the system does.
  for (int depth = 0; node != nullptr && node->kind == FileKind::Link; ++depth) {
    if (depth == kTooManyLinkLevels) return nullptr;
    std::string folder = ParentOf(normal);
    normal = Normal(folder.empty() ? node->content : folder + "/" + node->content);
    node = Find(normal);
  }
  return node;
}

FakeFileSystem::NodePtr FakeFileSystem::NewNode(FileKind kind, const std::string& content) {
  NodePtr node = std::make_shared<Node>();
  node->kind = kind;
  node->content = content;
  node->number = ++lastNumber;
  return node;
}

void FakeFileSystem::Place(const std::string& path, NodePtr node) {
  std::string normal = Normal(path);
  std::string parent = ParentOf(normal);
  if (!parent.empty()) MakeFolder(parent);
  names[normal] = std::move(node);
}

std::string FakeFileSystem::DeviceOf(const std::string& path) const {
  std::string normal = Normal(path);
  size_t slash = normal.find('/');
  if (slash != std::string::npos) return normal.substr(0, slash);
  return KindOf(normal) == FileKind::Folder ? normal : std::string();
}

void FakeFileSystem::Named(const NodePtr& node, const std::string& name) {
  if (unflushed.count(node) != 0) namedUnflushed.push_back(name);
}

const FakeFileSystem::Features& FakeFileSystem::FeaturesOf(const std::string& path) const {
  auto known = deviceFeatures.find(DeviceOf(path));
  return known == deviceFeatures.end() ? features : known->second;
}
