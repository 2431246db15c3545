// The console: every message goes to standard output and to the log.
#include "log/log_service.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/log_file.h"

namespace {

// Whether the last message left its line without a line feed.
bool g_lineOpen = false;

}  // namespace

void Print(const char* text) {
  if (text[0] != '\0') g_lineOpen = text[std::strlen(text) - 1] != '\n';
  WriteText(stdout, text);
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

void PrintError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  WriteText(stderr, text.c_str());
}

void EndOpenConsoleLine() {
  std::fflush(stdout);
  if (!g_lineOpen) return;
  g_lineOpen = false;
  std::fputs("\n", stderr);
}
