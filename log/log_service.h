// The log "purlolog.html" beside the executable, the program's directory,
// fatal assertions and the path helpers that go with them.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// Name of the log file in the program's directory.
extern const char* const kLogFileName;

// A path cut into its four parts; joined again they give the path back.
struct PathParts {
  std::string drive;      // "C:" or empty
  std::string directory;  // through the last separator, or empty
  std::string name;       // between the directory and the extension
  std::string extension;  // from the last dot after the directory, or empty
};

// Splits a path, stepping over double-byte characters as wholes so that a
// second byte equal to a separator is not taken for one.
PathParts SplitPath(const std::string& path, LeadByteTest isLeadByte = IsSystemLeadByte);

// Drive and directory of an executable path, ending in its separator.
std::string DirectoryOfExecutable(const std::string& executablePath,
                                  LeadByteTest isLeadByte = IsSystemLeadByte);

// Sets directory to the running executable's directory, ending in a separator.
void GetProgramDirectory(std::string& directory);

// Formats one log record: "label: message", "\tdetail" when a detail is given,
// then "<br>\n"; cut at 1023 bytes.
std::string FormatRecord(const char* label, const char* message, const char* detail);

class LogService {
 public:
  LogService();
  // Uses directory as the program's directory.
  explicit LogService(const std::string& directory);
  ~LogService();
  LogService(const LogService&) = delete;
  LogService& operator=(const LogService&) = delete;

  void Report(const char* message, const char* detail);
  [[noreturn]] void Assert(const char* message, const char* detail);
  bool AppendToFile(const char* fileName, const char* text);
  bool GetDisplayAdapters(std::vector<std::string>& list);
  // Uses no member; callers reach it through the log like its other services.
  static std::string& ReplaceExtension(std::string& path, const char* extension,
                                       LeadByteTest isLeadByte = IsSystemLeadByte);

  bool enabled = false;
  std::string programDirectory;

 private:
  void Open();
  void WriteRecord(const char* label, const char* message, const char* detail);
  void WriteEnvironmentRecords();

  PlatformLock* fileLock = nullptr;
};

// The one log of the program, set by the entry point.
extern LogService* g_log;

#ifdef KELVO_FUZZ_BUILD
// What RaiseAssert throws in the fuzz build, so that a fuzz target goes on
// with its next input instead of ending.
struct FuzzAssertion {};
#endif

// Raises the fatal assertion on the global log, or ends the process when
// there is none.
[[noreturn]] void RaiseAssert(const char* message, const char* detail);
