// The log service: records to "purlolog.html" and fatal assertions.
#include "log/log_service.h"

#include <cstdio>

#include "platform/files.h"
#include "platform/log_file.h"
#include "platform/paths.h"

const char* const kLogFileName = "purlolog.html";

LogService* g_log = nullptr;

namespace {

FatalHandler g_fatalHandler = nullptr;
std::string g_fatalReason;

// Ends the console's open line, puts the reason on standard error, shows the
// box and ends the process.
[[noreturn]] void EndFatally(const char* boxText, const std::string& reason) {
  EndOpenConsoleLine();
  if (!reason.empty()) PrintError("kelvo: %s\n", reason.c_str());
  ShowFatalBox(boxText, "Assert", reason.c_str());
  EndProcessFatally();
}

// "To solve the problem, please help by uploading purlolog.html." in code
// page 932, shown above every assertion message.
const char kUploadRequest[] =
    "\226\342\221\350\211\360\214\210\202\314\202\275\202\337\201Apurlolog.html\202\314\203A"
    "\203b\203v\203\215\201[\203h\202\311\202\262\213\246\227\315\211\272\202\263\202\242\201B";

// Records and box texts are cut to 1023 bytes, environment records to 255.
const size_t kRecordBufferSize = 1024;
const size_t kEnvironmentBufferSize = 256;

// The same request where the console cannot show code page 932.
const char kUploadRequestInEnglish[] =
    "To solve the problem, please help by uploading purlolog.html.";

std::string FormatBoxText(const char* message, const char* detail) {
  std::string text = ConsoleTextOf932(kUploadRequest, kUploadRequestInEnglish) + "\n" + message;
  if (detail != nullptr) text.append("\n").append(detail);
  return text.substr(0, kRecordBufferSize - 1);
}

}  // namespace

std::string FormatRecord(const char* label, const char* message, const char* detail) {
  char buffer[kRecordBufferSize];
  std::snprintf(buffer, sizeof buffer, "%s: %s%s%s<br>\n", label, message,
                detail != nullptr ? "\t" : "", detail != nullptr ? detail : "");
  return buffer;
}

// The log is emptied before anything else is done, and before any file is
// touched: one that cannot be emptied ends the run. The environment records
// follow.
LogService::LogService(const std::string& directory) : programDirectory(directory) {
  enabled = true;
  StepResult emptied;
  const bool opened = EmptyFile(programDirectory + kLogFileName, emptied);
  if (!opened || !emptied.Ok()) {
    EndFatally("Critical Error: Log File is Locked",
               std::string(opened ? "cannot empty" : "cannot open") + " the log " +
                   AbsolutePathOf(programDirectory + kLogFileName) + ": " +
                   LogFailureText(emptied));
  }
  std::vector<std::string> adapters;
  ListDisplayAdapters(adapters);
  for (const std::string& adapter : adapters)
    Report(("GPU: " + adapter).substr(0, kEnvironmentBufferSize - 1).c_str(), nullptr);
  Report("CPU: Unknown", nullptr);
  enabled = false;
}

void LogService::Report(const char* message, const char* detail) {
  if (!enabled || message == nullptr || message[0] == '\0') return;
  AppendToFile(kLogFileName, FormatRecord("Report", message, detail).c_str());
}

bool LogService::AppendToFile(const char* fileName, const char* text) {
  std::lock_guard<std::mutex> hold(fileLock);
  // One buffer for the path, as a record is appended at every step.
  path.assign(programDirectory).append(fileName);
  return AppendFile(path, text);
}

void LogService::Assert(const char* message, const char* detail) {
  AppendToFile(kLogFileName, FormatRecord("Assert", message, detail).c_str());
  EndFatally(FormatBoxText(message, detail).c_str(), g_fatalReason);
}

void SetFatalHandler(FatalHandler handler) { g_fatalHandler = handler; }

void SetFatalReason(const std::string& reason) { g_fatalReason = reason; }

void RaiseAssert(const char* message, const char* detail) {
  if (g_fatalHandler != nullptr) g_fatalHandler(message, detail);
  if (g_log != nullptr) g_log->Assert(message, detail);
  EndFatally(FormatBoxText(message, detail).c_str(), g_fatalReason);
}
