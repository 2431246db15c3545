// The platform's file steps behind the FileSystem interface.
#include "replace/file_system.h"

using R = RealFileSystem;
using S = std::string;

StepResult R::ReadEntry(const S& path, EntryInfo& info) { return ::ReadEntry(path, info); }
FileIdentity R::Identify(const S& path) { return GetFileIdentity(path); }
bool R::ListFolder(const S& folder, std::vector<S>& names) { return ::ListFolder(folder, names); }
StepResult R::LookAtNewName(const S& path, NewNameStep step) { return ::LookAtNewName(path, step); }
StepResult R::CheckWritableFolder(const S& folder) { return ::CheckWritableFolder(folder); }
StepResult R::CreateAnonymous(const S& folder, NewFile& f) {
  return CreateAnonymousFile(folder, f);
}
StepResult R::CreateNew(const S& path, NewFile& file) { return CreateNewFile(path, file); }
StepResult R::CopyInto(const S& source, NewFile& file, const EntryInfo& replaced) {
  return ::CopyInto(source, file, replaced);
}
StepResult R::NameAnonymous(const NewFile& f, const S& path) { return NameAnonymousFile(f, path); }
StepResult R::Close(NewFile& file) { return CloseNewFile(file); }
StepResult R::Flush(const NewFile& file) { return FlushNewFile(file); }
StepResult R::FlushTogether(const std::vector<const NewFile*>& f) { return FlushNewFiles(f); }
StepResult R::FlushFolder(const S& folder) { return ::FlushFolder(folder); }
StepResult R::ReadyToRename(NewFile& file) { return ::ReadyToRename(file); }
StepResult R::Exchange(const S& a, const S& b) { return ExchangeNames(a, b); }
StepResult R::MakeSecondName(const S& existing, const S& name) {
  return ::MakeSecondName(existing, name);
}
StepResult R::RenameOver(const S& from, const S& to) { return ::RenameOver(from, to); }
StepResult R::RenameToFree(const S& from, const S& to) { return ::RenameToFree(from, to); }
StepResult R::Delete(const S& path) { return DeleteName(path); }
StepResult R::DeleteUnheld(const S& path, bool& held) { return DeleteUnheldHelperFile(path, held); }
