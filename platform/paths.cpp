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
// followed by a valid second byte, else one. Lead bytes are never below 0x80
// in any code page, which spares the test for plain letters.
size_t NextCharacter(const std::string& text, size_t i, LeadByteTest isLeadByte) {
  unsigned char byte = static_cast<unsigned char>(text[i]);
  if (byte >= 0x80 && isLeadByte(byte) && i + 1 < text.size() &&
      IsSecondByte(static_cast<unsigned char>(text[i + 1]))) {
    return i + 2;
  }
  return i + 1;
}

}  // namespace

bool IsCodePage932LeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

PathCut CutPath(const std::string& path, LeadByteTest isLeadByte) {
  static const bool hasDrives = HasDriveLetters();
  PathCut cut;
  if (hasDrives && path.size() >= 2 && path[1] == ':') cut.driveEnd = 2;
  cut.directoryEnd = cut.driveEnd;  // just past the last separator
  size_t lastDot = std::string::npos;
  for (size_t i = cut.driveEnd; i < path.size(); i = NextCharacter(path, i, isLeadByte)) {
    if (IsPathSeparator(path[i])) {
      cut.directoryEnd = i + 1;
      lastDot = std::string::npos;
    } else if (path[i] == '.') {
      lastDot = i;
    }
  }
  cut.nameEnd = lastDot == std::string::npos ? path.size() : lastDot;
  return cut;
}

std::string FolderOf(const std::string& path, LeadByteTest isLeadByte) {
  return path.substr(0, CutPath(path, isLeadByte).directoryEnd);
}

void GetProgramDirectory(std::string& directory) {
  std::string executable;
  // Without the executable's path, the current directory is the best guess.
  directory = GetExecutablePath(executable) ? FolderOf(executable) : "./";
  if (directory.empty()) directory = "./";
}
