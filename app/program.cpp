// Start-up, run control and shutdown of kelvo.
#include "app/program.h"

#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "log/log_service.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "random/mersenne_twister.h"
#include "rotate/commands.h"
#include "rotate/cycle.h"
#include "script/string_list.h"

#include "build_number.h"

namespace {

const char kUsage[] =
    "usage: kelvo [-oneshot]\n"
    "Replaces every destination of kelvo.txt, the script beside this program,\n"
    "with a source drawn at random, now and then again every interval.\n"
    "  -oneshot   make one pass and end\n"
    "  --help     show this text\n"
    "  --version  show the version\n";

enum class Request { Endless, OneShot, Help, Version, Unknown };

// What the command line asks: one of the options above, alone. Anything
// else is refused, so that a mistyped option never starts a rotation.
Request ReadArguments(int argc, char** argv) {
  if (argc < 2 || argv[1] == nullptr) return Request::Endless;
  if (argc > 2) return Request::Unknown;
  const std::string argument = argv[1];
  if (argument == "-oneshot") return Request::OneShot;
  if (argument == "--help" || argument == "-h" || argument == "/?") return Request::Help;
  if (argument == "--version" || argument == "-V") return Request::Version;
  return Request::Unknown;
}

// Answers a request that needs no run; -1 for one that does.
int AnswerWithoutRun(Request request, int argc, char** argv) {
  switch (request) {
    case Request::Help:
      std::fputs(kUsage, stdout);
      return kDoneAsAsked;
    case Request::Version:
      std::printf("kelvo %s (build %d)\n", KELVO_VERSION, GetBuildNumber());
      return kDoneAsAsked;
    case Request::Unknown:
      PrintError("kelvo: unknown option '%s'\n%s", argv[argc > 2 ? 2 : 1], kUsage);
      return kCouldNotStart;
    default:
      return -1;
  }
}

// Reads the master script into the settings. False when it is missing.
bool ParseMasterScript(RunSettings& settings, const std::string& scriptPath) {
  Print("Parsing Script");
  if (!FileExists(scriptPath.c_str())) {
    Print(" -> Error, Master Script File is not Found.\n");
    PrintError(
        "kelvo: no %s in %s, the folder this program is in (kelvo reads its script "
        "beside itself, not in the current folder)\n",
        kMasterScriptName, AbsolutePathOf(settings.ProgramDirectory).c_str());
    return false;
  }
  StringList lines;
  std::vector<unsigned> lineNumbers;
  lines.LoadFile(scriptPath.c_str(), true, &lineNumbers);
  InterpretScript(lines, settings, &lineNumbers);
  return true;
}

// Says on standard error why the interval was refused, after the console's
// own words.
void ReportRefusedInterval(const RunSettings& settings, const std::string& scriptPath) {
  if (settings.Interval == 0) {
    PrintError(
        "kelvo: %s sets no interval: it needs a line \"SetInterval,<seconds>\" with "
        "1 to %d seconds\n",
        scriptPath.c_str(), static_cast<int>(kMaxIntervalSeconds));
  } else {
    PrintError("kelvo: %s: SetInterval %s is out of range (1 to %d seconds)\n", scriptPath.c_str(),
               settings.IntervalText.c_str(), static_cast<int>(kMaxIntervalSeconds));
  }
}

}  // namespace

int RunProgram(int argc, char** argv) {
  Request request = ReadArguments(argc, argv);
  int answered = AnswerWithoutRun(request, argc, argv);
  if (answered >= 0) return answered;
  // From the first moment a stop request (Ctrl+C, SIGTERM, SIGHUP) ends the
  // run through the normal shutdown.
  StopHandler stopHandler;
  if (!stopHandler.IsInstalled())
    std::fputs("kelvo: a stop request may end the run at once\n", stderr);
  // The script's reading sets the form of every name of the run, the
  // folder's and the log's included.
  const std::string directory = ProgramDirectoryForScript();
  // One run per folder: a second one ends before it touches the log.
  if (!HoldRunLock(directory)) {
    PrintError("kelvo: another run is working in %s\n", directory.c_str());
    return kCouldNotStart;
  }
  g_random.SeedFromSeconds(SecondsSinceEpoch());
  g_log = new LogService(directory);
  g_log->enabled = true;

  RunSettings settings;
  settings.ProgramDirectory = directory;
  PrintFormatted("kelvo - random file rotation. Build %d.\n", GetBuildNumber());
  settings.OneShot = request == Request::OneShot;

  int status = kCouldNotStart;
  bool replacementTried = false;
  try {
    const std::string scriptPath = AbsolutePathOf(directory + kMasterScriptName);
    if (ParseMasterScript(settings, scriptPath)) {
      if (CheckInterval(settings)) {
        RealFileSystem files;
        unsigned failed = RunCycle(settings, files, &replacementTried);
        status = settings.OneShot && failed > 0 ? kReplacementFailed : kDoneAsAsked;
      } else {
        ReportRefusedInterval(settings, scriptPath);
      }
    }
  } catch (const std::bad_alloc&) {
    EndOpenConsoleLine();
    std::fputs("kelvo: out of memory\n", stderr);
    // Out of memory in a pass: replacements were left undone.
    status = replacementTried ? kReplacementFailed : kCouldNotStart;
  }
  // The log goes; the settings go with this scope.
  delete g_log;
  g_log = nullptr;
  return status;
}
