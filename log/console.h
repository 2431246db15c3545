// The console: every message goes to standard output and, as a record, to
// the log.
#pragma once

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
