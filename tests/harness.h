// End-to-end harness: runs the built kelvo executable (natively, or a Windows
// build under Wine) in a scratch folder of the test's making.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

struct RunResult {
  int exitStatus = -1;  // -1 when the process did not exit normally
  int signal = 0;       // the signal that ended it, if any
  std::string out;      // standard output, CR LF folded to LF
  std::string err;      // standard error, the same way
};

struct RunOptions {
  std::vector<std::string> arguments;
  std::vector<std::string> environmentPrefix;  // e.g. {"faketime", "2026-01-01 00:00:00"}
  bool asUnprivilegedUser = false;             // run as nobody (the tests run as root)
  std::vector<gid_t> groups;                   // nobody's supplementary groups there
  double timeoutSeconds = 60;
  bool checker = false;     // run kelvo-check instead of kelvo
  bool onTerminal = false;  // standard output on a terminal, as in a console window
};

// Options that only set the program's arguments.
RunOptions WithArguments(std::vector<std::string> arguments);

// The executable under test and how to start it.
struct Program {
  std::string executable;  // KELVO_EXE
  std::string runner;      // KELVO_RUNNER: Wine's loader for a Windows build, else empty
  std::string checker;     // KELVO_CHECK_EXE: kelvo-check of the same build
  bool IsWindows() const { return !runner.empty(); }
  std::string FileName() const { return IsWindows() ? "kelvo.exe" : "kelvo"; }
  std::string CheckerFileName() const { return IsWindows() ? "kelvo-check.exe" : "kelvo-check"; }
};

const Program& TestedProgram();

// A folder with a copy of the executable (and of kelvo-check); removed again
// after the test.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& Path() const { return path; }
  // Path of a name inside the folder, as the program sees it.
  std::string At(const std::string& name) const { return path + "/" + name; }
  // The same path written for the program: with backslashes for Windows.
  std::string NativeAt(const std::string& name) const;

  void Write(const std::string& name, const std::string& content) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  std::vector<std::string> List(const std::string& subfolder = "") const;

  RunResult Run(const RunOptions& options = RunOptions()) const;
  // Starts the program and returns its process id (the runner's, for Wine).
  pid_t Start(const RunOptions& options, int* outputPipe) const;

 private:
  std::string path;
};

// Asks a started program to stop as a user would: SIGTERM on Linux; for a
// Windows build, SIGINT, which Wine hands to the program as Ctrl+C.
void RequestProgramStop(pid_t pid);

// Waits for a started process; fills the result. Output already read with
// ReadUntil is handed back in as alreadyRead.
RunResult Finish(pid_t pid, int outputPipe, double timeoutSeconds,
                 const std::string& alreadyRead = "");

// Seconds on a steady clock.
double Seconds();

// Collects output until the process closes it or the time runs out.
void ReadFor(int outputPipe, std::string& collected, double timeoutSeconds);

// How many times part stands in text from index from on, not overlapping.
size_t CountOf(const std::string& text, const std::string& part, size_t from = 0);

// Makes a Shift_JIS locale (ja_JP.SJIS) inside the folder and returns the
// command prefix that runs a program in it; empty where it cannot be made.
std::vector<std::string> ShiftJisLocalePrefix(const ScratchFolder& folder);

// True when a helper file of a replacement is left anywhere in the folder.
bool HasStagingFile(const ScratchFolder& folder);

// The helper files of replacements (".kelvo-...") in a folder of the
// scratch folder, with their contents.
std::vector<std::pair<std::string, std::string>> HelperFiles(const ScratchFolder& folder,
                                                             const std::string& subfolder = "");

// Holds a file of the folder open for writing as another program would: a
// Unix lock for the Linux build, a Windows program that opens it without
// sharing for the Windows build. Released when the object goes.
class FileHolder {
 public:
  FileHolder(const ScratchFolder& folder, const std::string& name);
  ~FileHolder();
  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;
  bool held = false;

 private:
  int fd = -1;
  pid_t pid = -1;
};

// One replacement as the console reported it.
struct ReportedReplacement {
  std::string source;
  std::string destination;
  bool done = false;
};
std::vector<ReportedReplacement> ReportedReplacements(const std::string& out);

// Reads until the text (which holds no line end) appears in the output or
// the time runs out.
bool ReadUntil(int outputPipe, const std::string& text, std::string& collected,
               double timeoutSeconds);

// The messages of the log's "Report" records after the environment records,
// in order; fails the test when a record is not of the log's form.
std::vector<std::string> ReportMessages(const std::string& log);

// The environment records at the start of a log: "GPU: ..." records then the
// "CPU: Unknown" record.
std::string EnvironmentRecords(const std::string& log);

std::string Join(const std::vector<std::string>& parts);
