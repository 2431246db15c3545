// The log "purlolog.html" beside the executable and fatal assertions.
#pragma once

#include <mutex>
#include <string>

#include "platform/text.h"

// Name of the log file in the program's directory.
extern const char* const kLogFileName;

// Formats one log record: "label: message", "\tdetail" when a detail is given,
// then "<br>\n"; cut at 1023 bytes.
std::string FormatRecord(const char* label, const char* message, const char* detail);

class LogService {
 public:
  // Uses directory as the program's directory. Empties the log; a log that
  // cannot be emptied ends the process with exit status 3.
  explicit LogService(const std::string& directory);
  LogService(const LogService&) = delete;
  LogService& operator=(const LogService&) = delete;

  void Report(const char* message, const char* detail);
  [[noreturn]] void Assert(const char* message, const char* detail);
  bool AppendToFile(const char* fileName, const char* text);

  bool enabled = false;
  std::string programDirectory;

 private:
  std::mutex fileLock;
  std::string path;  // the file AppendToFile writes, under fileLock
};

// The one log of the program, set by the entry point.
extern LogService* g_log;

// Called by RaiseAssert before the fatal end, when set; one that throws
// lets a fuzz target go on with its next input.
using FatalHandler = void (*)(const char* message, const char* detail);
void SetFatalHandler(FatalHandler handler);

// A line in English saying what the next fatal assertion comes from
// ("kelvo.txt:2: AddFile needs 2 values, found 1"), put on standard error
// and in the box with it; empty for none.
void SetFatalReason(const std::string& reason);

// Raises the fatal assertion on the global log, or ends the process when
// there is none.
[[noreturn]] void RaiseAssert(const char* message, const char* detail);
