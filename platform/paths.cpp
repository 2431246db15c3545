// Path helpers of plain text, for both systems.
#include "platform/paths.h"

namespace {

// True for a byte that can follow a lead byte in code page 932. A lead byte
// before anything else (a "/" of a UTF-8 name read as Shift_JIS, say) stands
// alone, so the separator after it is still seen.
bool IsSecondByte(unsigned char byte) {
  return (byte >= 0x40 && byte <= 0x7E) || (byte >= 0x80 && byte <= 0xFC);
}

// Index just past the character at position i: two bytes for a lead byte
// followed by a valid second byte, else one.
size_t NextCharacter(const std::string& text, size_t i, LeadByteTest isLeadByte) {
  if (isLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() &&
      IsSecondByte(static_cast<unsigned char>(text[i + 1]))) {
    return i + 2;
  }
  return i + 1;
}

}  // namespace

bool IsCodePage932LeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

PathParts SplitPath(const std::string& path, LeadByteTest isLeadByte) {
  PathParts parts;
  size_t start = 0;
  if (path.size() >= 2 && path[1] == ':') {
    parts.drive = path.substr(0, 2);
    start = 2;
  }
  size_t directoryEnd = start;  // just past the last separator
  size_t lastDot = std::string::npos;
  for (size_t i = start; i < path.size(); i = NextCharacter(path, i, isLeadByte)) {
    if (IsPathSeparator(path[i])) {
      directoryEnd = i + 1;
      lastDot = std::string::npos;
    } else if (path[i] == '.') {
      lastDot = i;
    }
  }
  parts.directory = path.substr(start, directoryEnd - start);
  size_t nameEnd = lastDot == std::string::npos ? path.size() : lastDot;
  parts.name = path.substr(directoryEnd, nameEnd - directoryEnd);
  parts.extension = path.substr(nameEnd);
  return parts;
}

std::string DirectoryOfExecutable(const std::string& executablePath, LeadByteTest isLeadByte) {
  PathParts parts = SplitPath(executablePath, isLeadByte);
  return parts.drive + parts.directory;
}

void GetProgramDirectory(std::string& directory) {
  std::string executable;
  // Without the executable's path, the current directory is the best guess.
  directory = GetExecutablePath(executable) ? DirectoryOfExecutable(executable) : "./";
  if (directory.empty()) directory = "./";
}

std::string& ReplaceExtension(std::string& path, const char* extension, LeadByteTest isLeadByte) {
  PathParts parts = SplitPath(path, isLeadByte);
  path = parts.drive + parts.directory + parts.name + extension;
  return path;
}
