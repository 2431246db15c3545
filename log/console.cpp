// The console: every message goes to standard output and to the log.
#include "log/console.h"

#include <cstdarg>
#include <cstdio>

#include "log/log_service.h"

void Print(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
  if (g_log != nullptr) g_log->Report(text, nullptr);
}

void PrintFormatted(const char* format, ...) {
  char buffer[512];  // messages are cut at 511 characters
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  Print(buffer);
}
