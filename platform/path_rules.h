// How the system writes and takes names: separators, absolute paths, drives,
// the names it refuses or reads otherwise, and the executable's name.
#pragma once

#include <string>

// True for the characters that separate directories in a path.
bool IsPathSeparator(char c);

// The separator the system writes: a backslash on Windows, else a slash.
char SystemSeparator();

// True for a name that the replacement cycle must not prefix with a base
// directory: "X:\" at the start on Windows, a leading "/" on Linux.
bool IsAbsolutePath(const std::string& name);

// The path as the system reaches it from the current folder, for naming it
// in a message: a relative name is put under that folder (on Windows, also
// a name starting at the drive's root or on a drive's current folder).
std::string AbsolutePathOf(const std::string& path);

// True where a path may start with a drive ("C:", Windows); on Linux "a:b"
// is a name like any other.
bool HasDriveLetters();

// Name rules beyond separators and drives, where the system has them
// (Windows): a colon in a name sets a stream of the file apart ("a.txt:b"),
// dots and blanks at the end of a name are dropped, and a few names open a
// device in any folder, whatever their extension (CON, PRN, AUX, NUL, COM1
// to COM9, LPT1 to LPT9). None of them on Linux.
bool NamesHaveStreams();
bool DropsTrailingDotsAndBlanks();
bool IsReservedDeviceName(const std::string& baseName);

// What the system's executables' names end in: ".exe" on Windows, nothing
// on Linux.
const char* ExecutableSuffix();

// Full path of the running executable; false when the system cannot tell.
bool GetExecutablePath(std::string& path);
