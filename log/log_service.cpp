// The log service: records to "purlolog.html", fatal assertions, the
// program's directory and extension replacement.
#include "log/log_service.h"

#include <cstdio>

const char* const kLogFileName = "purlolog.html";

LogService* g_log = nullptr;

namespace {

// "To solve the problem, please help by uploading purlolog.html." in code
// page 932, shown above every assertion message.
const char kUploadRequest[] =
    "\226\342\221\350\211\360\214\210\202\314\202\275\202\337\201Apurlolog.html\202\314\203A"
    "\203b\203v\203\215\201[\203h\202\311\202\262\213\246\227\315\211\272\202\263\202\242\201B";

const size_t kRecordBufferSize = 1024;
const size_t kEnvironmentBufferSize = 256;

// The same request where the console cannot show code page 932.
const char kUploadRequestInEnglish[] =
    "To solve the problem, please help by uploading purlolog.html.";

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

std::string FormatBoxText(const char* message, const char* detail) {
  std::string format = "%s\n%s";
  if (detail != nullptr) format += "\n%s";
  char buffer[kRecordBufferSize];
  std::string request = ConsoleTextOf932(kUploadRequest, kUploadRequestInEnglish);
  std::snprintf(buffer, sizeof buffer, format.c_str(), request.c_str(), message, detail);
  return buffer;
}

}  // namespace

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

std::string FormatRecord(const char* label, const char* message, const char* detail) {
  std::string format = "%s: %s";
  if (detail != nullptr) format += "\t%s";
  format += "<br>\n";
  char buffer[kRecordBufferSize];
  std::snprintf(buffer, sizeof buffer, format.c_str(), label, message, detail);
  return buffer;
}

LogService::LogService() {
  fileLock = CreatePlatformLock();
  enabled = true;
  GetProgramDirectory(programDirectory);
  Open();
}

LogService::LogService(const std::string& directory) {
  fileLock = CreatePlatformLock();
  enabled = true;
  programDirectory = directory;
  Open();
}

LogService::~LogService() { DeletePlatformLock(fileLock); }

void LogService::Open() {
  if (!AppendToFile(kLogFileName, nullptr)) {
    ShowFatalBox("Critical Error: Log File is Locked", "Assert");
    EndProcessFatally();
  }
  WriteEnvironmentRecords();
  enabled = false;
}

void LogService::WriteEnvironmentRecords() {
  std::vector<std::string> adapters;
  GetDisplayAdapters(adapters);
  char buffer[kEnvironmentBufferSize];
  for (const std::string& adapter : adapters) {
    std::snprintf(buffer, sizeof buffer, "GPU: %s", adapter.c_str());
    Report(buffer, nullptr);
  }
  std::snprintf(buffer, sizeof buffer, "CPU: Unknown");
  Report(buffer, nullptr);
}

bool LogService::GetDisplayAdapters(std::vector<std::string>& list) {
  return ListDisplayAdapters(list);
}

void LogService::Report(const char* message, const char* detail) {
  if (enabled) WriteRecord("Report", message, detail);
}

void LogService::WriteRecord(const char* label, const char* message, const char* detail) {
  if (!enabled || message == nullptr || message[0] == '\0') return;
  AppendToFile(kLogFileName, FormatRecord(label, message, detail).c_str());
}

bool LogService::AppendToFile(const char* fileName, const char* text) {
  std::string path = programDirectory + fileName;
  EnterPlatformLock(fileLock);
  bool opened = AppendFile(path, text);
  LeavePlatformLock(fileLock);
  return opened;
}

void LogService::Assert(const char* message, const char* detail) {
  std::string record = FormatRecord("Assert", message, detail);
  std::string box = FormatBoxText(message, detail);
  AppendToFile(kLogFileName, record.c_str());
  ShowFatalBox(box.c_str(), "Assert");
  EndProcessFatally();
}

std::string& LogService::ReplaceExtension(std::string& path, const char* extension,
                                          LeadByteTest isLeadByte) {
  PathParts parts = SplitPath(path, isLeadByte);
  path = parts.drive + parts.directory + parts.name + extension;
  return path;
}

void RaiseAssert(const char* message, const char* detail) {
#ifdef KELVO_FUZZ_BUILD
  throw FuzzAssertion{};
#endif
  if (g_log != nullptr) g_log->Assert(message, detail);
  ShowFatalBox(FormatBoxText(message, detail).c_str(), "Assert");
  EndProcessFatally();
}
