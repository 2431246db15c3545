// Paths: how the system writes and takes names (separators, absolute
// paths, drives, the names it refuses or reads otherwise, the executable's
// name), and helpers of plain text for both systems: splitting a path into
// its parts, the program's folder and a changed extension, stepping over
// double-byte characters as wholes. The lead-byte test is a parameter, so
// tests can use code page 932 on either build.
#pragma once

#include <cstddef>
#include <string>

#include "platform/text.h"

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
// to COM9, LPT1 to LPT9), which IsReservedDeviceName tells of the last part
// of path. None of them on Linux.
bool NamesHaveStreams();
bool DropsTrailingDotsAndBlanks();
bool IsReservedDeviceName(const std::string& path);

// What the system's executables' names end in: ".exe" on Windows, nothing
// on Linux.
const char* ExecutableSuffix();

// Full path of the running executable; false when the system cannot tell.
bool GetExecutablePath(std::string& path);

// Lead bytes of double-byte characters in code page 932: 0x81-0x9F and
// 0xE0-0xFC.
bool IsCodePage932LeadByte(unsigned char byte);

// Where a path's parts end: the drive ("C:" on Windows, or empty), the
// directory (through the last separator) and the name end at these indexes;
// the extension, from the last dot after the directory, at the path's end.
struct PathCut {
  size_t driveEnd = 0;
  size_t directoryEnd = 0;
  size_t nameEnd = 0;
};

// Splits a path, stepping over double-byte characters as wholes so that a
// second byte equal to a separator is not taken for one. A lead byte pairs
// only with a byte that can follow it (0x40 and above).
PathCut CutPath(const std::string& path, LeadByteTest isLeadByte = IsSystemLeadByte);

// Drive and directory of a path, ending in its separator, or empty.
std::string FolderOf(const std::string& path, LeadByteTest isLeadByte = IsSystemLeadByte);

// Sets directory to the running executable's directory, ending in a separator.
void GetProgramDirectory(std::string& directory);
