// The fatal end: a message box (Linux: standard error), then an immediate exit.
#pragma once

#include <string>

// Shows a text with a caption and an exclamation icon (Linux: on standard
// error, starting on a line of its own).
void ShowFatalBox(const char* text, const char* caption);
// Text in code page 932 as the fatal box shows it: unchanged on Windows; on
// Linux in the locale's character set, or fallback where the locale cannot
// show it.
std::string ConsoleTextOf932(const char* text, const char* fallback);
// Ends the process at once with exit status 3, running no destructors.
[[noreturn]] void EndProcessFatally();
