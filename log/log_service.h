// The log "purlolog.html" beside the executable, fatal assertions, and the
// console: every message goes to standard output and, as a record, to the
// log.
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

// Writes text to standard output unchanged and flushes it, then logs it.
void Print(const char* text);

// Formats a message, cut at 511 characters, and prints it. Texts from
// outside are always arguments, never the format.
void PrintFormatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats a message for standard error and writes it there, as WriteText
// does: names in UTF-8 show whole on a Windows console. Not logged.
void PrintError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Ends the console line that the last message left open ("Parsing Script")
// with a line feed on standard error, so that what follows there starts a
// line of its own; does nothing when the line is closed.
void EndOpenConsoleLine();
