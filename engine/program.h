// Start-up, run settings, the print routine and shutdown of kelvo.
#pragma once

#include <cstdint>
#include <string>

#include "engine/replacement_table.h"

// Everything the script sets and the cycle reads; owned by the entry point.
struct RunSettings {
  ReplacementTable Table;
  int32_t Interval = 0;         // milliseconds
  int32_t IntervalSeconds = 0;  // as the script gave it, to tell a bad range apart
  std::string IntervalText;     // the value as written, for the range message
  std::string SourcePath;
  std::string DestinationPath;
  bool OneShot = false;
};

// Name of the master script in the program's directory.
extern const char* const kMasterScriptName;

// Writes text to standard output unchanged and flushes it, then logs it.
void Print(const char* text);

// Formats a message, cut at 511 characters, and prints it. Texts from
// outside are always arguments, never the format.
void PrintFormatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Exit statuses of a run.
enum ExitStatus {
  kDoneAsAsked = 0,        // a one-shot pass with every replacement done, or a stop on request
  kCouldNotStart = 1,      // no script, a bad interval, another run here, no memory
  kReplacementFailed = 2,  // a one-shot pass in which a replacement failed
  kFatalAssertion = 3,     // the fatal box
};

// The whole run: returns the process's exit status.
int RunProgram(int argc, char** argv);
