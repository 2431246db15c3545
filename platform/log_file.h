// The log file, emptied at start, then appended to record by record, and
// what the log needs besides: the display adapters it records, and the
// fatal end, a message box (Linux: standard error), then an immediate exit.
#pragma once

#include <string>
#include <vector>

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

// Shows a text in code page 932 with a caption and an exclamation icon, and
// below it reason, a line in English, where it is given (Linux: the caption
// and text on standard error, where the reason was put just before).
void ShowFatalBox(const char* text, const char* caption, const char* reason = nullptr);
// Text in code page 932 as the fatal box shows it: unchanged on Windows; on
// Linux in the locale's character set, or fallback where the locale cannot
// show it.
std::string ConsoleTextOf932(const char* text, const char* fallback);
// Ends the process at once with exit status 3, running no destructors.
[[noreturn]] void EndProcessFatally();

// Appends a description of every display adapter, in the system's order.
// False when the system offers no way to list them.
bool ListDisplayAdapters(std::vector<std::string>& list);

// Appends a description of every PCI display-class device (class 0x03xxxx)
// found under deviceRoot, in bus order, named from the first readable PCI ID
// database of idDatabases, else by numeric ids. False when deviceRoot cannot be
// listed. Plain file reading: the Linux build lists its adapters with it.
bool ListPciDisplayDevices(const std::string& deviceRoot,
                           const std::vector<std::string>& idDatabases,
                           std::vector<std::string>& list);
