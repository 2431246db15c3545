// File steps of a replacement, their results, and the listing of a folder,
// and looks at files and folders that never change them, for the script
// checker and the plan of a run. Plain steps; the replacement sequence (replace/replace.cpp)
// chooses among them, falls back and rolls back. None of them follows a symbolic link in the last
// part of a name it creates, renames or deletes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class StepStatus {
  Ok,
  Unsupported,  // this system or file system cannot take the step at all
  Missing,      // a name the step needs does not exist
  Exists,       // the name the step would create is taken
  WrongKind,    // not a regular file (a folder, a FIFO, a device...)
  Stopped,      // a stop was requested during a long step
  BadName,      // the system takes no such name (too long, say)
  Failed,       // any other refusal
};

struct StepResult {
  StepStatus status = StepStatus::Ok;
  int error = 0;          // the system's code (errno, or GetLastError on Windows)
  bool atSource = false;  // a copy failed on the side it reads
  bool Ok() const { return status == StepStatus::Ok; }
};

// The result, said of the side a copy reads.
inline StepResult AtSource(StepResult result) {
  result.atSource = true;
  return result;
}

// std::fopen, the name in the form the process uses (see SetUtf8Names).
std::FILE* OpenStream(const char* path, const char* mode);

std::string ErrorText(int error);

// Identity of an existing file, for telling two names of one file apart.
struct FileIdentity {
  bool valid = false;
  uint64_t device = 0;
  uint64_t node = 0;
  bool operator==(const FileIdentity& other) const {
    return valid && other.valid && device == other.device && node == other.node;
  }
};
// Identity of what the name leads to, links followed.
FileIdentity GetFileIdentity(const std::string& path);

enum class FileKind { Missing, Regular, Folder, Link, Other };

struct EntryInfo {
  FileKind kind = FileKind::Missing;
  FileIdentity identity;
  uint64_t links = 0;  // names the file has
  // Linux: permission bits, owner and group; 0 on Windows.
  uint32_t mode = 0;
  uint32_t owner = 0;
  uint32_t group = 0;
};

// What a name is, a symbolic link not followed. Missing is a result, not a
// failure: the step answers Ok with kind Missing.
StepResult ReadEntry(const std::string& path, EntryInfo& info);

// The name under which folder lists the entry that name reaches. Linux: the
// name itself. Windows: trailing dots and blanks dropped, a stream part
// (":$DATA", ":name") dropped, and a short 8.3 name of an existing entry
// expanded to its long name.
std::string EntryName(const std::string& folder, const std::string& name);

// A name as the system compares names of one folder: itself on Linux, in
// capitals on Windows, where letters match in either case.
std::string FoldEntryName(const std::string& name);

// How a step makes a new name: by creating a file under it, or by giving an
// existing file that name (a second name, or a rename).
enum class NewNameStep { Create, LinkOrRename };
// A read-only look at a name that step would make: BadName, with the
// system's own answer, when the system takes no such name (too long, say);
// Ok otherwise, the name free or taken. Linux looks the name up as the step
// would. Windows passes it through the conversion of the step's ANSI call:
// one that creates a file takes at most MAX_PATH characters, one that links
// or renames takes names of any length.
StepResult LookAtNewName(const std::string& path, NewNameStep step);

// A file that a replacement writes; -1 when none is open.
struct NewFile {
  intptr_t handle = -1;
  uint64_t bytes = 0;  // what CopyInto wrote
};

// The two calls below make a run's helper files. Each is held from its
// making for as long as its handle is open (Linux: an exclusive flock on
// it; Windows: a handle that shares nothing), so that a sweep can tell a
// file a live run is writing from one a killed run left: the system lets
// the hold go with the process, however it ends, and every process sees it
// whatever its process number (another PID namespace, say).

