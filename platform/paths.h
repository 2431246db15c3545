// Path helpers of plain text, for both systems: splitting a path into its
// parts, the program's folder and a changed extension, stepping over
// double-byte characters as wholes. The lead-byte test is a parameter, so
// tests can use code page 932 on either build.
#pragma once

#include <cstddef>
#include <string>

#include "platform/text.h"

// Lead bytes of double-byte characters in code page 932: 0x81-0x9F and
// 0xE0-0xFC.
bool IsCodePage932LeadByte(unsigned char byte);

// A path cut into its four parts; joined again they give the path back.
struct PathParts {
  std::string drive;      // "C:" on Windows, or empty
  std::string directory;  // through the last separator, or empty
  std::string name;       // between the directory and the extension
  std::string extension;  // from the last dot after the directory, or empty
};

// Where a path's parts end: drive, directory and name end at these indexes,
// the extension at the path's end.
struct PathCut {
  size_t driveEnd = 0;
  size_t directoryEnd = 0;
  size_t nameEnd = 0;
};

// Splits a path, stepping over double-byte characters as wholes so that a
// second byte equal to a separator is not taken for one. A lead byte pairs
// only with a byte that can follow it (0x40 and above).
PathCut CutPath(const std::string& path, LeadByteTest isLeadByte = IsSystemLeadByte);
PathParts SplitPath(const std::string& path, LeadByteTest isLeadByte = IsSystemLeadByte);

// Drive and directory of a path, ending in its separator, or empty.
std::string FolderOf(const std::string& path, LeadByteTest isLeadByte = IsSystemLeadByte);

// Sets directory to the running executable's directory, ending in a separator.
void GetProgramDirectory(std::string& directory);

// Replaces the path's extension (from the last dot after the directory) by
// extension, or appends it when there is none.
std::string& ReplaceExtension(std::string& path, const char* extension,
                              LeadByteTest isLeadByte = IsSystemLeadByte);
