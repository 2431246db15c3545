// The log "purlolog.html" beside the executable and fatal assertions.
#pragma once

#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/platform.h"

// Name of the log file in the program's directory.
extern const char* const kLogFileName;

// Formats one log record: "label: message", "\tdetail" when a detail is given,
// then "<br>\n"; cut at 1023 bytes.
std::string FormatRecord(const char* label, const char* message, const char* detail);

class LogService {
 public:
  LogService();
  // Uses directory as the program's directory.
  // startThread gives the thread that empties the log at start (tests hold
  // it back).
  explicit LogService(const std::string& directory,
                      const ThreadStarter& startThread = StartQuietThread);
  ~LogService();
  LogService(const LogService&) = delete;
  LogService& operator=(const LogService&) = delete;

  void Report(const char* message, const char* detail);
  [[noreturn]] void Assert(const char* message, const char* detail);
  // Waits until the log is empty; a log that could not be emptied ends the
  // process as a locked one does at start. Called before any file is
  // touched.
  void EnsureEmptied();
  bool AppendToFile(const char* fileName, const char* text);
  bool GetDisplayAdapters(std::vector<std::string>& list);
  // The path helper of the same name, as the log's own service.
  static std::string& ReplaceExtension(std::string& path, const char* extension,
                                       LeadByteTest isLeadByte = IsSystemLeadByte);

  bool enabled = false;
  std::string programDirectory;

 private:
  void Open();
  void WriteRecord(const char* label, const char* message, const char* detail);
  void WriteEnvironmentRecords();
  [[noreturn]] void EndAsLocked();
  void SettleLog();
  void LogEmptied(const StepResult& emptied, EmptiedFile& file);
  bool AppendNow(const char* fileName, const char* text);

  PlatformLock* fileLock = nullptr;
  std::string path;  // the file AppendToFile writes, under fileLock
  // The log is emptied on a thread of its own at start. Records written
  // meanwhile are held here, under fileLock, and that thread appends them
  // once the log is empty.
  FileEmptying emptying;
  bool emptyingLog = false;
  bool emptyingFailed = false;
  int emptyingError = 0;  // the system's code, when emptying failed
  std::string heldRecords;
};

// The one log of the program, set by the entry point.
extern LogService* g_log;

// Called by RaiseAssert before the fatal end, when set; one that throws
// lets a fuzz target go on with its next input.
using FatalHandler = void (*)(const char* message, const char* detail);
void SetFatalHandler(FatalHandler handler);

// Raises the fatal assertion on the global log, or ends the process when
// there is none.
[[noreturn]] void RaiseAssert(const char* message, const char* detail);