// A file without a name in folder (Linux O_TMPFILE): a kill before it is
// named leaves nothing behind. Unsupported where the system has none.
StepResult CreateAnonymousFile(const std::string& folder, NewFile& file);
// Creates path exclusively; Exists when any object has that name, a dangling
// symbolic link included, and also when a sweep took the name between its
// making and its hold (Linux), so that the caller tries another.
StepResult CreateNewFile(const std::string& path, NewFile& file);
// Copies source, which must be a regular file (links followed), into file to
// its end; Stopped when a stop is requested between chunks. The copy's
// modification time is that of the copy. On Linux it then takes the
// permission bits of replaced when that is a regular file, and its owner and
// group where the process may set them; otherwise the source's permission
// bits under the umask. Set-user-ID, set-group-ID and sticky bits never go
// over to new content. On Windows no attribute goes over (read-only stays
// behind).
StepResult CopyInto(const std::string& source, NewFile& file, const EntryInfo& replaced);
// Links an anonymous file under path; Exists when the name is taken.
StepResult NameAnonymousFile(const NewFile& file, const std::string& path);
// Closes the file, if still open; a failure means its content may be
// incomplete.
StepResult CloseNewFile(NewFile& file);
// Readies a written file for a rename of its name. Windows cannot rename a
// file that its own handle holds without sharing deletion, so the file is
// closed there; on Linux it stays open, and with it the lock that tells a
// sweep that a live run holds it, until the caller closes it.
StepResult ReadyToRename(NewFile& file);

// Makes the data written to the file reach the disk, so that a name may
// point at it and still hold it after a power cut (Linux fdatasync,
// Windows FlushFileBuffers).
StepResult FlushNewFile(const NewFile& file);
// The same for many files at the cost of one flush of each file system
// they are on, where the system has such a flush (Linux syncfs); one flush
// a file otherwise. A failure says only that some file may not be on disk.
StepResult FlushNewFiles(const std::vector<const NewFile*>& files);
// Makes the entries of a folder (ending in its separator, or empty for the
// current one) reach the disk: the names that now point at new files.
// Linux fsync of the folder; Ok on Windows, where every move that puts a
// file in place is written through.
StepResult FlushFolder(const std::string& folder);

// Exchanges two names in one step (Linux renameat2 RENAME_EXCHANGE).
StepResult ExchangeNames(const std::string& a, const std::string& b);
// Gives an existing file a second name (a hard link); Exists when taken. On
// Windows it refuses a file that another program holds open without sharing
// deletion, since that file could be neither replaced nor rid of the name.
StepResult MakeSecondName(const std::string& existing, const std::string& name);
StepResult RenameOver(const std::string& from, const std::string& to);
// Renames from to to only when to is free; Exists when it is taken.
StepResult RenameToFree(const std::string& from, const std::string& to);
StepResult DeleteName(const std::string& path);

// Deletes a helper file that CreateNewFile or CreateAnonymousFile made,
// unless its handle is still open somewhere: held is then set and the file
// stays. held is set too when the system cannot tell (the file cannot be
// opened or takes no lock), since a sweep must never delete what may be in
// use; nothing is reported for it. The name is not followed: anything but a
// regular file is WrongKind and stays. On Linux the hold is taken over for
// the deletion, so that the file deleted is the one found free and a run
// cannot take it up meanwhile. Missing when the name is gone.
StepResult DeleteUnheldHelperFile(const std::string& path, bool& held);

// Appends the names of folder's entries, "." and ".." left out. False when
// the folder cannot be listed.
bool ListFolder(const std::string& folder, std::vector<std::string>& names);

// True when the path names any file-system object, a directory included.
bool FileExists(const char* path);

// Opens a file for reading and closes it again: Ok when kelvo could read it.
StepResult CheckReadable(const std::string& path);
// Ok when the process may create names in the folder.
StepResult CheckWritableFolder(const std::string& folder);
// The folder that a program started through path takes for its own: where
// path leads with every link followed on Linux, where a program reads its
// path from /proc/self/exe; the folder of path as written on Windows.
// Empty when path leads nowhere.
std::string ProgramFolderThrough(const std::string& path);
std::string CurrentFolder();
// Ok when the process may write to the existing file (nothing is written).
StepResult CheckWritableFile(const std::string& path);
