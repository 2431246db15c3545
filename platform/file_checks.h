// Looks at files and folders that never change them, for the script checker
// and the plan of a run: whether a name exists, may be read or written, and
// the folders that names are taken from.
#pragma once

#include <string>

#include "platform/files.h"

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
// The folder that relative names are taken from.
std::string CurrentFolder();
// Ok when the process may write to the existing file (nothing is written).
StepResult CheckWritableFile(const std::string& path);
