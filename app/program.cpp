// Start-up, run control and shutdown of kelvo.
#include "app/program.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "log/console.h"
#include "log/log_service.h"
#include "platform/platform.h"
#include "random/mersenne_twister.h"
#include "rotate/commands.h"
#include "rotate/cycle.h"
#include "script/string_list.h"

namespace {

const size_t kBannerLimit = 255;

bool IsOneShotSwitch(int argc, char** argv) {
  return argc >= 2 && argv[1] != nullptr && std::strcmp(argv[1], "-oneshot") == 0;
}

void PrintBanner() {
  char banner[kBannerLimit + 1];
  std::snprintf(banner, sizeof banner, "kelvo - random file rotation. Build %d.", GetBuildNumber());
  PrintFormatted("%s\n", banner);
}

// Reads the master script into the settings. False when it is missing.
bool ParseMasterScript(RunSettings& settings) {
  Print("Parsing Script");
  std::string scriptPath = settings.ProgramDirectory + kMasterScriptName;
  if (!FileExists(scriptPath.c_str())) {
    Print(" -> Error, Master Script File is not Found.\n");
    return false;
  }
  StringList lines;
  lines.LoadFile(scriptPath.c_str(), true);
  InterpretScript(lines, settings);
  return true;
}

// The log goes; the settings go with the entry point's scope.
void Shutdown() {
  delete g_log;
  g_log = nullptr;
}

}  // namespace

int RunProgram(int argc, char** argv) {
  // From the first moment a stop request (Ctrl+C, SIGTERM, SIGHUP) ends the
  // run through the normal shutdown.
  StopHandler stopHandler;
  if (!stopHandler.IsInstalled())
    std::fputs("kelvo: a stop request may end the run at once\n", stderr);
  std::string directory;
  GetProgramDirectory(directory);
  // One run per folder: a second one ends before it touches the log.
  if (!HoldRunLock(directory)) {
    std::fprintf(stderr, "kelvo: another run is working in %s\n", directory.c_str());
    return kCouldNotStart;
  }
  g_random.SeedFromSeconds(SecondsSinceEpoch());
  g_log = new LogService(directory);
  g_log->enabled = true;

  RunSettings settings;
  settings.ProgramDirectory = directory;
  PrintBanner();
  settings.OneShot = IsOneShotSwitch(argc, argv);

  int status = kCouldNotStart;
  bool cycleStarted = false;
  try {
    if (ParseMasterScript(settings) && CheckInterval(settings)) {
      cycleStarted = true;
      RealFileSystem files;
      unsigned failed = RunCycle(settings, files);
      status = settings.OneShot && failed > 0 ? kReplacementFailed : kDoneAsAsked;
    }
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fputs("\nkelvo: out of memory\n", stderr);
    // Out of memory in a pass: replacements were left undone.
    status = cycleStarted ? kReplacementFailed : kCouldNotStart;
  }
  Shutdown();
  return status;
}
