// The log file: emptied at start, then appended to record by record.
#pragma once

#include <string>

#include "platform/files.h"

// Opens the file for writing, shared for reading only. A null text creates or
// empties the file (one that is not a regular file, such as /dev/null, is
// left as it is); a text is appended at its end. False when the open fails,
// which includes another writer holding the file and a FIFO nobody reads.
bool AppendFile(const std::string& path, const char* text);

// Creates or empties the file as AppendFile does with a null text. False
// when the open fails, with emptied telling why; true with emptied telling
// of a file that took the open but refused the emptying (an append-only
// file).
bool EmptyFile(const std::string& path, StepResult& emptied);

// Why the log cannot be opened or emptied, in words for the user: another
// writer's hold is said as such.
std::string LogFailureText(const StepResult& result);

// Writes text to standard output or standard error: as UTF-16 when UTF-8
// names are in use and the stream is a Windows console (what the stream
// holds is flushed first), as bytes into the stream otherwise.
void WriteText(std::FILE* stream, const char* text);
