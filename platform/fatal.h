// The fatal end: a message box (Linux: standard error), then an immediate exit.
#pragma once

#include <string>

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
